#include "measure/fit.h"

#include <cmath>

namespace hoprate {

LineFit leastSquares(const std::vector<int> &sizes, const std::vector<double> &times)
{
    const int count = static_cast<int>(sizes.size());
    const double n = count;
    // Sizes are summed in units of 10^6 bytes.
    double sx = 0.0, sy = 0.0, sxy = 0.0, sxx = 0.0;
    for (int i = 0; i < count; ++i) {
        const double x = sizes[static_cast<size_t>(i)] * 1e-6;
        sx += x;
        sy += times[static_cast<size_t>(i)];
        sxy += x * times[static_cast<size_t>(i)];
        sxx += x * x;
    }
    LineFit fit;
    fit.slope = (n * sxy - sx * sy) / (n * sxx - sx * sx) * 1e-6;
    const double xMean = sx / n;
    const double yMean = sy / n;
    fit.intercept = yMean - (fit.slope * 1e6) * xMean;
    const double sxxCentred = sxx - n * xMean * xMean;
    double residuals = 0.0;
    for (int i = 0; i < count; ++i) {
        const double r = times[static_cast<size_t>(i)] - (fit.slope * sizes[static_cast<size_t>(i)] + fit.intercept);
        residuals += r * r;
    }
    const double variance = residuals / static_cast<double>(count - 2);
    fit.slopeStdev = std::sqrt(variance / (sxxCentred * 1e12));
    fit.slopeRelErr = (1.645 * fit.slopeStdev) / (std::sqrt(n) * fit.slope);
    fit.interceptStdev = std::sqrt((variance / n) * (sxx / sxxCentred));
    fit.interceptRelErr = (1.645 * fit.interceptStdev) / (std::sqrt(n) * fit.intercept);
    return fit;
}

LineFit fitMinima(const std::vector<int> &sizes, const std::vector<double> &minima)
{
    std::vector<int> fittedSizes;
    std::vector<double> fittedTimes;
    for (size_t i = 0; i < sizes.size(); ++i) {
        if (!std::isnan(minima[i])) {
            fittedSizes.push_back(sizes[i]);
            fittedTimes.push_back(minima[i]);
        }
    }
    if (fittedSizes.size() < sizes.size() && fittedSizes.size() < 2)
        return LineFit{NAN, NAN, NAN, NAN, NAN, NAN};
    return leastSquares(fittedSizes, fittedTimes);
}

}  // namespace hoprate
