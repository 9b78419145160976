// Kernel send stamps: which one belongs to the send just made, and which ones came late
// for their kind of send.
#include <gtest/gtest.h>

#include <vector>

#include "measure/late_stamps.h"
#include "net/send_stamps.h"

using namespace hoprate;

namespace {

TEST(StampOfSend, TheSendsOwnNumberNeverAnOlderOne)
{
    struct Case {
        std::vector<uint32_t> keys;  // drained, in queue order
        uint32_t expected;
        int found;                   // the key taken, -1: none
    };
    const Case cases[] = {
        {{7}, 7, 7},
        {{6}, 7, -1},                // the previous send's stamp, late: not this one's
        {{5, 6, 7}, 7, 7},
        {{7, 6}, 7, 7},
        {{8}, 7, 8},                 // a failed send used number 7
        {{}, 7, -1},
        {{0xFFFFFFFF, 0}, 0xFFFFFFFF, 0},  // numbers wrap
        {{0xFFFFFFFE}, 0, -1},
    };
    for (const Case &c : cases) {
        std::vector<KeyedStamp> drained;
        for (const uint32_t key : c.keys)
            drained.push_back(KeyedStamp{key, 1000 + static_cast<int64_t>(key % 100)});
        const std::optional<KeyedStamp> own = stampOfSend(drained, c.expected);
        ASSERT_EQ(own.has_value(), c.found >= 0) << c.expected;
        if (own) {
            EXPECT_EQ(own->key, static_cast<uint32_t>(c.found));
            EXPECT_EQ(own->time, 1000 + static_cast<int64_t>(c.found % 100));
        }
    }
}

TEST(LateStampFilter, EachKindOfSendHasItsOwnUsualDelay)
{
    LateStampFilter filter(25000);
    // Back to back (idle 0.3 ms): 40 us is usual, 70 us late.
    for (int i = 0; i < 100; ++i)
        EXPECT_FALSE(filter.late(40000 + (i % 5) * 1000, 300000));
    EXPECT_TRUE(filter.late(70000, 300000));
    // After a pause of 1.5 s the host wakes slower: 100 us is usual there, and a stamp
    // that would be late after a short idle is not late after a long one.
    for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(filter.late(95000 + (i % 10) * 1000, 1500000000)) << i;
    EXPECT_TRUE(filter.late(140000, 1500000000));
    EXPECT_TRUE(filter.late(70000, 300000));
    // The usual delay follows its kind: a slower host after many stamps is learnt anew.
    for (int i = 0; i < 300; ++i)
        filter.late(60000, 300000);
    EXPECT_FALSE(filter.late(70000, 300000));
}

}  // namespace
