// The network as a prober sees it: a raw ICMP socket that sends echo probes and receives
// every ICMP message, a UDP socket for UDP probes, their TTLs, a clock, and pauses.
// Small on purpose: tests replace it with a scripted fake, and everything above it
// (the engines) runs unchanged.
#pragma once

#include <cstdint>
#include <span>

#include "wire/address.h"

struct Endpoint {
    Ipv4Address address = 0;  // network order
    uint16_t port = 0;        // host order; 0 for ICMP
};

// One datagram taken from the ICMP socket: its full length (also when longer than the
// buffer), the counter value read as soon as the receive returned, and the sender.
struct Datagram {
    int length = 0;
    int64_t arrival = 0;
    Ipv4Address from = 0;
};

enum class ReceiveStatus {
    Received,     // a datagram is in the buffer
    TimedOut,     // the deadline passed without one
    Interrupted,  // a signal cut the wait or the receive short
    Failed,       // the wait or the receive failed: error and failedCall tell
};

struct ReceiveResult {
    ReceiveStatus status = ReceiveStatus::TimedOut;
    int error = 0;                  // errno of a failure
    const char *failedCall = "";    // "select" (the wait) or "recvfrom error"
    Datagram datagram;
};

class ProbeNetwork {
public:
    virtual ~ProbeNetwork() = default;

    // Sockets are opened once and kept; each call returns 0 or the errno of the failure.
    virtual bool icmpSocketOpen() const = 0;
    virtual int openIcmpSocket() = 0;
    virtual bool udpSocketOpen() const = 0;
    // Opens the UDP socket bound to a port of its own (any free one), so that the ICMP
    // errors its probes cause can be told from those of other processes.
    virtual int openUdpSocket() = 0;
    // The local port of the UDP socket (host order); 0 while it is not open.
    virtual uint16_t udpSourcePort() const = 0;
    virtual int setIcmpTtl(int ttl) = 0;
    virtual int setUdpTtl(int ttl) = 0;

    // Sends are fire and forget: a probe that does not leave is a probe without reply.
    virtual void sendIcmp(std::span<const uint8_t> message, Endpoint to) = 0;
    virtual void sendUdp(std::span<const uint8_t> payload, Endpoint to) = 0;

    // Waits until the deadline (a counter value) for the next datagram on the ICMP
    // socket and reads it, IP header included, into buffer. A datagram longer than the
    // buffer is a failure (EMSGSIZE), never parsed cut short.
    virtual ReceiveResult receive(std::span<uint8_t> buffer, int64_t deadline) = 0;

    // The counter (nanoseconds) and the pause between probes.
    virtual int64_t now() = 0;
    virtual void pause(uint32_t microseconds) = 0;
};
