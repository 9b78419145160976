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
    if (path.method == HopMethod::TtlLimited)
        return kind == ReplyKind::TimeExceeded;
    if (path.method == HopMethod::EchoRouter)
        return kind == ReplyKind::EchoReply;
    switch (path.protocol) {
    case ProbeProtocol::Icmp: return kind == ReplyKind::EchoReply;
    case ProbeProtocol::Udp: return kind == ReplyKind::PortUnreachable;
    case ProbeProtocol::Tcp: return kind == ReplyKind::TcpReset || kind == ReplyKind::TcpSynAck;
    }
    return false;
}

}  // namespace hoprate
