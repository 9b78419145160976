// Rate formatting, the per-hop arithmetic and the probe time-out split.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "engine/classic_engine.h"
#include "measure/hop_rates.h"
#include "output/rate_format.h"

using namespace hoprate;

namespace {

std::string rate(double value, double relErr)
{
    return formatRate(value, relErr);
}

TEST(FormatRate, RangesAndTheirExactBoundaries)
{
    EXPECT_EQ(rate(1000000.0, 0.0), "1000.0000 +/- 0.0000 K");  // not greater than 10^6
    EXPECT_EQ(rate(1000000.5, 0.0), "1.0000 +/- 0.0000 M");
    EXPECT_EQ(rate(1000.0, 0.0), "1000.0000 +/- 0.0000 ");      // not greater than 10^3
    EXPECT_EQ(rate(1000.5, 0.0), "1.0005 +/- 0.0000 K");
    EXPECT_EQ(rate(1.0, 0.5), "1.0000 +/- 0.5000 ");             // at least 1.0
    EXPECT_EQ(rate(0.999, 0.0), "999.0000 +/- 0.0000 m");
    EXPECT_EQ(rate(0.001, 0.0), "1.0000 +/- 0.0000 m");          // at least 0.001
    EXPECT_EQ(rate(0.0009, 0.0), "900.0000 +/- 0.0000 u");
    EXPECT_EQ(rate(0.0, 0.1), "0.0000 +/- 0.0000 u");
}

TEST(FormatRate, UncertaintyIsValueTimesRelativeError)
{
    EXPECT_EQ(rate(1234500.0, 45600.0 / 1234500.0), "1.2345 +/- 0.0456 M");
    EXPECT_EQ(rate(987654.3, 12345.6 / 987654.3), "987.6543 +/- 12.3456 K");
    EXPECT_EQ(rate(-2500000.0, 0.1), "-2.5000 +/- -0.2500 M");
}

TEST(FormatRate, NonFiniteValues)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(rate(inf, 0.0), "inf +/- -nan M");  // inf * 0 is NaN
    EXPECT_EQ(rate(nan, 0.1), "nan +/- nan u");
    EXPECT_EQ(rate(inf, 0.5), "inf +/- inf M");
}

TEST(FormatRate, HugeValuesAreWrittenWhole)
{
    const std::string text = formatRate(1e300, 1.0);
    EXPECT_EQ(text.size(), 2 * (295 + 5) + 7);  // 1e294 in mega: 295 digits, ".0000" each
    EXPECT_EQ(text.substr(text.size() - 2), " M");
    const std::string largest = formatRate(-1.7976931348623157e308, -1.0);
    EXPECT_EQ(largest.substr(0, 4), "-179");
    EXPECT_EQ(largest.substr(largest.size() - 2), " M");
}

TEST(HopRates, LastHopUsesTheFarSlopesAlone)
{
    // n = 1: no near-hop sweeps, so k1 = k1p = 0 with zero uncertainty.
    const double k2 = 4e-6, a2 = 0.02, k2p = 1e-6, a2p = 0.05;
    const HopRates r = computeHopRates(HopSlopes{{0, 0}, {k2, a2}, {0, 0}, {k2p, a2p}});
    EXPECT_DOUBLE_EQ(r.vN, 8.0 / k2p);
    EXPECT_DOUBLE_EQ(r.rN, std::fabs(k2p * a2p) / k2p);
    EXPECT_DOUBLE_EQ(r.vNp, 8.0 / (k2 - k2p));
    EXPECT_DOUBLE_EQ(r.rNp, std::sqrt(square(k2 * a2) + square(k2p * a2p)) / (k2 - k2p));
}

TEST(HopRates, TwoHopExampleByHand)
{
    // Far hop: toward-destination UDP slope 5e-6 s/B, echo slope 9e-6 s/B; near hop: toward
    // destination 1e-6 s/B, router-addressed 2e-6 s/B.
    const HopRates r = computeHopRates(HopSlopes{{2e-6, 0.1}, {9e-6, 0.01}, {1e-6, 0.2}, {5e-6, 0.02}});
    // d_n = 4e-6 -> 2 Mb/s; d_n' = (9e-6 - 2e-6) - 4e-6 = 3e-6 -> 2.6667 Mb/s.
    EXPECT_NEAR(r.vN, 2000000.0, 1e-6);
    EXPECT_NEAR(r.vNp, 8.0 / 3e-6, 1e-6);
    // s_n = (1e-6*0.2)^2 + (5e-6*0.02)^2 = 4e-14 + 1e-14; r_n = sqrt(5e-14) / 4e-6.
    EXPECT_NEAR(r.rN, std::sqrt(5e-14) / 4e-6, 1e-12);
    // s_n' = (2e-6*0.1)^2 + (9e-6*0.01)^2 + s_n = 4e-14 + 0.81e-14 + 5e-14.
    EXPECT_NEAR(r.rNp, std::sqrt(9.81e-14) / 3e-6, 1e-12);
    EXPECT_EQ(rate(r.vN, r.rN), "2.0000 +/- 0.1118 M");
}

TEST(HopRates, NegativeDifferenceKeepsUncertaintyPositive)
{
    const HopRates r = computeHopRates(HopSlopes{{0, 0}, {1e-6, 0.1}, {3e-6, 0.1}, {1e-6, 0.1}});
    EXPECT_LT(r.vN, 0.0);
    EXPECT_GE(r.vN * r.rN, 0.0);
}

TEST(HopRates, EqualSlopesGiveInfiniteRate)
{
    const HopRates r = computeHopRates(HopSlopes{{0, 0}, {3e-6, 0}, {2e-6, 0.1}, {2e-6, 0.1}});
    EXPECT_TRUE(std::isinf(r.vN));
    EXPECT_EQ(formatRate(r.vN, r.rN).substr(0, 3), "inf");
}

TEST(HopWalk, CarriesEachPassNearSlopesIntoTheNextPassFarOnes)
{
    // Three hops: far slopes at TTL 3, then near slopes at TTL 2 and 1; hop 1 gets zeros.
    HopWalk walk(3, Slope{30e-6, 0.01}, Slope{20e-6, 0.02});
    EXPECT_EQ(walk.nextHop(), 3);
    const HopPass hop3 = walk.pass(Slope{12e-6, 0.03}, Slope{16e-6, 0.04});
    EXPECT_EQ(hop3.hop, 3);
    EXPECT_EQ(hop3.k2.value, 30e-6);
    EXPECT_EQ(hop3.k2p.value, 20e-6);
    EXPECT_EQ(hop3.k1p.value, 12e-6);
    EXPECT_EQ(hop3.k1.value, 16e-6);
    const HopPass hop2 = walk.pass(Slope{5e-6, 0.05}, Slope{6e-6, 0.06});
    EXPECT_EQ(hop2.hop, 2);
    EXPECT_EQ(hop2.k2.value, 16e-6);  // the router-addressed slope of the pass before
    EXPECT_EQ(hop2.k2.relErr, 0.04);
    EXPECT_EQ(hop2.k2p.value, 12e-6);  // the toward-destination slope of the pass before
    EXPECT_EQ(hop2.k2p.relErr, 0.03);
    const HopRates expected = computeHopRates(HopSlopes{{6e-6, 0.06}, {16e-6, 0.04}, {5e-6, 0.05}, {12e-6, 0.03}});
    EXPECT_EQ(hop2.rates.vN, expected.vN);
    EXPECT_EQ(hop2.rates.vNp, expected.vNp);
    EXPECT_EQ(hop2.rates.rNp, expected.rNp);
    const HopPass hop1 = walk.pass(Slope{}, Slope{});
    EXPECT_EQ(hop1.hop, 1);
    EXPECT_EQ(hop1.k2.value, 6e-6);
    EXPECT_EQ(hop1.k2p.value, 5e-6);
    EXPECT_EQ(hop1.rates.vN, 8.0 / 5e-6);
    EXPECT_EQ(walk.nextHop(), 0);
}

TEST(ProbeTimeout, SplitIntoSecondsAndMicroseconds)
{
    const struct {
        double seconds;
        int whole;
        int micro;
    } cases[] = {{5.0, 5, 0}, {0.25, 0, 250000}, {2.5, 2, 500000}, {0.0, 0, 0},
                 // The largest time-out the start-up checks let through still fits an int.
                 {2147483647.0, 2147483647, 0}};
    for (const auto &c : cases) {
        int whole = -1, micro = -1;
        splitTimeout(c.seconds, whole, micro);
        EXPECT_EQ(whole, c.whole) << c.seconds;
        EXPECT_EQ(micro, c.micro) << c.seconds;
    }
}

}  // namespace
