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

bool HopState::expects(ReplyKind kind) const
{
    return measuredBy(path.method, path.protocol, kind);
}

void fileAnswer(std::span<HopState> hops, const ProbeRecord &probe)
{
    if (!probe.answered || !probe.measurement || probe.hop < 1 || static_cast<size_t>(probe.hop) > hops.size())
        return;
    HopState &hop = hops[static_cast<size_t>(probe.hop - 1)];
    if (!hop.expects(probe.kind) || probe.responder != hop.path.address) {
        // Another router at this TTL (load balancing, a route change): kept apart.
        ++hop.otherReplies[probe.responder];
        return;
    }
    // The second probe of a pair waits behind the first: not a floor sample.
    if (probe.pairFirst >= 0)
        return;
    // A kernel send stamp taken late (the packet had already left) makes the round trip
    // look short: such samples stay out of the floors.
    if (probe.kernelStamps && probe.lateSendStamp)
        return;
    hop.addSample(probe.size + probe.replyLength, static_cast<double>(probe.rttNs) / 1e9);
}

}  // namespace hoprate
