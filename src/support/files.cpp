#include "support/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace hoprate {

int openForWriting(const std::string &path, bool append)
{
    return open(path.c_str(), O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC) | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool writeWholeFile(const std::string &path, std::string_view text)
{
    const int fd = openForWriting(path, false);
    if (fd < 0)
        return false;
    if (!writeAll(fd, text)) {
        const int error = errno;
        close(fd);
        errno = error;
        return false;
    }
    return close(fd) == 0;
}

bool writeAll(int fd, std::string_view text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = n < 0 ? errno : EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace hoprate
