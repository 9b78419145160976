// The network as both engines see it. Probes leave through a channel (the raw ICMP
// socket, or a UDP socket for the classic mode's UDP probes), each send and each arrival
// stamped twice: by the program (monotonic clock) and, where the host can, by the kernel
// as the packet left or arrived (software stamps, on the same clock); a round trip uses
// two stamps of one kind. Everything that arrives on a receiving channel (every ICMP
// message) is handed up whole, IP header included. Small on purpose: tests replace it
// (tests/unit/fake_network.h), and the engines above it run unchanged.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "wire/ip_address.h"

namespace hoprate {

enum class Channel {
    Icmp,  // raw ICMP (ICMPv6) socket: echo requests out, every ICMP message in
    Udp,   // UDP socket bound to a port of its own: datagrams out (their ICMP errors come on Icmp)
    Tcp,   // raw TCP socket: SYN probes out (from a port held for them), their RST and SYN-ACK in
};

struct Endpoint {
    IpAddress address;
    uint16_t port = 0;        // host order; 0 for ICMP
};

// What the host's routing table says of a destination.
struct Route {
    std::optional<int> mtu;          // of the local route
    std::optional<IpAddress> source;  // the address packets to it leave from
};

// How preparing a channel ended: 0, or the errno of the step that failed.
enum class PrepareStep { Socket, Device, Bind, Ttl };
struct Prepared {
    int error = 0;
    PrepareStep failed = PrepareStep::Socket;
    uint16_t localPort = 0;  // Udp: the port its datagrams leave from
};

struct Sent {
    int error = 0;                      // errno of a failed send (EMSGSIZE: above the local MTU)
    int64_t userTime = 0;               // monotonic, read right before the send
    std::optional<int64_t> kernelTime;  // when the packet left (software stamp)
};

struct Arrival {
    int length = 0;                     // bytes of the packet (IP header included), also when longer than the buffer
    IpAddress from;
    Channel channel = Channel::Icmp;    // the socket it came in on
    int64_t userTime = 0;               // monotonic, read right after the receive
    std::optional<int64_t> kernelTime;  // when the packet arrived (software stamp)
};

enum class WaitStatus {
    Received,     // a datagram is in the buffer (cut to it when longer)
    TimedOut,     // the deadline passed without one
    Interrupted,  // a signal cut the wait or the receive short
    Failed,       // the wait or the receive failed: error and failedStep tell
};
enum class WaitStep { Wait, Receive };

struct Wait {
    WaitStatus status = WaitStatus::TimedOut;
    int error = 0;
    WaitStep failedStep = WaitStep::Wait;
    Arrival arrival;
};

class Network {
public:
    virtual ~Network() = default;
    // Opens the channel's socket the first time; then, when socketTtl is given, sets the
    // TTL of everything it sends without a TTL of its own.
    virtual Prepared prepare(Channel channel, std::optional<int> socketTtl) = 0;
    // Sends one message (the kernel adds the IP header), with this packet's own TTL when
    // given (then with kernel stamps, where the channel has them). A failed send is
    // returned, never fatal.
    virtual Sent send(Channel channel, std::span<const uint8_t> message, Endpoint to, std::optional<int> ttl) = 0;
    // Waits until the deadline (monotonic ns) for the next packet on a receiving channel
    // (Icmp, Tcp), IP header included (for IPv6, one the network layer writes: the
    // socket gives none). A deadline already passed is a wait of zero: a packet queued by
    // then is still read.
    virtual Wait receive(std::span<uint8_t> buffer, int64_t deadline) = 0;
    virtual int64_t now() = 0;
    virtual void pause(int64_t nanoseconds) = 0;
    // What the host knows of the way to an address.
    virtual Route route(const IpAddress &to) = 0;
};

// The round trip of a probe in nanoseconds: kernel stamps when both exist, else the
// program's own.
inline int64_t roundTripNanoseconds(const Sent &sent, const Arrival &arrival)
{
    if (sent.kernelTime && arrival.kernelTime)
        return *arrival.kernelTime - *sent.kernelTime;
    return arrival.userTime - sent.userTime;
}

}  // namespace hoprate
