#include "engine/round_planner.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace hoprate {

std::vector<double> linkNeeds(std::span<const std::optional<ChainLink>> chain)
{
    const size_t n = chain.size();
    std::vector<double> width(n, std::numeric_limits<double>::infinity());  // the link ending at hop i
    for (size_t i = 0; i < n; ++i) {
        if (!chain[i])
            continue;
        const CapacityEstimate &c = chain[i]->capacity;
        if (c.known && !c.lowerBound)
            width[i] = (c.high - c.low) / (2.0 * c.bitsPerSecond);
    }
    std::vector<double> need(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        if (!chain[i])
            continue;
        need[i] = width[i];
        for (size_t j = i + 1; j < n; ++j) {
            if (chain[j] && chain[j]->nearHop == static_cast<int>(i)) {
                need[i] = std::max(need[i], width[j]);
                break;
            }
        }
    }
    return need;
}

RoundPlan planRound(std::span<const HopSnapshot> hops, const PreciseSettings &settings)
{
    const size_t n = hops.size();
    int64_t spent = 0, allowed = 0;
    std::vector<int64_t> allowance(n, 0);
    double widest = 0;
    int eligible = 0, over = 0;
    for (size_t i = 0; i < n; ++i) {
        const HopSnapshot &hop = hops[i];
        if (!hop.measured || hop.rateLimited)
            continue;
        allowance[i] = static_cast<int64_t>(settings.budget) * (hop.noisy ? settings.noisyBudget : 1);
        allowed += allowance[i];
        spent += hop.measurementProbes;
        if (hop.need > settings.target)
            widest = std::max(widest, hop.need);
        ++eligible;
        over += hop.measurementProbes > allowance[i] ? 1 : 0;
    }
    // Fewer than half of the hops may go beyond their allowance.
    const int overLimit = (eligible - 1) / 2;
    const int round = settings.probeSizes;

    RoundPlan plan;
    for (size_t i = 0; i < n; ++i) {
        const HopSnapshot &hop = hops[i];
        if (!hop.measured)
            continue;
        if (hop.rateLimited) {
            // Probes lost to the limit before the pacing do not count; the paced ones fit
            // in a bounded time.
            const int64_t paced = std::min<int64_t>(
                settings.budget,
                std::max<int64_t>(round, pacedTime(settings) / std::max<int64_t>(1, hop.pacingInterval)));
            if (hop.pacedProbes + round <= paced && hop.need > settings.target)
                plan.hops.push_back(static_cast<int>(i));
            continue;
        }
        const bool starting = hop.measurementProbes < std::max<double>(settings.minimumRounds * round,
                                                                       settings.minimumShare * settings.budget);
        if (!starting) {
            if (!(hop.need > settings.target))
                continue;  // both of its links are known closely enough
            if (hop.measurementProbes + round > 2 * allowance[i] || spent + round > allowed)
                continue;
            if (hop.need < 0.5 * widest)
                continue;  // its links can wait for those most in need
            const bool crossing = hop.measurementProbes <= allowance[i] && hop.measurementProbes + round > allowance[i];
            if (crossing) {
                if (over >= overLimit)
                    continue;
                ++over;
            }
        }
        plan.hops.push_back(static_cast<int>(i));
    }
    plan.widest = std::isfinite(widest) ? widest : 0;
    return plan;
}

}  // namespace hoprate
