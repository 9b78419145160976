#include "support/diagnostics.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "run_in_child.h"

using namespace hoprate;

namespace {

// What writeDiagnostic would write for this message; the buffer carries a guard area
// behind its 1024 bytes that must stay untouched.
struct Formatted {
    std::string text;
    int reportedLength;
    bool guardIntact;
};

Formatted format(int withErrno, int errorNumber, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
Formatted format(int withErrno, int errorNumber, const char *fmt, ...)
{
    constexpr int guard = 64;
    char buffer[diagnosticBufferSize + guard];
    std::memset(buffer, '#', sizeof buffer);
    va_list args;
    va_start(args, fmt);
    const int length = formatDiagnostic(buffer, withErrno, errorNumber, fmt, args);
    va_end(args);
    bool intact = true;
    for (int i = diagnosticBufferSize; i < diagnosticBufferSize + guard; ++i)
        intact = intact && buffer[i] == '#';
    return {std::string(buffer, strnlen(buffer, diagnosticBufferSize)), length, intact};
}

TEST(DiagnosticFormat, AddsOneNewlineBehindTheMessage)
{
    EXPECT_EQ(format(0, 0, "select").text, "select\n");
    EXPECT_EQ(format(0, 0, "seq %d timed out", 41).text, "seq 41 timed out\n");
    // A format that ends in a newline is followed by an empty line.
    EXPECT_EQ(format(0, 0, "missing -t option\n").text, "missing -t option\n\n");
    EXPECT_EQ(format(0, 0, "%s", "").text, "\n");
}

TEST(DiagnosticFormat, ErrnoSuffixStandsBetweenMessageAndNewline)
{
    EXPECT_EQ(format(1, 13, "socket").text, "socket: errno 13\n");
    EXPECT_EQ(format(1, 2, "fopen: %s", "data/rtt_a-b.txt").text, "fopen: data/rtt_a-b.txt: errno 2\n");
    EXPECT_EQ(format(1, 0, "select").text, "select: errno 0\n");
    // Without the flag the error number is not shown.
    EXPECT_EQ(format(0, 13, "socket").text, "socket\n");
}

TEST(DiagnosticFormat, ReportedLengthIsTheTextLength)
{
    const Formatted f = format(1, 4, "recvfrom error");
    EXPECT_EQ(f.reportedLength, static_cast<int>(f.text.size()));
}

TEST(DiagnosticFormat, LongestMessageThatFitsIsKeptWhole)
{
    const std::string message(diagnosticBufferSize - 2, 'x');
    const Formatted f = format(0, 0, "%s", message.c_str());
    EXPECT_EQ(f.text, message + "\n");
    EXPECT_TRUE(f.guardIntact);
}

TEST(DiagnosticFormat, OverlongMessageIsCutToFitNewlineAndTerminator)
{
    const std::string message(3000, 'y');
    const Formatted f = format(0, 0, "%s", message.c_str());
    EXPECT_EQ(f.text, std::string(diagnosticBufferSize - 2, 'y') + "\n");
    EXPECT_EQ(f.reportedLength, diagnosticBufferSize - 1);
    EXPECT_TRUE(f.guardIntact);
}

TEST(DiagnosticFormat, OverlongMessageIsCutSoThatTheErrnoSuffixStillFits)
{
    const std::string message(3000, 'z');
    const Formatted f = format(1, 13, "%s", message.c_str());
    const std::string suffix = ": errno 13\n";
    ASSERT_EQ(f.text.size(), static_cast<size_t>(diagnosticBufferSize - 1));
    EXPECT_EQ(f.text.substr(f.text.size() - suffix.size()), suffix);
    EXPECT_EQ(f.text.substr(0, f.text.size() - suffix.size()),
              std::string(diagnosticBufferSize - 1 - suffix.size(), 'z'));
    EXPECT_TRUE(f.guardIntact);

    // The widest error number still fits completely.
    const Formatted widest = format(1, -2147483647 - 1, "%s", message.c_str());
    EXPECT_EQ(widest.text.substr(widest.text.size() - 20), ": errno -2147483648\n");
    EXPECT_TRUE(widest.guardIntact);
}

TEST(FatalExit, FatalErrorWritesTheMessageAndEndsWithStatusOne)
{
    const ChildResult r = runInChild([] { fatalError("missing ip_addr\n"); });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "missing ip_addr\n\n");
}

TEST(FatalExit, FatalSystemErrorAppendsTheErrorNumber)
{
    const ChildResult r = runInChild([] {
        errno = 13;
        fatalSystemError("socket: %s", "icmp");
    });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "socket: icmp: errno 13\n");
}

TEST(FatalExit, ErrorNumberIsTakenBeforeStandardOutputIsFlushed)
{
    // Flushing into a closed descriptor fails and sets errno to EBADF; the message must
    // still show the error number of the failure being reported.
    const ChildResult r = runInChild([] {
        std::printf("pending line\n");
        close(1);
        errno = 13;
        fatalSystemError("socket");
    });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "socket: errno 13\n");
}

TEST(FatalExit, FatalEndsTheProcessEvenWithCodeBehindIt)
{
    const ChildResult r = runInChild([] {
        fatalError("select");
        std::printf("never printed\n");  // not reached: fatalError does not return
    });
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "select\n");
}

TEST(Warning, PrintWarningReturnsAndTheCallerCarriesOn)
{
    const ChildResult r = runInChild([] {
        printWarning("seq %d timed out", 7);
        std::printf("after the warning\n");
    });
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_EQ(r.out, "after the warning\n");
    EXPECT_EQ(r.err, "seq 7 timed out\n");
}

TEST(StreamOrder, StandardOutputReachesASharedFileBeforeTheComplaint)
{
    const ChildResult fatal = runInChild(
        [] {
            std::printf("using the default set: 254 454\n");
            std::printf("my own pid is %d\n", 77);
            fatalError("unknown host: %s\n", "nowhere");
        },
        true);
    EXPECT_EQ(fatal.exitStatus, 1);
    EXPECT_EQ(fatal.out, "using the default set: 254 454\nmy own pid is 77\nunknown host: nowhere\n\n");

    const ChildResult warning = runInChild(
        [] {
            std::printf("probe 1\n");
            printWarning("seq %d timed out", 1);
            std::printf("probe 2\n");
            printWarning("seq %d timed out", 2);
        },
        true);
    EXPECT_EQ(warning.exitStatus, 0);
    EXPECT_EQ(warning.out, "probe 1\nseq 1 timed out\nprobe 2\nseq 2 timed out\n");
}

}  // namespace
