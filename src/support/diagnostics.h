// Complaints and fatal exits. Every message goes to standard error after standard
// output has been flushed, always with one added newline.
#pragma once

#include <cstdarg>

namespace hoprate {

// Ends the process with a message on standard error and exit status 1.
[[noreturn]] void fatalError(const char *format, ...) __attribute__((format(printf, 1, 2)));
// As fatalError, with ": errno %d" and the last error number behind the message.
[[noreturn]] void fatalSystemError(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Writes the message to standard error and returns.
void printWarning(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The common formatter: reads errno first, formats into a 1024-byte buffer, appends
// the error number when withErrno is 1, adds the newline, flushes stdout, writes stderr.
void writeDiagnostic(int withErrno, const char *format, va_list args);

// Builds the text writeDiagnostic would write (message, optional suffix, newline) into
// out, which holds diagnosticBufferSize bytes; returns its length. Nothing is written
// past the buffer: an over-long message is cut so that suffix and newline still fit.
constexpr int diagnosticBufferSize = 1024;
int formatDiagnostic(char *out, int withErrno, int errorNumber, const char *format, va_list args);

// How a fatal exit ends the process. The default calls exit(); a fuzzing or test
// harness may install a handler that throws instead, so a fatal reply can be observed.
using FatalExitHandler = void (*)(int status);
extern FatalExitHandler fatalExitHandler;

}  // namespace hoprate
