// The forms of a report: a table for people, JSON and CSV for programs, and an SVG
// plot of minimum round-trip time against probe size with every sweep's fitted line.
#pragma once

#include <string>

#include "results_reader.h"

namespace hoprate {

// The rate as the run printed it: formatRate's text and "b/s", e.g. "1.2345 +/- 0.0456 Mb/s".
std::string rateText(double rate, double relErr);

std::string formatTable(const RunReport &report);
// One JSON object, laid out over several lines; the layout is documented in
// report/report.schema.json. Non-finite numbers are null.
std::string formatJson(const RunReport &report);
// A header line and one line per hop, hop n first.
std::string formatCsv(const RunReport &report);
std::string formatSvg(const RunReport &report);

}  // namespace hoprate
