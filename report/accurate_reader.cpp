#include "accurate_reader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>

#include "output/printable.h"
#include "output/probe_log_reader.h"

namespace hoprate {

namespace {

using nlohmann::json;

constexpr const char *blanks = " \t\r";

// A JSON value in a message: its kind, and its text when short.
std::string described(const json &value)
{
    switch (value.type()) {
    case json::value_t::null:
        return "null";
    case json::value_t::boolean:
        return value.get<bool>() ? "true" : "false";
    case json::value_t::string:
        return "the string " + quoted(value.get_ref<const std::string &>());
    case json::value_t::array:
        return "an array";
    case json::value_t::object:
        return "an object";
    default:
        return "the number " + printable(value.dump().substr(0, 40));
    }
}

// nlohmann's message without its prefix ("[json.exception.parse_error.101] parse error at
// line 1, column 7: "), safe to print and at most about 160 characters.
std::string parserComplaint(const std::string &what)
{
    std::string reason = what;
    const size_t bracket = reason.find("] ");
    if (reason.rfind("[json.exception.", 0) == 0 && bracket != std::string::npos)
        reason.erase(0, bracket + 2);
    if (reason.rfind("parse error at line ", 0) == 0) {
        const size_t colon = reason.find(": ");
        if (colon != std::string::npos)
            reason.erase(0, colon + 2);
    }
    if (reason.size() > 160)
        reason = reason.substr(0, 160) + "...";
    return printable(reason);
}

// The checks of one document's fields; a refusal names the file, the line where the
// document starts and the path of the field ("hops[2].capacity_bps").
class DocumentFields {
public:
    DocumentFields(const std::string &fileName, int documentLine) : file(fileName), line(documentLine) {}

    [[noreturn]] void refuse(const std::string &path, const std::string &why) const
    {
        throw ReportError(file, line, path.empty() ? why : path + ": " + why);
    }

    // The field, or null when absent: for the fields a later version may add.
    static const json &optional(const json &object, const char *name)
    {
        static const json absent;
        const auto found = object.find(name);
        return found == object.end() ? absent : *found;
    }

    const json &required(const json &object, const std::string &path, const char *name) const
    {
        const auto found = object.find(name);
        if (found == object.end())
            refuse(path, std::string("no field \"") + name + "\"" +
                             (path.empty() ? ": not a document of hoprate --precise --json" : ""));
        return *found;
    }

    std::string text(const json &value, const std::string &path) const
    {
        if (!value.is_string())
            refuse(path, "expected a string, found " + described(value));
        return value.get<std::string>();
    }

    bool flag(const json &value, const std::string &path) const
    {
        if (!value.is_boolean())
            refuse(path, "expected true or false, found " + described(value));
        return value.get<bool>();
    }

    int64_t integer(const json &value, const std::string &path, int64_t lowest, int64_t highest) const
    {
        const std::string expected =
            "expected an integer from " + std::to_string(lowest) + " to " + std::to_string(highest) + ", found ";
        if (!value.is_number_integer())
            refuse(path, expected + described(value));
        if (value.is_number_unsigned() ? value.get<uint64_t>() > static_cast<uint64_t>(highest)
                                       : value.get<int64_t>() < lowest || value.get<int64_t>() > highest)
            refuse(path, expected + described(value));
        return value.get<int64_t>();
    }

    // A finite number of 0 or more (wall time).
    double nonNegative(const json &value, const std::string &path) const
    {
        const double figure = value.is_number() ? value.get<double>() : std::nan("");
        if (!value.is_number() || !std::isfinite(figure) || figure < 0)
            refuse(path, "expected a finite number of 0 or more, found " + described(value));
        return figure;
    }

    // Bits per second, above 0 and at most maxRate.
    double rate(const json &value, const std::string &path) const
    {
        const double figure = value.is_number() ? value.get<double>() : std::nan("");
        if (!value.is_number() || !(figure > 0 && figure <= maxRate))
            refuse(path, "expected a rate in bits per second above 0 and at most " + printed("%g", maxRate) +
                             ", found " + described(value));
        return figure;
    }

    std::optional<double> optionalRate(const json &value, const std::string &path) const
    {
        if (value.is_null())
            return std::nullopt;
        return rate(value, path);
    }

    std::optional<CapacityInterval> interval(const json &value, const std::string &path) const
    {
        if (value.is_null())
            return std::nullopt;
        if (!value.is_array() || value.size() != 2)
            refuse(path, "expected [low, high] or null, found " + described(value));
        const CapacityInterval range{rate(value[0], path + "[0]"), rate(value[1], path + "[1]")};
        if (range.low > range.high)
            refuse(path, "low end above high end");
        return range;
    }

    std::optional<bool> optionalFlag(const json &value, const std::string &path) const
    {
        if (value.is_null())
            return std::nullopt;
        return flag(value, path);
    }

private:
    std::string file;
    int line;
};

AccurateLink linkOf(const DocumentFields &fields, const json &hop, const std::string &path, int previousHop)
{
    if (!hop.is_object())
        fields.refuse(path, "expected an object, found " + described(hop));
    AccurateLink link;
    link.hop = static_cast<int>(fields.integer(fields.required(hop, path, "hop"), path + ".hop", 1, maxHop));
    if (link.hop <= previousHop)
        fields.refuse(path + ".hop", "hop " + std::to_string(link.hop) + " after hop " + std::to_string(previousHop) +
                                         ": the hops go up");
    const json &address = fields.required(hop, path, "address");
    if (!address.is_null())
        link.address = fields.text(address, path + ".address");
    const json &name = DocumentFields::optional(hop, "name");
    if (!name.is_null())
        link.name = fields.text(name, path + ".name");
    link.method = fields.text(fields.required(hop, path, "method"), path + ".method");
    link.protocol = fields.text(fields.required(hop, path, "protocol"), path + ".protocol");
    link.capacity = fields.optionalRate(fields.required(hop, path, "capacity_bps"), path + ".capacity_bps");
    link.ci90 = fields.interval(fields.required(hop, path, "ci90_bps"), path + ".ci90_bps");
    link.lowerBound = fields.flag(fields.required(hop, path, "lower_bound"), path + ".lower_bound");
    if (link.lowerBound && !link.capacity)
        fields.refuse(path + ".lower_bound", "true, but capacity_bps is null");
    if (!link.capacity && link.ci90)
        fields.refuse(path + ".ci90_bps", "an interval, but capacity_bps is null");
    const json &mergedFrom = fields.required(hop, path, "merged_from");
    if (!mergedFrom.is_null())
        link.mergedFrom = static_cast<int>(fields.integer(mergedFrom, path + ".merged_from", 1, link.hop));
    link.returnCapacity =
        fields.optionalRate(DocumentFields::optional(hop, "return_capacity_bps"), path + ".return_capacity_bps");
    link.returnCi90 = fields.interval(DocumentFields::optional(hop, "return_ci90_bps"), path + ".return_ci90_bps");
    link.asymmetric = fields.optionalFlag(DocumentFields::optional(hop, "asymmetric"), path + ".asymmetric");
    return link;
}

AccurateDestination destinationOf(const DocumentFields &fields, const json &doc, int line)
{
    if (!doc.is_object())
        fields.refuse("", "expected a JSON object, found " + described(doc));
    AccurateDestination d;
    d.line = line;
    d.destination = fields.text(fields.required(doc, "", "destination"), "destination");
    d.address = fields.text(fields.required(doc, "", "address"), "address");
    d.family = fields.text(fields.required(doc, "", "family"), "family");
    d.destinationReached = fields.flag(fields.required(doc, "", "destination_reached"), "destination_reached");
    d.complete = fields.optionalFlag(DocumentFields::optional(doc, "complete"), "complete");
    d.probesSent =
        fields.integer(fields.required(doc, "", "probes_sent"), "probes_sent", 0, std::numeric_limits<int64_t>::max());
    d.wallSeconds = fields.nonNegative(fields.required(doc, "", "wall_s"), "wall_s");
    const json &hops = fields.required(doc, "", "hops");
    if (!hops.is_array())
        fields.refuse("hops", "expected an array, found " + described(hops));
    if (hops.size() > static_cast<size_t>(maxHop))
        fields.refuse("hops", std::to_string(hops.size()) + " hops: a path has at most " + std::to_string(maxHop));
    int previous = 0;
    for (size_t i = 0; i < hops.size(); ++i) {
        d.links.push_back(linkOf(fields, hops[i], "hops[" + std::to_string(i) + "]", previous));
        previous = d.links.back().hop;
    }
    return d;
}

// The documents of a JSON input, each spread over one or more lines: a document starts at
// a '{' and ends where its brackets close. Strings are skipped, so that a bracket in a name
// counts for nothing; no document may nest deeper than maxDocumentDepth, which keeps the
// parser's work bounded, nor be longer than maxDocumentBytes.
class DocumentReader {
public:
    DocumentReader(LineSource &lines, const std::string &fileName) : source(lines), file(fileName) {}

    AccurateReport read(std::string line, int lineNumber)
    {
        AccurateReport report;
        report.file = file;
        number = lineNumber;
        bool inDocument = false;
        int documentLine = 0;
        std::string text;
        for (;;) {
            size_t at = 0;
            if (!inDocument) {
                at = line.find_first_not_of(blanks);
                if (at != std::string::npos && line[at] != '{')
                    fail(number, "expected a JSON document, \"{...}\", found " + quoted(line.substr(at)));
                if (at != std::string::npos) {
                    inDocument = true;
                    documentLine = number;
                    text.clear();
                    depth = 0;
                    inString = escaped = false;
                }
            }
            if (inDocument) {
                const size_t end = scan(line, at);
                const size_t taken = (end == std::string::npos ? line.size() : end) - at;
                if (text.size() + taken + 1 > maxDocumentBytes)
                    fail(number, "the document of line " + std::to_string(documentLine) + " is longer than " +
                                     std::to_string(maxDocumentBytes) + " bytes");
                text.append(line, at, taken);
                text += '\n';
                if (end != std::string::npos) {
                    const size_t more = line.find_first_not_of(blanks, end);
                    if (more != std::string::npos)
                        fail(number, "text after the end of the document: " + quoted(line.substr(more)));
                    add(report, text, documentLine);
                    inDocument = false;
                }
            }
            if (!next(line))
                break;
        }
        if (inDocument)
            fail(number + 1, "file ends inside the document of line " + std::to_string(documentLine));
        return report;
    }

private:
    [[noreturn]] void fail(int line, const std::string &why) const { throw ReportError(file, line, why); }

    bool next(std::string &line)
    {
        bool terminated = false;
        if (!nextLine(source, file, number, line, terminated))
            return false;
        ++number;
        return true;
    }

    // Follows the brackets of line from at; the index after the one that closes the
    // document, or npos when it goes on.
    size_t scan(const std::string &line, size_t at)
    {
        for (size_t i = at; i < line.size(); ++i) {
            const char c = line[i];
            if (inString) {
                if (escaped)
                    escaped = false;
                else if (c == '\\')
                    escaped = true;
                else if (c == '"')
                    inString = false;
            } else if (c == '"') {
                inString = true;
            } else if (c == '{' || c == '[') {
                if (++depth > maxDocumentDepth)
                    fail(number, "nested deeper than " + std::to_string(maxDocumentDepth) + " levels");
            } else if ((c == '}' || c == ']') && --depth == 0) {
                return i + 1;
            }
        }
        return std::string::npos;
    }

    void add(AccurateReport &report, const std::string &text, int documentLine)
    {
        if (report.destinations.size() >= static_cast<size_t>(maxDocuments))
            fail(documentLine, "more than " + std::to_string(maxDocuments) + " documents");
        json doc;
        try {
            doc = json::parse(text);
        } catch (const json::parse_error &e) {
            // The line of the byte the parser stopped at.
            const size_t upTo = std::min<size_t>(e.byte > 0 ? e.byte - 1 : 0, text.size());
            const auto lineEnds = std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(upTo), '\n');
            fail(documentLine + static_cast<int>(lineEnds), "not JSON: " + parserComplaint(e.what()));
        } catch (const json::exception &e) {
            fail(documentLine, "not JSON: " + parserComplaint(e.what()));
        }
        const DocumentFields fields(file, documentLine);
        report.destinations.push_back(destinationOf(fields, doc, documentLine));
        links += report.destinations.back().links.size();
        if (links > static_cast<size_t>(maxLinksInAll))
            fail(documentLine, "more than " + std::to_string(maxLinksInAll) + " hops in all");
    }

    LineSource &source;
    std::string file;
    int number = 0;  // of the line last read
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    size_t links = 0;
};

}  // namespace

ReportInput readInput(LineSource &lines, const std::string &fileName, const std::vector<int> &sizes)
{
    std::vector<ReplayedLines::Line> firstLine;
    int number = 0;
    for (;;) {
        std::string line;
        bool terminated = false;
        if (!nextLine(lines, fileName, number, line, terminated))
            break;
        ++number;
        const size_t at = line.find_first_not_of(blanks);
        if (number == 1 && startsProbeLog(line))
            throw ReportError(fileName, number, "a probe log of hoprate --precise --save: read it with --analyse");
        if (at != std::string::npos && line[at] == '{')
            return DocumentReader(lines, fileName).read(std::move(line), number);
        if (number == 1)
            firstLine.push_back({std::move(line), terminated});
        if (at != std::string::npos)
            break;
    }
    // A results file, whose first line is a block header. When it is blank, the results
    // reader refuses that very line, whatever follows: it is given that line alone.
    ReplayedLines replayed(std::move(firstLine), number == 1 ? &lines : nullptr);
    return readResults(replayed, fileName, sizes);
}

ReportInput parseInput(const std::string &text, const std::string &fileName, const std::vector<int> &sizes)
{
    TextLines lines(text);
    return readInput(lines, fileName, sizes);
}

ReportInput readInputFile(const std::string &fileName, const std::vector<int> &sizes)
{
    FILE *file = std::fopen(fileName.c_str(), "rb");
    if (file == nullptr)
        throw ReportError(fileName, 0, std::string("cannot open: ") + std::strerror(errno));
    const std::unique_ptr<FILE, int (*)(FILE *)> closer(file, std::fclose);
    FileLines lines(file);
    return readInput(lines, fileName, sizes);
}

}  // namespace hoprate
