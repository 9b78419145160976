#include "output/printable.h"

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
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<uint8_t>(text[i]);
        if (c == '\\') {
            out += "\\\\";
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
            ++i;
        } else if (const size_t n = c >= 0x80 ? utf8Sequence(text, i) : 0; n > 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
            ++i;
        }
    }
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

}  // namespace hoprate
