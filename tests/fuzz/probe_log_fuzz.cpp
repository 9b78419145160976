// libFuzzer target for the probe log's reader and the analysis of what it accepts. An
// input is the text of a log; its lines (split at each '\n') go to a ProbeLogReader, at
// most 1000 probes taken. What the reader refuses must be refused with a line within the
// input (or the one after its last). What it accepts is analysed again (reanalyse), its
// table and JSON document are made, and its log written anew must read back to the same
// log: the writer and the reader agree on every field they take.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/reanalysis.h"
#include "output/precise_report.h"
#include "output/probe_log.h"
#include "output/probe_log_reader.h"

using namespace hoprate;

namespace {

constexpr int probeLimit = 1000;

// The log of the text, or nothing when refused; refusals must name a line of the text.
bool readLog(std::string_view text, ProbeLog &log)
{
    ProbeLogReader reader(probeLimit);
    int lines = 0;
    try {
        for (size_t at = 0; at < text.size();) {
            const size_t end = text.find('\n', at);
            const size_t stop = end == std::string_view::npos ? text.size() : end;
            ++lines;
            reader.take(text.substr(at, stop - at));
            at = stop + 1;
        }
        log = reader.finish();
        return true;
    } catch (const ProbeLogError &e) {
        if (e.line < 1 || e.line > lines + 1)
            std::abort();
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    ProbeLog log;
    if (!readLog(text, log))
        return 0;
    const PreciseResult result = reanalyse(log);
    (void)formatPreciseTable(result, log.destination);
    (void)formatPreciseJson(result, log.destination);
    const std::string again = formatProbeLog(result, log.destination, log.settings);
    ProbeLog back;
    if (!readLog(again, back) || formatProbeLog(reanalyse(back), back.destination, back.settings) != again)
        std::abort();
    return 0;
}
