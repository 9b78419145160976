// Rate formatting: a value and its absolute uncertainty, scaled into one range.
#pragma once

// Room for the longest possible text: two doubles of up to 309 integer digits with
// four decimals, the separator and a prefix. No rate can be cut short.
constexpr int rateTextSize = 700;

// Formats value and value * relErr as "%.4lf +/- %.4lf P" with the prefix P chosen by
// |value| (M, K, none, m, u). Returns a shared static buffer, valid until the next call.
const char *formatRate(double value, double relErr);
