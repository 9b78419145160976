#include "analyse.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "engine/reanalysis.h"
#include "output/precise_report.h"
#include "output/probe_log_reader.h"
#include "results_reader.h"

namespace hoprate {

ProbeLog readProbeLog(LineSource &lines, const std::string &fileName, int probeLimit)
{
    ProbeLogReader reader(probeLimit);
    int number = 0;
    std::string line;
    bool terminated = false;
    try {
        for (;;) {
            const LineStatus status = lines.next(line, terminated);
            if (status == LineStatus::TooLong)
                throw ReportError(fileName, number + 1, "line longer than " + std::to_string(maxLineBytes) + " bytes");
            if (status == LineStatus::ReadError)
                throw ReportError(fileName, 0, std::string("read error: ") + std::strerror(errno));
            if (status == LineStatus::End)
                return reader.finish();
            ++number;
            reader.take(line);
        }
    } catch (const ProbeLogError &refusal) {
        throw ReportError(fileName, refusal.line, refusal.reason);
    }
}

ProbeLog readProbeLogFile(const std::string &fileName)
{
    FILE *file = std::fopen(fileName.c_str(), "rb");
    if (file == nullptr)
        throw ReportError(fileName, 0, std::string("cannot open: ") + std::strerror(errno));
    const std::unique_ptr<FILE, int (*)(FILE *)> closer(file, std::fclose);
    FileLines lines(file);
    return readProbeLog(lines, fileName);
}

std::string analyseProbeLog(const ProbeLog &log, bool json)
{
    const PreciseResult result = reanalyse(log);
    return json ? formatPreciseJson(result, log.destination) : formatPreciseTable(result, log.destination);
}

}  // namespace hoprate
