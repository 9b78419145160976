#include <cmath>
#include <cstdio>
#include <vector>

#include "cli/run_config.h"
#include "probe/path_prober.h"

namespace {

struct FitResult {
    double m, b, stdevM, stdevB, alphaM, alphaB;
};

// Least squares through (sizes[i], times[i]); sizes scaled to 10^6 bytes for the sums.
FitResult leastSquares(const std::vector<int> &sizes, const std::vector<double> &times)
{
    const int count = static_cast<int>(sizes.size());
    const double n = count;
    double sx = 0.0, sy = 0.0, sxy = 0.0, sxx = 0.0;
    for (int i = 0; i < count; ++i) {
        const double x = sizes[i] * 1e-6;
        sx += x;
        sy += times[i];
        sxy += x * times[i];
        sxx += x * x;
    }
    FitResult fit{};
    fit.m = (n * sxy - sx * sy) / (n * sxx - sx * sx) * 1e-6;
    const double xMean = sx / n;
    const double yMean = sy / n;
    fit.b = yMean - (fit.m * 1e6) * xMean;
    const double sxxCentred = sxx - n * xMean * xMean;
    double residuals = 0.0;
    for (int i = 0; i < count; ++i) {
        const double r = times[i] - (fit.m * sizes[i] + fit.b);
        residuals += r * r;
    }
    const double variance = residuals / static_cast<double>(count - 2);
    fit.stdevM = std::sqrt(variance / (sxxCentred * 1e12));
    fit.alphaM = (1.645 * fit.stdevM) / (std::sqrt(n) * fit.m);
    fit.stdevB = std::sqrt((variance / n) * (sxx / sxxCentred));
    fit.alphaB = (1.645 * fit.stdevB) / (std::sqrt(n) * fit.b);
    return fit;
}

}  // namespace

void PathProber::fitLine()
{
    if (verbose)
        writeValueRow(stdout, minRtt, sizeCount);

    // Only sizes that got a reply have a minimum (the others hold NaN).
    std::vector<int> fittedSizes;
    std::vector<double> fittedTimes;
    for (int i = 0; i < sizeCount; ++i) {
        if (!std::isnan(minRtt[i])) {
            fittedSizes.push_back(sizes[i]);
            fittedTimes.push_back(minRtt[i]);
        }
    }

    FitResult fit{};
    if (static_cast<int>(fittedSizes.size()) < sizeCount && fittedSizes.size() < 2)
        fit = FitResult{NAN, NAN, NAN, NAN, NAN, NAN};  // too few minima left for a line
    else
        fit = leastSquares(fittedSizes, fittedTimes);

    if (verbose)
        std::printf("m = %e, b = %e, stdev_m = %e, stdev_b = %e, alpha_m = %lf\n",
                    fit.m, fit.b, fit.stdevM, fit.stdevB, fit.alphaM);
    slope = fit.m;
    intercept = fit.b;
    slopeRelErr = fit.alphaM;
    interceptRelErr = fit.alphaB;
}
