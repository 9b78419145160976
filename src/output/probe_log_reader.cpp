#include "output/probe_log_reader.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <optional>
#include <type_traits>
#include <utility>

#include "output/precise_names.h"
#include "output/printable.h"

namespace hoprate {

namespace {

constexpr std::string_view titlePrefix = "# hoprate --precise probe log: ";
constexpr std::string_view endPrefix = "# end: ";
// The header lines besides settings and hops, each given once.
constexpr std::array<const char *, 12> headerKeys = {
    "destination",       "address",     "family", "source",   "destination_reached", "path_mtu",
    "kernel_timestamps", "probes_sent", "wall_s", "complete", "started_unix_ms",     "format"};

// Text from the log in a message: quoted, made printable, at most 40 bytes of it.
std::string shown(std::string_view text)
{
    return "\"" + printableText(text.substr(0, 40)) + (text.size() > 40 ? "...\"" : "\"");
}

std::optional<int64_t> wholeNumber(std::string_view text, int64_t lowest, int64_t highest)
{
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

std::string wholeExpected(int64_t lowest, int64_t highest)
{
    return "expected a whole number from " + std::to_string(lowest) + " to " + std::to_string(highest);
}

// Everything before the first separator, and the rest after it (nothing: no separator).
std::pair<std::string_view, std::optional<std::string_view>> cut(std::string_view text, char separator)
{
    const size_t at = text.find(separator);
    if (at == std::string_view::npos)
        return {text, std::nullopt};
    return {text.substr(0, at), text.substr(at + 1)};
}

}  // namespace

bool startsProbeLog(std::string_view line)
{
    return line.substr(0, titlePrefix.size()) == titlePrefix;
}

void ProbeLogReader::refuse(const std::string &why) const
{
    throw ProbeLogError(number, why);
}

IpAddress ProbeLogReader::address(std::string_view text, const char *what) const
{
    // As the writer prints them only: a dotted quad, or IPv6 as RFC 5952 writes it.
    const std::string copy(text.substr(0, INET6_ADDRSTRLEN));
    std::optional<IpAddress> parsed;
    in_addr v4{};
    in6_addr v6{};
    if (text.size() < INET6_ADDRSTRLEN && copy.find(':') == std::string::npos &&
        inet_pton(AF_INET, copy.c_str(), &v4) == 1)
        parsed = IpAddress::v4(v4.s_addr);
    else if (text.size() < INET6_ADDRSTRLEN && inet_pton(AF_INET6, copy.c_str(), &v6) == 1)
        parsed = IpAddress::v6(v6.s6_addr);
    if (!parsed || addressText(*parsed) != text)
        refuse(std::string(what) + ": expected an IP address, found " + shown(text));
    if (familyKnown && parsed->family != log.address.family)
        refuse(std::string(what) + ": " + shown(text) + " is not of the destination's family");
    return *parsed;
}

void ProbeLogReader::take(std::string_view line)
{
    ++number;
    switch (part) {
    case Part::Title:
        if (!startsProbeLog(line))
            refuse("not a probe log of hoprate --precise --save: its first line is not \"" + std::string(titlePrefix) +
                   "...\"");
        part = Part::Format;
        return;
    case Part::Format:
        if (line.substr(0, 12) == "probe,phase,")
            refuse("a probe log of an earlier hoprate, without the path and the settings: it cannot be analysed");
        if (line.substr(0, 9) != "# format ")
            refuse("expected \"# format " + std::to_string(probeLogFormat) + "\", found " + shown(line));
        if (wholeNumber(line.substr(9), 0, 1000000) != probeLogFormat)
            refuse("format " + shown(line.substr(9)) + ": only format " + std::to_string(probeLogFormat) + " is read");
        seen.emplace_back("format");
        part = Part::Header;
        return;
    case Part::Header:
        if (line == probeLogColumns)
            columnsLine();
        else if (line.substr(0, 2) == "# ")
            headerLine(line.substr(2));
        else
            refuse("expected a header line (\"# ...\") or the column names, found " + shown(line));
        return;
    case Part::Rows:
        if (line.substr(0, 1) == "#")
            endLine(line);
        else
            probeRow(line);
        return;
    case Part::Ended:
        refuse("a line after the end line");
    }
}

void ProbeLogReader::headerLine(std::string_view line)
{
    const auto [key, rest] = cut(line, ' ');
    if (key == "setting" && rest)
        return settingLine(*rest);
    if (key == "hop" && rest)
        return hopLine(*rest);
    if (key == "name" && rest)
        return nameLine(*rest);
    if (std::find(headerKeys.begin(), headerKeys.end(), key) == headerKeys.end() || !rest)
        refuse("unknown header line " + shown(line));
    const std::string name(key);
    if (std::find(seen.begin(), seen.end(), name) != seen.end())
        refuse("# " + name + " given twice");
    seen.push_back(name);
    const std::string_view value = *rest;
    const auto whole = [&](int64_t lowest, int64_t highest) {
        const std::optional<int64_t> n = wholeNumber(value, lowest, highest);
        if (!n)
            refuse(name + ": " + wholeExpected(lowest, highest) + ", found " + shown(value));
        return *n;
    };
    if (name == "destination") {
        const std::optional<std::string> text = unprintedText(value);
        if (!text)
            refuse("destination: " + shown(value) + " holds a control byte or an escape other than \\\\ and \\xNN");
        log.destination = *text;
    } else if (name == "address") {
        log.address = address(value, "address");
        familyKnown = true;
    } else if (name == "family") {
        if (value != "ipv4" && value != "ipv6")
            refuse("family: expected ipv4 or ipv6, found " + shown(value));
        if (!familyKnown || (value == "ipv4") != (log.address.family == Family::V4))
            refuse("family: " + shown(value) + " is not the family of the # address before it");
    } else if (name == "source") {
        if (!familyKnown)
            refuse("# source before # address");
        log.source = value == "-" ? IpAddress{} : address(value, "source");
    } else if (name == "destination_reached") {
        log.destinationReached = whole(0, 1) == 1;
    } else if (name == "path_mtu") {
        log.pathMtu = static_cast<int>(whole(0, 65535));
    } else if (name == "kernel_timestamps") {
        log.kernelStamps = whole(0, 1) == 1;
    } else if (name == "probes_sent") {
        log.probesSent = static_cast<int>(whole(0, maxLoggedProbes));
    } else if (name == "complete") {
        log.complete = whole(0, 1) == 1;
    } else if (name == "started_unix_ms") {
        log.startedUnixMs = whole(0, maxLoggedNanoseconds);
    } else if (name == "wall_s") {
        double seconds = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), seconds);
        if (value.empty() || error != std::errc() || end != value.data() + value.size() || !std::isfinite(seconds) ||
            seconds < 0 || seconds > 1e9)
            refuse("wall_s: expected seconds from 0 to 1e9, found " + shown(value));
        log.wallSeconds = seconds;
    } else {
        refuse("# format given twice");
    }
}

void ProbeLogReader::settingLine(std::string_view fields)
{
    const auto parts = cut(fields, ' ');  // not bound by name: the lambda below uses them
    const std::string_view key = parts.first;
    const std::optional<std::string_view> value = parts.second;
    bool known = false;
    forEachLoggedSetting(log.settings, [&](const char *name, auto &setting, double lowest, double highest) {
        if (key != name)
            return;
        known = true;
        const std::string label = std::string("setting ") + name;
        if (std::find(seen.begin(), seen.end(), label) != seen.end())
            refuse("# " + label + " given twice");
        seen.push_back(label);
        const std::string_view text = value.value_or("");
        using Kind = std::remove_reference_t<decltype(setting)>;
        if constexpr (std::is_same_v<Kind, ProtocolChoice>) {
            const std::optional<ProtocolChoice> choice = protocolChoiceNamed(text);
            if (!choice)
                refuse(label + ": expected auto, icmp, udp or tcp, found " + shown(text));
            setting = *choice;
        } else if constexpr (std::is_same_v<Kind, bool>) {
            if (text != "0" && text != "1")
                refuse(label + ": expected 0 or 1, found " + shown(text));
            setting = text == "1";
        } else if constexpr (std::is_same_v<Kind, uint64_t>) {
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), setting);
            if (text.empty() || error != std::errc() || end != text.data() + text.size())
                refuse(label + ": expected a whole number from 0 to 18446744073709551615, found " + shown(text));
        } else if constexpr (std::is_same_v<Kind, int>) {
            const std::optional<int64_t> n =
                wholeNumber(text, static_cast<int64_t>(lowest), static_cast<int64_t>(highest));
            if (!n)
                refuse(label + ": " + wholeExpected(static_cast<int64_t>(lowest), static_cast<int64_t>(highest)) +
                       ", found " + shown(text));
            setting = static_cast<int>(*n);
        } else {
            static_assert(std::is_same_v<Kind, double>);
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), setting);
            if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(setting) ||
                setting < lowest || setting > highest)
                refuse(label + ": expected a number from " + printed("%g", lowest) + " to " + printed("%g", highest) +
                       ", found " + shown(text));
        }
    });
    if (!known)
        refuse("unknown setting " + shown(key));
}

void ProbeLogReader::hopLine(std::string_view fields)
{
    if (!familyKnown)
        refuse("# hop before # address");
    if (log.path.size() >= static_cast<size_t>(maxLoggedHops))
        refuse("more than " + std::to_string(maxLoggedHops) + " hops");
    // N ADDRESS METHOD PROTOCOL expects=... skipped=... rate_limited=... responders=...
    std::array<std::string_view, 8> field;
    std::string_view rest = fields;
    for (size_t i = 0; i < field.size(); ++i) {
        const auto [head, tail] = cut(rest, ' ');
        field[i] = head;
        if (!tail && i + 1 < field.size())
            refuse("a hop line of " + std::to_string(i + 1) + " fields, expected 8: " + shown(fields));
        rest = tail.value_or("");
        if (tail && i + 1 == field.size())
            refuse("a hop line of more than 8 fields: " + shown(fields));
    }
    HopRecord record;
    PathHop &hop = record.hop;
    const int expectedNumber = static_cast<int>(log.path.size()) + 1;
    if (wholeNumber(field[0], expectedNumber, expectedNumber) != expectedNumber)
        refuse("hop " + shown(field[0]) + " where hop " + std::to_string(expectedNumber) +
               " comes (the hops go 1, 2, 3, ...)");
    hop.number = expectedNumber;
    const std::optional<HopMethod> method = methodNamed(field[2]);
    if (!method)
        refuse("hop " + std::to_string(hop.number) + ": unknown method " + shown(field[2]));
    hop.method = *method;
    if ((field[1] == "*") != (hop.method == HopMethod::Silent))
        refuse("hop " + std::to_string(hop.number) + ": \"*\" stands for the address of a silent hop, and only there");
    if (hop.method != HopMethod::Silent)
        hop.address = address(field[1], "hop address");
    const std::optional<ProbeProtocol> protocol = protocolNamed(field[3]);
    if (!protocol)
        refuse("hop " + std::to_string(hop.number) + ": unknown protocol " + shown(field[3]));
    hop.protocol = *protocol;
    const auto keyed = [&](std::string_view text, std::string_view key) {
        if (text.substr(0, key.size()) != key || text.substr(key.size(), 1) != "=")
            refuse("hop " + std::to_string(hop.number) + ": expected " + std::string(key) + "=..., found " +
                   shown(text));
        return text.substr(key.size() + 1);
    };
    const auto flagOf = [&](std::string_view text, std::string_view key) {
        const std::string_view value = keyed(text, key);
        if (value != "0" && value != "1")
            refuse("hop " + std::to_string(hop.number) + ": " + std::string(key) + " is 0 or 1, not " + shown(value));
        return value == "1";
    };
    const std::string_view expects = keyed(field[4], "expects");
    const std::string implied = expectedReplies(hop, log.address.family);
    if (expects != implied)
        refuse("hop " + std::to_string(hop.number) + ": expects=" + printableText(expects.substr(0, 60)) + ", but " +
               methodName(hop.method) + " with " + protocolName(hop.protocol) + " probes expects " + implied);
    record.skipped = flagOf(field[5], "skipped");
    record.rateLimited = flagOf(field[6], "rate_limited");
    std::string_view responders = keyed(field[7], "responders");
    if (responders != "-") {
        for (;;) {
            const auto [entry, more] = cut(responders, ',');
            const auto [text, count] = cut(entry, '/');
            const std::optional<int64_t> replies = count ? wholeNumber(*count, 1, 1000000000) : std::nullopt;
            if (!replies)
                refuse("hop " + std::to_string(hop.number) + ": responders: expected ADDRESS/REPLIES, found " +
                       shown(entry));
            const IpAddress responder = address(text, "responder");
            if (hop.responders.count(responder) > 0)
                refuse("hop " + std::to_string(hop.number) + ": responder " + shown(text) + " named twice");
            if (hop.responders.size() >= static_cast<size_t>(maxLoggedResponders))
                refuse("hop " + std::to_string(hop.number) + ": more than " + std::to_string(maxLoggedResponders) +
                       " responders");
            hop.responders[responder] = static_cast<int>(*replies);
            if (!more)
                break;
            responders = *more;
        }
    }
    log.path.push_back(std::move(record));
}

void ProbeLogReader::nameLine(std::string_view fields)
{
    const auto [hopText, text] = cut(fields, ' ');
    const int hops = static_cast<int>(log.path.size());
    const std::optional<int64_t> hop = wholeNumber(hopText, 1, maxLoggedHops);
    if (!hop || *hop > hops)
        refuse("a name of hop " + shown(hopText) + ", not one of the " + std::to_string(hops) + " hops before it");
    const std::optional<std::string> name = unprintedText(text.value_or(""));
    if (!name || name->empty() || name->size() > maxLoggedNameBytes)
        refuse("the name of hop " + std::to_string(*hop) + " is empty, longer than " +
               std::to_string(maxLoggedNameBytes) + " bytes, or holds a control byte or an unknown escape");
    if (!log.names.emplace(static_cast<int>(*hop), *name).second)
        refuse("hop " + std::to_string(*hop) + " named twice");
}

void ProbeLogReader::columnsLine()
{
    for (const char *key : headerKeys)
        if (std::find(seen.begin(), seen.end(), key) == seen.end())
            refuse(std::string("the header lacks # ") + key);
    forEachLoggedSetting(log.settings, [&](const char *name, auto &setting, double, double) {
        if (std::find(seen.begin(), seen.end(), std::string("setting ") + name) != seen.end())
            return;
        // Runs from before the two directions were told apart gave one figure per link
        // (and did not insist on two).
        if constexpr (std::is_same_v<std::remove_reference_t<decltype(setting)>, bool>) {
            if (std::string_view(name) == "directions" || std::string_view(name) == "insist_directions") {
                setting = false;
                return;
            }
        }
        refuse(std::string("the header lacks # setting ") + name);
    });
    if (log.path.empty())
        refuse("the header names no hop");
    part = Part::Rows;
}

void ProbeLogReader::probeRow(std::string_view line)
{
    if (log.probes.size() >= static_cast<size_t>(limit))
        refuse("more than " + std::to_string(limit) + " probes");
    const auto count = static_cast<size_t>(std::count(line.begin(), line.end(), ',')) + 1;
    if (count != probeLogColumnCount)
        refuse("a row of " + std::to_string(count) + " fields, expected " + std::to_string(probeLogColumnCount));
    std::array<std::string_view, probeLogColumnCount> field;
    std::array<std::string_view, probeLogColumnCount> column;
    std::string_view rest = line;
    std::string_view names = probeLogColumns;
    for (size_t i = 0; i < field.size(); ++i) {
        const auto [head, tail] = cut(rest, ',');
        field[i] = head;
        rest = tail.value_or("");
        const auto [name, others] = cut(names, ',');
        column[i] = name;
        names = others.value_or("");
    }
    const auto fail = [&](size_t i, const std::string &why) {
        refuse(std::string(column[i]) + ": " + why + ", found " + shown(field[i]));
    };
    const auto whole = [&](size_t i, int64_t lowest, int64_t highest) {
        const std::optional<int64_t> n = wholeNumber(field[i], lowest, highest);
        if (!n)
            fail(i, wholeExpected(lowest, highest));
        return *n;
    };
    const auto flagAt = [&](size_t i) { return whole(i, 0, 1) == 1; };
    // A figure of answered probes only: empty for the others.
    const auto ifAnswered = [&](size_t i, bool answered) {
        if (!answered && !field[i].empty())
            fail(i, "expected nothing for a probe without an answer");
        return answered;
    };
    const int64_t t = maxLoggedNanoseconds;

    ProbeRecord p;
    const int64_t index = static_cast<int64_t>(log.probes.size());
    whole(0, index, index);
    if (field[1] != "setup" && field[1] != "measure")
        fail(1, "expected setup or measure");
    p.measurement = field[1] == "measure";
    const int pathHops = static_cast<int>(log.path.size());
    p.hop = static_cast<int>(whole(2, 0, maxLoggedHops));
    if (p.measurement && (p.hop < 1 || p.hop > pathHops))
        refuse("probe " + std::to_string(index) + " measures hop " + std::to_string(p.hop) + ", beyond the path's " +
               std::to_string(pathHops) + (pathHops == 1 ? " hop" : " hops"));
    p.to = address(field[3], "to");
    p.ttl = static_cast<int>(whole(4, 0, 255));
    p.size = static_cast<int>(whole(5, 1, 65535));
    p.sentAt = whole(6, 0, t);
    if (index == 0 && p.sentAt != 0)
        fail(6, "expected 0 for the first probe, whose send the times count from");
    p.answered = flagAt(7);
    if (ifAnswered(8, p.answered))
        p.rttNs = whole(8, -t, t);
    if (ifAnswered(9, p.answered)) {
        if (field[9] != "kernel" && field[9] != "program")
            fail(9, "expected kernel or program");
        p.kernelStamps = field[9] == "kernel";
    }
    if (ifAnswered(10, p.answered)) {
        const std::optional<ReplyKind> kind = replyKindNamed(field[10]);
        if (!kind)
            fail(10, "expected a kind of reply");
        p.kind = *kind;
    }
    if (ifAnswered(11, p.answered))
        p.replyLength = static_cast<int>(whole(11, 0, 65535));
    if (ifAnswered(12, p.answered))
        p.responder = address(field[12], "responder");
    if (!field[13].empty())
        p.sentKernel = p.sentAt + whole(13, -t, t);
    std::optional<int64_t> receiveDelay;  // the program's receive time after the kernel's stamp
    if (ifAnswered(14, p.answered) && !field[14].empty())
        receiveDelay = whole(14, -t, t);
    const std::optional<ProbeProtocol> protocol = protocolNamed(field[15]);
    if (!protocol)
        fail(15, "expected icmp, udp or tcp");
    p.protocol = *protocol;
    if (ifAnswered(16, p.answered))
        p.replyTtl = static_cast<int>(whole(16, 0, 255));
    if (!field[17].empty()) {
        // The second probe of a pair follows its first right away, to the same hop.
        const ProbeRecord *first = index > 0 ? &log.probes.back() : nullptr;
        if (wholeNumber(field[17], index - 1, index - 1) != index - 1 || !p.measurement || first == nullptr ||
            !first->measurement || first->hop != p.hop)
            fail(17, "expected the probe before it, a measurement probe of the same hop");
        p.pairFirst = static_cast<int>(index - 1);
    }
    p.lateSendStamp = flagAt(18);
    if (ifAnswered(19, p.answered)) {
        p.arrivedAt = whole(19, -t, t);
        if (receiveDelay)
            p.arrivedKernel = p.arrivedAt - *receiveDelay;
    }
    p.sendError = static_cast<int>(whole(20, 0, 4095));
    if (p.answered && p.sendError != 0)
        fail(20, "expected 0 for a probe with an answer");
    p.sequence = static_cast<uint16_t>(whole(21, 0, 65535));
    if (ifAnswered(22, p.answered))
        p.cookieSeen = flagAt(22);
    if (ifAnswered(23, p.answered))
        p.nextHopMtu = static_cast<int>(whole(23, 0, 65535));
    if (p.answered && p.kernelStamps != (p.sentKernel && p.arrivedKernel))
        refuse("probe " + std::to_string(index) +
               ": stamps are kernel ones exactly when both stamp delays are given, and they are not");
    log.probes.push_back(p);
}

void ProbeLogReader::endLine(std::string_view line)
{
    const std::string expected = std::to_string(log.probes.size());
    if (line.substr(0, endPrefix.size()) != endPrefix)
        refuse("expected a probe's row or the end line (\"# end: " + expected + " probes\"), found " + shown(line));
    const std::string_view counted = line.substr(endPrefix.size());
    if (counted != expected + " probes")
        refuse("the end line counts " + shown(counted) + ", but the log has " + expected + " probes");
    part = Part::Ended;
}

ProbeLog ProbeLogReader::finish()
{
    // A log cut short is refused at the line after its last.
    switch (part) {
    case Part::Title:
        throw ProbeLogError(number + 1, "empty: not a probe log of hoprate --precise --save");
    case Part::Format:
    case Part::Header:
        throw ProbeLogError(number + 1, "the log ends in its header, before the column names");
    case Part::Rows:
        throw ProbeLogError(number + 1, "the log ends after " + std::to_string(log.probes.size()) +
                                            " probes without its end line (\"# end: N probes\"): cut short");
    case Part::Ended:
        break;
    }
    ProbeLog done = std::move(log);
    *this = ProbeLogReader(limit);
    return done;
}

}  // namespace hoprate
