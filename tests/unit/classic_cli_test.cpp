// The classic command line: option values, comma lists, probe sizes, results path.
#include "cli/options.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/classic_main.h"
#include "run_in_child.h"

using namespace hoprate;

namespace {

using Entries = std::vector<std::string>;

TEST(SplitCommaList, SplitsAtEveryComma)
{
    EXPECT_EQ(splitCommaList("254,454,654"), (Entries{"254", "454", "654"}));
    EXPECT_EQ(splitCommaList("1454"), (Entries{"1454"}));
}

TEST(SplitCommaList, RunsOfCommasAndOuterCommasGiveNoEmptyEntries)
{
    EXPECT_EQ(splitCommaList("100,,200,"), (Entries{"100", "200"}));
    EXPECT_EQ(splitCommaList(",,,100,,,,200,,,"), (Entries{"100", "200"}));
    EXPECT_EQ(splitCommaList(",300"), (Entries{"300"}));
}

TEST(SplitCommaList, CommasAloneOrNothingGiveAnEmptyList)
{
    EXPECT_EQ(splitCommaList(",,,"), Entries{});
    EXPECT_EQ(splitCommaList(","), Entries{});
    EXPECT_EQ(splitCommaList(""), Entries{});
}

TEST(SplitCommaList, KeepsSpacesAndOtherTextInsideEntries)
{
    EXPECT_EQ(splitCommaList(" 100, 200 ,x"), (Entries{" 100", " 200 ", "x"}));
    EXPECT_EQ(splitCommaList(" "), (Entries{" "}));
}

TEST(SplitCommaList, KeepsEveryEntryOfALongList)
{
    std::string text;
    Entries expected;
    for (int i = 0; i < 401; ++i) {
        text += std::to_string(1000 + i) + ",";
        expected.push_back(std::to_string(1000 + i));
    }
    EXPECT_EQ(splitCommaList(text), expected);
}

TEST(DefaultSizes, AreTheSevenBuiltInSizesInOrder)
{
    const Entries expected{"254", "454", "654", "854", "1054", "1254", "1454"};
    EXPECT_EQ(Entries(defaultSizes.begin(), defaultSizes.end()), expected);
}

TEST(ProbeSizes, ScannedAsIntegersWithinTheProbeBuffer)
{
    EXPECT_EQ(parseProbeSizes({" 100", "14992", "7abc", "0", "-0", "+5"}), (std::vector<int>{100, 14992, 7, 0, 0, 5}));
    EXPECT_EQ(parseProbeSizes({}), std::vector<int>{});
    for (const char *bad : {"14993", "15000", "-1", "abc", "", " "})
        EXPECT_FALSE(parseProbeSizes({"100", bad}).has_value()) << bad;
}

// Parses a command line given as words (the program name first).
std::optional<ClassicOptions> parse(std::vector<std::string> words)
{
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return parseClassicOptions(static_cast<int>(words.size()), argv.data());
}

TEST(ClassicOptions, ValuesAsAtoiAndAtofReadThem)
{
    unsetenv("POSIXLY_CORRECT");
    const auto o = parse({"hoprate", "-v", "-d", "-i", "7x", "-o", "0.5", "-s", "300,,600", "-t", "3", "dest"});
    ASSERT_TRUE(o.has_value());
    EXPECT_TRUE(o->verbose);
    EXPECT_TRUE(o->dFlag);
    EXPECT_EQ(o->iterations, 7);
    EXPECT_EQ(o->probeTimeout, 0.5);  // a fraction of a second, not truncated
    EXPECT_EQ(o->sizeTexts, (Entries{"300", "600"}));
    EXPECT_EQ(o->ttl, 3);
    EXPECT_EQ(o->destination, "dest");

    const auto defaults = parse({"hoprate", "-t", "abc", "dest", "other"});
    ASSERT_TRUE(defaults.has_value());
    EXPECT_FALSE(defaults->verbose);
    EXPECT_EQ(defaults->iterations, 25);
    EXPECT_EQ(defaults->probeTimeout, 5.0);
    EXPECT_FALSE(defaults->sizeTexts.has_value());
    EXPECT_EQ(defaults->ttl, 0);
    EXPECT_EQ(defaults->destination, "dest");

    EXPECT_EQ(parse({"hoprate", "-o", "2.25", "-o", "abc", "-t", "1", "x"})->probeTimeout, 0.0);
    EXPECT_EQ(parse({"hoprate", "-s", "300", "-s", "400,500", "-t", "1", "x"})->sizeTexts, (Entries{"400", "500"}));
    EXPECT_EQ(parse({"hoprate", "-s", ",,,", "-t", "1", "x"})->sizeTexts, Entries{});
}

TEST(ClassicOptions, OperandsAndRefusals)
{
    unsetenv("POSIXLY_CORRECT");
    EXPECT_EQ(parse({"hoprate", "host", "-t", "3", "-v"})->destination, "host");
    EXPECT_FALSE(parse({"hoprate", "-v", "-t", "5"})->destination.has_value());
    EXPECT_FALSE(parse({"hoprate", "-t", "5", ""})->destination.has_value());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(parse({"hoprate", "-x", "-t", "5", "host"}).has_value());
    EXPECT_FALSE(parse({"hoprate", "-t", "5", "host", "-i"}).has_value());
    testing::internal::GetCapturedStderr();
}

TEST(ProbeTimeout, ANumberOfSecondsTheWaitCanTake)
{
    for (const double good : {0.0, -0.0, 0.25, 5.0, 2147483647.0})
        EXPECT_TRUE(validProbeTimeout(good)) << good;
    for (const double bad : {-1.0, -1e-9, 2147483647.5, 1e300, HUGE_VAL, -HUGE_VAL, std::nan("")})
        EXPECT_FALSE(validProbeTimeout(bad)) << bad;
    EXPECT_EQ(parse({"hoprate", "-o", " 1e300x", "-t", "1", "x"})->probeTimeoutText, " 1e300x");
    EXPECT_EQ(parse({"hoprate", "-t", "1", "x"})->probeTimeoutText, "");
}

TEST(ProbeTimeout, RefusedWithTheTextAsGiven)
{
    unsetenv("POSIXLY_CORRECT");
    for (const char *text : {"inf", "nan", "1e300", "-1", "-0.5", "2147483648"}) {
        SCOPED_TRACE(text);
        const auto options = parse({"hoprate", "-o", text, "-t", "1", "x"});
        ASSERT_TRUE(options.has_value());
        const ChildResult r = runInChild([&] { checkProbeTimeout(options->probeTimeout, options->probeTimeoutText); });
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, std::string("illegal time-out: ") + text + " (a number of seconds from 0 to 2147483647)\n\n");
    }
    const ChildResult accepted = runInChild([] { checkProbeTimeout(2147483647.0, "2147483647"); });
    EXPECT_EQ(accepted.exitStatus, 0);
    EXPECT_EQ(accepted.err, "");
}

TEST(ResultsPath, ShortLocalHostNameAndDestinationName)
{
    EXPECT_EQ(resultsPathFor("probe.example.test", "far.test"), "data/rtt_probe-far.test.txt");
    EXPECT_EQ(resultsPathFor("localhost", ""), "data/rtt_localhost-.txt");
    EXPECT_EQ(resultsPathFor(".lead", "x"), "data/rtt_-x.txt");
}

}  // namespace
