#include "engine/rate_limits.h"

#include <algorithm>

namespace hoprate {

namespace {

constexpr int64_t second = 1000000000;
constexpr double limitedShare = 0.25;  // lost probes that mean a rate limit
constexpr int linuxBurst = 6;          // answered at once before the limit holds

}  // namespace

void RateLimitWatch::sent(int probe, int64_t sentAt)
{
    pending.push_back(Pending{probe, sentAt});
}

bool RateLimitWatch::review(int64_t now, int64_t answerWait, const std::function<bool(int)> &answered)
{
    while (!pending.empty() && pending.front().sentAt <= now - answerWait) {
        const Pending p = pending.front();
        pending.pop_front();
        const bool yes = answered(p.probe);
        first = due == 0 ? p.sentAt : first;
        last = p.sentAt;
        ++due;
        answeredDue += yes ? 1 : 0;
        if (isLimited && p.sentAt >= pacedFrom) {
            ++pacedDue;
            pacedAnswered += yes ? 1 : 0;
        }
    }
    if (!isLimited) {
        if (due < 8 || due - answeredDue < limitedShare * due)
            return false;
        // Spaced to the rate it answered at after its burst: a second, Linux's own, when
        // that cannot be told.
        isLimited = true;
        pacedFrom = now;
        paced = 0;
        pace = second;
        const double span = static_cast<double>(last - first) / 1e9;
        if (answeredDue > linuxBurst && span > 0)
            pace = std::clamp<int64_t>(static_cast<int64_t>(1.1e9 * span / (answeredDue - linuxBurst)), second / 20,
                                       8 * second);
        return true;
    }
    if (pacedDue >= 4 && pacedDue - pacedAnswered > 0.1 * pacedDue && pace < 8 * second) {
        pace = std::min<int64_t>(8 * second, pace * 3 / 2);
        pacedFrom = now;
        pacedDue = 0;
        pacedAnswered = 0;
    }
    return false;
}

}  // namespace hoprate
