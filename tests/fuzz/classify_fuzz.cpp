// libFuzzer target for reply classification. An input is a 9-byte parameter prefix
// followed by the datagram (at most 15000 bytes are used):
//   byte 0     flags: 1 verbose, 2 process id + 0x10000, 4 probeSeq + 0x10000,
//              8 and 16 select the probe column
//   bytes 1-2  low 16 bits of the process id, most significant byte first
//   bytes 3-4  low 16 bits of probeSeq (one more than the outstanding probe), same order
//   bytes 5-8  the destination address as it lies in destAddr
// The bytes of recvBuffer behind the datagram are poisoned during each call, so any
// read past the received length is reported. Fatal length checks throw instead of
// ending the process. Each call must leave the prober as a rejection or as exactly
// one accepted reply leaves it.
//
// Fatal replies write their message to standard error: run with -close_fd_mask=2 (or 3)
// to keep the fuzzer fast; standard output is sent to /dev/null here.
#include <fcntl.h>
#include <sanitizer/asan_interface.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cli/run_config.h"
#include "probe/path_prober.h"
#include "support/clock.h"
#include "support/diagnostics.h"

namespace {

constexpr size_t prefixLength = 9;

struct FatalReply {};

[[noreturn]] void throwOnFatalExit(int)
{
    throw FatalReply{};
}

PathProber *prober = nullptr;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0)
        dup2(devNull, 1);
    fatalExitHandler = throwOnFatalExit;
    counterFrequency = 1000000000;
    static char size[] = "100";
    char *sizeTexts[] = {size};
    prober = new PathProber(4, 1, sizeTexts);
    prober->fromAddr.sin_family = AF_INET;
    prober->fromAddr.sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1
    prober->sendStamp = 5000000;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < prefixLength)
        return 0;
    const uint8_t flags = data[0];
    verbose = flags & 1;
    ownPid = (data[1] << 8 | data[2]) + ((flags & 2) ? 0x10000 : 0);
    prober->probeSeq = (data[3] << 8 | data[4]) + ((flags & 4) ? 0x10000 : 0);
    std::memcpy(&prober->destAddr.sin_addr.s_addr, data + 5, 4);
    prober->sizeIndex = 0;
    prober->iterIndex = (flags >> 3) & 3;

    const size_t len = size - prefixLength < sizeof prober->recvBuffer ? size - prefixLength
                                                                        : sizeof prober->recvBuffer;
    std::memcpy(prober->recvBuffer, data + prefixLength, len);

    const int column = prober->iterIndex;
    prober->replyCount[0] = 0;
    prober->replyMark[0][column] = 0;
    prober->appRtt[0][column] = -1.0;
    prober->responderKnown = 0;
    prober->lastResponder = 0;

    ASAN_POISON_MEMORY_REGION(prober->recvBuffer + len, sizeof prober->recvBuffer - len);
    int result = -1;
    try {
        result = prober->classifyReply(static_cast<int>(len), 5000000 + static_cast<int64_t>(len));
    } catch (const FatalReply &) {
        result = -1;
    }
    ASAN_UNPOISON_MEMORY_REGION(prober->recvBuffer, sizeof prober->recvBuffer);

    if (result == 1) {
        require(prober->replyCount[0] == 1 && prober->replyMark[0][column] == 1);
        require(prober->responderKnown == 1 && prober->lastResponder == prober->fromAddr.sin_addr.s_addr);
    } else if (result == 0) {
        require(prober->replyCount[0] == 0 && prober->replyMark[0][column] == 0);
        require(prober->appRtt[0][column] == -1.0);
        require(prober->responderKnown == 0 && prober->lastResponder == 0);
    }
    return 0;
}
