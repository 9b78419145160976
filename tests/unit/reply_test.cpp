// Reply decoding on datagrams built byte by byte: every accepting kind, every rejection
// line, every fatal length check with its value, the sequence warning and the byte
// census, each with the exact text the console prints for it. Under AddressSanitizer
// the bytes of the receive buffer past the datagram's length are poisoned during each
// call, so any read past the received bytes fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if defined(__has_include)
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include "output/classic_console.h"
#include "support/clock.h"
#include "wire/probe.h"
#include "wire/reply.h"
#include "datagrams.h"
#include "run_in_child.h"

using namespace hoprate;

namespace {

constexpr const char *routerText = "192.0.2.1";      // outer source of every reply
constexpr const char *receivedFrom = "192.0.2.254";  // what the receive call reports
constexpr const char *localText = "10.0.0.2";
constexpr const char *targetText = "198.51.100.77";  // destAddr; no byte below 0x20
constexpr int ownIdentifier = 0x1234;
constexpr int64_t sendStampValue = 1000000;
constexpr int64_t arrivalValue = 1003250;   // 3.25 ms after sendStamp at 1 MHz
constexpr int64_t carriedCounter = 996000;  // 7.25 ms before the arrival

Bytes echoReply(int words, uint16_t identifier, uint16_t sequence, size_t extraBytes = 0)
{
    return join({ipHeader(words, routerText, localText, 1), icmpHeader(0, 0, identifier, sequence),
                 counterBytes(carriedCounter), Bytes(extraBytes, 'A')});
}

// Time exceeded quoting an echo probe; quoteBytes of the quoted ICMP message are kept.
Bytes icmpTimeExceeded(int outerWords, int quotedWords, uint16_t identifier, uint16_t sequence,
                       size_t quoteBytes = 16)
{
    const Bytes probe = join({icmpHeader(8, 0, identifier, sequence), counterBytes(sendStampValue)});
    return join({ipHeader(outerWords, routerText, localText, 1), icmpHeader(11, 0, 0, 0),
                 ipHeader(quotedWords, localText, targetText, 1), cut(probe, quoteBytes)});
}

constexpr uint16_t ownUdpPort = 40001;  // the run's UDP source port

// An ICMP error quoting a UDP datagram; quoteBytes of the quoted UDP datagram are kept.
Bytes udpError(uint8_t type, uint8_t code, const char *quotedDestination, uint16_t port, size_t quoteBytes = 8,
               int outerWords = 5, int quotedWords = 5, uint8_t quotedProtocol = 17,
               uint16_t sourcePort = ownUdpPort)
{
    const Bytes datagram = join({udpHeader(port, sourcePort), Bytes(100, 'A')});
    return join({ipHeader(outerWords, routerText, localText, 1), icmpHeader(type, code, 0, 0),
                 ipHeader(quotedWords, localText, quotedDestination, quotedProtocol), cut(datagram, quoteBytes)});
}

struct Outcome {
    int result;      // 1 accepted, 0 rejected
    double rtt;      // seconds, accepted only
    std::string out; // what the console printed
};

class ClassifyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        probe.identifier = ownIdentifier;
        probe.number = 4;  // the outstanding probe
        probe.sendStamp = sendStampValue;
        probe.udpPort = udpProbePort;
        probe.udpSourcePort = ownUdpPort;
        in_addr target{};
        inet_pton(AF_INET, targetText, &target);
        probe.destination = target.s_addr;
        buffer.assign(probeBufferSize, 0);
    }

    void load(const Bytes &datagram)
    {
        std::memcpy(buffer.data(), datagram.data(), datagram.size());
    }

    // Decodes the first len bytes of the buffer (whatever else it holds) as the classic
    // engine does, with the console printing what it prints for the result.
    Outcome classifyLoaded(int len, int64_t arrival = arrivalValue)
    {
        ASAN_POISON_MEMORY_REGION(buffer.data() + len, buffer.size() - static_cast<size_t>(len));
        probe.identifier = static_cast<uint16_t>(ownPid & 0xFFFF);
        const Reply reply = decodeReply({buffer.data(), static_cast<size_t>(len)}, probe);
        ASAN_UNPOISON_MEMORY_REGION(buffer.data(), buffer.size());
        EXPECT_NE(reply.verdict, ReplyVerdict::Fatal);
        ClassicConsole console(verbose, ownPid);
        Outcome outcome{0, 0.0, ""};
        testing::internal::CaptureStdout();
        if (reply.verdict == ReplyVerdict::Accepted) {
            outcome.result = 1;
            outcome.rtt = elapsedSeconds(arrival, reply.sentAt, 1000000);
            console.accepted(reply, probe.number, outcome.rtt);
        } else {
            console.rejected(reply);
        }
        std::fflush(stdout);
        outcome.out = testing::internal::GetCapturedStdout();
        return outcome;
    }

    Outcome classify(const Bytes &datagram, int64_t arrival = arrivalValue)
    {
        load(datagram);
        return classifyLoaded(static_cast<int>(datagram.size()), arrival);
    }

    // For datagrams that end the run: the child's exit status and both streams.
    ChildResult classifyFatalLoaded(int len)
    {
        return runInChild([&] {
            ASAN_POISON_MEMORY_REGION(buffer.data() + len, buffer.size() - static_cast<size_t>(len));
            const Reply reply = decodeReply({buffer.data(), static_cast<size_t>(len)}, probe);
            ASAN_UNPOISON_MEMORY_REGION(buffer.data(), buffer.size());
            if (reply.verdict == ReplyVerdict::Fatal)
                ClassicConsole(verbose, ownPid).fatalReply(reply);
        });
    }

    ChildResult classifyFatal(const Bytes &datagram)
    {
        load(datagram);
        return classifyFatalLoaded(static_cast<int>(datagram.size()));
    }

    void udpOutstanding() { probe.kind = OutstandingKind::Udp; }

    static void expectAccepted(const Outcome &outcome, double rtt)
    {
        EXPECT_EQ(outcome.result, 1);
        EXPECT_DOUBLE_EQ(outcome.rtt, rtt);
    }

    static void expectRejected(const Outcome &outcome, const std::string &line)
    {
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.out, line);
    }

    static void expectFatal(const ChildResult &child, const std::string &message)
    {
        EXPECT_EQ(child.exitStatus, 1);
        EXPECT_EQ(child.err, message);
        EXPECT_EQ(child.out, "");
    }

    OutstandingProbe probe;
    std::vector<uint8_t> buffer;
    bool verbose = false;
    int ownPid = ownIdentifier;
};

// --- echo replies ---

TEST_F(ClassifyTest, EchoReplyIsTimedFromTheCounterItCarries)
{
    const Outcome outcome = classify(echoReply(5, ownIdentifier, 4, 40));
    expectAccepted(outcome, 0.00725);
    EXPECT_EQ(outcome.out, "");
}

TEST_F(ClassifyTest, EchoReplyBehindSixtyByteHeaderPrintsIcmpLengthInVerboseMode)
{
    verbose = true;
    const Outcome outcome = classify(echoReply(15, ownIdentifier, 4, 84));
    expectAccepted(outcome, 0.00725);
    EXPECT_EQ(outcome.out, "100 bytes: seq=4, rtt=7.2500ms\n");
}

TEST_F(ClassifyTest, EchoReplyOfExactlySixteenIcmpBytesIsAccepted)
{
    verbose = true;
    const Outcome outcome = classify(echoReply(5, ownIdentifier, 4));
    expectAccepted(outcome, 0.00725);
    EXPECT_EQ(outcome.out, "16 bytes: seq=4, rtt=7.2500ms\n");
}

TEST_F(ClassifyTest, LateEchoReplyWarnsWithoutLineEndAndKeepsItsOwnTime)
{
    const Outcome quiet = classify(echoReply(5, ownIdentifier, 3));
    expectAccepted(quiet, 0.00725);
    EXPECT_EQ(quiet.out, "warning: expected seq=4, ");

    verbose = true;
    const Outcome loud = classify(echoReply(5, ownIdentifier, 3), arrivalValue + 1000);
    EXPECT_EQ(loud.result, 1);
    EXPECT_EQ(loud.out, "warning: expected seq=4, 16 bytes: seq=3, rtt=8.2500ms\n");
    EXPECT_DOUBLE_EQ(loud.rtt, 0.00825);
}

TEST_F(ClassifyTest, SequenceCheckComparesLowSixteenBitsButWarnsWithTheFullCount)
{
    probe.number = 65540;  // the outstanding probe carried sequence 4
    EXPECT_EQ(classify(echoReply(5, ownIdentifier, 4)).out, "");
    EXPECT_EQ(classify(echoReply(5, ownIdentifier, 5)).out, "warning: expected seq=65540, ");
    EXPECT_EQ(classify(icmpTimeExceeded(5, 5, ownIdentifier, 4)).out, "");
    EXPECT_EQ(classify(icmpTimeExceeded(5, 5, ownIdentifier, 65535)).out, "warning: expected seq=65540, ");
}

TEST_F(ClassifyTest, EchoReplyWithForeignIdentifierIsReportedEvenWhenShort)
{
    expectRejected(classify(echoReply(5, 0x1235, 4)), "icmp echo reply but 4661 is not my own pid 4660\n");
    // 8 to 15 ICMP bytes: the identifier check comes before the length check.
    expectRejected(classify(cut(echoReply(5, 0x1235, 4), 20 + 8)), "icmp echo reply but 4661 is not my own pid 4660\n");
    expectRejected(classify(cut(echoReply(5, 0x1235, 4), 20 + 15)), "icmp echo reply but 4661 is not my own pid 4660\n");
}

TEST_F(ClassifyTest, ProcessIdAboveSixteenBitsMatchesOnItsLowBitsAndPrintsInFull)
{
    ownPid = 70000;  // 0x11170
    expectRejected(classify(echoReply(5, ownIdentifier, 4)), "icmp echo reply but 4660 is not my own pid 70000\n");
    expectRejected(classify(icmpTimeExceeded(5, 5, 0x1171, 4)),
                   "icmp ttl exceeded for icmp, but 4465 is not my own pid 70000\n");
    expectAccepted(classify(echoReply(5, 0x1170, 4)), 0.00725);
}

// --- time exceeded ---

TEST_F(ClassifyTest, TimeExceededForEchoProbeIsTimedFromSendStamp)
{
    const Outcome quiet = classify(icmpTimeExceeded(5, 5, ownIdentifier, 4));
    expectAccepted(quiet, 0.00325);
    EXPECT_EQ(quiet.out, "");
}

TEST_F(ClassifyTest, TimeExceededVerboseLinesForHeaderLengthsTwentyAndSixty)
{
    verbose = true;
    // A router that quotes only the 8-byte ICMP header.
    EXPECT_EQ(classify(icmpTimeExceeded(5, 5, ownIdentifier, 4, 8)).out,
              "time exceeded from 192.0.2.1: 8 bytes: seq=4, rtt=3.2500ms\n");
    EXPECT_EQ(classify(icmpTimeExceeded(15, 15, ownIdentifier, 4)).out,
              "time exceeded from 192.0.2.1: 16 bytes: seq=4, rtt=3.2500ms\n");
    EXPECT_EQ(classify(icmpTimeExceeded(5, 15, ownIdentifier, 4, 12)).out,
              "time exceeded from 192.0.2.1: 12 bytes: seq=4, rtt=3.2500ms\n");
    EXPECT_EQ(classify(icmpTimeExceeded(15, 5, ownIdentifier, 3)).out,
              "warning: expected seq=4, time exceeded from 192.0.2.1: 16 bytes: seq=3, rtt=3.2500ms\n");
}

TEST_F(ClassifyTest, TimeExceededForForeignEchoIsReportedEvenWithSixByteQuote)
{
    expectRejected(classify(icmpTimeExceeded(5, 5, 0x1235, 4)),
                   "icmp ttl exceeded for icmp, but 4661 is not my own pid 4660\n");
    expectRejected(classify(icmpTimeExceeded(5, 15, 0x1235, 4, 6)),
                   "icmp ttl exceeded for icmp, but 4661 is not my own pid 4660\n");
}

TEST_F(ClassifyTest, TimeExceededForUdpProbeIsAcceptedWithOutstandingSequence)
{
    udpOutstanding();
    const Outcome quiet = classify(udpError(11, 0, targetText, 20000));
    expectAccepted(quiet, 0.00325);
    EXPECT_EQ(quiet.out, "");

    verbose = true;
    probe.number = 65536 + 9;
    EXPECT_EQ(classify(udpError(11, 0, targetText, 20000, 28, 15, 15)).out,
              "udp time exceeded from 192.0.2.1: 28 bytes: seq=9, rtt=3.2500ms\n");
}

TEST_F(ClassifyTest, TimeExceededForUdpToAnotherAddressSpeaksOnlyInVerboseMode)
{
    expectRejected(classify(udpError(11, 0, "203.0.113.9", 20000)), "");
    // Too short a quote about another address is not an error either.
    expectRejected(classify(udpError(11, 0, "203.0.113.9", 20000, 4, 5, 15)), "");
    verbose = true;
    expectRejected(classify(udpError(11, 0, "203.0.113.9", 20000)), "time exceeded from 192.0.2.1 for 203.0.113.9\n");
}

TEST_F(ClassifyTest, TimeExceededRejectionsForOtherPortAndOtherProtocol)
{
    expectRejected(classify(udpError(11, 0, targetText, 33434)), "time exceeded udp port: 33434\n");
    expectRejected(classify(udpError(11, 0, targetText, 20000, 8, 5, 5, 6)), "unknown time exceeded\n");
    expectRejected(classify(udpError(11, 0, targetText, 20000, 8, 5, 5, 0)), "unknown time exceeded\n");
}

// --- port unreachable and the byte census ---

// A port-unreachable reply whose bytes are all chosen: below 0x20 only the type and
// the code (3, 3), plus the payload bytes given.
Bytes censusReply(const Bytes &payload)
{
    Bytes outer = ipHeader(5, "198.51.100.200", "198.51.100.201", 0xAA);
    std::fill(outer.begin() + 1, outer.begin() + 12, 0xAA);
    Bytes quoted = ipHeader(5, "198.51.100.201", targetText, 0xAA);
    std::fill(quoted.begin() + 1, quoted.begin() + 12, 0xAA);
    const Bytes icmp = {3, 3, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
    const Bytes udp = {0x9C, 0x41, 0x4E, 0x20, 0xAA, 0xAA, 0xAA, 0xAA};  // from port 40001 to port 20000
    return join({outer, icmp, quoted, udp, payload});
}

TEST_F(ClassifyTest, PortUnreachableCensusCountsFlagAndControlBytes)
{
    udpOutstanding();
    verbose = true;
    // Two 0x7E, no 0x7D, three more control bytes (five with type and code); bytes of
    // 0x20 and above, 0x80 and 0xFF among them, fall in no count.
    const Outcome outcome = classify(censusReply({0x7E, 0x00, 0x80, 0x7E, 0x1F, 0xFF, 0x20, 0x7F, 0x01, 0x7C}));
    expectAccepted(outcome, 0.00325);
    EXPECT_EQ(outcome.out, "port unreachable: 18 bytes: seq=4, rtt=3.2500ms, #_7e=2, #_20=5\n");
}

TEST_F(ClassifyTest, PortUnreachableCensusPrintsEachCountOnlyWhenAboveZero)
{
    udpOutstanding();
    verbose = true;
    EXPECT_EQ(classify(censusReply({0x7D, 0x41, 0x7D})).out,
              "port unreachable: 11 bytes: seq=4, rtt=3.2500ms, #_7d=2, #_20=2\n");
    EXPECT_EQ(classify(censusReply({0x7D, 0x7E, 0x9F})).out,
              "port unreachable: 11 bytes: seq=4, rtt=3.2500ms, #_7e=1, #_7d=1, #_20=2\n");
}

TEST_F(ClassifyTest, PortUnreachableCensusStopsAtTheReceivedLength)
{
    udpOutstanding();
    verbose = true;
    // Stale bytes of an earlier, longer datagram lie behind the one received.
    load(censusReply({0x41, 0x7E, 0x7D, 0x00, 0x00}));
    const Outcome outcome = classifyLoaded(20 + 8 + 20 + 8 + 1);
    EXPECT_EQ(outcome.out, "port unreachable: 9 bytes: seq=4, rtt=3.2500ms, #_20=2\n");
}

TEST_F(ClassifyTest, PortUnreachableIsQuietOutsideVerboseModeAndIgnoresQuotedProtocol)
{
    udpOutstanding();
    const Outcome outcome = classify(udpError(3, 3, targetText, 20000, 8, 15, 15, 1));
    expectAccepted(outcome, 0.00325);
    EXPECT_EQ(outcome.out, "");
}

TEST_F(ClassifyTest, PortUnreachableRejectionsForOtherAddressAndOtherPort)
{
    expectRejected(classify(udpError(3, 3, "203.0.113.9", 20000)), "port unreachable from 192.0.2.1\n");
    expectRejected(classify(udpError(3, 3, "203.0.113.9", 20000, 0, 5, 15)), "port unreachable from 192.0.2.1\n");
    verbose = true;
    expectRejected(classify(udpError(3, 3, "203.0.113.9", 20000)), "port unreachable from 192.0.2.1\n");
    expectRejected(classify(udpError(3, 3, targetText, 53)), "udp port: 53\n");
}

// --- the kind of the outstanding probe and the run's UDP port ---

TEST_F(ClassifyTest, RepliesForTheOtherKindOfProbeAreRejected)
{
    // While an echo probe is outstanding: our UDP probes' messages are late ones, or
    // another process's that probes the same destination and port.
    expectRejected(classify(udpError(11, 0, targetText, 20000)),
                   "time exceeded for udp while an icmp probe is outstanding\n");
    expectRejected(classify(udpError(3, 3, targetText, 20000)), "port unreachable while an icmp probe is outstanding\n");
    // While a UDP probe is outstanding: our echo probes' answers are late ones.
    udpOutstanding();
    expectRejected(classify(echoReply(5, ownIdentifier, 4)), "icmp echo reply while a udp probe is outstanding\n");
    expectRejected(classify(icmpTimeExceeded(5, 5, ownIdentifier, 4)),
                   "icmp ttl exceeded for icmp while a udp probe is outstanding\n");
    // The earlier checks keep their lines whatever is outstanding.
    expectRejected(classify(echoReply(5, 0x1235, 4)), "icmp echo reply but 4661 is not my own pid 4660\n");
    expectRejected(classify(udpError(3, 3, targetText, 53)), "udp port: 53\n");
    probe.kind = OutstandingKind::Echo;
    expectRejected(classify(udpError(3, 3, "203.0.113.9", 20000)), "port unreachable from 192.0.2.1\n");
    expectRejected(classify(udpError(11, 0, targetText, 33434)), "time exceeded udp port: 33434\n");
}

TEST_F(ClassifyTest, UdpRepliesQuotingAnotherSourcePortAreRejected)
{
    udpOutstanding();
    expectRejected(classify(udpError(11, 0, targetText, 20000, 8, 5, 5, 17, 40002)),
                   "time exceeded udp source port: 40002\n");
    expectRejected(classify(udpError(3, 3, targetText, 20000, 8, 5, 5, 17, 33000)), "udp source port: 33000\n");
    verbose = true;
    expectRejected(classify(udpError(3, 3, targetText, 20000, 8, 5, 5, 17, 0)), "udp source port: 0\n");
    expectAccepted(classify(udpError(3, 3, targetText, 20000, 8, 5, 5, 17, ownUdpPort)), 0.00325);
}

TEST_F(ClassifyTest, LengthChecksEndTheRunWhateverKindOfProbeIsOutstanding)
{
    udpOutstanding();
    expectFatal(classifyFatal(cut(echoReply(5, ownIdentifier, 4), 35)), "icmplen (15) < 16\n\n");
    expectFatal(classifyFatal(icmpTimeExceeded(5, 15, ownIdentifier, 4, 7)), "icmplen2 (7) < 8\n\n");
    probe.kind = OutstandingKind::Echo;
    expectFatal(classifyFatal(udpError(3, 3, targetText, 20000, 7, 5, 15, 17, 40002)), "udplen2 (7) < 8\n\n");
}

// --- other messages ---

TEST_F(ClassifyTest, OwnEchoRequestAndUnhandledTypesAreReported)
{
    Bytes request = echoReply(5, ownIdentifier, 4);
    request[20] = 8;
    expectRejected(classify(request), "got my own echo request packet?!\n");
    // Short messages of these kinds are only reported: no length check applies to them.
    const Bytes kinds[] = {{11, 1}, {3, 1}, {3, 4}, {3, 13}, {5, 0}, {13, 0}, {12, 0}};
    for (const Bytes &kind : kinds) {
        SCOPED_TRACE(testing::Message() << "type " << int(kind[0]) << " code " << int(kind[1]));
        expectRejected(classify(join({ipHeader(5, routerText, localText, 1), icmpHeader(kind[0], kind[1], 0, 0)})),
                       "incoming ICMP packet not handled\n");
        verbose = true;
        expectRejected(classify(udpError(kind[0], kind[1], targetText, 20000)), "incoming ICMP packet not handled\n");
        verbose = false;
    }
}

// --- datagrams too short for their kind ---

TEST_F(ClassifyTest, DatagramWithoutRoomForAnIcmpHeaderEndsTheRun)
{
    expectFatal(classifyFatal(cut(echoReply(5, 0x1235, 4), 27)), "icmplen (7) < 8\n\n");
    expectFatal(classifyFatal(cut(udpError(11, 0, targetText, 20000, 8, 15), 67)), "icmplen (7) < 8\n\n");
    // The header length field claims more than was received.
    expectFatal(classifyFatal(cut(echoReply(15, ownIdentifier, 4), 40)), "icmplen (-20) < 8\n\n");
    // Nothing received: byte 0 is stale and gives no header length.
    load(echoReply(15, ownIdentifier, 4));
    expectFatal(classifyFatalLoaded(0), "icmplen (0) < 8\n\n");
}

TEST_F(ClassifyTest, OwnEchoReplyShorterThanSixteenIcmpBytesEndsTheRun)
{
    expectFatal(classifyFatal(cut(echoReply(5, ownIdentifier, 4), 35)), "icmplen (15) < 16\n\n");
    expectFatal(classifyFatal(cut(echoReply(15, ownIdentifier, 4), 68)), "icmplen (8) < 16\n\n");
    // A complete reply of an earlier datagram still lies in the buffer.
    load(echoReply(5, ownIdentifier, 4, 100));
    expectFatal(classifyFatalLoaded(35), "icmplen (15) < 16\n\n");
}

TEST_F(ClassifyTest, ErrorMessageShorterThanThirtySixIcmpBytesEndsTheRunWhoeverItConcerns)
{
    expectFatal(classifyFatal(cut(udpError(11, 0, "203.0.113.9", 20000), 20 + 35)), "icmplen (35) < 8 + 20 + 8)\n");
    expectFatal(classifyFatal(cut(icmpTimeExceeded(5, 5, 0x1235, 4), 20 + 35)), "icmplen (35) < 8 + 20 + 8)\n");
    expectFatal(classifyFatal(cut(udpError(3, 3, "203.0.113.9", 20000), 20 + 8)), "icmplen (8) < 8 + 20 + 8)\n");
    verbose = true;
    expectFatal(classifyFatal(cut(udpError(3, 3, targetText, 20000, 8, 15), 60 + 20)), "icmplen (20) < 8 + 20 + 8)\n");
}

TEST_F(ClassifyTest, ShortQuoteOfOwnEchoProbeEndsTheRunWithItsLength)
{
    expectFatal(classifyFatal(icmpTimeExceeded(5, 15, ownIdentifier, 4, 7)), "icmplen2 (7) < 8\n\n");
    expectFatal(classifyFatal(icmpTimeExceeded(5, 15, ownIdentifier, 4, 6)), "icmplen2 (6) < 8\n\n");
    // Too short to hold the quoted identifier: ends the run whoever sent the probe.
    expectFatal(classifyFatal(icmpTimeExceeded(5, 15, 0x1235, 4, 5)), "icmplen2 (5) < 8\n\n");
    // A quoted header length beyond the received bytes; stale bytes follow in the buffer.
    load(icmpTimeExceeded(15, 15, ownIdentifier, 4));
    expectFatal(classifyFatalLoaded(60 + 36), "icmplen2 (-32) < 8\n\n");
}

TEST_F(ClassifyTest, ShortQuoteOfUdpProbeToTheTargetEndsTheRunWithItsLength)
{
    expectFatal(classifyFatal(udpError(11, 0, targetText, 20000, 7, 5, 15)), "udplen2 (7) < 8\n\n");
    expectFatal(classifyFatal(udpError(3, 3, targetText, 20000, 0, 5, 15)), "udplen2 (0) < 8\n\n");
    load(udpError(3, 3, targetText, 20000, 8, 5, 15));
    expectFatal(classifyFatalLoaded(20 + 36), "udplen2 (-32) < 8\n\n");
    load(udpError(11, 0, targetText, 20000, 8, 15, 15));
    expectFatal(classifyFatalLoaded(60 + 40), "udplen2 (-28) < 8\n\n");
}

}  // namespace
