#include <sys/select.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "cli/run_config.h"
#include "probe/path_prober.h"
#include "support/clock.h"
#include "support/diagnostics.h"

namespace {

constexpr uint32_t pauseAfterProbeMicroseconds = 50000;

}  // namespace

void splitTimeout(double seconds, int &wholeSeconds, int &microseconds)
{
    wholeSeconds = static_cast<int>(seconds);
    microseconds = static_cast<int>((seconds - wholeSeconds) * 1000000.0);
}

double PathProber::runSweep(double &relErrOut)
{
    for (sizeIndex = 0; sizeIndex < sizeCount; ++sizeIndex)
        measureSize(sizes[sizeIndex]);
    std::printf("# of timeouts: %d\n", timeoutCount);
    analyze();
    relErrOut = slopeRelErr;
    return slope;
}

void PathProber::measureSize(int size)
{
    dataLen = size;
    if (verbose)
        std::printf("sending %s packets to %s [%s] with %d bytes of data, ttl=%d\n",
                    useIcmp ? "icmp echo" : "udp", targetName, targetAddrText, dataLen, ttl);

    for (iterIndex = 0; iterIndex < iterations; ++iterIndex) {
        if (useIcmp)
            sendEchoProbe();
        else
            sendUdpProbe();

        for (;;) {
            fd_set readSet;
            FD_ZERO(&readSet);
            FD_SET(icmpSocket, &readSet);
            int wholeSeconds = 0;
            int microseconds = 0;
            splitTimeout(probeTimeout, wholeSeconds, microseconds);
            timeval timeout{wholeSeconds, microseconds};

            const int ready = select(icmpSocket + 1, &readSet, nullptr, nullptr, &timeout);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;  // a signal, not a failure: wait again
                fatalSystemError("select");
            }
            if (ready == 0) {
                printWarning("seq %d timed out", probeSeq - 1);
                replyMark[sizeIndex][iterIndex] = 0;
                ++timeoutCount;
                break;
            }

            socklen_t fromLength = sizeof fromAddr;
            // MSG_TRUNC reports the datagram's real length, so one longer than the
            // buffer is detected instead of being parsed cut short.
            const ssize_t received = recvfrom(icmpSocket, recvBuffer, sizeof recvBuffer, MSG_TRUNC,
                                              reinterpret_cast<sockaddr *>(&fromAddr), &fromLength);
            int64_t arrivalStamp = 0;
            if (received >= 0)
                readCounter(&arrivalStamp);
            if (received < 0) {
                if (errno == EINTR)
                    continue;
                fatalSystemError("recvfrom error");
            }
            if (received > static_cast<ssize_t>(sizeof recvBuffer)) {
                errno = EMSGSIZE;
                fatalSystemError("recvfrom error");
            }
            if (classifyReply(static_cast<int>(received), arrivalStamp) == 1)
                break;
        }
        sleepMicroseconds(pauseAfterProbeMicroseconds);
    }
}
