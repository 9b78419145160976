#include "measure/samples.h"

#include <cmath>

namespace hoprate {

SizeSummary summarize(const SizeSamples &samples)
{
    SizeSummary summary;
    double sum = 0.0;
    for (size_t j = 0; j < samples.size(); ++j) {
        if (!samples[j])
            continue;
        const double rtt = *samples[j];
        sum += rtt;
        ++summary.replies;
        // A later time equal to the smallest so far does not replace it.
        if (!summary.minimumAt || rtt < *samples[*summary.minimumAt])
            summary.minimumAt = j;
    }
    if (!summary.minimumAt) {
        summary.minimum = NAN;
        summary.average = NAN;
    } else {
        summary.minimum = *samples[*summary.minimumAt];
        summary.average = sum / static_cast<double>(summary.replies);
    }
    return summary;
}

std::vector<double> minimaOf(const std::vector<SizeSummary> &summaries)
{
    std::vector<double> minima;
    minima.reserve(summaries.size());
    for (const SizeSummary &s : summaries)
        minima.push_back(s.minimum);
    return minima;
}

}  // namespace hoprate
