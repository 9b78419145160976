#include <cmath>
#include <cstdio>

#include "cli/run_config.h"
#include "probe/path_prober.h"

void updateRowMinimum(int &position, double **times, int row, int column, int **marks)
{
    if (position != -1 && times[row][column] >= times[row][position]) {
        // Not a new minimum: the earliest probe with the smallest value keeps the mark.
        marks[row][column] = 0;
        return;
    }
    if (position != -1)
        marks[row][position] = 0;
    position = column;
}

void PathProber::analyze()
{
    std::printf("analyze\n");
    for (int i = 0; i < sizeCount; ++i) {
        overheadAvg[i] = 0.0;
        appAvg[i] = 0.0;
        kernelAvg[i] = 0.0;
        int kernelPosition = -1;
        int appPosition = -1;
        int overheadPosition = -1;

        for (int j = 0; j < iterations; ++j) {
            overheadMinMark[i][j] = replyMark[i][j];
            kernelMinMark[i][j] = overheadMinMark[i][j];
            if (replyMark[i][j] != 0) {
                kernelRtt[i][j] = appRtt[i][j];
                overheadRtt[i][j] = appRtt[i][j] - kernelRtt[i][j];
                kernelAvg[i] += kernelRtt[i][j];
                appAvg[i] += appRtt[i][j];
                overheadAvg[i] += overheadRtt[i][j];
                updateRowMinimum(kernelPosition, kernelRtt, i, j, kernelMinMark);
                updateRowMinimum(appPosition, appRtt, i, j, replyMark);
                updateRowMinimum(overheadPosition, overheadRtt, i, j, overheadMinMark);
            } else {
                appRtt[i][j] = -1.0;
                kernelRtt[i][j] = -1.0;
                overheadRtt[i][j] = -1.0;
            }
        }

        if (kernelPosition == -1) {
            // Every probe of this size timed out: no minimum and no average exist. NaN
            // marks both, keeps the size out of the fit and reads "nan" in the file.
            kernelAvg[i] = appAvg[i] = overheadAvg[i] = NAN;
            minRtt[i] = NAN;
        } else {
            const double replies = static_cast<double>(replyCount[i]);
            kernelAvg[i] /= replies;
            appAvg[i] /= replies;
            overheadAvg[i] /= replies;
            minRtt[i] = kernelRtt[i][kernelPosition];
        }
        replyCount[i] = 0;

        if (verbose)
            std::printf("t_k_min at [%d][%d],\tt_a_min at [%d][%d]\n", i, kernelPosition, i, appPosition);
    }
    fitLine();
    writeResults();
}
