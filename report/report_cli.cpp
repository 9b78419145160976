#include "report_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "report_output.h"
#include "results_reader.h"
#include "support/version.h"

namespace hoprate {

const char reportUsageText[] =
    "usage: hoprate-report [--json | --csv] [--svg FILE] [-s len1,len2...] RESULTS_FILE\n"
    "\n"
    "Reads a results file written by a complete run of hoprate (data/rtt_HOST-DEST.txt)\n"
    "and prints, for every hop from n down to 1, the two rate estimates v_n and v_n' with\n"
    "their 90 % uncertainties, recomputed from the slopes and \"stdev\" figures of the\n"
    "file's blocks exactly as the run computed them.\n"
    "\n"
    "  --json      print one JSON object instead of the table; its layout is the JSON\n"
    "              Schema share/hoprate/report.schema.json of the installation\n"
    "  --csv       print one CSV line per hop instead of the table\n"
    "  --svg FILE  also draw minimum round-trip time (ms) against probe size (bytes)\n"
    "              for every sweep with its fitted line, one colour per hop, into FILE\n"
    "  -s LIST     the probe sizes the run used, as given to hoprate -s; the file does\n"
    "              not record them, and every row must hold one field per size\n"
    "              (default: 254,454,654,854,1054,1254,1454, hoprate's default set)\n"
    "  --help      print this text\n"
    "  --version   print hoprate-report's version\n"
    "\n"
    "Exit status: 0 when the report was written, 1 for a bad command line or a file\n"
    "that is not a complete results file (the complaint names the file and line).\n"
    "Lines longer than 1 MiB and files of more than 510 sweep blocks are refused.\n";

ReportOptions parseReportArguments(const std::vector<std::string> &args)
{
    ReportOptions options;
    options.sizes = {254, 454, 654, 854, 1054, 1254, 1454};
    bool formatChosen = false;
    bool onlyOperands = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&](const char *name) -> const std::string & {
            if (i + 1 >= args.size())
                throw std::invalid_argument(std::string("option ") + name + " needs an argument");
            return args[++i];
        };
        if (onlyOperands || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!options.resultsFile.empty())
                throw std::invalid_argument("more than one results file: " + options.resultsFile + " and " + arg);
            options.resultsFile = arg;
        } else if (arg == "--") {
            onlyOperands = true;
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "--json" || arg == "--csv") {
            const ReportFormat chosen = arg == "--json" ? ReportFormat::Json : ReportFormat::Csv;
            if (formatChosen && chosen != options.format)
                throw std::invalid_argument("--json and --csv exclude each other");
            options.format = chosen;
            formatChosen = true;
        } else if (arg == "--svg") {
            options.svgFile = value("--svg");
            if (options.svgFile.empty())
                throw std::invalid_argument("--svg needs a file name");
        } else if (arg.rfind("--svg=", 0) == 0) {
            options.svgFile = arg.substr(6);
            if (options.svgFile.empty())
                throw std::invalid_argument("--svg needs a file name");
        } else if (arg == "-s") {
            options.sizes = parseSizeList(value("-s"));
        } else if (arg.rfind("-s", 0) == 0 && arg.size() > 2 && arg[2] != '-') {
            options.sizes = parseSizeList(arg.substr(2));
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    if (!options.help && !options.version && options.resultsFile.empty())
        throw std::invalid_argument("no results file given");
    return options;
}

namespace {

int runReport(const std::vector<std::string> &args, std::string &out, std::string &err)
{
    ReportOptions options;
    try {
        options = parseReportArguments(args);
    } catch (const std::invalid_argument &complaint) {
        err = std::string("hoprate-report: ") + printable(complaint.what()) + "\n" +
              "usage: hoprate-report [--json | --csv] [--svg FILE] [-s len1,len2...] RESULTS_FILE\n";
        return 1;
    }
    if (options.help) {
        out = reportUsageText;
        return 0;
    }
    if (options.version) {
        out = std::string("hoprate-report ") + hoprateVersion + "\n";
        return 0;
    }
    try {
        const RunReport report = readReport(options.resultsFile, options.sizes);
        if (!options.svgFile.empty()) {
            const std::string svg = formatSvg(report);
            FILE *file = std::fopen(options.svgFile.c_str(), "w");
            if (file == nullptr)
                throw ReportError(options.svgFile, 0, std::string("cannot create: ") + std::strerror(errno));
            const bool written = std::fwrite(svg.data(), 1, svg.size(), file) == svg.size();
            if (std::fclose(file) != 0 || !written)
                throw ReportError(options.svgFile, 0, "write error");
        }
        switch (options.format) {
        case ReportFormat::Table: out = formatTable(report); break;
        case ReportFormat::Json: out = formatJson(report); break;
        case ReportFormat::Csv: out = formatCsv(report); break;
        }
    } catch (const ReportError &refusal) {
        err = std::string("hoprate-report: ") + refusal.what() + "\n";
        return 1;
    }
    return 0;
}

}  // namespace

int reportMain(const std::vector<std::string> &args, std::string &out, std::string &err)
{
    // Every failure becomes a message and status 1, running out of memory included.
    try {
        return runReport(args, out, err);
    } catch (const std::bad_alloc &) {
        out.clear();
        err = "hoprate-report: out of memory\n";
    } catch (const std::exception &failure) {
        out.clear();
        err = std::string("hoprate-report: ") + printable(failure.what()) + "\n";
    }
    return 1;
}

}  // namespace hoprate
