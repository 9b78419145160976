// The forms of a report on accurate-mode documents, one part per destination: a table for
// people, CSV (one flat table of every link) and JSON for programs, and an SVG plot of
// every link's capacity on a logarithmic axis.
#pragma once

#include <string>

#include "accurate_reader.h"

namespace hoprate {

std::string formatAccurateTable(const AccurateReport &report);
// A header line, then one line per link: destination first, in file order.
std::string formatAccurateCsv(const AccurateReport &report);
// One JSON object laid out as report/report.schema.json's accurate form says.
std::string formatAccurateJson(const AccurateReport &report);
std::string formatAccurateSvg(const AccurateReport &report);

}  // namespace hoprate
