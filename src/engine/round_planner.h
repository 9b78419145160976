// Which hops the next round probes. Pure: it decides from a snapshot of every hop.
//
// A hop goes on while a link at either side of it is not known closely enough (its
// statistical half-width above the target; more probes cannot shrink the systematic
// part), but never stops before its first rounds and half its budget: floors of few
// samples read high. Probes are shared over the path: each hop is allowed its budget
// (noisyBudget times that while its floors scatter as under cross traffic), the path may
// spend the sum of the allowances, a hop up to twice its own, and fewer than half of the
// hops may go beyond theirs, so that the median hop keeps to its budget. Each round takes
// only the hops whose links are at least half as uncertain as the least certain one: the
// probes go where a link is hard to resolve. A rate-limited hop is probed at its pace
// until its paced probes fill two minutes or its budget.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "measure/link_chain.h"
#include "model/precise_settings.h"

namespace hoprate {

struct HopSnapshot {
    bool measured = false;       // false: a silent hop, never probed
    bool rateLimited = false;
    int measurementProbes = 0;
    int pacedProbes = 0;         // rate-limited: probes sent since the pacing began
    int64_t pacingInterval = 0;  // rate-limited: nanoseconds between its probes
    double need = 0;             // relative half-width of the less known of its links (inf: unknown)
    bool noisy = false;          // its floors scatter like cross traffic
};

struct RoundPlan {
    std::vector<int> hops;  // indices of the hops to probe, in path order
    double widest = 0;      // the largest need still above the target (0: none, or unknown)
};

RoundPlan planRound(std::span<const HopSnapshot> hops, const PreciseSettings &settings);

// What each hop still needs: the relative half-width of the wider of the links it is an
// end of (the statistical part only), from the chain of links computed without
// systematic terms. Unknown links, and those too fast to resolve, need infinitely much.
std::vector<double> linkNeeds(std::span<const std::optional<ChainLink>> chain);

}  // namespace hoprate
