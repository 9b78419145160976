// The floor line and a link's capacity: the mean of a group's lowest samples, exact
// lines through known points, sizes set aside as outliers (at most a quarter), fits that
// cannot be made, the Student-t quantiles (against a numerical integration of the
// density), and the capacity interval, lower bound and unknown cases.
#include "measure/floor_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <vector>

#include "measure/capacity.h"

using namespace hoprate;

namespace {

constexpr double secondsPerByte = 8e-9;  // 1 Gb/s one way
constexpr double base = 1e-3;
constexpr double timingFloor = 3e-7;

double onLine(int64_t bytes)
{
    return base + secondsPerByte * static_cast<double>(bytes);
}

// 16 samples: two at `floor` (the mean of the lowest tenth), 14 later ones above; with
// early > 0 one of the two lowest is that much short (a send stamp taken late).
FloorGroup group(int64_t bytes, double floor, double early = 0)
{
    FloorGroup g;
    g.bytes = bytes;
    for (int i = 14; i >= 1; --i)
        g.add(floor + 1e-5 * i);
    g.add(floor);
    g.add(early > 0 ? floor - early : floor);
    return g;
}

// Sizes 100, 200, ... 100 x n on the line; the i-th of them `above[i]` seconds higher.
std::vector<FloorGroup> line(int n, const std::map<int, double> &above = {})
{
    std::vector<FloorGroup> groups;
    for (int i = 1; i <= n; ++i) {
        const int64_t bytes = 100 * i;
        const auto high = above.find(i);
        groups.push_back(group(bytes, onLine(bytes) + (high == above.end() ? 0 : high->second)));
    }
    return groups;
}

void expectOnTheLine(const FloorFit &fit, int groups)
{
    ASSERT_TRUE(fit.valid);
    EXPECT_EQ(fit.groups, groups);
    EXPECT_NEAR(fit.slope, secondsPerByte, secondsPerByte * 1e-9);
    EXPECT_NEAR(fit.intercept, base, 1e-15);
    EXPECT_LT(fit.residual, 1e-15);
}

TEST(FloorGroup, KeepsSamplesSortedAndAveragesTheLowestTenth)
{
    FloorGroup g;
    for (double s : {5.0, 1.0, 4.0, 1.0, 3.0, 2.0, 9.0, 8.0, 7.0, 6.0})
        g.add(s);
    EXPECT_EQ(g.samples, (std::vector<double>{1, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(g.count(), 10);
    // The mean of the lowest quantile x count samples, at least two, at most all.
    EXPECT_EQ(g.floor(0.1), 1);
    EXPECT_EQ(g.floor(0), 1);
    EXPECT_EQ(g.floor(-1.0), 1);
    EXPECT_EQ(g.floor(0.4), 1.75);  // the lowest four
    EXPECT_EQ(g.floor(0.5), 2.2);
    EXPECT_EQ(g.floor(1.0), 4.6);
    EXPECT_EQ(g.floor(5.0), 4.6);
    g.add(0.5);  // 11 samples: 1.1 -> still the lowest two
    EXPECT_EQ(g.floor(0.1), 0.75);
    FloorGroup one;
    one.add(3.0);
    EXPECT_EQ(one.floor(0.1), 3.0);
    const FloorGroup sixteen = group(100, 2.0, 1.0);
    EXPECT_EQ(sixteen.count(), 16);
    EXPECT_EQ(sixteen.floor(0.1), 1.5);  // 1.6 -> the lowest two
}

TEST(FitFloor, ExactLineThroughTheFloors)
{
    const std::vector<FloorGroup> groups = line(16);
    const FloorFit fit = fitFloor(groups, 0.1, timingFloor);
    expectOnTheLine(fit, 16);
    // No scatter: the timing floor per point, widened to t(14) = 1.761. Sizes 100..1600
    // have sum (x - mean)^2 = 3.4e6.
    EXPECT_NEAR(fit.slopeStdev, timingFloor / std::sqrt(3.4e6) * 1.761 / 1.6449, 1e-20);

    // Residuals of +e, -e, -e, +e (no trend, no mean) give residual e x sqrt(16/14).
    std::vector<FloorGroup> scattered;
    const double e = 1e-5;
    for (int i = 0; i < 16; ++i) {
        const int64_t bytes = 100 * (i + 1);
        scattered.push_back(group(bytes, onLine(bytes) + ((i % 4 == 0 || i % 4 == 3) ? e : -e)));
    }
    const FloorFit spread = fitFloor(scattered, 0.1, timingFloor);
    ASSERT_TRUE(spread.valid);
    EXPECT_EQ(spread.groups, 16);
    EXPECT_NEAR(spread.slope, secondsPerByte, 1e-15);
    EXPECT_NEAR(spread.residual, e * std::sqrt(16.0 / 14.0), 1e-12);
    EXPECT_NEAR(spread.slopeStdev, spread.residual / std::sqrt(3.4e6) * 1.761 / 1.6449, 1e-18);
}

TEST(FitFloor, TheLineRunsThroughTheMeansOfTheLowestSamples)
{
    // Every other size has its two lowest samples 50 us either side of the line: their
    // minima zigzag, their means do not.
    std::vector<FloorGroup> groups;
    for (int i = 1; i <= 16; ++i) {
        const double floor = onLine(100 * i);
        FloorGroup g;
        g.bytes = 100 * i;
        for (int j = 1; j <= 14; ++j)
            g.add(floor + 1e-4 + 1e-5 * j);
        const double d = i % 2 ? 5e-5 : 0;
        g.add(floor - d);
        g.add(floor + d);
        groups.push_back(g);
    }
    expectOnTheLine(fitFloor(groups, 0.1, timingFloor), 16);
    // A quarter of 16: the lowest four, 2.3e-4 / 4 above the line at every size.
    const FloorFit quarter = fitFloor(groups, 0.25, timingFloor);
    ASSERT_TRUE(quarter.valid);
    EXPECT_NEAR(quarter.slope, secondsPerByte, 1e-15);
    EXPECT_NEAR(quarter.intercept, base + 2.3e-4 / 4, 1e-12);
    EXPECT_LT(quarter.residual, 1e-15);
}

TEST(FitFloor, FarSizesAreSetAsideUpToAQuarter)
{
    // One size whose every probe queued, in the middle or at an end; two apart.
    for (int far : {8, 1, 16}) {
        SCOPED_TRACE(far);
        expectOnTheLine(fitFloor(line(16, {{far, 2e-4}}), 0.1, timingFloor), 15);
    }
    expectOnTheLine(fitFloor(line(16, {{4, 2e-4}, {12, 2e-4}}), 0.1, timingFloor), 14);
    // Three of twelve, the farthest first: all three go.
    const std::map<int, double> three = {{9, 1e-4}, {4, 1e-3}, {12, 1e-2}};
    expectOnTheLine(fitFloor(line(12, three), 0.1, timingFloor), 9);
    // A fourth one 10 us up would go next, but a quarter of twelve is three.
    std::map<int, double> four = three;
    four[2] = 1e-5;
    const FloorFit capped = fitFloor(line(12, four), 0.1, timingFloor);
    ASSERT_TRUE(capped.valid);
    EXPECT_EQ(capped.groups, 9);
    EXPECT_GT(capped.residual, 1e-6);
    // Outliers of one height do not hide each other: three of twelve 200 us up, and two
    // side by side at one end of sixteen.
    expectOnTheLine(fitFloor(line(12, {{3, 2e-4}, {7, 2e-4}, {11, 2e-4}}), 0.1, timingFloor), 9);
    expectOnTheLine(fitFloor(line(16, {{15, 2e-4}, {16, 2e-4}}), 0.1, timingFloor), 14);
    // Below four sizes nothing is set aside.
    const FloorFit small = fitFloor(line(3, {{2, 2e-4}}), 0.1, timingFloor);
    ASSERT_TRUE(small.valid);
    EXPECT_EQ(small.groups, 3);
    // Scatter within a few timing floors is no outlier.
    std::vector<FloorGroup> close = line(16);
    close[7] = group(800, onLine(800) + 2.5 * timingFloor);
    const FloorFit kept = fitFloor(close, 0.1, timingFloor);
    ASSERT_TRUE(kept.valid);
    EXPECT_EQ(kept.groups, 16);
}

TEST(FitFloor, TheRobustScaleIsTheNormalsDeviationOfTheResiduals)
{
    // Floors scattered 0, +1, -1 us about the line: the median absolute residual is 1 us,
    // the robust deviation 1.4826 us, and a size is set aside beyond four of those
    // (5.93 us): one 5 us up stays, one 7 us up goes.
    for (const auto &[up, kept] : {std::pair{5e-6, 16}, std::pair{7e-6, 15}}) {
        SCOPED_TRACE(up);
        std::vector<FloorGroup> groups;
        for (int i = 1; i <= 16; ++i) {
            const int64_t bytes = 100 * i;
            const double scatter = i == 9 ? up : (i % 3 == 0 ? 0 : i % 3 == 1 ? 1e-6 : -1e-6);
            groups.push_back(group(bytes, onLine(bytes) + scatter));
        }
        const FloorFit fit = fitFloor(groups, 0.1, 1e-9);
        ASSERT_TRUE(fit.valid);
        EXPECT_EQ(fit.groups, kept);
    }
}

TEST(FitFloor, TooFewGroupsOrOneSizeGiveNoFit)
{
    EXPECT_FALSE(fitFloor({}, 0.1, timingFloor).valid);
    EXPECT_FALSE(fitFloor(line(2), 0.1, timingFloor).valid);
    // Three groups of one size.
    std::vector<FloorGroup> oneSize = {group(500, 1e-3), group(500, 2e-3), group(500, 3e-3)};
    EXPECT_FALSE(fitFloor(oneSize, 0.1, timingFloor).valid);
    // A group of a single sample does not count.
    std::vector<FloorGroup> groups = line(3);
    groups[1].samples.resize(1);
    EXPECT_FALSE(fitFloor(groups, 0.1, timingFloor).valid);
    groups.push_back(group(1000, onLine(1000)));
    EXPECT_EQ(fitFloor(groups, 0.1, timingFloor).groups, 3);
}

// The two-sided 90 % point: P(T <= t) = 0.95, the density integrated by Simpson's rule.
double tDistributionBelow(double t, int dof)
{
    const double nu = dof;
    const double scale = std::exp(std::lgamma((nu + 1) / 2) - std::lgamma(nu / 2)) / std::sqrt(nu * M_PI);
    auto density = [&](double x) { return scale * std::pow(1 + x * x / nu, -(nu + 1) / 2); };
    const int steps = 4000;
    const double h = t / steps;
    double sum = density(0) + density(t);
    for (int i = 1; i < steps; ++i)
        sum += (i % 2 ? 4 : 2) * density(i * h);
    return 0.5 + sum * h / 3;
}

TEST(StudentT90, TableValuesBeyondAndNone)
{
    EXPECT_EQ(studentT90(1), 6.314);
    EXPECT_EQ(studentT90(2), 2.920);
    EXPECT_EQ(studentT90(10), 1.812);
    EXPECT_EQ(studentT90(14), 1.761);
    EXPECT_EQ(studentT90(30), 1.697);
    EXPECT_TRUE(std::isinf(studentT90(0)));
    EXPECT_TRUE(std::isinf(studentT90(-3)));
    for (int dof = 1; dof <= 200; ++dof)
        EXPECT_NEAR(tDistributionBelow(studentT90(dof), dof), 0.95, 1e-4) << dof;
    // Falling toward the normal's 1.6449, never below it.
    for (int dof = 2; dof <= 100000; dof += dof < 100 ? 1 : 997)
        EXPECT_LT(studentT90(dof), studentT90(dof - 1)) << dof;
    EXPECT_GT(studentT90(1000000), 1.6449);
}

TEST(LinkCapacity, IntervalAroundEightBitsOverTheDifference)
{
    // First link: 8e-8 s/B is 100 Mb/s; 1.645 x 1e-10 either side of the slope.
    CapacityEstimate c = linkCapacity({0, 0}, {8e-8, 1e-10}, 0);
    EXPECT_TRUE(c.known);
    EXPECT_FALSE(c.lowerBound);
    EXPECT_NEAR(c.bitsPerSecond, 1e8, 1e-6);
    EXPECT_NEAR(c.low, 99794815.170, 1e-3);
    EXPECT_NEAR(c.high, 100206030.316, 1e-3);
    // Further out: the difference of two slopes, their deviations in quadrature.
    c = linkCapacity({2e-8, 1e-10}, {1e-7, 1e-10}, 0);
    EXPECT_NEAR(c.bitsPerSecond, 1e8, 1e-3);
    EXPECT_NEAR(c.low, 99710071.243, 1e-3);
    EXPECT_NEAR(c.high, 100291619.736, 1e-3);
    // The systematic term widens it.
    c = linkCapacity({2e-8, 1e-10}, {1e-7, 1e-10}, 1e-9);
    EXPECT_NEAR(c.bitsPerSecond, 1e8, 1e-3);
    EXPECT_NEAR(c.low, 97965716.508, 1e-3);
    EXPECT_NEAR(c.high, 102120559.892, 1e-3);
    // A relative term scales with the difference: 1 % of 8e-8 s/B adds 8e-10 s/B.
    c = linkCapacity({2e-8, 1e-10}, {1e-7, 1e-10}, 6e-10, 0.01);
    EXPECT_NEAR(c.bitsPerSecond, 1e8, 1e-3);
    EXPECT_NEAR(c.low, 97965716.508, 1e-3);
    EXPECT_NEAR(c.high, 102120559.892, 1e-3);
}

TEST(LinkCapacity, LowerBoundWhenTheIntervalReachesZero)
{
    CapacityEstimate c = linkCapacity({0, 0}, {1e-10, 1e-10}, 0);
    EXPECT_TRUE(c.known);
    EXPECT_TRUE(c.lowerBound);
    EXPECT_NEAR(c.bitsPerSecond, 30247420569.814, 1e-2);
    EXPECT_EQ(c.low, c.bitsPerSecond);
    EXPECT_EQ(c.high, 0);
    // A systematic term larger than the difference leaves a bound only.
    c = linkCapacity({2e-8, 1e-10}, {1e-7, 1e-10}, 5e-8);
    EXPECT_TRUE(c.lowerBound);
    EXPECT_NEAR(c.low, 49308749.784, 1e-3);
    // A difference slightly below zero, within its noise: still a bound.
    c = linkCapacity({1e-7, 1e-10}, {1e-7 - 1e-11, 1e-10}, 0);
    EXPECT_TRUE(c.known);
    EXPECT_TRUE(c.lowerBound);
}

TEST(LinkCapacity, UnknownWhenTheFarHopIsSignificantlyCloser)
{
    EXPECT_FALSE(linkCapacity({1e-7, 1e-10}, {9e-8, 1e-10}, 0).known);
    EXPECT_FALSE(linkCapacity({0, 0}, {0, 0}, 0).known);
    EXPECT_FALSE(linkCapacity({0, 0}, {NAN, 1e-10}, 0).known);
    EXPECT_FALSE(linkCapacity({0, 0}, {8e-8, NAN}, 0).known);
    EXPECT_FALSE(linkCapacity({0, 0}, {8e-8, INFINITY}, 0).known);
    EXPECT_FALSE(linkCapacity({0, 0}, {8e-8, 0}, INFINITY).known);
    const CapacityEstimate unknown = linkCapacity({1e-7, 0}, {0, 0}, 0);
    EXPECT_FALSE(unknown.lowerBound);
    EXPECT_EQ(unknown.bitsPerSecond, 0);
}

TEST(ReadingsApart, BeyondTwiceTheFacingHalfWidthsEitherWay)
{
    // 100 (up to 110) against a faster reading: apart where the gap exceeds twice the two
    // facing half-widths (10 and its own lower one), whichever is passed first.
    const CapacityEstimate low{true, false, 100, 50, 110};
    struct Case {
        double rate, below;
        bool apart;
    } cases[] = {{159, 20, false}, {161, 20, true}, {200, 39.9, true}, {200, 40.1, false}};
    for (const Case &c : cases) {
        const CapacityEstimate high{true, false, c.rate, c.rate - c.below, c.rate + 1};
        EXPECT_EQ(readingsApart(low, high), c.apart) << c.rate << " " << c.below;
        EXPECT_EQ(readingsApart(high, low), c.apart) << c.rate << " " << c.below;
    }
    const CapacityEstimate bound{true, true, 300, 300, 0}, unknown{};
    EXPECT_FALSE(readingsApart(low, bound));
    EXPECT_FALSE(readingsApart(unknown, low));
}

}  // namespace
