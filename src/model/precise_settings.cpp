#include "model/precise_settings.h"

#include <algorithm>

namespace hoprate {

PreciseSettings effectiveSettings(PreciseSettings chosen)
{
    chosen.probeSizes = std::max(chosen.probeSizes, 3);
    chosen.budget = std::max(chosen.budget, chosen.probeSizes * 2);
    return chosen;
}

}  // namespace hoprate
