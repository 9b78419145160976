#include "report_text.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "output/printable.h"

namespace hoprate {

std::string number(double value)
{
    return printed("%.17g", value);
}

std::string jsonNumber(double value)
{
    return std::isfinite(value) ? number(value) : "null";
}

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20 || u == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else if (u >= 0x80) {
            out += "\\ufffd";  // the file name is not known to be UTF-8
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string xmlText(const std::string &text)
{
    std::string out;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += (u < 0x20 || u >= 0x7f) ? '?' : c;
            break;
        }
    }
    return out;
}

std::string padRight(const std::string &text, size_t width)
{
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string padLeft(const std::string &text, size_t width)
{
    return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

std::string columns(const std::vector<std::vector<std::string>> &rows, const std::vector<bool> &alignRight)
{
    std::vector<size_t> widths(alignRight.size(), 0);
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], row[c].size());
    std::string out;
    for (const auto &row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            if (c > 0)
                line += "  ";
            line += alignRight[c] ? padLeft(row[c], widths[c]) : padRight(row[c], widths[c]);
        }
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        out += line + "\n";
    }
    return out;
}

std::string csvNumber(double value)
{
    return printed("%.10g", value);
}

std::string csvText(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string field = "\"";
    for (char c : text)
        field += c == '"' ? std::string("\"\"") : std::string(1, c);
    return field + "\"";
}

std::string svgNumber(double value)
{
    return printed("%.2f", value);
}

}  // namespace hoprate
