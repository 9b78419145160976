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
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/probe_ledger.h"
#include "measure/capacity.h"
#include "measure/floor_fit.h"
#include "measure/late_stamps.h"
#include "net/echo_network.h"
#include "output/precise_result.h"
#include "wire/flow_echo.h"

struct PreciseSettings {
    int maxHops = 30;
    int budget = 300;              // measurement probes per hop, shared over the path
    double target = 0.0004;        // a link is done when its 90 % interval is within this fraction
    int sizes = 16;                // probe sizes per hop, from the smallest to the path MTU
    double quantile = 0.1;         // the floor of a size: the mean of this share of its lowest round trips
    double noisy = 5e-6;           // seconds per hop of distance: floors scattering more mean cross traffic...
    int noisyBudget = 3;           // ...and such a hop may spend this many times its budget
    double lateStamp = 25e-6;      // seconds: a send stamp this much later than usual is not trusted
    int minimumRounds = 4;         // rounds (one probe of each size) before a hop may stop
    double minimumShare = 0.5;     // and the fraction of its budget: floors of few samples read high
    double rate = 0;               // probes per second at most (0: only the pacing limits)
    double gapFactor = 1.2;        // spacing: this times the bottleneck time of a probe and its reply
    double minimumGap = 0.0002;    // seconds between two sends at least
    double systematic = 1.5e-9;    // seconds per byte: timing uncertainty per link that more probes do not shrink
    double relativeSystematic = 1e-3;  // and its part proportional to the link's time per byte
    double timingFloor = 3e-7;     // seconds: no minimum is known better than this
    uint64_t seed = 0;             // random order and flow identity
    bool ttlLimited = false;       // measure routers with TTL-limited probes even when they answer echo
    int pairs = 4;                 // packet pairs per hop (two MTU-size probes back to back)
};

class PreciseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PreciseEngine {
public:
    using ProgressSink = std::function<void(const PreciseProgress &)>;

    // secrets: the flow's identifier and cookie and the first sequence number
    // (drawProbeSecrets in a real run).
    PreciseEngine(EchoNetwork &net, PreciseSettings settings, ProbeSecrets secrets, ProgressSink progress = {});
    // Measures the path to the destination. Throws PreciseError when the destination
    // cannot be measured (it answers no echo request within the hop limit, or the
    // network fails).
    PreciseResult run(Ipv4Address destination);

private:
    // What the engine knows of one hop while it measures.
    struct Hop {
        int number = 0;                              // its TTL
        HopMethod method = HopMethod::Silent;
        std::map<Ipv4Address, int> responders;       // discovery: who answered at this TTL
        Ipv4Address address = 0;
        std::vector<FloorGroup> groups;              // the address's round trips by bytes on each link
        std::map<Ipv4Address, int> otherReplies;     // replies from anyone else
        int probes = 0;
        int measurementProbes = 0;
        int replies = 0;
        double minRtt = INFINITY;                    // seconds
        int64_t interval = 0;                        // rate-limited: nanoseconds between its probes
        int64_t notBefore = 0;                       // rate-limited: its next probe not before
        bool rateLimited = false;
        int64_t pacedFrom = 0;                       // rate-limited: paced since
        int pacedProbes = 0;                         // rate-limited: probes sent paced
        std::vector<int> pairs;                      // first probe of each packet pair sent to it
    };

    int sendProbe(int hop, Ipv4Address to, int ttl, int size, bool measurement);
    uint16_t takeSequence(int probe, int64_t wait);
    int sendToHop(Hop &hop, int size);
    double pairCapacity(const Hop &hop) const;
    void noteHiddenDevices();
    void takeReplies(int64_t until);
    void awaitReplies(int64_t deadline, int64_t step);
    void handle(const EchoArrival &arrival);
    void discover();
    void findPathMtu();
    void checkRouterEchoes();
    void measure();
    std::vector<int> activeHops();
    void noteRateLimits();
    void estimate();
    FloorFit fitOf(int hopIndex, int minimumCount = 2) const;
    SlopeEstimate slopeOf(int hopIndex) const;
    double bottleneckPerByte() const;
    double gapAfter(int size, double perByte) const;
    void reportProgress(const char *phase);

    EchoNetwork &net;
    PreciseSettings settings;
    ProgressSink progress;
    std::mt19937_64 random;
    EchoFlow flow;
    Ipv4Address destination = 0;
    std::vector<uint8_t> buffer;
    PreciseResult result;
    std::vector<Hop> hops;                 // index 0 is hop 1
    ProbeLedger ledger;                    // probes that may still be answered
    double smallDestinationRtt = 0;        // seconds: the destination's round trip for a small probe
    double initialPerByte = 0;             // seconds per byte to the destination, one direction
    double progressWorst = 0;
    int progressActive = 0;
    LateStampFilter stampFilter;           // judges each kernel send stamp as it comes
    int64_t lastSendAt = 0;                // the program's time of the previous send
};
