// The monotonic nanosecond counter: its frequency, differences, the pause, and the value
// a probe carries.
#include "support/clock.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "wire/probe.h"

using namespace hoprate;

namespace {

TEST(CounterFrequency, IsTheNanosecondCounter)
{
    ASSERT_TRUE(queryCounterFrequency().has_value());
    EXPECT_EQ(*queryCounterFrequency(), 1000000000);
}

TEST(ElapsedSeconds, DividesTheDifferenceByTheFrequencyWithItsSign)
{
    EXPECT_DOUBLE_EQ(elapsedSeconds(3579545, 0, 3579545), 1.0);
    EXPECT_DOUBLE_EQ(elapsedSeconds(0, 3579545, 3579545), -1.0);
    EXPECT_EQ(elapsedSeconds(123456789, 123456789, 3579545), 0.0);
    EXPECT_DOUBLE_EQ(elapsedSeconds(1000412345, 1000000000, 1000000000), 0.000412345);
}

TEST(ElapsedSeconds, StaysDefinedForCounterValuesFarApart)
{
    // A counter value echoed back by the network may be anything; the difference wraps
    // instead of overflowing.
    EXPECT_DOUBLE_EQ(elapsedSeconds(INT64_MIN, INT64_MAX, 1000000000), 1e-9);
}

TEST(WholeMilliseconds, TruncatesToWholeMilliseconds)
{
    EXPECT_EQ(wholeMilliseconds(50000u), 50u);
    EXPECT_EQ(wholeMilliseconds(1999u), 1u);
    EXPECT_EQ(wholeMilliseconds(999u), 0u);
    EXPECT_EQ(wholeMilliseconds(0u), 0u);
    EXPECT_EQ(wholeMilliseconds(4294967295u), 4294967u);
}

TEST(ReadCounter, ReadsMonotonicNanosecondsAndPacketsCarryThemLeastSignificantByteFirst)
{
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    const int64_t value = readCounter();
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(value, before.tv_sec * 1000000000LL + before.tv_nsec);
    EXPECT_LE(value, after.tv_sec * 1000000000LL + after.tv_nsec);

    unsigned char buffer[16];
    for (unsigned char &b : buffer)
        b = 0xAA;
    putCounter(buffer + 3, 0x0102030405060708LL);  // deliberately misaligned, as inside a packet
    const unsigned char expected[8] = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(buffer[3 + i], expected[i]);
    EXPECT_EQ(counterAt(buffer + 3), 0x0102030405060708LL);
    // Nothing around the eight bytes is touched.
    for (int i : {0, 1, 2, 11, 12, 13, 14, 15})
        EXPECT_EQ(buffer[i], 0xAA);
    putCounter(buffer, -2);
    EXPECT_EQ(counterAt(buffer), -2);
}

}  // namespace
