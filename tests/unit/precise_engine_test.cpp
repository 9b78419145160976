// The accurate engine on simulated paths: discovery, matching, the methods per hop,
// quoting, silent and rate-limited routers, the path MTU, foreign ICMP, and accuracy with
// honest intervals. Set HOPRATE_SIM_VERBOSE=1 to see every hop's figures.
#include "engine/precise_engine.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "simulated_path.h"

namespace {

struct Scenario {
    std::vector<SimLink> links;
    std::vector<SimNode> nodes;
};

// Links of the given rates (1 ms each way), nodes 10.77.j.2 at their far ends.
Scenario chain(const std::vector<double> &rates)
{
    Scenario s;
    for (size_t j = 0; j < rates.size(); ++j) {
        SimLink l;
        l.rate = rates[j];
        s.links.push_back(l);
        SimNode n;
        n.address = SimulatedPath::address(10, 77, static_cast<int>(j + 1), 2);
        s.nodes.push_back(n);
    }
    return s;
}

PreciseSettings defaults(uint64_t seed = 7)
{
    PreciseSettings s;
    s.seed = seed;
    return s;
}

PreciseResult measure(const Scenario &s, PreciseSettings settings = defaults(), uint64_t pathSeed = 3)
{
    SimulatedPath path(s.links, s.nodes, pathSeed);
    PreciseEngine engine(path, settings);
    PreciseResult r = engine.run(s.nodes.back().address);
    if (std::getenv("HOPRATE_SIM_VERBOSE")) {
        std::printf("%d probes, %.2f s, mtu %d\n", r.probesSent, r.wallSeconds, r.pathMtu);
        for (const HopResult &h : r.hops)
            std::printf("hop %d method %d probes %d replies %d cap %.6g [%.6g, %.6g]%s merged %d\n", h.hop,
                        static_cast<int>(h.method), h.probes, h.replies, h.capacity.bitsPerSecond, h.capacity.low,
                        h.capacity.high, h.capacity.lowerBound ? " lower bound" : "", h.mergedFrom);
    }
    return r;
}

double error(const HopResult &h, double truth)
{
    return (h.capacity.bitsPerSecond - truth) / truth;
}

bool covers(const HopResult &h, double truth)
{
    return h.capacity.known && h.capacity.low <= truth && (h.capacity.lowerBound || truth <= h.capacity.high);
}

TEST(PreciseEngine, ThreeSlowLinksWithinATenthOfAPercentAndCovered)
{
    const std::vector<double> rates = {10e6, 2e6, 5e6};
    const PreciseResult r = measure(chain(rates));
    ASSERT_EQ(r.hops.size(), 3u);
    EXPECT_EQ(r.pathMtu, 1500);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const HopResult &h = r.hops[i];
        EXPECT_EQ(h.method, i == 2 ? HopMethod::Destination : HopMethod::EchoRouter);
        ASSERT_TRUE(h.capacity.known);
        EXPECT_FALSE(h.capacity.lowerBound);
        EXPECT_LT(std::fabs(error(h, rates[i])), 0.001);
        EXPECT_TRUE(covers(h, rates[i]));
        EXPECT_LE(h.probes, 400);
    }
}

}  // namespace
