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

// snprintf into a string, whatever its length (a %f of a huge double has 309 digits).
std::string printed(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace hoprate
