#include "measure/floor_fit.h"

#include <algorithm>
#include <cmath>

namespace hoprate {

void FloorGroup::add(double rtt)
{
    samples.insert(std::upper_bound(samples.begin(), samples.end(), rtt), rtt);
}

double FloorGroup::floor(double quantile) const
{
    // The mean of the lowest samples: the lowest tenth (say), at least two of them.
    const size_t n = samples.size();
    const auto k = std::min(n, std::max<size_t>(2, static_cast<size_t>(std::max(0.0, quantile * static_cast<double>(n)))));
    double sum = 0;
    for (size_t i = 0; i < k; ++i)
        sum += samples[i];
    return sum / static_cast<double>(k);
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
    // Beyond the table, the Cornish-Fisher expansion about the normal's quantile to the
    // table's four digits: within 0.0001 of the exact quantile from 31 on, and falling
    // with the degrees of freedom.
    const double n = degreesOfFreedom;
    return studentT90Limit + 1.5238 / n + 1.4202 / (n * n);
}

namespace {

struct Line {
    double slope = 0, intercept = 0, sxx = 0;
};

Line leastSquares(const std::vector<std::pair<double, double>> &points)
{
    const double n = static_cast<double>(points.size());
    double sx = 0, sy = 0;
    for (const auto &[x, y] : points) {
        sx += x;
        sy += y;
    }
    // Centred sums keep the arithmetic exact enough for slopes of nanoseconds per byte.
    // (The classic mode's leastSquares in fit.cpp keeps its uncentred sums: its printed
    // figures depend on that arithmetic to the last digit.)
    const double xBar = sx / n;
    const double yBar = sy / n;
    double sxy = 0;
    Line line;
    for (const auto &[x, y] : points) {
        line.sxx += (x - xBar) * (x - xBar);
        sxy += (x - xBar) * (y - yBar);
    }
    line.slope = sxy / line.sxx;
    line.intercept = yBar - line.slope * xBar;
    return line;
}

double medianOf(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

// Theil-Sen: the median slope between every two points of different x, and the median
// intercept under it.
Line medianLine(const std::vector<std::pair<double, double>> &points)
{
    std::vector<double> slopes;
    for (size_t i = 0; i < points.size(); ++i)
        for (size_t j = i + 1; j < points.size(); ++j)
            if (points[j].first != points[i].first)
                slopes.push_back((points[j].second - points[i].second) / (points[j].first - points[i].first));
    Line line;
    line.slope = medianOf(slopes);
    std::vector<double> intercepts;
    for (const auto &[x, y] : points)
        intercepts.push_back(y - line.slope * x);
    line.intercept = medianOf(intercepts);
    return line;
}

}  // namespace

FloorFit fitFloor(std::span<const FloorGroup> groups, double quantile, double timingFloor, int minimumCount)
{
    FloorFit fit;
    std::vector<std::pair<double, double>> points;
    for (const FloorGroup &g : groups)
        if (g.count() >= std::max(1, minimumCount))
            points.emplace_back(static_cast<double>(g.bytes), g.floor(quantile));
    auto spread = [&] {
        double low = points.front().first, high = low;
        for (const auto &p : points) {
            low = std::min(low, p.first);
            high = std::max(high, p.first);
        }
        return high > low;
    };
    if (points.size() < 3 || !spread())
        return fit;

    // A size whose every sample was held up (all its probes queued behind others) lies
    // far above the line. Sizes are judged against a line that a minority of them cannot
    // pull (Theil-Sen: the median of the slopes between every two sizes), and those beyond
    // four robust deviations are set aside, the farthest first, a quarter of them at most.
    const Line robust = medianLine(points);
    std::vector<double> residuals;
    for (const auto &[x, y] : points)
        residuals.push_back(std::fabs(y - (robust.intercept + robust.slope * x)));
    const double scale = 1.4826 * medianOf(residuals);
    const double limit = std::max(4.0 * scale, 3.0 * timingFloor);
    std::vector<size_t> order(points.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return residuals[a] > residuals[b]; });
    std::vector<bool> aside(points.size(), false);
    for (size_t k = 0; k < points.size() / 4 && residuals[order[k]] > limit; ++k)
        aside[order[k]] = true;
    std::vector<std::pair<double, double>> kept;
    for (size_t i = 0; i < points.size(); ++i)
        if (!aside[i])
            kept.push_back(points[i]);
    points = kept;
    if (points.size() < 3 || !spread())
        return fit;
    const Line line = leastSquares(points);

    fit.valid = true;
    fit.groups = static_cast<int>(points.size());
    fit.slope = line.slope;
    fit.intercept = line.intercept;
    double squares = 0;
    for (const auto &[x, y] : points) {
        const double r = y - (line.intercept + line.slope * x);
        squares += r * r;
    }
    fit.residual = std::sqrt(squares / (fit.groups - 2));
    const double sigma = std::max(fit.residual, timingFloor);
    // Expressed as a normal deviation: the t quantile's excess over the normal's widens it.
    fit.slopeStdev = sigma / std::sqrt(line.sxx) * studentT90(fit.groups - 2) / studentT90Limit;
    return fit;
}

}  // namespace hoprate
