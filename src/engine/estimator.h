// The figures of every hop at the end of a run: the line through its floors, the link
// that ends there (walked along the chain of measured hops, with the systematic terms),
// links merged across silent hops, other responders, and links that packet pairs show to
// hold hidden store-and-forward devices.
#pragma once

#include <span>
#include <vector>

#include "engine/hop_state.h"
#include "model/precise_result.h"
#include "model/precise_settings.h"

namespace hoprate {

FloorFit hopFit(const HopState &hop, const PreciseSettings &settings, int minimumCount = 2);
SlopeEstimate hopSlope(const HopState &hop, const PreciseSettings &settings);

std::vector<HopResult> estimateHops(std::span<const HopState> hops, std::span<const ProbeRecord> probes,
                                    const PreciseSettings &settings);

}  // namespace hoprate
