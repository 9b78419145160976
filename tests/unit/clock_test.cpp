#include "support/clock.h"

#include <gtest/gtest.h>

#include <ctime>
#include <string>

namespace {

std::string frequencyLine(int64_t frequency)
{
    char line[128];
    formatFrequencyLine(line, sizeof line, frequency);
    return line;
}

TEST(FrequencyLine, PrintsTheHighAndLowHalvesSeparately)
{
    EXPECT_EQ(frequencyLine(3579545), "high resolution timer supported, frequency = (0,3579545)\n");
    EXPECT_EQ(frequencyLine(10000000), "high resolution timer supported, frequency = (0,10000000)\n");
    EXPECT_EQ(frequencyLine(4294967296LL + 5), "high resolution timer supported, frequency = (1,5)\n");
    // The low half is unsigned: it may exceed the int range.
    EXPECT_EQ(frequencyLine(4294967295LL), "high resolution timer supported, frequency = (0,4294967295)\n");
}

TEST(CheckClock, ReportsTheNanosecondCounter)
{
    testing::internal::CaptureStdout();
    const int result = checkClock();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(counterFrequency, 1000000000);
    EXPECT_EQ(out, "high resolution timer supported, frequency = (0,1000000000)\n");
}

class ElapsedSeconds : public testing::Test {
protected:
    void SetUp() override { saved = counterFrequency; }
    void TearDown() override { counterFrequency = saved; }
    int64_t saved = 0;
};

TEST_F(ElapsedSeconds, DividesTheDifferenceByTheFrequencyWithItsSign)
{
    counterFrequency = 3579545;
    EXPECT_DOUBLE_EQ(elapsedSeconds(3579545, 0), 1.0);
    EXPECT_DOUBLE_EQ(elapsedSeconds(0, 3579545), -1.0);
    EXPECT_EQ(elapsedSeconds(123456789, 123456789), 0.0);
    counterFrequency = 1000000000;
    EXPECT_DOUBLE_EQ(elapsedSeconds(1000412345, 1000000000), 0.000412345);
}

TEST_F(ElapsedSeconds, StaysDefinedForCounterValuesFarApart)
{
    // A counter value echoed back by the network may be anything; the difference wraps
    // instead of overflowing.
    counterFrequency = 1000000000;
    EXPECT_DOUBLE_EQ(elapsedSeconds(INT64_MIN, INT64_MAX), 1e-9);
}

TEST(SleepMilliseconds, TruncatesToWholeMilliseconds)
{
    EXPECT_EQ(sleepMilliseconds(50000u), 50u);
    EXPECT_EQ(sleepMilliseconds(1999u), 1u);
    EXPECT_EQ(sleepMilliseconds(999u), 0u);
    EXPECT_EQ(sleepMilliseconds(0u), 0u);
    EXPECT_EQ(sleepMilliseconds(4294967295u), 4294967u);
}

int64_t decodeLittleEndian(const unsigned char *bytes)
{
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i)
        value = (value << 8) | bytes[i];
    return static_cast<int64_t>(value);
}

TEST(ReadCounter, StoresNanosecondsLeastSignificantByteFirstAtAnyOffset)
{
    unsigned char buffer[16];
    for (unsigned char &b : buffer)
        b = 0xAA;
    timespec before{};
    timespec after{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    readCounter(buffer + 3);  // deliberately misaligned, as inside a packet
    clock_gettime(CLOCK_MONOTONIC, &after);

    const int64_t value = decodeLittleEndian(buffer + 3);
    EXPECT_GE(value, before.tv_sec * 1000000000LL + before.tv_nsec);
    EXPECT_LE(value, after.tv_sec * 1000000000LL + after.tv_nsec);
    // Nothing around the eight bytes is touched.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(buffer[i], 0xAA);
    for (int i = 11; i < 16; ++i)
        EXPECT_EQ(buffer[i], 0xAA);
}

}  // namespace
