// The network as the accurate engine sees it: echo requests sent with a TTL of the
// engine's choosing, every ICMP message received, each stamped twice: by the program
// (monotonic clock) and, where the host can, by the kernel as the packet left or arrived
// (software time stamps, on the same clock). A round trip uses two stamps of one kind.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "wire/address.h"

struct SentEcho {
    int error = 0;                      // errno of a failed send (EMSGSIZE: above the local MTU)
    int64_t userTime = 0;               // monotonic, read right before the send
    std::optional<int64_t> kernelTime;  // when the packet left (software stamp)
};

struct EchoArrival {
    int length = 0;                     // bytes of the datagram (IP header included)
    Ipv4Address from = 0;
    int64_t userTime = 0;               // monotonic, read right after the receive
    std::optional<int64_t> kernelTime;  // when the packet arrived (software stamp)
};

enum class EchoWaitStatus { Received, TimedOut, Failed };

struct EchoWait {
    EchoWaitStatus status = EchoWaitStatus::TimedOut;
    int error = 0;
    EchoArrival arrival;
};

class EchoNetwork {
public:
    virtual ~EchoNetwork() = default;
    // Sends one ICMP message (the kernel adds the IP header, with DF set) with this TTL.
    virtual SentEcho send(std::span<const uint8_t> message, Ipv4Address to, int ttl) = 0;
    // Waits until the deadline (monotonic) for the next ICMP datagram; a datagram longer
    // than the buffer is cut to it (length says how long it was).
    virtual EchoWait receive(std::span<uint8_t> buffer, int64_t deadline) = 0;
    virtual int64_t now() = 0;
    // The MTU of the local route toward an address, when the host knows it.
    virtual std::optional<int> routeMtu(Ipv4Address to) = 0;
};

// The round trip of a probe in nanoseconds: kernel stamps when both exist, else the
// program's own.
inline int64_t roundTripNanoseconds(const SentEcho &sent, const EchoArrival &arrival)
{
    if (sent.kernelTime && arrival.kernelTime)
        return *arrival.kernelTime - *sent.kernelTime;
    return arrival.userTime - sent.userTime;
}
