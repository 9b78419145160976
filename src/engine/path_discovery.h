// Finding the path before measuring it: every hop's TTL and the address that answers
// there (TTL-limited echo requests toward the destination, a batch of TTLs at a time), the
// path MTU (echo requests with DF, shrinking on "fragmentation needed"), which routers
// answer echo requests addressed to them, and the path's time per byte to pace the first
// probes by.
#pragma once

#include <functional>
#include <map>
#include <vector>

#include "engine/probe_ledger.h"
#include "model/precise_result.h"
#include "model/precise_settings.h"

namespace hoprate {

struct PathHop {
    int number = 0;                          // its TTL
    HopMethod method = HopMethod::Silent;
    Ipv4Address address = 0;                 // who is measured there (none for a silent hop)
    std::map<Ipv4Address, int> responders;  // who answered at this TTL, and how often
};

struct PathDescription {
    std::vector<PathHop> hops;     // hop 1 first; the last is the destination
    int pathMtu = 0;
    double initialPerByte = 0;     // seconds per byte to the destination, one way: pacing until fits know better
};

// Called with each phase as it begins and the hops known by then.
using PhaseSink = std::function<void(const char *phase, int hops)>;

// Throws PreciseError when the destination answers no echo request within
// settings.maxHops, or when a probe cannot be sent for a reason other than its size.
PathDescription discoverPath(ProbeLedger &ledger, Network &net, Ipv4Address destination,
                             const PreciseSettings &settings, const PhaseSink &phase);

}  // namespace hoprate
