// What the accurate engine knows of one hop while it measures: where it is and how it is
// measured (from the path's discovery), its round trips by the bytes each probe and its
// reply put on every link, and its pacing.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "engine/path_discovery.h"
#include "engine/rate_limits.h"
#include "measure/direction_fit.h"
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
    // Both directions apart: the replies of its own kind and of the kind that sees the
    // other direction, by probe and reply length, and the reply TTLs of each.
    std::vector<DirectionGroup> directionGroups;
    std::map<int, int> echoTtls, errorTtls;  // reply TTL -> replies, from its address
    int sideProbes = 0;                      // probes of the other kind sent
    int sideAnswers = 0;
    RateLimitWatch sideLimits;  // the other kind's replies are ICMP errors
    int64_t sideNotBefore = 0;
    bool directionsSettled = false;  // its links' directions agree, each known within a few %
    // A destination that answers a SYN with a SYN-ACK holds our flow half-open until our
    // kernel's reset gets there; another SYN of the flow before then goes unanswered.
    int synAcks = 0;

    bool holdsHalfOpen() const { return synAcks > 0 && std::isfinite(minRtt); }

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
    // The probes that see the other direction (none: its own replies do, or nothing will).
    std::optional<ProbeProtocol> sideProtocol() const;
    ReplyKind sideKind() const;
    // Its echo replies come back over another number of hops than its ICMP errors: they
    // cross links that are not the path's, and stay out of the fits of both directions.
    bool echoPathDiffers() const;
    // The floors of both directions apart, its echoes set aside when their path differs.
    DirectionFit directions(double quantile, double timingFloor, int minimumCount = 2) const;
    // Adds a round trip (seconds) to the group of its bytes.
    void addSample(int64_t bytes, double rtt);
    void addDirectionSample(ReplyKind kind, int probeBytes, int replyBytes, double rtt);
};

// Files the answer of a probe with its hop (hops: index 0 is hop 1): a floor sample of the
// bytes the probe and its reply put on each link, a reply from someone else, or nothing
// (not a measurement probe, the second of a packet pair, a send stamp taken late). The
// engine files each answer as it comes; a run's probe log is filed again the same way.
void fileAnswer(std::span<HopState> hops, const ProbeRecord &probe);

}  // namespace hoprate
