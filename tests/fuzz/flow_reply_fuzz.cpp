// libFuzzer target for decodeProbeReply, the accurate mode's reply decoding, for IPv4 and
// IPv6 and the three probe protocols. An input is a 15-byte parameter prefix followed by
// the received packet (IP header included; at most 65535 bytes are used). Numbers are
// most significant byte first:
//   byte  0      the family: IPv6 if its lowest bit is set, else IPv4 (other bits unused)
//   bytes 1-2    the run's ICMP echo identifier
//   bytes 3-6    the run's cookie
//   bytes 7-8    the run's key (sequence XOR key: UDP checksum, upper half of the TCP sequence)
//   bytes 9-10   the source port of the UDP probes
//   bytes 11-12  the source port of the TCP probes
//   bytes 13-14  a sequence number for the round trip
// The probes go to UDP port 33434 and TCP port 80.
//
// The packet is decoded from a heap buffer of exactly its length, so any read past the
// received bytes is reported: for a run of the prefix's family, and for one of the other
// family with the same keys. Every decoded reply must agree with the bytes it came from,
// read here with bounds checks of their own: the family (the IP version) and source
// address, the TTL (hop limit), the kind by type and code; an echo reply carries the
// run's identifier and cookie; a TCP RST or SYN-ACK comes from the TCP port to the run's
// source port with those flags, and its sequence and tcpAckLow follow from ack - 1; an
// error quotes an IP header of the family (IPv6: extension headers stepped over only as
// far as they were received) and a probe of the run: an echo request with the identifier
// and the flow's constant checksum, or UDP / TCP with both ports (UDP: a checksum other
// than 0; TCP: the lower half of the sequence zero), the cookie wherever the quote holds
// it, and the sequence taken from the echo sequence field, the UDP checksum or the TCP
// sequence's upper half under the key.
//
// Then the round trip, in the prefix's family: the probe of each protocol with the
// prefix's sequence number (as long as the packet, within a probe's bounds), completed as
// the kernel completes it (UDP header and checksum, ICMPv6 checksum), must carry the
// flow's checksum (echo), the sequence's checksum (UDP) or a valid one (TCP), and come
// back decoded with its protocol and sequence from the destination's answer (echo reply,
// port unreachable with Linux's quote, TCP RST acknowledging its payload and SYN-ACK) and
// from a time exceeded quoting only 8 bytes of it. The UDP sequence number whose checksum
// would be 0 is never sent, so it is skipped.
//
// Nothing here writes to standard error unless an invariant fails.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "wire/flow.h"

using namespace hoprate;

namespace {

constexpr size_t prefixLength = 15;
constexpr size_t largestPacket = 65535;
constexpr uint16_t udpPort = 33434;
constexpr uint16_t tcpPort = 80;
constexpr int largestProbe = 1500;  // round-trip probes: an Ethernet MTU at most
constexpr int replyTtl = 57;

[[noreturn]] void failed(const char *condition, int line)
{
    std::fprintf(stderr, "flow_reply_fuzz.cpp:%d: %s\n", line, condition);
    std::abort();
}
#define REQUIRE(condition) ((condition) ? void(0) : failed(#condition, __LINE__))

using View = std::span<const uint8_t>;
using Packet = std::vector<uint8_t>;

// Field reads that check the bytes are there: a decoded reply says they were received.
uint8_t at8(View b, size_t i)
{
    REQUIRE(i < b.size());
    return b[i];
}

uint16_t at16(View b, size_t i)
{
    REQUIRE(i < b.size() && b.size() - i >= 2);
    return static_cast<uint16_t>(b[i] << 8 | b[i + 1]);
}

uint32_t at32(View b, size_t i)
{
    REQUIRE(i < b.size() && b.size() - i >= 4);
    return static_cast<uint32_t>(at16(b, i)) << 16 | at16(b, i + 2);
}

IpAddress addressIn(View b, size_t i, Family family)
{
    REQUIRE(i < b.size() && b.size() - i >= static_cast<size_t>(family == Family::V4 ? 4 : 16));
    return IpAddress::at(family, &b[i]);
}

void put16(Packet &p, size_t i, uint32_t v)
{
    p[i] = static_cast<uint8_t>(v >> 8);
    p[i + 1] = static_cast<uint8_t>(v);
}

void put32(Packet &p, size_t i, uint32_t v)
{
    put16(p, i, v >> 16);
    put16(p, i + 2, v & 0xFFFF);
}

// RFC 1071, written out again here rather than borrowed from the code under test.
uint32_t addWords(View b, uint32_t sum = 0)
{
    for (size_t i = 0; i < b.size(); i += 2)
        sum += static_cast<uint32_t>(b[i] << 8 | (i + 1 < b.size() ? b[i + 1] : 0));
    return sum;
}

uint16_t folded(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// The sum over a transport message and its pseudo-header (none for ICMP over IPv4).
uint16_t sumWithPseudoHeader(const IpAddress &from, const IpAddress &to, int protocol, View message)
{
    uint32_t sum = addWords(message);
    if (protocol == 1)
        return folded(sum);
    sum = addWords({from.bytes.data(), static_cast<size_t>(from.size())}, sum);
    sum = addWords({to.bytes.data(), static_cast<size_t>(to.size())}, sum);
    sum += static_cast<uint32_t>(protocol) + static_cast<uint32_t>(message.size() & 0xFFFF) +
           static_cast<uint32_t>(message.size() >> 16);
    return folded(sum);
}

// The constant checksum of the run's echo requests: the complement of the sum of the
// words that never change (type and code, identifier, cookie); the compensation word
// cancels the sequence number.
uint16_t flowChecksum(const FlowKeys &keys, Family family)
{
    const uint32_t type = family == Family::V4 ? 8 : 128;
    return static_cast<uint16_t>(~folded((type << 8) + keys.identifier + (keys.cookie >> 16) + (keys.cookie & 0xFFFF)));
}

int icmpProtocol(Family family)
{
    return family == Family::V4 ? 1 : 58;
}

std::optional<ProbeReply> decodeExactly(View packet, const FlowMatch &match)
{
    // new uint8_t[0] is a valid allocation too: every byte read from it is past the end.
    const std::unique_ptr<uint8_t[]> copy(new uint8_t[packet.size()]);
    if (!packet.empty())
        std::memcpy(copy.get(), packet.data(), packet.size());
    return decodeProbeReply({copy.get(), packet.size()}, match);
}

// The probe an error quotes: an IP header of the family, then a probe of the run.
void checkQuote(const ProbeReply &reply, View q, const FlowMatch &match)
{
    const bool v4 = match.family == Family::V4;
    REQUIRE(at8(q, 0) >> 4 == (v4 ? 4 : 6));
    size_t at = 0;
    int next = 0;
    if (v4) {
        at = 4u * (q[0] & 0x0F);
        REQUIRE(at >= 20 && at <= q.size());
        next = at8(q, 9);
        REQUIRE(reply.quotedProbeLength == at16(q, 2));
        REQUIRE(reply.probeDestination == addressIn(q, 16, Family::V4));
    } else {
        REQUIRE(q.size() >= 40);
        next = q[6];
        REQUIRE(reply.quotedProbeLength == 40 + at16(q, 4));
        REQUIRE(reply.probeDestination == addressIn(q, 24, Family::V6));
        at = 40;
        // Hop-by-hop, routing, destination options: each stepped over only after its
        // first 8 bytes arrived. (Bounded: every step moves on by 8 bytes at least.)
        while (next == 0 || next == 43 || next == 60) {
            REQUIRE(q.size() >= at + 8);
            next = q[at];
            at += 8u * (q[at + 1] + 1u);
        }
    }
    REQUIRE(q.size() >= at + 8);
    const View t = q.subspan(at);
    const FlowKeys &keys = match.keys;
    size_t cookieAt = 8;
    switch (reply.protocol) {
    case ProbeProtocol::Icmp:
        REQUIRE(next == icmpProtocol(match.family));
        REQUIRE(t[0] == (v4 ? 8 : 128) && t[1] == 0);
        REQUIRE(at16(t, 2) == flowChecksum(keys, match.family));
        REQUIRE(at16(t, 4) == keys.identifier);
        REQUIRE(reply.sequence == at16(t, 6));
        break;
    case ProbeProtocol::Udp:
        REQUIRE(next == 17);
        REQUIRE(at16(t, 0) == keys.udpSource && at16(t, 2) == match.udpDestination);
        REQUIRE(at16(t, 6) != 0);
        REQUIRE(reply.sequence == (at16(t, 6) ^ keys.key));
        break;
    case ProbeProtocol::Tcp:
        REQUIRE(next == 6);
        REQUIRE(at16(t, 0) == keys.tcpSource && at16(t, 2) == match.tcpDestination);
        REQUIRE((at32(t, 4) & 0xFFFF) == 0);
        REQUIRE(reply.sequence == ((at32(t, 4) >> 16) ^ keys.key));
        cookieAt = 20;
        break;
    }
    REQUIRE(reply.cookieSeen == (t.size() >= cookieAt + 4));
    if (reply.cookieSeen)
        REQUIRE(at32(t, cookieAt) == keys.cookie);
}

// What a decoded reply says must be what its packet holds.
void checkReply(const ProbeReply &reply, View p, const FlowMatch &match)
{
    const bool v4 = match.family == Family::V4;
    REQUIRE(at8(p, 0) >> 4 == (v4 ? 4 : 6));
    const size_t header = v4 ? 4u * (p[0] & 0x0F) : 40;
    REQUIRE(header >= 20 && header <= p.size());
    REQUIRE(reply.source == addressIn(p, v4 ? 12 : 8, match.family));
    REQUIRE(reply.ttl == at8(p, v4 ? 8 : 7));
    const int protocol = at8(p, v4 ? 9 : 6);
    const View t = p.subspan(header);
    if (reply.kind == ReplyKind::TcpReset || reply.kind == ReplyKind::TcpSynAck) {
        REQUIRE(protocol == 6 && t.size() >= 20);
        REQUIRE(at16(t, 0) == match.tcpDestination && at16(t, 2) == match.keys.tcpSource);
        REQUIRE((t[13] & 0x16) == (reply.kind == ReplyKind::TcpReset ? 0x14 : 0x12));
        const uint32_t acknowledged = at32(t, 8) - 1;
        REQUIRE(reply.protocol == ProbeProtocol::Tcp);
        REQUIRE(reply.sequence == ((acknowledged >> 16) ^ match.keys.key));
        REQUIRE(reply.tcpAckLow == (acknowledged & 0xFFFF));
        REQUIRE(reply.probeDestination == reply.source);
        REQUIRE(reply.quotedProbeLength == 0 && reply.nextHopMtu == 0 && !reply.cookieSeen);
        return;
    }
    REQUIRE(protocol == icmpProtocol(match.family) && t.size() >= 8);
    REQUIRE(reply.tcpAckLow == 0);
    const int type = t[0], code = t[1];
    switch (reply.kind) {
    case ReplyKind::EchoReply:
        REQUIRE(type == (v4 ? 0 : 129) && code == 0);
        REQUIRE(at16(t, 4) == match.keys.identifier && at32(t, 8) == match.keys.cookie);
        REQUIRE(reply.protocol == ProbeProtocol::Icmp && reply.sequence == at16(t, 6));
        REQUIRE(reply.probeDestination == reply.source && reply.cookieSeen);
        REQUIRE(reply.quotedProbeLength == 0 && reply.nextHopMtu == 0);
        return;
    case ReplyKind::TimeExceeded:
        REQUIRE(type == (v4 ? 11 : 3) && code == 0 && reply.nextHopMtu == 0);
        break;
    case ReplyKind::PortUnreachable:
        REQUIRE(type == (v4 ? 3 : 1) && code == (v4 ? 3 : 4) && reply.nextHopMtu == 0);
        break;
    case ReplyKind::Unreachable:
        REQUIRE(type == (v4 ? 3 : 1) && code != (v4 ? 3 : 4) && !(v4 && code == 4) && reply.nextHopMtu == 0);
        break;
    case ReplyKind::TooBig:
        if (v4) {
            REQUIRE(type == 3 && code == 4 && reply.nextHopMtu == at16(t, 6));
        } else {
            // An MTU beyond what an int holds comfortably is capped, never wrapped.
            REQUIRE(type == 2 && code == 0);
            const uint32_t named = at32(t, 4);
            REQUIRE(named <= (1u << 30) ? reply.nextHopMtu == static_cast<int>(named) : reply.nextHopMtu >= (1 << 30));
        }
        break;
    default:
        failed("a kind only TCP answers have", __LINE__);
    }
    checkQuote(reply, t.subspan(8), match);
}

// The host, the probes' destination and a router on the way, per family.
struct Ends {
    IpAddress local, target, router;
};

const Ends &endsOf(Family family)
{
    static const Ends v4 = [] {
        const uint8_t local[4] = {10, 0, 0, 2}, target[4] = {198, 51, 100, 77}, router[4] = {192, 0, 2, 1};
        return Ends{IpAddress::at(Family::V4, local), IpAddress::at(Family::V4, target),
                    IpAddress::at(Family::V4, router)};
    }();
    static const Ends v6 = [] {
        const uint8_t local[16] = {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
        const uint8_t target[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x77};
        const uint8_t router[16] = {0xfd, 0x77, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2};
        return Ends{IpAddress::v6(local), IpAddress::v6(target), IpAddress::v6(router)};
    }();
    return family == Family::V4 ? v4 : v6;
}

// A packet from one address to another: its IP header (no options) and room for the rest.
Packet ipPacket(const IpAddress &from, const IpAddress &to, int protocol, int ttl, size_t payload)
{
    const bool v4 = from.family == Family::V4;
    const size_t header = v4 ? 20 : 40;
    Packet p(header + payload, 0);
    if (v4) {
        p[0] = 0x45;
        put16(p, 2, static_cast<uint32_t>(header + payload));
        p[8] = static_cast<uint8_t>(ttl);
        p[9] = static_cast<uint8_t>(protocol);
        std::memcpy(&p[12], from.bytes.data(), 4);
        std::memcpy(&p[16], to.bytes.data(), 4);
    } else {
        p[0] = 0x60;
        put16(p, 4, static_cast<uint32_t>(payload));
        p[6] = static_cast<uint8_t>(protocol);
        p[7] = static_cast<uint8_t>(ttl);
        std::memcpy(&p[8], from.bytes.data(), 16);
        std::memcpy(&p[24], to.bytes.data(), 16);
    }
    return p;
}

// An ICMP (ICMPv6) error from `from` to the host quoting the first bytes of `sent`.
Packet errorAbout(View sent, Family family, const IpAddress &from, uint8_t type, uint8_t code, size_t quote)
{
    const size_t quoted = std::min(sent.size(), quote);
    Packet p = ipPacket(from, endsOf(family).local, icmpProtocol(family), replyTtl, 8 + quoted);
    const size_t header = p.size() - 8 - quoted;
    p[header] = type;
    p[header + 1] = code;
    std::memcpy(&p[header + 8], sent.data(), quoted);
    return p;
}

// Decodes a packet built here; it must decode, and agree with its bytes like any other.
ProbeReply decodedAnswer(const Packet &packet, const FlowMatch &match, ReplyKind kind, ProbeProtocol protocol,
                         uint16_t sequence)
{
    const std::optional<ProbeReply> reply = decodeExactly(packet, match);
    REQUIRE(reply.has_value());
    checkReply(*reply, packet, match);
    REQUIRE(reply->kind == kind && reply->protocol == protocol && reply->sequence == sequence);
    REQUIRE(reply->ttl == replyTtl);
    return *reply;
}

// The probe of this protocol and sequence, as it leaves the host, and its answers.
void roundTrip(const FlowMatch &match, ProbeProtocol protocol, uint16_t sequence, size_t inputLength)
{
    const FlowKeys &keys = match.keys;
    if (protocol == ProbeProtocol::Udp && sequence == unusableSequence(keys)) {
        REQUIRE(udpChecksumFor(keys, sequence) == 0);
        return;
    }
    const Family family = match.family;
    const bool v4 = family == Family::V4;
    const Ends &e = endsOf(family);
    const int smallest = smallestFlowProbe(family, protocol);
    const int ipLength = static_cast<int>(std::clamp<size_t>(inputLength, static_cast<size_t>(smallest), largestProbe));
    const ProbeFlow flow{protocol, e.local, e.target, protocol == ProbeProtocol::Tcp ? tcpPort : udpPort, keys};
    const Packet built = buildProbe(flow, sequence, ipLength);

    // The packet as it leaves: the kernel adds the UDP header and fills in the UDP and
    // ICMPv6 checksums.
    const int number = protocol == ProbeProtocol::Icmp ? icmpProtocol(family) : protocol == ProbeProtocol::Udp ? 17 : 6;
    const size_t header = v4 ? 20 : 40;
    const size_t transportLength = built.size() + (protocol == ProbeProtocol::Udp ? 8 : 0);
    REQUIRE(header + transportLength == static_cast<size_t>(ipLength));
    Packet sent = ipPacket(e.local, e.target, number, 1, transportLength);
    std::memcpy(&sent[sent.size() - built.size()], built.data(), built.size());
    const std::span<uint8_t> t = std::span<uint8_t>(sent).subspan(header);
    switch (protocol) {
    case ProbeProtocol::Icmp:
        REQUIRE(t[0] == (v4 ? 8 : 128) && t[1] == 0 && at16(t, 2) == flowChecksum(keys, family));
        REQUIRE(at16(t, 4) == keys.identifier && at16(t, 6) == sequence && at32(t, 8) == keys.cookie);
        if (!v4) {
            t[2] = t[3] = 0;
            put16(sent, header + 2, static_cast<uint16_t>(~sumWithPseudoHeader(e.local, e.target, 58, t)));
            REQUIRE(at16(t, 2) == flowChecksum(keys, family));
        }
        REQUIRE(sumWithPseudoHeader(e.local, e.target, number, t) == 0xFFFF);
        break;
    case ProbeProtocol::Udp: {
        put16(sent, header, keys.udpSource);
        put16(sent, header + 2, udpPort);
        put16(sent, header + 4, static_cast<uint32_t>(transportLength));
        uint16_t checksum = static_cast<uint16_t>(~sumWithPseudoHeader(e.local, e.target, 17, t));
        if (checksum == 0)
            checksum = 0xFFFF;
        put16(sent, header + 6, checksum);
        REQUIRE(checksum == (sequence ^ keys.key));
        REQUIRE(at32(t, 8) == keys.cookie);
        break;
    }
    case ProbeProtocol::Tcp:
        REQUIRE(at16(t, 0) == keys.tcpSource && at16(t, 2) == tcpPort && t[13] == 0x02);
        REQUIRE(at32(t, 4) == static_cast<uint32_t>(sequence ^ keys.key) << 16);
        REQUIRE(at32(t, 20) == keys.cookie);
        REQUIRE(sumWithPseudoHeader(e.local, e.target, 6, t) == 0xFFFF);
        break;
    }

    // The destination's answer.
    switch (protocol) {
    case ProbeProtocol::Icmp: {
        Packet echo = ipPacket(e.target, e.local, number, replyTtl, t.size());
        std::memcpy(&echo[header], t.data(), t.size());
        echo[header] = v4 ? 0 : 129;
        const ProbeReply r = decodedAnswer(echo, match, ReplyKind::EchoReply, protocol, sequence);
        REQUIRE(r.source == e.target && r.cookieSeen);
        break;
    }
    case ProbeProtocol::Udp: {
        // Linux quotes as much as fits in 576 (IPv6: 1280) bytes.
        const Packet unreachable =
            errorAbout(sent, family, e.target, v4 ? 3 : 1, v4 ? 3 : 4, (v4 ? 576 : 1280) - header - 8);
        const ProbeReply r = decodedAnswer(unreachable, match, ReplyKind::PortUnreachable, protocol, sequence);
        REQUIRE(r.source == e.target && r.probeDestination == e.target && r.quotedProbeLength == ipLength);
        REQUIRE(r.cookieSeen);
        break;
    }
    case ProbeProtocol::Tcp: {
        // A closed port resets, acknowledging the SYN and its payload; an open one answers
        // the SYN alone.
        const uint32_t payload = static_cast<uint32_t>(t.size() - 20);
        for (const bool reset : {true, false}) {
            Packet answer = ipPacket(e.target, e.local, 6, replyTtl, 20);
            put16(answer, header, tcpPort);
            put16(answer, header + 2, keys.tcpSource);
            put32(answer, header + 8, at32(t, 4) + 1 + (reset ? payload : 0));
            answer[header + 12] = 0x50;
            answer[header + 13] = reset ? 0x14 : 0x12;
            const ProbeReply r = decodedAnswer(answer, match, reset ? ReplyKind::TcpReset : ReplyKind::TcpSynAck,
                                               protocol, sequence);
            REQUIRE(r.source == e.target && r.tcpAckLow == (reset ? payload : 0));
        }
        break;
    }
    }

    // A router's time exceeded quoting the IP header and 8 bytes of the probe.
    const Packet exceeded = errorAbout(sent, family, e.router, v4 ? 11 : 3, 0, header + 8);
    const ProbeReply r = decodedAnswer(exceeded, match, ReplyKind::TimeExceeded, protocol, sequence);
    REQUIRE(r.source == e.router && r.probeDestination == e.target && r.quotedProbeLength == ipLength);
    REQUIRE(!r.cookieSeen);
}

uint16_t big16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < prefixLength)
        return 0;
    FlowMatch match;
    match.family = data[0] & 1 ? Family::V6 : Family::V4;
    match.keys.identifier = big16(data + 1);
    match.keys.cookie = static_cast<uint32_t>(big16(data + 3)) << 16 | big16(data + 5);
    match.keys.key = big16(data + 7);
    match.keys.udpSource = big16(data + 9);
    match.keys.tcpSource = big16(data + 11);
    match.udpDestination = udpPort;
    match.tcpDestination = tcpPort;
    const uint16_t sequence = big16(data + 13);

    const View packet(data + prefixLength, std::min(size - prefixLength, largestPacket));
    if (const std::optional<ProbeReply> reply = decodeExactly(packet, match))
        checkReply(*reply, packet, match);
    // A run of the other family decodes the same bytes by its own rules: only a packet of
    // its family, which checkReply sees to.
    FlowMatch other = match;
    other.family = match.family == Family::V4 ? Family::V6 : Family::V4;
    if (const std::optional<ProbeReply> reply = decodeExactly(packet, other))
        checkReply(*reply, packet, other);

    for (const ProbeProtocol protocol : {ProbeProtocol::Icmp, ProbeProtocol::Udp, ProbeProtocol::Tcp})
        roundTrip(match, protocol, sequence, packet.size());
    return 0;
}
