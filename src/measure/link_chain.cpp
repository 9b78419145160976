#include "measure/link_chain.h"

#include <algorithm>

namespace hoprate {

std::vector<std::optional<ChainLink>> linkChain(std::span<const std::optional<SlopeEstimate>> slopes,
                                                double systematic, double relative)
{
    std::vector<std::optional<ChainLink>> links(slopes.size());
    int near = -1;
    for (size_t i = 0; i < slopes.size(); ++i) {
        if (!slopes[i])
            continue;
        const SlopeEstimate base = near < 0 ? SlopeEstimate{0, 0} : *slopes[static_cast<size_t>(near)];
        links[i] = ChainLink{near, linkCapacity(base, *slopes[i], systematic, relative)};
        near = static_cast<int>(i);
    }
    return links;
}

std::optional<double> slowestStep(std::span<const std::optional<double>> slopes)
{
    double slowest = 0;
    double near = 0;
    for (const std::optional<double> &slope : slopes) {
        if (!slope)
            return std::nullopt;
        slowest = std::max(slowest, *slope - near);
        near = *slope;
    }
    if (slowest <= 0)
        return std::nullopt;
    return slowest;
}

double medianPairRate(std::vector<double> rates)
{
    if (rates.size() < 3)
        return 0;
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

}  // namespace hoprate
