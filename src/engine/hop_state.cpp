#include "engine/hop_state.h"

#include <algorithm>

namespace hoprate {

void HopState::addSample(int64_t bytes, double rtt)
{
    auto group = std::find_if(groups.begin(), groups.end(), [&](const FloorGroup &g) { return g.bytes >= bytes; });
    if (group == groups.end() || group->bytes != bytes) {
        group = groups.insert(group, FloorGroup{});
        group->bytes = bytes;
    }
    group->add(rtt);
    minRtt = std::min(minRtt, rtt);
}

}  // namespace hoprate
