// What the classic mode keeps of one sweep: the probes' target and TTL, each size's
// minimum and average, and the line through the minima. The engine makes it; the
// console and the results file write it.
#pragma once

#include <string>
#include <vector>

#include "measure/fit.h"
#include "measure/samples.h"

namespace hoprate {

struct SweepRecord {
    bool icmp = true;          // echo probes, else UDP
    std::string targetText;    // the dotted quad the probes were sent to
    int ttl = 0;
    std::vector<SizeSummary> sizes;
    LineFit fit;
    int timeoutsSoFar = 0;     // running total of the run
};

}  // namespace hoprate
