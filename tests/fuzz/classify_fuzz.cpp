// libFuzzer target for reply decoding and the lines printed about each reply. An input
// is a 9-byte parameter prefix followed by the datagram (at most 15000 bytes are used):
//   byte 0     flags: 1 verbose, 2 process id + 0x10000, 4 probe count + 0x10000,
//              8 a UDP probe is outstanding (from source port 40001), else an echo probe
//   bytes 1-2  low 16 bits of the process id, most significant byte first
//   bytes 3-4  low 16 bits of the probe count (one more than the outstanding probe), same order
//   bytes 5-8  the destination address as it lies in a socket address
// The datagram is copied into a buffer of exactly its length, so any read past the
// received bytes is reported. Fatal replies throw instead of ending the process. Each
// result must be consistent: its verdict belongs to its kind, and an accepted reply is
// timed from the send stamp or (echo replies) from the counter it carries.
//
// Fatal replies write their message to standard error: run with -close_fd_mask=2 (or 3)
// to keep the fuzzer fast; standard output is sent to /dev/null here.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "output/classic_console.h"
#include "support/diagnostics.h"
#include "wire/probe.h"
#include "wire/reply.h"

using namespace hoprate;

namespace {

constexpr size_t prefixLength = 9;
constexpr int64_t sendStamp = 5000000;
constexpr uint16_t udpSourcePort = 40001;

struct FatalReply {};

[[noreturn]] void throwOnFatalExit(int)
{
    throw FatalReply{};
}

void require(bool condition)
{
    if (!condition)
        std::abort();
}

ReplyVerdict verdictOfKind(ReplyKind kind)
{
    switch (kind) {
    case ReplyKind::EchoReply:
    case ReplyKind::TimeExceededForEcho:
    case ReplyKind::TimeExceededForUdp:
    case ReplyKind::PortUnreachable:
        return ReplyVerdict::Accepted;
    case ReplyKind::TooShortForIcmp:
    case ReplyKind::EchoReplyTooShort:
    case ReplyKind::ErrorTooShort:
    case ReplyKind::QuotedEchoTooShort:
    case ReplyKind::QuotedUdpTooShort:
        return ReplyVerdict::Fatal;
    default:
        return ReplyVerdict::Rejected;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0)
        dup2(devNull, 1);
    fatalExitHandler = throwOnFatalExit;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < prefixLength)
        return 0;
    const uint8_t flags = data[0];
    const int pid = (data[1] << 8 | data[2]) + ((flags & 2) ? 0x10000 : 0);
    const int probeSeq = (data[3] << 8 | data[4]) + ((flags & 4) ? 0x10000 : 0);
    OutstandingProbe probe;
    probe.identifier = static_cast<uint16_t>(pid & 0xFFFF);
    probe.number = probeSeq - 1;
    std::memcpy(&probe.destination, data + 5, 4);
    probe.udpPort = udpProbePort;
    probe.sendStamp = sendStamp;
    probe.kind = (flags & 8) ? OutstandingKind::Udp : OutstandingKind::Echo;
    probe.udpSourcePort = udpSourcePort;

    const size_t len = std::min(size - prefixLength, static_cast<size_t>(probeBufferSize));
    const std::vector<uint8_t> datagram(data + prefixLength, data + prefixLength + len);
    const Reply reply = decodeReply(datagram, probe);
    require(reply.verdict == verdictOfKind(reply.kind));
    if (reply.verdict == ReplyVerdict::Accepted) {
        require(reply.kind == ReplyKind::EchoReply || reply.sentAt == sendStamp);
        // An answer only ever ends the wait of a probe of its own kind, from our port.
        const bool udpAnswer = reply.kind == ReplyKind::TimeExceededForUdp || reply.kind == ReplyKind::PortUnreachable;
        require(udpAnswer == (probe.kind == OutstandingKind::Udp));
        require(!udpAnswer || reply.sourcePort == udpSourcePort);
    }

    ClassicConsole console(flags & 1, pid);
    try {
        if (reply.verdict == ReplyVerdict::Accepted)
            console.accepted(reply, probe.number, 0.001);
        else if (reply.verdict == ReplyVerdict::Rejected)
            console.rejected(reply);
        else
            console.fatalReply(reply);
    } catch (const FatalReply &) {
        require(reply.verdict == ReplyVerdict::Fatal);
    }
    return 0;
}
