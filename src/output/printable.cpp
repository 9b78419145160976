#include "output/printable.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace hoprate {

namespace {

// The length of the well-formed UTF-8 sequence that starts at text[i] (2 to 4 bytes,
// no overlong forms, no surrogates, nothing above U+10FFFF), or 0.
size_t utf8Sequence(std::string_view text, size_t i)
{
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(i);
    size_t length = 0;
    uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (i + length > text.size() || byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    return length;
}

// The code point of the well-formed sequence of `length` bytes at text[i].
uint32_t codePoint(std::string_view text, size_t i, size_t length)
{
    const auto byte = [&](size_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(text[i + k])); };
    uint32_t point = byte(0) & (0xFFu >> (length + 1));
    for (size_t k = 1; k < length; ++k)
        point = (point << 6) | (byte(k) & 0x3F);
    return point;
}

// Characters that are well-formed UTF-8 but may end a line for some reader (the C1
// controls, NEL among them, and the line and paragraph separators) or reorder what a
// screen shows around them (the bidirectional marks, embeddings, overrides and isolates).
bool breaksLineOrOrder(uint32_t point)
{
    return (point >= 0x80 && point <= 0x9F) || point == 0x061C || point == 0x200E || point == 0x200F ||
           (point >= 0x2028 && point <= 0x202E) || (point >= 0x2066 && point <= 0x2069);
}

std::string escapedByte(uint8_t c)
{
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
    return escaped;
}

// The shown form of the character or byte at text[i], and i moved past it: printable ASCII
// and well-formed UTF-8 as they are (with `strict`, not those of breaksLineOrOrder), a
// backslash doubled, anything else as \xNN for each byte.
std::string nextUnit(std::string_view text, size_t &i, bool strict)
{
    const auto c = static_cast<uint8_t>(text[i]);
    if (c == '\\') {
        ++i;
        return "\\\\";
    }
    if (c >= 0x20 && c < 0x7F) {
        ++i;
        return std::string(1, static_cast<char>(c));
    }
    const size_t n = c >= 0x80 ? utf8Sequence(text, i) : 0;
    std::string unit;
    if (n > 0 && !(strict && breaksLineOrOrder(codePoint(text, i, n)))) {
        unit = text.substr(i, n);
    } else {
        for (size_t k = 0; k < std::max<size_t>(n, 1); ++k)
            unit += escapedByte(static_cast<uint8_t>(text[i + k]));
    }
    i += std::max<size_t>(n, 1);
    return unit;
}

// Characters on a screen: every byte that does not continue a UTF-8 sequence.
size_t shownWidth(const std::string &unit)
{
    size_t width = 0;
    for (const unsigned char c : unit)
        width += (c & 0xC0) != 0x80 ? 1 : 0;
    return width;
}

std::string join(const std::vector<std::string> &units)
{
    std::string out;
    for (const std::string &unit : units)
        out += unit;
    return out;
}

}  // namespace

std::string printed(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::vector<char> text(static_cast<size_t>(length > 0 ? length : 0) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    return text.data();
}

std::string printableText(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();)
        out += nextUnit(text, i, false);
    return out;
}

std::optional<std::string> unprintedText(std::string_view printable)
{
    const auto hexDigit = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    std::string out;
    out.reserve(printable.size());
    for (size_t i = 0; i < printable.size(); ++i) {
        const auto c = static_cast<uint8_t>(printable[i]);
        if (c < 0x20 || c == 0x7F)
            return std::nullopt;
        if (c != '\\') {
            out += static_cast<char>(c);
        } else if (i + 1 < printable.size() && printable[i + 1] == '\\') {
            out += '\\';
            ++i;
        } else if (i + 3 < printable.size() && printable[i + 1] == 'x' && hexDigit(printable[i + 2]) >= 0 &&
                   hexDigit(printable[i + 3]) >= 0) {
            out += static_cast<char>(hexDigit(printable[i + 2]) * 16 + hexDigit(printable[i + 3]));
            i += 3;
        } else {
            return std::nullopt;
        }
    }
    return out;
}

std::string printableName(std::string_view text, size_t maxWidth)
{
    std::vector<std::string> units;
    size_t width = 0;
    for (size_t i = 0; i < text.size();) {
        units.push_back(nextUnit(text, i, true));
        width += shownWidth(units.back());
    }
    if (width <= maxWidth)
        return join(units);
    // Whole characters and escapes only, then "...", within maxWidth.
    std::string out;
    width = 0;
    for (const std::string &unit : units) {
        if (width + shownWidth(unit) + 3 > maxWidth)
            break;
        out += unit;
        width += shownWidth(unit);
    }
    return out + "...";
}

}  // namespace hoprate
