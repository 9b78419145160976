#include "wire/reply.h"

#include "wire/bytes.h"
#include "wire/icmp.h"
#include "wire/probe.h"

namespace hoprate {

namespace {

constexpr int minimumErrorLength = icmpHeaderLength + 20 + 8;  // ICMP header, quoted IP header, 8 quoted bytes

Reply verdict(Reply reply, ReplyVerdict v, ReplyKind kind)
{
    reply.verdict = v;
    reply.kind = kind;
    return reply;
}

}  // namespace

Reply decodeReply(std::span<const uint8_t> datagram, const OutstandingProbe &probe)
{
    Reply reply;
    const int len = static_cast<int>(datagram.size());
    // Nothing received means no header length either.
    const int headerLength = len >= 1 ? 4 * (datagram[0] & 0x0F) : 0;
    reply.icmpLength = len - headerLength;
    if (reply.icmpLength < icmpHeaderLength)
        return verdict(reply, ReplyVerdict::Fatal, ReplyKind::TooShortForIcmp);

    const uint8_t *icmp = datagram.data() + headerLength;
    const int type = icmp[0];
    const int code = icmp[1];
    const auto outstandingSequence = static_cast<uint16_t>((probe.number) & 0xFFFF);

    if (type == icmpEchoReply) {
        reply.identifier = read16(icmp + 4);
        if (reply.identifier != probe.identifier)
            return verdict(reply, ReplyVerdict::Rejected, ReplyKind::ForeignEchoReply);
        if (reply.icmpLength < 16)
            return verdict(reply, ReplyVerdict::Fatal, ReplyKind::EchoReplyTooShort);
        // Ours, but an answer to an echo probe can only end an echo probe's wait.
        if (probe.kind != OutstandingKind::Echo)
            return verdict(reply, ReplyVerdict::Rejected, ReplyKind::EchoReplyDuringUdp);
        // The probe's send time, echoed back: the reply is timed against the probe it answers.
        reply.sentAt = counterAt(icmp + 8);
        reply.sequence = readLittle16(icmp + 6);
        reply.sequenceMismatch = reply.sequence != outstandingSequence;
        return verdict(reply, ReplyVerdict::Accepted, ReplyKind::EchoReply);
    }
    if (type == icmpEchoRequest)
        return verdict(reply, ReplyVerdict::Rejected, ReplyKind::EchoRequest);
    const bool timeExceeded = type == icmpTimeExceeded && code == codeTtlExceeded;
    const bool portUnreachable = type == icmpUnreachable && code == codePortUnreachable;
    if (!timeExceeded && !portUnreachable)
        return verdict(reply, ReplyVerdict::Rejected, ReplyKind::NotHandled);

    if (reply.icmpLength < minimumErrorLength)
        return verdict(reply, ReplyVerdict::Fatal, ReplyKind::ErrorTooShort);
    // From here len >= headerLength + 36: the outer source address (offset 12) and the
    // first 28 quoted bytes (the quoted IP header up to its destination) are inside.
    reply.source = addressAt(datagram.data() + 12);
    const uint8_t *quoted = icmp + icmpHeaderLength;
    const int quotedHeaderLength = 4 * (quoted[0] & 0x0F);
    const int quotedProtocol = quoted[9];
    reply.quotedDestination = addressAt(quoted + 16);
    reply.quotedLength = len - headerLength - icmpHeaderLength - quotedHeaderLength;
    const uint8_t *transport = quoted + quotedHeaderLength;
    const bool quotedToTarget = reply.quotedDestination == probe.destination;
    reply.sentAt = probe.sendStamp;

    if (timeExceeded && quotedProtocol == protocolIcmp) {
        // The quoted identifier must have been received before it can be compared; a
        // quote too short to hold it is too short for an echo probe in any case.
        if (reply.quotedLength < 6)
            return verdict(reply, ReplyVerdict::Fatal, ReplyKind::QuotedEchoTooShort);
        reply.identifier = read16(transport + 4);
        if (reply.identifier != probe.identifier)
            return verdict(reply, ReplyVerdict::Rejected, ReplyKind::ForeignTimeExceeded);
        if (reply.quotedLength < 8)
            return verdict(reply, ReplyVerdict::Fatal, ReplyKind::QuotedEchoTooShort);
        if (probe.kind != OutstandingKind::Echo)
            return verdict(reply, ReplyVerdict::Rejected, ReplyKind::TimeExceededForEchoDuringUdp);
        reply.sequence = readLittle16(transport + 6);
        reply.sequenceMismatch = reply.sequence != outstandingSequence;
        return verdict(reply, ReplyVerdict::Accepted, ReplyKind::TimeExceededForEcho);
    }

    if (timeExceeded && quotedProtocol != protocolUdp)
        return verdict(reply, ReplyVerdict::Rejected, ReplyKind::TimeExceededOtherProtocol);

    // A quoted UDP datagram: time exceeded with protocol 17, or any port unreachable.
    if (!quotedToTarget)
        return verdict(reply, ReplyVerdict::Rejected,
                       timeExceeded ? ReplyKind::TimeExceededElsewhere : ReplyKind::UnreachableElsewhere);
    if (reply.quotedLength < 8)
        return verdict(reply, ReplyVerdict::Fatal, ReplyKind::QuotedUdpTooShort);
    reply.port = read16(transport + 2);
    if (reply.port != probe.udpPort)
        return verdict(reply, ReplyVerdict::Rejected,
                       timeExceeded ? ReplyKind::TimeExceededOtherPort : ReplyKind::UnreachableOtherPort);
    // Quotes of UDP datagrams to our target and port: from this run only while one of its
    // UDP probes is outstanding, and only from its own source port; another process
    // probing the same destination gets the same messages.
    if (probe.kind != OutstandingKind::Udp)
        return verdict(reply, ReplyVerdict::Rejected,
                       timeExceeded ? ReplyKind::TimeExceededForUdpDuringEcho : ReplyKind::UnreachableDuringEcho);
    reply.sourcePort = read16(transport);
    if (reply.sourcePort != probe.udpSourcePort)
        return verdict(reply, ReplyVerdict::Rejected,
                       timeExceeded ? ReplyKind::TimeExceededOtherSourcePort : ReplyKind::UnreachableOtherSourcePort);
    reply.sequence = outstandingSequence;
    if (timeExceeded)
        return verdict(reply, ReplyVerdict::Accepted, ReplyKind::TimeExceededForUdp);

    for (const uint8_t byte : datagram) {
        if (byte == 0x7E)
            ++reply.census.flag;
        else if (byte == 0x7D)
            ++reply.census.escape;
        else if (byte < 0x20)
            ++reply.census.control;
    }
    return verdict(reply, ReplyVerdict::Accepted, ReplyKind::PortUnreachable);
}

}  // namespace hoprate
