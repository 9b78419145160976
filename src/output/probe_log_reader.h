// Reading a probe log (probe_log.h) back, one line at a time, as input from anywhere:
// every field is checked (numbers whole and in range, addresses of the run's family,
// names known, a row of every column, hops within the path, a pair's second probe right
// behind its first), at most maxLoggedHops hops and maxLoggedProbes rows are taken, and a
// refusal names the line at fault.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "output/probe_log.h"

namespace hoprate {

class ProbeLogError : public std::runtime_error {
public:
    ProbeLogError(int lineNumber, const std::string &why) : std::runtime_error(why), line(lineNumber), reason(why) {}
    int line;  // 1 is the first; one past the last when the log is cut short
    std::string reason;
};

// Whether a line is the first of a probe log (several follow each other in one file when
// a run measured several destinations).
bool startsProbeLog(std::string_view line);

class ProbeLogReader {
public:
    // probeLimit: the rows taken at most (maxLoggedProbes; the tests take fewer).
    explicit ProbeLogReader(int probeLimit = maxLoggedProbes) : limit(probeLimit) {}
    // The next line, without its line end. Throws ProbeLogError.
    void take(std::string_view line);
    // The log, once the last line is in. Throws ProbeLogError when it was cut short.
    ProbeLog finish();
    // Its end line is in: only another log may follow.
    bool ended() const { return part == Part::Ended; }

private:
    enum class Part { Title, Format, Header, Rows, Ended };

    [[noreturn]] void refuse(const std::string &why) const;
    void headerLine(std::string_view line);
    void hopLine(std::string_view fields);
    void nameLine(std::string_view fields);
    void settingLine(std::string_view fields);
    void columnsLine();
    void probeRow(std::string_view line);
    void endLine(std::string_view line);
    IpAddress address(std::string_view text, const char *what) const;

    int limit;
    Part part = Part::Title;
    int number = 0;  // of the line last taken
    ProbeLog log;
    std::vector<std::string> seen;  // header keys and settings given
    bool familyKnown = false;
};

}  // namespace hoprate
