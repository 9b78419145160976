// Finding the path before measuring it: every hop's TTL and the address that answers
// there (TTL-limited probes toward the destination, a batch of TTLs at a time), the
// protocol that reaches the destination (echo, else UDP to a closed port, else TCP SYN,
// as settings allow), the path MTU (probes with DF, shrinking on "fragmentation needed" or
// "packet too big"), which routers answer echo requests addressed to them, and the path's
// time per byte to pace the first probes by.
#pragma once

#include <functional>
#include <vector>

#include "engine/probe_ledger.h"
#include "model/precise_result.h"
#include "model/precise_settings.h"

namespace hoprate {

struct PathDescription {
    std::vector<PathHop> hops;     // hop 1 first; the last is the destination, if it answered
    bool destinationReached = false;
    ProbeProtocol protocol = ProbeProtocol::Icmp;  // what reaches the destination and the TTL-limited routers
    int pathMtu = 0;
    double initialPerByte = 0;     // seconds per byte to the destination, one way: pacing until fits know better
};

// Called with each phase as it begins and the hops known by then.
using PhaseSink = std::function<void(const char *phase, int hops)>;

// The protocols a run may reach the destination with, in the order they are tried.
std::vector<ProbeProtocol> pathProtocols(ProtocolChoice choice);

// Throws PreciseError when no router and not the destination answers within
// settings.maxHops, or when a probe cannot be sent for a reason other than its size.
PathDescription discoverPath(ProbeLedger &ledger, Network &net, const IpAddress &destination,
                             const PreciseSettings &settings, const PhaseSink &phase);

}  // namespace hoprate
