// The network on Linux, for one address family: a raw ICMP (ICMPv6) socket, which
// receives every ICMP message; a UDP socket bound to a port of its own; a raw TCP socket
// for SYN probes, beside an ordinary TCP socket that holds their source port (so that the
// kernel gives it to nobody else, and resets any SYN-ACK that comes for it). Each is
// opened when first prepared. Per-packet TTLs (hop limits); kernel software time stamps
// (SO_TIMESTAMPING) where asked for and given; CLOCK_MONOTONIC and nanosleep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "net/network.h"

namespace hoprate {

struct SocketOptions {
    Family family = Family::V4;
    bool kernelStamps = false;  // software send and receive stamps
    bool dontFragment = false;  // DF on every probe, whatever the route's cached path MTU says
    int receiveBuffer = 0;      // SO_RCVBUF of the receiving sockets in bytes (0: the system's)
    std::string device;         // SO_BINDTODEVICE on every socket (empty: none)
};

class LinuxNetwork : public Network {
public:
    explicit LinuxNetwork(SocketOptions options = {});
    LinuxNetwork(const LinuxNetwork &) = delete;
    LinuxNetwork &operator=(const LinuxNetwork &) = delete;
    ~LinuxNetwork() override;

    Prepared prepare(Channel channel, std::optional<int> socketTtl) override;
    Sent send(Channel channel, std::span<const uint8_t> message, Endpoint to, std::optional<int> ttl) override;
    Wait receive(std::span<uint8_t> buffer, int64_t deadline) override;
    int64_t now() override;
    void pause(int64_t nanoseconds) override;
    Route route(const IpAddress &to) override;

    // Every probe leaves from this address from now on: the open sockets are bound to it,
    // and those opened later too. 0, or the errno (EADDRNOTAVAIL: not a local address).
    int bindTo(const IpAddress &source);
    // Whether the kernel took the time-stamping option (false until Icmp is prepared).
    bool kernelStamps() const { return stamping; }
    // The channel's socket, -1 while it is not open.
    int descriptor(Channel channel) const { return sockets[index(channel)].fd; }
    // From now on every wait also watches this signalfd: a signal ends the wait as
    // Interrupted, and so does every wait after it. The descriptor stays the caller's.
    void watchStopSignals(int signalDescriptor) { stopFd = signalDescriptor; }
    // The signal that stopped the waits; 0 while none has.
    int stopSignal() const { return stoppedBy; }

private:
    struct Socket {
        int fd = -1;
        uint16_t port = 0;     // Udp: its own; Tcp: the one the holder keeps
        uint32_t nextKey = 0;  // the number the kernel gives the next send's stamp
    };
    static size_t index(Channel channel) { return static_cast<size_t>(channel); }
    Prepared open(Channel channel);
    void setUp(int fd, bool receiving);
    int bindSocket(int fd, bool anyAddress) const;
    // Empties the socket's error queue; the stamp of the send numbered `expected`, if it was there.
    std::optional<int64_t> takeSendStamp(Socket &socket, std::optional<uint32_t> expected);
    Wait read(Channel channel, std::span<uint8_t> buffer);

    static constexpr size_t maxDrained = 16;
    SocketOptions options;
    Socket sockets[3];
    int portHolder = -1;         // a TCP socket bound to the port of the TCP probes
    std::optional<IpAddress> source;
    bool stamping = false;
    int64_t realtimeOffset = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC when the first socket was opened
    int stopFd = -1;
    int stoppedBy = 0;
};

}  // namespace hoprate
