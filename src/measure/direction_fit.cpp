#include "measure/direction_fit.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace hoprate {

namespace {

struct Point {
    int kind;
    double p, q, y;
};

// How well a set of points determines F and R (rank of the lengths once each kind's mean
// is taken away): a share of q's spread that p does not explain below this leaves R
// unknown; a q that hardly varies leaves F alone, as when every reply has one length.
constexpr double separable = 1e-4;
constexpr double constantReply = 1e-3;
constexpr double wideSlope = 0.25;

struct Plane {
    bool forward = false, back = false;
    double f = 0, r = 0;
    double spp = 0, sqq = 0, spq = 0, det = 0;  // centred sums, for the deviations
    int parameters = 0;                         // fitted: the intercepts and the slopes
    std::vector<double> residuals;
};

Plane fitPlane(const std::vector<Point> &points)
{
    std::map<int, std::pair<double, int>> pMean, qMean, yMean;
    for (const Point &pt : points) {
        pMean[pt.kind].first += pt.p;
        qMean[pt.kind].first += pt.q;
        yMean[pt.kind].first += pt.y;
        ++pMean[pt.kind].second;
    }
    auto mean = [&](std::map<int, std::pair<double, int>> &sums, int kind) {
        return sums[kind].first / pMean[kind].second;
    };
    double spp = 0, sqq = 0, spq = 0, spy = 0, sqy = 0;
    for (const Point &pt : points) {
        const double p = pt.p - mean(pMean, pt.kind);
        const double q = pt.q - mean(qMean, pt.kind);
        const double y = pt.y - mean(yMean, pt.kind);
        spp += p * p;
        sqq += q * q;
        spq += p * q;
        spy += p * y;
        sqy += q * y;
    }
    Plane plane;
    plane.spp = spp;
    plane.sqq = sqq;
    plane.spq = spq;
    if (spp <= 0)
        return plane;
    plane.det = spp * sqq - spq * spq;
    if (sqq > 0 && plane.det > separable * spp * sqq && sqq > constantReply * spp) {
        plane.forward = plane.back = true;
        plane.f = (sqq * spy - spq * sqy) / plane.det;
        plane.r = (spp * sqy - spq * spy) / plane.det;
        plane.parameters = static_cast<int>(pMean.size()) + 2;
    } else if (sqq <= constantReply * spp) {
        plane.forward = true;
        plane.f = spy / spp;
        plane.parameters = static_cast<int>(pMean.size()) + 1;
    } else {
        return plane;
    }
    for (const Point &pt : points) {
        const double fitted =
            mean(yMean, pt.kind) + plane.f * (pt.p - mean(pMean, pt.kind)) + plane.r * (pt.q - mean(qMean, pt.kind));
        plane.residuals.push_back(pt.y - fitted);
    }
    return plane;
}

double median(std::vector<double> values)
{
    std::nth_element(values.begin(), values.begin() + static_cast<long>(values.size() / 2), values.end());
    return values[values.size() / 2];
}

}  // namespace

SlopeEstimate meanSlope(const DirectionFit &fit)
{
    const double variance = fit.fStdev * fit.fStdev + fit.rStdev * fit.rStdev + 2.0 * fit.covariance;
    return SlopeEstimate{(fit.f + fit.r) / 2.0, 0.5 * std::sqrt(std::max(0.0, variance))};
}

DirectionFit fitDirections(std::span<const DirectionGroup> groups, double quantile, double timingFloor,
                           int minimumCount)
{
    std::vector<Point> points;
    for (const DirectionGroup &g : groups)
        if (g.floors.count() >= std::max(1, minimumCount))
            points.push_back(Point{g.kind, static_cast<double>(g.probeBytes), static_cast<double>(g.replyBytes),
                                   g.floors.floor(quantile)});
    DirectionFit fit;
    Plane plane = fitPlane(points);
    if (!plane.forward || static_cast<int>(points.size()) <= plane.parameters)
        return fit;

    // Sizes whose every sample was held up lie far above the plane: set aside the farthest
    // while beyond four robust deviations, a quarter of the groups at most, one at a time.
    // (A kind with few groups, as rate-limited errors at two sizes and a stray one, follows
    // a far group of its own: judged by the first plane, its good groups would go too.)
    const size_t most = points.size() / 4;
    for (size_t k = 0; k < most; ++k) {
        std::vector<double> distance;
        for (const double r : plane.residuals)
            distance.push_back(std::fabs(r));
        const double limit = std::max(4.0 * 1.4826 * median(distance), 3.0 * timingFloor);
        const auto farthest = std::max_element(distance.begin(), distance.end());
        if (*farthest <= limit)
            break;
        points.erase(points.begin() + (farthest - distance.begin()));
        plane = fitPlane(points);
        if (!plane.forward || static_cast<int>(points.size()) <= plane.parameters)
            return fit;
    }

    fit.forward = plane.forward;
    fit.back = plane.back;
    fit.f = plane.f;
    fit.r = plane.r;
    fit.groups = static_cast<int>(points.size());
    double squares = 0;
    for (const double r : plane.residuals)
        squares += r * r;
    const int freedom = fit.groups - plane.parameters;
    fit.residual = std::sqrt(squares / freedom);
    const double sigma = std::max(fit.residual, timingFloor) * studentT90(freedom) / studentT90Limit;
    if (plane.back) {
        fit.fStdev = sigma * std::sqrt(plane.sqq / plane.det);
        fit.rStdev = sigma * std::sqrt(plane.spp / plane.det);
        fit.covariance = -sigma * sigma * plane.spq / plane.det;
    } else {
        fit.fStdev = sigma / std::sqrt(plane.spp);
    }
    // Lengths that barely part (a whole quote cut by the MTU at the largest size) leave the
    // directions to a handful of bytes: slopes known no better than a quarter tell nothing.
    if (fit.fStdev > wideSlope * std::fabs(fit.f) || (fit.back && fit.rStdev > wideSlope * std::fabs(fit.r)))
        return DirectionFit{};
    return fit;
}

}  // namespace hoprate
