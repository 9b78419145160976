// The high-resolution clock: CLOCK_MONOTONIC read as a signed 64-bit count of
// nanoseconds. Only differences of two readings mean anything.
#pragma once

#include <cstdint>
#include <optional>

namespace hoprate {

// Ticks per second of the counter that readCounter returns.
constexpr int64_t counterTicksPerSecond = 1000000000;

// The counter's frequency, or nothing when the host has no high-resolution counter.
std::optional<int64_t> queryCounterFrequency();
// The counter now.
int64_t readCounter();
// Seconds from the earlier to the later counter value at the given frequency; negative
// when later < earlier. The subtraction wraps, since a counter value may come from the
// network.
double elapsedSeconds(int64_t later, int64_t earlier, int64_t frequency);
// Pauses for microseconds / 1000 whole milliseconds (the quotient truncated).
void sleepMicroseconds(uint32_t microseconds);
// The whole milliseconds in a number of microseconds: what sleepMicroseconds pauses for.
uint32_t wholeMilliseconds(uint32_t microseconds);

}  // namespace hoprate
