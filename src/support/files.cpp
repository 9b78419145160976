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
    return writeAllAndClose(fd, text);
}

bool writeAllAndClose(int fd, std::string_view text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            close(fd);
            errno = error;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

}  // namespace hoprate
