// Every setting of an accurate-mode run, as one value: the defaults are written here and
// nowhere else; the command line changes some (--quick changes several), and the run
// uses them as they are. The JSON document reports them, so a run can be repeated.
#pragma once

#include <cstdint>

namespace hoprate {

// Which probes reach the destination and the routers that answer no echo: the first of
// echo, UDP and TCP that the destination answers (auto), or one of them.
enum class ProtocolChoice : uint8_t { Auto, Icmp, Udp, Tcp };

constexpr int defaultUdpPort = 33434;  // a port no service listens on, as traceroute's
constexpr int defaultTcpPort = 80;     // one a firewall most likely lets through

struct PreciseSettings {
    int maxHops = 30;
    int budget = 300;              // measurement probes per hop, shared over the path (at least 2 x probeSizes)
    double target = 0.0004;        // a link is done when its 90 % interval is within this fraction
    int probeSizes = 16;           // sizes per hop, from the smallest probe to the path MTU (at least 3)
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
    uint64_t seed = 0;             // the random order of probes
    bool ttlLimited = false;       // measure routers with TTL-limited probes even when they answer echo
    bool kernelStamps = true;      // kernel time stamps where the host gives them
    int pairs = 4;                 // packet pairs per hop (two MTU-size probes back to back)
    ProtocolChoice protocol = ProtocolChoice::Auto;
    int port = 0;                  // destination port of UDP and TCP probes; 0: the protocol's default
    int firstHop = 1;              // links before this hop are not reported (the hop before is measured)
    bool directions = true;        // measure each link's two directions apart where the replies allow
    bool insistDirections = false;  // ...and never settle for one figure where they seem to agree, and
                                    // give rate-limited replies up to insistTime to tell them
    bool quick = false;            // --quick was given (its changes are in budget, target and noisyBudget)
};

// How long the paced probes of a rate-limited hop (its own, or those of the other kind)
// may take, in nanoseconds: two minutes, ten where the directions are insisted on.
constexpr int64_t pacedTime(const PreciseSettings &s)
{
    return (s.insistDirections ? 600LL : 120LL) * 1000000000;
}

// What --quick changes: fewer probes per hop, a looser target (each unless given), and
// less room for noisy hops.
constexpr int quickBudget = 150;
constexpr double quickTarget = 0.001;
constexpr int quickNoisyBudget = 2;

// The settings a run uses: at least three sizes, and a budget of at least two probes of
// each size.
PreciseSettings effectiveSettings(PreciseSettings chosen);

}  // namespace hoprate
