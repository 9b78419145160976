// The accurate engine on simulated paths: discovery, matching, the methods per hop,
// quoting, silent and rate-limited routers, the path MTU, foreign ICMP, and accuracy with
// honest intervals. Set HOPRATE_SIM_VERBOSE=1 to see every hop's figures.
#include "engine/precise_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim_scenarios.h"

using namespace hoprate;

namespace {

TEST(PreciseEngine, ThreeSlowLinksWithinATenthOfAPercentAndCovered)
{
    // The budget of each hop's own probes (the other direction's come beside them).
    PreciseSettings settings = defaults();
    settings.directions = false;
    const std::vector<double> rates = {10e6, 2e6, 5e6};
    const PreciseResult r = measure(chain(rates), settings);
    ASSERT_EQ(r.hops.size(), 3u);
    EXPECT_EQ(r.pathMtu, 1500);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        const HopResult &h = r.hops[i];
        EXPECT_EQ(h.method, i == 2 ? HopMethod::Destination : HopMethod::EchoRouter);
        ASSERT_TRUE(h.capacity.known);
        EXPECT_FALSE(h.capacity.lowerBound);
        EXPECT_LT(std::fabs(error(h, rates[i])), 0.001);
        EXPECT_TRUE(covers(h, rates[i]));
        EXPECT_LE(h.probes, 400);
    }
}

TEST(PreciseEngine, EveryIntervalHoldsItsSystematicTerms)
{
    // However many probes, a link's interval is never narrower than the host's timing
    // allows: 1.5 ns per byte and 0.1 % of the link's time per byte, at 90 %.
    const PreciseSettings settings = defaults();
    const PreciseResult r = measure(chain({10e6, 2e6, 5e6}), settings);
    for (const HopResult &h : r.hops) {
        SCOPED_TRACE(h.hop);
        ASSERT_TRUE(h.capacity.known);
        const double perByte = 8.0 / h.capacity.bitsPerSecond;
        const double systematic = std::hypot(settings.systematic, settings.relativeSystematic * perByte);
        EXPECT_GE(8.0 / h.capacity.low - perByte, 1.6448 * systematic);
        EXPECT_GE(perByte - 8.0 / h.capacity.high, 1.6448 * systematic);
    }
}

TEST(PreciseEngine, RateAndTtlLimitedAreObeyed)
{
    Scenario s = chain({10e6, 2e6, 5e6});
    PreciseSettings settings = defaults();
    settings.rate = 200;
    settings.ttlLimited = true;
    settings.budget = 64;
    const PreciseResult r = measure(s, settings);
    ASSERT_EQ(r.hops.size(), 3u);
    EXPECT_EQ(r.hops[0].method, HopMethod::TtlLimited);
    EXPECT_EQ(r.hops[1].method, HopMethod::TtlLimited);
    int64_t previous = 0;
    int measured = 0;
    for (const ProbeRecord &p : r.probes) {
        if (!p.measurement)
            continue;
        if (p.hop < 3) {
            EXPECT_EQ(p.to, s.nodes.back().address);  // toward the destination, TTL-limited
        }
        if (previous != 0 && p.pairFirst < 0) {
            EXPECT_GE(p.sentAt - previous, 5000000) << "probe " << measured;
        }
        previous = p.sentAt;
        ++measured;
    }
    EXPECT_GT(measured, 150);
}

TEST(PreciseEngine, SilentRouterMergesTheLinksAroundIt)
{
    Scenario s = chain({10e6, 2e6, 5e6});
    s.nodes[1].silent = true;
    const PreciseResult r = measure(s);
    ASSERT_EQ(r.hops.size(), 3u);
    EXPECT_EQ(r.hops[1].method, HopMethod::Silent);
    EXPECT_FALSE(r.hops[1].address.has_value());
    EXPECT_FALSE(r.hops[1].capacity.known);
    EXPECT_EQ(r.hops[2].mergedFrom, 2);
    const double series = 1.0 / (1.0 / 2e6 + 1.0 / 5e6);
    EXPECT_LT(std::fabs(error(r.hops[2], series)), 0.002);
    EXPECT_LT(std::fabs(error(r.hops[0], 10e6)), 0.002);
}

TEST(PreciseEngine, RoutersWithoutEchoRepliesAreMeasuredByTheirTimeExceededMessagesWhateverTheyQuote)
{
    Scenario s = chain({10e6, 2e6, 5e6});
    s.nodes[0].echo = false;
    s.nodes[0].quote = 28;
    s.nodes[1].echo = false;
    s.nodes[1].quote = 0;  // the whole probe
    const PreciseResult r = measure(s);
    ASSERT_EQ(r.hops.size(), 3u);
    const double rates[] = {10e6, 2e6, 5e6};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(r.hops[i].method, i == 2 ? HopMethod::Destination : HopMethod::TtlLimited);
        EXPECT_LT(std::fabs(error(r.hops[i], rates[i])), 0.002);
    }
}

TEST(PreciseEngine, RateLimitedRouterIsPacedToItsRate)
{
    Scenario s = chain({10e6, 2e6, 5e6});
    s.nodes[1].echo = false;
    s.nodes[1].limit = 1.0;  // Linux's own: a burst of 6, then one per second
    PreciseSettings settings = defaults();
    settings.budget = 64;
    const PreciseResult r = measure(s, settings);
    const HopResult &hop = r.hops[1];
    EXPECT_TRUE(hop.rateLimited);
    EXPECT_EQ(hop.method, HopMethod::TtlLimited);
    // Once paced, nearly every probe is answered.
    int late = 0, lateAnswered = 0;
    int64_t previous = 0;
    for (const ProbeRecord &p : r.probes) {
        if (p.hop != 2 || !p.measurement)
            continue;
        if (previous != 0 && p.sentAt - previous > 900000000) {
            ++late;
            lateAnswered += p.answered ? 1 : 0;
        }
        previous = p.sentAt;
    }
    EXPECT_GE(late, 10);
    EXPECT_GE(lateAnswered, late * 9 / 10);
    // From the detection on, the probes keep the router's pace: the burst of 6 it answered
    // at once says nothing of its rate.
    std::vector<int64_t> gaps;
    previous = 0;
    for (const ProbeRecord &p : r.probes) {
        if (p.hop != 2 || !p.measurement)
            continue;
        if (previous != 0)
            gaps.push_back(p.sentAt - previous);
        previous = p.sentAt;
    }
    const auto paced = std::find_if(gaps.begin(), gaps.end(), [](int64_t g) { return g > 200000000; });
    ASSERT_NE(paced, gaps.end());
    for (auto g = paced; g != gaps.end(); ++g)
        EXPECT_GE(*g, 900000000) << "gap " << (g - gaps.begin());
    EXPECT_TRUE(hop.capacity.known);
    EXPECT_LT(std::fabs(error(r.hops[2], 5e6)), 0.01);
}

// The wake messages of a run: 8-byte echo replies to the destination, each 1 to 10 ms
// before the next probe and at least 1 ms after the last, and one in every pause between
// measurement probes long enough to hold one.
void checkWakes(const SimulatedPath &path, const PreciseResult &r, const IpAddress &destination)
{
    std::vector<int64_t> wakes, probes;
    for (const FakeNetwork::Sent &sent : path.sent) {
        const bool wake = sent.icmp && sent.bytes == std::vector<uint8_t>{0, 0, 0xFF, 0xFF, 0, 0, 0, 0};
        if (wake) {
            EXPECT_EQ(sent.to.address, destination);
        }
        (wake ? wakes : probes).push_back(sent.at);
    }
    EXPECT_GE(wakes.size(), 100u);
    for (const int64_t w : wakes) {
        const auto next = std::lower_bound(probes.begin(), probes.end(), w);
        ASSERT_NE(next, probes.end());
        EXPECT_GE(*next - w, 1000000);
        EXPECT_LE(*next - w, 10000000);
        if (next != probes.begin()) {
            EXPECT_GE(w - *(next - 1), 1000000);
        }
    }
    for (size_t i = 1; i < r.probes.size(); ++i) {
        const ProbeRecord &a = r.probes[i - 1], &b = r.probes[i];
        if (a.measurement && b.measurement && b.sentAt - a.sentAt > 12000000) {
            const auto w = std::lower_bound(wakes.begin(), wakes.end(), a.sentAt);
            EXPECT_TRUE(w != wakes.end() && *w < b.sentAt) << "pause before probe " << i;
        }
    }
}

TEST(PreciseEngine, APathIdleBeforeAProbeIsWokenAheadOfIt)
{
    // The first link's far end is slow after an idle moment. Paced: no node answers echo
    // and every one limits its errors, each probe a second after the last of its hop.
    // Slow way back: a 1 Mbit/s return makes pauses of 20 ms after large probes.
    for (const bool paced : {true, false}) {
        SCOPED_TRACE(paced ? "paced" : "slow way back");
        const std::vector<double> rates =
            paced ? std::vector<double>{10e6, 2e6, 5e6} : std::vector<double>{20e6, 10e6, 5e6};
        Scenario s = chain(rates);
        for (SimNode &n : s.nodes) {
            n.echo = !paced;
            n.limit = paced ? 1.0 : 0.0;
        }
        if (!paced)
            s.links[1].backRate = 1e6;
        s.links[0].drowsy = 600000;
        PreciseSettings settings = defaults();
        if (paced)
            settings.budget = 64;
        SimulatedPath path(s.links, s.nodes, 3);
        path.keepSends = true;
        PreciseEngine engine(path, settings, testSecrets(), testFlows(Family::V4));
        const PreciseResult r = engine.run(s.nodes.back().address);
        checkWakes(path, r, s.nodes.back().address);
        for (size_t i = 0; i < rates.size(); ++i)
            EXPECT_LT(std::fabs(error(r.hops[i], rates[i])), 0.01) << "link " << i + 1;
    }
}

TEST(PreciseEngine, PathMtuComesFromFragmentationNeeded)
{
    Scenario s = chain({10e6, 2e6, 5e6});
    s.links[1].mtu = 1000;
    const PreciseResult r = measure(s);
    EXPECT_EQ(r.pathMtu, 1000);
    int largest = 0;
    for (const ProbeRecord &p : r.probes)
        if (p.measurement)
            largest = std::max(largest, p.size);
    EXPECT_EQ(largest, 1000);
    EXPECT_LT(std::fabs(error(r.hops[1], 2e6)), 0.002);
}

TEST(PreciseEngine, ForeignIcmpNeverChangesAResult)
{
    const Scenario s = chain({10e6, 2e6, 5e6});
    SimulatedPath quiet(s.links, s.nodes, 3);
    const PreciseResult plain = PreciseEngine(quiet, defaults(), testSecrets(), testFlows()).run(s.nodes.back().address);

    // The same run while another ping, another prober and garbage arrive all along.
    SimulatedPath busy(s.links, s.nodes, 3);
    const IpAddress router = s.nodes[0].address;
    for (int i = 0; i < 4000; ++i) {
        const int64_t at = busy.clock + int64_t{1000000} * i;
        std::vector<uint8_t> ping = SimulatedPath::ipHeaderFor(router, SimulatedPath::hostFor(Family::V4), 1, 64, 64);
        const std::vector<uint8_t> echo = {0, 0, 0, 0, 0x12, 0x34, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
        ping.insert(ping.end(), echo.begin(), echo.end());
        ping.resize(84, 0);
        busy.inject(at, router, ping);
        std::vector<uint8_t> garbage(static_cast<size_t>(i % 60), static_cast<uint8_t>(i));
        busy.inject(at + 500000, router, garbage);
    }
    const PreciseResult noisy = PreciseEngine(busy, defaults(), testSecrets(), testFlows()).run(s.nodes.back().address);
    ASSERT_EQ(noisy.hops.size(), plain.hops.size());
    EXPECT_EQ(noisy.probesSent, plain.probesSent);
    for (size_t i = 0; i < plain.hops.size(); ++i) {
        EXPECT_EQ(noisy.hops[i].capacity.bitsPerSecond, plain.hops[i].capacity.bitsPerSecond);
        EXPECT_EQ(noisy.hops[i].replies, plain.hops[i].replies);
    }
}

TEST(PreciseEngine, LoadBalancedHopKeepsItsSecondRouterApart)
{
    Scenario s = chain({10e6, 2e6, 5e6});
    s.nodes[1].echo = false;
    s.nodes[1].alternate = SimulatedPath::address(10, 88, 2, 2);
    const PreciseResult r = measure(s);
    const HopResult &hop = r.hops[1];
    ASSERT_FALSE(hop.others.empty());
    EXPECT_EQ(hop.others.front().first, SimulatedPath::address(10, 88, 2, 2));
    EXPECT_GT(hop.others.front().second, 10);
    EXPECT_LT(std::fabs(error(r.hops[2], 5e6)), 0.003);
}

TEST(PreciseEngine, LinkTooFastToResolveIsOnlyALowerBound)
{
    const PreciseResult r = measure(chain({10e6, 100e9, 5e6}));
    const HopResult &fast = r.hops[1];
    ASSERT_TRUE(fast.capacity.known);
    EXPECT_TRUE(fast.capacity.lowerBound);
    EXPECT_LE(fast.capacity.bitsPerSecond, 100e9);
    EXPECT_GT(fast.capacity.bitsPerSecond, 50e6);
    EXPECT_LT(std::fabs(error(r.hops[2], 5e6)), 0.002);
}

TEST(PreciseEngine, NothingAnswersWithinTheHopLimitIsAnError)
{
    Scenario s = chain({10e6, 2e6});
    s.nodes[0].silent = true;
    s.nodes[1].echo = s.nodes[1].udp = s.nodes[1].tcp = false;
    PreciseSettings settings = defaults();
    settings.maxHops = 4;
    SimulatedPath path(s.links, s.nodes, 3);
    PreciseEngine engine(path, settings, testSecrets(), testFlows());
    try {
        engine.run(s.nodes.back().address);
        FAIL() << "no error";
    } catch (const PreciseError &e) {
        EXPECT_STREQ(e.what(), "no answer from 10.77.2.2 or a router before it within 4 hops");
    }
}

TEST(PreciseEngine, ASignalEndsTheRunWithWhatItHasOrBeforeMeasuringWithItsOwnError)
{
    const std::vector<double> rates = {10e6, 2e6, 5e6};
    const Scenario s = chain(rates);
    const PreciseResult whole = measure(s);
    EXPECT_TRUE(whole.complete);
    {
        SimulatedPath path(s.links, s.nodes, 3);
        path.stopAfterSends = whole.probesSent / 2;
        const PreciseResult r = PreciseEngine(path, defaults(), testSecrets(), testFlows()).run(s.nodes.back().address);
        EXPECT_FALSE(r.complete);
        EXPECT_LE(path.sends, whole.probesSent / 2 + 2);  // not one round more, no drain
        ASSERT_EQ(r.hops.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            SCOPED_TRACE(i);
            ASSERT_TRUE(r.hops[i].capacity.known);
            EXPECT_TRUE(covers(r.hops[i], rates[i]));
        }
    }
    SimulatedPath path(s.links, s.nodes, 3);
    path.stopAfterSends = 2;  // while finding the path
    PreciseEngine engine(path, defaults(), testSecrets(), testFlows());
    EXPECT_THROW(engine.run(s.nodes.back().address), PreciseInterrupted);
}

TEST(PreciseEngine, SendFailureEndsTheRunWithItsReason)
{
    const Scenario s = chain({10e6, 2e6});
    SimulatedPath path(s.links, s.nodes, 3);
    path.sendError = ENETUNREACH;
    PreciseEngine engine(path, defaults(), testSecrets(), testFlows());
    try {
        engine.run(s.nodes.back().address);
        FAIL() << "no error";
    } catch (const PreciseError &e) {
        EXPECT_STREQ(e.what(), "sending to 10.77.2.2: Network is unreachable");
    }
    EXPECT_EQ(path.sends, 1);
}

TEST(PreciseEngine, TenHopsAllWithinHalfAPercentWithTheProbesSharedWhereNeeded)
{
    const std::vector<double> rates = {10e6, 5e6, 20e6, 2e6, 10e6, 20e6, 5e6, 10e6, 2e6, 5e6};
    PreciseSettings settings = defaults();
    settings.directions = false;  // the budget of each hop's own probes
    const PreciseResult r = measure(chain(rates), settings);
    ASSERT_EQ(r.hops.size(), rates.size());
    const int budget = defaults().budget;
    int total = 0;
    std::vector<int> perHop;
    for (size_t i = 0; i < rates.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_LT(std::fabs(error(r.hops[i], rates[i])), 0.005);
        EXPECT_LE(r.hops[i].probes, 2 * budget + 12);  // a hop takes at most twice its own
        total += r.hops[i].probes;
        perHop.push_back(r.hops[i].probes);
    }
    EXPECT_LE(total, budget * 10 + 12 * 10);  // the path's total is the sum of the budgets
    std::sort(perHop.begin(), perHop.end());
    EXPECT_LE(perHop[5], budget + 12);
    // The ends of the fast links (20 Mbit/s after hops 2 and 5) got the most; the ends of
    // the 2 Mbit/s links, whose slopes differ most, the fewest.
    EXPECT_GT(r.hops[2].probes, 2 * r.hops[3].probes);
    EXPECT_GT(r.hops[5].probes, 2 * r.hops[8].probes);
}

TEST(PreciseEngine, HiddenStoreAndForwardDeviceIsFoundByPacketPairs)
{
    Scenario s = chain({10e6, 2e6, 5e6});
    s.links[1].hidden = 1;
    const PreciseResult r = measure(s);
    const HopResult &hop = r.hops[1];
    EXPECT_TRUE(hop.hiddenDevice);
    EXPECT_NEAR(hop.slopeBitsPerSecond, 1e6, 1e4);
    EXPECT_LT(std::fabs(error(hop, 2e6)), 0.01);
    ASSERT_TRUE(hop.returnCapacity);  // the way back crosses the same device
    EXPECT_EQ(hop.returnCapacity->bitsPerSecond, hop.capacity.bitsPerSecond);
    EXPECT_FALSE(r.hops[0].hiddenDevice);
    EXPECT_FALSE(r.hops[2].hiddenDevice);
}

}  // namespace

namespace {

// One link of a directions scenario: its rates each way and what its far node does.
struct DirectionsLink {
    double forward, back;
    bool echo = true;  // the far node answers echo
    int quote = -1;    // its errors' quote (0: all of it; -1: Linux's 576 bytes in all)
    int echoDetour = 0;
    double limit = 0;       // seconds per ICMP error (Linux's rate limit)
    int addressBeyond = 0;  // its address is reached over this many hops more
};

struct DirectionsCase {
    const char *name;
    std::vector<DirectionsLink> links;
    // Per link: 'S' both directions apart, 'A' apart and asymmetric, 'C' one figure for
    // both, 'P' apart with its echoes set aside (their way back differs), 'B' apart, its
    // address beyond its hop.
    const char *expected;
    bool insist = false;  // --directions insist
};

}  // namespace

TEST(PreciseEngine, BothDirectionsOfEveryLinkWhereTheRepliesTellThemApart)
{
    const std::vector<DirectionsCase> cases = {
        {"symmetric", {{10e6, 10e6}, {2e6, 2e6}, {5e6, 5e6}}, "SSS"},
        {"asymmetric middle link", {{20e6, 20e6}, {10e6, 1e6}, {5e6, 5e6}}, "SAS"},
        {"access link, fast way back", {{1e6, 16e6}, {20e6, 20e6}, {5e6, 5e6}}, "ASS"},
        {"no node answers echo", {{10e6, 10e6, false}, {10e6, 2e6, false}, {5e6, 5e6, false}}, "SAS"},
        {"a router quoting whole probes", {{10e6, 10e6}, {2e6, 2e6, true, 0}, {5e6, 5e6}}, "SCC"},
        {"echoes of a router come back another way", {{10e6, 10e6}, {2e6, 2e6, true, -1, 1}, {5e6, 5e6}}, "SPS"},
        {"errors rate-limited",
         {{20e6, 20e6, true, -1, 0, 1.0}, {10e6, 1e6, true, -1, 0, 1.0}, {5e6, 5e6, true, -1, 0, 1.0}},
         "SAS"},
        {"errors rate-limited, symmetric", {{10e6, 10e6, true, -1, 0, 1.0}, {2e6, 2e6, true, -1, 0, 1.0}}, "SS"},
        {"a router's address reached by a longer path",
         {{10e6, 10e6}, {2e6, 2e6, true, -1, 0, 0, 1}, {5e6, 5e6}},
         "SBS"},
        {"no echo, errors rate-limited", {{10e6, 10e6, false, -1, 0, 1.0}, {2e6, 2e6, false, -1, 0, 1.0}}, "CC"},
        {"no echo, errors rate-limited, insisted on",
         {{10e6, 10e6, false, -1, 0, 1.0}, {2e6, 2e6, false, -1, 0, 1.0}},
         "SS",
         true},
    };
    for (const DirectionsCase &c : cases) {
        SCOPED_TRACE(c.name);
        Scenario s = chain({});
        for (size_t j = 0; j < c.links.size(); ++j) {
            SimLink l;
            l.rate = c.links[j].forward;
            l.backRate = c.links[j].back;
            s.links.push_back(l);
            SimNode n;
            n.address = SimulatedPath::address(10, 77, static_cast<int>(j + 1), 2);
            n.echo = c.links[j].echo;
            n.quote = c.links[j].quote;
            n.echoDetour = c.links[j].echoDetour;
            n.limit = c.links[j].limit;
            n.addressBeyond = c.links[j].addressBeyond;
            s.nodes.push_back(n);
        }
        PreciseSettings settings = defaults();
        settings.insistDirections = c.insist;
        const PreciseResult r = measure(s, settings);
        ASSERT_EQ(r.hops.size(), c.links.size());
        // Once paced by a rate limit, the other kind's probes (beside echoes) go to two
        // sizes only.
        std::map<int, std::set<int>> pacedSizes;
        for (const ProbeRecord &p : c.links.front().echo ? r.probes : std::vector<ProbeRecord>{}) {
            const bool side = p.protocol == ProbeProtocol::Udp ||
                              (p.hop < static_cast<int>(c.links.size()) && p.to == s.nodes.back().address);
            if (p.measurement && side && p.sentAt - r.probes.front().sentAt > 30000000000LL)
                pacedSizes[p.hop].insert(p.size);
        }
        for (const auto &[hop, sizes] : pacedSizes)
            EXPECT_LE(sizes.size(), 2u) << "hop " << hop;
        for (size_t j = 0; j < c.links.size(); ++j) {
            SCOPED_TRACE(j + 1);
            const HopResult &h = r.hops[j];
            const char want = c.expected[j];
            const DirectionsLink &l = c.links[j];
            EXPECT_EQ(h.asymmetric, want == 'A');
            EXPECT_EQ(h.echoPathDiffers, want == 'P');
            EXPECT_EQ(h.addressBeyond, want == 'B');
            ASSERT_TRUE(h.capacity.known);
            if (want == 'C') {
                EXPECT_EQ(h.directions, LinkDirections::Combined);
                EXPECT_FALSE(h.returnCapacity);
                continue;
            }
            EXPECT_EQ(h.directions, LinkDirections::Separated);
            ASSERT_TRUE(h.returnCapacity);
            EXPECT_LT(std::fabs(error(h, l.forward)), 0.01);
            EXPECT_LT(std::fabs(h.returnCapacity->bitsPerSecond / l.back - 1), 0.02);
            EXPECT_TRUE(covers(h, l.forward));
            EXPECT_TRUE(h.returnCapacity->low <= l.back && l.back <= h.returnCapacity->high);
        }
    }
}
