#include "accurate_output.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "output/precise_report.h"
#include "output/printable.h"
#include "report_text.h"

namespace hoprate {

namespace {

// "2-3" for links 2 to 3 in series, else the hop.
std::string linkLabel(const AccurateLink &link)
{
    return link.mergedFrom > 0 && link.mergedFrom < link.hop
               ? std::to_string(link.mergedFrom) + "-" + std::to_string(link.hop)
               : std::to_string(link.hop);
}

std::string hopAddressText(const AccurateLink &link)
{
    std::string text = link.address.empty() ? "*" : link.address;
    if (!link.name.empty())
        text += " (" + link.name + ")";
    return text;
}

std::string measuredText(const AccurateLink &link)
{
    return link.method == "silent" ? link.method : link.method + " " + link.protocol;
}

std::string capacityText(const AccurateLink &link)
{
    if (!link.capacity)
        return "-";
    return (link.lowerBound ? ">= " : "") + formatBitsPerSecond(*link.capacity);
}

std::string intervalText(const std::optional<CapacityInterval> &interval)
{
    return interval ? formatBitsPerSecond(interval->low) + " - " + formatBitsPerSecond(interval->high) : "-";
}

std::string notesOf(const AccurateLink &link)
{
    std::vector<std::string> notes;
    if (link.lowerBound)
        notes.emplace_back("lower bound: too fast to resolve");
    if (link.mergedFrom > 0 && link.mergedFrom < link.hop)
        notes.push_back("links " + linkLabel(link) + " in series");
    if (link.asymmetric.value_or(false))
        notes.emplace_back("asymmetric");
    std::string text;
    for (const std::string &note : notes)
        text += (text.empty() ? "" : "; ") + note;
    return text;
}

std::string headerOf(const AccurateDestination &d)
{
    std::string text = "destination " + printable(d.destination) + " (" + printable(d.address) + "), " +
                       printable(d.family) + ", " + std::to_string(d.links.size()) +
                       (d.links.size() == 1 ? " hop, " : " hops, ") + std::to_string(d.probesSent) + " probes in " +
                       printed("%.1f", d.wallSeconds) + " s";
    if (!d.destinationReached)
        text += ", destination not reached";
    if (d.complete == false)
        text += ", incomplete run";
    return text;
}

bool anyReturn(const AccurateDestination &d)
{
    return std::any_of(d.links.begin(), d.links.end(),
                       [](const AccurateLink &l) { return l.returnCapacity.has_value(); });
}

std::string csvOptional(const std::optional<double> &value)
{
    return value ? csvNumber(*value) : "";
}

nlohmann::ordered_json jsonInterval(const std::optional<CapacityInterval> &interval)
{
    return interval ? nlohmann::ordered_json::array({interval->low, interval->high}) : nlohmann::ordered_json();
}

template <typename T> nlohmann::ordered_json jsonOptional(const std::optional<T> &value)
{
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json();
}

nlohmann::ordered_json jsonText(const std::string &text)
{
    return text.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(text);
}

// "1 Mb/s" for 10^6: a power of ten in the unit the table would choose.
std::string decadeLabel(int decade)
{
    const char *units[] = {"b/s", "kb/s", "Mb/s", "Gb/s", "Tb/s", "Pb/s"};
    if (decade < 0 || decade > 17)
        return "1e" + std::to_string(decade) + " b/s";
    return std::string(decade % 3 == 0 ? "1 " : decade % 3 == 1 ? "10 " : "100 ") + units[decade / 3];
}

}  // namespace

std::string formatAccurateTable(const AccurateReport &report)
{
    std::string out = "results file: " + printable(report.file) + "\n";
    for (const AccurateDestination &d : report.destinations) {
        out += "\n" + headerOf(d) + "\n";
        const bool returns = anyReturn(d);
        bool notes = false;
        std::vector<std::vector<std::string>> rows = {{"hop", "address", "measured", "capacity", "90 % interval"}};
        for (const AccurateLink &link : d.links) {
            std::vector<std::string> row = {std::to_string(link.hop), printable(hopAddressText(link)),
                                            printable(measuredText(link)), capacityText(link), intervalText(link.ci90)};
            if (returns) {
                row.push_back(link.returnCapacity ? formatBitsPerSecond(*link.returnCapacity) : "-");
                row.push_back(intervalText(link.returnCi90));
            }
            row.push_back(notesOf(link));
            notes = notes || !row.back().empty();
            rows.push_back(row);
        }
        if (returns) {
            rows[0].emplace_back("return");
            rows[0].emplace_back("return 90 % interval");
        }
        rows[0].emplace_back(notes ? "note" : "");
        std::vector<bool> alignRight(rows[0].size(), false);
        alignRight[0] = true;
        out += columns(rows, alignRight);
    }
    return out;
}

std::string formatAccurateCsv(const AccurateReport &report)
{
    std::string out =
        "destination,hop,address,name,method,protocol,capacity_bps,ci90_low_bps,ci90_high_bps,"
        "lower_bound,merged_from,return_capacity_bps,return_ci90_low_bps,return_ci90_high_bps,"
        "asymmetric\n";
    for (const AccurateDestination &d : report.destinations)
        for (const AccurateLink &l : d.links) {
            out += csvText(d.destination) + "," + std::to_string(l.hop) + "," + csvText(l.address) + "," +
                   csvText(l.name) + "," + csvText(l.method) + "," + csvText(l.protocol) + "," +
                   csvOptional(l.capacity) + "," + (l.ci90 ? csvNumber(l.ci90->low) : "") + "," +
                   (l.ci90 ? csvNumber(l.ci90->high) : "") + "," + (l.lowerBound ? "true" : "false") + "," +
                   (l.mergedFrom > 0 ? std::to_string(l.mergedFrom) : "") + "," + csvOptional(l.returnCapacity) + "," +
                   (l.returnCi90 ? csvNumber(l.returnCi90->low) : "") + "," +
                   (l.returnCi90 ? csvNumber(l.returnCi90->high) : "") + "," +
                   (l.asymmetric ? (*l.asymmetric ? "true" : "false") : "") + "\n";
        }
    return out;
}

std::string formatAccurateJson(const AccurateReport &report)
{
    nlohmann::ordered_json doc;
    doc["file"] = report.file;
    doc["destinations"] = nlohmann::ordered_json::array();
    for (const AccurateDestination &d : report.destinations) {
        nlohmann::ordered_json destination;
        destination["line"] = d.line;
        destination["destination"] = d.destination;
        destination["address"] = d.address;
        destination["family"] = d.family;
        destination["destination_reached"] = d.destinationReached;
        destination["complete"] = jsonOptional(d.complete);
        destination["probes_sent"] = d.probesSent;
        destination["wall_s"] = d.wallSeconds;
        destination["hops"] = nlohmann::ordered_json::array();
        for (const AccurateLink &l : d.links) {
            nlohmann::ordered_json link;
            link["hop"] = l.hop;
            link["address"] = jsonText(l.address);
            link["name"] = jsonText(l.name);
            link["method"] = l.method;
            link["protocol"] = l.protocol;
            link["capacity_bps"] = jsonOptional(l.capacity);
            link["ci90_bps"] = jsonInterval(l.ci90);
            link["lower_bound"] = l.lowerBound;
            link["merged_from"] = l.mergedFrom > 0 ? nlohmann::ordered_json(l.mergedFrom) : nlohmann::ordered_json();
            link["return_capacity_bps"] = jsonOptional(l.returnCapacity);
            link["return_ci90_bps"] = jsonInterval(l.returnCi90);
            link["asymmetric"] = jsonOptional(l.asymmetric);
            link["text"] = capacityText(l);
            destination["hops"].push_back(link);
        }
        doc["destinations"].push_back(destination);
    }
    // The file name comes from the command line: bytes that are not UTF-8 become U+FFFD.
    return doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string formatAccurateSvg(const AccurateReport &report)
{
    // One panel per destination, one column per link, all on one logarithmic axis.
    const double left = 96, right = 24, top = 44, slot = 56;
    const double titleH = 28, plotH = 220, headroom = 26, labelH = 116;
    const double panelH = titleH + plotH + labelH;
    size_t widest = 1;
    double lowest = INFINITY, highest = -INFINITY;
    bool returns = false;
    for (const AccurateDestination &d : report.destinations) {
        widest = std::max(widest, d.links.size());
        returns = returns || anyReturn(d);
        for (const AccurateLink &l : d.links)
            for (const auto &value : {l.capacity, l.returnCapacity}) {
                if (value) {
                    lowest = std::min(lowest, *value);
                    highest = std::max(highest, *value);
                }
            }
        for (const AccurateLink &l : d.links)
            for (const auto &interval : {l.ci90, l.returnCi90})
                if (interval) {
                    lowest = std::min(lowest, interval->low);
                    highest = std::max(highest, interval->high);
                }
    }
    int lowDecade = 6, highDecade = 7;  // 1 to 10 Mb/s when nothing is known
    if (lowest <= highest) {
        lowDecade = static_cast<int>(std::floor(std::log10(lowest)));
        highDecade = std::max(lowDecade + 1, static_cast<int>(std::ceil(std::log10(highest))));
    }
    const int step = std::max(1, (highDecade - lowDecade + 7) / 8);  // at most nine ticks
    highDecade = lowDecade + (highDecade - lowDecade + step - 1) / step * step;

    const double plotW = std::max(640.0, slot * static_cast<double>(widest));
    const double width = left + plotW + right;
    const double legendY = top + panelH * static_cast<double>(report.destinations.size()) + 10;
    const double height = legendY + 40;
    const char *colour = "#1f77b4";
    const char *returnColour = "#d62728";

    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + svgNumber(width) + "\" height=\"" +
           svgNumber(height) + "\" viewBox=\"0 0 " + svgNumber(width) + " " + svgNumber(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    out += "<text x=\"" + svgNumber(left) +
           "\" y=\"26\" font-size=\"15\">Capacity of every link (logarithmic axis): " + xmlText(report.file) +
           "</text>\n";

    for (size_t p = 0; p < report.destinations.size(); ++p) {
        const AccurateDestination &d = report.destinations[p];
        const double panelTop = top + panelH * static_cast<double>(p);
        const double plotTop = panelTop + titleH, plotBottom = plotTop + plotH;
        auto py = [&](double bps) {
            return plotBottom - (std::log10(bps) - lowDecade) / (highDecade - lowDecade) * (plotH - headroom);
        };
        std::string title = d.destination + " (" + d.address + "), " + std::to_string(d.links.size()) +
                            (d.links.size() == 1 ? " hop" : " hops");
        if (!d.destinationReached)
            title += ", destination not reached";
        if (d.complete == false)
            title += ", incomplete run";
        out += "<g class=\"destination\" data-line=\"" + std::to_string(d.line) + "\">\n";
        out += "<text class=\"title\" x=\"" + svgNumber(left) + "\" y=\"" + svgNumber(panelTop + 18) +
               "\" font-weight=\"bold\">" + xmlText(title) + "</text>\n";
        for (int decade = lowDecade; decade <= highDecade; decade += step) {
            const double y = py(std::pow(10.0, decade));
            out += "<g class=\"tick\" data-decade=\"" + std::to_string(decade) + "\"><line x1=\"" + svgNumber(left) +
                   "\" y1=\"" + svgNumber(y) + "\" x2=\"" + svgNumber(left + plotW) + "\" y2=\"" + svgNumber(y) +
                   "\" stroke=\"#dddddd\"/><text x=\"" + svgNumber(left - 6) + "\" y=\"" + svgNumber(y + 4) +
                   "\" text-anchor=\"end\">" + decadeLabel(decade) + "</text></g>\n";
        }
        out += "<rect x=\"" + svgNumber(left) + "\" y=\"" + svgNumber(plotTop) + "\" width=\"" + svgNumber(plotW) +
               "\" height=\"" + svgNumber(plotH) + "\" fill=\"none\" stroke=\"black\"/>\n";
        out += "<text x=\"18\" y=\"" + svgNumber(plotTop + plotH / 2) +
               "\" text-anchor=\"middle\" transform=\"rotate(-90 18 " + svgNumber(plotTop + plotH / 2) +
               ")\">capacity</text>\n";

        for (size_t i = 0; i < d.links.size(); ++i) {
            const AccurateLink &l = d.links[i];
            const double x = left + slot * (static_cast<double>(i) + 0.5);
            out += "<g class=\"link\" data-hop=\"" + std::to_string(l.hop) + "\"";
            if (l.capacity)
                out += " data-capacity=\"" + number(*l.capacity) + "\"";
            out += std::string(" data-lower-bound=\"") + (l.lowerBound ? "true" : "false") + "\">\n";
            out += "<title>" + xmlText("hop " + linkLabel(l) + " " + hopAddressText(l) + ": " + capacityText(l)) +
                   (l.ci90 ? xmlText(", 90 % interval " + intervalText(l.ci90)) : "") + "</title>\n";
            // An error bar from low to high with caps, and the estimate on it.
            auto bar = [&](double at, const CapacityInterval &range, const char *stroke, const char *kind) {
                const double y0 = py(range.low), y1 = py(range.high);
                out += "<path class=\"" + std::string(kind) + "\" d=\"M" + svgNumber(at) + " " + svgNumber(y0) + "V" +
                       svgNumber(y1) + "M" + svgNumber(at - 4) + " " + svgNumber(y0) + "H" + svgNumber(at + 4) + "M" +
                       svgNumber(at - 4) + " " + svgNumber(y1) + "H" + svgNumber(at + 4) + "\" stroke=\"" + stroke +
                       "\" fill=\"none\"/>\n";
            };
            if (l.capacity && l.lowerBound) {
                // An open marker and an arrow up: the capacity is at least this.
                const double y = py(*l.capacity);
                out += "<circle class=\"lower-bound\" cx=\"" + svgNumber(x) + "\" cy=\"" + svgNumber(y) +
                       "\" r=\"4.5\" fill=\"white\" stroke=\"" + colour + "\" stroke-width=\"1.5\"/>\n";
                out += "<path class=\"arrow\" d=\"M" + svgNumber(x) + " " + svgNumber(y - 5) + "V" + svgNumber(y - 22) +
                       "M" + svgNumber(x - 4) + " " + svgNumber(y - 16) + "L" + svgNumber(x) + " " + svgNumber(y - 22) +
                       "L" + svgNumber(x + 4) + " " + svgNumber(y - 16) + "\" stroke=\"" + colour +
                       "\" stroke-width=\"1.5\" fill=\"none\"/>\n";
            } else if (l.capacity) {
                if (l.ci90)
                    bar(x, *l.ci90, colour, "ci90");
                out += "<circle class=\"capacity\" cx=\"" + svgNumber(x) + "\" cy=\"" + svgNumber(py(*l.capacity)) +
                       "\" r=\"4\" fill=\"" + colour + "\"/>\n";
            } else {
                out += "<text class=\"no-estimate\" x=\"" + svgNumber(x) + "\" y=\"" + svgNumber(plotBottom - 6) +
                       "\" text-anchor=\"middle\" fill=\"#888888\">n/a</text>\n";
            }
            if (l.returnCapacity) {
                const double rx = x + 10, ry = py(*l.returnCapacity);
                if (l.returnCi90)
                    bar(rx, *l.returnCi90, returnColour, "return-ci90");
                out += "<path class=\"return\" d=\"M" + svgNumber(rx) + " " + svgNumber(ry - 5) + "L" +
                       svgNumber(rx + 4.5) + " " + svgNumber(ry + 3.5) + "L" + svgNumber(rx - 4.5) + " " +
                       svgNumber(ry + 3.5) + "Z\" fill=\"" + returnColour + "\"/>\n";
            }
            // Below the plot: the link, and its address turned to fit.
            std::string address = hopAddressText(l);
            if (address.size() > 24)
                address = address.substr(0, 21) + "...";
            out += "<text x=\"" + svgNumber(x) + "\" y=\"" + svgNumber(plotBottom + 16) + "\" text-anchor=\"middle\">" +
                   xmlText(linkLabel(l)) + "</text>\n";
            out += "<text x=\"" + svgNumber(x + 3) + "\" y=\"" + svgNumber(plotBottom + 28) +
                   "\" text-anchor=\"end\" font-size=\"10\" transform=\"rotate(-40 " + svgNumber(x + 3) + " " +
                   svgNumber(plotBottom + 28) + ")\">" + xmlText(address) + "</text>\n";
            out += "</g>\n";
        }
        out += "</g>\n";
    }

    // Legend.
    double x = left;
    const double y = legendY + 14;
    out += "<g class=\"legend\">\n";
    out += "<path d=\"M" + svgNumber(x + 6) + " " + svgNumber(y - 12) + "V" + svgNumber(y + 4) + "\" stroke=\"" +
           colour + "\"/><circle cx=\"" + svgNumber(x + 6) + "\" cy=\"" + svgNumber(y - 4) + "\" r=\"4\" fill=\"" +
           colour + "\"/><text x=\"" + svgNumber(x + 16) + "\" y=\"" + svgNumber(y) +
           "\">capacity, bar: 90 % interval</text>\n";
    x += 220;
    out += "<circle cx=\"" + svgNumber(x + 6) + "\" cy=\"" + svgNumber(y - 4) +
           "\" r=\"4.5\" fill=\"white\" stroke=\"" + colour + "\" stroke-width=\"1.5\"/><text x=\"" +
           svgNumber(x + 16) + "\" y=\"" + svgNumber(y) + "\">lower bound (arrow up): too fast to resolve</text>\n";
    if (returns) {
        x += 290;
        out += "<path d=\"M" + svgNumber(x + 6) + " " + svgNumber(y - 9) + "L" + svgNumber(x + 10.5) + " " +
               svgNumber(y - 0.5) + "L" + svgNumber(x + 1.5) + " " + svgNumber(y - 0.5) + "Z\" fill=\"" + returnColour +
               "\"/><text x=\"" + svgNumber(x + 16) + "\" y=\"" + svgNumber(y) + "\">return capacity</text>\n";
    }
    out += "</g>\n</svg>\n";
    return out;
}

}  // namespace hoprate
