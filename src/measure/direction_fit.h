// The two directions of the round trip apart: a probe's bytes cross every link toward the
// destination, its reply's bytes cross them back, and the floor of a round trip is
//     intercept (per kind of reply) + p x F + q x R
// with p and q the IP lengths of probe and reply, F and R the seconds per byte of every
// link up to the hop in each direction. An echo reply is as long as its probe (q = p):
// echoes alone tell F + R only. A time-exceeded or port-unreachable message quotes the
// probe up to a limit (576 or 1280 bytes in all, 28 or 48 bytes of it, or all of it):
// where the reply stays the same length while the probe grows, its slope is F alone.
// Floors of both kinds, or of one kind on both sides of its quote limit, separate F and R.
#pragma once

#include <cstdint>
#include <span>

#include "measure/capacity.h"
#include "measure/floor_fit.h"

namespace hoprate {

// The round trips of one kind of reply at one probe length and one reply length.
struct DirectionGroup {
    int kind = 0;            // replies of different kinds have their own intercepts
    int64_t probeBytes = 0;  // p
    int64_t replyBytes = 0;  // q
    FloorGroup floors;
};

struct DirectionFit {
    bool forward = false;  // F is known (the reply lengths do not follow the probe's alone)
    bool back = false;     // R is known too (both kinds, or replies of both lengths)
    double f = 0, r = 0;   // seconds per byte
    double fStdev = 0, rStdev = 0;
    double covariance = 0;  // of F and R (negative: what one gains the other loses)
    int groups = 0;         // groups that entered the fit
    double residual = 0;    // standard deviation of the floors about the plane, seconds
};

// (F + R) / 2, the time per byte of both directions together, with its deviation: known
// far more closely than either when the directions are apart.
SlopeEstimate meanSlope(const DirectionFit &fit);

// Least squares through the floors of the groups with at least minimumCount samples,
// after setting aside up to a quarter of them beyond four robust deviations, the farthest
// first and one at a time, each judged by the fit without the ones before. Deviations as
// fitFloor's: the residual scatter (never below timingFloor), widened to the Student-t
// quantile for few groups. Nothing is known while the lengths leave a
// direction undetermined: probe and reply lengths that rise together (echoes alone,
// whole quotes) tell only F + R, which fitFloor measures.
DirectionFit fitDirections(std::span<const DirectionGroup> groups, double quantile, double timingFloor,
                           int minimumCount = 2);

}  // namespace hoprate
