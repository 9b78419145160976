// Runs a piece of code in a forked child whose standard output and standard error go
// to files, and hands back what the child wrote and how it ended. Used for code that
// ends the process (fatal exits) and for checking the order of the two streams.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "cli/classic_main.h"

using namespace hoprate;

struct ChildResult {
    int exitStatus = -1;  // -1 when the child did not exit normally
    std::string out;      // standard output (both streams when merged)
    std::string err;      // standard error (empty when merged)
};

inline std::string readWholeFile(FILE *file)
{
    std::string text;
    std::rewind(file);
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    return text;
}

// body runs in the child; when it returns, the child ends through exit(0), which flushes
// standard output like the program's own ending does; a RunFailure that escapes it ends
// the child as the classic mode's command line ends the run (endClassicRun). With
// mergeStreams both descriptors share one open file, as with "2>&1". Standard output is fully buffered in the child, as
// it is when the program writes into a file or a pipe.
inline ChildResult runInChild(const std::function<void()> &body, bool mergeStreams = false)
{
    ChildResult result;
    FILE *outFile = std::tmpfile();
    FILE *errFile = std::tmpfile();
    if (outFile == nullptr || errFile == nullptr)
        return result;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = fork();
    if (child == 0) {
        alarm(20);  // a hanging child ends instead of holding up the test run
        dup2(fileno(outFile), 1);
        dup2(fileno(mergeStreams ? outFile : errFile), 2);
        std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
        try {
            body();
        } catch (const RunFailure &failure) {
            endClassicRun(failure);  // printed and ended as the classic mode's command line does
        } catch (...) {
            std::_Exit(99);  // never back into the test runner in the child
        }
        std::exit(0);
    }
    if (child > 0) {
        int status = 0;
        if (waitpid(child, &status, 0) == child && WIFEXITED(status))
            result.exitStatus = WEXITSTATUS(status);
    }
    result.out = readWholeFile(outFile);
    result.err = readWholeFile(errFile);
    std::fclose(outFile);
    std::fclose(errFile);
    return result;
}
