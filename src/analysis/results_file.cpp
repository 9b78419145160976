#include <cstdio>

#include "probe/path_prober.h"
#include "support/diagnostics.h"

void writeValueRow(FILE *stream, const double *values, int count)
{
    for (int k = 0; k < count; ++k)
        std::fprintf(stream, k == count - 1 ? "%lf\n" : "%lf\t", values[k] * 1000.0);
}

void writeMarkedRow(FILE *stream, double **matrix, int **marks, int rows, int columns)
{
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            if (marks[r][c] != 0) {
                std::fprintf(stream, "%lf", matrix[r][c] * 1000.0);
                break;
            }
        }
        std::fputs(r == rows - 1 ? "\n" : "\t", stream);
    }
}

void PathProber::writeResults()
{
    FILE *file = nullptr;
    if (firstReport != 0) {
        file = std::fopen(reportPath, "w");
        firstReport = 0;
    } else {
        file = std::fopen(reportPath, "a");
    }
    if (file == nullptr)
        fatalSystemError("fopen: %s", reportPath);

    std::fprintf(file, "%s to %s, ttl=%d\n", useIcmp ? "icmp" : "udp", targetAddrText, ttl);
    std::fputs("t_kernel_min:\t", file);
    writeMarkedRow(file, kernelRtt, kernelMinMark, sizeCount, iterations);
    std::fputs("t_app_min:\t", file);
    writeMarkedRow(file, appRtt, replyMark, sizeCount, iterations);
    std::fputs("t_overhead_min:\t", file);
    writeMarkedRow(file, overheadRtt, overheadMinMark, sizeCount, iterations);
    std::fputs("t_kernel_avg:\t", file);
    writeValueRow(file, kernelAvg, sizeCount);
    std::fputs("t_app_avg:\t", file);
    writeValueRow(file, appAvg, sizeCount);
    std::fprintf(file, "slope=%e, stdev=%e;\nintercept=%e, stdev=%e.\n", slope,
                 slope * slopeRelErr / 1.645, intercept, intercept * interceptRelErr / 1.645);
    std::fprintf(file, "# of timeouts = %d\n\n", timeoutCount);
    std::fclose(file);
}
