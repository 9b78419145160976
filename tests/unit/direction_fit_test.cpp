// Both directions of the round trip apart, from floors of exactly known lengths: which
// quoting rules and reply kinds tell F and R apart, and the values they give.
#include "measure/direction_fit.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace hoprate;

namespace {

constexpr int echoKind = 0, errorKind = 1;

// A reply of each kind to a probe of p bytes: an echo as long as the probe, an error
// holding its header and as much of the probe as the rule quotes (0: all of it), within
// a total (576 over IPv4, 1280 over IPv6).
int64_t replyLength(int kind, int64_t p, int header, int quote, int total)
{
    if (kind == echoKind)
        return p;
    const int64_t quoted = quote == 0 ? p : std::min<int64_t>(p, quote);
    return std::min<int64_t>(header + quoted, total);
}

// A group of two samples at one floor.
DirectionGroup groupAt(int kind, int64_t p, int64_t q, double floor)
{
    DirectionGroup g{kind, p, q, {}};
    g.floors.add(floor);
    g.floors.add(floor);
    return g;
}

struct Case {
    const char *name;
    std::vector<int> kinds;
    int header, quote, total;
    bool forward, back;
};

}  // namespace

TEST(DirectionFit, WhichQuotesAndKindsTellTheDirectionsApart)
{
    // F: 0.8 us per byte out, R: 4 us per byte back (10 and 2 Mbit/s); sizes 64..1500.
    const double f = 0.8e-6, r = 4e-6;
    const std::vector<Case> cases = {
        {"echoes alone: F + R only", {echoKind}, 0, 0, 0, false, false},
        {"IPv4 errors of 576 bytes, both sides of the limit", {errorKind}, 28, 0, 576, true, true},
        {"IPv6 errors of 1280 bytes, both sides of the limit", {errorKind}, 48, 0, 1280, true, true},
        {"errors quoting 28 bytes: F alone", {errorKind}, 28, 28, 576, true, false},
        {"errors quoting 48 bytes beside echoes", {echoKind, errorKind}, 48, 48, 1280, true, true},
        {"errors quoting all: F + R only", {errorKind}, 28, 0, 100000, false, false},
        {"errors quoting all beside echoes: F + R only", {echoKind, errorKind}, 28, 0, 100000, false, false},
        {"576-byte errors beside echoes", {echoKind, errorKind}, 28, 0, 576, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<DirectionGroup> groups;
        int n = 0;
        for (const int kind : c.kinds)
            for (int64_t p = 64; p <= 1500; p += 96) {
                const int64_t q = replyLength(kind, p, c.header, c.quote, c.total);
                DirectionGroup g{kind, p, q, {}};
                // Two samples a few hundred nanoseconds apart; floors off the plane by a
                // little (alternating), as a real path's are.
                const double floor = (kind == echoKind ? 2e-3 : 2.05e-3) + f * p + r * q + (n++ % 2 ? 2e-7 : -2e-7);
                g.floors.add(floor);
                g.floors.add(floor);
                groups.push_back(g);
            }
        const DirectionFit fit = fitDirections(groups, 0.1, 3e-7);
        EXPECT_EQ(fit.forward, c.forward);
        EXPECT_EQ(fit.back, c.back);
        if (fit.forward) {
            EXPECT_NEAR(fit.f, f, 4 * fit.fStdev);
            EXPECT_LT(fit.fStdev, 0.01 * f);
        }
        if (fit.back) {
            EXPECT_NEAR(fit.r, r, 4 * fit.rStdev);
            EXPECT_LT(fit.rStdev, 0.01 * r);
            const SlopeEstimate mean = meanSlope(fit);
            EXPECT_NEAR(mean.value, (f + r) / 2, 4 * mean.stdev);
            EXPECT_LT(mean.stdev, std::max(fit.fStdev, fit.rStdev));  // F and R err in opposite ways
        }
    }
}

TEST(DirectionFit, AHeldUpSizeIsSetAsideAndTooFewGroupsTellNothing)
{
    std::vector<DirectionGroup> groups;
    for (int64_t p = 64; p <= 1500; p += 96) {
        const int64_t q = std::min<int64_t>(p + 28, 576);
        groups.push_back(groupAt(1, p, q, 1e-3 + 0.8e-6 * p + 0.8e-6 * q + (p == 736 ? 80e-6 : 0.0)));
    }
    const DirectionFit fit = fitDirections(groups, 0.1, 3e-7);
    ASSERT_TRUE(fit.back);
    EXPECT_EQ(fit.groups, static_cast<int>(groups.size()) - 1);
    EXPECT_NEAR(fit.f, 0.8e-6, 1e-9);
    EXPECT_NEAR(fit.r, 0.8e-6, 1e-9);
    // Three groups of one kind leave no freedom beyond the intercept and two slopes; one
    // sample each is too few.
    EXPECT_FALSE(fitDirections(std::span(groups).first(3), 0.1, 3e-7).forward);
    for (DirectionGroup &g : groups)
        g.floors.samples.resize(1);
    EXPECT_FALSE(fitDirections(groups, 0.1, 3e-7).forward);

    // Echoes at every size beside rate-limited errors at the two ends and two at a middle
    // size, both held up: the stray group goes, the ends stay and tell the directions.
    std::vector<DirectionGroup> sparse;
    for (int64_t p = 64; p <= 1500; p += 96)
        sparse.push_back(groupAt(0, p, p, 1e-3 + 0.8e-6 * p + 4e-6 * p + (p % 192 == 64 ? 2e-7 : -2e-7)));
    for (const int64_t p : {640, 1216, 1500})
        sparse.push_back(groupAt(1, p, 576, 1.05e-3 + 0.8e-6 * p + 4e-6 * 576 + (p == 1216 ? 150e-6 : 0.0)));
    const DirectionFit ends = fitDirections(sparse, 0.1, 3e-7);
    ASSERT_TRUE(ends.back);
    EXPECT_EQ(ends.groups, static_cast<int>(sparse.size()) - 1);
    EXPECT_NEAR(ends.f, 0.8e-6, 0.01e-6);
    EXPECT_NEAR(ends.r, 4e-6, 0.01e-6);
}
