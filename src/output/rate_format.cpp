#include "output/rate_format.h"

#include <cmath>

#include "output/printable.h"

namespace hoprate {

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
