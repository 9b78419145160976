#include "report_output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "output/printable.h"
#include "output/rate_format.h"
#include "report_text.h"

namespace hoprate {

namespace {

std::string rateJson(double rate, double relErr)
{
    return "{\"rate_bps\": " + jsonNumber(rate) + ", \"uncertainty_bps\": " + jsonNumber(rate * relErr) +
           ", \"relative_uncertainty\": " + jsonNumber(relErr) + ", \"text\": " +
           jsonString(rateText(rate, relErr)) + "}";
}

}  // namespace

std::string rateText(double rate, double relErr)
{
    return formatRate(rate, relErr) + "b/s";
}

std::string formatTable(const RunReport &report)
{
    // Names and addresses come from the file (and its name from the command line): no
    // control character of theirs reaches the terminal.
    std::string out = "results file: " + printable(report.file) + "\n";
    out += "destination " + printable(report.destination) + ", " + std::to_string(report.hopCount) +
           (report.hopCount == 1 ? " hop, " : " hops, ") + std::to_string(report.sweeps.size()) +
           " sweeps, sizes";
    for (int size : report.sizes)
        out += " " + std::to_string(size);
    out += " bytes\n\n";

    std::vector<std::vector<std::string>> hops = {{"hop", "address", "v_n", "v_n'"}};
    for (const HopReport &hop : report.hops)
        hops.push_back(
            {std::to_string(hop.hop), printable(hop.address), rateText(hop.vN, hop.rN), rateText(hop.vNp, hop.rNp)});
    out += columns(hops, {true, false, false, false});

    out += "\n";
    std::vector<std::vector<std::string>> sweeps = {
        {"sweep", "line", "kind", "target", "ttl", "slope s/B", "stdev", "intercept s", "stdev", "timeouts"}};
    for (size_t i = 0; i < report.sweeps.size(); ++i) {
        const SweepBlock &s = report.sweeps[i];
        sweeps.push_back({std::to_string(i + 1), std::to_string(s.line), sweepKindName(report.kinds[i]), printable(s.target),
                          std::to_string(s.ttl), printed("%e", s.slope), printed("%e", s.slopeStdev),
                          printed("%e", s.intercept), printed("%e", s.interceptStdev), std::to_string(s.timeouts)});
    }
    out += columns(sweeps, {true, true, false, false, true, true, true, true, true, true});
    return out;
}

std::string formatJson(const RunReport &report)
{
    std::string out = "{\n";
    out += "  \"file\": " + jsonString(report.file) + ",\n";
    out += "  \"destination\": " + jsonString(report.destination) + ",\n";
    out += "  \"hop_count\": " + std::to_string(report.hopCount) + ",\n";
    out += "  \"sizes\": [";
    for (size_t i = 0; i < report.sizes.size(); ++i)
        out += (i ? ", " : "") + std::to_string(report.sizes[i]);
    out += "],\n  \"hops\": [";
    for (size_t i = 0; i < report.hops.size(); ++i) {
        const HopReport &hop = report.hops[i];
        out += std::string(i ? "," : "") + "\n    {\"hop\": " + std::to_string(hop.hop) +
               ", \"address\": " + jsonString(hop.address) + ",\n     \"v_n\": " + rateJson(hop.vN, hop.rN) +
               ",\n     \"v_n_prime\": " + rateJson(hop.vNp, hop.rNp) + "}";
    }
    out += "\n  ],\n  \"sweeps\": [";
    for (size_t i = 0; i < report.sweeps.size(); ++i) {
        const SweepBlock &s = report.sweeps[i];
        std::string minima, averages;
        for (size_t k = 0; k < s.minRttMs.size(); ++k) {
            minima += (k ? ", " : "") + (s.hasMin[k] ? jsonNumber(s.minRttMs[k]) : std::string("null"));
            averages += (k ? ", " : "") + jsonNumber(s.avgRttMs[k]);
        }
        out += std::string(i ? "," : "") + "\n    {\"index\": " + std::to_string(i + 1) +
               ", \"line\": " + std::to_string(s.line) + ", \"kind\": " + jsonString(sweepKindName(report.kinds[i])) +
               ", \"protocol\": " + jsonString(s.protocol) + ", \"target\": " + jsonString(s.target) +
               ", \"ttl\": " + std::to_string(s.ttl) + ",\n     \"min_rtt_ms\": [" + minima +
               "],\n     \"avg_rtt_ms\": [" + averages + "],\n     \"slope_s_per_byte\": " + jsonNumber(s.slope) +
               ", \"slope_stdev\": " + jsonNumber(s.slopeStdev) + ", \"intercept_s\": " + jsonNumber(s.intercept) +
               ", \"intercept_stdev\": " + jsonNumber(s.interceptStdev) +
               ", \"timeouts_so_far\": " + std::to_string(s.timeouts) + "}";
    }
    out += "\n  ]\n}\n";
    return out;
}

std::string formatCsv(const RunReport &report)
{
    std::string out = "hop,address,v_n_bps,v_n_uncertainty_bps,v_n_prime_bps,v_n_prime_uncertainty_bps\n";
    for (const HopReport &hop : report.hops)
        out += std::to_string(hop.hop) + "," + csvText(hop.address) + "," + csvNumber(hop.vN) + "," +
               csvNumber(hop.vN * hop.rN) + "," + csvNumber(hop.vNp) + "," + csvNumber(hop.vNp * hop.rNp) + "\n";
    return out;
}

namespace {

// Tick positions 1, 2 or 5 times a power of ten, about six across the range.
std::vector<double> ticks(double low, double high)
{
    std::vector<double> marks;
    const double span = high - low;
    if (!(span > 0) || !std::isfinite(span))
        return marks;
    const double rough = span / 6;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = power;
    for (double factor : {1.0, 2.0, 5.0, 10.0}) {
        step = factor * power;
        if (step >= rough)
            break;
    }
    for (double t = std::ceil(low / step) * step; t <= high + step * 1e-9 && marks.size() < 50; t += step)
        marks.push_back(std::fabs(t) < step * 1e-9 ? 0.0 : t);
    return marks;
}

std::string tickLabel(double value)
{
    std::string text = printed("%.6g", value);
    return text;
}

const char *const palette[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                               "#8c564b", "#e377c2", "#17becf", "#bcbd22", "#7f7f7f"};

const char *dashOf(SweepKind kind)
{
    switch (kind) {
    case SweepKind::EchoToDestination: return "";
    case SweepKind::UdpToDestination: return " stroke-dasharray=\"8 4\"";
    case SweepKind::EchoToRouter: return " stroke-dasharray=\"2 3\"";
    }
    return "";
}

}  // namespace

std::string formatSvg(const RunReport &report)
{
    const double width = 860, height = 540;
    const double left = 80, right = 220, top = 50, bottom = 60;
    const double plotW = width - left - right, plotH = height - top - bottom;

    double xLow = 0, xHigh = 1;
    if (!report.sizes.empty()) {
        xLow = *std::min_element(report.sizes.begin(), report.sizes.end());
        xHigh = *std::max_element(report.sizes.begin(), report.sizes.end());
    }
    double yLow = INFINITY, yHigh = -INFINITY;
    auto include = [&](double y) {
        if (std::isfinite(y)) {
            yLow = std::min(yLow, y);
            yHigh = std::max(yHigh, y);
        }
    };
    for (const SweepBlock &s : report.sweeps) {
        for (size_t k = 0; k < s.minRttMs.size(); ++k)
            if (s.hasMin[k])
                include(s.minRttMs[k]);
        if (std::isfinite(s.slope) && std::isfinite(s.intercept)) {
            include((s.slope * xLow + s.intercept) * 1000.0);
            include((s.slope * xHigh + s.intercept) * 1000.0);
        }
    }
    if (!(yLow <= yHigh)) {
        yLow = 0;
        yHigh = 1;
    }
    // Room around the data, and a range even when every value is the same.
    const double xPad = xHigh > xLow ? (xHigh - xLow) * 0.05 : 1.0;
    const double yPad = yHigh > yLow ? (yHigh - yLow) * 0.08 : std::max(std::fabs(yLow) * 0.1, 0.001);
    xLow -= xPad;
    xHigh += xPad;
    yLow -= yPad;
    yHigh += yPad;
    auto px = [&](double x) { return left + (x - xLow) / (xHigh - xLow) * plotW; };
    auto py = [&](double y) { return top + plotH - (y - yLow) / (yHigh - yLow) * plotH; };

    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + svgNumber(width) + "\" height=\"" +
           svgNumber(height) + "\" viewBox=\"0 0 " + svgNumber(width) + " " + svgNumber(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    out += "<text x=\"" + svgNumber(left + plotW / 2) + "\" y=\"24\" text-anchor=\"middle\" font-size=\"15\">" +
           "Minimum round-trip time against probe size: " + xmlText(report.destination) + ", " +
           std::to_string(report.hopCount) + (report.hopCount == 1 ? " hop" : " hops") + "</text>\n";

    // Axes, grid and ticks.
    out += "<g stroke=\"#dddddd\">\n";
    for (double t : ticks(xLow, xHigh))
        out += "<line x1=\"" + svgNumber(px(t)) + "\" y1=\"" + svgNumber(top) + "\" x2=\"" + svgNumber(px(t)) +
               "\" y2=\"" + svgNumber(top + plotH) + "\"/>\n";
    for (double t : ticks(yLow, yHigh))
        out += "<line x1=\"" + svgNumber(left) + "\" y1=\"" + svgNumber(py(t)) + "\" x2=\"" +
               svgNumber(left + plotW) + "\" y2=\"" + svgNumber(py(t)) + "\"/>\n";
    out += "</g>\n";
    out += "<rect x=\"" + svgNumber(left) + "\" y=\"" + svgNumber(top) + "\" width=\"" + svgNumber(plotW) +
           "\" height=\"" + svgNumber(plotH) + "\" fill=\"none\" stroke=\"black\"/>\n";
    for (double t : ticks(xLow, xHigh))
        out += "<text x=\"" + svgNumber(px(t)) + "\" y=\"" + svgNumber(top + plotH + 18) +
               "\" text-anchor=\"middle\">" + tickLabel(t) + "</text>\n";
    for (double t : ticks(yLow, yHigh))
        out += "<text x=\"" + svgNumber(left - 6) + "\" y=\"" + svgNumber(py(t) + 4) + "\" text-anchor=\"end\">" +
               tickLabel(t) + "</text>\n";
    out += "<text x=\"" + svgNumber(left + plotW / 2) + "\" y=\"" + svgNumber(height - 16) +
           "\" text-anchor=\"middle\">probe size (bytes)</text>\n";
    out += "<text x=\"18\" y=\"" + svgNumber(top + plotH / 2) + "\" text-anchor=\"middle\" transform=\"rotate(-90 18 " +
           svgNumber(top + plotH / 2) + ")\">minimum round-trip time (ms)</text>\n";

    // Every sweep: its fitted line, clipped to the plot, and its minima.
    out += "<defs><clipPath id=\"plot\"><rect x=\"" + svgNumber(left) + "\" y=\"" + svgNumber(top) + "\" width=\"" +
           svgNumber(plotW) + "\" height=\"" + svgNumber(plotH) + "\"/></clipPath></defs>\n";
    out += "<g clip-path=\"url(#plot)\">\n";
    for (size_t i = 0; i < report.sweeps.size(); ++i) {
        const SweepBlock &s = report.sweeps[i];
        const std::string colour = palette[static_cast<size_t>(std::max(s.ttl, 1) - 1) % 10];
        out += "<g class=\"sweep\" data-sweep=\"" + std::to_string(i + 1) + "\" data-hop=\"" + std::to_string(s.ttl) +
               "\" data-kind=\"" + sweepKindName(report.kinds[i]) + "\">\n";
        if (std::isfinite(s.slope) && std::isfinite(s.intercept) && !report.sizes.empty()) {
            const double x0 = xLow + xPad;
            const double x1 = xHigh - xPad;
            out += "<line x1=\"" + svgNumber(px(x0)) + "\" y1=\"" + svgNumber(py((s.slope * x0 + s.intercept) * 1000.0)) +
                   "\" x2=\"" + svgNumber(px(x1)) + "\" y2=\"" + svgNumber(py((s.slope * x1 + s.intercept) * 1000.0)) +
                   "\" stroke=\"" + colour + "\" stroke-width=\"1.5\"" + dashOf(report.kinds[i]) + "/>\n";
        }
        for (size_t k = 0; k < s.minRttMs.size() && k < report.sizes.size(); ++k) {
            if (!s.hasMin[k] || !std::isfinite(s.minRttMs[k]))
                continue;
            const double cx = px(report.sizes[k]), cy = py(s.minRttMs[k]);
            if (report.kinds[i] == SweepKind::UdpToDestination)
                out += "<rect x=\"" + svgNumber(cx - 3.5) + "\" y=\"" + svgNumber(cy - 3.5) +
                       "\" width=\"7\" height=\"7\" fill=\"" + colour + "\"/>\n";
            else
                out += "<circle cx=\"" + svgNumber(cx) + "\" cy=\"" + svgNumber(cy) + "\" r=\"3.5\" fill=\"" +
                       (report.kinds[i] == SweepKind::EchoToRouter ? std::string("white") : colour) + "\" stroke=\"" +
                       colour + "\"/>\n";
        }
        out += "</g>\n";
    }
    out += "</g>\n";

    // Legend: one colour per hop (the TTL the probes ended at), one style per kind of sweep.
    double y = top + 10;
    const double lx = left + plotW + 20;
    out += "<text x=\"" + svgNumber(lx) + "\" y=\"" + svgNumber(y) + "\" font-weight=\"bold\">probes end at</text>\n";
    for (int hop = report.hopCount; hop >= 1; --hop) {
        y += 18;
        const std::string colour = palette[static_cast<size_t>(hop - 1) % 10];
        std::string address;
        for (const HopReport &h : report.hops)
            if (h.hop == hop)
                address = h.address;
        out += "<rect x=\"" + svgNumber(lx) + "\" y=\"" + svgNumber(y - 9) + "\" width=\"18\" height=\"10\" fill=\"" +
               colour + "\"/>\n<text x=\"" + svgNumber(lx + 24) + "\" y=\"" + svgNumber(y) + "\">hop " +
               std::to_string(hop) + " " + xmlText(address) + "</text>\n";
        if (y > height - 120)
            break;  // a long path: the colours repeat in steps of ten
    }
    y += 30;
    out += "<text x=\"" + svgNumber(lx) + "\" y=\"" + svgNumber(y) + "\" font-weight=\"bold\">sweep</text>\n";
    const SweepKind kinds[] = {SweepKind::EchoToDestination, SweepKind::UdpToDestination, SweepKind::EchoToRouter};
    const char *labels[] = {"echo to destination", "UDP to destination", "echo to router"};
    for (int k = 0; k < 3; ++k) {
        y += 18;
        out += "<line x1=\"" + svgNumber(lx) + "\" y1=\"" + svgNumber(y - 4) + "\" x2=\"" + svgNumber(lx + 28) +
               "\" y2=\"" + svgNumber(y - 4) + "\" stroke=\"black\" stroke-width=\"1.5\"" + dashOf(kinds[k]) +
               "/>\n";
        if (kinds[k] == SweepKind::UdpToDestination)
            out += "<rect x=\"" + svgNumber(lx + 10.5) + "\" y=\"" + svgNumber(y - 7.5) +
                   "\" width=\"7\" height=\"7\" fill=\"black\"/>\n";
        else
            out += "<circle cx=\"" + svgNumber(lx + 14) + "\" cy=\"" + svgNumber(y - 4) + "\" r=\"3.5\" fill=\"" +
                   (kinds[k] == SweepKind::EchoToRouter ? "white" : "black") + "\" stroke=\"black\"/>\n";
        out += "<text x=\"" + svgNumber(lx + 34) + "\" y=\"" + svgNumber(y) + "\">" + labels[k] + "</text>\n";
    }
    out += "</svg>\n";
    return out;
}

}  // namespace hoprate
