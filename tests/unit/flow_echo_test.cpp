// Echo probes of one flow and the decoding of their answers: the constant checksum of a
// flow (checked against an independent RFC 1071 sum), the header's bytes, every kind of
// answer with its fields, foreign answers, odd header lengths and every truncation. Each
// datagram is decoded from a heap buffer of exactly its length, so under AddressSanitizer
// a read past the received bytes fails.
#include "wire/flow_echo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "datagrams.h"

using namespace hoprate;

namespace {

constexpr uint16_t ownIdentifier = 0x4A21;
constexpr uint32_t ownCookie = 0x9E3779B9;
constexpr const char *routerText = "192.0.2.1";
constexpr const char *localText = "10.0.0.2";
constexpr const char *targetText = "198.51.100.77";

Ipv4Address ip(const char *text)
{
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

// RFC 1071 the textbook way: the complement of the folded sum of big-endian words.
uint16_t referenceChecksum(const Bytes &bytes)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (bytes.size() % 2 == 1)
        sum += static_cast<uint32_t>(bytes.back() << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

std::optional<FlowReply> decodeExactly(const Bytes &datagram, const EchoFlow &flow)
{
    // new uint8_t[0] is a valid allocation too: every byte read from it is past the end.
    const std::unique_ptr<uint8_t[]> copy(new uint8_t[datagram.size()]);
    if (!datagram.empty())
        std::memcpy(copy.get(), datagram.data(), datagram.size());
    return decodeFlowReply({copy.get(), datagram.size()}, flow);
}

Bytes be16(uint16_t v)
{
    return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)};
}

// An echo reply as a host sends it back: the probe's bytes with type 0.
Bytes echoReply(const EchoFlow &flow, uint16_t sequence, int icmpLength, int outerWords = 5, uint8_t code = 0)
{
    Bytes message = buildFlowEcho(flow, sequence, icmpLength);
    message[0] = 0;
    message[1] = code;
    return join({ipHeader(outerWords, targetText, localText, 1), message});
}

// The IP header of a probe as a router quotes it: total length probeLength.
Bytes quotedHeader(int words, int probeLength, uint8_t protocol = 1)
{
    Bytes header = ipHeader(words, localText, targetText, protocol);
    header[2] = static_cast<uint8_t>(probeLength >> 8);
    header[3] = static_cast<uint8_t>(probeLength & 0xFF);
    return header;
}

// An ICMP error about a probe of icmpLength bytes, of which quoteBytes are quoted.
Bytes icmpError(uint8_t type, uint8_t code, const EchoFlow &probeFlow, uint16_t sequence, int icmpLength,
                size_t quoteBytes, uint16_t mtu = 0, int outerWords = 5, int quotedWords = 5)
{
    const Bytes probe = buildFlowEcho(probeFlow, sequence, icmpLength);
    return join({ipHeader(outerWords, routerText, localText, 1), Bytes{type, code, 0x5A, 0xA5, 0, 0}, be16(mtu),
                 quotedHeader(quotedWords, 4 * quotedWords + icmpLength), cut(probe, quoteBytes)});
}

class FlowEchoTest : public ::testing::Test {
protected:
    const EchoFlow flow = makeEchoFlow(ownIdentifier, ownCookie);
    const EchoFlow otherIdentifier = makeEchoFlow(ownIdentifier ^ 1, ownCookie);
    const EchoFlow otherCookie = makeEchoFlow(ownIdentifier, ownCookie + 1);
};

TEST_F(FlowEchoTest, EveryProbeOfAFlowHasItsChecksumAndAValidOne)
{
    // The last flow's header words sum to 0xFFFF: its constant checksum is zero.
    const EchoFlow flows[] = {flow, makeEchoFlow(0, 0), makeEchoFlow(0xFFFF, 0xFFFFFFFF), makeEchoFlow(0xF7FF, 0)};
    EXPECT_EQ(flows[3].checksum, 0);
    for (const EchoFlow &f : flows) {
        // Every sequence number at the shortest lengths, a spread of them at longer ones.
        for (uint32_t sequence = 0; sequence <= 0xFFFF; ++sequence) {
            for (int length : {16, 17, 64, 1472, 8972}) {
                if (length > 17 && sequence % 251 != 0 && sequence != 0xFFFF)
                    continue;
                const Bytes message = buildFlowEcho(f, static_cast<uint16_t>(sequence), length);
                ASSERT_EQ(message.size(), static_cast<size_t>(length));
                ASSERT_EQ((message[2] << 8 | message[3]), f.checksum) << sequence << " " << length;
                // The sum over the whole message, checksum included, verifies...
                ASSERT_EQ(referenceChecksum(message), 0) << sequence << " " << length;
                // ...and the checksum is what RFC 1071 gives with the field zero.
                Bytes zeroed = message;
                zeroed[2] = zeroed[3] = 0;
                ASSERT_EQ(referenceChecksum(zeroed), f.checksum) << sequence << " " << length;
            }
        }
    }
}

TEST_F(FlowEchoTest, HeaderLayoutIsTypeCodeChecksumIdentifierSequenceCookieCompensation)
{
    const Bytes message = buildFlowEcho(flow, 0x0102, 40);
    ASSERT_EQ(message.size(), 40u);
    const Bytes expectedStart = {8, 0, static_cast<uint8_t>(flow.checksum >> 8), static_cast<uint8_t>(flow.checksum),
                                 0x4A, 0x21, 0x01, 0x02, 0x9E, 0x37, 0x79, 0xB9};
    EXPECT_EQ(Bytes(message.begin(), message.begin() + 12), expectedStart);
    // Bytes 12-13 compensate the sequence; 14-15 and the filler are zero.
    EXPECT_EQ(Bytes(message.begin() + 14, message.end()), Bytes(26, 0));
    // Shorter lengths still give a whole header.
    EXPECT_EQ(buildFlowEcho(flow, 7, 8).size(), 16u);
    EXPECT_EQ(buildFlowEcho(flow, 7, -1).size(), 16u);
    EXPECT_EQ(smallestFlowProbe, 36);
}

TEST_F(FlowEchoTest, EchoReplyOfTheFlowOnlyAndOnlyWhole)
{
    const Bytes reply = echoReply(flow, 0xBEEF, 1480);
    const std::optional<FlowReply> r = decodeExactly(reply, flow);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, FlowReplyKind::EchoReply);
    EXPECT_EQ(r->sequence, 0xBEEF);
    EXPECT_EQ(r->source, ip(targetText));
    EXPECT_EQ(r->probeDestination, 0u);
    EXPECT_EQ(r->quotedProbeLength, 0);
    EXPECT_EQ(r->nextHopMtu, 0);

    EXPECT_FALSE(decodeExactly(echoReply(otherIdentifier, 0xBEEF, 1480), flow));
    EXPECT_FALSE(decodeExactly(echoReply(otherCookie, 0xBEEF, 1480), flow));
    EXPECT_FALSE(decodeExactly(echoReply(flow, 0xBEEF, 1480, 5, 1), flow));  // code 1
    // Our own request (seen on loopback) is no reply.
    Bytes request = reply;
    request[20] = 8;
    EXPECT_FALSE(decodeExactly(request, flow));

    // A header of 60 bytes moves everything along.
    const std::optional<FlowReply> wide = decodeExactly(echoReply(flow, 3, 16, 15), flow);
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->sequence, 3);

    // Every length short of the header and the 16 bytes with the cookie is refused.
    const Bytes small = echoReply(flow, 9, 24);
    for (size_t length = 0; length <= small.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_EQ(decodeExactly(cut(small, length), flow).has_value(), length >= 36u);
    }
}

TEST_F(FlowEchoTest, TimeExceededForOurProbeWithAnyQuote)
{
    // A 576-byte quote (RFC 1812 routers), a 28-byte one (8 bytes of the probe: no
    // cookie) and the whole probe.
    for (const size_t quoteBytes : {size_t{576 - 20 - 8 - 20}, size_t{8}, size_t{1480}}) {
        SCOPED_TRACE(quoteBytes);
        const Bytes error = icmpError(11, 0, flow, 0x0203, 1480, quoteBytes);
        const std::optional<FlowReply> r = decodeExactly(error, flow);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->kind, FlowReplyKind::TimeExceeded);
        EXPECT_EQ(r->sequence, 0x0203);
        EXPECT_EQ(r->source, ip(routerText));
        EXPECT_EQ(r->probeDestination, ip(targetText));
        EXPECT_EQ(r->quotedProbeLength, 1500);
        EXPECT_EQ(r->nextHopMtu, 0);
    }
    EXPECT_EQ(icmpError(11, 0, flow, 1, 1480, 528).size(), 576u);
    // Time exceeded in reassembly (code 1) answers no probe.
    EXPECT_FALSE(decodeExactly(icmpError(11, 1, flow, 1, 100, 100), flow));
}

TEST_F(FlowEchoTest, QuotesOfSomeoneElsesProbeAreRefused)
{
    EXPECT_FALSE(decodeExactly(icmpError(11, 0, otherIdentifier, 5, 100, 100), flow));
    EXPECT_FALSE(decodeExactly(icmpError(11, 0, otherIdentifier, 5, 100, 8), flow));
    // Another cookie gives another checksum: refused even where the quote stops before the
    // cookie (8 bytes), as is a quote of our probe whose checksum was changed. The cookie
    // counts as seen from the 12th byte of the probe on.
    for (size_t quoteBytes = 8; quoteBytes <= 16; ++quoteBytes) {
        SCOPED_TRACE(quoteBytes);
        EXPECT_FALSE(decodeExactly(icmpError(11, 0, otherCookie, 5, 100, quoteBytes), flow));
        Bytes forged = icmpError(11, 0, flow, 5, 100, quoteBytes);
        forged[28 + 20 + 3] ^= 1;
        EXPECT_FALSE(decodeExactly(forged, flow));
        const std::optional<FlowReply> ours = decodeExactly(icmpError(11, 0, flow, 5, 100, quoteBytes), flow);
        ASSERT_TRUE(ours);
        EXPECT_EQ(ours->cookieSeen, quoteBytes >= 12);
    }
    // A quoted echo reply, a quoted UDP datagram, a quote that is no IPv4 header.
    Bytes quotedReply = icmpError(3, 1, flow, 5, 100, 100);
    quotedReply[48] = 0;
    EXPECT_FALSE(decodeExactly(quotedReply, flow));
    const Bytes udp = join({ipHeader(5, routerText, localText, 1), Bytes{3, 3, 0, 0, 0, 0, 0, 0},
                            quotedHeader(5, 128, 17), buildFlowEcho(flow, 5, 16)});
    EXPECT_FALSE(decodeExactly(udp, flow));
    Bytes version6 = icmpError(11, 0, flow, 5, 100, 100);
    version6[28] = 0x65;
    EXPECT_FALSE(decodeExactly(version6, flow));
    // Neither redirects nor parameter problems answer a probe.
    EXPECT_FALSE(decodeExactly(icmpError(5, 1, flow, 5, 100, 100), flow));
    EXPECT_FALSE(decodeExactly(icmpError(12, 0, flow, 5, 100, 100), flow));
}

TEST_F(FlowEchoTest, UnreachableAndFragmentationNeededWithTheNextHopMtu)
{
    for (const uint8_t code : {0, 1, 3, 10, 13}) {
        SCOPED_TRACE(static_cast<int>(code));
        const std::optional<FlowReply> r = decodeExactly(icmpError(3, code, flow, 77, 200, 8, 1400), flow);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->kind, FlowReplyKind::Unreachable);
        EXPECT_EQ(r->sequence, 77);
        EXPECT_EQ(r->nextHopMtu, 0);  // bytes 6-7 mean nothing but for code 4
    }
    const std::optional<FlowReply> r = decodeExactly(icmpError(3, 4, flow, 78, 1480, 548, 1400), flow);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, FlowReplyKind::FragmentationNeeded);
    EXPECT_EQ(r->sequence, 78);
    EXPECT_EQ(r->nextHopMtu, 1400);
    EXPECT_EQ(r->quotedProbeLength, 1500);
    EXPECT_EQ(r->probeDestination, ip(targetText));
    // An old router names no MTU (RFC 792): zero.
    const std::optional<FlowReply> old = decodeExactly(icmpError(3, 4, flow, 79, 1480, 8, 0), flow);
    ASSERT_TRUE(old);
    EXPECT_EQ(old->nextHopMtu, 0);
}

TEST_F(FlowEchoTest, HeaderLengthsOf15WordsAndBelowFive)
{
    // 60-byte headers outside and in the quote: 60 + 8 + 60 + 8 = 136 bytes suffice.
    const Bytes wide = icmpError(11, 0, flow, 12, 100, 8, 0, 15, 15);
    ASSERT_EQ(wide.size(), 136u);
    const std::optional<FlowReply> r = decodeExactly(wide, flow);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->sequence, 12);
    EXPECT_EQ(r->quotedProbeLength, 160);
    EXPECT_EQ(r->probeDestination, ip(targetText));
    for (size_t length = 0; length < wide.size(); ++length)
        EXPECT_FALSE(decodeExactly(cut(wide, length), flow)) << length;

    for (const int words : {0, 1, 4}) {
        SCOPED_TRACE(words);
        Bytes outer = echoReply(flow, 1, 100);
        outer[0] = static_cast<uint8_t>(0x40 | words);
        EXPECT_FALSE(decodeExactly(outer, flow));
        Bytes quoted = icmpError(11, 0, flow, 1, 100, 100);
        quoted[28] = static_cast<uint8_t>(0x40 | words);
        EXPECT_FALSE(decodeExactly(quoted, flow));
    }
}

TEST_F(FlowEchoTest, EveryTruncationOfAnErrorIsRefusedUpToTheQuotedIcmpHeader)
{
    // Outer header 20, ICMP header 8, quoted header 20, the probe's first 8 bytes: 56.
    for (const uint8_t type : {3, 11}) {
        const Bytes whole = icmpError(type, type == 3 ? 4 : 0, flow, 0xFFFF, 64, 64, 576);
        for (size_t length = 0; length <= whole.size(); ++length) {
            SCOPED_TRACE(length);
            const std::optional<FlowReply> r = decodeExactly(cut(whole, length), flow);
            ASSERT_EQ(r.has_value(), length >= 56u);
            if (r) {
                EXPECT_EQ(r->sequence, 0xFFFF);
            }
        }
    }
}

}  // namespace
