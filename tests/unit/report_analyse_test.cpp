// hoprate-report --analyse: the probe log of a run on the simulated path, read back and
// analysed again, gives the run's own result (every kind of hop the engine measures), and
// logs cut short, malformed or beyond the limits are refused naming the file and line.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "accurate_reader.h"
#include "analyse.h"
#include "engine/reanalysis.h"
#include "output/precise_report.h"
#include "output/probe_log.h"
#include "results_reader.h"
#include "sim_scenarios.h"

namespace {

// The one log of the text.
ProbeLog readBack(const std::string &text, int probeLimit = maxLoggedProbes)
{
    TextLines lines(text);
    std::vector<ProbeLog> logs;
    readProbeLogs(
        lines, "probes.csv", [&](ProbeLog &&log) { logs.push_back(std::move(log)); }, probeLimit);
    EXPECT_EQ(logs.size(), 1u);
    return logs.empty() ? ProbeLog{} : std::move(logs.front());
}

// hoprate-report --analyse's output for the text.
std::string analysed(const std::string &text, bool json)
{
    TextLines lines(text);
    return formatAnalysedRuns(analyseProbeLogs(lines, "probes.csv"), json);
}

// Equal, NaN included: the same double or both not a number.
bool same(double a, double b)
{
    return a == b || (std::isnan(a) && std::isnan(b));
}

TEST(ReportAnalyse, ARunsLogGivesItsOwnResultAgain)
{
    struct Run {
        const char *what;
        Scenario scenario;
        PreciseSettings settings;
    };
    std::vector<Run> runs;
    runs.push_back({"echo routers, a hidden device that packet pairs show", chain({10e6, 2e6, 5e6}), defaults()});
    runs.back().scenario.links[1].hidden = 1;
    runs.push_back({"a silent router, a load-balanced one", chain({10e6, 2e6, 5e6, 20e6}), defaults(11)});
    runs.back().scenario.nodes[1].silent = true;
    runs.back().scenario.nodes[2].alternate = SimulatedPath::address(10, 88, 3, 2);
    runs.push_back({"no echo anywhere, every node rate-limited, UDP", chain({10e6, 2e6, 5e6}), defaults()});
    for (SimNode &n : runs.back().scenario.nodes) {
        n.echo = false;
        n.limit = 1.0;
    }
    runs.back().settings.budget = 48;
    runs.back().settings.probeSizes = 8;
    runs.push_back({"IPv6, TTL-limited routers, a 1280-byte link", chain({10e6, 2e6, 5e6}), defaults()});
    for (size_t j = 0; j < runs.back().scenario.nodes.size(); ++j)
        runs.back().scenario.nodes[j].address = SimulatedPath::address6(static_cast<int>(j + 1), 2);
    runs.back().scenario.nodes[0].echo = false;
    runs.back().scenario.nodes[0].quote = 48;
    runs.back().scenario.links[2].mtu = 1280;
    runs.push_back({"10 Mbit/s out and 1 back on link 2", chain({20e6, 10e6, 5e6}), defaults(4)});
    runs.back().scenario.links[1].backRate = 1e6;
    runs.push_back({"TCP to the destination, --first-hop 3", chain({10e6, 2e6, 5e6, 20e6}), defaults(5)});
    runs.back().scenario.nodes.back().echo = false;
    runs.back().scenario.nodes.back().udp = false;
    runs.back().settings.firstHop = 3;

    // All of them in one file, as a run toward several destinations writes them.
    std::string logs, tables, lines;
    for (const Run &run : runs) {
        SCOPED_TRACE(run.what);
        PreciseResult r = measure(run.scenario, run.settings);
        // What the program adds after the run: the start, and the hops' names.
        r.startedUnixMs = 1765262000123;
        r.hops.front().name = "router-1.example \xff\\";
        const std::string log = formatProbeLog(r, "dest.example", r.settings);
        const ProbeLog back = readBack(log);
        EXPECT_EQ(analysed(log, false), formatPreciseTable(r, "dest.example"));
        EXPECT_EQ(analysed(log, true), formatPreciseJson(r, "dest.example"));
        logs += log;
        tables += (tables.empty() ? "" : "\n") + formatPreciseTable(r, "dest.example");
        lines += formatPreciseJson(r, "dest.example", true);
        const PreciseResult again = reanalyse(back);
        // Its log is the same: the path, the settings and every probe came back whole.
        EXPECT_EQ(formatProbeLog(again, back.destination, back.settings), log);
        ASSERT_EQ(again.hops.size(), r.hops.size());
        for (size_t i = 0; i < r.hops.size(); ++i) {
            SCOPED_TRACE(r.hops[i].hop);
            const HopResult &a = again.hops[i], &b = r.hops[i];
            EXPECT_EQ(a.capacity.known, b.capacity.known);
            EXPECT_EQ(a.capacity.lowerBound, b.capacity.lowerBound);
            EXPECT_TRUE(same(a.capacity.bitsPerSecond, b.capacity.bitsPerSecond));
            EXPECT_TRUE(same(a.capacity.low, b.capacity.low));
            EXPECT_TRUE(same(a.capacity.high, b.capacity.high));
            EXPECT_TRUE(same(a.fit.slope, b.fit.slope));
            EXPECT_TRUE(same(a.fit.slopeStdev, b.fit.slopeStdev));
            EXPECT_TRUE(same(a.minRttMs, b.minRttMs));
            EXPECT_TRUE(same(a.pairBitsPerSecond, b.pairBitsPerSecond));
            EXPECT_EQ(a.others, b.others);
            EXPECT_EQ(a.name, b.name);
        }
    }
    EXPECT_EQ(analysed(logs, false), tables);
    EXPECT_EQ(analysed(logs, true), lines);
}

// A small log to break: two hops, a setup probe, a packet pair to hop 1.
std::string smallLog()
{
    PreciseResult r;
    r.destination = SimulatedPath::address(192, 0, 2, 80);
    r.source = SimulatedPath::address(192, 0, 2, 1);
    r.pathMtu = 1500;
    r.kernelStamps = true;
    r.probesSent = 3;
    r.wallSeconds = 1.5;
    const IpAddress router = SimulatedPath::address(10, 0, 1, 1);
    r.path = {{PathHop{1, HopMethod::EchoRouter, ProbeProtocol::Icmp, router, {{router, 2}}}, false, false},
              {PathHop{2, HopMethod::Destination, ProbeProtocol::Icmp, r.destination, {}}, false, false}};
    ProbeRecord setup;
    setup.to = r.destination;
    setup.ttl = 1;
    setup.size = 64;
    setup.measurement = false;
    setup.sentAt = 1000;
    setup.answered = true;
    setup.rttNs = 2'000'000;
    setup.arrivedAt = 2'001'000;
    setup.kind = ReplyKind::TimeExceeded;
    setup.replyLength = 92;
    setup.responder = router;
    ProbeRecord first = setup;
    first.hop = 1;
    first.to = router;
    first.size = 1500;
    first.measurement = true;
    first.sentKernel = first.sentAt + 5000;
    first.arrivedKernel = first.arrivedAt - 20000;
    first.kernelStamps = true;
    first.kind = ReplyKind::EchoReply;
    first.replyLength = 1500;
    ProbeRecord second = first;
    second.pairFirst = 1;
    second.arrivedKernel = *first.arrivedKernel + 1'200'000;
    r.probes = {setup, first, second};
    return formatProbeLog(r, "dest.example", PreciseSettings{});
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string firstLines(const std::string &text, int count)
{
    size_t at = 0;
    for (int i = 0; i < count && at != std::string::npos; ++i)
        at = text.find('\n', at) + 1;
    return text.substr(0, at);
}

TEST(ReportAnalyse, HostileLogsAreRefusedNamingFileAndLine)
{
    const std::string good = smallLog();
    // Lines: 1 title, 2 format, 3-13 the run, 14-38 the settings, 39-40 the hops, 41 the
    // column names, 42-44 the probes, 45 the end line.
    ASSERT_NO_THROW(readBack(good));
    // A log from before the two directions were told apart: one figure for both.
    EXPECT_FALSE(readBack(replaced(good, "# setting directions 1\n", "")).settings.directions);
    EXPECT_FALSE(readBack(replaced(good, "# setting insist_directions 0\n", "")).settings.insistDirections);
    EXPECT_TRUE(readBack(replaced(good, "# setting insist_directions 0\n", "# setting insist_directions 1\n"))
                    .settings.insistDirections);
    ASSERT_EQ(std::count(good.begin(), good.end(), '\n'), 45);
    std::string manyHops = firstLines(good, 38);
    for (int hop = 1; hop <= 256; ++hop)
        manyHops += "# hop " + std::to_string(hop) + " * silent icmp expects=- skipped=0 rate_limited=0 responders=-\n";

    const struct {
        const char *what;
        std::function<std::string()> log;
        std::string message;
        int probeLimit = maxLoggedProbes;
    } cases[] = {
        {"nothing", [] { return std::string(); }, "1: empty: not a probe log of hoprate --precise --save"},
        {"another file", [] { return std::string("hop,address\n"); },
         "1: not a probe log of hoprate --precise --save: its first line is not \"# hoprate --precise probe log: "
         "...\""},
        {"an earlier format", [&] { return firstLines(good, 1) + std::string(probeLogColumns) + "\n"; },
         "2: a probe log of an earlier hoprate, without the path and the settings: it cannot be analysed"},
        {"a later format", [&] { return replaced(good, "# format 2", "# format 3"); },
         "2: format \"3\": only format 2 is read"},
        {"cut in the header", [&] { return firstLines(good, 20); },
         "21: the log ends in its header, before the column names"},
        {"cut before the end line", [&] { return firstLines(good, 44); },
         "45: the log ends after 3 probes without its end line (\"# end: N probes\"): cut short"},
        {"cut inside a row", [&] { return firstLines(good, 43) + "2,measure,1,10.0.1.1,1,15"; },
         "44: a row of 6 fields, expected 24"},
        {"an end line that miscounts", [&] { return replaced(good, "# end: 3 probes", "# end: 4 probes"); },
         "45: the end line counts \"4 probes\", but the log has 3 probes"},
        {"a line after the end", [&] { return good + "# end: 3 probes\n"; }, "46: a line after the end line"},
        {"a letter in a number", [&] { return replaced(good, "# path_mtu 1500", "# path_mtu 15O0"); },
         "8: path_mtu: expected a whole number from 0 to 65535, found \"15O0\""},
        {"a wall time that is no number", [&] { return replaced(good, "# wall_s 1.5", "# wall_s nan"); },
         "11: wall_s: expected seconds from 0 to 1e9, found \"nan\""},
        {"a setting out of range",
         [&] { return replaced(good, "# setting quantile 0.10000000000000001", "# setting quantile 2"); },
         "18: setting quantile: expected a number from 0 to 1, found \"2\""},
        {"an unknown setting", [&] { return replaced(good, "# setting port 0", "# setting colour 0"); },
         "35: unknown setting \"colour\""},
        {"a setting missing", [&] { return replaced(good, "# setting seed 0\n", ""); },
         "40: the header lacks # setting seed"},
        {"a line given twice", [&] { return replaced(good, "# family ipv4\n", "# family ipv4\n# family ipv4\n"); },
         "6: # family given twice"},
        {"hops out of order", [&] { return replaced(good, "# hop 2 ", "# hop 3 "); },
         "40: hop \"3\" where hop 2 comes (the hops go 1, 2, 3, ...)"},
        {"a method the reply kinds contradict",
         [&] {
             return replaced(good, "echo-router icmp expects=echo-reply", "echo-router icmp expects=time-exceeded");
         },
         "39: hop 1: expects=time-exceeded, but echo-router with icmp probes expects echo-reply"},
        {"too many hops", [&] { return manyHops; }, "294: more than 255 hops"},
        {"a number in a row that is not whole", [&] { return replaced(good, ",2000000,", ",2e6,"); },
         "42: rtt_ns: expected a whole number from -1000000000000000 to 1000000000000000, found \"2e6\""},
        {"times that do not count from the first probe",
         [&] { return replaced(good, "0,setup,0,192.0.2.80,1,64,0,", "0,setup,0,192.0.2.80,1,64,7,"); },
         "42: sent_ns: expected 0 for the first probe, whose send the times count from, found \"7\""},
        {"a row of a hop beyond the path", [&] { return replaced(good, "1,measure,1,", "1,measure,9,"); },
         "43: probe 1 measures hop 9, beyond the path's 2 hops"},
        {"a pair's second not behind its first", [&] { return replaced(good, "icmp,0,1,0,", "icmp,0,0,0,"); },
         "44: pair_first: expected the probe before it, a measurement probe of the same hop, found \"0\""},
        {"an address of the other family",
         [&] { return replaced(good, "1,measure,1,10.0.1.1,", "1,measure,1,fd00::1,"); },
         "43: to: \"fd00::1\" is not of the destination's family"},
        {"a second log cut short", [&] { return good + firstLines(good, 20); },
         "66: the log ends in its header, before the column names"},
        {"a second log with a bad line", [&] { return good + replaced(good, "# path_mtu 1500", "# path_mtu -1"); },
         "53: path_mtu: expected a whole number from 0 to 65535, found \"-1\""},
        {"too many probes", [&] { return good; }, "44: more than 2 probes", 2},
        {"a line too long", [&] { return replaced(good, "# source ", "# source " + std::string(maxLineBytes, 'x')); },
         "6: line longer than 1048576 bytes"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        try {
            readBack(c.log(), c.probeLimit);
            ADD_FAILURE() << "accepted";
        } catch (const ReportError &e) {
            EXPECT_EQ(std::string(e.what()), "probes.csv:" + c.message);
        }
    }
}

TEST(ReportAnalyse, EveryPrefixIsRefusedAndNoEditCrashesTheAnalysis)
{
    const std::string good = smallLog();
    for (size_t cut = 0; cut + 1 < good.size(); ++cut)
        EXPECT_THROW(analysed(good.substr(0, cut), false), ReportError) << "prefix of " << cut << " bytes accepted";
    // Whatever an edit leaves, the log is refused with its line, or analysed.
    std::mt19937 random(20240611);
    const std::string alphabet = "0123456789.-,:* =#e\n\x7f\xff";
    for (int round = 0; round < 2000; ++round) {
        std::string text = good;
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits; ++e) {
            const size_t at = random() % text.size();
            const char c = alphabet[random() % alphabet.size()];
            if (random() % 2 == 0)
                text[at] = c;
            else
                text.insert(at, 1, c);
        }
        try {
            analysed(text, round % 2 == 0);
        } catch (const ReportError &e) {
            EXPECT_GE(e.line, 1) << e.what();
        }
    }
    // Without --analyse, a probe log is no results file.
    try {
        parseInput(good, "probes.csv", {600, 900, 1200});
        ADD_FAILURE() << "accepted";
    } catch (const ReportError &e) {
        EXPECT_EQ(std::string(e.what()),
                  "probes.csv:1: a probe log of hoprate --precise --save: read it with --analyse");
    }
}

}  // namespace
