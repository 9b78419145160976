#include "wire/flow_echo.h"

#include "wire/bytes.h"
#include "wire/icmp.h"
#include "wire/probe.h"

namespace hoprate {

namespace {


// One's complement sum of big-endian words, folded to 16 bits: the Internet checksum
// (computed in host order) complemented and read in network order.
uint16_t onesSum(std::span<const uint8_t> bytes)
{
    const uint16_t checksum = internetChecksum(bytes);
    return static_cast<uint16_t>(~(checksum >> 8 | checksum << 8));
}

uint16_t onesAdd(uint16_t a, uint16_t b)
{
    uint32_t sum = static_cast<uint32_t>(a) + b;
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// The 16 header bytes with the checksum field zero and the compensation word w.
void writeHeader(uint8_t *p, const EchoFlow &flow, uint16_t sequence, uint16_t w)
{
    p[0] = icmpEchoRequest;
    p[1] = 0;
    write16(p + 2, 0);
    write16(p + 4, flow.identifier);
    write16(p + 6, sequence);
    write32(p + 8, flow.cookie);
    write16(p + 12, w);
    write16(p + 14, 0);
}

}  // namespace

EchoFlow makeEchoFlow(uint16_t identifier, uint32_t cookie)
{
    EchoFlow flow{identifier, cookie, 0};
    uint8_t header[flowEchoHeaderLength];
    writeHeader(header, flow, 0, 0);
    flow.checksum = static_cast<uint16_t>(~onesSum(header));
    return flow;
}

std::vector<uint8_t> buildFlowEcho(const EchoFlow &flow, uint16_t sequence, int icmpLength)
{
    const size_t length = icmpLength < flowEchoHeaderLength ? flowEchoHeaderLength : static_cast<size_t>(icmpLength);
    std::vector<uint8_t> message(length, 0);
    writeHeader(message.data(), flow, sequence, 0);
    // The sum of every word but the compensation word w must be ~checksum once w is added:
    // w = ~checksum - partial in one's complement arithmetic. The filler is zero, so the
    // length does not enter the sum.
    const uint16_t partial = onesSum({message.data(), flowEchoHeaderLength});
    const uint16_t w = onesAdd(static_cast<uint16_t>(~flow.checksum), static_cast<uint16_t>(~partial));
    write16(message.data() + 12, w);
    write16(message.data() + 2, flow.checksum);
    return message;
}

std::optional<FlowReply> decodeFlowReply(std::span<const uint8_t> datagram, const EchoFlow &flow)
{
    const size_t len = datagram.size();
    if (len < static_cast<size_t>(ipHeaderLength))
        return std::nullopt;
    const size_t headerLength = 4u * (datagram[0] & 0x0F);
    if (headerLength < static_cast<size_t>(ipHeaderLength) || len < headerLength + 8)
        return std::nullopt;
    const uint8_t *icmp = datagram.data() + headerLength;
    const size_t icmpLength = len - headerLength;
    FlowReply reply;
    reply.source = addressAt(datagram.data() + 12);

    if (icmp[0] == icmpEchoReply) {
        if (icmp[1] != 0 || icmpLength < static_cast<size_t>(flowEchoHeaderLength) ||
            read16(icmp + 4) != flow.identifier || read32(icmp + 8) != flow.cookie)
            return std::nullopt;
        reply.kind = FlowReplyKind::EchoReply;
        reply.sequence = read16(icmp + 6);
        reply.cookieSeen = true;
        return reply;
    }
    if (icmp[0] == icmpTimeExceeded && icmp[1] == codeTtlExceeded)
        reply.kind = FlowReplyKind::TimeExceeded;
    else if (icmp[0] == icmpUnreachable && icmp[1] == codeFragmentationNeeded)
        reply.kind = FlowReplyKind::FragmentationNeeded;
    else if (icmp[0] == icmpUnreachable)
        reply.kind = FlowReplyKind::Unreachable;
    else
        return std::nullopt;

    // The quoted probe: its IP header, then at least the 8 bytes of its ICMP header.
    const uint8_t *quoted = icmp + 8;
    const size_t quotedBytes = icmpLength - 8;
    if (quotedBytes < static_cast<size_t>(ipHeaderLength))
        return std::nullopt;
    const size_t quotedHeaderLength = 4u * (quoted[0] & 0x0F);
    if ((quoted[0] >> 4) != 4 || quotedHeaderLength < static_cast<size_t>(ipHeaderLength) ||
        quotedBytes < quotedHeaderLength + 8 || quoted[9] != protocolIcmp)
        return std::nullopt;
    const uint8_t *probe = quoted + quotedHeaderLength;
    const size_t probeBytes = quotedBytes - quotedHeaderLength;
    // Routers that quote only 8 bytes of the probe cut the cookie off, but the checksum,
    // constant over the flow and a function of the cookie, is there: a sender who never
    // saw a probe cannot know it. Where the cookie was quoted, it must be ours.
    if (probe[0] != icmpEchoRequest || read16(probe + 2) != flow.checksum || read16(probe + 4) != flow.identifier)
        return std::nullopt;
    if (probeBytes >= 12 && read32(probe + 8) != flow.cookie)
        return std::nullopt;
    reply.cookieSeen = probeBytes >= 12;
    reply.sequence = read16(probe + 6);
    reply.probeDestination = addressAt(quoted + 16);
    reply.quotedProbeLength = read16(quoted + 2);
    if (reply.kind == FlowReplyKind::FragmentationNeeded)
        reply.nextHopMtu = read16(icmp + 6);
    return reply;
}

}  // namespace hoprate
