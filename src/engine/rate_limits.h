// Routers that limit their ICMP errors. Linux sends a burst of 6 time-exceeded messages,
// then one per icmp_ratelimit (a second by default): a router measured by TTL-limited
// probes that answers only now and then is paced to the rate at which it answered after
// its burst, and further apart while paced probes still go unanswered.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

namespace hoprate {

class RateLimitWatch {
public:
    // A probe of the hop was sent (its index in the run and its send time).
    void sent(int probe, int64_t sentAt);
    // Looks at the probes whose answer is due by now (sent answerWait or longer ago),
    // each once, answered or not, and decides whether the hop is limited and how far
    // apart its probes go. Returns true when it became limited just now.
    bool review(int64_t now, int64_t answerWait, const std::function<bool(int)> &answered);

    bool limited() const { return isLimited; }
    int64_t pacingGap() const { return pace; }  // nanoseconds between two probes; 0: not paced
    int pacedProbes() const { return paced; }  // sent since the pacing began
    void pacedSend() { ++paced; }
    // A hop that a run's log says was paced (its watch is not replayed).
    void markLimited() { isLimited = true; }

private:
    struct Pending {
        int probe;
        int64_t sentAt;
    };
    std::deque<Pending> pending;  // not yet due, in sending order
    int due = 0, answeredDue = 0;
    int64_t first = 0, last = 0;  // send times of the first and last due probes
    bool isLimited = false;
    int64_t pacedFrom = 0;        // probes sent since then count toward the pace
    int pacedDue = 0, pacedAnswered = 0;
    int64_t pace = 0;
    int paced = 0;
};

}  // namespace hoprate
