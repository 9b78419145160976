// The classic mode from start to end: start-up checks and lines in their fixed order,
// the raw socket, the privilege drop, the results file, then the run.
#pragma once

#include <string>
#include <vector>

#include "model/run_failure.h"

namespace hoprate {

// The results path of a run: "data/rtt_HOST-NAME.txt" with the local host name cut at
// its first '.', and the destination name (empty for an address).
std::string resultsPathFor(const std::string &localHost, const std::string &destinationName);

// What the start-up fixes once the raw socket is open and privileges are dropped.
struct ClassicRunFiles {
    std::string resultsPath;
    std::vector<int> sizes;
};
// Checks the local host name, fixes the results path from it and the first aim's
// destination name, parses the sizes and checks the probe count, in this order. Ends the
// run on any failure ("gethostname", "gethostbyname", "results path too long",
// "illegal datalen!", "illegal number of probes per size").
ClassicRunFiles prepareClassicRun(const std::string &destinationName, const std::vector<std::string> &sizeTexts,
                                  int iterations);

// The last start-up check: a time-out the wait cannot take ends the run with "illegal
// time-out: TEXT (a number of seconds from 0 to 2147483647)", before any probe.
void checkProbeTimeout(double seconds, const std::string &text);

// Prints a failure the way the classic mode always has (": errno N" behind a failed
// system call's message) and ends the process with status 1.
[[noreturn]] void endClassicRun(const RunFailure &failure);

// The whole classic program; returns the exit status (failures end the process).
int classicMain(int argc, char **argv);

}  // namespace hoprate
