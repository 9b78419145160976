// The analysis of one sweep on an offline prober: minimum selection, averages, the
// least-squares fit and the results file. Each test fills replyMark, appRtt and
// replyCount the way a sweep leaves them, then calls analyze().
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

#include "cli/run_config.h"
#include "probe/path_prober.h"
#include "run_in_child.h"

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

class Analysis : public testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/hoprate-analysis.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        savedVerbose = verbose;
        verbose = 0;
    }

    void TearDown() override
    {
        verbose = savedVerbose;
        std::remove(resultsFile().c_str());
        rmdir(dir.c_str());
    }

    std::string resultsFile() const { return dir + "/rtt_host-dest.txt"; }

    // An offline prober aimed like an ICMP sweep with TTL 4 to 10.0.0.7, writing into
    // the test's own directory.
    PathProber makeProber(const std::vector<const char *> &sizeTexts, int iterations)
    {
        texts.clear();
        for (const char *t : sizeTexts)
            texts.push_back(strdup(t));
        PathProber prober(iterations, static_cast<int>(texts.size()), texts.data());
        std::snprintf(prober.targetAddrText, sizeof prober.targetAddrText, "10.0.0.7");
        prober.ttl = 4;
        prober.useIcmp = 1;
        const std::string path = resultsFile();
        EXPECT_LT(path.size(), sizeof prober.reportPath);
        std::snprintf(prober.reportPath, sizeof prober.reportPath, "%s", path.c_str());
        return prober;
    }

    // Fills row by row what a sweep records: a reply sets its time (given here in
    // milliseconds), its mark and the size's reply count; a time-out clears the mark,
    // counts in timeoutCount and leaves a stale time of 0.0001 ms behind, which must
    // never be taken for a reply.
    static void recordSweep(PathProber &prober, const std::vector<std::vector<double>> &millis)
    {
        for (size_t i = 0; i < millis.size(); ++i) {
            for (size_t j = 0; j < millis[i].size(); ++j) {
                if (millis[i][j] == timedOut) {
                    prober.replyMark[i][j] = 0;
                    prober.appRtt[i][j] = 0.0000001;
                    ++prober.timeoutCount;
                } else {
                    prober.replyMark[i][j] = 1;
                    prober.appRtt[i][j] = millis[i][j] / 1000.0;
                    ++prober.replyCount[i];
                }
            }
        }
    }

    // Runs analyze() and returns what it printed on standard output.
    static std::string analyzeCapturingOutput(PathProber &prober)
    {
        testing::internal::CaptureStdout();
        prober.analyze();
        return testing::internal::GetCapturedStdout();
    }

    std::string fileText() const
    {
        std::ifstream in(resultsFile(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    static std::vector<int> row(int **marks, int r, int columns)
    {
        return std::vector<int>(marks[r], marks[r] + columns);
    }

    std::string dir;
    int savedVerbose = 0;
    std::vector<char *> texts;
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
    PathProber prober = makeProber({"254", "654", "1054"}, 4);
    recordSweep(prober, workedExample);
    verbose = 1;
    const std::string out = analyzeCapturingOutput(prober);

    EXPECT_EQ(out,
              "analyze\n"
              "t_k_min at [0][1],\tt_a_min at [0][1]\n"
              "t_k_min at [1][0],\tt_a_min at [1][0]\n"
              "t_k_min at [2][1],\tt_a_min at [2][1]\n"
              "0.412345\t0.540111\t0.668020\n"
              "m = 3.195937e-07, b = 3.311444e-04, stdev_m = 1.032014e-10, stdev_b = 7.544172e-08, "
              "alpha_m = 0.000307\n");
    EXPECT_NEAR(prober.slope, 3.195937e-07, 1e-13);
    EXPECT_NEAR(prober.intercept, 3.311444e-04, 1e-10);
    EXPECT_NEAR(prober.slopeRelErr, 1.645 * 1.032014e-10 / (std::sqrt(3.0) * 3.195937e-07), 1e-9);
    EXPECT_NEAR(prober.interceptRelErr, 1.645 * 7.544172e-08 / (std::sqrt(3.0) * 3.311444e-04), 1e-9);
}

TEST_F(Analysis, WorkedExampleResultsBlockByteForByte)
{
    PathProber prober = makeProber({"254", "654", "1054"}, 4);
    recordSweep(prober, workedExample);
    const std::string out = analyzeCapturingOutput(prober);
    EXPECT_EQ(out, "analyze\n");  // nothing more without -v
    EXPECT_EQ(fileText(), workedExampleBlock);
}

TEST_F(Analysis, UdpSweepNamesItsProtocol)
{
    PathProber prober = makeProber({"254", "654", "1054"}, 4);
    prober.useIcmp = 0;
    prober.ttl = 9;
    recordSweep(prober, workedExample);
    analyzeCapturingOutput(prober);
    EXPECT_EQ(fileText().substr(0, 23), "udp to 10.0.0.7, ttl=9\n");
}

TEST_F(Analysis, MinimumRules)
{
    PathProber prober = makeProber({"100", "200", "300", "400"}, 3);
    recordSweep(prober, {
                            {3.0, 2.0, 2.0},       // equal values: the earliest wins
                            {3.0, 1.0, timedOut},  // a later smaller value moves the mark
                            {timedOut, 4.0, 4.0},  // a time-out never competes
                            {6.0, 6.0, 6.0},       // all equal: the first column
                        });
    analyzeCapturingOutput(prober);

    const std::vector<std::vector<int>> minimumMarks = {{0, 1, 0}, {0, 1, 0}, {0, 1, 0}, {1, 0, 0}};
    // Every replied overhead time is 0.0, so the first replied probe holds that minimum.
    const std::vector<std::vector<int>> overheadMarks = {{1, 0, 0}, {1, 0, 0}, {0, 1, 0}, {1, 0, 0}};
    for (int r = 0; r < 4; ++r) {
        SCOPED_TRACE(r);
        EXPECT_EQ(row(prober.kernelMinMark, r, 3), minimumMarks[r]);
        EXPECT_EQ(row(prober.replyMark, r, 3), minimumMarks[r]);
        EXPECT_EQ(row(prober.overheadMinMark, r, 3), overheadMarks[r]);
    }
    EXPECT_DOUBLE_EQ(prober.minRtt[0], 0.002);
    EXPECT_DOUBLE_EQ(prober.minRtt[1], 0.001);
    EXPECT_DOUBLE_EQ(prober.minRtt[2], 0.004);
    EXPECT_DOUBLE_EQ(prober.minRtt[3], 0.006);

    // Timed-out cells read -1.0 in all three views; replied ones carry the reply time,
    // twice, and an overhead of 0.0.
    for (auto cell : {std::make_pair(1, 2), std::make_pair(2, 0)}) {
        EXPECT_EQ(prober.appRtt[cell.first][cell.second], -1.0);
        EXPECT_EQ(prober.kernelRtt[cell.first][cell.second], -1.0);
        EXPECT_EQ(prober.overheadRtt[cell.first][cell.second], -1.0);
    }
    EXPECT_DOUBLE_EQ(prober.kernelRtt[0][0], 0.003);
    EXPECT_EQ(prober.overheadRtt[0][0], 0.0);
}

TEST_F(Analysis, AveragesOverRepliedProbesOnlyAndReplyCountIsReset)
{
    PathProber prober = makeProber({"100", "200"}, 4);
    recordSweep(prober, {
                            {timedOut, 2.0, timedOut, 4.0},
                            {1.0, 2.0, 3.0, 6.0},
                        });
    analyzeCapturingOutput(prober);
    EXPECT_DOUBLE_EQ(prober.appAvg[0], 0.003);
    EXPECT_DOUBLE_EQ(prober.kernelAvg[0], 0.003);
    EXPECT_EQ(prober.overheadAvg[0], 0.0);
    EXPECT_DOUBLE_EQ(prober.appAvg[1], 0.003);
    EXPECT_EQ(prober.replyCount[0], 0);
    EXPECT_EQ(prober.replyCount[1], 0);
}

TEST_F(Analysis, TwoSweepsOnOneProber)
{
    {
        std::ofstream old(resultsFile());
        old << "left over from an earlier run\n";
    }
    PathProber prober = makeProber({"254", "654", "1054"}, 4);
    recordSweep(prober, workedExample);
    analyzeCapturingOutput(prober);
    EXPECT_EQ(fileText(), workedExampleBlock);  // the first block replaces the old file

    // The second sweep counts its own replies; the time-out total keeps running.
    prober.ttl = 3;
    recordSweep(prober, {
                            {1.0, 1.0, 1.0, 1.0},
                            {2.0, timedOut, 2.0, 2.0},
                            {3.0, 3.0, 3.0, 3.0},
                        });
    analyzeCapturingOutput(prober);
    EXPECT_DOUBLE_EQ(prober.appAvg[0], 0.001);
    EXPECT_DOUBLE_EQ(prober.appAvg[1], 0.002);
    EXPECT_DOUBLE_EQ(prober.appAvg[2], 0.003);
    EXPECT_EQ(prober.replyCount[1], 0);

    const std::string text = fileText();
    ASSERT_EQ(text.substr(0, sizeof workedExampleBlock - 1), workedExampleBlock);
    const std::string second = text.substr(sizeof workedExampleBlock - 1);
    const std::string expectedStart =
        "icmp to 10.0.0.7, ttl=3\n"
        "t_kernel_min:\t1.000000\t2.000000\t3.000000\n"
        "t_app_min:\t1.000000\t2.000000\t3.000000\n"
        "t_overhead_min:\t0.000000\t0.000000\t0.000000\n"
        "t_kernel_avg:\t1.000000\t2.000000\t3.000000\n"
        "t_app_avg:\t1.000000\t2.000000\t3.000000\n"
        "slope=";
    expectFramedBy(second, expectedStart, "# of timeouts = 3\n\n");
}

TEST_F(Analysis, SizeWithoutRepliesIsLeftOutOfRowsAndFit)
{
    PathProber prober = makeProber({"254", "654", "1054"}, 2);
    recordSweep(prober, {
                            {0.412345, 0.499655},
                            {timedOut, timedOut},
                            {0.668020, 0.7},
                        });
    verbose = 1;
    const std::string out = analyzeCapturingOutput(prober);

    EXPECT_TRUE(std::isnan(prober.minRtt[1]));
    EXPECT_TRUE(std::isnan(prober.kernelAvg[1]));
    EXPECT_TRUE(std::isnan(prober.appAvg[1]));
    EXPECT_TRUE(std::isnan(prober.overheadAvg[1]));
    EXPECT_EQ(row(prober.replyMark, 1, 2), (std::vector<int>{0, 0}));
    EXPECT_EQ(row(prober.kernelMinMark, 1, 2), (std::vector<int>{0, 0}));
    EXPECT_EQ(row(prober.overheadMinMark, 1, 2), (std::vector<int>{0, 0}));

    // The line through the two sizes that have a minimum; with two points no spread exists.
    EXPECT_NEAR(prober.slope, (0.000668020 - 0.000412345) / 800.0, 1e-15);
    EXPECT_NEAR(prober.intercept, 0.000412345 - prober.slope * 254.0, 1e-12);
    EXPECT_FALSE(std::isfinite(prober.slopeRelErr));
    EXPECT_FALSE(std::isfinite(prober.interceptRelErr));

    EXPECT_EQ(out.substr(0, out.find("m = ")),
              "analyze\n"
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
    PathProber prober = makeProber({"254", "654"}, 1);
    recordSweep(prober, {{0.5}, {timedOut}});
    analyzeCapturingOutput(prober);
    // One size left: no line can be fitted, every fit figure is NaN.
    EXPECT_TRUE(std::isnan(prober.slope));
    EXPECT_TRUE(std::isnan(prober.intercept));
    EXPECT_TRUE(std::isnan(prober.slopeRelErr));
    EXPECT_TRUE(std::isnan(prober.interceptRelErr));
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
    PathProber prober = makeProber({"254", "654", "1054"}, 2);
    recordSweep(prober, {{timedOut, timedOut}, {timedOut, timedOut}, {timedOut, timedOut}});
    analyzeCapturingOutput(prober);
    EXPECT_TRUE(std::isnan(prober.slope));
    EXPECT_TRUE(std::isnan(prober.slopeRelErr));
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
    PathProber prober = makeProber({"254"}, 2);
    recordSweep(prober, {{0.5, 0.7}});
    analyzeCapturingOutput(prober);
    EXPECT_FALSE(std::isfinite(prober.slope));
    EXPECT_FALSE(std::isfinite(prober.slopeRelErr));
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
    PathProber prober = makeProber({"200", "1200"}, 1);
    recordSweep(prober, {{0.3}, {0.8}});
    analyzeCapturingOutput(prober);
    EXPECT_NEAR(prober.slope, 5e-7, 1e-15);
    EXPECT_NEAR(prober.intercept, 0.0002, 1e-12);
    EXPECT_FALSE(std::isfinite(prober.slopeRelErr));
    EXPECT_FALSE(std::isfinite(prober.interceptRelErr));
}

TEST_F(Analysis, FallingMinimaGiveANegativeSlopeAndUncertainty)
{
    PathProber prober = makeProber({"254", "654", "1054"}, 1);
    recordSweep(prober, {{0.9}, {0.7}, {0.6}});
    analyzeCapturingOutput(prober);
    EXPECT_LT(prober.slope, 0.0);
    EXPECT_LT(prober.slopeRelErr, 0.0);
    EXPECT_GT(prober.intercept, 0.0);
}

TEST_F(Analysis, NoSizesRunsTheLabelsTogether)
{
    PathProber prober = makeProber({}, 3);
    const std::string out = analyzeCapturingOutput(prober);
    EXPECT_EQ(out, "analyze\n");
    const std::string text = fileText();
    const std::string expectedStart =
        "icmp to 10.0.0.7, ttl=4\n"
        "t_kernel_min:\tt_app_min:\tt_overhead_min:\tt_kernel_avg:\tt_app_avg:\tslope=";
    expectFramedBy(text, expectedStart, "# of timeouts = 0\n\n");
}

TEST_F(Analysis, MissingDataDirectoryEndsTheRun)
{
    PathProber prober = makeProber({"254", "654", "1054"}, 4);
    recordSweep(prober, workedExample);
    std::snprintf(prober.reportPath, sizeof prober.reportPath, "data/rtt_host-dest.txt");
    const std::string where = dir;
    const ChildResult r = runInChild([&] {
        // The working directory has no data directory.
        if (chdir(where.c_str()) != 0)
            std::_Exit(3);
        prober.analyze();
    });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "analyze\n");
    EXPECT_EQ(r.err, "fopen: data/rtt_host-dest.txt: errno 2\n");
}

TEST_F(Analysis, DataPathThroughARegularFileEndsTheRun)
{
    PathProber prober = makeProber({"254"}, 1);
    recordSweep(prober, {{0.5}});
    const std::string blocker = dir + "/data";
    { std::ofstream file(blocker); }
    const std::string path = blocker + "/rtt.txt";
    std::snprintf(prober.reportPath, sizeof prober.reportPath, "%s", path.c_str());
    const ChildResult r = runInChild([&] { prober.analyze(); });
    std::remove(blocker.c_str());
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "fopen: " + path + ": errno 20\n");  // ENOTDIR
}

TEST(ResultRows, ValueRowSeparatesWithTabsAndEndsWithNewline)
{
    char *text = nullptr;
    size_t length = 0;
    FILE *stream = open_memstream(&text, &length);
    ASSERT_NE(stream, nullptr);
    const double values[3] = {0.000412345, 0.0015, -0.001};
    writeValueRow(stream, values, 3);
    writeValueRow(stream, values, 1);
    writeValueRow(stream, values, 0);
    std::fclose(stream);
    EXPECT_EQ(std::string(text, length), "0.412345\t1.500000\t-1.000000\n0.412345\n");
    std::free(text);
}

TEST(ResultRows, MarkedRowWritesTheFirstMarkedValueOfEachRow)
{
    double cells[3][3] = {{1e-3, 2e-3, 3e-3}, {4e-3, 5e-3, 6e-3}, {7e-3, 8e-3, 9e-3}};
    int flags[3][3] = {{0, 1, 1}, {0, 0, 0}, {1, 0, 0}};
    double *matrix[3] = {cells[0], cells[1], cells[2]};
    int *marks[3] = {flags[0], flags[1], flags[2]};
    char *text = nullptr;
    size_t length = 0;
    FILE *stream = open_memstream(&text, &length);
    ASSERT_NE(stream, nullptr);
    writeMarkedRow(stream, matrix, marks, 3, 3);
    std::fclose(stream);
    EXPECT_EQ(std::string(text, length), "2.000000\t\t7.000000\n");
    std::free(text);
}

}  // namespace
