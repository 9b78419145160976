// What the accurate mode prints: a table for people, one JSON document for programs, and
// a progress line while it runs (the log of every probe: probe_log.h).
#pragma once

#include <cstdio>
#include <string>

#include "model/precise_result.h"

namespace hoprate {

// A rate with five significant digits and its unit: "9.9987 Mb/s".
std::string formatBitsPerSecond(double bps);

std::string formatPreciseTable(const PreciseResult &result, const std::string &destination);
// The document (with a final newline); laid out as docs/precise.schema.json says.
std::string formatPreciseJson(const PreciseResult &result, const std::string &destination, bool oneLine = false);

// The progress line on standard error, rewritten in place; only on a terminal.
class ProgressLine {
public:
    explicit ProgressLine(bool onTerminal) : enabled(onTerminal) {}
    ~ProgressLine() { finish(); }
    void show(const PreciseProgress &progress);
    void finish();

private:
    bool enabled;
    size_t shown = 0;
};

}  // namespace hoprate
