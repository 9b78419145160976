// What the accurate mode prints: a table for people, one JSON document for programs, a
// log of every probe for offline re-analysis, and a progress line while it runs.
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
// One CSV line per probe sent, with a header; see the man page.
std::string formatProbeLog(const PreciseResult &result, const std::string &destination);

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
