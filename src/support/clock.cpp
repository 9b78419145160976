#include "support/clock.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

int64_t counterFrequency = 0;

namespace {

constexpr int64_t nanosecondsPerSecond = 1000000000;

}  // namespace

void formatFrequencyLine(char *out, int outSize, int64_t frequency)
{
    const auto bits = static_cast<uint64_t>(frequency);
    std::snprintf(out, static_cast<size_t>(outSize),
                  "high resolution timer supported, frequency = (%d,%u)\n",
                  static_cast<int32_t>(static_cast<uint32_t>(bits >> 32)),
                  static_cast<uint32_t>(bits & 0xFFFFFFFFu));
}

int checkClock()
{
    timespec resolution{};
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0) {
        std::printf("this machine doesn't support high resolution timer!\n");
        return -1;
    }
    // The counter is read in nanoseconds, so it ticks 10^9 times a second.
    counterFrequency = nanosecondsPerSecond;
    char line[128];
    formatFrequencyLine(line, sizeof line, counterFrequency);
    std::fputs(line, stdout);
    return 0;
}

void readCounter(void *location)
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t ticks = static_cast<int64_t>(now.tv_sec) * nanosecondsPerSecond + now.tv_nsec;
    auto *bytes = static_cast<unsigned char *>(location);
    const auto bits = static_cast<uint64_t>(ticks);
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
}

double elapsedSeconds(int64_t later, int64_t earlier)
{
    // Wrapping subtraction: an echoed counter value comes from the network and may be anything.
    const auto difference = static_cast<int64_t>(static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier));
    return static_cast<double>(difference) / static_cast<double>(counterFrequency);
}

uint32_t sleepMilliseconds(uint32_t microseconds)
{
    return microseconds / 1000u;
}

void sleepMicroseconds(uint32_t microseconds)
{
    const uint32_t milliseconds = sleepMilliseconds(microseconds);
    timespec remaining{static_cast<time_t>(milliseconds / 1000u),
                       static_cast<long>(milliseconds % 1000u) * 1000000L};
    // A signal cuts the sleep short; sleep on for what is left.
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}
