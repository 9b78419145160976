// The lines of an input one at a time, each at most maxLineBytes long, so that a hostile
// file never needs more memory than one line: from a string (the unit tests), from a file,
// or with the lines already read in front.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace hoprate {

// No line of an input is longer (a row of thousands of sizes fits easily, and so does a
// JSON document of 255 hops); a longer one is refused before it is held whole.
constexpr size_t maxLineBytes = 1048576;

enum class LineStatus { Line, End, TooLong, ReadError };

class LineSource {
public:
    virtual ~LineSource() = default;
    // The next line without its line end; terminated tells whether one followed it.
    virtual LineStatus next(std::string &line, bool &terminated) = 0;
};

class TextLines : public LineSource {
public:
    explicit TextLines(const std::string &allText) : text(allText) {}
    LineStatus next(std::string &line, bool &terminated) override;

private:
    const std::string &text;
    size_t at = 0;
};

class FileLines : public LineSource {
public:
    explicit FileLines(FILE *input) : file(input) {}
    LineStatus next(std::string &line, bool &terminated) override;

private:
    FILE *file;
};

// Lines read ahead (each with its terminated flag), then those of rest, if any.
class ReplayedLines : public LineSource {
public:
    struct Line {
        std::string text;
        bool terminated;
    };
    ReplayedLines(std::vector<Line> first, LineSource *rest) : replay(std::move(first)), tail(rest) {}
    LineStatus next(std::string &line, bool &terminated) override;

private:
    std::vector<Line> replay;
    size_t at = 0;
    LineSource *tail;
};

}  // namespace hoprate
