// The classic command line: hoprate [-v] [-d] [-i n] [-o t] [-s sizes] -t ttl host.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace hoprate {

struct ClassicOptions {
    bool verbose = false;                                  // -v
    bool dFlag = false;                                    // -d: accepted, no effect
    int iterations = 25;                                   // -i, atoi
    int ttl = -1;                                          // -t, atoi; -1: no -t given
    double probeTimeout = 5.0;                             // -o, atof, seconds
    std::string probeTimeoutText;                          // -o as given; empty without -o
    std::optional<std::vector<std::string>> sizeTexts;     // -s split at commas; nothing: the default set
    std::optional<std::string> destination;                // the first operand; nothing when missing or empty
};

// The built-in probe sizes, as text.
inline constexpr std::array<const char *, 7> defaultSizes = {"254", "454", "654", "854", "1054", "1254", "1454"};

extern const char classicUsageText[];

// Reads the options with getopt ("vdi:o:s:t:", operands permuted unless POSIXLY_CORRECT
// is set). Nothing when getopt complained (it has printed its own message).
std::optional<ClassicOptions> parseClassicOptions(int argc, char **argv);

// The largest time-out in seconds: the wait is counted in whole seconds of an int.
constexpr double maxProbeTimeout = 2147483647.0;
// True for a time-out the wait can take: a number of seconds from 0 to maxProbeTimeout
// (so neither negative nor NaN nor infinite).
bool validProbeTimeout(double seconds);

// Splits text at commas as strtok does: runs of commas are one separator, leading and
// trailing commas give no entry, entries are not trimmed.
std::vector<std::string> splitCommaList(const std::string &text);

// Probe sizes from their texts: each scanned with "%d" (leading blanks and a sign
// accepted, anything after the digits ignored) and within 0..14992 bytes. Nothing as
// soon as one is not.
std::optional<std::vector<int>> parseProbeSizes(const std::vector<std::string> &texts);

}  // namespace hoprate
