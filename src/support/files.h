// Files the program writes at a path it was given or fixed itself: never through a
// symbolic link planted where the file should be (O_NOFOLLOW), never inherited by a
// child (O_CLOEXEC).
#pragma once

#include <string>
#include <string_view>

namespace hoprate {

// Opens for writing, created when missing (mode 0666 less the umask), emptied or appended
// to; the descriptor, or -1 with errno.
int openForWriting(const std::string &path, bool append);

// Writes the whole text into the file, replacing what it held; false with errno set on
// any failure (the close included).
bool writeWholeFile(const std::string &path, std::string_view text);
// Writes the whole text to an open descriptor; false with errno set on a failure.
bool writeAll(int fd, std::string_view text);

}  // namespace hoprate
