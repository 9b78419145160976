// The network on Linux: a raw ICMP socket (which receives every ICMP message), a UDP
// socket for UDP probes, both opened when first prepared; per-packet TTLs; kernel
// software time stamps (SO_TIMESTAMPING) where asked for and given; CLOCK_MONOTONIC and
// nanosleep.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/network.h"

namespace hoprate {

struct SocketOptions {
    bool kernelStamps = false;  // software send and receive stamps on the ICMP socket
    bool dontFragment = false;  // DF on every ICMP probe, whatever the route's cached path MTU says
    int receiveBuffer = 0;      // SO_RCVBUF of the ICMP socket in bytes (0: the system's)
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
    std::optional<int> routeMtu(Ipv4Address to) override;

    // Whether the kernel took the time-stamping option (false until Icmp is prepared).
    bool kernelStamps() const { return stamping; }
    // The channel's socket, -1 while it is not open.
    int descriptor(Channel channel) const { return channel == Channel::Icmp ? icmpSocket : udpSocket; }

private:
    int openIcmp();
    Prepared openUdp();
    // Empties the error queue; the stamp of the send numbered `expected`, if it was there.
    std::optional<int64_t> takeSendStamp(std::optional<uint32_t> expected);

    static constexpr size_t maxDrained = 16;
    SocketOptions options;
    int icmpSocket = -1;
    int udpSocket = -1;
    uint16_t udpPort = 0;
    bool stamping = false;
    int64_t realtimeOffset = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC when the ICMP socket was opened
    uint32_t nextKey = 0;        // the number the kernel gives the next send's stamp
};

}  // namespace hoprate
