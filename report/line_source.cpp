#include "line_source.h"

namespace hoprate {

LineStatus TextLines::next(std::string &line, bool &terminated)
{
    if (at >= text.size())
        return LineStatus::End;
    const size_t end = text.find('\n', at);
    const size_t stop = end == std::string::npos ? text.size() : end;
    if (stop - at > maxLineBytes)
        return LineStatus::TooLong;
    line.assign(text, at, stop - at);
    terminated = end != std::string::npos;
    at = terminated ? end + 1 : text.size();
    return LineStatus::Line;
}

LineStatus FileLines::next(std::string &line, bool &terminated)
{
    line.clear();
    for (;;) {
        const int c = getc(file);
        if (c == EOF) {
            if (std::ferror(file))
                return LineStatus::ReadError;
            terminated = false;
            return line.empty() ? LineStatus::End : LineStatus::Line;
        }
        if (c == '\n') {
            terminated = true;
            return LineStatus::Line;
        }
        if (line.size() >= maxLineBytes)
            return LineStatus::TooLong;
        line.push_back(static_cast<char>(c));
    }
}

LineStatus ReplayedLines::next(std::string &line, bool &terminated)
{
    if (at < replay.size()) {
        line = std::move(replay[at].text);
        terminated = replay[at].terminated;
        ++at;
        return LineStatus::Line;
    }
    return tail != nullptr ? tail->next(line, terminated) : LineStatus::End;
}

}  // namespace hoprate
