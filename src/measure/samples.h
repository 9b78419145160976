// The round-trip times of one probe size in one sweep, and what a sweep keeps of them:
// the smallest time (the value fitted) and the average.
#pragma once

#include <optional>
#include <vector>

namespace hoprate {

// One entry per probe sent, in sending order: its round-trip time in seconds, or nothing
// when it got no reply.
using SizeSamples = std::vector<std::optional<double>>;

struct SizeSummary {
    std::optional<size_t> minimumAt;  // the earliest probe with the smallest time
    double minimum = 0;               // seconds; NaN when no probe got a reply
    double average = 0;               // over the probes that got a reply; NaN when none did
    int replies = 0;
};

SizeSummary summarize(const SizeSamples &samples);

// The minima of a sweep in size order (NaN where a size got no reply).
std::vector<double> minimaOf(const std::vector<SizeSummary> &summaries);

}  // namespace hoprate
