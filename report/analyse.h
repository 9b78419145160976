// hoprate-report --analyse: the probe logs of hoprate --precise --save read back (the core's
// ProbeLogReader, line by line; the runs toward several destinations write theirs one
// after another into one file) and analysed again by the core's own estimator.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "line_source.h"
#include "model/precise_result.h"
#include "output/probe_log.h"

namespace hoprate {

// No file holds more logs (hoprate measures at most 10000 destinations in one run).
constexpr int maxProbeLogs = 10000;

// A run analysed again, without its probes: what its table and document need.
struct AnalysedRun {
    std::string destination;
    PreciseResult result;
};

// Hands every log of the input to `take` as soon as it is whole (at most probeLimit rows
// each). Throws ReportError naming the file and the line at fault (line 0 when it cannot
// be read), also for a file that holds no log.
void readProbeLogs(LineSource &lines, const std::string &fileName, const std::function<void(ProbeLog &&)> &take,
                   int probeLimit = maxLoggedProbes);

// Every log of the input analysed again. Throws ReportError.
std::vector<AnalysedRun> analyseProbeLogs(LineSource &lines, const std::string &fileName);
std::vector<AnalysedRun> analyseProbeLogFile(const std::string &fileName);

// What hoprate --precise printed: the tables, separated by a blank line, or with json the
// documents (one per line, JSON Lines, when there are several).
std::string formatAnalysedRuns(const std::vector<AnalysedRun> &runs, bool json);

}  // namespace hoprate
