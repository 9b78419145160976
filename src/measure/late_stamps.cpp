#include "measure/late_stamps.h"

#include <algorithm>

namespace hoprate {

bool LateStampFilter::late(int64_t delay, int64_t idle)
{
    const size_t k = idle < 1000000 ? 0 : idle < 10000000 ? 1 : idle < 100000000 ? 2 : 3;
    Kind &kind = kinds[k];
    if (kind.delays.size() < window)
        kind.delays.push_back(delay);
    else
        kind.delays[kind.seen % window] = delay;
    ++kind.seen;
    // Renewed with every one of the first stamps of a kind, then every 16th.
    if (kind.seen <= 16 || kind.seen % 16 == 0) {
        std::vector<int64_t> copy = kind.delays;
        const auto middle = copy.begin() + static_cast<long>(copy.size() / 2);
        std::nth_element(copy.begin(), middle, copy.end());
        kind.usual = *middle;
    }
    return delay > kind.usual + tolerance;
}

}  // namespace hoprate
