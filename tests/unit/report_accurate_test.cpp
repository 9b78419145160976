// hoprate-report on the accurate mode's JSON: documents written by the mode's own writer
// (and its golden run) read back as one document or JSON Lines, told from results files by
// content, shown as table and CSV; hostile documents refused with file, line and field.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "accurate_output.h"
#include "accurate_reader.h"
#include "output/precise_report.h"
#include "precise_samples.h"

using namespace hoprate;
using nlohmann::json;

namespace {

const std::vector<int> noSizes = {100};

std::string goldenDocument()
{
    std::ifstream in(std::string(HOPRATE_SOURCE_DIR) + "/tests/golden/expected/precise_json/stdout");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

AccurateReport accurateOf(const std::string &text)
{
    const ReportInput input = parseInput(text, "run.json", noSizes);
    EXPECT_TRUE(std::holds_alternative<AccurateReport>(input));
    return std::holds_alternative<AccurateReport>(input) ? std::get<AccurateReport>(input) : AccurateReport{};
}

// The refusal of a text, as "file:line: reason"; empty when it was read.
std::string refusalOf(const std::string &text)
{
    try {
        parseInput(text, "run.json", noSizes);
    } catch (const ReportError &e) {
        return e.what();
    }
    return "";
}

TEST(ReportAccurate, GoldenDocumentAsTableAndCsv)
{
    const AccurateReport report = accurateOf(goldenDocument());
    EXPECT_EQ(formatAccurateTable(report),
              "results file: run.json\n"
              "\n"
              "destination 10.9.3.1 (10.9.3.1), ipv4, 3 hops, 671 probes in 5.7 s\n"
              "hop  address   measured          capacity     90 % interval              return       return 90 % "
              "interval\n"
              "  1  10.9.1.1  echo-router icmp  2.0000 Mb/s  1.9965 Mb/s - 2.0035 Mb/s  2.0000 Mb/s  1.9965 Mb/s - "
              "2.0036 Mb/s\n"
              "  2  10.9.2.1  echo-router icmp  4.9833 Mb/s  4.8902 Mb/s - 5.1148 Mb/s  4.9833 Mb/s  4.8466 Mb/s - "
              "5.0929 Mb/s\n"
              "  3  10.9.3.1  destination icmp  10.049 Mb/s  9.9234 Mb/s - 10.177 Mb/s  -            -\n");
    EXPECT_EQ(formatAccurateCsv(report),
              "destination,hop,address,name,method,protocol,capacity_bps,ci90_low_bps,ci90_high_bps,lower_bound,"
              "merged_from,return_capacity_bps,return_ci90_low_bps,return_ci90_high_bps,asymmetric\n"
              "10.9.3.1,1,10.9.1.1,,echo-router,icmp,2000000,1996466.635,2003545.894,false,,2000000,"
              "1996460.041,2003552.535,false\n"
              "10.9.3.1,2,10.9.2.1,,echo-router,icmp,4983284.438,4890217.34,5114767.507,false,,4983284.438,"
              "4846589.537,5092930.501,false\n"
              "10.9.3.1,3,10.9.3.1,,destination,icmp,10048536.73,9923392.253,10176877.92,false,,,,,false\n");
}

// Every kind of hop the writer knows (silent, links in series, a lower bound, no estimate),
// the fields a later version adds, and a partial run, as JSON Lines with a blank line.
TEST(ReportAccurate, JsonLinesOfEveryKindOfHop)
{
    json six = json::parse(formatPreciseJson(sixHopSample(), "example.net"));
    json later = json::parse(goldenDocument());
    later["destination"] = "dest,\"x\"";
    later["destination_reached"] = false;
    later["complete"] = false;
    later["version"] = 2;
    later["settings"] = {{"budget", 300}, {"nested", {{"deeper", json::array({1, "two", nullptr})}}}};
    later["hops"][0]["name"] = "r1.example";
    later["hops"][0]["return_capacity_bps"] = 1e6;
    later["hops"][0]["return_ci90_bps"] = {0.98e6, 1.02e6};
    later["hops"][0]["asymmetric"] = true;
    later["hops"][1]["return_capacity_bps"] = nullptr;
    later["hops"][1]["return_ci90_bps"] = nullptr;
    later["hops"][1]["unknown"] = {{"x", 1}};
    later["hops"].erase(2);
    const AccurateReport report = accurateOf("\n" + six.dump() + "\n\n  " + later.dump() + "\n");

    ASSERT_EQ(report.destinations.size(), 2u);
    EXPECT_EQ(report.destinations[0].line, 2);
    EXPECT_EQ(report.destinations[1].line, 4);
    const auto &links = report.destinations[0].links;
    ASSERT_EQ(links.size(), 6u);
    EXPECT_EQ(links[1].address, "");
    EXPECT_EQ(links[2].mergedFrom, 2);
    EXPECT_TRUE(links[3].lowerBound);
    EXPECT_FALSE(links[3].ci90.has_value());
    EXPECT_FALSE(links[5].capacity.has_value());
    EXPECT_EQ(formatAccurateTable(report),
              "results file: run.json\n"
              "\n"
              "destination example.net (192.0.2.80), ipv4, 6 hops, 2712 probes in 41.3 s\n"
              "hop  address     measured          capacity        90 % interval              return       "
              "return 90 % interval       note\n"
              "  1  10.0.1.1    echo-router icmp  100.00 Mb/s     99.500 Mb/s - 100.50 Mb/s  -            -\n"
              "  2  *           silent            -               -                          -            -\n"
              "  3  10.0.3.1    ttl-limited icmp  10.000 Mb/s     9.8765 Mb/s - 10.123 Mb/s  -            -     "
              "                     links 2-3 in series\n"
              "  4  10.0.4.1    echo-router icmp  >= 2.5000 Gb/s  -                          -            -     "
              "                     lower bound: too fast to resolve\n"
              "  5  10.0.5.1    echo-router icmp  5.0000 Mb/s     4.9500 Mb/s - 5.0500 Mb/s  800.00 kb/s  790.00 kb/s "
              "- 810.00 kb/s  asymmetric\n"
              "  6  192.0.2.80  destination icmp  -               -                          -            -\n"
              "\n"
              "destination dest,\"x\" (10.9.3.1), ipv4, 2 hops, 671 probes in 5.7 s, destination not reached, "
              "incomplete run\n"
              "hop  address                measured          capacity     90 % interval              return       "
              "return 90 % interval       note\n"
              "  1  10.9.1.1 (r1.example)  echo-router icmp  2.0000 Mb/s  1.9965 Mb/s - 2.0035 Mb/s  1.0000 Mb/s  "
              "980.00 kb/s - 1.0200 Mb/s  asymmetric\n"
              "  2  10.9.2.1               echo-router icmp  4.9833 Mb/s  4.8902 Mb/s - 5.1148 Mb/s  -            -\n");
    const std::string csv = formatAccurateCsv(report);
    EXPECT_NE(csv.find("\nexample.net,4,10.0.4.1,,echo-router,icmp,2500000000,,,true,,,,,false\n"), std::string::npos);
    EXPECT_NE(csv.find("\nexample.net,2,,,silent,icmp,,,,false,,,,,false\n"), std::string::npos);
    EXPECT_NE(csv.find("\nexample.net,3,10.0.3.1,,ttl-limited,icmp,10000000,9876540,10123400,false,2,,,,false\n"),
              std::string::npos);
    EXPECT_NE(csv.find("\nexample.net,5,10.0.5.1,,echo-router,icmp,5000000,4950000,5050000,false,,800000,790000,"
                       "810000,true\n"),
              std::string::npos);
    EXPECT_NE(csv.find("\n\"dest,\"\"x\"\"\",1,10.9.1.1,r1.example,echo-router,icmp,2000000,1996466.635,"
                       "2003545.894,false,,1000000,980000,1020000,true\n"),
              std::string::npos)
        << csv;
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 9);
}

// What is not an accurate document goes to the results reader, whose refusals stay as they were.
TEST(ReportAccurate, KindToldByTheFirstNonBlankByte)
{
    EXPECT_EQ(refusalOf(""), "run.json:1: empty file: no sweep block");
    EXPECT_EQ(refusalOf("\n\n\n"), "run.json:1: expected a block header \"icmp to ...\" or \"udp to ...\", found \"\"");
    EXPECT_EQ(refusalOf("  \n[1]\n"),
              "run.json:1: expected a block header \"icmp to ...\" or \"udp to ...\", found \"  \"");
    EXPECT_EQ(refusalOf("icmp to 10.0.0.9, ttl=1\n"),
              "run.json:2: file ends inside the block of line 1: expected the \"t_kernel_min:\" row");
    EXPECT_EQ(refusalOf(" \t\r\n\n  {}"),
              "run.json:3: no field \"destination\": not a document of hoprate --precise --json");
}

TEST(ReportAccurate, HostileDocumentsAreRefusedNamingLineAndField)
{
    const json golden = json::parse(goldenDocument());
    auto with = [&](const std::function<void(json &)> &change) {
        json doc = golden;
        change(doc);
        return doc.dump();
    };
    std::string deep = "{\"a\": ";
    for (int i = 0; i < 70; ++i)
        deep += "[";
    json manyHops = golden;  // far more than 255 hops, in less than the longest line read
    for (int i = 0; i < 1000; ++i)
        manyHops["hops"].push_back(golden["hops"][0]);

    const struct {
        std::string text;
        std::string refusal;
    } cases[] = {
        {"{\n\"destination\": \"x\",\n", "run.json:3: file ends inside the document of line 1"},
        {"{\"a\": NaN}",
         "run.json:1: not JSON: syntax error while parsing value - invalid literal; last read: "
         "'\"a\": N'"},
        {"{\n\"a\": 1,\n\"b\": tru\n}",
         "run.json:3: not JSON: syntax error while parsing value - invalid literal; "
         "last read: '\"b\": tru<U+000A>'"},
        {with([](json &d) { d["wall_s"] = 1; }).replace(0, 1, "{\"x\": 1e999, "),
         "run.json:1: not JSON: number overflow parsing '1e999'"},
        {with([](json &d) { d["hops"][1]["capacity_bps"] = "NaN"; }),
         "run.json:1: hops[1].capacity_bps: expected a rate in bits per second above 0 and at most 1e+15, found the "
         "string \"NaN\""},
        {with([](json &d) { d["hops"][0]["ci90_bps"][1] = 1e300; }),
         "run.json:1: hops[0].ci90_bps[1]: expected a rate in bits per second above 0 and at most 1e+15, found the "
         "number 1e+300"},
        {with([](json &d) {
             d["hops"][0]["ci90_bps"] = {3e6, 1e6};
         }),
         "run.json:1: hops[0].ci90_bps: low end above "
         "high end"},
        {with([](json &d) { d["probes_sent"] = 18446744073709551615ULL; }),
         "run.json:1: probes_sent: expected an integer from 0 to 9223372036854775807, found the number "
         "18446744073709551615"},
        {with([](json &d) { d["hops"][2]["hop"] = "3"; }),
         "run.json:1: hops[2].hop: expected an integer from 1 to 255, found the string \"3\""},
        {with([](json &d) { d["hops"][2]["hop"] = 2; }), "run.json:1: hops[2].hop: hop 2 after hop 2: the hops go up"},
        {with([](json &d) { d["hops"][1].erase("method"); }), "run.json:1: hops[1]: no field \"method\""},
        {with([](json &d) { d["hops"][1]["merged_from"] = 5; }),
         "run.json:1: hops[1].merged_from: expected an integer from 1 to 2, found the number 5"},
        {with([](json &d) {
             d["hops"][1]["capacity_bps"] = nullptr;
             d["hops"][1]["ci90_bps"] = nullptr;
             d["hops"][1]["lower_bound"] = true;
         }),
         "run.json:1: hops[1].lower_bound: true, but capacity_bps is null"},
        {with([](json &d) { d["hops"][0]["name"] = 7; }),
         "run.json:1: hops[0].name: expected a string, found the "
         "number 7"},
        {with([](json &d) {
             d["hops"] = json::array({json::array({"hop", 1})});
         }),
         "run.json:1: hops[0]: expected an object, found an array"},
        {with([](json &d) { d["destination_reached"] = nullptr; }),
         "run.json:1: destination_reached: expected true or false, found null"},
        {manyHops.dump(), "run.json:1: hops: 1003 hops: a path has at most 255"},
        {deep, "run.json:1: nested deeper than 64 levels"},
        {golden.dump() + " {}", "run.json:1: text after the end of the document: \"{}\""},
        {golden.dump() + "\n\nhello\n", "run.json:3: expected a JSON document, \"{...}\", found \"hello\""},
        {golden.dump() + "\n{\"x\": \"" + std::string(1048576, 'x') + "\"}\n",
         "run.json:2: line longer than "
         "1048576 bytes"},
        {"{\"a\": \"\x1b[2J\xff\"}",
         "run.json:1: not JSON: syntax error while parsing value - invalid string: "
         "control character U+001B (ESC) must be escaped to \\u001B; last read: "
         "'\"<U+001B>'"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(refusalOf(c.text), c.refusal);
}

// Names come from the document: no control character reaches the table, the CSV quotes,
// the SVG escapes markup.
TEST(ReportAccurate, HostileNamesStayInert)
{
    json doc = json::parse(goldenDocument());
    doc["destination"] = "<b>&\"x\",\u001b[2J";
    doc["hops"][0]["name"] = "</text><script>";
    const AccurateReport report = accurateOf(doc.dump());
    const std::string table = formatAccurateTable(report);
    EXPECT_EQ(table.find('\x1b'), std::string::npos);
    EXPECT_NE(table.find("destination <b>&\"x\",?[2J (10.9.3.1)"), std::string::npos) << table;
    EXPECT_EQ(formatAccurateCsv(report).substr(formatAccurateCsv(report).find('\n') + 1, 17),
              "\"<b>&\"\"x\"\",\x1b[2J\",");
    const std::string svg = formatAccurateSvg(report);
    EXPECT_EQ(svg.find("<b>"), std::string::npos);
    EXPECT_EQ(svg.find("<script>"), std::string::npos);
    EXPECT_NE(svg.find("&lt;b&gt;&amp;&quot;x&quot;,?[2J (10.9.3.1), 3 hops"), std::string::npos);
}

}  // namespace
