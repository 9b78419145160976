#include "output/probe_log.h"

#include <array>

#include "output/precise_names.h"
#include "output/printable.h"

namespace hoprate {

namespace {

constexpr std::array replyKinds = {ReplyKind::EchoReply,   ReplyKind::TimeExceeded, ReplyKind::PortUnreachable,
                                   ReplyKind::Unreachable, ReplyKind::TooBig,       ReplyKind::TcpReset,
                                   ReplyKind::TcpSynAck};

const char *flag(bool on)
{
    return on ? "1" : "0";
}

std::string settingText(int value)
{
    return std::to_string(value);
}
std::string settingText(uint64_t value)
{
    return std::to_string(value);
}
std::string settingText(double value)
{
    return printed("%.17g", value);  // read back to the same double
}
std::string settingText(bool value)
{
    return flag(value);
}
std::string settingText(ProtocolChoice value)
{
    return protocolChoiceName(value);
}

std::string hopLine(const HopRecord &record, Family family)
{
    const PathHop &hop = record.hop;
    std::string line = "# hop " + std::to_string(hop.number) + " " +
                       (hop.method == HopMethod::Silent ? std::string("*") : addressText(hop.address)) + " " +
                       methodName(hop.method) + " " + protocolName(hop.protocol) +
                       " expects=" + expectedReplies(hop, family) + " skipped=" + flag(record.skipped) +
                       " rate_limited=" + flag(record.rateLimited) + " responders=";
    if (hop.responders.empty())
        line += "-";
    bool first = true;
    for (const auto &[address, count] : hop.responders) {
        line += (first ? "" : ",") + addressText(address) + "/" + std::to_string(count);
        first = false;
    }
    return line + "\n";
}

std::string probeRow(size_t index, const ProbeRecord &p, int64_t start)
{
    const bool a = p.answered;
    const auto number = [](int64_t value) { return std::to_string(value); };
    std::string row = number(static_cast<int64_t>(index));
    row += std::string(",") + (p.measurement ? "measure" : "setup");
    row += "," + number(p.hop) + "," + addressText(p.to) + "," + number(p.ttl) + "," + number(p.size);
    row += "," + number(p.sentAt - start) + "," + flag(a) + "," + (a ? number(p.rttNs) : "");
    row += std::string(",") + (a ? (p.kernelStamps ? "kernel" : "program") : "");
    row += std::string(",") + (a ? replyKindName(p.kind, p.to.family) : "");
    row += "," + (a ? number(p.replyLength) : "") + "," + (a ? addressText(p.responder) : "");
    row += "," + (p.sentKernel ? number(*p.sentKernel - p.sentAt) : "");
    row += "," + (a && p.arrivedKernel ? number(p.arrivedAt - *p.arrivedKernel) : "");
    row += std::string(",") + protocolName(p.protocol) + "," + (a ? number(p.replyTtl) : "");
    row += "," + (p.pairFirst >= 0 ? number(p.pairFirst) : "") + "," + flag(p.lateSendStamp);
    row += "," + (a ? number(p.arrivedAt - start) : "") + "," + number(p.sendError) + "," + number(p.sequence);
    row += std::string(",") + (a ? flag(p.cookieSeen) : "") + "," + (a ? number(p.nextHopMtu) : "");
    return row + "\n";
}

}  // namespace

std::string expectedReplies(const PathHop &hop, Family family)
{
    std::string names;
    for (const ReplyKind kind : replyKinds)
        if (measuredBy(hop.method, hop.protocol, kind))
            names += (names.empty() ? "" : ",") + std::string(replyKindName(kind, family));
    return names.empty() ? "-" : names;
}

std::string formatProbeLog(const PreciseResult &result, const std::string &destination, const PreciseSettings &settings)
{
    const Family family = result.destination.family;
    std::string out = "# hoprate --precise probe log: destination " + printableText(destination) + " (" +
                      addressText(result.destination) + "), path MTU " + std::to_string(result.pathMtu) + "\n";
    out += "# format " + std::to_string(probeLogFormat) + "\n";
    out += "# destination " + printableText(destination) + "\n";
    out += "# address " + addressText(result.destination) + "\n";
    out += std::string("# family ") + (family == Family::V4 ? "ipv4" : "ipv6") + "\n";
    out += "# source " + (result.source.isUnspecified() ? std::string("-") : addressText(result.source)) + "\n";
    out += std::string("# destination_reached ") + flag(result.destinationReached) + "\n";
    out += "# path_mtu " + std::to_string(result.pathMtu) + "\n";
    out += std::string("# kernel_timestamps ") + flag(result.kernelStamps) + "\n";
    out += "# probes_sent " + std::to_string(result.probesSent) + "\n";
    out += "# wall_s " + printed("%.17g", result.wallSeconds) + "\n";
    out += std::string("# complete ") + flag(result.complete) + "\n";
    out += "# started_unix_ms " + std::to_string(result.startedUnixMs) + "\n";
    forEachLoggedSetting(settings, [&](const char *name, const auto &value, double, double) {
        out += std::string("# setting ") + name + " " + settingText(value) + "\n";
    });
    for (const HopRecord &hop : result.path)
        out += hopLine(hop, family);
    for (const HopResult &hop : result.hops)
        if (hop.name)
            out += "# name " + std::to_string(hop.hop) + " " + printableText(*hop.name) + "\n";
    out += std::string(probeLogColumns) + "\n";
    const int64_t start = result.probes.empty() ? 0 : result.probes.front().sentAt;
    for (size_t i = 0; i < result.probes.size(); ++i)
        out += probeRow(i, result.probes[i], start);
    out += "# end: " + std::to_string(result.probes.size()) + " probes\n";
    return out;
}

}  // namespace hoprate
