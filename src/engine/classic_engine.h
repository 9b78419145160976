// The classic engine: sweeps of every probe size at one TTL and target, strictly one
// probe at a time with a pause after each, and the per-hop walk that turns the slopes
// of neighbouring hops into the two rates of every link.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "measure/hop_rates.h"
#include "measure/samples.h"
#include "model/run_failure.h"
#include "net/network.h"
#include "output/classic_console.h"
#include "output/results_file.h"
#include "wire/probe.h"

namespace hoprate {

enum class SweepProtocol { Icmp, Udp };

// Where and how the probes of a sweep go.
struct Aim {
    Endpoint endpoint;        // the destination's address; port 20000 for UDP probes
    std::string name;         // the destination text when it is a name, empty for an address
    std::string addressText;  // the address as a dotted quad
    int ttl = 0;
    SweepProtocol protocol = SweepProtocol::Icmp;
    uint16_t udpSourcePort = 0;  // UDP: the port its probes leave from
};

// A destination text's address, or nothing for an unknown host (resolveHost in a run).
using Resolver = std::function<std::optional<Ipv4Address>(const std::string &)>;

// Aims the probes: for UDP the UDP channel (opened the first time) gets the TTL, the ICMP
// channel (opened the first time) gets it always, then the destination is resolved.
// Throws RunFailure with the message of the step that failed ("socket", "setsockopt, sd2",
// "socket: icmp", "setsockopt, sd", "unknown host: %s").
Aim aimProbes(Network &net, const Resolver &resolve, const std::string &destination, int ttl, SweepProtocol protocol);

// The wait for one reply: seconds and microseconds of the time-out, each truncated
// toward zero.
void splitTimeout(double seconds, int &wholeSeconds, int &microseconds);

// What a sweep keeps of its samples (one row per size, in the order of sizes): each
// size's minimum and average, and the line through the minima.
SweepRecord analyseSweep(const Aim &aim, const std::vector<int> &sizes, const std::vector<SizeSamples> &samples,
                         int timeoutsSoFar);

struct SweepPlan {
    std::vector<int> sizes;      // bytes, in the order they are measured
    int iterations = 0;          // probes per size
    double probeTimeout = 5.0;   // seconds to wait for each reply
};

constexpr uint32_t pauseAfterProbeMicroseconds = 50000;

class ClassicEngine {
public:
    // Reserves room for every sample of a sweep (std::bad_alloc when there is none). Every
    // failure that ends the run is thrown as a RunFailure.
    ClassicEngine(Network &net, Resolver resolve, ClassicConsole &console, ResultsFile &results, SweepPlan plan,
                  int ownPid, int64_t counterFrequency);

    // One sweep as aimed: every size in order, then the analysis and the results block.
    // Returns the fitted slope.
    Slope sweep(const Aim &aim);
    // The whole run toward destination, hop count n: 2n sweeps, a line per hop. Ends the
    // run when a sweep toward the destination below hop n gets no reply at all.
    void run(const std::string &destination, int hopCount, const Aim &first);

    int probesSent() const { return probeSeq; }
    int timeouts() const { return timeoutCount; }
    std::optional<Ipv4Address> lastResponder() const { return responder; }

private:
    // Sends one probe and waits for its answer; its round trip, or nothing after the time-out.
    std::optional<double> measureProbe(const Aim &aim, int size);

    Network &net;
    Resolver resolve;
    ClassicConsole &console;
    ResultsFile &results;
    SweepPlan plan;
    uint16_t identifier;
    int64_t frequency;
    int64_t waitNanoseconds;
    ProbeBuffer probes;
    std::vector<uint8_t> receiveBuffer;
    std::vector<SizeSamples> samples;  // the current sweep, one row per size
    int probeSeq = 0;                  // probes sent in the run; the outstanding one is probeSeq - 1
    int timeoutCount = 0;              // running total of the run
    std::optional<Ipv4Address> responder;  // source of the last reply accepted in the current sweep
    uint16_t udpSourcePort = 0;            // once a UDP sweep was aimed: the port of its channel
};

}  // namespace hoprate
