// A rate and its uncertainty as the program prints them in front of "b/s".
#pragma once

#include <string>

namespace hoprate {

// value and value x relErr as "%.4lf +/- %.4lf P", both scaled by the prefix P that |value|
// chooses: M above 10^6, K above 10^3, none from 1 up, m from 0.001 up, u below (and NaN).
std::string formatRate(double value, double relErr);

}  // namespace hoprate
