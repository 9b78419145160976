// Echo probes of one flow, and the decoding of what comes back for them.
//
// Every echo request of a run toward one address has the same type, code, identifier and
// checksum (a compensation word in the payload keeps the checksum constant), so that load
// balancers that hash the first bytes of the ICMP header send every probe the same way.
// The sequence number and a per-run cookie in the payload identify each probe.
// Pure: bytes in, values out.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "wire/address.h"

namespace hoprate {

struct EchoFlow {
    uint16_t identifier = 0;
    uint32_t cookie = 0;      // in every probe's payload; checked where a reply carries it
    uint16_t checksum = 0;    // the constant checksum of every probe of the flow
};

constexpr int flowEchoHeaderLength = 16;  // ICMP header, cookie, compensation word, 2 spare
constexpr int ipHeaderLength = 20;
constexpr int smallestFlowProbe = ipHeaderLength + flowEchoHeaderLength;  // IP length in bytes

// A flow whose constant checksum follows from its identifier and cookie.
EchoFlow makeEchoFlow(uint16_t identifier, uint32_t cookie);

// The ICMP message of an echo request of the flow: icmpLength bytes (at least 16) with
// the given sequence number; the filler after the header is zero.
std::vector<uint8_t> buildFlowEcho(const EchoFlow &flow, uint16_t sequence, int icmpLength);

enum class FlowReplyKind {
    EchoReply,            // from the host the probe was sent to
    TimeExceeded,         // from the router where the probe's TTL ran out
    Unreachable,          // destination unreachable, any code but 4
    FragmentationNeeded,  // destination unreachable, code 4, with the next hop's MTU
};

struct FlowReply {
    FlowReplyKind kind = FlowReplyKind::EchoReply;
    uint16_t sequence = 0;
    Ipv4Address source = 0;             // the reply's own source address
    Ipv4Address probeDestination = 0;   // errors: where the quoted probe was going
    int nextHopMtu = 0;                 // fragmentation needed: the MTU the router named (0: none)
    int quotedProbeLength = 0;          // errors: the probe's IP length as quoted
    bool cookieSeen = false;            // the cookie was received (an echo reply, or a quote of 12 bytes or more)
};

// Decodes one received datagram (IP header included). Nothing unless it answers an echo
// probe of this flow: an echo reply with its identifier and cookie, or an ICMP error
// quoting one of its echo requests (identifier and checksum, which follows from the
// cookie; the cookie itself too when the quote holds it). Every field is read only after
// checking that it was received.
std::optional<FlowReply> decodeFlowReply(std::span<const uint8_t> datagram, const EchoFlow &flow);

}  // namespace hoprate
