#include "measure/capacity.h"

#include <cmath>

namespace hoprate {

CapacityEstimate linkCapacity(SlopeEstimate near, SlopeEstimate far, double systematic, double relative)
{
    constexpr double z90 = 1.6448536269514722;
    CapacityEstimate estimate;
    const double difference = far.value - near.value;
    const double proportional = relative * std::fabs(difference);
    const double sigma = std::sqrt(far.stdev * far.stdev + near.stdev * near.stdev + systematic * systematic +
                                   proportional * proportional);
    if (!std::isfinite(difference) || !std::isfinite(sigma))
        return estimate;
    const double upper = difference + z90 * sigma;
    const double lower = difference - z90 * sigma;
    if (upper <= 0)
        return estimate;  // the far hop is significantly closer than the near one
    estimate.known = true;
    estimate.low = 8.0 / upper;
    if (lower <= 0) {
        estimate.lowerBound = true;
        estimate.bitsPerSecond = estimate.low;
        return estimate;
    }
    estimate.bitsPerSecond = 8.0 / difference;
    estimate.high = 8.0 / lower;
    return estimate;
}

}  // namespace hoprate
