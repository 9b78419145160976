// Text pieces every form of a report uses: numbers, JSON and XML strings, CSV fields and
// columns of a table.
#pragma once

#include <string>
#include <vector>

namespace hoprate {

// Full precision (%.17g), and the C library's words for values that are not finite.
std::string number(double value);
// number(), or null for a value that is not finite.
std::string jsonNumber(double value);
// A JSON string of any bytes: control characters as \u00XX, bytes above 0x7f as U+FFFD.
std::string jsonString(const std::string &text);
// Text for an XML text node or a double-quoted attribute: the markup characters as
// entities, anything outside printable ASCII as '?'.
std::string xmlText(const std::string &text);
// Ten significant digits (%.10g).
std::string csvNumber(double value);
// A text field as RFC 4180 has it: in double quotes, with each quote doubled, when it
// holds a comma, a quote or a line end; as it is otherwise.
std::string csvText(const std::string &text);
// A coordinate of a plot, two decimals.
std::string svgNumber(double value);

std::string padRight(const std::string &text, size_t width);
std::string padLeft(const std::string &text, size_t width);
// Lays out rows of cells in columns two blanks apart; right-aligned columns are marked.
// Trailing blanks are cut.
std::string columns(const std::vector<std::vector<std::string>> &rows, const std::vector<bool> &alignRight);

}  // namespace hoprate
