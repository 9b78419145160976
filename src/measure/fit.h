// The least-squares line through (probe size, smallest round-trip time) of a sweep.
#pragma once

#include <vector>

namespace hoprate {

struct LineFit {
    double slope = 0;            // seconds per byte
    double intercept = 0;        // seconds
    double slopeStdev = 0;       // standard deviation of the slope
    double interceptStdev = 0;
    double slopeRelErr = 0;      // 1.645 x stdev / (sqrt(n) x slope): 90 %, signed like the slope
    double interceptRelErr = 0;  // the same for the intercept
};

// Ordinary least squares through (sizes[i], times[i]), sizes in bytes, times in seconds.
// Nothing is checked: denominators of zero give infinities and NaN.
LineFit leastSquares(const std::vector<int> &sizes, const std::vector<double> &times);

// The fit of a sweep: sizes whose minimum is NaN (no reply) are left out; when any was
// left out and fewer than two remain, every figure is NaN.
LineFit fitMinima(const std::vector<int> &sizes, const std::vector<double> &minima);

}  // namespace hoprate
