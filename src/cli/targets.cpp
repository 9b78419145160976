#include "cli/targets.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "output/printable.h"

namespace hoprate {

namespace {

std::string_view trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

TargetList parseTargets(std::string_view text, const std::string &name, const PreciseOptions &options)
{
    TargetList list;
    const auto refused = [](std::string error) { return TargetList{{}, std::move(error)}; };
    size_t number = 0;
    while (!text.empty()) {
        ++number;
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        const std::string where = printableText(name) + ":" + std::to_string(number) + ": ";
        if (line.size() > longestTargetLine)
            return refused(where + "a line longer than " + std::to_string(longestTargetLine) + " bytes");
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty())
            continue;
        if (list.destinations.size() == mostTargets)
            return refused(where + "more than " + std::to_string(mostTargets) + " destinations");
        try {
            checkDestination(options, std::string(line));
        } catch (const std::invalid_argument &complaint) {
            return refused(where + complaint.what());
        }
        list.destinations.emplace_back(line);
    }
    if (list.destinations.empty())
        return refused(printableText(name) + ": no destination in it");
    return list;
}

TargetList readTargets(const std::string &path, const PreciseOptions &options)
{
    const bool standardInput = path == "-";
    const std::string name = standardInput ? "standard input" : path;
    const int fd = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    TargetList failed;
    if (fd < 0) {
        failed.error = printableText(name) + ": " + std::strerror(errno);
        return failed;
    }
    // Enough for the most lines of the longest length; a file beyond it is refused.
    const size_t limit = mostTargets * (longestTargetLine + 1) + 1;
    std::string text;
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failed.error = printableText(name) + ": " + std::strerror(errno);
            break;
        }
        if (n == 0)
            break;
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > limit) {
            failed.error = printableText(name) + ": longer than " + std::to_string(mostTargets) + " lines can be";
            break;
        }
    }
    if (!standardInput)
        close(fd);
    if (!failed.error.empty())
        return failed;
    return parseTargets(text, name, options);
}

}  // namespace hoprate
