#include "engine/reanalysis.h"

#include <vector>

#include "engine/estimator.h"
#include "engine/hop_state.h"

namespace hoprate {

PreciseResult reanalyse(const ProbeLog &log)
{
    std::vector<HopState> hops;
    hops.reserve(log.path.size());
    for (const HopRecord &record : log.path) {
        HopState state;
        state.path = record.hop;
        state.skipped = record.skipped;
        if (record.rateLimited)
            state.limits.markLimited();
        hops.push_back(std::move(state));
    }
    for (const ProbeRecord &probe : log.probes) {
        const bool ofPath = probe.hop >= 1 && static_cast<size_t>(probe.hop) <= hops.size();
        if (probe.measurement && ofPath && probe.pairFirst >= 0)
            hops[static_cast<size_t>(probe.hop - 1)].pairs.push_back(probe.pairFirst);
        fileAnswer(hops, probe);
    }
    PreciseResult result;
    result.destination = log.address;
    result.source = log.source;
    result.destinationReached = log.destinationReached;
    result.pathMtu = log.pathMtu;
    result.kernelStamps = log.kernelStamps;
    result.probesSent = log.probesSent;
    result.wallSeconds = log.wallSeconds;
    result.probes = log.probes;
    result.hops = estimateHops(hops, result.probes, log.settings);
    for (HopResult &hop : result.hops)
        if (const auto name = log.names.find(hop.hop); name != log.names.end())
            hop.name = name->second;
    result.path = log.path;
    result.complete = log.complete;
    result.startedUnixMs = log.startedUnixMs;
    result.settings = log.settings;
    return result;
}

}  // namespace hoprate
