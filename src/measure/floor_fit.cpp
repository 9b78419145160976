#include "measure/floor_fit.h"

#include <algorithm>
#include <cmath>

void FloorGroup::add(double rtt)
{
    samples.insert(std::upper_bound(samples.begin(), samples.end(), rtt), rtt);
}

double FloorGroup::floor(double quantile) const
{
    const auto k = static_cast<size_t>(std::max(0.0, quantile * static_cast<double>(samples.size())));
    return samples[std::min(k, samples.size() - 1)];
}

double studentT90(int degreesOfFreedom)
{
    static const double table[] = {6.314, 2.920, 2.353, 2.132, 2.015, 1.943, 1.895, 1.860, 1.833, 1.812,
                                   1.796, 1.782, 1.771, 1.761, 1.753, 1.746, 1.740, 1.734, 1.729, 1.725,
                                   1.721, 1.717, 1.714, 1.711, 1.708, 1.706, 1.703, 1.701, 1.699, 1.697};
    if (degreesOfFreedom < 1)
        return INFINITY;
    if (degreesOfFreedom <= 30)
        return table[degreesOfFreedom - 1];
    return 1.6449 + 2.7 / degreesOfFreedom;  // close to the table beyond 30, toward the normal's
}

FloorFit fitFloor(std::span<const FloorGroup> groups, double quantile, double timingFloor)
{
    FloorFit fit;
    double sx = 0, sy = 0;
    double xMin = 0, xMax = 0;
    std::vector<std::pair<double, double>> points;
    for (const FloorGroup &g : groups) {
        if (g.count() < 2)
            continue;
        const auto x = static_cast<double>(g.bytes);
        const double y = g.floor(quantile);
        xMin = points.empty() ? x : std::min(xMin, x);
        xMax = points.empty() ? x : std::max(xMax, x);
        points.emplace_back(x, y);
        sx += x;
        sy += y;
    }
    fit.groups = static_cast<int>(points.size());
    if (fit.groups < 3 || !(xMax > xMin))
        return fit;
    const double n = fit.groups;
    // Centred sums keep the arithmetic exact enough for slopes of nanoseconds per byte.
    const double xBar = sx / n;
    const double yBar = sy / n;
    double sxx = 0, sxy = 0;
    for (const auto &[x, y] : points) {
        sxx += (x - xBar) * (x - xBar);
        sxy += (x - xBar) * (y - yBar);
    }
    fit.valid = true;
    fit.slope = sxy / sxx;
    fit.intercept = yBar - fit.slope * xBar;
    double squares = 0;
    for (const auto &[x, y] : points) {
        const double r = y - (fit.intercept + fit.slope * x);
        squares += r * r;
    }
    fit.residual = std::sqrt(squares / (n - 2));
    const double sigma = std::max(fit.residual, timingFloor);
    // Expressed as a normal deviation: the t quantile's excess over the normal's widens it.
    fit.slopeStdev = sigma / std::sqrt(sxx) * studentT90(fit.groups - 2) / 1.6449;
    return fit;
}
