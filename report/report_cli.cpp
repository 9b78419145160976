#include "report_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <variant>

#include "accurate_output.h"
#include "accurate_reader.h"
#include "analyse.h"
#include "report_output.h"
#include "results_reader.h"
#include "support/version.h"

namespace hoprate {

const char reportUsageText[] =
    "usage: hoprate-report [--json | --csv] [--svg FILE] [-s len1,len2...] RESULTS_FILE\n"
    "       hoprate-report --analyse PROBE_LOG [--json]\n"
    "\n"
    "Reads back what a run of hoprate wrote and reports the rate of every hop. RESULTS_FILE\n"
    "is one of two kinds, told apart by its content:\n"
    "\n"
    "  - a results file of a complete classic run (data/rtt_HOST-DEST.txt): for every hop\n"
    "    from n down to 1, the two rate estimates v_n and v_n' with their 90 % uncertainties,\n"
    "    recomputed from the slopes and \"stdev\" figures of the file's blocks exactly as the\n"
    "    run computed them;\n"
    "  - the output of hoprate --precise --json (its first non-blank character is '{'): one\n"
    "    document, or JSON Lines with one document per destination; per destination and\n"
    "    link, how it was measured and its capacity with the 90 % interval, a lower bound\n"
    "    shown as \">= X\".\n"
    "\n"
    "  --analyse PROBE_LOG\n"
    "              analyse the probes of a run again from the log hoprate --precise --save\n"
    "              wrote, and print the table hoprate --precise printed (with --json its\n"
    "              JSON document): the same capacities and intervals, from the same\n"
    "              estimator over the same samples and settings; the logs of several\n"
    "              destinations, one after another in the file, give their tables\n"
    "              separated by a blank line, or one document per line\n"
    "  --json      print one JSON object instead of the table; its layout is the JSON\n"
    "              Schema share/hoprate/report.schema.json of the installation (for a\n"
    "              probe log, the document hoprate --precise printed)\n"
    "  --csv       print CSV instead of the table: one line per hop of a results file,\n"
    "              one line per link (and destination) of JSON documents\n"
    "  --svg FILE  also draw into FILE: for a results file, minimum round-trip time (ms)\n"
    "              against probe size (bytes) for every sweep with its fitted line, one\n"
    "              colour per hop; for JSON documents, every link's capacity on a\n"
    "              logarithmic axis with its 90 % interval, one row per destination\n"
    "  -s LIST     the probe sizes the classic run used, as given to hoprate -s; the file\n"
    "              does not record them, and every row must hold one field per size\n"
    "              (default: 254,454,654,854,1054,1254,1454, hoprate's default set);\n"
    "              JSON documents need no sizes\n"
    "  --help      print this text\n"
    "  --version   print hoprate-report's version\n"
    "\n"
    "Exit status: 0 when the report was written, 1 for a bad command line or a file\n"
    "that is neither a complete results file nor accurate-mode JSON, or with --analyse\n"
    "not a whole probe log (the complaint names the file and line). Lines longer than\n"
    "1 MiB, files of more than 510 sweep blocks, JSON documents longer than 4 MiB, nested\n"
    "deeper than 64 levels or of more than 255 hops, probe logs of more than 255 hops or\n"
    "1000000 probes, and files of more than 10000 probe logs are refused.\n";

ReportOptions parseReportArguments(const std::vector<std::string> &args)
{
    ReportOptions options;
    options.sizes = {254, 454, 654, 854, 1054, 1254, 1454};
    bool formatChosen = false;
    bool onlyOperands = false;
    bool sizesGiven = false;
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
        } else if (arg == "--analyse" || arg.rfind("--analyse=", 0) == 0) {
            options.probeLog = arg == "--analyse" ? value("--analyse") : arg.substr(10);
            if (options.probeLog.empty())
                throw std::invalid_argument("--analyse needs a file name");
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
            sizesGiven = true;
        } else if (arg.rfind("-s", 0) == 0 && arg.size() > 2 && arg[2] != '-') {
            options.sizes = parseSizeList(arg.substr(2));
            sizesGiven = true;
        } else {
            throw std::invalid_argument("unknown option " + arg);
        }
    }
    if (!options.probeLog.empty()) {
        // The run's own table or document: nothing else applies.
        if (!options.resultsFile.empty())
            throw std::invalid_argument("--analyse reads the probe log alone, not also " + options.resultsFile);
        if (options.format == ReportFormat::Csv)
            throw std::invalid_argument("--analyse prints the table or --json, not --csv");
        if (!options.svgFile.empty())
            throw std::invalid_argument("--analyse draws no --svg");
        if (sizesGiven)
            throw std::invalid_argument("-s is for results files of the classic mode, not --analyse");
    }
    if (!options.help && !options.version && options.resultsFile.empty() && options.probeLog.empty())
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
              "usage: hoprate-report [--json | --csv] [--svg FILE] [-s len1,len2...] RESULTS_FILE\n"
              "       hoprate-report --analyse PROBE_LOG [--json]\n";
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
        if (!options.probeLog.empty()) {
            out = formatAnalysedRuns(analyseProbeLogFile(options.probeLog), options.format == ReportFormat::Json);
            return 0;
        }
        const ReportInput input = readInputFile(options.resultsFile, options.sizes);
        const auto *run = std::get_if<RunReport>(&input);
        const auto *accurate = std::get_if<AccurateReport>(&input);
        if (!options.svgFile.empty()) {
            const std::string svg = run != nullptr ? formatSvg(*run) : formatAccurateSvg(*accurate);
            FILE *file = std::fopen(options.svgFile.c_str(), "w");
            if (file == nullptr)
                throw ReportError(options.svgFile, 0, std::string("cannot create: ") + std::strerror(errno));
            const bool written = std::fwrite(svg.data(), 1, svg.size(), file) == svg.size();
            if (std::fclose(file) != 0 || !written)
                throw ReportError(options.svgFile, 0, "write error");
        }
        switch (options.format) {
        case ReportFormat::Table:
            out = run != nullptr ? formatTable(*run) : formatAccurateTable(*accurate);
            break;
        case ReportFormat::Json:
            out = run != nullptr ? formatJson(*run) : formatAccurateJson(*accurate);
            break;
        case ReportFormat::Csv:
            out = run != nullptr ? formatCsv(*run) : formatAccurateCsv(*accurate);
            break;
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
