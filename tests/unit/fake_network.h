// The network for engine tests: a virtual clock that moves only when the engine waits or
// pauses, a record of every probe sent, wait and pause, and datagrams that a test (or a
// path model built on it, simulated_path.h) schedules from its onSend hook or at any
// time with deliver, each with its program and, optionally, kernel receive stamp.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <queue>
#include <vector>

#include "net/network.h"

using namespace hoprate;

class FakeNetwork : public Network {
public:
    struct Sent {
        bool icmp = true;
        std::vector<uint8_t> bytes;
        Endpoint to;
        int ttl = 0;     // the packet's own, else its channel's
        int64_t at = 0;
    };

    int64_t clock = 1000000000000LL;
    bool keepSends = true;           // record every send in `sent` (a long simulation does not)
    std::vector<Sent> sent;
    std::vector<int64_t> pauses;     // nanoseconds
    std::vector<int64_t> waits;      // deadline - now of every wait
    std::function<void(FakeNetwork &, const Sent &)> onSend;
    bool icmpOpen = false, udpOpen = false;
    int icmpTtl = -1, udpTtl = -1;
    int icmpOpens = 0, udpOpens = 0;
    int icmpOpenError = 0;
    uint16_t localUdpPort = 40001;   // the port UDP probes leave from
    uint16_t localTcpPort = 40002;   // the port TCP probes leave from
    int mtu = 1500;                  // of the local route
    // Waits cut short by a signal: each entry ends the next wait that many nanoseconds
    // after it began (never past its deadline).
    std::vector<int64_t> interruptions;

    // A datagram that reaches the host at `arrival` (the program's stamp), with the
    // kernel's receive stamp when given.
    void deliver(int64_t arrival, IpAddress from, std::vector<uint8_t> bytes,
                 std::optional<int64_t> kernelTime = std::nullopt)
    {
        pending.push(Pending{arrival, kernelTime, from, std::move(bytes), order++});
    }
    void deliver(int64_t arrival, Ipv4Address from, std::vector<uint8_t> bytes,
                 std::optional<int64_t> kernelTime = std::nullopt)
    {
        deliver(arrival, IpAddress::v4(from), std::move(bytes), kernelTime);
    }

    Prepared prepare(Channel channel, std::optional<int> socketTtl) override
    {
        if (channel == Channel::Icmp) {
            if (!icmpOpen) {
                ++icmpOpens;
                icmpOpen = icmpOpenError == 0;
                if (icmpOpenError != 0)
                    return Prepared{icmpOpenError, PrepareStep::Socket, 0};
            }
            if (socketTtl)
                icmpTtl = *socketTtl;
            return Prepared{};
        }
        if (channel == Channel::Tcp)
            return Prepared{0, PrepareStep::Socket, localTcpPort};
        if (!udpOpen) {
            ++udpOpens;
            udpOpen = true;
        }
        if (socketTtl)
            udpTtl = *socketTtl;
        return Prepared{0, PrepareStep::Socket, localUdpPort};
    }

    ::Sent send(Channel channel, std::span<const uint8_t> message, Endpoint to, std::optional<int> ttl) override
    {
        const bool icmp = channel == Channel::Icmp;
        Sent record{icmp, {message.begin(), message.end()}, to, ttl.value_or(icmp ? icmpTtl : udpTtl), clock};
        if (onSend)
            onSend(*this, record);
        if (keepSends)
            sent.push_back(std::move(record));
        return ::Sent{0, clock, std::nullopt};
    }

    Wait receive(std::span<uint8_t> buffer, int64_t deadline) override
    {
        waits.push_back(deadline - clock);
        Wait result;
        if (!interruptions.empty()) {
            clock = std::min(clock + interruptions.front(), std::max(clock, deadline));
            interruptions.erase(interruptions.begin());
            result.status = WaitStatus::Interrupted;
            return result;
        }
        if (pending.empty() || pending.top().arrival > deadline) {
            clock = std::max(clock, deadline);
            result.status = WaitStatus::TimedOut;
            return result;
        }
        const Pending next = pending.top();
        pending.pop();
        clock = std::max(clock, next.arrival);
        const size_t kept = std::min(buffer.size(), next.bytes.size());
        if (kept > 0)
            std::memcpy(buffer.data(), next.bytes.data(), kept);
        result.status = WaitStatus::Received;
        result.arrival.length = static_cast<int>(next.bytes.size());
        result.arrival.from = next.from;
        result.arrival.channel = next.bytes.empty() || (next.bytes[0] >> 4 == 4 ? next.bytes.size() > 9 && next.bytes[9] != 6
                                                                                 : next.bytes.size() > 6 && next.bytes[6] != 6)
                                     ? Channel::Icmp
                                     : Channel::Tcp;
        result.arrival.userTime = clock;
        result.arrival.kernelTime = next.kernelTime;
        return result;
    }

    int64_t now() override { return clock; }
    void pause(int64_t nanoseconds) override
    {
        pauses.push_back(nanoseconds);
        clock += nanoseconds;
    }
    std::optional<IpAddress> source;  // what route() says probes leave from
    Route route(const IpAddress &) override { return Route{mtu, source}; }

protected:
    // The program's time of the next datagram due, if any.
    std::optional<int64_t> nextArrival() const
    {
        return pending.empty() ? std::nullopt : std::optional<int64_t>(pending.top().arrival);
    }

private:
    struct Pending {
        int64_t arrival;
        std::optional<int64_t> kernelTime;
        IpAddress from;
        std::vector<uint8_t> bytes;
        uint64_t order;  // ties keep the order of delivery
        bool operator>(const Pending &o) const { return arrival != o.arrival ? arrival > o.arrival : order > o.order; }
    };
    std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> pending;
    uint64_t order = 0;
};
