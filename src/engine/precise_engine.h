// The accurate engine: finds the path and each hop's address itself, then measures every
// hop interleaved with echo probes of sizes from small to the path MTU in random order,
// several in flight at once but spaced so that they do not queue behind each other at
// the bottleneck, until each link's capacity is known closely enough or the hop's budget
// is spent. Each reply is matched to its own probe; kernel time stamps where the host
// gives them.
//
// How each hop is measured:
//   destination       echo requests to it
//   router            echo requests addressed to the router (echo replies carry the
//                     probe's size back and are not rate limited), with the TTL of its hop
//   router without    TTL-limited echo requests toward the destination, answered by time-
//   echo replies      exceeded messages; paced to the router's rate limit when it has one
//   silent router     nothing: the links on both sides are reported as one segment
// Every round trip is fitted against the bytes the probe and its reply put on each link,
// so the reply's length (a full echo, or a quote of 28, 576 or more bytes) biases nothing.
//
// The pieces: ProbeLedger (sending, matching, stamps), discoverPath (the path, its MTU,
// who answers echo), planRound (which hops each round probes), estimateHops (the links).
// The engine wires them and owns the pacing.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <vector>

#include "engine/hop_state.h"
#include "engine/precise_error.h"
#include "engine/probe_ledger.h"
#include "engine/round_planner.h"
#include "model/precise_result.h"
#include "model/precise_settings.h"
#include "net/network.h"

namespace hoprate {

class PreciseEngine {
public:
    using ProgressSink = std::function<void(const PreciseProgress &)>;

    // secrets: the flow's identifier and cookie and the first sequence number
    // (drawProbeSecrets in a real run). The settings are used as given
    // (effectiveSettings makes them whole).
    // flows: where the probes leave from and the ports of UDP and TCP probes (their
    // sockets prepared).
    PreciseEngine(Network &net, PreciseSettings settings, ProbeSecrets secrets, FlowSetup flows,
                  ProgressSink progress = {});
    // Measures the path to the destination. Throws PreciseError when nothing can be
    // measured (neither the destination nor a router answers within the hop limit) or
    // the network fails, PreciseInterrupted when a signal stops it before any measurement.
    // A signal while measuring ends the run early: the result is estimated from the
    // probes so far and marked incomplete.
    PreciseResult run(const IpAddress &destination);

private:
    void measure();
    std::vector<HopSnapshot> snapshot();
    int sendToHop(HopState &hop, int size, int pairFirst = -1);
    void sendSide(HopState &hop, int size);
    // Counts a probe sent for a hop (and tells the hop's watch, if given); the errno of a
    // send that failed for another reason than the probe's size or a full queue, else 0.
    int countSent(int probe, int &count, RateLimitWatch *watch);
    bool sideWanted(const HopState &hop, size_t rounds) const;
    void takeAnswer(const Answer &answer);
    // How long after a SYN to a destination that holds our flow half-open the next may go.
    int64_t halfOpenTime(const HopState &hop, int size) const;
    double bottleneckPerByte() const;
    double gapAfter(int size, double perByte) const;
    void reviewRateLimits();
    void reportProgress(const char *phase, int activeHops = 0, double worst = 0);

    Network &net;
    PreciseSettings settings;
    ProgressSink progress;
    std::mt19937_64 random;
    ProbeLedger ledger;
    ProbeLedger::AnswerSink answers;
    IpAddress destination;
    PathDescription path;
    std::vector<HopState> hops;  // index 0 is hop 1
    std::set<ProbeProtocol> sideFailed;  // protocols whose extra probes could not be sent
};

}  // namespace hoprate
