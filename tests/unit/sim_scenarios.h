// Scenarios for the accurate engine on the simulated path: chains of links, the engine's
// default settings with a fixed seed, one run with optional figures on standard output
// (HOPRATE_SIM_VERBOSE=1), and the error and coverage of a hop's estimate.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/precise_engine.h"
#include "simulated_path.h"

using namespace hoprate;

struct Scenario {
    std::vector<SimLink> links;
    std::vector<SimNode> nodes;
};

// Links of the given rates (1 ms each way), nodes 10.77.j.2 at their far ends.
inline Scenario chain(const std::vector<double> &rates)
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

// Fixed secrets: the sequence numbers wrap after the first 16 probes.
inline ProbeSecrets testSecrets()
{
    return ProbeSecrets{0x4A21, 0x9E3779B9, 0xFFF0, 0x5A3C};
}

// The simulated host's flows: its address, the fake's UDP and TCP ports, the defaults.
inline FlowSetup testFlows(Family family = Family::V4)
{
    return FlowSetup{family, SimulatedPath::hostFor(family), 40001, 40002, 33434, 80};
}

inline PreciseSettings defaults(uint64_t seed = 7)
{
    PreciseSettings s;
    s.seed = seed;
    return s;
}

inline PreciseResult measure(const Scenario &s, PreciseSettings settings = defaults(), uint64_t pathSeed = 3)
{
    SimulatedPath path(s.links, s.nodes, pathSeed);
    PreciseEngine engine(path, settings, testSecrets(), testFlows(s.nodes.back().address.family));
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

inline double error(const HopResult &h, double truth)
{
    return (h.capacity.bitsPerSecond - truth) / truth;
}

inline bool covers(const HopResult &h, double truth)
{
    return h.capacity.known && h.capacity.low <= truth && (h.capacity.lowerBound || truth <= h.capacity.high);
}
