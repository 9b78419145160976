// Destinations from a file (--targets FILE, "-" for standard input): one per line, blank
// lines skipped, '#' starting a comment. Read whole before the first probe, so that a bad
// line is told before anything is measured.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "cli/precise_options.h"

namespace hoprate {

struct TargetList {
    std::vector<std::string> destinations;
    std::string error;  // "NAME:LINE: complaint" or "NAME: complaint"; empty: read
};

constexpr size_t longestTargetLine = 1024;
constexpr size_t mostTargets = 10000;

// The destinations in the text, each checked as one on the command line would be.
TargetList parseTargets(std::string_view text, const std::string &name, const PreciseOptions &options);
// Reads the file (at most mostTargets lines of at most longestTargetLine bytes) and parses it.
TargetList readTargets(const std::string &path, const PreciseOptions &options);

}  // namespace hoprate
