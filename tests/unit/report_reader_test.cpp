// hoprate-report's reading side: results files written by the run's own writer are
// read back, mapped onto hops in the run's sweep order, and broken files are refused
// with the file and line named, never with a crash.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "measure/hop_rates.h"
#include "output/results_file.h"
#include "report_cli.h"
#include "report_output.h"
#include "results_reader.h"

using namespace hoprate;

namespace {

constexpr double noReply = -1.0;

struct BlockSpec {
    bool icmp;
    const char *target;
    int ttl;
    std::vector<double> minSeconds;  // one per size; noReply for a size without replies
    double slope, relErr, intercept, interceptRelErr;
    int timeouts;
};

// Writes the blocks with the run's own results writer and returns the file's text.
std::string writeRun(const std::vector<const char *> &sizeTexts, const std::vector<BlockSpec> &blocks)
{
    char path[] = "/tmp/hoprate-report.XXXXXX";
    const int fd = mkstemp(path);
    EXPECT_GE(fd, 0);
    close(fd);
    ResultsFile file(path);
    for (const BlockSpec &b : blocks) {
        SweepRecord record;
        record.icmp = b.icmp;
        record.targetText = b.target;
        record.ttl = b.ttl;
        for (size_t r = 0; r < sizeTexts.size(); ++r) {
            const double t = b.minSeconds[r];
            SizeSummary size;
            if (t != noReply) {
                size.minimumAt = 0;
                size.minimum = size.average = t;
                size.replies = 1;
            } else {
                size.minimum = size.average = std::nan("");
            }
            record.sizes.push_back(size);
        }
        record.fit = LineFit{b.slope, b.intercept, 0, 0, b.relErr, b.interceptRelErr};
        record.timeoutsSoFar = b.timeouts;
        file.append(record);
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path);
    return text.str();
}

// A two-hop run with three sizes: slopes chosen so that hop 2 reads 2 Mb/s and 4 Mb/s
// and hop 1 reads 2 Mb/s and 8 Mb/s.
const std::vector<const char *> threeSizes = {"600", "900", "1200"};
std::vector<BlockSpec> twoHopRun()
{
    return {
        {true, "10.0.0.9", 2, {0.0021, 0.0054, 0.0087}, 11e-6, 0.01, 3e-4, 0.02, 0},
        {false, "10.0.0.9", 2, {0.0052, 0.0076, 0.0100}, 8e-6, 0.02, 2e-4, 0.03, 0},
        {true, "10.0.0.9", 1, {0.0026, 0.0038, 0.0050}, 4e-6, 0.004, 2e-4, 0.01, 1},
        {true, "10.0.0.1", 1, {0.0019, 0.0034, noReply}, 5e-6, 0.05, 1e-4, 0.06, 3},
    };
}

RunReport reportOf(const std::string &text, const std::vector<int> &sizes)
{
    const auto sweeps = parseResults(text, "run.txt", static_cast<int>(sizes.size()));
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return buildReport(sweeps, sizes, "run.txt", lines);
}

// The refusal of a text, as "file:line: reason"; empty when it was accepted.
std::string refusalOf(const std::string &text, int sizeCount = 3)
{
    std::vector<int> sizes(static_cast<size_t>(sizeCount), 100);
    try {
        reportOf(text, sizes);
    } catch (const ReportError &e) {
        return e.what();
    }
    return "";
}

TEST(ReportReader, ReadsBackWhatTheRunWrote)
{
    const std::string text = writeRun(threeSizes, twoHopRun());
    const auto sweeps = parseResults(text, "run.txt", 3);
    ASSERT_EQ(sweeps.size(), 4u);
    EXPECT_EQ(sweeps[0].line, 1);
    EXPECT_EQ(sweeps[3].line, 31);
    EXPECT_EQ(sweeps[1].protocol, "udp");
    EXPECT_EQ(sweeps[3].target, "10.0.0.1");
    EXPECT_EQ(sweeps[2].ttl, 1);
    EXPECT_DOUBLE_EQ(sweeps[1].minRttMs[2], 10.0);
    EXPECT_EQ(sweeps[3].hasMin, (std::vector<bool>{true, true, false}));
    EXPECT_TRUE(std::isnan(sweeps[3].minRttMs[2]));
    EXPECT_TRUE(std::isnan(sweeps[3].avgRttMs[2]));
    EXPECT_DOUBLE_EQ(sweeps[3].avgRttMs[1], 3.4);
    EXPECT_DOUBLE_EQ(sweeps[0].slope, 11e-6);
    // The file keeps slope * relErr / 1.645 with seven significant digits.
    EXPECT_NEAR(sweeps[0].slopeStdev, 11e-6 * 0.01 / 1.645, 1e-14);
    EXPECT_NEAR(sweeps[2].interceptStdev, 2e-4 * 0.01 / 1.645, 1e-12);
    EXPECT_EQ(sweeps[3].timeouts, 3);
}

TEST(ReportReader, BlocksMapOntoHopsInTheRunsOrder)
{
    const RunReport report = reportOf(writeRun(threeSizes, twoHopRun()), {600, 900, 1200});
    EXPECT_EQ(report.hopCount, 2);
    EXPECT_EQ(report.destination, "10.0.0.9");
    ASSERT_EQ(report.hops.size(), 2u);
    EXPECT_EQ(report.kinds, (std::vector<SweepKind>{SweepKind::EchoToDestination, SweepKind::UdpToDestination,
                                                    SweepKind::EchoToDestination, SweepKind::EchoToRouter}));

    // Independently: v_n = 8 / (k2p - k1p), v_n' = 8 / ((k2 - k1) - (k2p - k1p)).
    const HopReport &far = report.hops[0];
    EXPECT_EQ(far.hop, 2);
    EXPECT_EQ(far.address, "10.0.0.9");
    EXPECT_NEAR(far.vN, 2e6, 1e-3);
    EXPECT_NEAR(far.vNp, 4e6, 1e-3);
    const HopReport &near = report.hops[1];
    EXPECT_EQ(near.hop, 1);
    EXPECT_EQ(near.address, "10.0.0.1");
    EXPECT_NEAR(near.vN, 2e6, 1e-3);
    EXPECT_NEAR(near.vNp, 8e6, 1e-3);
    // Hop 1: r_n = |k1p * a1p| / k1p with the file's stdev giving back a1p = 0.004.
    EXPECT_NEAR(near.rN, 0.004, 1e-9);
    EXPECT_EQ(rateText(near.vN, near.rN), "2.0000 +/- 0.0080 Mb/s");

    // The very arithmetic of the run, on the figures the file holds.
    const auto &s = report.sweeps;
    auto alpha = [](const SweepBlock &b) { return 1.645 * b.slopeStdev / b.slope; };
    const HopRates expected = computeHopRates(HopSlopes{{s[3].slope, alpha(s[3])},
                                                        {s[0].slope, alpha(s[0])},
                                                        {s[2].slope, alpha(s[2])},
                                                        {s[1].slope, alpha(s[1])}});
    EXPECT_EQ(far.vN, expected.vN);
    EXPECT_EQ(far.rN, expected.rN);
    EXPECT_EQ(far.vNp, expected.vNp);
    EXPECT_EQ(far.rNp, expected.rNp);
}

TEST(ReportReader, OneHopRunHasTwoSweeps)
{
    const std::vector<BlockSpec> run = {
        {true, "10.0.0.5", 1, {0.001, 0.002}, 5e-6, 0.01, 1e-4, 0.01, 0},
        {false, "10.0.0.5", 1, {0.001, 0.002}, 1e-6, 0.01, 1e-4, 0.01, 0},
    };
    const RunReport report = reportOf(writeRun({"100", "300"}, run), {100, 300});
    ASSERT_EQ(report.hops.size(), 1u);
    EXPECT_NEAR(report.hops[0].vN, 8e6, 1e-3);
    EXPECT_NEAR(report.hops[0].vNp, 2e6, 1e-3);
}

TEST(ReportReader, SizeWithoutRepliesAndNotANumberSlopesAreAccepted)
{
    std::vector<BlockSpec> run = twoHopRun();
    run[0].minSeconds = {noReply, noReply, noReply};
    run[0].slope = std::nan("");
    const RunReport report = reportOf(writeRun(threeSizes, run), {600, 900, 1200});
    EXPECT_TRUE(std::isnan(report.sweeps[0].slope));
    EXPECT_TRUE(std::isnan(report.hops[0].vNp));
    EXPECT_NEAR(report.hops[0].vN, 2e6, 1e-3);  // does not use the first sweep
    EXPECT_EQ(rateText(report.hops[0].vNp, report.hops[0].rNp), "nan +/- nan ub/s");
}

TEST(ReportReader, RefusesBrokenFilesNamingTheLine)
{
    const std::string good = writeRun(threeSizes, twoHopRun());
    auto replaced = [&](const std::string &from, const std::string &to) {
        std::string text = good;
        const size_t at = text.find(from);
        EXPECT_NE(at, std::string::npos) << from;
        return text.replace(at, from.size(), to);
    };
    auto withoutBlocksFrom = [&](int line) {
        size_t at = 0;
        for (int i = 1; i < line; ++i)
            at = good.find('\n', at) + 1;
        return good.substr(0, at);
    };
    const struct {
        std::string text;
        std::string refusal;
    } cases[] = {
        {"", "run.txt:1: empty file: no sweep block"},
        {"\n", "run.txt:1: expected a block header \"icmp to ...\" or \"udp to ...\", found \"\""},
        {replaced("icmp to 10.0.0.9, ttl=2", "tcp to 10.0.0.9, ttl=2"),
         "run.txt:1: expected a block header \"icmp to ...\" or \"udp to ...\", found \"tcp to 10.0.0.9, ttl=2\""},
        {replaced("icmp to 10.0.0.9, ttl=2", "icmp to 10.0.0.9 ttl=2"),
         "run.txt:1: block header without \", ttl=\": \"icmp to 10.0.0.9 ttl=2\""},
        {replaced("icmp to 10.0.0.9, ttl=2", "icmp to 10.0.0.9, ttl=two"),
         "run.txt:1: block header with a malformed ttl: \"icmp to 10.0.0.9, ttl=two\""},
        {replaced("t_app_min:\t2.100000\t5.400000\t8.700000", "t_app_min:\t2.100000\t5.400000"),
         "run.txt:3: \"t_app_min:\" row has 2 fields, expected 3 (one per probe size; give the run's sizes with -s)"},
        {replaced("t_app_avg:\t2.100000", "t_app_avg:\t2.1x0000"),
         "run.txt:6: \"t_app_avg:\" field 1 is not a number: \"2.1x0000\""},
        {replaced("t_kernel_avg:\t2.100000", "t_kernel_avg:\t"),
         "run.txt:5: \"t_kernel_avg:\" field 1 is not a number: \"\""},
        {replaced("t_overhead_min:", "t_overhead:"),
         "run.txt:4: expected the \"t_overhead_min:\" row, found \"t_overhead:\\t0.000000\\t0.000000\\t0.000000\""},
        {replaced("slope=1.100000e-05, stdev", "slope=1.100000e-05; stdev"),
         "run.txt:7: expected the \"slope=..., stdev=...\" line ending in ';', found "
         "\"slope=1.100000e-05; stdev=6.686930e-08;\""},
        {replaced("slope=1.100000e-05", "slope=1.1000O0e-05"), "run.txt:7: slope is not a number: \"1.1000O0e-05\""},
        {replaced("# of timeouts = 0\n\nudp", "# of timeouts = -1\n\nudp"),
         "run.txt:9: expected \"# of timeouts = N\", found \"# of timeouts = -1\""},
        {replaced("# of timeouts = 0\n\nudp", "# of timeouts = 0\nudp"),
         "run.txt:10: expected the empty line that ends the block, found \"udp to 10.0.0.9, ttl=2\""},
        {good.substr(0, good.size() - 1), "run.txt:40: file ends inside the block of line 31: expected the empty "
                                          "line that ends the block"},
        {good.substr(0, good.size() - 30), "run.txt:38: last line is cut short (no line end): expected the "
                                           "\"intercept=..., stdev=...\" line"},
        {withoutBlocksFrom(21), "run.txt:20: file ends after 2 of the 4 sweeps of a run with ttl=2 (run cut short?)"},
        {good + withoutBlocksFrom(11), "run.txt:41: sweep 5 is one too many: a run with ttl=2 makes 4 sweeps"},
        {replaced("udp to 10.0.0.9, ttl=2", "icmp to 10.0.0.9, ttl=2"),
         "run.txt:11: sweep 2 out of the run's order: expected udp to 10.0.0.9, ttl=2, found icmp to 10.0.0.9, ttl=2"},
        {replaced("icmp to 10.0.0.9, ttl=1", "icmp to 10.0.0.8, ttl=1"),
         "run.txt:21: sweep 3 out of the run's order: expected icmp to 10.0.0.9, ttl=1, found icmp to 10.0.0.8, ttl=1"},
        {replaced("icmp to 10.0.0.1, ttl=1", "icmp to 10.0.0.1, ttl=2"),
         "run.txt:31: sweep 4 out of the run's order: expected icmp to a router, ttl=1, found icmp to 10.0.0.1, ttl=2"},
        {withoutBlocksFrom(11), "run.txt:10: file ends after 1 of the 4 sweeps of a run with ttl=2 (run cut short?)"},
        {replaced("icmp to 10.0.0.9, ttl=2", "icmp to 10.0.0.9, ttl=0"),
         "run.txt:1: ttl=0 in the first sweep: a run of fewer than 1 hop has no rates"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(refusalOf(c.text), c.refusal);
    EXPECT_EQ(refusalOf(good), "");
    // The sizes the file was not written with.
    EXPECT_EQ(refusalOf(good, 7),
              "run.txt:2: \"t_kernel_min:\" row has 3 fields, expected 7 (one per probe size; give the run's sizes with -s)");
}

// Hostile files are refused at the first line past a limit, without holding more: no
// line beyond 1 MiB, no more blocks than a run of 255 hops writes.
TEST(ReportReader, LinesAndBlocksBeyondTheLimitsAreRefused)
{
    EXPECT_EQ(refusalOf(std::string(1048577, 'x') + "\n"), "run.txt:1: line longer than 1048576 bytes");
    EXPECT_EQ(refusalOf(std::string(1048577, 'x')), "run.txt:1: line longer than 1048576 bytes");
    EXPECT_EQ(refusalOf(std::string(1048576, 'x') + "\n"),
              "run.txt:1: expected a block header \"icmp to ...\" or \"udp to ...\", found \"" + std::string(60, 'x') +
                  "...\"");
    const std::string good = writeRun(threeSizes, twoHopRun());
    const std::string block = good.substr(0, good.find("udp to"));  // 10 lines
    std::string blocks;
    for (int i = 0; i < 510; ++i)
        blocks += block;
    EXPECT_EQ(parseResults(blocks, "run.txt", 3).size(), 510u);
    EXPECT_EQ(refusalOf(blocks + block),
              "run.txt:5101: more than 510 sweep blocks: a run of at most 255 hops makes no more");
    EXPECT_EQ(refusalOf(blocks + std::string(2000000, '\n')),
              "run.txt:5101: more than 510 sweep blocks: a run of at most 255 hops makes no more");
}

TEST(ReportReader, NamesInMessagesShowNoControlCharacters)
{
    EXPECT_EQ(std::string(ReportError("a\x1b]0;x\x07" "b\tc", 3, "why").what()), "a?]0;x?b\\tc:3: why");
    EXPECT_EQ(printable("10.0.0.9\x1b[2J\x9b\x7f"), "10.0.0.9?[2J??");
    std::string out, err;
    EXPECT_EQ(reportMain({"/nonexistent/\x1b[2J"}, out, err), 1);
    EXPECT_EQ(err, "hoprate-report: /nonexistent/?[2J: cannot open: No such file or directory\n");
    EXPECT_EQ(reportMain({"a\x1b", "b"}, out, err), 1);
    EXPECT_EQ(err.substr(0, err.find('\n')), "hoprate-report: more than one results file: a? and b");
}

// Every prefix of a good file, and thousands of seeded random edits of it, either read
// as a complete run or are refused with a ReportError naming a line of the text.
TEST(ReportReader, BrokenInputsAreRefusedNeverCrash)
{
    const std::string good = writeRun(threeSizes, twoHopRun());
    int goodLines = 0;
    for (char c : good)
        goodLines += c == '\n';
    auto check = [&](const std::string &text) {
        int lines = 1;
        for (char c : text)
            lines += c == '\n';
        try {
            reportOf(text, {600, 900, 1200});
            return true;
        } catch (const ReportError &e) {
            EXPECT_GE(e.line, 1) << e.what();
            EXPECT_LE(e.line, lines + 1) << e.what();
            EXPECT_EQ(e.file, "run.txt");
        }
        return false;
    };
    for (size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(check(good.substr(0, cut))) << "prefix of " << cut << " bytes accepted";
    EXPECT_TRUE(check(good));

    std::mt19937 random(20240607);
    const std::string alphabet = "0123456789.-+e\t\n ,;=naifx\x7f\xff";
    int accepted = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text = good;
        const int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            const size_t at = random() % text.size();
            const char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
            case 0: text[at] = c; break;
            case 1: text.insert(at, 1, c); break;
            default: text.erase(at, 1); break;
            }
        }
        accepted += check(text) ? 1 : 0;
    }
    // Edits inside numbers can leave a valid file; most edits must not.
    EXPECT_LT(accepted, 1500);
}

TEST(ReportSizes, ParsedLikeTheRunsSizeList)
{
    EXPECT_EQ(parseSizeList("600,900,1200"), (std::vector<int>{600, 900, 1200}));
    EXPECT_EQ(parseSizeList(",100,,200,"), (std::vector<int>{100, 200}));
    EXPECT_EQ(parseSizeList(" 300,0,14992"), (std::vector<int>{300, 0, 14992}));
    // What the run read from an entry: the number it begins with.
    EXPECT_EQ(parseSizeList("100x,1e3,-0"), (std::vector<int>{100, 1, 0}));
    for (const char *bad : {"", ",,,", "abc", "-5", "14993", "99999999999999999999"})
        EXPECT_THROW(parseSizeList(bad), std::invalid_argument) << bad;
}

TEST(ReportCommandLine, OptionsAndRefusals)
{
    const ReportOptions plain = parseReportArguments({"data/f.txt"});
    EXPECT_EQ(plain.format, ReportFormat::Table);
    EXPECT_EQ(plain.sizes, (std::vector<int>{254, 454, 654, 854, 1054, 1254, 1454}));
    EXPECT_EQ(plain.resultsFile, "data/f.txt");

    const ReportOptions all = parseReportArguments({"--svg", "p.svg", "-s", "1,2", "f", "--json"});
    EXPECT_EQ(all.format, ReportFormat::Json);
    EXPECT_EQ(all.svgFile, "p.svg");
    EXPECT_EQ(all.sizes, (std::vector<int>{1, 2}));
    EXPECT_EQ(parseReportArguments({"-s600,900", "--csv", "--", "-odd-name"}).resultsFile, "-odd-name");
    EXPECT_TRUE(parseReportArguments({"--help"}).help);
    EXPECT_TRUE(parseReportArguments({"--version"}).version);  // no results file needed
    const ReportOptions analyse = parseReportArguments({"--analyse", "p.csv", "--json"});
    EXPECT_EQ(analyse.probeLog, "p.csv");
    EXPECT_EQ(analyse.format, ReportFormat::Json);
    EXPECT_EQ(parseReportArguments({"--analyse=p.csv"}).probeLog, "p.csv");

    const struct {
        std::vector<std::string> args;
        std::string complaint;
    } refusals[] = {
        {{}, "no results file given"},
        {{"--json", "--csv", "f"}, "--json and --csv exclude each other"},
        {{"f", "g"}, "more than one results file: f and g"},
        {{"f", "--svg"}, "option --svg needs an argument"},
        {{"f", "-x"}, "unknown option -x"},
        {{"f", "-s", "0,abc"}, "illegal probe size \"abc\" (0 to 14992 bytes)"},
        {{"--analyse"}, "option --analyse needs an argument"},
        {{"--analyse="}, "--analyse needs a file name"},
        {{"--analyse", "p.csv", "f"}, "--analyse reads the probe log alone, not also f"},
        {{"--analyse", "p.csv", "--csv"}, "--analyse prints the table or --json, not --csv"},
        {{"--analyse=p.csv", "--svg", "p.svg"}, "--analyse draws no --svg"},
        {{"-s", "600", "--analyse", "p.csv"}, "-s is for results files of the classic mode, not --analyse"},
    };
    for (const auto &r : refusals) {
        try {
            parseReportArguments(r.args);
            ADD_FAILURE() << "accepted: " << r.complaint;
        } catch (const std::invalid_argument &e) {
            EXPECT_EQ(std::string(e.what()), r.complaint);
        }
    }
}

TEST(ReportCommandLine, ExitStatusAndMessages)
{
    std::string out, err;
    EXPECT_EQ(reportMain({"--help"}, out, err), 0);
    EXPECT_EQ(out.rfind("usage: hoprate-report [--json | --csv] [--svg FILE] [-s len1,len2...] RESULTS_FILE\n", 0), 0u);
    EXPECT_NE(out.find("-s LIST"), std::string::npos);
    EXPECT_EQ(err, "");

    out.clear();
    EXPECT_EQ(reportMain({"/nonexistent/rtt.txt"}, out, err), 1);
    EXPECT_EQ(err, "hoprate-report: /nonexistent/rtt.txt: cannot open: No such file or directory\n");
    EXPECT_EQ(out, "");

    EXPECT_EQ(reportMain({"--bogus", "f"}, out, err), 1);
    EXPECT_EQ(err,
              "hoprate-report: unknown option --bogus\n"
              "usage: hoprate-report [--json | --csv] [--svg FILE] [-s len1,len2...] RESULTS_FILE\n"
              "       hoprate-report --analyse PROBE_LOG [--json]\n");

    // A directory reads as nothing at all.
    EXPECT_EQ(reportMain({"/"}, out, err), 1);
    EXPECT_EQ(err.rfind("hoprate-report: /", 0), 0u);
}

}  // namespace
