#include "output/classic_console.h"

#include <cstdio>

#include "output/rate_format.h"
#include "output/results_file.h"
#include "support/diagnostics.h"

namespace hoprate {

std::string frequencyLine(int64_t frequency)
{
    const auto bits = static_cast<uint64_t>(frequency);
    char line[128];
    std::snprintf(line, sizeof line, "high resolution timer supported, frequency = (%d,%u)\n",
                  static_cast<int32_t>(static_cast<uint32_t>(bits >> 32)), static_cast<uint32_t>(bits & 0xFFFFFFFFu));
    return line;
}

void printFrequencyLine(int64_t frequency)
{
    std::fputs(frequencyLine(frequency).c_str(), stdout);
}

void printNoHighResolutionTimer()
{
    std::printf("this machine doesn't support high resolution timer!\n");
}

void printDefaultSizes(const std::vector<std::string> &sizeTexts)
{
    std::printf("using the default set:");
    for (const std::string &size : sizeTexts)
        std::printf(" %s", size.c_str());
    std::printf("\n");
}

void printOwnPid(int pid)
{
    std::printf("my own pid is %d\n", pid);
}

void ClassicConsole::sending(bool icmp, const std::string &targetName, const std::string &targetText, int size,
                             int ttl)
{
    if (verbose)
        std::printf("sending %s packets to %s [%s] with %d bytes of data, ttl=%d\n", icmp ? "icmp echo" : "udp",
                    targetName.c_str(), targetText.c_str(), size, ttl);
}

void ClassicConsole::accepted(const Reply &reply, int outstanding, double rtt)
{
    // A late answer to an earlier probe is accepted all the same, with a warning that
    // runs on into whatever is printed next.
    if (reply.sequenceMismatch)
        std::printf("warning: expected seq=%d, ", outstanding);
    if (!verbose)
        return;
    const double ms = rtt * 1000.0;
    const std::string source = dottedQuad(reply.source);
    switch (reply.kind) {
    case ReplyKind::EchoReply:
        std::printf("%d bytes: seq=%hu, rtt=%.4fms\n", reply.icmpLength, reply.sequence, ms);
        break;
    case ReplyKind::TimeExceededForEcho:
        std::printf("time exceeded from %s: %d bytes: seq=%hu, rtt=%.4fms\n", source.c_str(), reply.quotedLength,
                    reply.sequence, ms);
        break;
    case ReplyKind::TimeExceededForUdp:
        std::printf("udp time exceeded from %s: %d bytes: seq=%hu, rtt=%.4fms\n", source.c_str(), reply.quotedLength,
                    reply.sequence, ms);
        break;
    case ReplyKind::PortUnreachable:
        std::printf("port unreachable: %d bytes: seq=%hu, rtt=%.4fms", reply.quotedLength, reply.sequence, ms);
        if (reply.census.flag > 0)
            std::printf(", #_7e=%d", reply.census.flag);
        if (reply.census.escape > 0)
            std::printf(", #_7d=%d", reply.census.escape);
        if (reply.census.control > 0)
            std::printf(", #_20=%d", reply.census.control);
        std::printf("\n");
        break;
    default:
        break;
    }
}

void ClassicConsole::rejected(const Reply &reply)
{
    switch (reply.kind) {
    case ReplyKind::ForeignEchoReply:
        std::printf("icmp echo reply but %hu is not my own pid %d\n", reply.identifier, ownPid);
        break;
    case ReplyKind::EchoRequest:
        std::printf("got my own echo request packet?!\n");
        break;
    case ReplyKind::ForeignTimeExceeded:
        std::printf("icmp ttl exceeded for icmp, but %hu is not my own pid %d\n", reply.identifier, ownPid);
        break;
    case ReplyKind::TimeExceededElsewhere:
        if (verbose)
            std::printf("time exceeded from %s for %s\n", dottedQuad(reply.source).c_str(),
                        dottedQuad(reply.quotedDestination).c_str());
        break;
    case ReplyKind::TimeExceededOtherPort:
        std::printf("time exceeded udp port: %hu\n", reply.port);
        break;
    case ReplyKind::TimeExceededOtherProtocol:
        std::printf("unknown time exceeded\n");
        break;
    case ReplyKind::UnreachableElsewhere:
        std::printf("port unreachable from %s\n", dottedQuad(reply.source).c_str());
        break;
    case ReplyKind::UnreachableOtherPort:
        std::printf("udp port: %hu\n", reply.port);
        break;
    case ReplyKind::EchoReplyDuringUdp:
        std::printf("icmp echo reply while a udp probe is outstanding\n");
        break;
    case ReplyKind::TimeExceededForEchoDuringUdp:
        std::printf("icmp ttl exceeded for icmp while a udp probe is outstanding\n");
        break;
    case ReplyKind::TimeExceededForUdpDuringEcho:
        std::printf("time exceeded for udp while an icmp probe is outstanding\n");
        break;
    case ReplyKind::UnreachableDuringEcho:
        std::printf("port unreachable while an icmp probe is outstanding\n");
        break;
    case ReplyKind::TimeExceededOtherSourcePort:
        std::printf("time exceeded udp source port: %hu\n", reply.sourcePort);
        break;
    case ReplyKind::UnreachableOtherSourcePort:
        std::printf("udp source port: %hu\n", reply.sourcePort);
        break;
    default:
        std::printf("incoming ICMP packet not handled\n");
        break;
    }
}

std::string fatalReplyMessage(const Reply &reply)
{
    switch (reply.kind) {
    case ReplyKind::TooShortForIcmp:
        return "icmplen (" + std::to_string(reply.icmpLength) + ") < 8\n";
    case ReplyKind::EchoReplyTooShort:
        return "icmplen (" + std::to_string(reply.icmpLength) + ") < 16\n";
    case ReplyKind::ErrorTooShort:
        return "icmplen (" + std::to_string(reply.icmpLength) + ") < 8 + 20 + 8)";
    case ReplyKind::QuotedEchoTooShort:
        return "icmplen2 (" + std::to_string(reply.quotedLength) + ") < 8\n";
    default:
        return "udplen2 (" + std::to_string(reply.quotedLength) + ") < 8\n";
    }
}

void ClassicConsole::fatalReply(const Reply &reply)
{
    fatalError("%s", fatalReplyMessage(reply).c_str());
}

void ClassicConsole::timedOut(int probeNumber)
{
    printWarning("seq %d timed out", probeNumber);
}

void ClassicConsole::sweepDone(int timeoutsSoFar)
{
    std::printf("# of timeouts: %d\n", timeoutsSoFar);
    std::printf("analyze\n");
}

void ClassicConsole::analysis(const std::vector<SizeSummary> &sizes, const LineFit &fit)
{
    if (!verbose)
        return;
    for (size_t i = 0; i < sizes.size(); ++i) {
        const int position = sizes[i].minimumAt ? static_cast<int>(*sizes[i].minimumAt) : -1;
        std::printf("t_k_min at [%d][%d],\tt_a_min at [%d][%d]\n", static_cast<int>(i), position, static_cast<int>(i),
                    position);
    }
    std::fputs(valueRow(minimaOf(sizes)).c_str(), stdout);
    std::printf("m = %e, b = %e, stdev_m = %e, stdev_b = %e, alpha_m = %lf\n", fit.slope, fit.intercept,
                fit.slopeStdev, fit.interceptStdev, fit.slopeRelErr);
}

void ClassicConsole::hop(const HopPass &pass)
{
    if (verbose) {
        std::printf("k1=%e, k2=%e, k1p=%e, k2p=%e\n", pass.k1.value, pass.k2.value, pass.k1p.value, pass.k2p.value);
        std::printf("a1=%e, a2=%e, a1p=%e, a2p=%e\n", pass.k1.relErr, pass.k2.relErr, pass.k1p.relErr,
                    pass.k2p.relErr);
    }
    std::printf("v_n = %sb/s, ", formatRate(pass.rates.vN, pass.rates.rN).c_str());
    std::printf("v_n' = %sb/s\n", formatRate(pass.rates.vNp, pass.rates.rNp).c_str());
}

}  // namespace hoprate
