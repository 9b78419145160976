#include "analyse.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "engine/reanalysis.h"
#include "output/precise_report.h"
#include "output/probe_log_reader.h"
#include "results_reader.h"

namespace hoprate {

void readProbeLogs(LineSource &lines, const std::string &fileName, const std::function<void(ProbeLog &&)> &take,
                   int probeLimit)
{
    std::optional<ProbeLogReader> reader;
    int number = 0;     // of the line last read
    int firstLine = 1;  // of the log being read
    int logs = 0;
    std::string line;
    bool terminated = false;
    try {
        for (;;) {
            if (!nextLine(lines, fileName, number, line, terminated))
                break;
            ++number;
            if (reader && reader->ended() && startsProbeLog(line)) {
                take(reader->finish());
                reader.reset();
            }
            if (!reader) {
                if (++logs > maxProbeLogs)
                    throw ReportError(fileName, number, "more than " + std::to_string(maxProbeLogs) + " probe logs");
                reader.emplace(probeLimit);
                firstLine = number;
            }
            reader->take(line);
        }
        if (!reader)
            reader.emplace(probeLimit);  // refuses the empty file
        take(reader->finish());
    } catch (const ProbeLogError &refusal) {
        throw ReportError(fileName, firstLine - 1 + refusal.line, refusal.reason);
    }
}

std::vector<AnalysedRun> analyseProbeLogs(LineSource &lines, const std::string &fileName)
{
    std::vector<AnalysedRun> runs;
    readProbeLogs(lines, fileName, [&](ProbeLog &&log) {
        AnalysedRun run{std::move(log.destination), reanalyse(log)};
        // The table and the document need the hops, not every probe.
        run.result.probes = {};
        run.result.path = {};
        runs.push_back(std::move(run));
    });
    return runs;
}

std::vector<AnalysedRun> analyseProbeLogFile(const std::string &fileName)
{
    FILE *file = std::fopen(fileName.c_str(), "rb");
    if (file == nullptr)
        throw ReportError(fileName, 0, std::string("cannot open: ") + std::strerror(errno));
    const std::unique_ptr<FILE, int (*)(FILE *)> closer(file, std::fclose);
    FileLines lines(file);
    return analyseProbeLogs(lines, fileName);
}

std::string formatAnalysedRuns(const std::vector<AnalysedRun> &runs, bool json)
{
    std::string out;
    for (size_t i = 0; i < runs.size(); ++i)
        out += json ? formatPreciseJson(runs[i].result, runs[i].destination, runs.size() > 1)
                    : (i > 0 ? "\n" : "") + formatPreciseTable(runs[i].result, runs[i].destination);
    return out;
}

}  // namespace hoprate
