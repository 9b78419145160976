#include "output/results_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "support/files.h"

namespace hoprate {

namespace {

std::string milliseconds(double seconds)
{
    char text[512];
    std::snprintf(text, sizeof text, "%lf", seconds * 1000.0);
    return text;
}

// One field per size: the value of the size's chosen probe, or nothing without one.
std::string markedRow(const std::vector<SizeSummary> &sizes, bool overhead)
{
    std::string row;
    for (size_t i = 0; i < sizes.size(); ++i) {
        // The overhead view (application time less kernel time) is 0 for every reply.
        if (sizes[i].minimumAt)
            row += milliseconds(overhead ? 0.0 : sizes[i].minimum);
        row += i + 1 == sizes.size() ? "\n" : "\t";
    }
    return row;
}

}  // namespace

std::string valueRow(const std::vector<double> &seconds)
{
    std::string row;
    for (size_t k = 0; k < seconds.size(); ++k)
        row += milliseconds(seconds[k]) + (k + 1 == seconds.size() ? "\n" : "\t");
    return row;
}

std::string formatBlock(const SweepRecord &record)
{
    std::vector<double> averages;
    for (const SizeSummary &s : record.sizes)
        averages.push_back(s.average);
    std::string block = std::string(record.icmp ? "icmp" : "udp") + " to " + record.targetText +
                        ", ttl=" + std::to_string(record.ttl) + "\n";
    block += "t_kernel_min:\t" + markedRow(record.sizes, false);
    block += "t_app_min:\t" + markedRow(record.sizes, false);
    block += "t_overhead_min:\t" + markedRow(record.sizes, true);
    block += "t_kernel_avg:\t" + valueRow(averages);
    block += "t_app_avg:\t" + valueRow(averages);
    const LineFit &f = record.fit;
    char figures[1024];
    std::snprintf(figures, sizeof figures, "slope=%e, stdev=%e;\nintercept=%e, stdev=%e.\n# of timeouts = %d\n\n",
                  f.slope, f.slope * f.slopeRelErr / 1.645, f.intercept, f.intercept * f.interceptRelErr / 1.645,
                  record.timeoutsSoFar);
    return block + figures;
}

ResultsFile::ResultsFile(std::string path) : filePath(std::move(path))
{
}

void ResultsFile::append(const SweepRecord &record)
{
    // A symbolic link in the file's place is refused (ELOOP): the path is fixed and data/
    // may be writable for others, so a link planted there must not redirect the writes.
    const int descriptor = openForWriting(filePath, !first);
    first = false;
    if (descriptor < 0)
        throw RunFailure("fopen: " + filePath, errno);
    FILE *file = fdopen(descriptor, "w");
    if (file == nullptr) {
        const int error = errno;
        close(descriptor);
        throw RunFailure("fopen: " + filePath, error);
    }
    // A block cut short by a full disk or a failing device must not pass for a complete
    // run: every step of the write is checked, the close too (it may be the first to fail).
    const std::string block = formatBlock(record);
    const bool written = std::fwrite(block.data(), 1, block.size(), file) == block.size() && std::fflush(file) == 0;
    const int error = errno;
    if (std::fclose(file) != 0 || !written)
        throw RunFailure("write: " + filePath, written ? errno : error);
}

}  // namespace hoprate
