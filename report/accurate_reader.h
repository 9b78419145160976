// Reading what the accurate mode prints with --json back: one document (over several lines,
// as hoprate --precise --json writes it) or JSON Lines (one document per line, one per
// destination), and telling such input from a results file of the classic mode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "line_source.h"
#include "results_reader.h"

namespace hoprate {

// The limits of an accurate input: no document longer (one of 255 hops takes about 200 KB
// as the program lays it out), no deeper nesting (the program's documents nest 4 deep), no
// more documents and no more hops in all.
constexpr size_t maxDocumentBytes = 4 * 1048576;
constexpr int maxDocumentDepth = 64;
constexpr int maxDocuments = 65536;
constexpr int maxLinksInAll = 65536;
// A hop is a TTL; no link is faster than a petabit per second.
constexpr int maxHop = 255;
constexpr double maxRate = 1e15;

struct CapacityInterval {
    double low = 0, high = 0;  // bits per second, low <= high
};

// One hop of a document: the link that ends there (the links mergedFrom..hop in series
// after a silent hop). Text fields are as the document has them (valid UTF-8).
struct AccurateLink {
    int hop = 0;
    std::string address;             // empty for a silent hop (null)
    std::string name;                // empty when the document names none
    std::string method;              // "destination", "echo-router", "ttl-limited", "silent", ...
    std::string protocol;            // "icmp", "udp", "tcp", ...
    std::optional<double> capacity;  // bits per second; the bound when lowerBound; none: unknown
    std::optional<CapacityInterval> ci90;
    bool lowerBound = false;
    int mergedFrom = 0;                    // 0 for a single link
    std::optional<double> returnCapacity;  // the way back, when the document measured it
    std::optional<CapacityInterval> returnCi90;
    std::optional<bool> asymmetric;
};

// One document: the run toward one destination.
struct AccurateDestination {
    int line = 0;  // where the document starts in the file
    std::string destination;
    std::string address;
    std::string family;
    bool destinationReached = true;
    std::optional<bool> complete;  // only when the document says
    int64_t probesSent = 0;
    double wallSeconds = 0;
    std::vector<AccurateLink> links;  // in hop order
};

struct AccurateReport {
    std::string file;
    std::vector<AccurateDestination> destinations;  // in file order
};

// What an input held: a classic results file or accurate documents.
using ReportInput = std::variant<RunReport, AccurateReport>;

// Reads an input of either kind: when its first non-blank byte is '{' it is JSON, else a
// results file written with the given sizes. Throws ReportError naming the line.
ReportInput readInput(LineSource &lines, const std::string &fileName, const std::vector<int> &sizes);
// The same on a whole text (the tests) and on a file (line 0 when it cannot be read).
ReportInput parseInput(const std::string &text, const std::string &fileName, const std::vector<int> &sizes);
ReportInput readInputFile(const std::string &fileName, const std::vector<int> &sizes);

}  // namespace hoprate
