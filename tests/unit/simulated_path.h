// A simulated path for the accurate engine: a chain of links (FIFO queue, rate,
// propagation, optional store-and-forward segments, MTU, random extra queueing) and the
// nodes at their far ends (routers and the destination), as a discrete-event simulation
// in virtual time. Routers answer echo requests addressed to them, send time-exceeded
// messages quoting 28 bytes, 576 bytes (Linux) or everything, may stay silent, and may
// rate-limit their ICMP errors like Linux (a burst of 6, then one per limit). The host
// stamps its own send and receive times with some noise, the kernel's exactly.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <queue>
#include <random>
#include <vector>

#include "datagrams.h"
#include "fake_network.h"

using namespace hoprate;

struct SimLink {
    double rate = 10e6;        // bits per second toward the destination
    double backRate = 0;       // toward the source; 0: the same
    int64_t delay = 1000000;   // nanoseconds each way
    int hidden = 0;            // store-and-forward devices inside the link, invisible to TTL
    int mtu = 1500;
    double jitterMean = 0;     // nanoseconds of exponential extra queueing...
    double jitterShare = 0;    // ...for this share of the packets
    int64_t coldFirst = 0;     // nanoseconds the first packet toward the destination waits (neighbour lookup)
};

struct SimNode {
    Ipv4Address address = 0;
    bool echo = true;          // answers echo requests addressed to it
    bool silent = false;       // sends no time-exceeded messages
    int quote = 548;           // bytes of the offending datagram its errors quote; 0: all of it
    double limit = 0;          // seconds per ICMP error token (Linux icmp_ratelimit); 0: none
    Ipv4Address alternate = 0; // a load balancer's second router: every other error comes from it
    int dropEvery = 0;         // of every dropEvery echo requests addressed to it...
    int dropRun = 0;           // ...the last dropRun get no reply (losses in short bursts)
};

// The fake network with a path behind it: sends enter the path, and what comes back is
// delivered to the fake's queue as the simulation reaches it.
class SimulatedPath : public FakeNetwork {
public:
    SimulatedPath(std::vector<SimLink> links, std::vector<SimNode> nodes, uint64_t seed = 1)
        : path(std::move(links)), node(std::move(nodes)), random(seed), forwardBusy(path.size()),
          backBusy(path.size()), tokens(node.size(), 6.0), refilled(node.size(), 0), errors(node.size(), 0),
          echoes(node.size(), 0), warmed(path.size(), false)
    {
        for (SimLink &l : path)
            if (l.backRate <= 0)
                l.backRate = l.rate;
        keepSends = false;
        mtu = path.front().mtu;
    }

    static Ipv4Address address(int a, int b, int c, int d)
    {
        const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c),
                                  static_cast<uint8_t>(d)};
        Ipv4Address out;
        std::memcpy(&out, bytes, 4);
        return out;
    }

    bool kernelStamps = true;
    int sendError = 0;                   // every send fails with this errno (0: none)
    int sends = 0;                       // sendmsg calls
    double lateStampShare = 0;           // this share of kernel send stamps is taken late...
    int64_t lateStampBy = 0;             // ...by up to this many nanoseconds after the packet left
    int64_t idleWake = 0;                // extra nanoseconds a send takes after the host idled...
    int64_t idleAfter = 10000000;        // ...this long since its previous send
    static constexpr Ipv4Address host = 0x0200000A;  // 10.0.0.2 in network order

    ::Sent send(Channel, std::span<const uint8_t> message, Endpoint destination, std::optional<int> packetTtl) override
    {
        ++sends;
        const Ipv4Address to = destination.address;
        const int ttl = packetTtl.value_or(64);
        ::Sent out;
        out.userTime = clock;
        clock += 2000;  // the system call
        const int size = static_cast<int>(message.size()) + 20;
        if (sendError != 0) {
            out.error = sendError;
            return out;
        }
        if (size > path.front().mtu) {
            out.error = EMSGSIZE;
            return out;
        }
        std::vector<uint8_t> datagram = ipv4Header(host, to, 1, static_cast<uint8_t>(ttl), message.size());
        datagram.insert(datagram.end(), message.begin(), message.end());
        // The kernel takes a few microseconds (more when the CPU was idle), never
        // reordering one socket's packets.
        const int64_t wake = out.userTime - lastSend >= idleAfter ? idleWake : 0;
        lastSend = out.userTime;
        const int64_t leaves =
            std::max(lastLeft + 1, out.userTime + 5000 + wake + static_cast<int64_t>(uniform(random) * 20000));
        lastLeft = leaves;
        if (kernelStamps)
            out.kernelTime = leaves + (uniform(random) < lateStampShare
                                            ? static_cast<int64_t>(uniform(random) * static_cast<double>(lateStampBy))
                                            : 0);
        schedule(leaves, Packet{std::move(datagram), 0, true});
        return out;
    }

    Wait receive(std::span<uint8_t> buffer, int64_t deadline) override
    {
        // The path runs until the next datagram is due, or the deadline.
        for (;;) {
            const int64_t horizon = std::min(deadline, nextArrival().value_or(deadline));
            if (events.empty() || events.top().time > horizon)
                break;
            Event e = events.top();
            events.pop();
            process(e);
        }
        Wait wait = FakeNetwork::receive(buffer, deadline);
        if (!kernelStamps)
            wait.arrival.kernelTime.reset();
        return wait;
    }

    // Someone else's ICMP datagram, arriving at the host at this time.
    void inject(int64_t at, Ipv4Address from, std::vector<uint8_t> datagram)
    {
        deliver(at + 30000, from, std::move(datagram), at);
    }

private:
    struct Packet {
        std::vector<uint8_t> bytes;
        int position;   // the node it is at or heading from: 0 is the host
        bool forward;   // toward the destination
    };
    struct Event {
        int64_t time;
        uint64_t order;
        Packet packet;
        bool operator>(const Event &o) const { return time != o.time ? time > o.time : order > o.order; }
    };

    void schedule(int64_t time, Packet packet) { events.push(Event{time, serial++, std::move(packet)}); }

    int64_t serialization(size_t bytes, double rate) const
    {
        return static_cast<int64_t>(std::llround(static_cast<double>(bytes) * 8.0 / rate * 1e9));
    }

    int64_t extraQueueing(const SimLink &l)
    {
        if (l.jitterMean <= 0 || uniform(random) >= l.jitterShare)
            return 0;
        return static_cast<int64_t>(-std::log(1.0 - uniform(random)) * l.jitterMean);
    }

    // The packet enters link `index` (0-based) in its direction at `time`.
    void cross(int index, int64_t time, Packet packet)
    {
        const SimLink &l = path[static_cast<size_t>(index)];
        auto &busy = packet.forward ? forwardBusy[static_cast<size_t>(index)] : backBusy[static_cast<size_t>(index)];
        const int64_t service = serialization(packet.bytes.size(), packet.forward ? l.rate : l.backRate);
        if (busy.size() != static_cast<size_t>(l.hidden + 1))
            busy.assign(static_cast<size_t>(l.hidden + 1), 0);
        int64_t t = time + extraQueueing(l);
        if (packet.forward && l.coldFirst > 0 && !warmed[static_cast<size_t>(index)]) {
            warmed[static_cast<size_t>(index)] = true;
            t += l.coldFirst;
        }
        for (int64_t &stage : busy) {
            t = std::max(t, stage) + service;
            stage = t;
        }
        packet.position = packet.forward ? index + 1 : index;
        schedule(t + l.delay, std::move(packet));
    }

    bool allowError(int k)
    {
        const SimNode &n = node[static_cast<size_t>(k)];
        if (n.limit <= 0)
            return true;
        const int64_t now = events.empty() ? clock : events.top().time;
        tokens[static_cast<size_t>(k)] = std::min(
            6.0, tokens[static_cast<size_t>(k)] + static_cast<double>(now - refilled[static_cast<size_t>(k)]) / (n.limit * 1e9));
        refilled[static_cast<size_t>(k)] = now;
        if (tokens[static_cast<size_t>(k)] < 1.0)
            return false;
        tokens[static_cast<size_t>(k)] -= 1.0;
        return true;
    }

    std::vector<uint8_t> icmpError(int k, uint8_t type, uint8_t code, const std::vector<uint8_t> &offending,
                                   int nextMtu = 0)
    {
        const SimNode &n = node[static_cast<size_t>(k)];
        const Ipv4Address source = n.alternate != 0 && (errors[static_cast<size_t>(k)]++ % 2) ? n.alternate : n.address;
        size_t quoted = n.quote == 0 ? offending.size() : std::min(offending.size(), static_cast<size_t>(n.quote));
        std::vector<uint8_t> icmp = {type, code, 0, 0, 0, 0, static_cast<uint8_t>(nextMtu >> 8), static_cast<uint8_t>(nextMtu)};
        icmp.insert(icmp.end(), offending.begin(), offending.begin() + static_cast<long>(quoted));
        std::vector<uint8_t> reply = ipv4Header(source, host, 1, 64, icmp.size());
        reply.insert(reply.end(), icmp.begin(), icmp.end());
        return reply;
    }

    void reply(int k, int64_t time, std::vector<uint8_t> datagram)
    {
        // A few microseconds of processing, as a router's kernel takes.
        schedule(time + 2000 + static_cast<int64_t>(uniform(random) * 3000), Packet{std::move(datagram), k + 1, false});
    }

    void process(const Event &e)
    {
        Packet packet = e.packet;
        if (!packet.forward) {
            if (packet.position == 0) {
                Ipv4Address from;
                std::memcpy(&from, &packet.bytes[12], 4);
                const int64_t wake = 20000 + static_cast<int64_t>(uniform(random) * 60000);
                deliver(e.time + wake, from, std::move(packet.bytes), e.time);
                return;
            }
            cross(packet.position - 1, e.time, std::move(packet));
            return;
        }
        if (packet.position == 0) {  // leaving the host
            cross(0, e.time, std::move(packet));
            return;
        }
        const int k = packet.position - 1;  // the node reached
        const SimNode &n = node[static_cast<size_t>(k)];
        Ipv4Address to;
        std::memcpy(&to, &packet.bytes[16], 4);
        if (to == n.address) {
            const bool dropped = n.dropEvery > 0 && echoes[static_cast<size_t>(k)]++ % n.dropEvery >= n.dropEvery - n.dropRun;
            if (n.echo && !dropped && packet.bytes.size() >= 28 && packet.bytes[20] == 8) {
                std::vector<uint8_t> icmp(packet.bytes.begin() + 20, packet.bytes.end());
                icmp[0] = 0;
                std::vector<uint8_t> answer = ipv4Header(n.address, host, 1, 64, icmp.size());
                answer.insert(answer.end(), icmp.begin(), icmp.end());
                reply(k, e.time, std::move(answer));
            }
            return;
        }
        if (packet.bytes[8] <= 1) {
            if (!n.silent && allowError(k))
                reply(k, e.time, icmpError(k, 11, 0, packet.bytes));
            return;
        }
        if (k + 1 >= static_cast<int>(path.size()))
            return;  // no route beyond the last node
        --packet.bytes[8];
        if (static_cast<int>(packet.bytes.size()) > path[static_cast<size_t>(k + 1)].mtu) {
            if (allowError(k))
                reply(k, e.time, icmpError(k, 3, 4, packet.bytes, path[static_cast<size_t>(k + 1)].mtu));
            return;
        }
        cross(k + 1, e.time + 1000, std::move(packet));
    }

    std::vector<SimLink> path;
    std::vector<SimNode> node;
    std::mt19937_64 random;
    std::uniform_real_distribution<double> uniform{0.0, 1.0};
    std::vector<std::vector<int64_t>> forwardBusy, backBusy;
    std::vector<double> tokens;
    std::vector<int64_t> refilled;
    std::vector<uint64_t> errors;
    std::vector<int> echoes;
    std::vector<bool> warmed;
    std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events;
    uint64_t serial = 0;
    int64_t lastLeft = 0;
    int64_t lastSend = 0;
};
