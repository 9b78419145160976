// The command line of hoprate-report.
#pragma once

#include <string>
#include <vector>

namespace hoprate {

enum class ReportFormat { Table, Json, Csv };

struct ReportOptions {
    ReportFormat format = ReportFormat::Table;
    std::string svgFile;       // empty: no plot
    std::vector<int> sizes;    // the run's probe sizes, hoprate's default set unless -s
    std::string resultsFile;
    std::string probeLog;  // --analyse: the probe log to analyse again
    bool help = false;
    bool version = false;
};

extern const char reportUsageText[];

// Parses the arguments (without the program name). Throws std::invalid_argument with
// the complaint for a bad command line.
ReportOptions parseReportArguments(const std::vector<std::string> &args);

// The whole program: returns the exit status (0 done, 1 any failure), writes the report
// or the help text to out and complaints to err.
int reportMain(const std::vector<std::string> &args, std::string &out, std::string &err);

}  // namespace hoprate
