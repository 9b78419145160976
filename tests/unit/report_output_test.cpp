// hoprate-report's output forms on a known two-hop run: the table and the CSV line by
// line, the JSON's values and escaping, and the SVG's parts.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "report_output.h"
#include "results_reader.h"

using namespace hoprate;

namespace {

SweepBlock block(const char *protocol, const char *target, int ttl, double slope, double stdev, int line)
{
    SweepBlock b;
    b.line = line;
    b.protocol = protocol;
    b.target = target;
    b.ttl = ttl;
    b.minRttMs = {2.1, 5.4, std::nan("")};
    b.hasMin = {true, true, false};
    b.avgRttMs = {2.2, 5.5, std::nan("")};
    b.slope = slope;
    b.slopeStdev = stdev;
    b.intercept = 3e-4;
    b.interceptStdev = 1e-6;
    b.timeouts = line / 10;
    return b;
}

// Hop 2: 2 Mb/s and 4 Mb/s; hop 1: 2 Mb/s and 8 Mb/s. Each slope's absolute uncertainty
// is 1.645 x its stdev, so hop 1's v_n has 2e6 x 1.645e-8 / 4e-6 = 8225 b/s, and hop 2's
// v_n' has 4e6 x 1.645 x sqrt(1 + 9 + 1 + 4) x 1e-8 / 2e-6 = 127421 b/s.
RunReport twoHopReport(const std::string &file = "data/rtt_h-d.txt")
{
    const std::vector<SweepBlock> sweeps = {
        block("icmp", "10.0.0.9", 2, 11e-6, 1e-8, 1), block("udp", "10.0.0.9", 2, 8e-6, 2e-8, 11),
        block("icmp", "10.0.0.9", 1, 4e-6, 1e-8, 21), block("icmp", "10.0.0.1", 1, 5e-6, 3e-8, 31)};
    return buildReport(sweeps, {600, 900, 1200}, file, 40);
}

TEST(ReportOutput, RateTextIsTheRunsOwn)
{
    EXPECT_EQ(rateText(1234500.0, 45600.0 / 1234500.0), "1.2345 +/- 0.0456 Mb/s");
    EXPECT_EQ(rateText(987654.3, 12345.6 / 987654.3), "987.6543 +/- 12.3456 Kb/s");
}

TEST(ReportOutput, Table)
{
    EXPECT_EQ(formatTable(twoHopReport()),
              "results file: data/rtt_h-d.txt\n"
              "destination 10.0.0.9, 2 hops, 4 sweeps, sizes 600 900 1200 bytes\n"
              "\n"
              "hop  address   v_n                     v_n'\n"
              "  2  10.0.0.9  2.0000 +/- 0.0184 Mb/s  4.0000 +/- 0.1274 Mb/s\n"
              "  1  10.0.0.1  2.0000 +/- 0.0082 Mb/s  8.0000 +/- 0.4162 Mb/s\n"
              "\n"
              "sweep  line  kind              target    ttl     slope s/B         stdev   intercept s         stdev  timeouts\n"
              "    1     1  echo-destination  10.0.0.9    2  1.100000e-05  1.000000e-08  3.000000e-04  1.000000e-06         0\n"
              "    2    11  udp-destination   10.0.0.9    2  8.000000e-06  2.000000e-08  3.000000e-04  1.000000e-06         1\n"
              "    3    21  echo-destination  10.0.0.9    1  4.000000e-06  1.000000e-08  3.000000e-04  1.000000e-06         2\n"
              "    4    31  echo-router       10.0.0.1    1  5.000000e-06  3.000000e-08  3.000000e-04  1.000000e-06         3\n");
}

TEST(ReportOutput, Csv)
{
    EXPECT_EQ(formatCsv(twoHopReport()),
              "hop,address,v_n_bps,v_n_uncertainty_bps,v_n_prime_bps,v_n_prime_uncertainty_bps\n"
              "2,10.0.0.9,2000000,18391.65911,4000000,127421.1521\n"
              "1,10.0.0.1,2000000,8225,8000000,416155.7401\n");
}

TEST(ReportOutput, JsonValuesNullsAndEscapes)
{
    const std::string json = formatJson(twoHopReport("odd \"name\"\\\x01.txt"));
    EXPECT_EQ(json.rfind("{\n  \"file\": \"odd \\\"name\\\"\\\\\\u0001.txt\",\n"
                         "  \"destination\": \"10.0.0.9\",\n  \"hop_count\": 2,\n  \"sizes\": [600, 900, 1200],\n",
                         0),
              0u)
        << json;
    EXPECT_NE(json.find("{\"hop\": 1, \"address\": \"10.0.0.1\",\n     \"v_n\": {\"rate_bps\": 2000000, "
                        "\"uncertainty_bps\": 8225.0000000000018, \"relative_uncertainty\": 0.0041125000000000007, "
                        "\"text\": \"2.0000 +/- 0.0082 Mb/s\"}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"min_rtt_ms\": [2.1000000000000001, 5.4000000000000004, null],\n"
                        "     \"avg_rtt_ms\": [2.2000000000000002, 5.5, null],"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"index\": 4, \"line\": 31, \"kind\": \"echo-router\", \"protocol\": \"icmp\", "
                        "\"target\": \"10.0.0.1\", \"ttl\": 1,"),
              std::string::npos)
        << json;
    EXPECT_EQ(json.substr(json.size() - 8), "}\n  ]\n}\n");
}

TEST(ReportOutput, NotFiniteRatesAreNullInJsonAndWordsInCsv)
{
    std::vector<SweepBlock> sweeps = {block("icmp", "10.0.0.9", 1, 4e-6, 1e-8, 1),
                                      block("udp", "10.0.0.9", 1, 4e-6, 1e-8, 11)};
    sweeps[1].slope = std::nan("");
    const RunReport report = buildReport(sweeps, {600, 900, 1200}, "f", 20);
    EXPECT_NE(formatJson(report).find("\"v_n\": {\"rate_bps\": null, \"uncertainty_bps\": null, "
                                      "\"relative_uncertainty\": null, \"text\": \"nan +/- nan ub/s\"}"),
              std::string::npos);
    EXPECT_EQ(formatCsv(report).substr(formatCsv(report).find('\n') + 1), "1,10.0.0.9,nan,nan,nan,nan\n");
}

TEST(ReportOutput, InfiniteRatesAreNullInJson)
{
    // Equal slopes toward the destination at both ends of hop 1: v_n = 8 / 0 = inf.
    const std::vector<SweepBlock> sweeps = {block("icmp", "10.0.0.9", 1, 6e-6, 1e-8, 1),
                                            block("udp", "10.0.0.9", 1, 0.0, 1e-8, 11)};
    const RunReport report = buildReport(sweeps, {600, 900, 1200}, "f", 20);
    ASSERT_TRUE(std::isinf(report.hops[0].vN));
    const std::string json = formatJson(report);
    EXPECT_NE(json.find("\"v_n\": {\"rate_bps\": null, \"uncertainty_bps\": null, "
                        "\"relative_uncertainty\": null, \"text\": \"inf +/- "),
              std::string::npos)
        << json;
    EXPECT_EQ(json.find("inf,"), std::string::npos) << json;
    EXPECT_EQ(json.find(": inf"), std::string::npos) << json;
}

// Targets and file names come from outside: the CSV quotes what would break its fields,
// the table shows no control character raw.
TEST(ReportOutput, HostileNamesAreQuotedInCsvAndEscapedInTheTable)
{
    const std::vector<SweepBlock> sweeps = {block("icmp", "10.0.0.9\x1b[2J", 2, 11e-6, 1e-8, 1),
                                            block("udp", "10.0.0.9\x1b[2J", 2, 8e-6, 2e-8, 11),
                                            block("icmp", "10.0.0.9\x1b[2J", 1, 4e-6, 1e-8, 21),
                                            block("icmp", "10.0.0.1,\"x\"\r", 1, 5e-6, 3e-8, 31)};
    const RunReport report = buildReport(sweeps, {600, 900, 1200}, "data/\x07rtt\t.txt", 40);
    EXPECT_EQ(formatCsv(report),
              "hop,address,v_n_bps,v_n_uncertainty_bps,v_n_prime_bps,v_n_prime_uncertainty_bps\n"
              "2,10.0.0.9\x1b[2J,2000000,18391.65911,4000000,127421.1521\n"
              "1,\"10.0.0.1,\"\"x\"\"\r\",2000000,8225,8000000,416155.7401\n");
    const std::string table = formatTable(report);
    EXPECT_EQ(table.find_first_of("\x1b\x07\r\t"), std::string::npos) << table;
    EXPECT_EQ(table.rfind("results file: data/?rtt\\t.txt\ndestination 10.0.0.9?[2J, 2 hops,", 0), 0u) << table;
    EXPECT_NE(table.find("\n  1  10.0.0.1,\"x\"?  2.0000 +/- 0.0082 Mb/s  8.0000"), std::string::npos) << table;
    EXPECT_NE(table.find("  echo-router       10.0.0.1,\"x\"?    1  "), std::string::npos) << table;
}

size_t countOf(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST(ReportOutput, SvgHasAxesEverySweepAndOneColourPerHop)
{
    const std::string svg = formatSvg(twoHopReport("a<b>&.txt"));
    EXPECT_EQ(svg.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
    EXPECT_EQ(svg.substr(svg.size() - 7), "</svg>\n");
    EXPECT_NE(svg.find(">probe size (bytes)</text>"), std::string::npos);
    EXPECT_NE(svg.find(">minimum round-trip time (ms)</text>"), std::string::npos);
    EXPECT_EQ(countOf(svg, "<g class=\"sweep\""), 4u);
    // Each sweep has two minima; the UDP sweep draws squares, the others circles.
    const size_t plotStart = svg.find("<g class=\"sweep\"");
    const std::string plot = svg.substr(plotStart, svg.find(">probes end at<") - plotStart);
    EXPECT_EQ(countOf(plot, "<circle "), 6u);
    EXPECT_EQ(countOf(plot, "width=\"7\" height=\"7\""), 2u);
    // Hop 2's sweeps share one colour, hop 1's another; both appear in the legend.
    EXPECT_EQ(countOf(svg, "stroke=\"#d62728\" stroke-width"), 2u);
    EXPECT_EQ(countOf(svg, "stroke=\"#1f77b4\" stroke-width"), 2u);
    EXPECT_NE(svg.find(">hop 2 10.0.0.9</text>"), std::string::npos);
    EXPECT_NE(svg.find(">hop 1 10.0.0.1</text>"), std::string::npos);
    EXPECT_EQ(svg.find("a<b>"), std::string::npos);
}

}  // namespace
