// The chain of links from hop slopes: neighbouring differences, silent hops spanned, the
// slowest step for pacing, and the median of packet-pair rates.
#include "measure/link_chain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace hoprate;

namespace {

TEST(LinkChain, DifferencesOfNeighbouringMeasuredHops)
{
    // Links of 10, 2, 5 and 5 Mbit/s one way: 0.8, 4, 1.6 and 1.6 us per byte; hop 2 silent.
    const std::vector<std::optional<SlopeEstimate>> slopes = {SlopeEstimate{0.8e-6, 0}, std::nullopt,
                                                              SlopeEstimate{6.4e-6, 0}, SlopeEstimate{8.0e-6, 0}};
    const auto chain = linkChain(slopes, 0, 0);
    ASSERT_EQ(chain.size(), 4u);
    EXPECT_EQ(chain[0]->nearHop, -1);
    EXPECT_NEAR(chain[0]->capacity.bitsPerSecond, 10e6, 1e-3);
    EXPECT_FALSE(chain[1]);
    EXPECT_EQ(chain[2]->nearHop, 0);  // across the silent hop: links 2 and 3 in series
    EXPECT_NEAR(chain[2]->capacity.bitsPerSecond, 1.0 / (1.0 / 2e6 + 1.0 / 5e6), 1e-3);
    EXPECT_EQ(chain[3]->nearHop, 2);
    EXPECT_NEAR(chain[3]->capacity.bitsPerSecond, 5e6, 1e-3);
    // A hop without a fit leaves its link and the next unknown.
    const std::vector<std::optional<SlopeEstimate>> gap = {SlopeEstimate{NAN, INFINITY}, SlopeEstimate{1e-6, 0}};
    const auto unknown = linkChain(gap, 0, 0);
    EXPECT_FALSE(unknown[0]->capacity.known);
    EXPECT_FALSE(unknown[1]->capacity.known);
}

TEST(LinkChain, SlowestStepAndPairMedian)
{
    EXPECT_DOUBLE_EQ(*slowestStep(std::vector<std::optional<double>>{1e-6, 5e-6, 6e-6}), 4e-6);
    EXPECT_FALSE(slowestStep(std::vector<std::optional<double>>{1e-6, std::nullopt}));
    EXPECT_FALSE(slowestStep(std::vector<std::optional<double>>{-1e-6, -2e-6}));
    // The median, never the largest: one pair that was squeezed together reads fast.
    EXPECT_EQ(medianPairRate({2e6, 9e6, 1.98e6}), 2e6);
    EXPECT_EQ(medianPairRate({2e6, 9e6, 1.98e6, 2.01e6}), 2.01e6);
    EXPECT_EQ(medianPairRate({2e6, 2e6}), 0);
}

}  // namespace
