// Sequence numbers of probes in flight: taken in turn from a random start, never one that
// a probe still in flight carries, freed by an answer or a deadline; and the watch over
// routers that limit their ICMP errors.
#include "engine/sequence_book.h"

#include <gtest/gtest.h>

#include <set>

#include "engine/rate_limits.h"

using namespace hoprate;

namespace {

TEST(SequenceBook, InTurnFromTheStartWrappingAndSkippingThoseInFlight)
{
    SequenceBook book(0xFFFE);
    EXPECT_EQ(book.open(0, 100), 0xFFFE);
    EXPECT_EQ(book.open(1, 100), 0xFFFF);
    EXPECT_EQ(book.open(2, 900), 0x0000);
    EXPECT_EQ(book.find(0xFFFF), 1);
    EXPECT_FALSE(book.find(0x0001));
    book.close(0xFFFF);
    EXPECT_FALSE(book.find(0xFFFF));
    EXPECT_EQ(book.size(), 2);
    EXPECT_EQ(book.nextDeadline(), 100);
    // Deadlines free what is left of the first two; the third stays until 900.
    book.expire(100);
    EXPECT_FALSE(book.find(0xFFFE));
    EXPECT_EQ(book.find(0x0000), 2);
    EXPECT_EQ(book.nextDeadline(), 900);
    // Round the whole space: 0x0000 is still out, so the turn passes over it.
    for (int probe = 3; probe < 3 + 65535; ++probe)
        ASSERT_TRUE(book.open(probe, 1000));
    EXPECT_EQ(book.size(), 65536);
    EXPECT_FALSE(book.open(99999, 1000));  // every number is out
    EXPECT_EQ(book.find(0x0000), 2);
    book.expire(1000);
    EXPECT_TRUE(book.empty());
    EXPECT_FALSE(book.nextDeadline());
}

TEST(SequenceBook, ANumberClosedAndTakenAgainIsNotExpiredByItsOldDeadline)
{
    SequenceBook book(7);
    ASSERT_EQ(book.open(0, 100), 7);
    book.close(7);
    for (int probe = 1; probe < 65536; ++probe)
        ASSERT_TRUE(book.open(probe, 50000));
    // Sequence 7 comes round again for probe 65536: the first probe's deadline is not its own.
    ASSERT_EQ(book.open(65536, 50000), 7);
    book.expire(100);
    EXPECT_EQ(book.find(7), 65536);
}

TEST(RateLimitWatch, ABurstOfSixThenOneASecondIsPacedToThatSecond)
{
    // Probes 10 ms apart; the router answers the first 6 at once, then one a second.
    RateLimitWatch watch;
    std::set<int> answered;
    int64_t t = 0;
    for (int probe = 0; probe < 300; ++probe, t += 10000000) {
        watch.sent(probe, t);
        if (probe < 6 || probe % 100 == 0)
            answered.insert(probe);
    }
    const auto isAnswered = [&](int p) { return answered.count(p) > 0; };
    EXPECT_TRUE(watch.review(t, 200000000, isAnswered));
    EXPECT_TRUE(watch.limited());
    // 8 answered in 2.8 s of due probes: (8 - 6) answers after the burst, so 1.1 x 1.4 s.
    EXPECT_EQ(watch.pacingGap(), 1540000000);
    // Paced probes that still go unanswered slow it down by half, up to 8 s.
    for (int probe = 300; probe < 310; ++probe, t += 2000000000)
        watch.sent(probe, t);
    EXPECT_FALSE(watch.review(t, 200000000, isAnswered));
    EXPECT_EQ(watch.pacingGap(), 2310000000);
}

TEST(RateLimitWatch, FewLossesOrFewProbesAreNoLimit)
{
    RateLimitWatch watch;
    const auto oneInFiveLost = [](int p) { return p % 5 != 0; };
    for (int probe = 0; probe < 7; ++probe)
        watch.sent(probe, probe);
    EXPECT_FALSE(watch.review(1000000000, 1000, oneInFiveLost));  // 7 due: too few to tell
    for (int probe = 7; probe < 40; ++probe)
        watch.sent(probe, probe);
    EXPECT_FALSE(watch.review(1000000000, 1000, oneInFiveLost));
    EXPECT_FALSE(watch.limited());
    EXPECT_EQ(watch.pacingGap(), 0);
}

}  // namespace
