// The hops' host names, for the accurate mode's writers.
#pragma once

#include <chrono>
#include <vector>

#include "model/precise_result.h"
#include "net/host_names.h"

namespace hoprate {

// Gives every hop with an address the name the look-up finds for it within `within` (all
// hops at once, each address once); a hop whose name is not back by then keeps none.
void nameHops(std::vector<HopResult> &hops, std::chrono::milliseconds within, const NameLookup &lookup = reverseName);

}  // namespace hoprate
