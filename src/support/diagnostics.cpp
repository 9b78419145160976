#include "support/diagnostics.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hoprate {

FatalExitHandler fatalExitHandler = nullptr;

namespace {

[[noreturn]] void endProcess(int status)
{
    if (fatalExitHandler != nullptr)
        fatalExitHandler(status);
    std::exit(status);
}

}  // namespace

int formatDiagnostic(char *out, int withErrno, int errorNumber, const char *format, va_list args)
{
    // The last two bytes are kept for the newline and the terminating zero.
    const int room = diagnosticBufferSize - 2;
    // The suffix is formed first, so that an over-long message is cut to leave it room.
    char suffix[32] = "";
    int m = 0;
    if (withErrno) {
        std::snprintf(suffix, sizeof suffix, ": errno %d", errorNumber);
        m = static_cast<int>(std::strlen(suffix));
    }
    out[0] = '\0';
    std::vsnprintf(out, static_cast<size_t>(room - m) + 1, format, args);
    // The length actually in the buffer: covers a formatter failure and a cut message.
    const int n = static_cast<int>(std::strlen(out));
    std::memcpy(out + n, suffix, static_cast<size_t>(m));
    out[n + m] = '\n';
    out[n + m + 1] = '\0';
    return n + m + 1;
}

void writeDiagnostic(int withErrno, const char *format, va_list args)
{
    // Captured before anything else can change it.
    const int errorNumber = errno;
    char buffer[diagnosticBufferSize];
    formatDiagnostic(buffer, withErrno, errorNumber, format, args);
    std::fflush(stdout);
    std::fputs(buffer, stderr);
    std::fflush(stderr);
}

void fatalError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeDiagnostic(0, format, args);
    va_end(args);
    endProcess(1);
}

void fatalSystemError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeDiagnostic(1, format, args);
    va_end(args);
    endProcess(1);
}

void printWarning(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    writeDiagnostic(0, format, args);
    va_end(args);
}

}  // namespace hoprate
