// The accurate mode's probes and the decoding of their answers, byte by byte: the
// constant checksum of an echo flow (against an independent RFC 1071 sum, IPv6 with its
// pseudo-header), the UDP checksum that carries the sequence number, the TCP SYN; every
// kind of answer for each family and protocol with quotes of 8 bytes, Linux's and the
// whole probe; foreign answers, odd header lengths, IPv6 extension headers and every
// truncation. Each datagram is decoded from a heap buffer of exactly its length, so under
// AddressSanitizer a read past the received bytes fails.
#include "wire/flow.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datagrams.h"
#include "simulated_path.h"
#include "wire/bytes.h"

namespace {

const FlowKeys keys{0x4A21, 0x9E3779B9, 0x5A3C, 40001, 40002};

IpAddress v4(const char *text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return IpAddress::v4(a.s_addr);
}

IpAddress v6(const char *text)
{
    in6_addr a{};
    inet_pton(AF_INET6, text, &a);
    return IpAddress::v6(a.s6_addr);
}

// The two ends and a router of each family.
struct Ends {
    IpAddress local, target, router;
};
Ends ends(Family family)
{
    if (family == Family::V4)
        return {v4("10.0.0.2"), v4("198.51.100.77"), v4("192.0.2.1")};
    return {v6("fd00::2"), v6("2001:db8::77"), v6("fd77:0:0:1::2")};
}

ProbeFlow flowOf(Family family, ProbeProtocol protocol, FlowKeys k = keys)
{
    const Ends e = ends(family);
    return ProbeFlow{protocol, e.local, e.target, static_cast<uint16_t>(protocol == ProbeProtocol::Tcp ? 80 : 33434), k};
}

FlowMatch matchOf(Family family)
{
    return FlowMatch{family, keys, 33434, 80};
}

std::optional<ProbeReply> decodeExactly(const Bytes &packet, Family family)
{
    // new uint8_t[0] is a valid allocation too: every byte read from it is past the end.
    const std::unique_ptr<uint8_t[]> copy(new uint8_t[packet.size()]);
    if (!packet.empty())
        std::memcpy(copy.get(), packet.data(), packet.size());
    return decodeProbeReply({copy.get(), packet.size()}, matchOf(family));
}

// The probe as it leaves the host: the transport the kernel completes (UDP header and
// checksum, the ICMPv6 checksum) behind its IP header.
Bytes sentPacket(const ProbeFlow &flow, uint16_t sequence, int ipLength, int ttl = 1)
{
    Bytes t = buildProbe(flow, sequence, ipLength);
    int protocol = flow.protocol == ProbeProtocol::Tcp ? 6 : flow.destination.family == Family::V4 ? 1 : 58;
    if (flow.protocol == ProbeProtocol::Udp) {
        protocol = 17;
        const size_t length = t.size() + 8;
        Bytes header = {static_cast<uint8_t>(flow.keys.udpSource >> 8), static_cast<uint8_t>(flow.keys.udpSource),
                        static_cast<uint8_t>(flow.port >> 8), static_cast<uint8_t>(flow.port),
                        static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 0, 0};
        t.insert(t.begin(), header.begin(), header.end());
        uint16_t sum = SimulatedPath::checksum(flow.source, flow.destination, 17, t);
        if (sum == 0)
            sum = 0xFFFF;
        t[6] = static_cast<uint8_t>(sum >> 8);
        t[7] = static_cast<uint8_t>(sum);
    } else if (protocol == 58) {
        t[2] = t[3] = 0;
        const uint16_t sum = SimulatedPath::checksum(flow.source, flow.destination, 58, t);
        t[2] = static_cast<uint8_t>(sum >> 8);
        t[3] = static_cast<uint8_t>(sum);
    }
    Bytes packet = SimulatedPath::ipHeaderFor(flow.source, flow.destination, protocol, ttl, t.size());
    packet.insert(packet.end(), t.begin(), t.end());
    return packet;
}

// An ICMP (ICMPv6) error from `from` quoting quoteBytes of the probe behind its IP header.
Bytes errorAbout(const Bytes &probe, Family family, const IpAddress &from, uint8_t type, uint8_t code,
                 size_t quoteBytes, uint32_t mtu = 0)
{
    const size_t header = family == Family::V4 ? 20 : 40;
    Bytes icmp = {type, code, 0, 0, static_cast<uint8_t>(mtu >> 24), static_cast<uint8_t>(mtu >> 16),
                  static_cast<uint8_t>(mtu >> 8), static_cast<uint8_t>(mtu)};
    icmp.insert(icmp.end(), probe.begin(), probe.begin() + static_cast<long>(std::min(probe.size(), header + quoteBytes)));
    Bytes packet = SimulatedPath::ipHeaderFor(from, ends(family).local, family == Family::V4 ? 1 : 58, 60, icmp.size());
    packet.insert(packet.end(), icmp.begin(), icmp.end());
    return packet;
}

uint16_t plainChecksum(const Bytes &bytes)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < bytes.size(); i += 2)
        sum += static_cast<uint32_t>(bytes[i] << 8 | (i + 1 < bytes.size() ? bytes[i + 1] : 0));
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint16_t at16(const Bytes &b, size_t i)
{
    return static_cast<uint16_t>(b[i] << 8 | b[i + 1]);
}

TEST(FlowProbes, EchoChecksumsAreTheFlowsAndValidForEveryFamily)
{
    // The constant checksum follows from identifier and cookie; the kernel's sum (over the
    // IPv6 pseudo-header too) gives exactly it, whatever the sequence and length.
    const FlowKeys zero{0xF7FF, 0};  // its header words sum to 0xFFFF: the checksum is zero
    EXPECT_EQ(echoChecksum(zero, Family::V4), 0);
    for (const Family family : {Family::V4, Family::V6}) {
        for (const FlowKeys &k : {keys, zero, FlowKeys{0xFFFF, 0xFFFFFFFF}}) {
            const ProbeFlow flow = flowOf(family, ProbeProtocol::Icmp, k);
            const int header = ipHeaderBytes(family);
            for (uint32_t sequence = 0; sequence <= 0xFFFF; sequence += 97) {
                for (const int length : {header + 16, header + 17, 1500, 9000}) {
                    const Bytes m = buildProbe(flow, static_cast<uint16_t>(sequence), length);
                    ASSERT_EQ(m.size(), static_cast<size_t>(length - header));
                    ASSERT_EQ(at16(m, 2), echoChecksum(k, family));
                    Bytes zeroed = m;
                    zeroed[2] = zeroed[3] = 0;
                    // IPv4: the plain RFC 1071 sum; IPv6: the kernel's, over the pseudo-header too.
                    const uint16_t kernel = family == Family::V4
                                                ? plainChecksum(zeroed)
                                                : SimulatedPath::checksum(flow.source, flow.destination, 58, zeroed);
                    ASSERT_EQ(kernel, echoChecksum(k, family)) << sequence << " " << length;
                }
            }
        }
    }
    // The layout: type, code, checksum, identifier, sequence, cookie, compensation, zeros.
    const Bytes m = buildProbe(flowOf(Family::V4, ProbeProtocol::Icmp), 0x0102, 60);
    const Bytes start = {8, 0, static_cast<uint8_t>(echoChecksum(keys, Family::V4) >> 8),
                         static_cast<uint8_t>(echoChecksum(keys, Family::V4)), 0x4A, 0x21, 0x01, 0x02, 0x9E, 0x37,
                         0x79, 0xB9};
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 12), start);
    EXPECT_EQ(Bytes(m.begin() + 14, m.end()), Bytes(26, 0));
    EXPECT_EQ(buildProbe(flowOf(Family::V6, ProbeProtocol::Icmp), 7, 8)[0], 128);
    EXPECT_EQ(buildProbe(flowOf(Family::V6, ProbeProtocol::Icmp), 7, 8).size(), 16u);  // never below the minimum
}

TEST(FlowProbes, UdpChecksumIsTheSequenceUnderTheKeyAndTcpCarriesItsOwn)
{
    for (const Family family : {Family::V4, Family::V6}) {
        SCOPED_TRACE(static_cast<int>(family));
        const ProbeFlow udp = flowOf(family, ProbeProtocol::Udp);
        const ProbeFlow tcp = flowOf(family, ProbeProtocol::Tcp);
        const size_t header = static_cast<size_t>(ipHeaderBytes(family));
        for (uint32_t sequence = 0; sequence <= 0xFFFF; sequence += 61) {
            if (sequence == unusableSequence(keys))
                continue;
            for (const int length : {64, 65, 1500}) {
                const Bytes p = sentPacket(udp, static_cast<uint16_t>(sequence), length);
                ASSERT_EQ(p.size(), static_cast<size_t>(length));
                ASSERT_EQ(at16(p, header + 6), udpChecksumFor(keys, static_cast<uint16_t>(sequence)));
                ASSERT_EQ(at16(p, header), 40001);
                ASSERT_EQ(at16(p, header + 2), 33434);
                ASSERT_EQ(read32(&p[header + 8]), keys.cookie);
                // A SYN with a valid checksum, the sequence in the upper half of its own.
                const Bytes s = buildProbe(tcp, static_cast<uint16_t>(sequence), length);
                ASSERT_EQ(s.size(), static_cast<size_t>(length) - header);
                ASSERT_EQ(SimulatedPath::checksum(tcp.source, tcp.destination, 6, s), 0);
                ASSERT_EQ(read32(&s[4]), static_cast<uint32_t>(sequence ^ keys.key) << 16);
                ASSERT_EQ(s[13], 0x02);
                ASSERT_EQ(at16(s, 0), 40002);
                ASSERT_EQ(at16(s, 2), 80);
            }
        }
    }
    EXPECT_EQ(udpChecksumFor(keys, unusableSequence(keys)), 0);
}

// A probe's every answer: what comes back, and what the decoder must make of it.
TEST(FlowReplies, EveryAnswerOfEveryFamilyAndProtocol)
{
    struct Case {
        ProbeProtocol protocol;
        int type, code;     // 0xFF: no ICMP message, the destination's own answer
        size_t quote;       // bytes of the probe's transport quoted
        ReplyKind kind;
    };
    for (const Family family : {Family::V4, Family::V6}) {
        const bool four = family == Family::V4;
        const Ends e = ends(family);
        const size_t linux = four ? 548 - 20 : 1232 - 40;
        const Case cases[] = {
            {ProbeProtocol::Icmp, four ? 11 : 3, 0, 8, ReplyKind::TimeExceeded},
            {ProbeProtocol::Icmp, four ? 11 : 3, 0, linux, ReplyKind::TimeExceeded},
            {ProbeProtocol::Icmp, four ? 11 : 3, 0, 5000, ReplyKind::TimeExceeded},
            {ProbeProtocol::Icmp, four ? 3 : 2, four ? 4 : 0, 8, ReplyKind::TooBig},
            {ProbeProtocol::Icmp, four ? 3 : 1, four ? 1 : 3, 8, ReplyKind::Unreachable},
            {ProbeProtocol::Udp, four ? 11 : 3, 0, 8, ReplyKind::TimeExceeded},
            {ProbeProtocol::Udp, four ? 11 : 3, 0, linux, ReplyKind::TimeExceeded},
            {ProbeProtocol::Udp, four ? 3 : 1, four ? 3 : 4, linux, ReplyKind::PortUnreachable},
            {ProbeProtocol::Tcp, four ? 11 : 3, 0, 8, ReplyKind::TimeExceeded},
            {ProbeProtocol::Tcp, four ? 11 : 3, 0, 5000, ReplyKind::TimeExceeded},
            {ProbeProtocol::Tcp, four ? 3 : 2, four ? 4 : 0, 20, ReplyKind::TooBig},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(std::to_string(static_cast<int>(family)) + " " + std::to_string(static_cast<int>(c.protocol)) +
                         " " + std::to_string(c.type) + " " + std::to_string(c.quote));
            const Bytes probe = sentPacket(flowOf(family, c.protocol), 0x0203, 1400);
            const std::optional<ProbeReply> r = decodeExactly(errorAbout(probe, family, e.router, static_cast<uint8_t>(c.type),
                                                                         static_cast<uint8_t>(c.code), c.quote, 1280),
                                                              family);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->kind, c.kind);
            EXPECT_EQ(r->protocol, c.protocol);
            EXPECT_EQ(r->sequence, 0x0203);
            EXPECT_EQ(r->source, e.router);
            EXPECT_EQ(r->probeDestination, e.target);
            EXPECT_EQ(r->quotedProbeLength, 1400);
            EXPECT_EQ(r->ttl, 60);
            EXPECT_EQ(r->nextHopMtu, c.kind == ReplyKind::TooBig ? 1280 : 0);
            EXPECT_EQ(r->cookieSeen, c.quote >= (c.protocol == ProbeProtocol::Tcp ? 24u : 12u));
        }
        // The destination's own answers: an echo reply, a TCP reset (acknowledging the
        // SYN and its payload) and a SYN-ACK.
        Bytes echo = buildProbe(flowOf(family, ProbeProtocol::Icmp), 0xBEEF, 1480);
        echo[0] = four ? 0 : 129;
        Bytes reply = SimulatedPath::ipHeaderFor(e.target, e.local, four ? 1 : 58, 50, echo.size());
        reply.insert(reply.end(), echo.begin(), echo.end());
        std::optional<ProbeReply> r = decodeExactly(reply, family);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->kind, ReplyKind::EchoReply);
        EXPECT_EQ(r->sequence, 0xBEEF);
        EXPECT_EQ(r->probeDestination, e.target);
        EXPECT_TRUE(r->cookieSeen);
        for (const bool reset : {true, false}) {
            const uint32_t ack = (static_cast<uint32_t>(0x1234 ^ keys.key) << 16) + 1 + (reset ? 1000 : 0);
            Bytes segment = {0, 80, 0x9C, 0x42, 0, 0, 0, 0, static_cast<uint8_t>(ack >> 24), static_cast<uint8_t>(ack >> 16),
                             static_cast<uint8_t>(ack >> 8), static_cast<uint8_t>(ack), 0x50,
                             static_cast<uint8_t>(reset ? 0x14 : 0x12), 0, 0, 0, 0, 0, 0};
            Bytes answer = SimulatedPath::ipHeaderFor(e.target, e.local, 6, 50, segment.size());
            answer.insert(answer.end(), segment.begin(), segment.end());
            r = decodeExactly(answer, family);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->kind, reset ? ReplyKind::TcpReset : ReplyKind::TcpSynAck);
            EXPECT_EQ(r->protocol, ProbeProtocol::Tcp);
            EXPECT_EQ(r->sequence, 0x1234);
            EXPECT_EQ(r->tcpAckLow, reset ? 1000 : 0);
            // A bare SYN, a bare ACK, another port: no answer of ours.
            for (const std::pair<size_t, uint8_t> &change : {std::pair<size_t, uint8_t>{13, 0x02}, {13, 0x10}, {1, 81}}) {
                Bytes other = answer;
                other[(four ? 20 : 40) + change.first] = change.second;
                EXPECT_FALSE(decodeExactly(other, family));
            }
        }
    }
}

TEST(FlowReplies, QuotesAndRepliesOfSomeoneElseAreRefused)
{
    for (const Family family : {Family::V4, Family::V6}) {
        SCOPED_TRACE(static_cast<int>(family));
        const Ends e = ends(family);
        const size_t quoted = family == Family::V4 ? 48 : 88;  // outer header, ICMP header, quoted IP header
        for (const ProbeProtocol protocol : {ProbeProtocol::Icmp, ProbeProtocol::Udp, ProbeProtocol::Tcp}) {
            SCOPED_TRACE(static_cast<int>(protocol));
            const Bytes probe = sentPacket(flowOf(family, protocol), 5, 200);
            for (const size_t quote : {size_t{8}, size_t{30}}) {
                const Bytes ours = errorAbout(probe, family, e.router, family == Family::V4 ? 11 : 3, 0, quote);
                ASSERT_TRUE(decodeExactly(ours, family));
                // Every field a short quote holds counts: the type, identifier and checksum
                // (echo), the ports (UDP, TCP), the lower half of the TCP sequence. (Another
                // echo sequence, UDP checksum or upper TCP half names another probe: the
                // ledger's business; the UDP length is not checked.)
                for (const size_t at : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{7}}) {
                    if (at == 7 && protocol != ProbeProtocol::Tcp)
                        continue;
                    if (at == 5 && protocol != ProbeProtocol::Icmp)
                        continue;
                    Bytes forged = ours;
                    forged[quoted + at] ^= 1;
                    EXPECT_FALSE(decodeExactly(forged, family)) << at;
                }
                // The cookie, where quoted.
                if (quote >= 30) {
                    Bytes forged = ours;
                    forged[quoted + (protocol == ProbeProtocol::Tcp ? 20 : 8)] ^= 1;
                    EXPECT_FALSE(decodeExactly(forged, family));
                }
            }
        }
        // Neither redirects nor parameter problems answer a probe; a quote that is no IP
        // header of the family, and a datagram of the other family, neither.
        const Bytes probe = sentPacket(flowOf(family, ProbeProtocol::Icmp), 5, 200);
        for (const uint8_t type : {uint8_t(family == Family::V4 ? 5 : 4), uint8_t(family == Family::V4 ? 12 : 137)})
            EXPECT_FALSE(decodeExactly(errorAbout(probe, family, e.router, type, 0, 100), family));
        Bytes version = errorAbout(probe, family, e.router, family == Family::V4 ? 11 : 3, 0, 100);
        version[quoted - (family == Family::V4 ? 20 : 40)] ^= 0x20;
        EXPECT_FALSE(decodeExactly(version, family));
        const Family other = family == Family::V4 ? Family::V6 : Family::V4;
        EXPECT_FALSE(decodeExactly(errorAbout(sentPacket(flowOf(other, ProbeProtocol::Icmp), 5, 200), other,
                                              ends(other).router, other == Family::V4 ? 11 : 3, 0, 100),
                                   family));
    }
}

TEST(FlowReplies, Ipv6ExtensionHeadersInAQuoteAreSteppedOverOrSetAside)
{
    const Ends e = ends(Family::V6);
    const Bytes probe = sentPacket(flowOf(Family::V6, ProbeProtocol::Udp), 9, 200);
    // A hop-by-hop header (8 bytes) and a routing header (16) between the quoted IPv6
    // header and the UDP header; then a fragment header instead, which is set aside.
    for (const auto &[next, length, kept] : {std::tuple{0, 8, true}, std::tuple{43, 16, true}, std::tuple{44, 8, false}}) {
        SCOPED_TRACE(next);
        Bytes q(probe.begin(), probe.begin() + 40);
        q[6] = static_cast<uint8_t>(next);
        Bytes extension(static_cast<size_t>(length), 0);
        extension[0] = 17;
        extension[1] = static_cast<uint8_t>(length / 8 - 1);
        q.insert(q.end(), extension.begin(), extension.end());
        q.insert(q.end(), probe.begin() + 40, probe.end());
        Bytes icmp = {3, 0, 0, 0, 0, 0, 0, 0};
        icmp.insert(icmp.end(), q.begin(), q.end());
        Bytes packet = SimulatedPath::ipHeaderFor(e.router, e.local, 58, 60, icmp.size());
        packet.insert(packet.end(), icmp.begin(), icmp.end());
        const std::optional<ProbeReply> r = decodeExactly(packet, Family::V6);
        ASSERT_EQ(r.has_value(), kept);
        if (r) {
            EXPECT_EQ(r->sequence, 9);
        }
        // Cut anywhere inside the extension or the UDP header: refused, never misread.
        for (size_t cutAt = 48 + 40; cutAt < 48 + 40 + static_cast<size_t>(length) + 8; ++cutAt)
            EXPECT_FALSE(decodeExactly(cut(packet, cutAt), Family::V6)) << cutAt;
    }
}

TEST(FlowReplies, OddHeaderLengthsAndEveryTruncation)
{
    // IPv4 headers of 15 words outside and in the quote, and fewer than 5.
    const Bytes probe = sentPacket(flowOf(Family::V4, ProbeProtocol::Icmp), 12, 100);
    Bytes wideQuote = ipHeader(15, "10.0.0.2", "198.51.100.77", 1);
    wideQuote[2] = 0;
    wideQuote[3] = 140;
    wideQuote.insert(wideQuote.end(), probe.begin() + 20, probe.begin() + 28);
    Bytes icmp = {11, 0, 0, 0, 0, 0, 0, 0};
    icmp.insert(icmp.end(), wideQuote.begin(), wideQuote.end());
    const Bytes wide = join({ipHeader(15, "192.0.2.1", "10.0.0.2", 1), icmp});
    ASSERT_EQ(wide.size(), 136u);
    const std::optional<ProbeReply> r = decodeExactly(wide, Family::V4);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sequence, 12);
    EXPECT_EQ(r->quotedProbeLength, 140);
    for (size_t length = 0; length < wide.size(); ++length)
        EXPECT_FALSE(decodeExactly(cut(wide, length), Family::V4)) << length;
    for (const int words : {0, 1, 4}) {
        Bytes outer = errorAbout(probe, Family::V4, ends(Family::V4).router, 11, 0, 100);
        outer[0] = static_cast<uint8_t>(0x40 | words);
        EXPECT_FALSE(decodeExactly(outer, Family::V4)) << words;
        Bytes quoted = errorAbout(probe, Family::V4, ends(Family::V4).router, 11, 0, 100);
        quoted[28] = static_cast<uint8_t>(0x40 | words);
        EXPECT_FALSE(decodeExactly(quoted, Family::V4)) << words;
    }
    // Every truncation of an error is refused up to the quoted transport's 8 bytes.
    for (const Family family : {Family::V4, Family::V6}) {
        const size_t header = family == Family::V4 ? 20 : 40;
        for (const ProbeProtocol protocol : {ProbeProtocol::Icmp, ProbeProtocol::Udp, ProbeProtocol::Tcp}) {
            const Bytes whole = errorAbout(sentPacket(flowOf(family, protocol), 0xFFFF, 200), family,
                                           ends(family).router, family == Family::V4 ? 11 : 3, 0, 100);
            for (size_t length = 0; length <= whole.size(); ++length) {
                const std::optional<ProbeReply> t = decodeExactly(cut(whole, length), family);
                ASSERT_EQ(t.has_value(), length >= 2 * header + 16) << length;
            }
        }
    }
}

}  // namespace
