#include "wire/flow.h"

#include <algorithm>

#include "wire/bytes.h"
#include "wire/icmp.h"

namespace hoprate {

namespace {

constexpr int protocolTcp = 6;
constexpr int protocolIcmp6 = 58;
constexpr int icmp6Unreachable = 1;
constexpr int icmp6TooBig = 2;
constexpr int icmp6TimeExceeded = 3;
constexpr int icmp6EchoRequest = 128;
constexpr int icmp6EchoReply = 129;
constexpr int code6PortUnreachable = 4;
constexpr int tcpHeaderLength = 20;
constexpr uint8_t tcpSyn = 0x02, tcpRst = 0x04, tcpAck = 0x10;
constexpr int maxExtensionHeaders = 8;

// One's complement arithmetic over big-endian 16-bit words.
uint32_t addWords(std::span<const uint8_t> bytes, uint32_t sum = 0)
{
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2)
        sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (i < bytes.size())
        sum += static_cast<uint32_t>(bytes[i] << 8);
    return sum;
}

uint16_t fold(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

uint16_t onesAdd(uint16_t a, uint16_t b)
{
    return fold(static_cast<uint32_t>(a) + b);
}

// The pseudo-header of a transport checksum: both addresses, the protocol, the length.
uint32_t pseudoHeader(const IpAddress &source, const IpAddress &destination, int protocol, int length)
{
    uint32_t sum = addWords({source.bytes.data(), static_cast<size_t>(source.size())});
    sum = addWords({destination.bytes.data(), static_cast<size_t>(destination.size())}, sum);
    sum += static_cast<uint32_t>(protocol);
    sum += static_cast<uint32_t>(length & 0xFFFF);
    sum += static_cast<uint32_t>(length >> 16);  // IPv6 carries 32 bits of length
    return sum;
}

// The compensation word that makes the folded sum of `partial` and itself `wanted`.
uint16_t compensation(uint32_t partial, uint16_t wanted)
{
    return onesAdd(wanted, static_cast<uint16_t>(~fold(partial)));
}

std::vector<uint8_t> buildEcho(const ProbeFlow &flow, uint16_t sequence, int length)
{
    const Family family = flow.destination.family;
    std::vector<uint8_t> m(static_cast<size_t>(length), 0);
    m[0] = static_cast<uint8_t>(family == Family::V4 ? icmpEchoRequest : icmp6EchoRequest);
    write16(&m[4], flow.keys.identifier);
    write16(&m[6], sequence);
    write32(&m[8], flow.keys.cookie);
    // The words must sum to ~checksum (IPv6: with its pseudo-header, which the kernel
    // includes when it fills the checksum in). The filler is zero.
    const uint16_t checksum = echoChecksum(flow.keys, family);
    uint32_t partial = addWords(m);
    if (family == Family::V6)
        partial += pseudoHeader(flow.source, flow.destination, protocolIcmp6, length);
    write16(&m[12], compensation(partial, static_cast<uint16_t>(~checksum)));
    write16(&m[2], checksum);
    return m;
}

std::vector<uint8_t> buildUdp(const ProbeFlow &flow, uint16_t sequence, int length)
{
    // The socket is given the payload; the kernel adds the header and the checksum, which
    // the compensation word makes the sequence number's.
    std::vector<uint8_t> header(8, 0);
    write16(&header[0], flow.keys.udpSource);
    write16(&header[2], flow.port);
    write16(&header[4], static_cast<uint16_t>(length));
    std::vector<uint8_t> payload(static_cast<size_t>(length - 8), 0);
    write32(&payload[0], flow.keys.cookie);
    const uint32_t partial =
        addWords(payload, addWords(header, pseudoHeader(flow.source, flow.destination, protocolUdp, length)));
    write16(&payload[4], compensation(partial, static_cast<uint16_t>(~udpChecksumFor(flow.keys, sequence))));
    return payload;
}

std::vector<uint8_t> buildTcp(const ProbeFlow &flow, uint16_t sequence, int length)
{
    std::vector<uint8_t> s(static_cast<size_t>(length), 0);
    write16(&s[0], flow.keys.tcpSource);
    write16(&s[2], flow.port);
    write32(&s[4], static_cast<uint32_t>(sequence ^ flow.keys.key) << 16);
    s[12] = static_cast<uint8_t>((tcpHeaderLength / 4) << 4);
    s[13] = tcpSyn;
    write16(&s[14], 8192);  // window
    write32(&s[tcpHeaderLength], flow.keys.cookie);
    const uint32_t sum = addWords(s, pseudoHeader(flow.source, flow.destination, protocolTcp, length));
    write16(&s[16], static_cast<uint16_t>(~fold(sum)));
    return s;
}

struct Quote {
    ProbeProtocol protocol = ProbeProtocol::Icmp;
    uint16_t sequence = 0;
    IpAddress destination;
    int probeLength = 0;
    bool cookieSeen = false;
};

// The probe an ICMP error quotes: its IP header (and IPv6 extension headers), then at
// least 8 bytes of its transport header, all of the run's flows.
std::optional<Quote> decodeQuote(std::span<const uint8_t> q, const FlowMatch &match)
{
    Quote quote;
    size_t at = 0;
    int next = 0;
    if (match.family == Family::V4) {
        if (q.size() < 20 || q[0] >> 4 != 4)
            return std::nullopt;
        at = 4 * static_cast<size_t>(q[0] & 0x0F);
        if (at < 20 || q.size() < at)
            return std::nullopt;
        next = q[9];
        quote.destination = IpAddress::at(Family::V4, &q[16]);
        quote.probeLength = read16(&q[2]);
    } else {
        if (q.size() < 40 || q[0] >> 4 != 6)
            return std::nullopt;
        next = q[6];
        quote.destination = IpAddress::at(Family::V6, &q[24]);
        quote.probeLength = 40 + read16(&q[4]);
        at = 40;
        // Hop-by-hop, routing and destination options headers are stepped over; the
        // probes carry none, but a router may have added one. Anything else (a fragment,
        // AH, ESP) is no probe of ours.
        for (int n = 0; n < maxExtensionHeaders && (next == 0 || next == 43 || next == 60); ++n) {
            if (q.size() < at + 8)
                return std::nullopt;
            next = q[at];
            at += 8 * (static_cast<size_t>(q[at + 1]) + 1);
        }
    }
    if (q.size() < at + 8)
        return std::nullopt;
    const uint8_t *t = &q[at];
    const size_t available = q.size() - at;
    const FlowKeys &keys = match.keys;
    if (next == (match.family == Family::V4 ? protocolIcmp : protocolIcmp6)) {
        const int request = match.family == Family::V4 ? icmpEchoRequest : icmp6EchoRequest;
        if (t[0] != request || t[1] != 0 || read16(t + 2) != echoChecksum(keys, match.family) ||
            read16(t + 4) != keys.identifier)
            return std::nullopt;
        quote.protocol = ProbeProtocol::Icmp;
        quote.sequence = read16(t + 6);
        quote.cookieSeen = available >= 12;
        if (quote.cookieSeen && read32(t + 8) != keys.cookie)
            return std::nullopt;
    } else if (next == protocolUdp) {
        const uint16_t checksum = read16(t + 6);
        if (read16(t) != keys.udpSource || read16(t + 2) != match.udpDestination || checksum == 0)
            return std::nullopt;
        quote.protocol = ProbeProtocol::Udp;
        quote.sequence = static_cast<uint16_t>(checksum ^ keys.key);
        quote.cookieSeen = available >= 12;
        if (quote.cookieSeen && read32(t + 8) != keys.cookie)
            return std::nullopt;
    } else if (next == protocolTcp) {
        const uint32_t sequence = read32(t + 4);
        if (read16(t) != keys.tcpSource || read16(t + 2) != match.tcpDestination || (sequence & 0xFFFF) != 0)
            return std::nullopt;
        quote.protocol = ProbeProtocol::Tcp;
        quote.sequence = static_cast<uint16_t>((sequence >> 16) ^ keys.key);
        quote.cookieSeen = available >= static_cast<size_t>(tcpHeaderLength) + 4;
        if (quote.cookieSeen && read32(t + tcpHeaderLength) != keys.cookie)
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    return quote;
}

std::optional<ProbeReply> decodeIcmp(std::span<const uint8_t> m, ProbeReply reply, const FlowMatch &match)
{
    if (m.size() < static_cast<size_t>(icmpHeaderLength))
        return std::nullopt;
    const bool v4 = match.family == Family::V4;
    const int type = m[0], code = m[1];
    if (type == (v4 ? icmpEchoReply : icmp6EchoReply)) {
        if (code != 0 || m.size() < static_cast<size_t>(flowTransportMinimum(ProbeProtocol::Icmp)) ||
            read16(&m[4]) != match.keys.identifier || read32(&m[8]) != match.keys.cookie)
            return std::nullopt;
        reply.kind = ReplyKind::EchoReply;
        reply.protocol = ProbeProtocol::Icmp;
        reply.sequence = read16(&m[6]);
        reply.probeDestination = reply.source;
        reply.cookieSeen = true;
        return reply;
    }
    // NOLINTNEXTLINE(bugprone-branch-clone): one branch per family and message, as the two ICMPs number them
    if (v4 && type == icmpTimeExceeded && code == codeTtlExceeded) {
        reply.kind = ReplyKind::TimeExceeded;
    } else if (v4 && type == icmpUnreachable) {
        reply.kind = code == codePortUnreachable       ? ReplyKind::PortUnreachable
                     : code == codeFragmentationNeeded ? ReplyKind::TooBig
                                                       : ReplyKind::Unreachable;
        if (reply.kind == ReplyKind::TooBig)
            reply.nextHopMtu = read16(&m[6]);
    } else if (!v4 && type == icmp6TimeExceeded && code == 0) {
        reply.kind = ReplyKind::TimeExceeded;
    } else if (!v4 && type == icmp6Unreachable) {
        reply.kind = code == code6PortUnreachable ? ReplyKind::PortUnreachable : ReplyKind::Unreachable;
    } else if (!v4 && type == icmp6TooBig && code == 0) {
        reply.kind = ReplyKind::TooBig;
        reply.nextHopMtu = static_cast<int>(std::min<uint32_t>(read32(&m[4]), 1u << 30));
    } else {
        return std::nullopt;
    }
    const std::optional<Quote> quote = decodeQuote(m.subspan(icmpHeaderLength), match);
    if (!quote)
        return std::nullopt;
    reply.protocol = quote->protocol;
    reply.sequence = quote->sequence;
    reply.probeDestination = quote->destination;
    reply.quotedProbeLength = quote->probeLength;
    reply.cookieSeen = quote->cookieSeen;
    return reply;
}

std::optional<ProbeReply> decodeTcp(std::span<const uint8_t> s, ProbeReply reply, const FlowMatch &match)
{
    if (s.size() < static_cast<size_t>(tcpHeaderLength) || read16(&s[0]) != match.tcpDestination ||
        read16(&s[2]) != match.keys.tcpSource)
        return std::nullopt;
    const uint8_t flags = s[13] & (tcpSyn | tcpRst | tcpAck);
    if (flags == (tcpRst | tcpAck))
        reply.kind = ReplyKind::TcpReset;
    else if (flags == (tcpSyn | tcpAck))
        reply.kind = ReplyKind::TcpSynAck;
    else
        return std::nullopt;
    // The acknowledgement is the probe's sequence + 1 (+ its payload, for a RST): the upper
    // half of ack - 1 is the probe's sequence under the key.
    const uint32_t acknowledged = read32(&s[8]) - 1;
    reply.protocol = ProbeProtocol::Tcp;
    reply.sequence = static_cast<uint16_t>((acknowledged >> 16) ^ match.keys.key);
    reply.tcpAckLow = static_cast<uint16_t>(acknowledged & 0xFFFF);
    reply.probeDestination = reply.source;
    return reply;
}

}  // namespace

uint16_t echoChecksum(const FlowKeys &keys, Family family)
{
    const uint32_t type = family == Family::V4 ? icmpEchoRequest : icmp6EchoRequest;
    const uint32_t sum = (type << 8) + keys.identifier + (keys.cookie >> 16) + (keys.cookie & 0xFFFF);
    return static_cast<uint16_t>(~fold(sum));
}

uint16_t udpChecksumFor(const FlowKeys &keys, uint16_t sequence)
{
    return static_cast<uint16_t>(sequence ^ keys.key);
}

uint16_t unusableSequence(const FlowKeys &keys)
{
    return keys.key;  // key XOR key = 0
}

std::vector<uint8_t> buildProbe(const ProbeFlow &flow, uint16_t sequence, int ipLength)
{
    const Family family = flow.destination.family;
    const int length = std::max(ipLength, smallestFlowProbe(family, flow.protocol)) - ipHeaderBytes(family);
    switch (flow.protocol) {
    case ProbeProtocol::Icmp: return buildEcho(flow, sequence, length);
    case ProbeProtocol::Udp: return buildUdp(flow, sequence, length);
    case ProbeProtocol::Tcp: return buildTcp(flow, sequence, length);
    }
    return {};
}

std::vector<uint8_t> buildWake(Family family)
{
    // Identifier and sequence 0. An ICMPv6 checksum is the kernel's to fill in; the IPv4
    // one of an all-zero echo reply is 0xFFFF.
    if (family == Family::V6)
        return {129, 0, 0, 0, 0, 0, 0, 0};
    return {icmpEchoReply, 0, 0xFF, 0xFF, 0, 0, 0, 0};
}

std::optional<ProbeReply> decodeProbeReply(std::span<const uint8_t> packet, const FlowMatch &match)
{
    ProbeReply reply;
    size_t headerLength = 0;
    int protocol = 0;
    if (match.family == Family::V4) {
        if (packet.size() < 20 || packet[0] >> 4 != 4)
            return std::nullopt;
        headerLength = 4 * static_cast<size_t>(packet[0] & 0x0F);
        if (headerLength < 20 || packet.size() < headerLength)
            return std::nullopt;
        protocol = packet[9];
        reply.ttl = packet[8];
        reply.source = IpAddress::at(Family::V4, &packet[12]);
    } else {
        if (packet.size() < 40 || packet[0] >> 4 != 6)
            return std::nullopt;
        headerLength = 40;
        protocol = packet[6];
        reply.ttl = packet[7];
        reply.source = IpAddress::at(Family::V6, &packet[8]);
    }
    const std::span<const uint8_t> payload = packet.subspan(headerLength);
    if (protocol == (match.family == Family::V4 ? protocolIcmp : protocolIcmp6))
        return decodeIcmp(payload, reply, match);
    if (protocol == protocolTcp)
        return decodeTcp(payload, reply, match);
    return std::nullopt;
}

}  // namespace hoprate
