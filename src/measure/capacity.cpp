#include "measure/capacity.h"

#include <cmath>

#include "measure/floor_fit.h"

namespace hoprate {

CapacityEstimate linkCapacity(SlopeEstimate near, SlopeEstimate far, double systematic, double relative)
{
    CapacityEstimate estimate;
    const double difference = far.value - near.value;
    const double proportional = relative * std::fabs(difference);
    const double sigma = std::sqrt(far.stdev * far.stdev + near.stdev * near.stdev + systematic * systematic +
                                   proportional * proportional);
    if (!std::isfinite(difference) || !std::isfinite(sigma))
        return estimate;
    const double upper = difference + normalQuantile90 * sigma;
    const double lower = difference - normalQuantile90 * sigma;
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

bool readingsApart(const CapacityEstimate &a, const CapacityEstimate &b)
{
    if (!a.known || !b.known || a.lowerBound || b.lowerBound)
        return false;
    const CapacityEstimate &slower = a.bitsPerSecond <= b.bitsPerSecond ? a : b;
    const CapacityEstimate &faster = &slower == &a ? b : a;
    return slower.bitsPerSecond + 2 * (slower.high - slower.bitsPerSecond) <
           faster.bitsPerSecond - 2 * (faster.bitsPerSecond - faster.low);
}

}  // namespace hoprate
