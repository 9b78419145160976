#include "engine/hop_state.h"

#include <algorithm>

namespace hoprate {

void HopState::addSample(int64_t bytes, double rtt)
{
    auto group = std::find_if(groups.begin(), groups.end(), [&](const FloorGroup &g) { return g.bytes >= bytes; });
    if (group == groups.end() || group->bytes != bytes) {
        group = groups.insert(group, FloorGroup{});
        group->bytes = bytes;
    }
    group->add(rtt);
    minRtt = std::min(minRtt, rtt);
}

void HopState::addDirectionSample(ReplyKind kind, int probeBytes, int replyBytes, double rtt)
{
    const int k = static_cast<int>(kind);
    auto group = std::find_if(directionGroups.begin(), directionGroups.end(), [&](const DirectionGroup &g) {
        return g.kind == k && g.probeBytes == probeBytes && g.replyBytes == replyBytes;
    });
    if (group == directionGroups.end())
        group = directionGroups.insert(group, DirectionGroup{k, probeBytes, replyBytes, {}});
    group->floors.add(rtt);
}

bool HopState::expects(ReplyKind kind) const
{
    return measuredBy(path.method, path.protocol, kind);
}

std::optional<ProbeProtocol> HopState::sideProtocol() const
{
    // A router's echoes tell both directions together, its time-exceeded messages (of
    // probes longer than they quote) the way out alone; a destination's echoes likewise
    // beside its port unreachable, and its resets (as long whatever the probe) beside its
    // echoes. Errors alone, of probes on both sides of their quote limit, tell both.
    if (path.method == HopMethod::EchoRouter)
        return ProbeProtocol::Icmp;
    if (path.method == HopMethod::Destination && path.protocol == ProbeProtocol::Icmp)
        return ProbeProtocol::Udp;
    if (path.method == HopMethod::Destination && path.protocol == ProbeProtocol::Tcp)
        return ProbeProtocol::Icmp;
    return std::nullopt;
}

ReplyKind HopState::sideKind() const
{
    if (path.method == HopMethod::EchoRouter)
        return ReplyKind::TimeExceeded;
    return path.protocol == ProbeProtocol::Icmp ? ReplyKind::PortUnreachable : ReplyKind::EchoReply;
}

namespace {

// The hops a reply came back over: hosts start their TTLs at 64, 128 or 255 (a few at 32).
int hopsBack(int ttl)
{
    for (const int initial : {32, 64, 128, 255})
        if (ttl <= initial)
            return initial - ttl;
    return 0;
}

// The number of hops most replies came back over (-1 with fewer than three replies).
int usualHops(const std::map<int, int> &ttls)
{
    std::map<int, int> byHops;
    int total = 0;
    for (const auto &[ttl, count] : ttls) {
        byHops[hopsBack(ttl)] += count;
        total += count;
    }
    if (total < 3)
        return -1;
    return std::max_element(byHops.begin(), byHops.end(),
                            [](const auto &a, const auto &b) { return a.second < b.second; })
        ->first;
}

}  // namespace

bool HopState::echoPathDiffers() const
{
    const int echo = usualHops(echoTtls);
    const int error = usualHops(errorTtls);
    return echo >= 0 && error >= 0 && echo != error;
}

DirectionFit HopState::directions(double quantile, double timingFloor, int minimumCount) const
{
    if (!echoPathDiffers())
        return fitDirections(directionGroups, quantile, timingFloor, minimumCount);
    std::vector<DirectionGroup> errors;
    for (const DirectionGroup &g : directionGroups)
        if (g.kind != static_cast<int>(ReplyKind::EchoReply))
            errors.push_back(g);
    return fitDirections(errors, quantile, timingFloor, minimumCount);
}

void fileAnswer(std::span<HopState> hops, const ProbeRecord &probe)
{
    if (!probe.answered || !probe.measurement || probe.hop < 1 || static_cast<size_t>(probe.hop) > hops.size())
        return;
    HopState &hop = hops[static_cast<size_t>(probe.hop - 1)];
    const bool own = hop.expects(probe.kind);
    const bool side = !own && hop.sideProtocol() && probe.kind == hop.sideKind();
    if ((!own && !side) || probe.responder != hop.path.address) {
        // Another router at this TTL (load balancing, a route change): kept apart.
        ++hop.otherReplies[probe.responder];
        return;
    }
    if (side)
        ++hop.sideAnswers;
    if (own && probe.kind == ReplyKind::TcpSynAck)
        ++hop.synAcks;
    // The second probe of a pair waits behind the first: not a floor sample.
    if (probe.pairFirst >= 0)
        return;
    // A kernel send stamp taken late (the packet had already left) makes the round trip
    // look short: such samples stay out of the floors.
    if (probe.kernelStamps && probe.lateSendStamp)
        return;
    const double rtt = static_cast<double>(probe.rttNs) / 1e9;
    ++(probe.kind == ReplyKind::EchoReply ? hop.echoTtls : hop.errorTtls)[probe.replyTtl];
    hop.addDirectionSample(probe.kind, probe.size, probe.replyLength, rtt);
    if (own)
        hop.addSample(probe.size + probe.replyLength, rtt);
}

}  // namespace hoprate
