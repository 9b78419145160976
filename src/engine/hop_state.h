// What the accurate engine knows of one hop while it measures: where it is and how it is
// measured (from the path's discovery), its round trips by the bytes each probe and its
// reply put on every link, and its pacing.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "engine/path_discovery.h"
#include "engine/rate_limits.h"
#include "measure/floor_fit.h"

namespace hoprate {

struct HopState {
    PathHop path;
    std::vector<FloorGroup> groups;           // the address's round trips, by bytes on each link, in order
    std::map<IpAddress, int> otherReplies;    // measurement replies from anyone else
    int measurementProbes = 0;
    double minRtt = INFINITY;                 // seconds
    RateLimitWatch limits;                    // TTL-limited hops: their routers' ICMP rate limit
    int64_t notBefore = 0;                    // rate-limited: its next probe not before
    std::vector<int> pairs;                   // first probe of each packet pair sent to it
    bool skipped = false;                     // before the hop that --first-hop needs: not measured

    bool measured() const { return path.method != HopMethod::Silent && !skipped; }
    // Its replies are ICMP errors (time exceeded, port unreachable), which routers and
    // hosts rate-limit.
    bool answeredByErrors() const
    {
        return path.method == HopMethod::TtlLimited ||
               (path.method == HopMethod::Destination && path.protocol == ProbeProtocol::Udp);
    }
    // Whether a reply is the kind this hop is measured by.
    bool expects(ReplyKind kind) const;
    // Adds a round trip (seconds) to the group of its bytes.
    void addSample(int64_t bytes, double rtt);
};

// Files the answer of a probe with its hop (hops: index 0 is hop 1): a floor sample of the
// bytes the probe and its reply put on each link, a reply from someone else, or nothing
// (not a measurement probe, the second of a packet pair, a send stamp taken late). The
// engine files each answer as it comes; a run's probe log is filed again the same way.
void fileAnswer(std::span<HopState> hops, const ProbeRecord &probe);

}  // namespace hoprate
