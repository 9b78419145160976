// The round planner's decisions, one table row each: starting hops, hops whose links are
// known, budgets and allowances, the sharing rule, rate-limited pacing; and the needs it
// decides from (half-widths of the links at either end of a hop).
#include "engine/round_planner.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace hoprate;

namespace {

// A measured hop: probes sent so far and what its links still need.
HopSnapshot hop(int probes, double need, bool noisy = false)
{
    HopSnapshot s;
    s.measured = true;
    s.measurementProbes = probes;
    s.need = need;
    s.noisy = noisy;
    return s;
}

HopSnapshot silent()
{
    return HopSnapshot{};
}

HopSnapshot limited(int paced, int64_t interval, double need)
{
    HopSnapshot s = hop(0, need);
    s.rateLimited = true;
    s.pacedProbes = paced;
    s.pacingInterval = interval;
    return s;
}

TEST(RoundPlanner, DecisionsByTable)
{
    PreciseSettings settings;  // budget 300, 16 sizes, target 0.0004, noisy budget x3
    const double inf = INFINITY;
    struct Case {
        std::string what;
        std::vector<HopSnapshot> hops;
        std::vector<int> active;
    };
    const Case cases[] = {
        {"a starting hop goes on whatever its need (4 rounds, half the budget)", {hop(149, 0.0), hop(150, 0.0)}, {0}},
        {"a hop whose links are known stops", {hop(200, 0.0004), hop(200, 0.0005)}, {1}},
        {"silent hops are never probed", {silent(), hop(0, inf)}, {1}},
        {"twice its allowance at most",
         {hop(584, 0.01), hop(585, 0.01), hop(16, 0.01), hop(16, 0.01), hop(16, 0.01), hop(16, 0.01)},
         {0, 2, 3, 4, 5}},
        {"a noisy hop is allowed three times its budget",
         {hop(1780, 0.01, true), hop(1790, 0.01, true), hop(10, 0.01, true), hop(10, 0.01, true), hop(10, 0.01, true)},
         {0, 2, 3, 4}},
        {"the path's total is the sum of the allowances", {hop(300, 0.01), hop(290, 0.01)}, {}},
        {"links half as uncertain as the worst wait", {hop(200, 0.01), hop(200, 0.0049), hop(200, 0.005)}, {0, 2}},
        {"an unknown link takes every round until it is known", {hop(200, inf), hop(200, 0.01)}, {0}},
        // Five hops at their allowance all want more: two of them may go beyond it.
        {"fewer than half go beyond their allowance",
         {hop(290, 0.01), hop(290, 0.01), hop(290, 0.01), hop(290, 0.01), hop(290, 0.01), hop(150, 0.0001)},
         {0, 1}},
        {"those already beyond count", {hop(310, 0.01), hop(290, 0.01), hop(290, 0.01), hop(150, 0.0001)}, {0}},
        {"a rate-limited hop goes on at its pace", {limited(100, 1000000000, 0.01)}, {0}},
        {"its paced probes fill two minutes at most", {limited(105, 1000000000, 0.01)}, {}},
        {"and its budget", {limited(285, 100000000, 0.01)}, {}},
        {"a rate-limited hop stops at the target too", {limited(0, 1000000000, 0.0004)}, {}},
    };
    for (const Case &c : cases) {
        const RoundPlan plan = planRound(c.hops, settings);
        EXPECT_EQ(plan.hops, c.active) << c.what;
    }
}

TEST(RoundPlanner, TheWidestNeedIsReportedWhenFinite)
{
    const PreciseSettings settings;
    EXPECT_EQ(planRound(std::vector{hop(200, 0.002), hop(200, 0.0001)}, settings).widest, 0.002);
    EXPECT_EQ(planRound(std::vector{hop(200, INFINITY)}, settings).widest, 0);
    EXPECT_EQ(planRound(std::vector{hop(200, 0.0001)}, settings).widest, 0);
}

TEST(LinkNeeds, TheHalfWidthOfTheWiderLinkAtEitherEnd)
{
    // Links ending at hops 0, 2 and 3 (hop 1 silent); relative half-widths 0.1 %, 0.5 %
    // and a lower bound.
    auto link = [](int near, double low, double high, bool lowerBound = false) {
        ChainLink l;
        l.nearHop = near;
        l.capacity.known = true;
        l.capacity.lowerBound = lowerBound;
        l.capacity.bitsPerSecond = 1e6;
        l.capacity.low = low;
        l.capacity.high = high;
        return std::optional<ChainLink>(l);
    };
    const std::vector<std::optional<ChainLink>> chain = {link(-1, 0.999e6, 1.001e6), std::nullopt,
                                                         link(0, 0.995e6, 1.005e6), link(2, 1e6, 0, true)};
    const std::vector<double> need = linkNeeds(chain);
    ASSERT_EQ(need.size(), 4u);
    EXPECT_NEAR(need[0], 0.005, 1e-12);  // its own link 0.1 %, the one beyond the silent hop 0.5 %
    EXPECT_EQ(need[1], 0);
    EXPECT_TRUE(std::isinf(need[2]));    // the next link is only a bound
    EXPECT_TRUE(std::isinf(need[3]));
    EXPECT_NEAR(linkNeeds(std::vector{link(-1, 0.999e6, 1.001e6)})[0], 0.001, 1e-12);
}

}  // namespace
