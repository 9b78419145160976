// The classic engine on a scripted network: probe numbering and identifiers, the pause
// after every probe, the wait for each reply, time-outs, late and foreign replies, the
// UDP probes, and the order of the sweeps of a whole run.
#include "engine/classic_engine.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>

#include "datagrams.h"
#include "fake_network.h"
#include "run_in_child.h"
#include "net/resolve.h"
#include "wire/probe.h"

using namespace hoprate;

namespace {

Ipv4Address address(const char *text)
{
    in_addr a{};
    inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

// The reply a host or router sends for a probe, as it arrives: outer IP header included.
Bytes echoReplyTo(const FakeNetwork::Sent &probe)
{
    Bytes icmp = probe.bytes;
    icmp[0] = 0;
    return join({ipHeader(5, dottedQuad(probe.to.address.asV4()).c_str(), "10.0.0.2", 1), icmp});
}

Bytes errorAbout(const FakeNetwork::Sent &probe, const char *from, uint8_t type, uint8_t code)
{
    Bytes quoted = ipHeader(5, "10.0.0.2", dottedQuad(probe.to.address.asV4()).c_str(), probe.icmp ? 1 : 17);
    Bytes transport = probe.icmp ? probe.bytes : join({udpHeader(probe.to.port), probe.bytes});
    transport.resize(std::min<size_t>(transport.size(), 548 - 20));
    return join({ipHeader(5, from, "10.0.0.2", 1), icmpHeader(type, code, 0, 0), quoted, transport});
}

uint16_t sequenceOf(const FakeNetwork::Sent &probe)
{
    return static_cast<uint16_t>(probe.bytes[6] | probe.bytes[7] << 8);
}

class EngineTest : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/hoprate-engine.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        path = dir + "/rtt.txt";
    }
    void TearDown() override
    {
        std::remove(path.c_str());
        rmdir(dir.c_str());
    }

    ClassicEngine engine(SweepPlan plan, int pid = 4242)
    {
        return ClassicEngine(net, resolveHost, console, results, std::move(plan), pid, 1000000000);
    }

    // Every probe answered by the host it was sent to, after 1 ms + 2 us per byte.
    void answerEveryProbe()
    {
        net.onSend = [](FakeNetwork &n, const FakeNetwork::Sent &probe) {
            const auto size = static_cast<int64_t>(probe.bytes.size());
            n.deliver(n.clock + 1000000 + 2000 * size, probe.to.address.asV4(),
                      probe.icmp ? echoReplyTo(probe) : errorAbout(probe, dottedQuad(probe.to.address.asV4()).c_str(), 3, 3));
        };
    }

    FakeNetwork net;
    ClassicConsole console{false, 4242};
    std::string dir, path;
    ResultsFile results{"/nonexistent/rtt.txt"};
};

TEST_F(EngineTest, EchoSweepNumbersProbesPacesThemAndTimesEachReply)
{
    results = ResultsFile(path);
    answerEveryProbe();
    ClassicEngine classic = engine(SweepPlan{{100, 300}, 3, 0.5}, 70000);
    const Aim aim = aimProbes(net, resolveHost, "10.0.0.9", 5, SweepProtocol::Icmp);
    const Slope slope = classic.sweep(aim);

    ASSERT_EQ(net.sent.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        const FakeNetwork::Sent &probe = net.sent[i];
        SCOPED_TRACE(i);
        EXPECT_TRUE(probe.icmp);
        EXPECT_EQ(probe.bytes.size(), i < 3 ? 108u : 308u);
        EXPECT_EQ(probe.bytes[4], 0x11);  // 70000 = 0x11170: the low 16 bits, network order
        EXPECT_EQ(probe.bytes[5], 0x70);
        EXPECT_EQ(sequenceOf(probe), i);
        EXPECT_EQ(counterAt(probe.bytes.data() + 8), probe.at);  // the send time it carries
        EXPECT_EQ(probe.ttl, 5);
        EXPECT_EQ(probe.to.address.asV4(), address("10.0.0.9"));
        EXPECT_EQ(probe.to.port, 0);
    }
    // One wait of the full time-out per probe, and a 50 ms pause after each.
    EXPECT_EQ(net.waits, std::vector<int64_t>(6, 500000000));
    EXPECT_EQ(net.pauses, std::vector<int64_t>(6, 50000000));
    EXPECT_EQ(net.sent[1].at - net.sent[0].at, 1000000 + 2000 * 108 + 50000000);
    // 2 us per byte of echo message, which grows with the payload byte for byte.
    EXPECT_NEAR(slope.value, 2e-6, 1e-15);
    EXPECT_EQ(classic.probesSent(), 6);
    EXPECT_EQ(classic.timeouts(), 0);
    EXPECT_EQ(classic.lastResponder(), address("10.0.0.9"));
}

Bytes foreignEchoReplyTo(const FakeNetwork::Sent &probe)
{
    Bytes foreign = echoReplyTo(probe);
    foreign[24] ^= 0xFF;  // another identifier
    return foreign;
}

TEST_F(EngineTest, ForeignReplyKeepsTheProbesDeadlineAndALostProbeTimesOut)
{
    results = ResultsFile(path);
    net.onSend = [](FakeNetwork &n, const FakeNetwork::Sent &probe) {
        if (sequenceOf(probe) == 1) {
            n.deliver(n.clock + 300000000, probe.to.address.asV4(), foreignEchoReplyTo(probe));
            return;
        }
        n.deliver(n.clock + 1000000, probe.to.address.asV4(), echoReplyTo(probe));
    };
    ClassicEngine classic = engine(SweepPlan{{100}, 3, 0.5});
    const Aim aim = aimProbes(net, resolveHost, "10.0.0.9", 2, SweepProtocol::Icmp);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    classic.sweep(aim);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "seq 1 timed out\n");
    EXPECT_NE(out.find("icmp echo reply but"), std::string::npos);
    // Probe 1: a wait, the foreign reply after 0.3 s, then only the 0.2 s left.
    EXPECT_EQ(net.waits, (std::vector<int64_t>{500000000, 500000000, 200000000, 500000000}));
    EXPECT_EQ(net.sent[2].at - net.sent[1].at, 500000000 + 50000000);
    EXPECT_EQ(classic.timeouts(), 1);
}

TEST_F(EngineTest, SteadyForeignTrafficCannotHoldALostProbeBeyondItsTimeOut)
{
    results = ResultsFile(path);
    // Probe 0 gets no answer, only a foreign echo reply every 10 ms for 2 s; the others
    // are answered after 1 ms.
    net.onSend = [](FakeNetwork &n, const FakeNetwork::Sent &probe) {
        if (sequenceOf(probe) != 0) {
            n.deliver(n.clock + 1000000, probe.to.address.asV4(), echoReplyTo(probe));
            return;
        }
        for (int64_t k = 1; k <= 200; ++k)
            n.deliver(n.clock + k * 10000000, probe.to.address.asV4(), foreignEchoReplyTo(probe));
    };
    ClassicEngine classic = engine(SweepPlan{{100}, 2, 0.25});
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    classic.sweep(aimProbes(net, resolveHost, "10.0.0.9", 2, SweepProtocol::Icmp));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "seq 0 timed out\n");
    // Probe 0's waits shrink by the 10 ms between foreign replies, down to the one that
    // reads the reply due at its deadline; probe 1 is answered amid the stream.
    ASSERT_EQ(net.sent.size(), 2u);
    ASSERT_GE(net.waits.size(), 25u);
    for (size_t i = 0; i < 25; ++i)
        EXPECT_EQ(net.waits[i], 250000000 - static_cast<int64_t>(i) * 10000000) << i;
    EXPECT_EQ(net.sent[1].at - net.sent[0].at, 250000000 + 50000000);
    EXPECT_EQ(classic.timeouts(), 1);
}

TEST_F(EngineTest, InterruptedWaitResumesTowardTheSameDeadline)
{
    results = ResultsFile(path);
    net.onSend = [](FakeNetwork &n, const FakeNetwork::Sent &probe) {
        n.deliver(n.clock + 400000000, probe.to.address.asV4(), echoReplyTo(probe));
    };
    net.interruptions = {100000000, 150000000};
    ClassicEngine classic = engine(SweepPlan{{100}, 1, 0.5});
    testing::internal::CaptureStdout();
    classic.sweep(aimProbes(net, resolveHost, "10.0.0.9", 2, SweepProtocol::Icmp));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(net.waits, (std::vector<int64_t>{500000000, 400000000, 250000000}));
    EXPECT_EQ(classic.timeouts(), 0);

    // Cut short at the deadline itself: the probe has timed out.
    net.interruptions = {600000000};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    classic.sweep(aimProbes(net, resolveHost, "10.0.0.9", 2, SweepProtocol::Icmp));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "seq 1 timed out\n");
    EXPECT_EQ(net.waits.size(), 4u);
}

TEST_F(EngineTest, LateEchoReplyAnswersTheOutstandingProbeWithItsOwnTime)
{
    results = ResultsFile(path);
    net.onSend = [](FakeNetwork &n, const FakeNetwork::Sent &probe) {
        // Probe 0's reply comes after its time-out (0.5 s) and the pause, before probe 1.
        n.deliver(n.clock + (sequenceOf(probe) == 0 ? 520000000 : 1000000), probe.to.address.asV4(), echoReplyTo(probe));
    };
    ClassicEngine classic = engine(SweepPlan{{100}, 2, 0.5});
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    classic.sweep(aimProbes(net, resolveHost, "10.0.0.9", 2, SweepProtocol::Icmp));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "seq 0 timed out\n");
    EXPECT_EQ(out.substr(0, 25), "warning: expected seq=1, ");
    // It waits in the socket until probe 1's wait reads it, 0.55 s after probe 0 was sent,
    // and is timed from the send time it carries: probe 0's.
    const std::string block = [&] {
        FILE *f = std::fopen(path.c_str(), "r");
        char text[512] = "";
        std::fread(text, 1, sizeof text - 1, f);
        std::fclose(f);
        return std::string(text);
    }();
    EXPECT_EQ(block.substr(0, block.find('\n', 40)), "icmp to 10.0.0.9, ttl=2\nt_kernel_min:\t550.000000");
}

TEST_F(EngineTest, UdpProbesGoToPort20000AndCarryTheirSendTime)
{
    results = ResultsFile(path);
    answerEveryProbe();
    ClassicEngine classic = engine(SweepPlan{{200}, 2, 1.0});
    classic.sweep(aimProbes(net, resolveHost, "10.0.0.9", 4, SweepProtocol::Icmp));
    const Slope slope = classic.sweep(aimProbes(net, resolveHost, "10.0.0.9", 7, SweepProtocol::Udp));
    ASSERT_EQ(net.sent.size(), 4u);
    const FakeNetwork::Sent &udp = net.sent[2];
    EXPECT_FALSE(udp.icmp);
    EXPECT_EQ(udp.bytes.size(), 200u);
    EXPECT_EQ(udp.to.port, 20000);
    EXPECT_EQ(udp.ttl, 7);
    EXPECT_EQ(counterAt(udp.bytes.data()), udp.at);
    // Bytes 8 to 15 still hold the last echo probe's send time.
    EXPECT_EQ(counterAt(udp.bytes.data() + 8), net.sent[1].at);
    EXPECT_EQ(net.icmpTtl, 7);
    EXPECT_EQ(net.udpOpens, 1);
    EXPECT_EQ(classic.probesSent(), 4);
    EXPECT_EQ(classic.timeouts(), 0);
    EXPECT_TRUE(std::isnan(slope.value));  // one size: no line
}

TEST_F(EngineTest, SequenceFieldWrapsWhileTheProbeCountGoesOn)
{
    results = ResultsFile(path);
    answerEveryProbe();
    ClassicEngine classic = engine(SweepPlan{{8}, 65538, 1.0});
    classic.sweep(aimProbes(net, resolveHost, "10.0.0.9", 1, SweepProtocol::Icmp));
    ASSERT_EQ(net.sent.size(), 65538u);
    EXPECT_EQ(sequenceOf(net.sent[65535]), 0xFFFF);
    EXPECT_EQ(sequenceOf(net.sent[65536]), 0);
    EXPECT_EQ(sequenceOf(net.sent[65537]), 1);
    EXPECT_EQ(classic.probesSent(), 65538);
    EXPECT_EQ(classic.timeouts(), 0);  // the sequence check never refuses a reply
}

// Path: 10.0.1.1 (hop 1), 10.0.2.1 (hop 2), 10.0.3.1 (hop 3, the destination).
void answerLikeAThreeHopPath(FakeNetwork &n, const FakeNetwork::Sent &probe)
{
    const char *nodes[] = {"10.0.1.1", "10.0.2.1", "10.0.3.1"};
    int target = 0;
    for (int k = 0; k < 3; ++k)
        if (probe.to.address.asV4() == address(nodes[k]))
            target = k + 1;
    if (target == 0)
        return;
    const auto size = static_cast<int64_t>(probe.bytes.size());
    if (probe.ttl < target) {
        n.deliver(n.clock + probe.ttl * (1000000 + 1000 * size), address(nodes[probe.ttl - 1]),
                  errorAbout(probe, nodes[probe.ttl - 1], 11, 0));
    } else if (probe.icmp) {
        n.deliver(n.clock + target * (1000000 + 2000 * size), probe.to.address.asV4(), echoReplyTo(probe));
    } else {
        n.deliver(n.clock + target * (1000000 + 1000 * size), probe.to.address.asV4(), errorAbout(probe, nodes[2], 3, 3));
    }
}

TEST_F(EngineTest, RunMakesTwoSweepsPerHopInOrderAndPrintsALinePerHop)
{
    results = ResultsFile(path);
    net.onSend = answerLikeAThreeHopPath;
    ClassicEngine classic = engine(SweepPlan{{200, 600, 1000}, 1, 1.0});
    const Aim first = aimProbes(net, resolveHost, "10.0.3.1", 3, SweepProtocol::Icmp);
    testing::internal::CaptureStdout();
    classic.run("10.0.3.1", 3, first);
    const std::string out = testing::internal::GetCapturedStdout();

    ASSERT_EQ(net.sent.size(), 18u);
    const struct {
        bool icmp;
        int ttl;
        const char *to;
    } sweeps[] = {{true, 3, "10.0.3.1"}, {false, 3, "10.0.3.1"}, {true, 2, "10.0.3.1"},
                  {true, 2, "10.0.2.1"}, {true, 1, "10.0.3.1"}, {true, 1, "10.0.1.1"}};
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        const FakeNetwork::Sent &probe = net.sent[3 * i];
        EXPECT_EQ(probe.icmp, sweeps[i].icmp);
        EXPECT_EQ(probe.ttl, sweeps[i].ttl);
        EXPECT_EQ(probe.to.address.asV4(), address(sweeps[i].to));
    }
    EXPECT_EQ(net.udpOpens, 1);
    EXPECT_EQ(net.icmpOpens, 1);
    size_t lines = 0;
    for (size_t at = out.find("v_n = "); at != std::string::npos; at = out.find("v_n = ", at + 1))
        ++lines;
    EXPECT_EQ(lines, 3u);
}

TEST_F(EngineTest, RunWithoutAnyReplyHasNoRouterToAimAt)
{
    results = ResultsFile(path);
    const ChildResult r = runInChild([&] {
        ClassicEngine classic = engine(SweepPlan{{100}, 1, 0.25});
        classic.run("10.0.3.1", 2, aimProbes(net, resolveHost, "10.0.3.1", 2, SweepProtocol::Icmp));
    });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "seq 0 timed out\nseq 1 timed out\nseq 2 timed out\n"
                     "no reply from hop 1: no router address to probe\n\n");
}

TEST_F(EngineTest, RouterSweepIsAimedOnlyAtTheResponderOfTheSweepJustBefore)
{
    results = ResultsFile(path);
    // The destination (hop 2) answers both far sweeps; the router at hop 1 is silent.
    net.onSend = [](FakeNetwork &n, const FakeNetwork::Sent &probe) {
        if (probe.ttl >= 2)
            answerLikeAThreeHopPath(n, probe);
    };
    const ChildResult r = runInChild([&] {
        ClassicEngine classic = engine(SweepPlan{{100}, 2, 0.25});
        classic.run("10.0.2.1", 2, aimProbes(net, resolveHost, "10.0.2.1", 2, SweepProtocol::Icmp));
        std::printf("sent %zu\n", net.sent.size());
    });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "seq 4 timed out\nseq 5 timed out\nno reply from hop 1: no router address to probe\n\n");
    EXPECT_EQ(r.out.find("sent"), std::string::npos);
}

TEST_F(EngineTest, AimingFailuresEndTheRunWithTheirMessages)
{
    net.icmpOpenError = EPERM;
    ChildResult r = runInChild([&] { aimProbes(net, resolveHost, "10.0.0.9", 3, SweepProtocol::Icmp); });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "socket: icmp: errno 1\n");
    net.icmpOpenError = 0;
    r = runInChild([&] { aimProbes(net, resolveHost, "1.2.3.4.5", 3, SweepProtocol::Icmp); });
    EXPECT_EQ(r.err, "unknown host: 1.2.3.4.5\n\n");
    // A '/' would lead the results path out of data/: no look-up is made.
    r = runInChild([&] { aimProbes(net, resolveHost, "localhost/../../x", 3, SweepProtocol::Icmp); });
    EXPECT_EQ(r.err, "unknown host: localhost/../../x\n\n");
    const Aim named = aimProbes(net, resolveHost, "127.0.0.1", 3, SweepProtocol::Udp);
    EXPECT_EQ(named.name, "");
    EXPECT_EQ(named.addressText, "127.0.0.1");
    EXPECT_EQ(named.endpoint.port, 20000);
    EXPECT_EQ(net.udpTtl, 3);
    EXPECT_EQ(net.icmpTtl, 3);
}

}  // namespace
