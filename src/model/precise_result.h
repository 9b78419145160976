// The results of the accurate mode as plain values: every probe, every hop's figures,
// the run's totals. The engine fills them; the writers in precise_report print them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "measure/capacity.h"
#include "measure/floor_fit.h"
#include "model/precise_settings.h"
#include "wire/flow.h"
#include "wire/ip_address.h"

namespace hoprate {

enum class HopMethod {
    Destination,  // probes to the destination (echo, UDP to a closed port, or TCP SYN)
    EchoRouter,   // echo requests addressed to the router
    TtlLimited,   // TTL-limited probes toward the destination, time exceeded back
    Silent,       // no answer at this TTL
};

// One hop of the path as discovery found it: how it is measured, who answered there.
struct PathHop {
    int number = 0;  // its TTL
    HopMethod method = HopMethod::Silent;
    ProbeProtocol protocol = ProbeProtocol::Icmp;  // of the probes that measure it
    IpAddress address;                             // who is measured there (none for a silent hop)
    std::map<IpAddress, int> responders;           // who answered at this TTL, and how often
};

// Whether a reply of this kind is one a hop measured this way is measured by: time
// exceeded for TTL-limited probes, an echo reply from a router, and from the destination
// the answer of its protocol. A silent hop is measured by none.
constexpr bool measuredBy(HopMethod method, ProbeProtocol protocol, ReplyKind kind)
{
    switch (method) {
    case HopMethod::Silent:
        return false;
    case HopMethod::TtlLimited:
        return kind == ReplyKind::TimeExceeded;
    case HopMethod::EchoRouter:
        return kind == ReplyKind::EchoReply;
    case HopMethod::Destination:
        break;
    }
    switch (protocol) {
    case ProbeProtocol::Icmp:
        return kind == ReplyKind::EchoReply;
    case ProbeProtocol::Udp:
        return kind == ReplyKind::PortUnreachable;
    case ProbeProtocol::Tcp:
        return kind == ReplyKind::TcpReset || kind == ReplyKind::TcpSynAck;
    }
    return false;
}

struct ProbeRecord {
    int hop = 0;
    IpAddress to;
    ProbeProtocol protocol = ProbeProtocol::Icmp;
    int ttl = 0;
    int size = 0;                  // IP length of the probe
    bool measurement = true;       // false: discovery, path MTU or echo check
    int pairFirst = -1;            // the second probe of a packet pair: the first one's index
    uint16_t sequence = 0;         // the sequence number it carried
    int sendError = 0;             // errno of a failed send
    int64_t sentAt = 0;            // the program's send time (monotonic ns)
    std::optional<int64_t> sentKernel;  // the kernel's send stamp (ns, the program's clock)
    bool lateSendStamp = false;    // the kernel's send stamp came later than usual for its kind of send
    int64_t arrivedAt = 0;         // the program's receive time
    std::optional<int64_t> arrivedKernel;  // the kernel's receive stamp
    bool answered = false;
    int64_t rttNs = 0;
    bool kernelStamps = false;     // rttNs from kernel stamps
    int replyLength = 0;
    IpAddress responder;
    int replyTtl = 0;              // the reply's TTL (hop limit) as it arrived
    bool cookieSeen = false;       // the reply carried the run's cookie (not so a quote of 8 bytes)
    ReplyKind kind = ReplyKind::EchoReply;
    int nextHopMtu = 0;            // fragmentation needed: the MTU the router named
};

// A hop of the path as the run probed it: as discovered, whether it was measured at all,
// whether its replies were paced. What the probes are filed by again from a probe log.
struct HopRecord {
    PathHop hop;
    bool skipped = false;      // before the hop that --first-hop needs: not measured
    bool rateLimited = false;  // its ICMP errors were paced
};

// What a link's figures stand for: both directions apart, the way toward the destination
// only (the way back unknown), or one figure for both (probe and reply bytes mixed).
enum class LinkDirections { Combined, Separated, Forward };

struct HopResult {
    int hop = 0;
    std::optional<IpAddress> address;                  // nothing: silent
    std::optional<std::string> name;                   // the address's host name, as the resolver gave it
    std::vector<std::pair<IpAddress, int>> others;     // further responders and their replies
    HopMethod method = HopMethod::Silent;
    ProbeProtocol protocol = ProbeProtocol::Icmp;      // of the probes that measured it
    CapacityEstimate capacity;                         // of the link that ends at this hop (toward the destination
                                                       // where the directions were told apart)
    std::optional<CapacityEstimate> returnCapacity;    // toward the source; nothing where not told apart
    LinkDirections directions = LinkDirections::Combined;
    bool asymmetric = false;                           // the two directions' intervals do not overlap
    bool echoPathDiffers = false;                      // its echo replies took another way back: set aside
    bool addressBeyond = false;                        // its address lies beyond its hop: no echoes of it taken
    int mergedFrom = 0;                                // > 0: capacity of links mergedFrom..hop in series
    double minRttMs = 0;                               // NaN without replies
    int probes = 0;
    int replies = 0;
    bool rateLimited = false;
    bool hiddenDevice = false;                         // slope says slower than the path allows
    double slopeBitsPerSecond = 0;                     // hiddenDevice: what the slope alone says
    double pairBitsPerSecond = 0;                      // narrowest link up to here, from packet pairs (0: unknown)
    FloorFit fit;
};

struct PreciseResult {
    IpAddress destination;
    IpAddress source;                // the address the probes left from
    bool destinationReached = true;  // false: nothing reached it; the routers found are measured
    int pathMtu = 0;
    bool kernelStamps = false;
    std::vector<HopResult> hops;
    std::vector<HopRecord> path;  // as probed, hop 1 first
    int probesSent = 0;
    double wallSeconds = 0;
    bool complete = true;       // false: a signal stopped the run; estimated from what it had
    int64_t startedUnixMs = 0;  // when the run began (wall clock, ms since 1970, UTC)
    PreciseSettings settings;   // as the run used them, seed included
    std::vector<ProbeRecord> probes;
};

struct PreciseProgress {
    const char *phase = "";
    int hops = 0;
    int probesSent = 0;
    int activeHops = 0;
    double worstInterval = 0;  // the widest link interval still above the target, relative
};

}  // namespace hoprate
