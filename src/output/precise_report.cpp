#include "output/precise_report.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>

#include "output/precise_names.h"
#include "output/printable.h"
#include "support/version.h"

namespace hoprate {

namespace {

// The notes of a hop, in the words of the table and the JSON document.
std::vector<std::string> notesOf(const HopResult &hop)
{
    std::vector<std::string> notes;
    if (hop.method == HopMethod::Silent)
        notes.push_back("silent: no time-exceeded message at this TTL");
    if (hop.mergedFrom > 0)
        notes.push_back("links " + std::to_string(hop.mergedFrom) + "-" + std::to_string(hop.hop) +
                        " in series (silent hop between)");
    if (hop.capacity.known && hop.capacity.lowerBound)
        notes.push_back("lower bound only: too fast to resolve from this host");
    if (hop.method == HopMethod::TtlLimited)
        notes.push_back(hop.protocol == ProbeProtocol::Icmp  ? "measured with TTL-limited probes"
                        : hop.protocol == ProbeProtocol::Udp ? "measured with TTL-limited UDP probes"
                                                             : "measured with TTL-limited TCP probes");
    if (hop.method == HopMethod::Destination && hop.protocol == ProbeProtocol::Udp)
        notes.push_back("measured with UDP probes (port unreachable)");
    if (hop.method == HopMethod::Destination && hop.protocol == ProbeProtocol::Tcp)
        notes.push_back("measured with TCP SYN probes");
    if (hop.asymmetric)
        notes.push_back("asymmetric");
    if (hop.directions == LinkDirections::Forward)
        notes.push_back("toward the destination only: the way back not told apart");
    if (hop.echoPathDiffers)
        notes.push_back("its echo replies came back another way: measured by its ICMP errors alone");
    if (hop.addressBeyond)
        notes.push_back("its address is reached by another, longer path: measured by its ICMP errors alone");
    if (hop.rateLimited)
        notes.push_back("rate-limited: its ICMP errors were paced");
    if (hop.hiddenDevice)
        notes.push_back("probable hidden store-and-forward device: the slope alone reads " +
                        formatBitsPerSecond(hop.slopeBitsPerSecond) + ", packet pairs " +
                        formatBitsPerSecond(hop.pairBitsPerSecond));
    for (const auto &[address, count] : hop.others)
        notes.push_back("also answered by " + addressText(address) + " (" + std::to_string(count) + ")");
    if (hop.method != HopMethod::Silent && !hop.capacity.known)
        notes.push_back("no estimate: too few replies");
    return notes;
}

// The widest host name the table shows, in characters: a longer one is cut (the JSON
// document has it whole), so that one name cannot push every row's figures off the screen.
constexpr size_t tableNameWidth = 40;

// A hop's address in the table, with its name after it: "192.0.2.1 (r1.example)".
std::string hopCell(const HopResult &hop)
{
    if (!hop.address)
        return "*";
    std::string cell = addressText(*hop.address);
    if (hop.name)
        cell += " (" + printableName(*hop.name, tableNameWidth) + ")";
    return cell;
}

// Width counted in characters: the "≥" sign is three bytes of UTF-8.
size_t shownWidth(const std::string &text)
{
    size_t width = 0;
    for (unsigned char c : text)
        width += (c & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

std::string padded(const std::string &text, size_t width, bool right = false)
{
    const size_t shown = shownWidth(text);
    if (shown >= width)
        return text;
    const std::string fill(width - shown, ' ');
    return right ? fill + text : text + fill;
}

}  // namespace

std::string formatBitsPerSecond(double bps)
{
    const char *units[] = {"b/s", "kb/s", "Mb/s", "Gb/s", "Tb/s"};
    int unit = 0;
    // Rounded to five significant digits first, so that a value which rounds up into the
    // next decade or unit is shown there: 999999 b/s is "1.0000 Mb/s", not "1000.00 kb/s".
    double value = std::strtod(printed("%.4e", bps).c_str(), nullptr);
    while (std::fabs(value) >= 1000.0 && unit < 4) {
        value /= 1000.0;
        ++unit;
    }
    const int decimals = std::fabs(value) >= 100 ? 2 : std::fabs(value) >= 10 ? 3 : 4;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, units[unit]);
    return text;
}

std::string formatPreciseTable(const PreciseResult &result, const std::string &destination)
{
    // Wide enough for every address and its name (a dotted quad at least).
    size_t addressWidth = 15;
    for (const HopResult &hop : result.hops)
        addressWidth = std::max(addressWidth, shownWidth(hopCell(hop)));
    std::string out = "hoprate --precise " + printableText(destination) + " (" + addressText(result.destination) + "): " +
                      std::to_string(result.hops.size()) + (result.hops.size() == 1 ? " hop" : " hops") +
                      ", path MTU " + std::to_string(result.pathMtu) + ", " + std::to_string(result.probesSent) +
                      " probes in " + printed("%.1f", result.wallSeconds) + " s, " +
                      (result.kernelStamps ? "kernel time stamps" : "program time stamps") + "\n";
    // With the directions told apart, "capacity" is the way toward the destination and
    // "return" the way back; a link with one figure for both shows it under "capacity"
    // and "=" under "return".
    const bool directions = result.settings.directions;
    out += "hop  " + padded("address", addressWidth) + "  capacity        90 % interval                " +
           (directions ? "return          " : "") + "min RTT     probes  note\n";
    for (const HopResult &hop : result.hops) {
        auto shown = [](const CapacityEstimate &c, std::string &capacity, std::string &interval) {
            if (c.known && c.lowerBound) {
                capacity = "≥ " + formatBitsPerSecond(c.bitsPerSecond);
            } else if (c.known) {
                capacity = formatBitsPerSecond(c.bitsPerSecond);
                interval = formatBitsPerSecond(c.low) + " - " + formatBitsPerSecond(c.high);
            }
        };
        std::string capacity = "-", interval = "-", back = "-", backInterval;
        shown(hop.capacity, capacity, interval);
        if (hop.returnCapacity)
            shown(*hop.returnCapacity, back, backInterval);
        else if (hop.directions == LinkDirections::Combined && hop.capacity.known)
            back = "=";
        const std::string rtt = std::isnan(hop.minRttMs) ? "-" : printed("%.3f ms", hop.minRttMs);
        std::string line = padded(std::to_string(hop.hop), 3, true) + "  " + padded(hopCell(hop), addressWidth) + "  " +
                           padded(capacity, 14) + "  " + padded(interval, 27) + "  " +
                           (directions ? padded(back, 14) + "  " : "") + padded(rtt, 10, true) + "  " +
                           padded(std::to_string(hop.probes) + "/" + std::to_string(hop.replies), 9, true);
        const std::vector<std::string> notes = notesOf(hop);
        for (size_t i = 0; i < notes.size(); ++i)
            line += (i == 0 ? "  " : "; ") + notes[i];
        out += line + "\n";
    }
    if (!result.destinationReached)
        out += "the destination did not answer: measured up to the last router that did\n";
    if (!result.complete)
        out += "interrupted: estimated from the probes sent until then\n";
    return out;
}

namespace {

std::string startTimeText(int64_t unixMs)
{
    const auto seconds = static_cast<std::time_t>(unixMs / 1000);
    std::tm utc{};
    if (unixMs < 0 || gmtime_r(&seconds, &utc) == nullptr)
        return "1970-01-01T00:00:00.000Z";
    char text[40];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    return std::string(text, length) + printed(".%03dZ", static_cast<int>(unixMs % 1000));
}

}  // namespace

std::string formatPreciseJson(const PreciseResult &result, const std::string &destination, bool oneLine)
{
    nlohmann::ordered_json doc;
    doc["version"] = hoprateVersion;
    doc["start_time"] = startTimeText(result.startedUnixMs);
    doc["destination"] = destination;
    doc["address"] = addressText(result.destination);
    doc["family"] = result.destination.family == Family::V4 ? "ipv4" : "ipv6";
    doc["source"] = result.source.isUnspecified() ? nlohmann::ordered_json() : nlohmann::ordered_json(addressText(result.source));
    doc["destination_reached"] = result.destinationReached;
    doc["probes_sent"] = result.probesSent;
    doc["wall_s"] = std::round(result.wallSeconds * 1000.0) / 1000.0;
    doc["path_mtu"] = result.pathMtu;
    doc["kernel_timestamps"] = result.kernelStamps;
    doc["protocol"] = protocolChoiceName(result.settings.protocol);
    doc["complete"] = result.complete;
    // Every setting as the run used it: given back on the command line (with --seed), they
    // repeat the run's choices.
    const PreciseSettings &s = result.settings;
    doc["settings"] = {{"max_hops", s.maxHops},
                       {"budget", s.budget},
                       {"target", s.target},
                       {"sizes", s.probeSizes},
                       {"spacing", s.gapFactor},
                       {"rate", s.rate},
                       {"ttl_limited", s.ttlLimited},
                       {"kernel_stamps", s.kernelStamps},
                       {"proto", protocolChoiceName(s.protocol)},
                       {"port", s.port > 0 ? nlohmann::ordered_json(s.port) : nlohmann::ordered_json()},
                       {"first_hop", s.firstHop},
                       {"directions", !s.directions        ? "off"
                                      : s.insistDirections ? "insist"
                                                           : "auto"},
                       {"quick", s.quick},
                       {"seed", s.seed}};
    doc["hops"] = nlohmann::ordered_json::array();
    for (const HopResult &hop : result.hops) {
        nlohmann::ordered_json h;
        h["hop"] = hop.hop;
        h["address"] = hop.address ? nlohmann::ordered_json(addressText(*hop.address)) : nlohmann::ordered_json();
        h["name"] = hop.name ? nlohmann::ordered_json(*hop.name) : nlohmann::ordered_json();
        const bool known = hop.capacity.known && std::isfinite(hop.capacity.bitsPerSecond);
        h["capacity_bps"] = known ? nlohmann::ordered_json(hop.capacity.bitsPerSecond) : nlohmann::ordered_json();
        if (known && !hop.capacity.lowerBound)
            h["ci90_bps"] = {hop.capacity.low, hop.capacity.high};
        else
            h["ci90_bps"] = nullptr;
        h["lower_bound"] = known && hop.capacity.lowerBound;
        const bool backKnown = hop.returnCapacity && std::isfinite(hop.returnCapacity->bitsPerSecond);
        h["return_capacity_bps"] =
            backKnown ? nlohmann::ordered_json(hop.returnCapacity->bitsPerSecond) : nlohmann::ordered_json();
        if (backKnown && !hop.returnCapacity->lowerBound)
            h["return_ci90_bps"] = {hop.returnCapacity->low, hop.returnCapacity->high};
        else
            h["return_ci90_bps"] = nullptr;
        h["directions"] = hop.directions == LinkDirections::Separated ? "separated"
                          : hop.directions == LinkDirections::Forward ? "forward"
                                                                      : "combined";
        h["asymmetric"] = hop.asymmetric;
        h["path_consistent"] = !hop.echoPathDiffers && !hop.addressBeyond;
        h["probes"] = hop.probes;
        h["replies"] = hop.replies;
        h["loss"] = hop.probes > 0 ? 1.0 - static_cast<double>(hop.replies) / hop.probes : 0.0;
        h["min_rtt_ms"] = std::isnan(hop.minRttMs) ? nlohmann::ordered_json() : nlohmann::ordered_json(hop.minRttMs);
        h["method"] = methodName(hop.method);
        h["protocol"] = protocolName(hop.protocol);
        h["rate_limited"] = hop.rateLimited;
        h["merged_from"] = hop.mergedFrom > 0 ? nlohmann::ordered_json(hop.mergedFrom) : nlohmann::ordered_json();
        h["hidden_device"] = hop.hiddenDevice;
        h["pair_bps"] = hop.pairBitsPerSecond > 0 ? nlohmann::ordered_json(hop.pairBitsPerSecond) : nlohmann::ordered_json();
        h["other_addresses"] = nlohmann::ordered_json::array();
        for (const auto &[address, count] : hop.others)
            h["other_addresses"].push_back({{"address", addressText(address)}, {"replies", count}});
        h["notes"] = notesOf(hop);
        doc["hops"].push_back(h);
    }
    // Text that is not UTF-8 (a name can hold any byte) becomes U+FFFD rather than an abort.
    return doc.dump(oneLine ? -1 : 2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

void ProgressLine::show(const PreciseProgress &progress)
{
    if (!enabled)
        return;
    std::string line = std::string("hoprate: ") + progress.phase;
    if (progress.hops > 0)
        line += ", " + std::to_string(progress.hops) + " hops";
    if (progress.activeHops > 0)
        line += " (" + std::to_string(progress.activeHops) + " still measured)";
    line += ", " + std::to_string(progress.probesSent) + " probes";
    if (progress.worstInterval > 0)
        line += ", widest interval ±" + printed("%.2f", progress.worstInterval * 100.0) + " %";
    const size_t width = line.size();
    if (line.size() < shown)
        line += std::string(shown - line.size(), ' ');
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    shown = width;
}

void ProgressLine::finish()
{
    if (!enabled || shown == 0)
        return;
    std::fprintf(stderr, "\r%s\r", std::string(shown, ' ').c_str());
    std::fflush(stderr);
    shown = 0;
}

}  // namespace hoprate
