// A run analysed again from its probe log: the hops rebuilt from the path as probed, every
// answer filed with its hop as the engine filed it (fileAnswer), and the same estimator
// (estimateHops) over them. Pure: the log in, the result out.
#pragma once

#include "model/precise_result.h"
#include "output/probe_log.h"

namespace hoprate {

// The result the run had: hops, capacities and intervals alike, the run's own figures
// (probes sent, wall time, stamps) as logged.
PreciseResult reanalyse(const ProbeLog &log);

}  // namespace hoprate
