#include "output/rate_format.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace hoprate {

namespace {

std::string printed(const char *format, double value, double uncertainty)
{
    // Room for any double: up to 309 integer digits each, four decimals, separator, prefix.
    std::vector<char> text(720);
    std::snprintf(text.data(), text.size(), format, value, uncertainty);
    return text.data();
}

}  // namespace

std::string formatRate(double value, double relErr)
{
    const double a = std::fabs(value);
    const double uncertainty = value * relErr;
    // Comparisons as written: a NaN fails every ">" and ">=" and so lands in the micro range.
    if (a > 1000000.0)
        return printed("%.4lf +/- %.4lf M", value / 1000000.0, uncertainty / 1000000.0);
    if (a > 1000.0)
        return printed("%.4lf +/- %.4lf K", value / 1000.0, uncertainty / 1000.0);
    if (!(a >= 0.001))
        return printed("%.4lf +/- %.4lf u", value * 1000000.0, uncertainty * 1000000.0);
    if (!(a >= 1.0))
        return printed("%.4lf +/- %.4lf m", value * 1000.0, uncertainty * 1000.0);
    return printed("%.4lf +/- %.4lf ", value, uncertainty);
}

}  // namespace hoprate
