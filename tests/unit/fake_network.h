// A scripted network for engine tests: a virtual clock that moves only when the engine
// waits or pauses, a record of every probe sent, wait and pause, and replies that a
// test schedules from its onSend hook (or at any time with deliver).
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "net/network.h"

class FakeNetwork : public ProbeNetwork {
public:
    struct Sent {
        bool icmp = true;
        std::vector<uint8_t> bytes;
        Endpoint to;
        int ttl = 0;
        int64_t at = 0;
    };
    struct Pending {
        int64_t arrival;
        Ipv4Address from;
        std::vector<uint8_t> bytes;
    };

    int64_t clock = 1000000000000LL;
    std::vector<Sent> sent;
    std::vector<uint32_t> pauses;
    std::vector<int64_t> waits;  // deadline - now of every wait
    std::vector<Pending> pending;
    std::function<void(FakeNetwork &, const Sent &)> onSend;
    bool icmpOpen = false, udpOpen = false;
    int icmpTtl = -1, udpTtl = -1;
    int icmpOpens = 0, udpOpens = 0;
    int icmpOpenError = 0;
    uint16_t localUdpPort = 40001;  // the port UDP probes leave from
    // Waits cut short by a signal: each entry ends the next wait that many nanoseconds
    // after it began (never past its deadline).
    std::vector<int64_t> interruptions;

    void deliver(int64_t arrival, Ipv4Address from, std::vector<uint8_t> bytes)
    {
        pending.push_back(Pending{arrival, from, std::move(bytes)});
    }

    bool icmpSocketOpen() const override { return icmpOpen; }
    int openIcmpSocket() override
    {
        ++icmpOpens;
        icmpOpen = icmpOpenError == 0;
        return icmpOpenError;
    }
    bool udpSocketOpen() const override { return udpOpen; }
    int openUdpSocket() override
    {
        ++udpOpens;
        udpOpen = true;
        return 0;
    }
    uint16_t udpSourcePort() const override { return udpOpen ? localUdpPort : 0; }
    int setIcmpTtl(int ttl) override
    {
        icmpTtl = ttl;
        return 0;
    }
    int setUdpTtl(int ttl) override
    {
        udpTtl = ttl;
        return 0;
    }
    void sendIcmp(std::span<const uint8_t> message, Endpoint to) override { record(true, message, to, icmpTtl); }
    void sendUdp(std::span<const uint8_t> payload, Endpoint to) override { record(false, payload, to, udpTtl); }

    ReceiveResult receive(std::span<uint8_t> buffer, int64_t deadline) override
    {
        waits.push_back(deadline - clock);
        ReceiveResult result;
        if (!interruptions.empty()) {
            clock = std::min(clock + interruptions.front(), std::max(clock, deadline));
            interruptions.erase(interruptions.begin());
            result.status = ReceiveStatus::Interrupted;
            return result;
        }
        auto next = std::min_element(pending.begin(), pending.end(),
                                     [](const Pending &a, const Pending &b) { return a.arrival < b.arrival; });
        if (next == pending.end() || next->arrival > deadline) {
            clock = std::max(clock, deadline);
            result.status = ReceiveStatus::TimedOut;
            return result;
        }
        clock = std::max(clock, next->arrival);
        const size_t kept = std::min(buffer.size(), next->bytes.size());
        std::memcpy(buffer.data(), next->bytes.data(), kept);
        result.status = ReceiveStatus::Received;
        result.datagram = Datagram{static_cast<int>(next->bytes.size()), clock, next->from};
        pending.erase(next);
        return result;
    }

    int64_t now() override { return clock; }
    void pause(uint32_t microseconds) override
    {
        pauses.push_back(microseconds);
        clock += static_cast<int64_t>(microseconds) * 1000;
    }

private:
    void record(bool icmp, std::span<const uint8_t> bytes, Endpoint to, int ttl)
    {
        sent.push_back(Sent{icmp, {bytes.begin(), bytes.end()}, to, ttl, clock});
        if (onSend)
            onSend(*this, sent.back());
    }
};
