// The high-resolution clock: a monotonic tick counter read as a signed 64-bit value.
#pragma once

#include <cstdint>

// Ticks per second of the counter; set once by checkClock.
extern int64_t counterFrequency;

// Queries the counter's frequency and prints the frequency line; 0 when a
// high-resolution counter exists, -1 (after its own message) when it does not.
int checkClock();
// Stores the current counter value at location (8 bytes, least significant first,
// any alignment: the location may lie inside a packet buffer).
void readCounter(void *location);
// Seconds from the earlier to the later counter value; negative when later < earlier.
double elapsedSeconds(int64_t later, int64_t earlier);
// Pauses for microseconds / 1000 whole milliseconds (the quotient truncated).
void sleepMicroseconds(uint32_t microseconds);

// The frequency line for a given frequency, written into out (at least 96 bytes).
void formatFrequencyLine(char *out, int outSize, int64_t frequency);
// The whole milliseconds sleepMicroseconds pauses for.
uint32_t sleepMilliseconds(uint32_t microseconds);
