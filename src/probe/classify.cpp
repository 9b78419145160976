// Classification of one received ICMP datagram. The datagram is untrusted: every
// field is read only after checking that it lies inside the len bytes received.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "cli/run_config.h"
#include "probe/path_prober.h"
#include "support/clock.h"
#include "support/diagnostics.h"

namespace {

constexpr int icmpHeaderLength = 8;
constexpr int minimumErrorLength = 8 + 20 + 8;  // ICMP header, quoted IP header, 8 quoted bytes

uint16_t networkOrder16(const unsigned char *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint16_t littleEndian16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

int64_t littleEndian64(const unsigned char *p)
{
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = (bits << 8) | p[i];
    return static_cast<int64_t>(bits);
}

in_addr addressAt(const unsigned char *p)
{
    in_addr address{};
    std::memcpy(&address.s_addr, p, 4);
    return address;
}

// inet_ntoa keeps one static buffer; each address is copied out before the next.
void addressText(const unsigned char *p, char (&out)[16])
{
    std::snprintf(out, sizeof out, "%s", inet_ntoa(addressAt(p)));
}

}  // namespace

int PathProber::classifyReply(int len, int64_t arrivalStamp)
{
    const unsigned char *datagram = recvBuffer;
    // Nothing received means no header length either (byte 0 would be stale).
    const int headerLength = len >= 1 ? 4 * (datagram[0] & 0x0F) : 0;
    const int icmplen = len - headerLength;
    if (icmplen < icmpHeaderLength)
        fatalError("icmplen (%d) < 8\n", icmplen);

    const unsigned char *icmp = datagram + headerLength;
    const uint16_t identifier = networkOrder16(icmp + 4);
    const int type = icmp[0];
    const int code = icmp[1];
    const int ownIdentifier = ownPid & 0xFFFF;
    const uint16_t outstandingSeq = static_cast<uint16_t>((probeSeq - 1) & 0xFFFF);

    auto recordReply = [&](double rtt) {
        appRtt[sizeIndex][iterIndex] = rtt;
        replyMark[sizeIndex][iterIndex] = 1;
        replyCount[sizeIndex] += 1;
    };
    auto acceptFrom = [&]() {
        lastResponder = fromAddr.sin_addr.s_addr;
        responderKnown = 1;
        return 1;
    };
    auto checkSequence = [&](uint16_t sequence) {
        if (sequence != outstandingSeq)
            std::printf("warning: expected seq=%d, ", probeSeq - 1);
    };

    if (type == 0) {
        if (identifier != ownIdentifier) {
            std::printf("icmp echo reply but %hu is not my own pid %d\n", identifier, ownPid);
            return 0;
        }
        if (icmplen < 16)
            fatalError("icmplen (%d) < 16\n", icmplen);
        const double rtt = elapsedSeconds(arrivalStamp, littleEndian64(icmp + 8));
        recordReply(rtt);
        const uint16_t sequence = littleEndian16(icmp + 6);
        checkSequence(sequence);
        if (verbose)
            std::printf("%d bytes: seq=%hu, rtt=%.4fms\n", icmplen, sequence, rtt * 1000.0);
        return acceptFrom();
    }
    if (type == 8) {
        std::printf("got my own echo request packet?!\n");
        return 0;
    }
    const bool timeExceeded = type == 11 && code == 0;
    const bool portUnreachable = type == 3 && code == 3;
    if (!timeExceeded && !portUnreachable) {
        std::printf("incoming ICMP packet not handled\n");
        return 0;
    }

    if (icmplen < minimumErrorLength)
        fatalError("icmplen (%d) < 8 + 20 + 8)", icmplen);
    // From here len >= headerLength + 36: the outer source address (offset 12) and
    // the first 28 quoted bytes (quoted IP header fields up to offset 20) are inside.
    char sourceText[16];
    addressText(datagram + 12, sourceText);
    const unsigned char *quoted = icmp + icmpHeaderLength;
    const int quotedHeaderLength = 4 * (quoted[0] & 0x0F);
    const int quotedProtocol = quoted[9];
    const int quotedLength = len - headerLength - icmpHeaderLength - quotedHeaderLength;  // icmplen2 / udplen2
    const unsigned char *quotedTransport = quoted + quotedHeaderLength;
    const bool quotedToTarget = std::memcmp(quoted + 16, &destAddr.sin_addr.s_addr, 4) == 0;

    if (timeExceeded && quotedProtocol == IPPROTO_ICMP) {
        // The quoted identifier must have been received before it can be compared; a
        // quote too short to hold it is too short for an echo probe in any case.
        if (quotedLength < 6)
            fatalError("icmplen2 (%d) < 8\n", quotedLength);
        const uint16_t quotedIdentifier = networkOrder16(quotedTransport + 4);
        if (quotedIdentifier != ownIdentifier) {
            std::printf("icmp ttl exceeded for icmp, but %hu is not my own pid %d\n", quotedIdentifier, ownPid);
            return 0;
        }
        if (quotedLength < 8)
            fatalError("icmplen2 (%d) < 8\n", quotedLength);
        const double rtt = elapsedSeconds(arrivalStamp, sendStamp);
        recordReply(rtt);
        const uint16_t sequence = littleEndian16(quotedTransport + 6);
        checkSequence(sequence);
        if (verbose)
            std::printf("time exceeded from %s: %d bytes: seq=%hu, rtt=%.4fms\n", sourceText, quotedLength,
                        sequence, rtt * 1000.0);
        return acceptFrom();
    }

    if (timeExceeded && quotedProtocol == IPPROTO_UDP) {
        if (!quotedToTarget) {
            if (verbose) {
                char quotedText[16];
                addressText(quoted + 16, quotedText);
                std::printf("time exceeded from %s for %s\n", sourceText, quotedText);
            }
            return 0;
        }
        if (quotedLength < 8)
            fatalError("udplen2 (%d) < 8\n", quotedLength);
        const uint16_t port = networkOrder16(quotedTransport + 2);
        if (port != udpProbePort) {
            std::printf("time exceeded udp port: %hu\n", port);
            return 0;
        }
        const double rtt = elapsedSeconds(arrivalStamp, sendStamp);
        recordReply(rtt);
        if (verbose)
            std::printf("udp time exceeded from %s: %d bytes: seq=%hu, rtt=%.4fms\n", sourceText, quotedLength,
                        outstandingSeq, rtt * 1000.0);
        return acceptFrom();
    }

    if (timeExceeded) {
        std::printf("unknown time exceeded\n");
        return 0;
    }

    // Port unreachable: the quote is taken to be a UDP probe.
    if (!quotedToTarget) {
        std::printf("port unreachable from %s\n", sourceText);
        return 0;
    }
    if (quotedLength < 8)
        fatalError("udplen2 (%d) < 8\n", quotedLength);
    const uint16_t port = networkOrder16(quotedTransport + 2);
    if (port != udpProbePort) {
        std::printf("udp port: %hu\n", port);
        return 0;
    }
    const double rtt = elapsedSeconds(arrivalStamp, sendStamp);
    recordReply(rtt);

    // Bytes that HDLC-like framing (RFC 1662) sends escaped under its default map.
    int flagBytes = 0;
    int escapeBytes = 0;
    int controlBytes = 0;
    for (int i = 0; i < len; ++i) {
        const unsigned char byte = datagram[i];
        if (byte == 0x7E)
            ++flagBytes;
        else if (byte == 0x7D)
            ++escapeBytes;
        else if (byte < 0x20)
            ++controlBytes;
    }
    if (verbose) {
        std::printf("port unreachable: %d bytes: seq=%hu, rtt=%.4fms", quotedLength, outstandingSeq, rtt * 1000.0);
        if (flagBytes > 0)
            std::printf(", #_7e=%d", flagBytes);
        if (escapeBytes > 0)
            std::printf(", #_7d=%d", escapeBytes);
        if (controlBytes > 0)
            std::printf(", #_20=%d", controlBytes);
        std::printf("\n");
    }
    return acceptFrom();
}
