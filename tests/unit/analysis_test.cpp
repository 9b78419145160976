// The analysis of one sweep: minimum selection, averages, the least-squares fit, what
// -v prints about them, the results file, and the clock's start-up line. Each test gives the round-trip times a
// sweep recorded (nothing for a time-out) and runs the engine's analysis on them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/classic_engine.h"
#include "output/classic_console.h"
#include "output/results_file.h"
#include "run_in_child.h"

using namespace hoprate;

namespace {

// Checks text begins with start and, when given, ends with end (blocks whose middle
// holds non-finite figures are compared at their exact ends only).
void expectFramedBy(const std::string &text, const std::string &start, const std::string &end = "")
{
    EXPECT_EQ(text.substr(0, start.size()), start);
    ASSERT_GE(text.size(), end.size());
    EXPECT_EQ(text.substr(text.size() - end.size()), end);
}

constexpr double timedOut = -2.0;  // in a row of times: this probe got no reply

// A sweep as recorded: times in milliseconds, timedOut for a probe without reply.
struct Sweep {
    std::vector<int> sizes;
    std::vector<SizeSamples> samples;
    int timeouts = 0;
};

Sweep recorded(const std::vector<int> &sizes, const std::vector<std::vector<double>> &millis, int earlierTimeouts = 0)
{
    Sweep sweep{sizes, {}, earlierTimeouts};
    for (const auto &row : millis) {
        SizeSamples samples;
        for (double ms : row) {
            if (ms == timedOut) {
                samples.push_back(std::nullopt);
                ++sweep.timeouts;
            } else {
                samples.push_back(ms / 1000.0);
            }
        }
        sweep.samples.push_back(samples);
    }
    return sweep;
}

// An ICMP sweep with TTL 4 to 10.0.0.7 unless changed.
Aim aim(SweepProtocol protocol = SweepProtocol::Icmp, int ttl = 4)
{
    Aim a;
    a.addressText = "10.0.0.7";
    a.ttl = ttl;
    a.protocol = protocol;
    return a;
}

class Analysis : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/hoprate-analysis.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        results = ResultsFile(resultsFile());
    }

    void TearDown() override
    {
        std::remove(resultsFile().c_str());
        rmdir(dir.c_str());
    }

    std::string resultsFile() const { return dir + "/rtt_host-dest.txt"; }

    // The analysis of a sweep as the engine ends it: the record, the block appended to
    // the results file, and what the console prints about it.
    SweepRecord analyse(const Sweep &sweep, bool verbose = false, const Aim &where = aim())
    {
        const SweepRecord record = analyseSweep(where, sweep.sizes, sweep.samples, sweep.timeouts);
        ClassicConsole console(verbose, 4242);
        testing::internal::CaptureStdout();
        console.analysis(record.sizes, record.fit);
        printed = testing::internal::GetCapturedStdout();
        results.append(record);
        return record;
    }

    std::string fileText() const
    {
        std::ifstream in(resultsFile(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static std::vector<long> positions(const SweepRecord &record)
    {
        std::vector<long> at;
        for (const SizeSummary &s : record.sizes)
            at.push_back(s.minimumAt ? static_cast<long>(*s.minimumAt) : -1);
        return at;
    }

    std::string dir;
    ResultsFile results{"/nonexistent"};
    std::string printed;
};

// The three-size sweep whose minima are 0.412345, 0.540111 and 0.668020 ms, with averages
// 0.43, 0.5615 and 0.69025 ms over the replied probes and two time-outs.
const std::vector<std::vector<double>> workedExample = {
    {0.450, 0.412345, timedOut, 0.427655},
    {0.540111, 0.560, 0.584389, timedOut},
    {0.700, 0.668020, 0.700, 0.692980},
};

const char workedExampleBlock[] =
    "icmp to 10.0.0.7, ttl=4\n"
    "t_kernel_min:\t0.412345\t0.540111\t0.668020\n"
    "t_app_min:\t0.412345\t0.540111\t0.668020\n"
    "t_overhead_min:\t0.000000\t0.000000\t0.000000\n"
    "t_kernel_avg:\t0.430000\t0.561500\t0.690250\n"
    "t_app_avg:\t0.430000\t0.561500\t0.690250\n"
    "slope=3.195937e-07, stdev=5.958333e-11;\n"
    "intercept=3.311444e-04, stdev=4.355630e-08.\n"
    "# of timeouts = 2\n"
    "\n";

TEST_F(Analysis, WorkedExampleFitAndVerboseLinesInOrder)
{
    const SweepRecord record = analyse(recorded({254, 654, 1054}, workedExample), true);
    EXPECT_EQ(printed,
              "t_k_min at [0][1],\tt_a_min at [0][1]\n"
              "t_k_min at [1][0],\tt_a_min at [1][0]\n"
              "t_k_min at [2][1],\tt_a_min at [2][1]\n"
              "0.412345\t0.540111\t0.668020\n"
              "m = 3.195937e-07, b = 3.311444e-04, stdev_m = 1.032014e-10, stdev_b = 7.544172e-08, "
              "alpha_m = 0.000307\n");
    EXPECT_NEAR(record.fit.slope, 3.195937e-07, 1e-13);
    EXPECT_NEAR(record.fit.intercept, 3.311444e-04, 1e-10);
    EXPECT_NEAR(record.fit.slopeRelErr, 1.645 * 1.032014e-10 / (std::sqrt(3.0) * 3.195937e-07), 1e-9);
    EXPECT_NEAR(record.fit.interceptRelErr, 1.645 * 7.544172e-08 / (std::sqrt(3.0) * 3.311444e-04), 1e-9);
}

TEST_F(Analysis, WorkedExampleResultsBlockByteForByte)
{
    analyse(recorded({254, 654, 1054}, workedExample));
    EXPECT_EQ(printed, "");  // nothing without -v
    EXPECT_EQ(fileText(), workedExampleBlock);
}

TEST_F(Analysis, UdpSweepNamesItsProtocol)
{
    analyse(recorded({254, 654, 1054}, workedExample), false, aim(SweepProtocol::Udp, 9));
    EXPECT_EQ(fileText().substr(0, 23), "udp to 10.0.0.7, ttl=9\n");
}

TEST_F(Analysis, MinimumRules)
{
    const SweepRecord record = analyse(recorded({100, 200, 300, 400}, {
                                                                          {3.0, 2.0, 2.0},       // equal values: the earliest wins
                                                                          {3.0, 1.0, timedOut},  // a later smaller value moves it
                                                                          {timedOut, 4.0, 4.0},  // a time-out never competes
                                                                          {6.0, 6.0, 6.0},       // all equal: the first probe
                                                                      }));
    EXPECT_EQ(positions(record), (std::vector<long>{1, 1, 1, 0}));
    EXPECT_DOUBLE_EQ(record.sizes[0].minimum, 0.002);
    EXPECT_DOUBLE_EQ(record.sizes[1].minimum, 0.001);
    EXPECT_DOUBLE_EQ(record.sizes[2].minimum, 0.004);
    EXPECT_DOUBLE_EQ(record.sizes[3].minimum, 0.006);
    // Every replied overhead time is 0.0: the overhead row shows 0 for every size.
    EXPECT_EQ(fileText().substr(fileText().find("t_overhead_min:")),
              "t_overhead_min:\t0.000000\t0.000000\t0.000000\t0.000000\n"
              "t_kernel_avg:\t2.333333\t2.000000\t4.000000\t6.000000\n"
              "t_app_avg:\t2.333333\t2.000000\t4.000000\t6.000000\n"
              "slope=1.500000e-05, stdev=2.958040e-06;\n"
              "intercept=-5.000000e-04, stdev=8.100926e-04.\n"
              "# of timeouts = 2\n\n");
}

TEST_F(Analysis, AveragesOverRepliedProbesOnly)
{
    const SweepRecord record = analyse(recorded({100, 200}, {
                                                                {timedOut, 2.0, timedOut, 4.0},
                                                                {1.0, 2.0, 3.0, 6.0},
                                                            }));
    EXPECT_DOUBLE_EQ(record.sizes[0].average, 0.003);
    EXPECT_EQ(record.sizes[0].replies, 2);
    EXPECT_DOUBLE_EQ(record.sizes[1].average, 0.003);
    EXPECT_EQ(record.sizes[1].replies, 4);
}

TEST_F(Analysis, TwoSweepsOfOneRun)
{
    {
        std::ofstream old(resultsFile());
        old << "left over from an earlier run\n";
    }
    analyse(recorded({254, 654, 1054}, workedExample));
    EXPECT_EQ(fileText(), workedExampleBlock);  // the first block replaces the old file

    // The second sweep averages its own replies; the time-out total keeps running.
    const SweepRecord second = analyse(recorded({254, 654, 1054},
                                                {
                                                    {1.0, 1.0, 1.0, 1.0},
                                                    {2.0, timedOut, 2.0, 2.0},
                                                    {3.0, 3.0, 3.0, 3.0},
                                                },
                                                2),
                                       false, aim(SweepProtocol::Icmp, 3));
    EXPECT_DOUBLE_EQ(second.sizes[0].average, 0.001);
    EXPECT_DOUBLE_EQ(second.sizes[1].average, 0.002);
    EXPECT_DOUBLE_EQ(second.sizes[2].average, 0.003);

    const std::string text = fileText();
    ASSERT_EQ(text.substr(0, sizeof workedExampleBlock - 1), workedExampleBlock);
    const std::string expectedStart =
        "icmp to 10.0.0.7, ttl=3\n"
        "t_kernel_min:\t1.000000\t2.000000\t3.000000\n"
        "t_app_min:\t1.000000\t2.000000\t3.000000\n"
        "t_overhead_min:\t0.000000\t0.000000\t0.000000\n"
        "t_kernel_avg:\t1.000000\t2.000000\t3.000000\n"
        "t_app_avg:\t1.000000\t2.000000\t3.000000\n"
        "slope=";
    expectFramedBy(text.substr(sizeof workedExampleBlock - 1), expectedStart, "# of timeouts = 3\n\n");
}

TEST_F(Analysis, SizeWithoutRepliesIsLeftOutOfRowsAndFit)
{
    const SweepRecord record = analyse(recorded({254, 654, 1054}, {
                                                                      {0.412345, 0.499655},
                                                                      {timedOut, timedOut},
                                                                      {0.668020, 0.7},
                                                                  }),
                                       true);
    EXPECT_TRUE(std::isnan(record.sizes[1].minimum));
    EXPECT_TRUE(std::isnan(record.sizes[1].average));
    EXPECT_FALSE(record.sizes[1].minimumAt.has_value());

    // The line through the two sizes that have a minimum; with two points no spread exists.
    EXPECT_NEAR(record.fit.slope, (0.000668020 - 0.000412345) / 800.0, 1e-15);
    EXPECT_NEAR(record.fit.intercept, 0.000412345 - record.fit.slope * 254.0, 1e-12);
    EXPECT_FALSE(std::isfinite(record.fit.slopeRelErr));
    EXPECT_FALSE(std::isfinite(record.fit.interceptRelErr));

    EXPECT_EQ(printed.substr(0, printed.find("m = ")),
              "t_k_min at [0][0],\tt_a_min at [0][0]\n"
              "t_k_min at [1][-1],\tt_a_min at [1][-1]\n"
              "t_k_min at [2][0],\tt_a_min at [2][0]\n"
              "0.412345\tnan\t0.668020\n");

    const std::string expectedStart =
        "icmp to 10.0.0.7, ttl=4\n"
        "t_kernel_min:\t0.412345\t\t0.668020\n"
        "t_app_min:\t0.412345\t\t0.668020\n"
        "t_overhead_min:\t0.000000\t\t0.000000\n"
        "t_kernel_avg:\t0.456000\tnan\t0.684010\n"
        "t_app_avg:\t0.456000\tnan\t0.684010\n"
        "slope=";
    expectFramedBy(fileText(), expectedStart);
}

TEST_F(Analysis, LastSizeWithoutRepliesEndsItsRowsWithTheNewline)
{
    const SweepRecord record = analyse(recorded({254, 654}, {{0.5}, {timedOut}}));
    // One size left: no line can be fitted, every fit figure is NaN.
    EXPECT_TRUE(std::isnan(record.fit.slope));
    EXPECT_TRUE(std::isnan(record.fit.intercept));
    EXPECT_TRUE(std::isnan(record.fit.slopeRelErr));
    EXPECT_TRUE(std::isnan(record.fit.interceptRelErr));
    EXPECT_EQ(fileText(),
              "icmp to 10.0.0.7, ttl=4\n"
              "t_kernel_min:\t0.500000\t\n"
              "t_app_min:\t0.500000\t\n"
              "t_overhead_min:\t0.000000\t\n"
              "t_kernel_avg:\t0.500000\tnan\n"
              "t_app_avg:\t0.500000\tnan\n"
              "slope=nan, stdev=nan;\n"
              "intercept=nan, stdev=nan.\n"
              "# of timeouts = 1\n"
              "\n");
}

TEST_F(Analysis, EverySizeTimedOut)
{
    const SweepRecord record =
        analyse(recorded({254, 654, 1054}, {{timedOut, timedOut}, {timedOut, timedOut}, {timedOut, timedOut}}));
    EXPECT_TRUE(std::isnan(record.fit.slope));
    EXPECT_TRUE(std::isnan(record.fit.slopeRelErr));
    EXPECT_EQ(fileText(),
              "icmp to 10.0.0.7, ttl=4\n"
              "t_kernel_min:\t\t\t\n"
              "t_app_min:\t\t\t\n"
              "t_overhead_min:\t\t\t\n"
              "t_kernel_avg:\tnan\tnan\tnan\n"
              "t_app_avg:\tnan\tnan\tnan\n"
              "slope=nan, stdev=nan;\n"
              "intercept=nan, stdev=nan.\n"
              "# of timeouts = 6\n"
              "\n");
}

TEST_F(Analysis, OneSizeGivesOneValuePerRowAndNoFiniteSlope)
{
    const SweepRecord record = analyse(recorded({254}, {{0.5, 0.7}}));
    EXPECT_FALSE(std::isfinite(record.fit.slope));
    EXPECT_FALSE(std::isfinite(record.fit.slopeRelErr));
    const std::string expectedStart =
        "icmp to 10.0.0.7, ttl=4\n"
        "t_kernel_min:\t0.500000\n"
        "t_app_min:\t0.500000\n"
        "t_overhead_min:\t0.000000\n"
        "t_kernel_avg:\t0.600000\n"
        "t_app_avg:\t0.600000\n"
        "slope=";
    expectFramedBy(fileText(), expectedStart);
}

TEST_F(Analysis, TwoSizesGiveTheExactLineAndNonFiniteUncertainties)
{
    const SweepRecord record = analyse(recorded({200, 1200}, {{0.3}, {0.8}}));
    EXPECT_NEAR(record.fit.slope, 5e-7, 1e-15);
    EXPECT_NEAR(record.fit.intercept, 0.0002, 1e-12);
    EXPECT_FALSE(std::isfinite(record.fit.slopeRelErr));
    EXPECT_FALSE(std::isfinite(record.fit.interceptRelErr));
}

TEST_F(Analysis, FallingMinimaGiveANegativeSlopeAndUncertainty)
{
    const SweepRecord record = analyse(recorded({254, 654, 1054}, {{0.9}, {0.7}, {0.6}}));
    EXPECT_LT(record.fit.slope, 0.0);
    EXPECT_LT(record.fit.slopeRelErr, 0.0);
    EXPECT_GT(record.fit.intercept, 0.0);
}

TEST_F(Analysis, NoSizesRunsTheLabelsTogether)
{
    analyse(recorded({}, {}), true);
    EXPECT_EQ(printed.substr(0, 4), "m = ");
    const std::string expectedStart =
        "icmp to 10.0.0.7, ttl=4\n"
        "t_kernel_min:\tt_app_min:\tt_overhead_min:\tt_kernel_avg:\tt_app_avg:\tslope=";
    expectFramedBy(fileText(), expectedStart, "# of timeouts = 0\n\n");
}

TEST_F(Analysis, MissingDataDirectoryEndsTheRun)
{
    const std::string where = dir;
    const ChildResult r = runInChild([&] {
        // The working directory has no data directory.
        if (chdir(where.c_str()) != 0)
            std::_Exit(3);
        ResultsFile file("data/rtt_host-dest.txt");
        file.append(analyseSweep(aim(), {254}, {{0.001}}, 0));
    });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "fopen: data/rtt_host-dest.txt: errno 2\n");
}

TEST_F(Analysis, DataPathThroughARegularFileEndsTheRun)
{
    const std::string blocker = dir + "/data";
    { std::ofstream file(blocker); }
    const std::string path = blocker + "/rtt.txt";
    const ChildResult r = runInChild([&] {
        ResultsFile file(path);
        file.append(analyseSweep(aim(), {254}, {{0.0005}}, 0));
    });
    std::remove(blocker.c_str());
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "fopen: " + path + ": errno 20\n");  // ENOTDIR
}

TEST_F(Analysis, SymbolicLinkInTheFilesPlaceEndsTheRunAndIsNotFollowed)
{
    const std::string victim = dir + "/victim";
    { std::ofstream(victim) << "kept\n"; }
    const std::string missing = dir + "/created";
    const std::string path = resultsFile();
    for (const std::string &target : {victim, missing}) {
        SCOPED_TRACE(target);
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
        // The first block of a run (which empties the file) and a later one (which appends).
        for (const bool later : {false, true}) {
            const ChildResult r = runInChild([&] {
                ResultsFile file(path);
                if (later) {
                    std::remove(path.c_str());
                    file.append(analyseSweep(aim(), {254}, {{0.0005}}, 0));
                    std::remove(path.c_str());
                    if (symlink(target.c_str(), path.c_str()) != 0)
                        std::_Exit(3);
                }
                file.append(analyseSweep(aim(), {254}, {{0.0005}}, 0));
            });
            EXPECT_EQ(r.exitStatus, 1);
            EXPECT_EQ(r.err, "fopen: " + path + ": errno 40\n");  // ELOOP
        }
        std::remove(path.c_str());
    }
    std::ifstream kept(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept\n");
    EXPECT_NE(access(missing.c_str(), F_OK), 0);
    std::remove(victim.c_str());
}

TEST_F(Analysis, FailedWriteEndsTheRun)
{
    // /dev/full takes the open and refuses every write with ENOSPC.
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no writable /dev/full";
    const ChildResult r = runInChild([&] {
        ResultsFile file("/dev/full");
        file.append(analyseSweep(aim(), {254}, {{0.0005}}, 0));
        std::printf("not reached\n");
    });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "write: /dev/full: errno 28\n");
}

TEST(ResultRows, ValueRowSeparatesWithTabsAndEndsWithNewline)
{
    EXPECT_EQ(valueRow({0.000412345, 0.0015, -0.001}), "0.412345\t1.500000\t-1.000000\n");
    EXPECT_EQ(valueRow({0.000412345}), "0.412345\n");
    EXPECT_EQ(valueRow({}), "");
}

TEST(FrequencyLine, PrintsTheHighAndLowHalvesSeparately)
{
    EXPECT_EQ(frequencyLine(3579545), "high resolution timer supported, frequency = (0,3579545)\n");
    EXPECT_EQ(frequencyLine(10000000), "high resolution timer supported, frequency = (0,10000000)\n");
    EXPECT_EQ(frequencyLine(4294967296LL + 5), "high resolution timer supported, frequency = (1,5)\n");
    // The low half is unsigned: it may exceed the int range.
    EXPECT_EQ(frequencyLine(4294967295LL), "high resolution timer supported, frequency = (0,4294967295)\n");
}

}  // namespace
