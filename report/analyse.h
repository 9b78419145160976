// hoprate-report --analyse: a probe log of hoprate --precise --save read back (the core's
// ProbeLogReader, line by line) and analysed again by the core's own estimator.
#pragma once

#include <string>

#include "line_source.h"
#include "output/probe_log.h"

namespace hoprate {

// Throws ReportError naming the file and the line at fault (line 0 when it cannot be read).
// probeLimit: the rows taken at most.
ProbeLog readProbeLog(LineSource &lines, const std::string &fileName, int probeLimit = maxLoggedProbes);
ProbeLog readProbeLogFile(const std::string &fileName);

// The run's table, or with json its JSON document, as hoprate --precise printed them.
std::string analyseProbeLog(const ProbeLog &log, bool json);

}  // namespace hoprate
