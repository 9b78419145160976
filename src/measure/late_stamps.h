// Kernel send stamps taken late. The kernel stamps a packet as it leaves, but now and
// then the stamp is taken after the packet has gone: the round trip then looks short by
// as much, and a floor built on it reads low. A stamp is judged by its delay after the
// program's own clock read before the send, against the delays usual for probes sent the
// same way: how long the host idled before the send decides how fast its send path
// wakes (back to back, a few tens of microseconds; after a second's pause, often twice
// that), so each kind of send has its own usual delay.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace hoprate {

class LateStampFilter {
public:
    // tolerance: nanoseconds beyond the usual delay that a stamp may come.
    explicit LateStampFilter(int64_t toleranceNs) : tolerance(toleranceNs) {}

    // Takes the stamp delay of a probe sent `idle` nanoseconds after the previous one and
    // says whether it came late. The usual delay of its kind is the median of the last
    // delays of that kind, renewed as they come.
    bool late(int64_t delay, int64_t idle);

private:
    static constexpr std::size_t window = 256;  // delays remembered per kind
    struct Kind {
        std::vector<int64_t> delays;  // a ring of the last `window`
        std::size_t seen = 0;
        int64_t usual = 0;
    };
    int64_t tolerance;
    std::array<Kind, 4> kinds;  // idle below 1 ms, 10 ms, 100 ms, and longer
};

}  // namespace hoprate
