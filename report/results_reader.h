// Reading a results file of hoprate back: one block per sweep, in sweep order, and the
// mapping of the blocks onto the hops of the run that wrote them.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "line_source.h"

namespace hoprate {

// No run makes more sweeps: two per hop, and a TTL goes up to 255.
constexpr int maxSweepBlocks = 2 * 255;

// Text safe to print on a terminal: a TAB as "\t", any other byte outside printable
// ASCII as '?'.
std::string printable(const std::string &text);
// A line (or part of one) in a message: in double quotes, through printable(), at most
// 60 characters of it and "..." when there were more.
std::string quoted(const std::string &text);

// A refused input: the file, the 1-based line (0 when no line applies) and the reason.
// The message shows the file name through printable().
class ReportError : public std::runtime_error {
public:
    ReportError(const std::string &file, int line, const std::string &reason);
    std::string file;
    int line;
    std::string reason;
};

// The next line from lines (terminated: whether a line end followed it); false at the end.
// A line longer than the limit (the file's line linesBefore + 1) or a read error is a
// ReportError naming the file.
bool nextLine(LineSource &lines, const std::string &file, int linesBefore, std::string &line, bool &terminated);

// One block of the results file. Times are milliseconds as written; a size without a
// reply has no minimum (hasMin false) and "nan" averages.
struct SweepBlock {
    int line = 0;                 // line of the block's header
    std::string protocol;         // "icmp" or "udp"
    std::string target;           // dotted quad the probes were addressed to
    int ttl = 0;
    std::vector<double> minRttMs;  // t_app_min row; NaN where the field is empty
    std::vector<bool> hasMin;
    std::vector<double> avgRttMs;  // t_app_avg row
    double slope = 0;              // seconds per byte
    double slopeStdev = 0;         // the file's "stdev": slope * relErr / 1.645
    double intercept = 0;          // seconds
    double interceptStdev = 0;
    int timeouts = 0;              // running total of the run at the end of this sweep
};

// Parses the whole text of a results file written with sizeCount probe sizes. Every
// row must hold exactly sizeCount fields; no line may be longer than maxLineBytes, and
// no file hold more than maxSweepBlocks blocks. Throws ReportError naming the line.
std::vector<SweepBlock> parseResults(const std::string &text, const std::string &fileName,
                                     int sizeCount);

// Parses a size list by hoprate's own -s rules (empty entries skipped, each entry read as
// a number of bytes from 0 to 14992); an empty list is refused. Throws std::invalid_argument.
std::vector<int> parseSizeList(const std::string &text);

// The role of a sweep in the fixed order of a run with hop count n.
enum class SweepKind { EchoToDestination, UdpToDestination, EchoToRouter };
const char *sweepKindName(SweepKind kind);

// The two rates of one hop, as the run computed them.
struct HopReport {
    int hop = 0;
    std::string address;  // the destination for hop n, else the router answering at TTL hop
    double vN = 0, rN = 0;    // bits per second, relative uncertainty (signed like the difference)
    double vNp = 0, rNp = 0;
};

struct RunReport {
    std::string file;
    std::vector<int> sizes;
    std::vector<SweepBlock> sweeps;
    std::vector<SweepKind> kinds;  // one per sweep
    int hopCount = 0;              // n, the TTL of the first sweep
    std::string destination;
    std::vector<HopReport> hops;   // hop n first, down to hop 1
};

// Checks the sweep order of a complete run (2n blocks: echo and UDP toward the
// destination at TTL n, then per hop h = n..2 echo toward the destination and echo to
// the router, both at TTL h-1) and recomputes every hop's rates with the run's own
// arithmetic. Throws ReportError naming the line of the first block out of place, or
// the line after the last one for a run cut short.
RunReport buildReport(const std::vector<SweepBlock> &sweeps, const std::vector<int> &sizes,
                      const std::string &fileName, int lineCount);

// Reads the lines of a results file, parses them and builds the report. Throws ReportError.
RunReport readResults(LineSource &lines, const std::string &fileName, const std::vector<int> &sizes);

// Reads a file line by line, parses it and builds its report; memory stays bounded by
// the limits above. Throws ReportError (line 0 when the file cannot be read).
RunReport readReport(const std::string &fileName, const std::vector<int> &sizes);

}  // namespace hoprate
