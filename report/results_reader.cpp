#include "results_reader.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cli/options.h"
#include "measure/hop_rates.h"
#include "wire/probe.h"

namespace hoprate {

ReportError::ReportError(const std::string &fileName, int lineNumber, const std::string &why)
    : std::runtime_error(lineNumber > 0 ? printable(fileName) + ":" + std::to_string(lineNumber) + ": " + why
                                        : printable(fileName) + ": " + why),
      file(fileName), line(lineNumber), reason(why)
{
}

bool nextLine(LineSource &lines, const std::string &fileName, int linesBefore, std::string &line, bool &terminated)
{
    switch (lines.next(line, terminated)) {
    case LineStatus::Line:
        return true;
    case LineStatus::End:
        return false;
    case LineStatus::TooLong:
        throw ReportError(fileName, linesBefore + 1, "line longer than " + std::to_string(maxLineBytes) + " bytes");
    case LineStatus::ReadError:
        throw ReportError(fileName, 0, std::string("read error: ") + std::strerror(errno));
    }
    return false;
}

namespace {

// A whole token as a double: what printf's %lf and %e write, including nan and inf.
bool parseDouble(const std::string &token, double &value)
{
    if (token.empty() || std::isspace(static_cast<unsigned char>(token[0])))
        return false;
    errno = 0;
    char *end = nullptr;
    value = std::strtod(token.c_str(), &end);
    return end == token.c_str() + token.size() && errno != ERANGE;
}

bool parseInt(const std::string &token, long lowest, long highest, int &value)
{
    if (token.empty() || !(std::isdigit(static_cast<unsigned char>(token[0])) || token[0] == '-'))
        return false;
    errno = 0;
    char *end = nullptr;
    const long parsed = std::strtol(token.c_str(), &end, 10);
    if (end != token.c_str() + token.size() || errno == ERANGE || parsed < lowest || parsed > highest)
        return false;
    value = static_cast<int>(parsed);
    return true;
}

std::vector<std::string> splitAt(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

class BlockParser {
public:
    BlockParser(LineSource &lines, const std::string &fileName, int sizeCount)
        : source(lines), file(fileName), count(sizeCount)
    {
    }

    std::vector<SweepBlock> parseAll()
    {
        if (!peek())
            fail(1, "empty file: no sweep block");
        std::vector<SweepBlock> blocks;
        while (peek()) {
            if (static_cast<int>(blocks.size()) == maxSweepBlocks)
                fail(linesRead + 1, "more than " + std::to_string(maxSweepBlocks) +
                                        " sweep blocks: a run of at most 255 hops makes no more");
            blocks.push_back(parseBlock());
        }
        return blocks;
    }

    // Lines read so far: all of them once parseAll has returned.
    int lineCount() const { return linesRead; }

private:
    [[noreturn]] void fail(int lineNumber, const std::string &why) const
    {
        throw ReportError(file, lineNumber, why);
    }

    // Whether another line follows; reads it ahead.
    bool peek()
    {
        if (!pending && !ended) {
            pending = nextLine(source, file, linesRead, ahead, aheadTerminated);
            ended = !pending;
        }
        return pending;
    }

    // The next line of the current block; names what was expected when the file ends.
    std::string take(const char *expected)
    {
        if (!peek())
            fail(linesRead + 1, std::string("file ends inside the block of line ") + std::to_string(blockLine) +
                                    ": expected " + expected);
        pending = false;
        ++linesRead;
        if (!aheadTerminated)
            fail(linesRead, std::string("last line is cut short (no line end): expected ") + expected);
        return std::move(ahead);
    }

    int current() const { return linesRead; }

    void parseHeader(SweepBlock &block)
    {
        const std::string line = take("a block header \"PROTO to ADDRESS, ttl=N\"");
        const int number = current();
        std::string protocol;
        if (startsWith(line, "icmp to "))
            protocol = "icmp";
        else if (startsWith(line, "udp to "))
            protocol = "udp";
        else
            fail(number, "expected a block header \"icmp to ...\" or \"udp to ...\", found " + quoted(line));
        const std::string rest = line.substr(protocol.size() + 4);
        const size_t comma = rest.rfind(", ttl=");
        if (comma == std::string::npos)
            fail(number, "block header without \", ttl=\": " + quoted(line));
        block.protocol = protocol;
        block.target = rest.substr(0, comma);
        if (block.target.empty() || block.target.find_first_of(" \t") != std::string::npos)
            fail(number, "block header without a target address: " + quoted(line));
        if (!parseInt(rest.substr(comma + 6), -2147483647L - 1, 2147483647L, block.ttl))
            fail(number, "block header with a malformed ttl: " + quoted(line));
    }

    // One labelled row of count tab-separated fields; empty fields allowed for minima.
    void parseRow(const char *label, bool fieldsMayBeEmpty,
                                      std::vector<double> &values, std::vector<bool> *present)
    {
        const std::string expected = std::string("the \"") + label + "\" row";
        const std::string line = take(expected.c_str());
        const int number = current();
        const std::string prefix = std::string(label) + "\t";
        if (!startsWith(line, prefix))
            fail(number, "expected " + expected + ", found " + quoted(line));
        const std::vector<std::string> fields = splitAt(line.substr(prefix.size()), '\t');
        if (static_cast<int>(fields.size()) != count)
            fail(number, std::string("\"") + label + "\" row has " + std::to_string(fields.size()) +
                             " fields, expected " + std::to_string(count) +
                             " (one per probe size; give the run's sizes with -s)");
        values.assign(static_cast<size_t>(count), std::nan(""));
        if (present != nullptr)
            present->assign(static_cast<size_t>(count), false);
        for (int i = 0; i < count; ++i) {
            const std::string &field = fields[static_cast<size_t>(i)];
            if (field.empty() && fieldsMayBeEmpty)
                continue;
            double value = 0;
            if (!parseDouble(field, value))
                fail(number, std::string("\"") + label + "\" field " + std::to_string(i + 1) +
                                 " is not a number: " + quoted(field));
            values[static_cast<size_t>(i)] = value;
            if (present != nullptr)
                (*present)[static_cast<size_t>(i)] = true;
        }
    }

    // "NAME=VALUE, stdev=VALUE" followed by the closing character.
    void parseFigure(const char *name, char closing, double &value, double &stdev)
    {
        const std::string expected = std::string("the \"") + name + "=..., stdev=...\" line";
        const std::string line = take(expected.c_str());
        const int number = current();
        const std::string prefix = std::string(name) + "=";
        const size_t middle = line.find(", stdev=");
        if (!startsWith(line, prefix) || middle == std::string::npos || line.empty() ||
            line.back() != closing)
            fail(number, "expected " + expected + " ending in '" + closing + "', found " + quoted(line));
        const std::string first = line.substr(prefix.size(), middle - prefix.size());
        const std::string second = line.substr(middle + 8, line.size() - middle - 9);
        if (!parseDouble(first, value))
            fail(number, std::string(name) + " is not a number: " + quoted(first));
        if (!parseDouble(second, stdev))
            fail(number, std::string(name) + "'s stdev is not a number: " + quoted(second));
    }

    SweepBlock parseBlock()
    {
        SweepBlock block;
        blockLine = linesRead + 1;
        block.line = blockLine;
        parseHeader(block);
        std::vector<double> ignored;
        std::vector<bool> ignoredMarks;
        parseRow("t_kernel_min:", true, ignored, &ignoredMarks);
        parseRow("t_app_min:", true, block.minRttMs, &block.hasMin);
        parseRow("t_overhead_min:", true, ignored, &ignoredMarks);
        parseRow("t_kernel_avg:", false, ignored, nullptr);
        parseRow("t_app_avg:", false, block.avgRttMs, nullptr);
        parseFigure("slope", ';', block.slope, block.slopeStdev);
        parseFigure("intercept", '.', block.intercept, block.interceptStdev);
        const std::string timeouts = take("the \"# of timeouts = N\" line");
        if (!startsWith(timeouts, "# of timeouts = ") ||
            !parseInt(timeouts.substr(16), 0, 2147483647L, block.timeouts))
            fail(current(), "expected \"# of timeouts = N\", found " + quoted(timeouts));
        const std::string closing = take("the empty line that ends the block");
        if (!closing.empty())
            fail(current(), "expected the empty line that ends the block, found " + quoted(closing));
        return block;
    }

    LineSource &source;
    std::string file;
    int count;
    std::string ahead;             // the line read ahead, while pending
    bool aheadTerminated = false;
    bool pending = false;
    bool ended = false;
    int linesRead = 0;  // lines taken so far
    int blockLine = 0;  // header line of the block being read
};

double relativeUncertainty(const SweepBlock &block)
{
    // The file holds slope * relErr / 1.645; the run's figure is recovered from it.
    return 1.645 * block.slopeStdev / block.slope;
}

}  // namespace

std::string printable(const std::string &text)
{
    std::string shown;
    shown.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\t')
            shown += "\\t";
        else if (u < 0x20 || u >= 0x7f)
            shown += '?';
        else
            shown += c;
    }
    return shown;
}

std::string quoted(const std::string &text)
{
    std::string shown = printable(text.substr(0, 60));
    if (text.size() > 60)
        shown += "...";
    return "\"" + shown + "\"";
}

std::vector<SweepBlock> parseResults(const std::string &text, const std::string &fileName,
                                     int sizeCount)
{
    TextLines lines(text);
    BlockParser parser(lines, fileName, sizeCount);
    return parser.parseAll();
}

std::vector<int> parseSizeList(const std::string &text)
{
    // The run's own rules, so that a list maps to the sizes the run measured.
    const std::vector<std::string> entries = splitCommaList(text);
    if (entries.empty())
        throw std::invalid_argument("the size list \"" + text + "\" holds no size");
    std::vector<int> sizes;
    for (const std::string &entry : entries) {
        const std::optional<std::vector<int>> size = parseProbeSizes({entry});
        if (!size)
            throw std::invalid_argument("illegal probe size \"" + entry + "\" (0 to " +
                                        std::to_string(maxProbeSize) + " bytes)");
        sizes.push_back(size->front());
    }
    return sizes;
}

const char *sweepKindName(SweepKind kind)
{
    switch (kind) {
    case SweepKind::EchoToDestination:
        return "echo-destination";
    case SweepKind::UdpToDestination:
        return "udp-destination";
    case SweepKind::EchoToRouter:
        return "echo-router";
    }
    return "";
}

RunReport buildReport(const std::vector<SweepBlock> &sweeps, const std::vector<int> &sizes,
                      const std::string &fileName, int lineCount)
{
    RunReport report;
    report.file = fileName;
    report.sizes = sizes;
    report.sweeps = sweeps;
    if (sweeps.empty())
        throw ReportError(fileName, 1, "no sweep block");

    const SweepBlock &first = sweeps[0];
    const int n = first.ttl;
    if (first.protocol != "icmp")
        throw ReportError(fileName, first.line, "the first sweep of a run is icmp toward the destination, found " +
                                                    first.protocol);
    if (n < 1)
        throw ReportError(fileName, first.line,
                          "ttl=" + std::to_string(n) + " in the first sweep: a run of fewer than 1 hop has no rates");
    report.hopCount = n;
    report.destination = first.target;

    const long expectedCount = 2L * n;
    // The expected protocol, target and TTL of every block in sweep order.
    for (size_t i = 0; i < sweeps.size(); ++i) {
        const SweepBlock &block = sweeps[i];
        if (static_cast<long>(i) >= expectedCount)
            throw ReportError(fileName, block.line,
                              "sweep " + std::to_string(i + 1) + " is one too many: a run with ttl=" +
                                  std::to_string(n) + " makes " + std::to_string(expectedCount) + " sweeps");
        SweepKind kind;
        int ttl;
        if (i == 0) {
            kind = SweepKind::EchoToDestination;
            ttl = n;
        } else if (i == 1) {
            kind = SweepKind::UdpToDestination;
            ttl = n;
        } else {
            // Pass for hop h = n - (i - 2) / 2 measures at TTL h - 1.
            const int h = n - static_cast<int>((i - 2) / 2);
            kind = (i % 2 == 0) ? SweepKind::EchoToDestination : SweepKind::EchoToRouter;
            ttl = h - 1;
        }
        const char *protocol = kind == SweepKind::UdpToDestination ? "udp" : "icmp";
        std::string what = std::string(protocol) + " to " +
                           (kind == SweepKind::EchoToRouter ? std::string("a router")
                                                            : report.destination) +
                           ", ttl=" + std::to_string(ttl);
        if (block.protocol != protocol || block.ttl != ttl ||
            (kind != SweepKind::EchoToRouter && block.target != report.destination))
            throw ReportError(fileName, block.line,
                              "sweep " + std::to_string(i + 1) + " out of the run's order: expected " + what +
                                  ", found " + block.protocol + " to " + block.target + ", ttl=" +
                                  std::to_string(block.ttl));
        report.kinds.push_back(kind);
    }
    if (static_cast<long>(sweeps.size()) < expectedCount)
        throw ReportError(fileName, lineCount,
                          "file ends after " + std::to_string(sweeps.size()) + " of the " +
                              std::to_string(expectedCount) + " sweeps of a run with ttl=" + std::to_string(n) +
                              " (run cut short?)");

    // The run's own per-hop walk, with the slopes and uncertainties read back.
    auto slopeOf = [](const SweepBlock &block) { return Slope{block.slope, relativeUncertainty(block)}; };
    HopWalk walk(n, slopeOf(sweeps[0]), slopeOf(sweeps[1]));
    for (int pass = 0; pass < n; ++pass) {
        const int h = n - pass;
        Slope towardDestination;
        Slope toRouter;
        if (h != 1) {
            towardDestination = slopeOf(sweeps[static_cast<size_t>(2 + 2 * pass)]);
            toRouter = slopeOf(sweeps[static_cast<size_t>(3 + 2 * pass)]);
        }
        const HopPass rates = walk.pass(towardDestination, toRouter);
        HopReport hop;
        hop.hop = h;
        hop.address = h == n ? report.destination : sweeps[static_cast<size_t>(1 + 2 * pass)].target;
        hop.vN = rates.rates.vN;
        hop.rN = rates.rates.rN;
        hop.vNp = rates.rates.vNp;
        hop.rNp = rates.rates.rNp;
        report.hops.push_back(hop);
    }
    return report;
}

RunReport readResults(LineSource &lines, const std::string &fileName, const std::vector<int> &sizes)
{
    BlockParser parser(lines, fileName, static_cast<int>(sizes.size()));
    const std::vector<SweepBlock> sweeps = parser.parseAll();
    return buildReport(sweeps, sizes, fileName, parser.lineCount());
}

RunReport readReport(const std::string &fileName, const std::vector<int> &sizes)
{
    FILE *file = std::fopen(fileName.c_str(), "rb");
    if (file == nullptr)
        throw ReportError(fileName, 0, std::string("cannot open: ") + std::strerror(errno));
    // Closed on every way out, a refusal (an exception) included.
    const std::unique_ptr<FILE, int (*)(FILE *)> closer(file, std::fclose);
    FileLines lines(file);
    return readResults(lines, fileName, sizes);
}

}  // namespace hoprate
