// The accurate engine beyond IPv4 echo, on the simulated path: destinations that ignore
// echo (measured with UDP to a closed port, then TCP SYN), paths where no node answers
// echo, each protocol asked for, IPv6 with its quoting rule, and --first-hop.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "sim_scenarios.h"

namespace {

// Links of the given rates, nodes fd77:0:0:j::2 at their far ends.
Scenario chain6(const std::vector<double> &rates)
{
    Scenario s = chain(rates);
    for (size_t j = 0; j < s.nodes.size(); ++j)
        s.nodes[j].address = SimulatedPath::address6(static_cast<int>(j + 1), 2);
    return s;
}

void expectWithin(const PreciseResult &r, const std::vector<double> &rates, double bound)
{
    ASSERT_EQ(r.hops.size(), rates.size());
    for (size_t i = 0; i < rates.size(); ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(r.hops[i].capacity.known);
        EXPECT_LT(std::fabs(error(r.hops[i], rates[i])), bound);
        EXPECT_TRUE(covers(r.hops[i], rates[i]));
    }
}

TEST(PreciseReach, EachKindOfDestinationIsMeasuredByWhatItAnswers)
{
    const std::vector<double> rates = {10e6, 2e6, 5e6};
    struct Case {
        std::string what;
        bool echo, udp, tcp;
        ProtocolChoice choice;
        bool reached;
        ProbeProtocol protocol;  // of the destination's hop
        bool open = false;       // its TCP port listens: SYN-ACKs, a half-open flow after each
    };
    const Case cases[] = {
        {"echo", true, true, true, ProtocolChoice::Auto, true, ProbeProtocol::Icmp},
        {"no echo: UDP to a closed port", false, true, true, ProtocolChoice::Auto, true, ProbeProtocol::Udp},
        {"no echo, no port unreachable: TCP SYN", false, false, true, ProtocolChoice::Auto, true, ProbeProtocol::Tcp},
        {"UDP asked for", true, true, true, ProtocolChoice::Udp, true, ProbeProtocol::Udp},
        {"TCP asked for", true, true, true, ProtocolChoice::Tcp, true, ProbeProtocol::Tcp},
        {"TCP to an open port", false, false, true, ProtocolChoice::Tcp, true, ProbeProtocol::Tcp, true},
        {"nothing answers: the routers are measured", false, false, false, ProtocolChoice::Auto, false,
         ProbeProtocol::Icmp},
        {"echo asked for, none given", false, true, true, ProtocolChoice::Icmp, false, ProbeProtocol::Icmp},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Scenario s = chain(rates);
        SimNode &destination = s.nodes.back();
        destination.echo = c.echo;
        destination.udp = c.udp;
        destination.tcp = c.tcp;
        if (c.open) {
            destination.tcpOpen = testFlows().tcpDestination;
            destination.halfOpen = 7000000;  // the SYN-ACK's way back and the reset's way there
        }
        PreciseSettings settings = defaults();
        settings.protocol = c.choice;
        settings.maxHops = 6;
        const PreciseResult r = measure(s, settings);
        EXPECT_EQ(r.destinationReached, c.reached);
        if (c.reached) {
            expectWithin(r, rates, 0.003);
            EXPECT_EQ(r.hops.back().method, HopMethod::Destination);
            EXPECT_EQ(r.hops.back().protocol, c.protocol);
            // Its own probes are all answered (a SYN sent while the flow is half-open
            // would not be), but the first few before it is known to answer with SYN-ACKs.
            int lost = 0;
            for (const ProbeRecord &p : r.probes)
                lost += p.measurement && p.hop == r.hops.back().hop && p.protocol == c.protocol && !p.answered;
            EXPECT_LE(lost, c.open ? 2 : 0);
        } else {
            expectWithin(r, {10e6, 2e6}, 0.003);
        }
    }
}

TEST(PreciseReach, NoNodeAnswersEchoAndEveryOneLimitsItsErrors)
{
    // Routers measured by their time-exceeded messages, the destination by its port
    // unreachable; all of them rate-limited as Linux does by default.
    const std::vector<double> rates = {10e6, 2e6, 5e6};
    Scenario s = chain(rates);
    for (SimNode &n : s.nodes) {
        n.echo = false;
        n.limit = 1.0;
    }
    PreciseSettings settings = defaults();
    settings.budget = 48;
    settings.probeSizes = 8;
    const PreciseResult r = measure(s, settings);
    ASSERT_EQ(r.hops.size(), 3u);
    EXPECT_EQ(r.hops[0].method, HopMethod::TtlLimited);
    EXPECT_EQ(r.hops[0].protocol, ProbeProtocol::Udp);  // the destination's flow, for the same path
    EXPECT_EQ(r.hops[2].protocol, ProbeProtocol::Udp);
    for (const HopResult &h : r.hops)
        EXPECT_TRUE(h.rateLimited) << h.hop;
    expectWithin(r, rates, 0.02);
    EXPECT_LT(r.wallSeconds, 180);
}

TEST(PreciseReach, Ipv6WithRoutersQuotingTheirWayAndAMinimumMtuLink)
{
    const std::vector<double> rates = {10e6, 2e6, 5e6};
    Scenario s = chain6(rates);
    s.nodes[0].echo = false;
    s.nodes[0].quote = 48;   // the IPv6 header and 8 bytes: only the checksum vouches
    s.nodes[1].echo = false; // Linux's 1232 bytes
    s.links[2].mtu = 1280;
    const PreciseResult r = measure(s);
    EXPECT_EQ(r.destination.family, Family::V6);
    EXPECT_EQ(r.pathMtu, 1280);
    EXPECT_EQ(r.hops[0].method, HopMethod::TtlLimited);
    EXPECT_EQ(r.hops[1].method, HopMethod::TtlLimited);
    expectWithin(r, rates, 0.003);
    for (const std::string text : {"fd77:0:0:1::2", "fd77:0:0:3::2"})
        EXPECT_NE(std::find_if(r.hops.begin(), r.hops.end(),
                               [&](const HopResult &h) { return h.address && addressText(*h.address) == text; }),
                  r.hops.end())
            << text;
}

TEST(PreciseReach, Ipv6DestinationIgnoringEchoIsMeasuredByUdpThenTcp)
{
    const std::vector<double> rates = {10e6, 2e6, 5e6};
    for (const bool udp : {true, false}) {
        SCOPED_TRACE(udp);
        Scenario s = chain6(rates);
        s.nodes.back().echo = false;
        s.nodes.back().udp = udp;
        const PreciseResult r = measure(s);
        EXPECT_EQ(r.hops.back().protocol, udp ? ProbeProtocol::Udp : ProbeProtocol::Tcp);
        expectWithin(r, rates, 0.003);
    }
}

TEST(PreciseReach, FirstHopReportsFromThereAndMeasuresTheHopBefore)
{
    const std::vector<double> rates = {10e6, 2e6, 5e6, 20e6};
    PreciseSettings settings = defaults();
    settings.firstHop = 3;
    const PreciseResult r = measure(chain(rates), settings);
    ASSERT_EQ(r.hops.size(), 2u);
    EXPECT_EQ(r.hops[0].hop, 3);
    EXPECT_LT(std::fabs(error(r.hops[0], 5e6)), 0.003);
    EXPECT_LT(std::fabs(error(r.hops[1], 20e6)), 0.003);
    // Hop 1 was not measured at all, hop 2 as the reference.
    int first = 0, second = 0;
    for (const ProbeRecord &p : r.probes) {
        first += p.measurement && p.hop == 1;
        second += p.measurement && p.hop == 2;
    }
    EXPECT_EQ(first, 0);
    EXPECT_GT(second, 100);

    settings.firstHop = 5;
    SimulatedPath path(chain(rates).links, chain(rates).nodes, 3);
    PreciseEngine engine(path, settings, testSecrets(), testFlows());
    try {
        engine.run(chain(rates).nodes.back().address);
        FAIL() << "no error";
    } catch (const PreciseError &e) {
        EXPECT_STREQ(e.what(), "the destination is 4 hops away: nothing from hop 5 on");
    }
}

}  // namespace
