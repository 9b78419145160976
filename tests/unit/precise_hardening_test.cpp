// The accurate engine against a blind spoofer, very long runs, odd send stamps and a cold
// first probe, on the simulated path.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "sim_scenarios.h"

using namespace hoprate;

namespace {

const IpAddress host = SimulatedPath::hostFor(Family::V4);

// An ICMP error from `from` that quotes only the first 8 bytes of an echo request to
// `probeTo` (IP length quotedLength) with this checksum, identifier and sequence number.
std::vector<uint8_t> shortQuote(IpAddress from, IpAddress probeTo, uint8_t type, uint8_t code, int mtu,
                                int quotedLength, uint16_t checksum, uint16_t identifier, uint16_t sequence)
{
    std::vector<uint8_t> quoted = SimulatedPath::ipHeaderFor(host, probeTo, 1, 1, 8);
    quoted[2] = static_cast<uint8_t>(quoted.size() >> 8 | quotedLength >> 8);
    quoted[3] = static_cast<uint8_t>(quotedLength & 0xFF);
    const uint8_t echo[8] = {8, 0, static_cast<uint8_t>(checksum >> 8), static_cast<uint8_t>(checksum),
                             static_cast<uint8_t>(identifier >> 8), static_cast<uint8_t>(identifier),
                             static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence)};
    quoted.insert(quoted.end(), echo, echo + 8);
    std::vector<uint8_t> datagram = SimulatedPath::ipHeaderFor(from, host, 1, 60, 8 + quoted.size());
    const uint8_t error[8] = {type, code, 0, 0, 0, 0, static_cast<uint8_t>(mtu >> 8), static_cast<uint8_t>(mtu)};
    datagram.insert(datagram.end(), error, error + 8);
    datagram.insert(datagram.end(), quoted.begin(), quoted.end());
    return datagram;
}

TEST(PreciseHardening, BlindSpooferQuotingEightBytesMovesNoHopAndNoPathMtu)
{
    // A silent router at hop 2 leaves its TTL open to anyone who answers first.
    Scenario s = chain({10e6, 2e6, 5e6});
    s.nodes[1].silent = true;
    const PreciseResult plain = measure(s);
    ASSERT_EQ(plain.hops.size(), 3u);

    const FlowKeys keys{testSecrets().identifier, testSecrets().cookie};
    const uint16_t checksum = echoChecksum(keys, Family::V4);
    const IpAddress stranger = SimulatedPath::address(10, 66, 6, 6);
    const IpAddress target = s.nodes.back().address;
    // What a spoofer may know: the identifier (16 bits, sprayed in full by a real one),
    // the destination and the first sequence numbers; not the cookie, so not the checksum.
    // One more who knows the checksum too (he saw a probe) but not the probe's length.
    struct Spray {
        uint16_t checksum;
        int quotedLength;
    };
    for (const Spray spray : {Spray{static_cast<uint16_t>(checksum ^ 0x5A5A), 1500}, Spray{checksum, 1400}}) {
        SCOPED_TRACE(spray.checksum);
        SimulatedPath path(s.links, s.nodes, 3);
        for (int64_t t = 0; t < int64_t{8000000000}; t += 5000000) {
            for (uint16_t k = 0; k < 32; ++k) {
                const auto sequence = static_cast<uint16_t>(testSecrets().firstSequence + k);
                if (spray.checksum != checksum)
                    path.inject(path.clock + t, stranger,
                                shortQuote(stranger, target, 11, 0, 0, 64, spray.checksum, keys.identifier, sequence));
                path.inject(path.clock + t + 2500000, stranger,
                            shortQuote(stranger, target, 3, 4, 68, spray.quotedLength, spray.checksum, keys.identifier,
                                       sequence));
            }
        }
        PreciseEngine engine(path, defaults(), testSecrets(), testFlows());
        const PreciseResult r = engine.run(target);
        EXPECT_EQ(r.pathMtu, 1500);
        ASSERT_EQ(r.hops.size(), 3u);
        EXPECT_EQ(r.hops[1].method, HopMethod::Silent);
        EXPECT_FALSE(r.hops[1].address.has_value());
        EXPECT_EQ(r.hops[2].mergedFrom, 2);
        EXPECT_LT(std::fabs(error(r.hops[2], 1.0 / (1.0 / 2e6 + 1.0 / 5e6))), 0.002);
        EXPECT_LT(r.wallSeconds, 1.5 * plain.wallSeconds);
    }
}

TEST(PreciseHardening, RepliesWithOurMarksFromAnotherAddressOrAboutAnotherDestinationChangeNothing)
{
    // Echo replies and whole-quote time-exceeded messages that carry the run's identifier,
    // cookie and sequence numbers, but come from an address the probe did not go to, or
    // quote a probe that went elsewhere.
    const Scenario s = chain({10e6, 2e6, 5e6});
    const PreciseResult plain = measure(s);
    const FlowKeys keys{testSecrets().identifier, testSecrets().cookie};
    const IpAddress stranger = SimulatedPath::address(10, 66, 6, 6);
    SimulatedPath path(s.links, s.nodes, 3);
    for (int64_t t = 0; t < int64_t{5000000000}; t += 20000000) {
        for (uint16_t k = 0; k < 600; ++k) {
            const auto sequence = static_cast<uint16_t>(testSecrets().firstSequence + k);
            std::vector<uint8_t> echo = buildProbe(ProbeFlow{ProbeProtocol::Icmp, host, stranger, 0, keys}, sequence, 36);
            echo[0] = 0;
            std::vector<uint8_t> reply = SimulatedPath::ipHeaderFor(stranger, host, 1, 60, echo.size());
            reply.insert(reply.end(), echo.begin(), echo.end());
            path.inject(path.clock + t, stranger, reply);
            const std::vector<uint8_t> probe = buildProbe(ProbeFlow{ProbeProtocol::Icmp, host, stranger, 0, keys}, sequence, 36);
            std::vector<uint8_t> quoted = SimulatedPath::ipHeaderFor(host, stranger, 1, 1, probe.size());
            quoted.insert(quoted.end(), probe.begin(), probe.end());
            std::vector<uint8_t> error =
                SimulatedPath::ipHeaderFor(s.nodes[0].address, host, 1, 60, 8 + quoted.size());
            const uint8_t header[8] = {11, 0, 0, 0, 0, 0, 0, 0};
            error.insert(error.end(), header, header + 8);
            error.insert(error.end(), quoted.begin(), quoted.end());
            path.inject(path.clock + t + 10000000, s.nodes[0].address, error);
        }
    }
    const PreciseResult r = PreciseEngine(path, defaults(), testSecrets(), testFlows()).run(s.nodes.back().address);
    ASSERT_EQ(r.hops.size(), plain.hops.size());
    EXPECT_EQ(r.probesSent, plain.probesSent);
    for (size_t i = 0; i < plain.hops.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r.hops[i].capacity.bitsPerSecond, plain.hops[i].capacity.bitsPerSecond);
        EXPECT_EQ(r.hops[i].replies, plain.hops[i].replies);
        EXPECT_TRUE(r.hops[i].others.empty());
    }
}

TEST(PreciseHardening, TwoRunsDrawDifferentSecrets)
{
    const ProbeSecrets a = drawProbeSecrets();
    const ProbeSecrets b = drawProbeSecrets();
    // 64 random bits alike twice: one chance in 2^64.
    EXPECT_FALSE(a.identifier == b.identifier && a.cookie == b.cookie && a.firstSequence == b.firstSequence);
}

TEST(PreciseHardening, AHundredThousandProbesWithLossesCreditEveryReplyToItsOwnProbe)
{
    // One fast hop of 10 us that drops 4 of every 500 echo replies: more probes than
    // sequence numbers, with lost ones among them.
    Scenario s = chain({1e9});
    s.links[0].delay = 5000;
    s.nodes[0].dropEvery = 500;
    s.nodes[0].dropRun = 4;
    PreciseSettings settings = defaults();
    settings.gapFactor = 0;
    settings.budget = 100000;
    settings.target = 0.000001;
    const PreciseResult r = measure(s, settings);
    ASSERT_EQ(r.hops.size(), 1u);
    EXPECT_GT(r.probesSent, 70000);
    int64_t longest = 0;
    for (const ProbeRecord &p : r.probes)
        if (p.answered)
            longest = std::max(longest, p.rttNs);
    EXPECT_LT(longest, 1000000);  // a millisecond: every round trip is its own probe's
    EXPECT_FALSE(r.hops[0].hiddenDevice);
    EXPECT_LT(r.wallSeconds, 100.0);  // 0.2 ms apart at least, never paced by a bogus slope
}

TEST(PreciseHardening, LateKernelSendStampsStayOutOfTheFloors)
{
    // One send stamp in five taken up to 400 us after the packet left: those round trips look
    // short and would pull the floors down.
    const std::vector<double> rates = {10e6, 2e6, 5e6};
    const Scenario s = chain(rates);
    SimulatedPath path(s.links, s.nodes, 3);
    path.lateStampShare = 0.2;
    path.lateStampBy = 400000;
    const PreciseResult r = PreciseEngine(path, defaults(), testSecrets(), testFlows()).run(s.nodes.back().address);
    ASSERT_EQ(r.hops.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_LT(std::fabs(error(r.hops[i], rates[i])), 0.002);
        EXPECT_TRUE(covers(r.hops[i], rates[i]));
    }
}

TEST(PreciseHardening, StampsOfProbesSentAfterAnIdlePauseAreJudgedAmongTheirKind)
{
    // Rate-limited routers measured with TTL-limited probes: once paced, their probes go
    // out after long pauses, when the host's send stack wakes 80 us slower; their stamps
    // are as honest as any.
    const std::vector<double> rates = {10e6, 2e6, 5e6};
    Scenario s = chain(rates);
    for (SimNode &n : s.nodes)
        n.limit = 1.0;
    SimulatedPath path(s.links, s.nodes, 3);
    path.idleWake = 80000;
    PreciseSettings settings = defaults();
    settings.ttlLimited = true;
    settings.budget = 24;
    settings.probeSizes = 6;
    const PreciseResult r = PreciseEngine(path, settings, testSecrets(), testFlows()).run(s.nodes.back().address);
    ASSERT_EQ(r.hops.size(), 3u);
    EXPECT_TRUE(r.hops[0].rateLimited);
    EXPECT_TRUE(r.hops[1].rateLimited);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(r.hops[i].capacity.known);
        EXPECT_LT(std::fabs(error(r.hops[i], rates[i])), 0.05);
    }
}

TEST(PreciseHardening, ColdFirstProbeLeavesThePacingToThePath)
{
    // The first packet waits 3 ms for the neighbour's address: the path's time per byte
    // is not read from it, and a fast hop is not paced as if it were 1 Mbit/s.
    Scenario s = chain({100e6});
    s.links[0].delay = 50000;
    s.links[0].coldFirst = 3000000;
    const PreciseResult r = measure(s);
    ASSERT_EQ(r.hops.size(), 1u);
    EXPECT_LT(std::fabs(error(r.hops[0], 100e6)), 0.01);
    EXPECT_LT(r.wallSeconds, 1.0);
}

}  // namespace
