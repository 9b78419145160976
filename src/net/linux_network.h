// The real network: Linux sockets, CLOCK_MONOTONIC and nanosleep.
#pragma once

#include "net/network.h"

class LinuxNetwork : public ProbeNetwork {
public:
    LinuxNetwork() = default;
    LinuxNetwork(const LinuxNetwork &) = delete;
    LinuxNetwork &operator=(const LinuxNetwork &) = delete;
    ~LinuxNetwork() override;

    bool icmpSocketOpen() const override { return icmpSocket >= 0; }
    int openIcmpSocket() override;
    bool udpSocketOpen() const override { return udpSocket >= 0; }
    int openUdpSocket() override;
    uint16_t udpSourcePort() const override { return udpPort; }
    int setIcmpTtl(int ttl) override;
    int setUdpTtl(int ttl) override;
    void sendIcmp(std::span<const uint8_t> message, Endpoint to) override;
    void sendUdp(std::span<const uint8_t> payload, Endpoint to) override;
    ReceiveResult receive(std::span<uint8_t> buffer, int64_t deadline) override;
    int64_t now() override;
    void pause(uint32_t microseconds) override;

    int icmpDescriptor() const { return icmpSocket; }
    int udpDescriptor() const { return udpSocket; }

private:
    int icmpSocket = -1;
    int udpSocket = -1;
    uint16_t udpPort = 0;
};
