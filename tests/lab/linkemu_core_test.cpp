// The link emulator's pure parts: option texts, link timing, ICMP quote trimming and
// the lateness histogram.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "linkemu_core.h"

using namespace linkemu;

TEST(LinkEmuOptions, RatesAndDurations)
{
    EXPECT_DOUBLE_EQ(parseRate("10M"), 10e6);
    EXPECT_DOUBLE_EQ(parseRate("2.5M"), 2.5e6);
    EXPECT_DOUBLE_EQ(parseRate("800K"), 800e3);
    EXPECT_DOUBLE_EQ(parseRate("800k"), 800e3);
    EXPECT_DOUBLE_EQ(parseRate("1G"), 1e9);
    EXPECT_DOUBLE_EQ(parseRate("64000"), 64000);
    for (const char *bad : {"", "M", "-1M", "0", "0M", "10m", "10Mb", " 10M", "10 M", "+5M"})
        EXPECT_EQ(parseRate(bad), 0) << bad;

    EXPECT_EQ(parseDuration("1ms"), 1000000);
    EXPECT_EQ(parseDuration("1.5ms"), 1500000);
    EXPECT_EQ(parseDuration("250us"), 250000);
    EXPECT_EQ(parseDuration("300ns"), 300);
    EXPECT_EQ(parseDuration("2s"), 2000000000);
    EXPECT_EQ(parseDuration("0"), 0);
    EXPECT_EQ(parseDuration("0ms"), 0);
    for (const char *bad : {"", "5", "ms", "-1ms", "1 ms", "1h", "1msx", "7200s"})
        EXPECT_EQ(parseDuration(bad), -1) << bad;
}

TEST(LinkEmuTiming, SerializationQueueingAndPropagation)
{
    EXPECT_EQ(serializationNanoseconds(1500, 10e6), 1200000);
    EXPECT_EQ(serializationNanoseconds(1, 3e6), 2667);  // 2666.67 rounds up
    EXPECT_EQ(serializationNanoseconds(0, 1e6), 0);

    LinkDirection link;
    link.rateBitsPerSecond = 1e6;   // 8 us per byte
    link.propagationNs = 1000000;   // 1 ms
    // An isolated packet: serialization + propagation.
    EXPECT_EQ(link.admit(0, 100, 0), 800000 + 1000000);
    EXPECT_EQ(link.busyUntil, 800000);
    // One arriving while the first is still being sent waits for it (FIFO).
    EXPECT_EQ(link.admit(200000, 100, 0), 1600000 + 1000000);
    // One arriving after the transmitter went idle is not delayed by the others.
    EXPECT_EQ(link.admit(5000000, 50, 0), 5000000 + 400000 + 1000000);
    // Extra queueing delay (cross traffic) comes before serialization.
    EXPECT_EQ(link.admit(10000000, 50, 300000), 10300000 + 400000 + 1000000);
}

TEST(LinkEmuTiming, HiddenStoreAndForwardDevices)
{
    LinkDirection link;
    link.rateBitsPerSecond = 1e6;  // 8 us per byte
    link.propagationNs = 1000000;
    link.hiddenDevices = 1;
    // An isolated packet is serialized twice, propagation counted once.
    EXPECT_EQ(link.admit(0, 100, 0), 2 * 800000 + 1000000);
    // A short packet right behind a long one: the first transmitter sends it once the long
    // one is out (0.88 ms); the hidden device is still sending the long one until 1.6 ms.
    LinkDirection two = link;
    two.busyUntil = 0;
    two.hiddenBusyUntil[0] = 0;
    EXPECT_EQ(two.admit(0, 100, 0), 1600000 + 1000000);
    EXPECT_EQ(two.admit(100000, 10, 0), 1600000 + 80000 + 1000000);
    EXPECT_EQ(two.busyUntil, 880000);
    // Two hidden devices: three serializations in all; cross traffic delays only the first.
    LinkDirection three;
    three.rateBitsPerSecond = 1e6;
    three.hiddenDevices = 2;
    EXPECT_EQ(three.admit(0, 50, 300000), 300000 + 3 * 400000);
    // A count beyond the array is held to its size rather than read past it.
    LinkDirection many;
    many.rateBitsPerSecond = 8e6;  // 1 us per byte
    many.hiddenDevices = 99;
    EXPECT_EQ(many.admit(0, 10, 0), (1 + LinkDirection::maxHiddenDevices) * 10000);
}

TEST(LinkEmuChecksum, KnownValuesAndOddLengths)
{
    const unsigned char rfc1071[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(internetChecksum(rfc1071, sizeof rfc1071), 0x220d);
    // Trailing odd byte >= 0x80 counts as the high byte of an unsigned word.
    const unsigned char odd[] = {0x12, 0x34, 0x9a};
    EXPECT_EQ(internetChecksum(odd, sizeof odd), static_cast<uint16_t>(~(0x1234 + 0x9a00) & 0xFFFF));
    EXPECT_EQ(internetChecksum(odd, 0), 0xFFFF);
}

namespace {

void put16(unsigned char *p, unsigned value)
{
    p[0] = static_cast<unsigned char>(value >> 8);
    p[1] = static_cast<unsigned char>(value);
}

unsigned get16(const unsigned char *p)
{
    return (p[0] << 8) | p[1];
}

// Writes a 20-byte IPv4 header at p: total length, identification, TTL, protocol,
// 10.77.a.b addresses and its checksum.
void putIpHeader(unsigned char *p, size_t total, unsigned id, int ttl, int protocol,
                 const unsigned char (&source)[4], const unsigned char (&destination)[4])
{
    std::fill(p, p + 20, 0);
    p[0] = 0x45;
    put16(&p[2], static_cast<unsigned>(total));
    put16(&p[4], id);
    p[8] = static_cast<unsigned char>(ttl);
    p[9] = static_cast<unsigned char>(protocol);
    std::memcpy(&p[12], source, 4);
    std::memcpy(&p[16], destination, 4);
    put16(&p[10], internetChecksum(p, 20));
}

// An ICMP error of the given type/code quoting an IPv4 datagram of quotedTotal bytes
// (header of quotedHeaderLength bytes, payload filled with a pattern), as a router would
// send it with a quote of quotedBytes.
std::vector<unsigned char> icmpError(int type, int code, size_t quotedHeaderLength, size_t quotedBytes)
{
    std::vector<unsigned char> p(20 + 8 + quotedBytes);
    putIpHeader(p.data(), p.size(), 0x1234, 64, 1, {10, 77, 2, 2}, {10, 77, 1, 1});
    unsigned char *icmp = &p[20];
    icmp[0] = static_cast<unsigned char>(type);
    icmp[1] = static_cast<unsigned char>(code);
    unsigned char *quoted = icmp + 8;
    quoted[0] = static_cast<unsigned char>(0x40 | (quotedHeaderLength / 4));
    put16(quoted + 2, 1482);
    quoted[8] = 1;
    quoted[9] = 17;
    for (size_t i = quotedHeaderLength; i < quotedBytes; ++i)
        quoted[i] = static_cast<unsigned char>(0x80 + i);
    put16(icmp + 2, internetChecksum(icmp, p.size() - 20));
    return p;
}

}  // namespace

TEST(LinkEmuShortQuote, TrimsErrorsToHeaderPlusEightAndFixesChecksums)
{
    struct Case {
        int type, code;
        size_t quotedHeader, quotedBytes, expected;
    };
    const Case cases[] = {
        {11, 0, 20, 548, 56},  // time exceeded, Linux-style 576-byte message
        {3, 3, 20, 548, 56},   // port unreachable
        {11, 0, 24, 300, 60},  // quoted header with options keeps them, then 8 bytes
        {3, 3, 20, 29, 56},    // one byte more than needed is cut too
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> p = icmpError(c.type, c.code, c.quotedHeader, c.quotedBytes);
        const std::vector<unsigned char> before = p;
        const size_t len = trimIcmpQuote(p.data(), p.size());
        ASSERT_EQ(len, c.expected) << c.type << "/" << c.quotedBytes;
        EXPECT_EQ(get16(&p[2]), c.expected);
        EXPECT_EQ(internetChecksum(p.data(), 20), 0) << "IP header checksum";
        EXPECT_EQ(internetChecksum(&p[20], len - 20), 0) << "ICMP checksum";
        // Everything kept is unchanged except total length and the two checksums.
        for (size_t i = 0; i < len; ++i) {
            if (i != 2 && i != 3 && i != 10 && i != 11 && i != 22 && i != 23) {
                EXPECT_EQ(p[i], before[i]) << "byte " << i;
            }
        }
        // Trimming is idempotent: the link next to the router trims, later links leave it.
        EXPECT_EQ(trimIcmpQuote(p.data(), len), len);
    }
}

TEST(LinkEmuShortQuote, LeavesOtherPacketsAlone)
{
    auto unchanged = [](std::vector<unsigned char> p, const char *what) {
        const std::vector<unsigned char> before = p;
        EXPECT_EQ(trimIcmpQuote(p.data(), p.size()), before.size()) << what;
        EXPECT_EQ(p, before) << what;
    };
    unchanged(icmpError(11, 0, 20, 28), "already RFC 792 length");
    unchanged(icmpError(11, 0, 20, 20), "quote shorter than header + 8");

    std::vector<unsigned char> echo = icmpError(0, 0, 20, 548);
    unchanged(echo, "echo reply");
    std::vector<unsigned char> redirect = icmpError(5, 1, 20, 548);
    unchanged(redirect, "redirect");

    std::vector<unsigned char> udp = icmpError(11, 0, 20, 548);
    udp[9] = 17;
    unchanged(udp, "not ICMP");
    std::vector<unsigned char> fragment = icmpError(11, 0, 20, 548);
    put16(&fragment[6], 0x2000);
    unchanged(fragment, "first fragment");
    std::vector<unsigned char> wrongLength = icmpError(11, 0, 20, 548);
    put16(&wrongLength[2], 600);
    unchanged(wrongLength, "total length disagrees with bytes read");
    std::vector<unsigned char> ipv6 = icmpError(11, 0, 20, 548);
    ipv6[0] = 0x60;
    unchanged(ipv6, "not IPv4");
    std::vector<unsigned char> badQuote = icmpError(11, 0, 20, 548);
    badQuote[28] = 0x43;
    unchanged(badQuote, "quoted header length below 20");
    std::vector<unsigned char> tiny(10, 0x45);
    unchanged(tiny, "shorter than an IP header");
}

TEST(LinkEmuLateness, QuantilesOverflowAndMerge)
{
    LatenessHistogram empty;
    EXPECT_EQ(empty.count(), 0u);
    EXPECT_EQ(empty.quantile(0.5), 0);

    LatenessHistogram h;
    for (int i = 0; i < 98; ++i)
        h.add(1000 + i);  // 1.000 .. 1.097 us
    h.add(50000);
    h.add(900000);  // beyond the 200 us range: the overflow bin
    EXPECT_EQ(h.count(), 100u);
    EXPECT_EQ(h.quantile(0.5), 1050);  // upper edge of the bin holding the 50th value (1049 ns)
    EXPECT_EQ(h.quantile(0.99), 50010);
    EXPECT_EQ(h.quantile(1.0), 900000);
    EXPECT_EQ(h.maximum(), 900000);

    LatenessHistogram early;
    early.add(-40);  // never early in practice; counted as on time
    EXPECT_EQ(early.quantile(0.5), 0);

    LatenessHistogram both;
    both.merge(h);
    both.merge(early);
    EXPECT_EQ(both.count(), 101u);
    EXPECT_EQ(both.maximum(), 900000);
}

namespace {

// The offending datagram an ICMP error quotes: a UDP probe of total bytes with a
// recognisable payload, as it left the source (TTL 1 when it reached the node).
std::vector<unsigned char> udpProbe(size_t total, uint16_t id)
{
    std::vector<unsigned char> d(total);
    putIpHeader(d.data(), total, id, 1, 17, {10, 77, 1, 1}, {10, 77, 3, 2});
    put16(&d[20], 40000);
    put16(&d[22], 33434);
    put16(&d[24], static_cast<unsigned>(total - 20));
    for (size_t i = 28; i < total; ++i)
        d[i] = static_cast<unsigned char>(i * 7 + 3);
    return d;
}

// A Linux-style error from 10.77.2.2 quoting the first quoteBytes of datagram, in a
// buffer of capacity bytes.
std::vector<unsigned char> errorQuoting(int type, const std::vector<unsigned char> &datagram, size_t quoteBytes,
                                        size_t capacity)
{
    std::vector<unsigned char> p(capacity, 0xEE);  // what lies past the message
    const size_t len = 28 + quoteBytes;
    std::fill(p.begin() + 20, p.begin() + 28, 0);
    putIpHeader(p.data(), len, 0, 64, 1, {10, 77, 2, 2}, {10, 77, 1, 1});
    p[20] = static_cast<unsigned char>(type);
    std::memcpy(&p[28], datagram.data(), quoteBytes);
    put16(&p[22], internetChecksum(&p[20], len - 20));
    return p;
}

}  // namespace

TEST(LinkEmuIcmpError, TypeAndSenderOfWholeErrorsOnly)
{
    const std::vector<unsigned char> probe = udpProbe(1000, 7);
    const std::vector<unsigned char> exceeded = errorQuoting(11, probe, 548, 576);
    IcmpError e = inspectIcmpError(exceeded.data(), 576);
    EXPECT_EQ(e.type, 11);
    EXPECT_EQ(e.source, 0x0A4D0202u);
    EXPECT_EQ(inspectIcmpError(errorQuoting(3, probe, 28, 56).data(), 56).type, 3);

    EXPECT_EQ(inspectIcmpError(exceeded.data(), 575).type, -1) << "length disagrees with the header";
    EXPECT_EQ(inspectIcmpError(icmpError(0, 0, 20, 100).data(), 128).type, -1) << "echo reply";
    std::vector<unsigned char> fragment = exceeded;
    put16(&fragment[6], 0x0001);
    EXPECT_EQ(inspectIcmpError(fragment.data(), 576).type, -1) << "a later fragment";
    EXPECT_EQ(inspectIcmpError(probe.data(), probe.size()).type, -1) << "UDP";
}

TEST(LinkEmuWholeQuote, CompletesTheQuoteFromTheDatagramSent)
{
    const std::vector<unsigned char> probe = udpProbe(1000, 7);
    std::vector<unsigned char> p = errorQuoting(11, probe, 548, 2048);
    const size_t len = padIcmpQuote(p.data(), 576, 1500, probe.data(), probe.size());
    ASSERT_EQ(len, 1028u);
    EXPECT_EQ(get16(&p[2]), 1028u);
    EXPECT_EQ(internetChecksum(p.data(), 20), 0) << "IP header checksum";
    EXPECT_EQ(internetChecksum(&p[20], len - 20), 0) << "ICMP checksum";
    EXPECT_TRUE(std::equal(probe.begin(), probe.end(), p.begin() + 28)) << "the quote is the whole probe";
    EXPECT_EQ(p[1028], 0xEE) << "nothing written past the new end";
    EXPECT_EQ(padIcmpQuote(p.data(), len, 1500, probe.data(), probe.size()), len) << "already whole";

    // Without the datagram the quote is completed with zeros; an RFC 792-style quote too.
    std::vector<unsigned char> q = errorQuoting(3, probe, 28, 2048);
    ASSERT_EQ(padIcmpQuote(q.data(), 56, 1500, nullptr, 0), 1028u);
    EXPECT_TRUE(std::equal(probe.begin(), probe.begin() + 28, q.begin() + 28));
    EXPECT_TRUE(std::all_of(q.begin() + 56, q.begin() + 1028, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(internetChecksum(&q[20], 1008), 0);

    // The message is held to the link's MTU.
    const std::vector<unsigned char> big = udpProbe(1480, 9);
    std::vector<unsigned char> r = errorQuoting(11, big, 548, 2048);
    ASSERT_EQ(padIcmpQuote(r.data(), 576, 1280, big.data(), big.size()), 1280u);
    EXPECT_EQ(get16(&r[2]), 1280u);
    EXPECT_EQ(get16(&r[30]), 1480u) << "the quoted header still says what was sent";
    EXPECT_EQ(internetChecksum(&r[20], 1260), 0);

    // Other packets stay as they are.
    std::vector<unsigned char> echo = icmpError(0, 0, 20, 100);
    const std::vector<unsigned char> before = echo;
    EXPECT_EQ(padIcmpQuote(echo.data(), echo.size(), 1500, nullptr, 0), before.size());
    EXPECT_EQ(echo, before);
}

TEST(LinkEmuWholeQuote, MemoryFindsTheQuotedDatagram)
{
    DatagramMemory memory(3, 1500);
    const std::vector<unsigned char> a = udpProbe(1000, 1), b = udpProbe(1000, 2), c = udpProbe(600, 3);
    memory.remember(a.data(), a.size());
    memory.remember(b.data(), b.size());
    memory.remember(c.data(), c.size());

    // The node quotes what it received: TTL and header checksum may differ from the copy.
    std::vector<unsigned char> quote(b.begin(), b.begin() + 548);
    quote[8] = 0;
    put16(&quote[10], 0x1111);
    const std::vector<unsigned char> *found = memory.find(quote.data(), quote.size());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, b);

    std::vector<unsigned char> payloadDiffers(b.begin(), b.begin() + 548);
    payloadDiffers[500] ^= 1;
    EXPECT_EQ(memory.find(payloadDiffers.data(), payloadDiffers.size()), nullptr);
    std::vector<unsigned char> otherId(b.begin(), b.begin() + 28);
    put16(&otherId[4], 99);
    EXPECT_EQ(memory.find(otherId.data(), otherId.size()), nullptr);
    EXPECT_EQ(memory.find(b.data(), 19), nullptr) << "less than a header";

    // Same header and first bytes twice: the most recent copy answers. The oldest is
    // forgotten once more datagrams than entries came by.
    std::vector<unsigned char> b2 = b;
    b2[999] ^= 0xFF;
    memory.remember(b2.data(), b2.size());
    found = memory.find(b.data(), 548);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ((*found)[999], b2[999]);
    EXPECT_EQ(memory.find(a.data(), 548), nullptr);
}

namespace {

// fd77:0:0:LINK::END, the lab's IPv6 address of one end of a link.
std::vector<unsigned char> labAddress6(int link, int end)
{
    std::vector<unsigned char> a(16, 0);
    a[0] = 0xfd;
    a[1] = 0x77;
    a[7] = static_cast<unsigned char>(link);
    a[15] = static_cast<unsigned char>(end);
    return a;
}

// Writes a 40-byte IPv6 header at p.
void putIpv6Header(unsigned char *p, size_t payloadLength, int nextHeader, int hopLimit,
                   const std::vector<unsigned char> &source, const std::vector<unsigned char> &destination)
{
    std::fill(p, p + 40, 0);
    p[0] = 0x60;
    p[2] = 0x4e;  // a flow label, kept as it is
    put16(&p[4], static_cast<unsigned>(payloadLength));
    p[6] = static_cast<unsigned char>(nextHeader);
    p[7] = static_cast<unsigned char>(hopLimit);
    std::copy(source.begin(), source.end(), p + 8);
    std::copy(destination.begin(), destination.end(), p + 24);
}

// A UDP probe of total bytes over IPv6 with a recognisable payload, as it reached the
// node with hop limit 1.
std::vector<unsigned char> udp6Probe(size_t total, unsigned tag)
{
    std::vector<unsigned char> d(total);
    putIpv6Header(d.data(), total - 40, 17, 1, labAddress6(1, 1), labAddress6(3, 2));
    put16(&d[40], 40000);
    put16(&d[42], 33434 + tag);
    put16(&d[44], static_cast<unsigned>(total - 40));
    for (size_t i = 48; i < total; ++i)
        d[i] = static_cast<unsigned char>(i * 7 + tag);
    return d;
}

// An ICMPv6 error of type from fd77:0:0:2::2 quoting the first quoteBytes of datagram, in
// a buffer of capacity bytes (0xEE past the message), with its checksum.
std::vector<unsigned char> error6Quoting(int type, const std::vector<unsigned char> &datagram, size_t quoteBytes,
                                         size_t capacity)
{
    std::vector<unsigned char> p(capacity, 0xEE);
    const size_t len = 48 + quoteBytes;
    putIpv6Header(p.data(), len - 40, 58, 64, labAddress6(2, 2), labAddress6(1, 1));
    std::fill(p.begin() + 40, p.begin() + 48, 0);
    p[40] = static_cast<unsigned char>(type);
    if (type == 2)
        put16(&p[46], 1280);  // packet too big: the next hop's MTU
    std::memcpy(&p[48], datagram.data(), quoteBytes);
    put16(&p[42], icmpv6Checksum(p.data(), len));
    return p;
}

}  // namespace

TEST(LinkEmuChecksum, Icmpv6OverThePseudoHeader)
{
    // An echo reply as Linux sent it, fd77:0:0:2::2 to fd77:0:0:1::1, 5 bytes of data: an
    // odd-length message whose checksum the kernel wrote.
    const unsigned char reply[53] = {
        0x60, 0x0b, 0x85, 0xe2, 0x00, 0x0d, 0x3a, 0x3f, 0xfd, 0x77, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0x02,
        0xfd, 0x77, 0,    0,    0,    0,    0,    0x01, 0,    0,    0,    0, 0, 0, 0, 0x01, 0x81, 0x00, 0x23, 0xba,
        0x35, 0xec, 0x00, 0x00, 0x00, 0x07, 0x0e, 0x15, 0x1c};
    EXPECT_EQ(icmpv6Checksum(reply, sizeof reply), 0) << "a correct message sums to 0";
    unsigned char blank[53];
    std::memcpy(blank, reply, sizeof blank);
    blank[42] = blank[43] = 0;
    EXPECT_EQ(icmpv6Checksum(blank, sizeof blank), 0x23ba);
    blank[8] ^= 1;  // the source address counts
    EXPECT_NE(icmpv6Checksum(blank, sizeof blank), 0x23ba);
}

TEST(LinkEmuIpv6Errors, InspectGivesVersionTypeSenderAndQuote)
{
    const std::vector<unsigned char> probe = udp6Probe(1000, 1);
    const std::vector<unsigned char> exceeded = error6Quoting(3, probe, 1000, 1048);
    IcmpError e = inspectIcmpError(exceeded.data(), exceeded.size());
    EXPECT_EQ(e.version, 6);
    EXPECT_EQ(e.type, 3);
    EXPECT_TRUE(e.timeExceeded);
    EXPECT_EQ(std::vector<unsigned char>(e.source6, e.source6 + 16), labAddress6(2, 2));
    EXPECT_EQ(e.quoteStart, 48u);
    for (int type : {1, 2}) {
        e = inspectIcmpError(error6Quoting(type, probe, 1000, 1048).data(), 1048);
        EXPECT_EQ(e.type, type);
        EXPECT_FALSE(e.timeExceeded) << type;
    }
    // IPv4: time exceeded is type 11; the quote follows a 20-byte header.
    e = inspectIcmpError(errorQuoting(11, udpProbe(1000, 7), 548, 576).data(), 576);
    EXPECT_EQ(e.version, 4);
    EXPECT_TRUE(e.timeExceeded);
    EXPECT_EQ(e.quoteStart, 28u);
    EXPECT_FALSE(inspectIcmpError(errorQuoting(3, udpProbe(1000, 7), 548, 576).data(), 576).timeExceeded);
}

TEST(LinkEmuIpv6Errors, TrimsToTheHeaderPlusEightAndFixesTheChecksum)
{
    const std::vector<unsigned char> probe = udp6Probe(1400, 2);
    for (int type : {1, 2, 3}) {
        for (size_t quoted : {size_t{1232}, size_t{49}}) {  // Linux's, and one byte too many
            std::vector<unsigned char> p = error6Quoting(type, probe, quoted, 48 + quoted);
            const std::vector<unsigned char> before = p;
            const size_t len = trimIcmpQuote(p.data(), p.size());
            ASSERT_EQ(len, 96u) << type << "/" << quoted;
            EXPECT_EQ(get16(&p[4]), 56u) << "payload length";
            EXPECT_EQ(icmpv6Checksum(p.data(), len), 0) << type;
            for (size_t i = 0; i < len; ++i) {
                if (i != 4 && i != 5 && i != 42 && i != 43) {
                    EXPECT_EQ(p[i], before[i]) << "byte " << i;
                }
            }
            EXPECT_EQ(trimIcmpQuote(p.data(), len), len) << "already short";
        }
    }
}

TEST(LinkEmuIpv6Errors, LeavesOtherPacketsAlone)
{
    const std::vector<unsigned char> probe = udp6Probe(1000, 3);
    const std::vector<unsigned char> error = error6Quoting(3, probe, 1000, 1048);
    struct Case {
        const char *what;
        size_t at;  // the byte changed, and its new value
        unsigned char value;
    };
    const Case cases[] = {
        {"echo reply", 40, 129},
        {"parameter problem", 40, 4},
        {"an extension header before the message", 6, 0},
        {"payload length disagrees with the bytes read", 5, 0xe9},
        {"payload length 0 (a jumbogram)", 4, 0},
        {"the quote holds an IPv4 header", 48, 0x45},
    };
    for (const Case &c : cases) {
        std::vector<unsigned char> p = error;
        p[c.at] = c.value;
        if (c.at == 4)
            p[5] = 0;
        const std::vector<unsigned char> before = p;
        EXPECT_EQ(inspectIcmpError(p.data(), p.size()).type, -1) << c.what;
        EXPECT_EQ(trimIcmpQuote(p.data(), p.size()), p.size()) << c.what;
        EXPECT_EQ(padIcmpQuote(p.data(), p.size(), p.size(), nullptr, 0), p.size()) << c.what;
        EXPECT_EQ(p, before) << c.what;
    }
    // A quote shorter than the quoted header is no quote to rewrite.
    std::vector<unsigned char> stub = error6Quoting(3, probe, 39, 87);
    EXPECT_EQ(inspectIcmpError(stub.data(), stub.size()).type, -1);
}

TEST(LinkEmuIpv6Errors, TruncatedInputIsNeverReadPastItsEnd)
{
    // Every prefix of an IPv4 and an IPv6 error, with its length field saying the prefix's
    // length, in a buffer of exactly that size (the sanitizer build catches a read beyond).
    struct Case {
        std::vector<unsigned char> message;
        size_t lengthAt, lengthBias, smallest, trimmed;
    };
    const Case cases[] = {
        {error6Quoting(3, udp6Probe(300, 4), 300, 348), 4, 40, 88, 96},
        {errorQuoting(11, udpProbe(300, 4), 300, 328), 2, 0, 48, 56},
    };
    for (const Case &c : cases) {
        for (size_t n = 0; n <= c.message.size(); ++n) {
            std::vector<unsigned char> p(c.message.begin(), c.message.begin() + n);
            if (n >= c.lengthAt + 2 && n >= c.lengthBias)
                put16(&p[c.lengthAt], static_cast<unsigned>(n - c.lengthBias));
            const bool whole = n >= c.smallest;
            EXPECT_EQ(inspectIcmpError(p.data(), n).type != -1, whole) << n;
            EXPECT_EQ(padIcmpQuote(p.data(), n, n, nullptr, 0), n) << n;
            EXPECT_EQ(trimIcmpQuote(p.data(), n), whole && n > c.trimmed ? c.trimmed : n) << n;
        }
    }
}

TEST(LinkEmuWholeQuote, CompletesIpv6QuotesFromTheDatagramSent)
{
    const std::vector<unsigned char> probe = udp6Probe(1400, 5);
    std::vector<unsigned char> p = error6Quoting(3, probe, 1232, 2048);  // Linux: 1280 bytes in all
    const size_t len = padIcmpQuote(p.data(), 1280, 1500, probe.data(), probe.size());
    ASSERT_EQ(len, 1448u);
    EXPECT_EQ(get16(&p[4]), 1408u);
    EXPECT_EQ(icmpv6Checksum(p.data(), len), 0);
    EXPECT_TRUE(std::equal(probe.begin(), probe.end(), p.begin() + 48)) << "the quote is the whole probe";
    EXPECT_EQ(p[1448], 0xEE) << "nothing written past the new end";
    EXPECT_EQ(padIcmpQuote(p.data(), len, 1500, probe.data(), probe.size()), len) << "already whole";

    // Held to the link's MTU; completed with zeros where the datagram is not known.
    std::vector<unsigned char> q = error6Quoting(1, probe, 48, 2048);
    ASSERT_EQ(padIcmpQuote(q.data(), 96, 1300, nullptr, 0), 1300u);
    EXPECT_EQ(get16(&q[4]), 1260u);
    EXPECT_TRUE(std::equal(probe.begin(), probe.begin() + 48, q.begin() + 48));
    EXPECT_TRUE(std::all_of(q.begin() + 96, q.begin() + 1300, [](unsigned char b) { return b == 0; }));
    EXPECT_EQ(icmpv6Checksum(q.data(), 1300), 0);
}

TEST(LinkEmuWholeQuote, MemoryMatchesIpv6ByItsOwnRules)
{
    DatagramMemory memory(4, 1500);
    const std::vector<unsigned char> a = udp6Probe(1400, 6), v4 = udpProbe(1000, 6);
    memory.remember(a.data(), a.size());
    memory.remember(v4.data(), v4.size());
    // Neither another version nor a stub shorter than its header takes an entry.
    std::vector<unsigned char> other = a;
    other[0] = 0x50;
    memory.remember(other.data(), other.size());
    memory.remember(a.data(), 39);
    memory.remember(a.data(), 0);
    memory.remember(v4.data(), v4.size());
    memory.remember(v4.data(), v4.size());

    std::vector<unsigned char> quote(a.begin(), a.begin() + 1232);
    quote[7] = 0;  // the hop limit may differ
    const std::vector<unsigned char> *found = memory.find(quote.data(), quote.size());
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, a);
    // Bytes 8, 10 and 11, which may differ in IPv4, are the source address in IPv6.
    for (size_t at : {size_t{8}, size_t{10}, size_t{11}, size_t{1231}}) {
        std::vector<unsigned char> changed = quote;
        changed[at] ^= 1;
        EXPECT_EQ(memory.find(changed.data(), changed.size()), nullptr) << "byte " << at;
    }
    EXPECT_EQ(memory.find(a.data(), 39), nullptr) << "less than a header";
    EXPECT_EQ(memory.find(other.data(), other.size()), nullptr) << "not IPv4 or IPv6";
    ASSERT_NE(memory.find(v4.data(), 548), nullptr);
    EXPECT_EQ(*memory.find(v4.data(), 548), v4);
}
