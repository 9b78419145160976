// Everything the classic mode prints on standard output (and its time-out warning and
// fatal reply messages on standard error), line by line, in the program's exact words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "measure/fit.h"
#include "measure/hop_rates.h"
#include "measure/samples.h"
#include "wire/reply.h"

namespace hoprate {

// Start-up lines, printed before the run's settings are known.
void printFrequencyLine(int64_t frequency);
void printNoHighResolutionTimer();
void printDefaultSizes(const std::vector<std::string> &sizeTexts);
void printOwnPid(int pid);
// The frequency line, e.g. "high resolution timer supported, frequency = (0,1000000000)\n".
std::string frequencyLine(int64_t frequency);
// The message that ends a run at a datagram too short for its kind (its own newline
// included where the run has always printed one).
std::string fatalReplyMessage(const Reply &reply);

class ClassicConsole {
public:
    ClassicConsole(bool verboseLines, int processId) : verbose(verboseLines), ownPid(processId) {}

    // A size's probes begin (verbose).
    void sending(bool icmp, const std::string &targetName, const std::string &targetText, int size, int ttl);
    // A datagram that answers the outstanding probe (number outstanding), with its round
    // trip in seconds.
    void accepted(const Reply &reply, int outstanding, double rtt);
    // A datagram that answers nothing.
    void rejected(const Reply &reply);
    // A datagram too short for its kind: ends the run with fatalReplyMessage.
    [[noreturn]] void fatalReply(const Reply &reply);
    // The outstanding probe got no reply in time (standard error).
    void timedOut(int probeNumber);

    // The end of a sweep: the time-out count, "analyze", each size's minimum position
    // (verbose), the minima and the fit (verbose).
    void sweepDone(int timeoutsSoFar);
    void analysis(const std::vector<SizeSummary> &sizes, const LineFit &fit);

    // A hop's slopes (verbose) and its two rates.
    void hop(const HopPass &pass);

private:
    bool verbose;
    int ownPid;
};

}  // namespace hoprate
