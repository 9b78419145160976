// The floor of round-trip time against bytes: per group of equal-size probes a low order
// statistic of its times, and the straight line through those.
//
// A probe's round trip is the floor (propagation, processing, and bytes x the time per
// byte of every link crossed) plus a delay that is never negative (queueing, late
// timers). The smallest time of a group is the classic estimate of its floor, but one
// sample stamped wrongly (a send stamp taken late makes a round trip look short) decides
// it alone, and under cross traffic it is a single draw of a wide distribution; the mean
// of the lowest tenth of the samples (at least two) does better on both counts, measured
// on the lab. The line's slope is the seconds per byte; its uncertainty comes from the
// scatter of the groups about it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace hoprate {

struct FloorGroup {
    int64_t bytes = 0;            // the x of the group: bytes the probe and its reply put on each link
    std::vector<double> samples;  // seconds, kept in ascending order

    void add(double rtt);
    int count() const { return static_cast<int>(samples.size()); }
    // The floor estimate: the mean of the lowest max(2, quantile x count) samples (all of
    // them when there are fewer).
    double floor(double quantile) const;
};

struct FloorFit {
    bool valid = false;     // at least three groups at different sizes
    double slope = 0;       // seconds per byte
    double intercept = 0;   // seconds
    double slopeStdev = 0;  // standard deviation of the slope, seconds per byte
    int groups = 0;         // groups that entered the fit
    double residual = 0;    // standard deviation of the floors about the line, seconds
};

// Least squares through the floors of the groups with at least two samples, after setting
// aside (up to a quarter of them, the farthest first) groups that lie beyond four robust
// deviations from the line. The slope's deviation is the residual scatter's (never below
// timingFloor per point), widened for few groups to the 90 % Student-t quantile.
// minimumCount: the samples a group needs to enter (1 gives a rough line early on).
FloorFit fitFloor(std::span<const FloorGroup> groups, double quantile, double timingFloor, int minimumCount = 2);

// The two-sided 90 % quantile of the normal distribution, exact; it turns a standard
// deviation into a 90 % interval.
constexpr double normalQuantile90 = 1.6448536269514722;
// The two-sided 90 % quantile of Student's t with the given degrees of freedom, from its
// table to three digits, and its limit for infinitely many, the normal's to four: the
// ratio of the two, which widens a fit's deviation for few sizes, is then exactly 1 far
// out.
double studentT90(int degreesOfFreedom);
constexpr double studentT90Limit = 1.6449;

}  // namespace hoprate
