// Decoding one received ICMP datagram (IP header included) against the probe that is
// outstanding: does it answer that probe, is it someone else's traffic, or is it too
// short for its kind? The datagram is untrusted input: every field is read only after
// checking that it lies inside the bytes received. Pure: the result is a value that
// says what the datagram is and carries every number the program prints about it.
#pragma once

#include <cstdint>
#include <span>

#include "wire/address.h"

namespace hoprate {

// Which socket the outstanding probe left by.
enum class OutstandingKind { Echo, Udp };

// What the decoder compares a datagram with.
struct OutstandingProbe {
    uint16_t identifier = 0;      // low 16 bits of the process id: our echo probes carry it
    int number = 0;               // the probe's number in the run (its sequence: the low 16 bits)
    Ipv4Address destination = 0;  // where the probe was sent
    uint16_t udpPort = 0;         // destination port of UDP probes
    int64_t sendStamp = 0;        // counter value at which the probe was sent
    OutstandingKind kind = OutstandingKind::Echo;
    uint16_t udpSourcePort = 0;   // the run's own UDP port: every UDP probe leaves from it
};

enum class ReplyVerdict {
    Accepted,  // answers the outstanding probe: its round trip ends
    Rejected,  // not an answer: reported, and the wait goes on
    Fatal,     // too short for its kind: the run ends
};

enum class ReplyKind {
    // accepted
    EchoReply,               // our echo probe reached the host it was sent to
    TimeExceededForEcho,     // our echo probe's TTL ran out at a router
    TimeExceededForUdp,      // our UDP probe's TTL ran out at a router
    PortUnreachable,         // our UDP probe reached its destination
    // rejected
    ForeignEchoReply,        // an echo reply with another identifier
    EchoRequest,             // an echo request (our own, seen on the way out)
    ForeignTimeExceeded,     // time exceeded for another process's echo probe
    TimeExceededElsewhere,   // time exceeded for UDP to another address
    TimeExceededOtherPort,   // time exceeded for UDP to another port
    TimeExceededOtherProtocol,
    UnreachableElsewhere,    // port unreachable for a datagram to another address
    UnreachableOtherPort,    // port unreachable for another port
    EchoReplyDuringUdp,      // our echo reply, but a UDP probe is outstanding
    TimeExceededForEchoDuringUdp,  // time exceeded for our echo probe, but a UDP probe is outstanding
    TimeExceededForUdpDuringEcho,  // time exceeded for UDP to our target, but an echo probe is outstanding
    UnreachableDuringEcho,   // port unreachable from our target, but an echo probe is outstanding
    TimeExceededOtherSourcePort,  // time exceeded for UDP from another process's port
    UnreachableOtherSourcePort,   // port unreachable for UDP from another process's port
    NotHandled,              // any other type or code
    // fatal
    TooShortForIcmp,         // fewer than 8 ICMP bytes
    EchoReplyTooShort,       // our echo reply with fewer than 16 ICMP bytes
    ErrorTooShort,           // time exceeded or unreachable with fewer than 36 ICMP bytes
    QuotedEchoTooShort,      // our quoted echo probe with fewer than 8 bytes
    QuotedUdpTooShort,       // the quoted UDP datagram with fewer than 8 bytes
};

// Bytes of an accepted port-unreachable datagram that HDLC-like framing (RFC 1662)
// sends escaped under its default map.
struct ByteCensus {
    int flag = 0;     // 0x7E
    int escape = 0;   // 0x7D
    int control = 0;  // 0x00 to 0x1F
};

struct Reply {
    ReplyVerdict verdict = ReplyVerdict::Rejected;
    ReplyKind kind = ReplyKind::NotHandled;
    int icmpLength = 0;                // bytes from the ICMP header to the end (icmplen)
    int quotedLength = 0;              // bytes from the quoted transport header on (icmplen2, udplen2)
    Ipv4Address source = 0;            // the datagram's own source (ICMP errors)
    Ipv4Address quotedDestination = 0; // the quoted datagram's destination (ICMP errors)
    uint16_t identifier = 0;           // the echo reply's, or the quoted echo probe's
    uint16_t sequence = 0;             // the echo reply's, the quoted probe's, or the outstanding one's (UDP)
    uint16_t port = 0;                 // the quoted UDP destination port
    uint16_t sourcePort = 0;           // the quoted UDP source port
    bool sequenceMismatch = false;     // an accepted echo answer for another probe than the outstanding one
    int64_t sentAt = 0;                // the counter value the round trip is measured from
    ByteCensus census;                 // accepted port unreachable only
};

Reply decodeReply(std::span<const uint8_t> datagram, const OutstandingProbe &probe);

}  // namespace hoprate
