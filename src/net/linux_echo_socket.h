// The accurate engine's network on Linux: one raw ICMP socket with DF set, per-packet TTL,
// and software time stamps (SO_TIMESTAMPING) for both directions where the kernel gives
// them; the program's own monotonic stamps otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/echo_network.h"

class LinuxEchoSocket : public EchoNetwork {
public:
    LinuxEchoSocket() = default;
    LinuxEchoSocket(const LinuxEchoSocket &) = delete;
    LinuxEchoSocket &operator=(const LinuxEchoSocket &) = delete;
    ~LinuxEchoSocket() override;

    // Opens the socket; 0 or the errno of the failure (EPERM without CAP_NET_RAW).
    int open(bool kernelStamps = true);
    bool kernelStamps() const { return stamping; }

    SentEcho send(std::span<const uint8_t> message, Ipv4Address to, int ttl) override;
    EchoWait receive(std::span<uint8_t> buffer, int64_t deadline) override;
    int64_t now() override;
    std::optional<int> routeMtu(Ipv4Address to) override;

private:
    // Empties the error queue; the stamp of the send numbered `expected`, if it was there.
    std::optional<int64_t> takeSendStamp(std::optional<uint32_t> expected);

    static constexpr size_t maxDrained = 16;
    int fd = -1;
    uint32_t nextKey = 0;        // the number the kernel gives the next send's stamp
    bool stamping = false;
    int64_t realtimeOffset = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC when the socket was opened
};
