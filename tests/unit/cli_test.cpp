#include "cli/run_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string &text)
{
    int count = -1;
    char **entries = splitCommaList(text.c_str(), &count);
    std::vector<std::string> result;
    for (int i = 0; i < count; ++i)
        result.emplace_back(entries[i]);
    return result;
}

using Entries = std::vector<std::string>;

TEST(SplitCommaList, SplitsAtEveryComma)
{
    EXPECT_EQ(split("254,454,654"), (Entries{"254", "454", "654"}));
    EXPECT_EQ(split("1454"), (Entries{"1454"}));
}

TEST(SplitCommaList, RunsOfCommasAndOuterCommasGiveNoEmptyEntries)
{
    EXPECT_EQ(split("100,,200,"), (Entries{"100", "200"}));
    EXPECT_EQ(split(",,,100,,,,200,,,"), (Entries{"100", "200"}));
    EXPECT_EQ(split(",300"), (Entries{"300"}));
}

TEST(SplitCommaList, CommasAloneOrNothingGiveAnEmptyList)
{
    EXPECT_EQ(split(",,,"), Entries{});
    EXPECT_EQ(split(","), Entries{});
    EXPECT_EQ(split(""), Entries{});
}

TEST(SplitCommaList, KeepsSpacesAndOtherTextInsideEntries)
{
    EXPECT_EQ(split(" 100, 200 ,x"), (Entries{" 100", " 200 ", "x"}));
    EXPECT_EQ(split(" "), (Entries{" "}));
}

TEST(SplitCommaList, GrowsBeyondTheFirstHundredEntries)
{
    std::string text;
    Entries expected;
    for (int i = 0; i < 150; ++i) {
        text += std::to_string(1000 + i) + ",";
        expected.push_back(std::to_string(1000 + i));
    }
    EXPECT_EQ(split(text), expected);

    // Exactly at and just past a capacity step.
    for (int total : {100, 101, 200, 201, 401}) {
        std::string list;
        for (int i = 0; i < total; ++i)
            list += (i ? "," : "") + std::to_string(i);
        const Entries entries = split(list);
        ASSERT_EQ(entries.size(), static_cast<size_t>(total));
        EXPECT_EQ(entries.front(), "0");
        EXPECT_EQ(entries.back(), std::to_string(total - 1));
    }
}

TEST(SplitCommaList, EntriesPointIntoAPrivateCopy)
{
    char text[] = "300,400";
    int count = 0;
    char **entries = splitCommaList(text, &count);
    text[0] = '9';
    text[3] = 'X';
    ASSERT_EQ(count, 2);
    EXPECT_STREQ(entries[0], "300");
    EXPECT_STREQ(entries[1], "400");
}

TEST(DefaultSizes, AreTheSevenBuiltInSizesInOrder)
{
    const Entries expected{"254", "454", "654", "854", "1054", "1254", "1454"};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(defaultSizes[i], expected[static_cast<size_t>(i)]);
}

}  // namespace
