// The hops' host names: each distinct address looked up once, all at once; a look-up not
// back by the deadline is left out and abandoned without harm; look-ups get no signals.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "cli/hop_names.h"
#include "precise_samples.h"

using namespace hoprate;

namespace {

using namespace std::chrono_literals;

TEST(HopNames, EachAddressOnceAndOnlyTheNamesFound)
{
    std::vector<HopResult> hops = {
        sampleHop(1, HopMethod::EchoRouter, 1, 1, 1), sampleHop(2, HopMethod::Silent, 0, 1, 0),
        sampleHop(3, HopMethod::TtlLimited, 1, 1, 1), sampleHop(4, HopMethod::EchoRouter, 1, 1, 1),
        sampleHop(5, HopMethod::Destination, 1, 1, 1)};
    hops[3].address = hops[0].address;  // one router at two TTLs
    const auto asked = std::make_shared<std::atomic<int>>(0);
    const IpAddress unnamed = *hops[2].address, empty = *hops[4].address;
    nameHops(hops, 10s, [asked, unnamed, empty](const IpAddress &a) -> std::optional<std::string> {
        ++*asked;
        if (a == unnamed)
            return std::nullopt;
        if (a == empty)
            return "";
        return "r" + std::to_string(a.bytes[2]) + ".example";
    });
    EXPECT_EQ(*asked, 3);
    EXPECT_EQ(hops[0].name, "r1.example");
    EXPECT_FALSE(hops[1].name.has_value());  // silent: nothing to look up
    EXPECT_FALSE(hops[2].name.has_value());
    EXPECT_EQ(hops[3].name, "r1.example");
    EXPECT_FALSE(hops[4].name.has_value());

    // Nothing to look up, or no time for it: no look-up is started.
    const NameLookup counted = [asked](const IpAddress &) -> std::optional<std::string> {
        ++*asked;
        return "x";
    };
    EXPECT_TRUE(lookUpNames({}, 10s, counted).empty());
    EXPECT_TRUE(lookUpNames({*hops[0].address}, 0ms, counted).empty());
    EXPECT_EQ(*asked, 3);
}

TEST(HopNames, ALookUpPastTheDeadlineIsLeftOutAndEndsHarmlessly)
{
    // Router 2's look-up hangs until released after the call: its name must not appear,
    // the call must return, and the look-up must end later without touching the caller's
    // (a sanitized build would report a write into freed memory).
    struct Gate {
        std::promise<void> release;
        std::shared_future<void> released = release.get_future().share();
        std::promise<void> ended;
    };
    const auto gate = std::make_shared<Gate>();
    const IpAddress slow = sampleAddress(10, 0, 2, 1);
    const std::vector<IpAddress> addresses = {sampleAddress(10, 0, 1, 1), slow, sampleAddress(10, 0, 3, 1)};
    const std::map<IpAddress, std::string> names =
        lookUpNames(addresses, 200ms, [gate, slow](const IpAddress &a) -> std::optional<std::string> {
            if (a != slow)
                return "fast.example";
            gate->released.wait_for(30s);  // bounded: a call that waited for it fails, not hangs
            gate->ended.set_value();
            return "slow.example";
        });
    EXPECT_EQ(names,
              (std::map<IpAddress, std::string>{{addresses[0], "fast.example"}, {addresses[2], "fast.example"}}));
    std::future<void> ended = gate->ended.get_future();
    gate->release.set_value();
    EXPECT_EQ(ended.wait_for(30s), std::future_status::ready);
}

TEST(HopNames, LookUpsRunWithEverySignalBlocked)
{
    // A signal for the program (an interrupt) must reach the thread that waits, not a look-up.
    sigset_t none;
    sigemptyset(&none);
    sigset_t before;
    pthread_sigmask(SIG_SETMASK, &none, &before);
    const std::map<IpAddress, std::string> names =
        lookUpNames({sampleAddress(10, 0, 1, 1)}, 10s, [](const IpAddress &) -> std::optional<std::string> {
            sigset_t mask;
            pthread_sigmask(SIG_BLOCK, nullptr, &mask);
            return sigismember(&mask, SIGINT) == 1 && sigismember(&mask, SIGTERM) == 1 ? "blocked" : "open";
        });
    sigset_t after;
    pthread_sigmask(SIG_SETMASK, &before, &after);
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names.begin()->second, "blocked");
    EXPECT_EQ(sigismember(&after, SIGINT), 0);  // the caller's own mask is as it was
}

}  // namespace
