// The links of a path from the floor slopes of its hops. Hop k's slope is the time per
// byte of every link up to it; the link that ends at a hop is the difference between its
// slope and that of the nearest measured hop before it (the source, slope 0, for the
// first). A hop that was not measured (a silent router) is skipped: the link after it
// then spans both, in series.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "measure/capacity.h"

namespace hoprate {

struct ChainLink {
    int nearHop = -1;             // index of the measured hop at its near end; -1: the source
    CapacityEstimate capacity;
};

// One entry per hop: the link that ends there, or nothing for a hop not measured
// (slopes[i] empty). A measured hop without a fit has the slope {NaN, inf}: its link and
// the next are unknown.
std::vector<std::optional<ChainLink>> linkChain(std::span<const std::optional<SlopeEstimate>> slopes,
                                                double systematic, double relative);

// The largest step between neighbouring measured slopes (seconds per byte): the slowest
// link's time per byte. Nothing while a measured hop has no slope yet or no step is
// positive.
std::optional<double> slowestStep(std::span<const std::optional<double>> slopes);

// The median of packet-pair rates (bits per second): the narrowest link's rate, when at
// least three pairs came back; 0 otherwise.
double medianPairRate(std::vector<double> rates);

}  // namespace hoprate
