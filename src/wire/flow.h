// The probes of the accurate mode and the decoding of what comes back for them, for
// IPv4 and IPv6 and three protocols. Pure: bytes in, values out.
//
// Every probe of a run toward one address belongs to one flow, whose fields that load
// balancers hash stay constant (Paris-style), so that all of them take one path:
//   ICMP echo   type, code, identifier and checksum (a compensation word in the payload
//               keeps the checksum constant; it follows from the identifier and cookie)
//   UDP         both ports; the checksum is the probe's sequence number under a key
//               (the payload's compensation word makes the kernel's checksum that value)
//   TCP SYN     both ports; the sequence number carries the probe's under the key
// A reply names its probe by the sequence number, which even an error quoting only the
// first 8 bytes of the probe carries: the echo sequence field, the UDP checksum, or the
// upper half of the TCP sequence number. Where a quote holds more, the run's cookie in
// the payload must be there too.
//
// Replies arrive as whole IP packets (for IPv6, the network layer puts a header in front
// of what the socket gives). Their lengths are never trusted: every field is read only
// after checking that it was received.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "wire/ip_address.h"

namespace hoprate {

enum class ProbeProtocol : uint8_t { Icmp, Udp, Tcp };

// What makes a run's probes its own: unguessable in a real run.
struct FlowKeys {
    uint16_t identifier = 0;  // ICMP echo identifier
    uint32_t cookie = 0;      // in every probe's payload
    uint16_t key = 0;         // a probe's sequence number XOR this: its UDP checksum, its TCP sequence's upper half
    uint16_t udpSource = 0;   // UDP probes leave from this port...
    uint16_t tcpSource = 0;   // ...TCP probes from this one
};

// Every probe of one protocol from one address to another.
struct ProbeFlow {
    ProbeProtocol protocol = ProbeProtocol::Icmp;
    IpAddress source;         // the address the kernel sends from (checksums cover it)
    IpAddress destination;
    uint16_t port = 0;        // UDP and TCP: the destination port
    FlowKeys keys;
};

// Bytes the transport part of a probe needs at least: ICMP header with cookie and
// compensation word, UDP header with both, TCP header with the cookie.
constexpr int flowTransportMinimum(ProbeProtocol protocol)
{
    return protocol == ProbeProtocol::Icmp ? 16 : protocol == ProbeProtocol::Udp ? 14 : 24;
}
// The smallest probe of a flow, IP header included.
constexpr int smallestFlowProbe(Family family, ProbeProtocol protocol)
{
    return ipHeaderBytes(family) + flowTransportMinimum(protocol);
}

// The constant ICMP checksum of an echo flow (IPv4 and IPv6 alike): it follows from the
// identifier and the cookie, so a sender who never saw a probe cannot know it.
uint16_t echoChecksum(const FlowKeys &keys, Family family);

// The UDP checksum that stands for a sequence number: sequence XOR key. The one sequence
// number that would give 0 (which the kernel writes as 0xFFFF) is never used.
uint16_t udpChecksumFor(const FlowKeys &keys, uint16_t sequence);
uint16_t unusableSequence(const FlowKeys &keys);

// The transport part of a probe (what the socket sends after the IP header) for an IP
// packet of ipLength bytes in all (at least smallestFlowProbe), with this sequence
// number. ICMP and UDP messages are built so that the checksum the kernel computes is the
// flow's; a TCP segment carries its own.
std::vector<uint8_t> buildProbe(const ProbeFlow &flow, uint16_t sequence, int ipLength);

// A message nobody answers: an ICMP (ICMPv6) echo reply of 8 bytes, which routers forward
// and hosts drop. It wakes a path that has been idle ahead of a probe (see the engine).
std::vector<uint8_t> buildWake(Family family);

enum class ReplyKind : uint8_t {
    EchoReply,        // ICMP echo reply from the address probed
    TimeExceeded,     // from the router where the probe's TTL (hop limit) ran out
    PortUnreachable,  // destination unreachable, port (a UDP probe reached its destination)
    Unreachable,      // destination unreachable, any other code
    TooBig,           // IPv4 fragmentation needed or IPv6 packet too big, with the next hop's MTU
    TcpReset,         // RST from the TCP probe's destination
    TcpSynAck,        // SYN-ACK from the TCP probe's destination (its kernel is then reset by ours)
};

struct ProbeReply {
    ReplyKind kind = ReplyKind::EchoReply;
    ProbeProtocol protocol = ProbeProtocol::Icmp;  // of the probe it answers
    uint16_t sequence = 0;
    IpAddress source;             // the reply's own source address
    IpAddress probeDestination;   // where the probe went (errors: as quoted; others: the source)
    int ttl = 0;                  // the reply's TTL or hop limit as it arrived
    int quotedProbeLength = 0;    // errors: the probe's IP length as quoted
    int nextHopMtu = 0;           // TooBig: the MTU the router named (0: none)
    bool cookieSeen = false;      // the cookie was received (not so in a quote of 8 bytes)
    uint16_t tcpAckLow = 0;       // TCP replies: the low half of ack - 1 (the probe's payload length for a RST)
};

// What a run's replies must match: its keys, the family, the UDP and TCP destination ports.
struct FlowMatch {
    Family family = Family::V4;
    FlowKeys keys;
    uint16_t udpDestination = 0;
    uint16_t tcpDestination = 0;
};

// Decodes one received IP packet (IPv4 or IPv6, header included). Nothing unless it
// answers a probe of the run: an echo reply with its identifier and cookie, a TCP RST or
// SYN-ACK to its port with its sequence, or an ICMP error quoting one of its probes (the
// fields a short quote holds must all be the run's, the cookie too when quoted). IPv6
// extension headers in a quoted probe are walked (hop-by-hop, routing, destination
// options); a fragment or anything else sets the reply aside.
std::optional<ProbeReply> decodeProbeReply(std::span<const uint8_t> packet, const FlowMatch &match);

}  // namespace hoprate
