#include "support/clock.h"

#include <cerrno>
#include <ctime>

namespace hoprate {

std::optional<int64_t> queryCounterFrequency()
{
    timespec resolution{};
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0)
        return std::nullopt;
    return counterTicksPerSecond;
}

int64_t readCounter()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * counterTicksPerSecond + now.tv_nsec;
}

double elapsedSeconds(int64_t later, int64_t earlier, int64_t frequency)
{
    const auto difference = static_cast<int64_t>(static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier));
    return static_cast<double>(difference) / static_cast<double>(frequency);
}

uint32_t wholeMilliseconds(uint32_t microseconds)
{
    return microseconds / 1000u;
}

void sleepMicroseconds(uint32_t microseconds)
{
    const uint32_t milliseconds = wholeMilliseconds(microseconds);
    timespec remaining{static_cast<time_t>(milliseconds / 1000u), static_cast<long>(milliseconds % 1000u) * 1000000L};
    // A signal cuts the sleep short; sleep on for what is left.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

}  // namespace hoprate
