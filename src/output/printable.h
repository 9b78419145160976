// Text from outside (a destination as typed, a name a resolver returned) made safe for
// a line of a table, a CSV file or a terminal: it can end no line, move no cursor and
// hold no byte that is not UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace hoprate {

// Printable ASCII and well-formed UTF-8 as they are; a backslash doubled; every control
// byte and every byte of a malformed sequence as \xNN.
std::string printableText(std::string_view text);
// The text back from printableText's: nothing when it holds an escape printableText does
// not write, or a control byte.
std::optional<std::string> unprintedText(std::string_view printable);

// A host name for a cell of a table: as printableText, and besides every character that
// may end a line for some reader or reorder a screen's text (C1 controls, the line and
// paragraph separators, bidirectional marks and overrides) as \xNN of its bytes. One
// wider than maxWidth characters is cut after a whole character or escape and ends in
// "...", within maxWidth.
std::string printableName(std::string_view text, size_t maxWidth);

// snprintf into a string, whatever its length (a %f of a huge double has 309 digits).
std::string printed(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace hoprate
