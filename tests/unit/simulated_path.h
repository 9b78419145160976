// A simulated path for the accurate engine: a chain of links (FIFO queue, rate,
// propagation, optional store-and-forward segments, MTU, random extra queueing) and the
// nodes at their far ends (routers and the destination), as a discrete-event simulation
// in virtual time, IPv4 or IPv6. Nodes answer echo requests addressed to them, UDP probes
// with port unreachable and TCP SYNs with a reset (or a SYN-ACK on a listening port);
// routers send time-exceeded messages quoting 28 (48) bytes, Linux's 548 (1232) or
// everything, may stay silent, and may rate-limit their ICMP errors like Linux (a burst of
// 6, then one per limit). The host fills in the checksums the kernel computes (UDP,
// ICMPv6) and stamps its own send and receive times with some noise, the kernel's exactly.
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
    int64_t drowsy = 0;        // up to this long a packet toward the destination waits after 5 ms idle (waking up)
};

struct SimNode {
    IpAddress address;
    bool echo = true;          // answers echo requests addressed to it
    bool silent = false;       // sends no time-exceeded messages
    bool udp = true;           // answers UDP to a closed port with port unreachable
    bool tcp = true;           // answers a TCP SYN (reset, or SYN-ACK on tcpOpen)
    int tcpOpen = 0;           // a port it listens on
    int64_t halfOpen = 0;      // nanoseconds a SYN-ACK keeps the flow half-open (until the source's
                               // reset is back); a SYN of it meanwhile gets no answer, as on Linux
    int quote = -1;            // bytes of the offending datagram its errors quote; 0: all of it; -1: Linux's
    double limit = 0;          // seconds per ICMP error token (Linux icmp_ratelimit); 0: none
    IpAddress alternate;       // a load balancer's second router: every other error comes from it
    int dropEvery = 0;         // of every dropEvery echo requests addressed to it...
    int dropRun = 0;           // ...the last dropRun get no reply (losses in short bursts)
    int echoDetour = 0;        // its echo replies come back over this many hops more (a lower TTL)
    int addressBeyond = 0;     // packets to its address take this many hops more (routed another way)
};

// The fake network with a path behind it: sends enter the path, and what comes back is
// delivered to the fake's queue as the simulation reaches it.
class SimulatedPath : public FakeNetwork {
public:
    SimulatedPath(std::vector<SimLink> links, std::vector<SimNode> nodes, uint64_t seed = 1)
        : path(std::move(links)), node(std::move(nodes)), random(seed), forwardBusy(path.size()), backBusy(path.size()),
          tokens(node.size(), 6.0), refilled(node.size(), 0), errors(node.size(), 0), echoes(node.size(), 0),
          warmed(path.size(), false), lastForward(path.size(), 0), halfOpenUntil(node.size(), 0)
    {
        for (SimLink &l : path)
            if (l.backRate <= 0)
                l.backRate = l.rate;
        keepSends = false;
        mtu = path.front().mtu;
        if (!node.empty())
            source = hostFor(node.front().address.family);
    }

    static IpAddress address(int a, int b, int c, int d)
    {
        const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c),
                                  static_cast<uint8_t>(d)};
        return IpAddress::at(Family::V4, bytes);
    }
    // fd77:0:0:c::d
    static IpAddress address6(int c, int d)
    {
        uint8_t bytes[16] = {0xfd, 0x77};
        bytes[7] = static_cast<uint8_t>(c);
        bytes[15] = static_cast<uint8_t>(d);
        return IpAddress::v6(bytes);
    }
    // The host: 10.0.0.2 or fd00::2.
    static IpAddress hostFor(Family family)
    {
        if (family == Family::V4)
            return address(10, 0, 0, 2);
        uint8_t bytes[16] = {0xfd};
        bytes[15] = 2;
        return IpAddress::v6(bytes);
    }

    bool kernelStamps = true;
    int sendError = 0;                   // every send fails with this errno (0: none)
    int sends = 0;                       // sendmsg calls
    int stopAfterSends = -1;             // every wait after this many sends is cut by a signal (-1: none)
    double lateStampShare = 0;           // this share of kernel send stamps is taken late...
    int64_t lateStampBy = 0;             // ...by up to this many nanoseconds after the packet left
    int64_t idleWake = 0;                // extra nanoseconds a send takes after the host idled...
    int64_t idleAfter = 10000000;        // ...this long since its previous send

    ::Sent send(Channel channel, std::span<const uint8_t> message, Endpoint destination,
                std::optional<int> packetTtl) override
    {
        ++sends;
        const IpAddress &to = destination.address;
        const Family family = to.family;
        const int ttl = packetTtl.value_or(64);
        ::Sent out;
        out.userTime = clock;
        clock += 2000;  // the system call
        std::vector<uint8_t> transport(message.begin(), message.end());
        const IpAddress from = hostFor(family);
        int protocol = channel == Channel::Tcp ? 6 : 1;
        if (channel == Channel::Udp) {
            // The kernel writes the UDP header and its checksum.
            protocol = 17;
            const size_t length = transport.size() + 8;
            std::vector<uint8_t> header = {static_cast<uint8_t>(localUdpPort >> 8), static_cast<uint8_t>(localUdpPort),
                                           static_cast<uint8_t>(destination.port >> 8),
                                           static_cast<uint8_t>(destination.port),
                                           static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 0, 0};
            transport.insert(transport.begin(), header.begin(), header.end());
            uint16_t sum = checksum(from, to, 17, transport);
            if (sum == 0)
                sum = 0xFFFF;
            transport[6] = static_cast<uint8_t>(sum >> 8);
            transport[7] = static_cast<uint8_t>(sum);
        } else if (channel == Channel::Icmp && family == Family::V6) {
            // And the ICMPv6 checksum, over its pseudo-header.
            protocol = 58;
            transport[2] = transport[3] = 0;
            const uint16_t sum = checksum(from, to, 58, transport);
            transport[2] = static_cast<uint8_t>(sum >> 8);
            transport[3] = static_cast<uint8_t>(sum);
        }
        const int size = static_cast<int>(transport.size()) + ipHeaderBytes(family);
        if (keepSends)
            sent.push_back(FakeNetwork::Sent{
                channel == Channel::Icmp, {message.begin(), message.end()}, destination, ttl, out.userTime});
        if (sendError != 0) {
            out.error = sendError;
            return out;
        }
        if (size > path.front().mtu) {
            out.error = EMSGSIZE;
            return out;
        }
        std::vector<uint8_t> datagram = ipHeaderFor(from, to, protocol, ttl, transport.size());
        datagram.insert(datagram.end(), transport.begin(), transport.end());
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
        if (stopAfterSends >= 0 && sends >= stopAfterSends)
            return Wait{WaitStatus::Interrupted, EINTR, WaitStep::Wait, {}};
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

    // Someone else's datagram, arriving at the host at this time.
    void inject(int64_t at, IpAddress from, std::vector<uint8_t> datagram)
    {
        deliver(at + 30000, from, std::move(datagram), at);
    }

    // An IP header from one address to another (IPv4 or IPv6, as they are).
    static std::vector<uint8_t> ipHeaderFor(const IpAddress &from, const IpAddress &to, int protocol, int ttl,
                                            size_t payload)
    {
        if (from.family == Family::V4)
            return ipv4Header(from.asV4(), to.asV4(), static_cast<uint8_t>(protocol), static_cast<uint8_t>(ttl), payload);
        std::vector<uint8_t> h(40, 0);
        h[0] = 0x60;
        h[4] = static_cast<uint8_t>(payload >> 8);
        h[5] = static_cast<uint8_t>(payload);
        h[6] = static_cast<uint8_t>(protocol);
        h[7] = static_cast<uint8_t>(ttl);
        std::memcpy(&h[8], from.bytes.data(), 16);
        std::memcpy(&h[24], to.bytes.data(), 16);
        return h;
    }

    // The transport checksum the kernel computes: RFC 1071 over the pseudo-header and the
    // message with its checksum field zero.
    static uint16_t checksum(const IpAddress &from, const IpAddress &to, int protocol, const std::vector<uint8_t> &m)
    {
        std::vector<uint8_t> all(from.bytes.begin(), from.bytes.begin() + from.size());
        all.insert(all.end(), to.bytes.begin(), to.bytes.begin() + to.size());
        const size_t length = m.size();
        if (from.family == Family::V4)
            all.insert(all.end(), {0, static_cast<uint8_t>(protocol), static_cast<uint8_t>(length >> 8),
                                   static_cast<uint8_t>(length)});
        else
            all.insert(all.end(), {0, 0, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), 0, 0, 0,
                                   static_cast<uint8_t>(protocol)});
        all.insert(all.end(), m.begin(), m.end());
        uint32_t sum = 0;
        for (size_t i = 0; i < all.size(); i += 2)
            sum += static_cast<uint32_t>(all[i] << 8 | (i + 1 < all.size() ? all[i + 1] : 0));
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        return static_cast<uint16_t>(~sum);
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
        if (packet.forward && l.drowsy > 0) {
            if (time - lastForward[static_cast<size_t>(index)] > 5000000)
                t += static_cast<int64_t>(uniform(random) * static_cast<double>(l.drowsy));
            lastForward[static_cast<size_t>(index)] = time;
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

    // An ICMP (ICMPv6) error quoting the offending datagram as the node's rule says.
    std::vector<uint8_t> icmpError(int k, uint8_t type, uint8_t code, const std::vector<uint8_t> &offending,
                                   int nextMtu = 0)
    {
        const SimNode &n = node[static_cast<size_t>(k)];
        const bool v4 = n.address.family == Family::V4;
        const bool second = n.alternate != IpAddress{} && (errors[static_cast<size_t>(k)]++ % 2);
        const IpAddress from = second ? n.alternate : n.address;
        const size_t linux = v4 ? 548 : 1232;
        const size_t quoted = n.quote == 0   ? offending.size()
                              : n.quote < 0  ? std::min(offending.size(), linux)
                                             : std::min(offending.size(), static_cast<size_t>(n.quote));
        std::vector<uint8_t> icmp = {type, code, 0, 0, 0, 0, 0, 0};
        if (v4) {
            icmp[6] = static_cast<uint8_t>(nextMtu >> 8);
            icmp[7] = static_cast<uint8_t>(nextMtu);
        } else {
            icmp[4] = static_cast<uint8_t>(nextMtu >> 24);
            icmp[5] = static_cast<uint8_t>(nextMtu >> 16);
            icmp[6] = static_cast<uint8_t>(nextMtu >> 8);
            icmp[7] = static_cast<uint8_t>(nextMtu);
        }
        icmp.insert(icmp.end(), offending.begin(), offending.begin() + static_cast<long>(quoted));
        std::vector<uint8_t> reply = ipHeaderFor(from, hostFor(from.family), v4 ? 1 : 58, 64, icmp.size());
        reply.insert(reply.end(), icmp.begin(), icmp.end());
        return reply;
    }

    void reply(int k, int64_t time, std::vector<uint8_t> datagram)
    {
        // A few microseconds of processing, as a router's kernel takes.
        schedule(time + 2000 + static_cast<int64_t>(uniform(random) * 3000), Packet{std::move(datagram), k + 1, false});
    }

    // What the node k does with a packet addressed to it.
    void answer(int k, int64_t time, const std::vector<uint8_t> &packet)
    {
        const SimNode &n = node[static_cast<size_t>(k)];
        const bool v4 = n.address.family == Family::V4;
        const size_t header = v4 ? 20 : 40;
        const int protocol = v4 ? packet[9] : packet[6];
        const bool dropped = n.dropEvery > 0 && echoes[static_cast<size_t>(k)]++ % n.dropEvery >= n.dropEvery - n.dropRun;
        if (protocol == (v4 ? 1 : 58)) {
            if (n.echo && !dropped && packet.size() >= header + 8 && packet[header] == (v4 ? 8 : 128)) {
                std::vector<uint8_t> icmp(packet.begin() + static_cast<long>(header), packet.end());
                icmp[0] = v4 ? 0 : 129;
                std::vector<uint8_t> echo =
                    ipHeaderFor(n.address, hostFor(n.address.family), v4 ? 1 : 58, 64 - n.echoDetour, icmp.size());
                echo.insert(echo.end(), icmp.begin(), icmp.end());
                reply(k, time, std::move(echo));
            }
        } else if (protocol == 17) {
            if (n.udp && allowError(k))
                reply(k, time, icmpError(k, v4 ? 3 : 1, v4 ? 3 : 4, packet));
        } else if (protocol == 6 && n.tcp && packet.size() >= header + 20) {
            // A reset acknowledging the SYN and its payload, or a SYN-ACK on the open port.
            const uint8_t *syn = &packet[header];
            const int port = syn[2] << 8 | syn[3];
            const uint32_t sequence = static_cast<uint32_t>(syn[4]) << 24 | syn[5] << 16 | syn[6] << 8 | syn[7];
            const bool open = port == n.tcpOpen;
            if (open && time < halfOpenUntil[static_cast<size_t>(k)])
                return;
            if (open)
                halfOpenUntil[static_cast<size_t>(k)] = time + n.halfOpen;
            const uint32_t ack = sequence + 1 + (open ? 0 : static_cast<uint32_t>(packet.size() - header - 20));
            std::vector<uint8_t> segment(open ? 24 : 20, 0);
            segment[0] = syn[2];
            segment[1] = syn[3];
            segment[2] = syn[0];
            segment[3] = syn[1];
            segment[8] = static_cast<uint8_t>(ack >> 24);
            segment[9] = static_cast<uint8_t>(ack >> 16);
            segment[10] = static_cast<uint8_t>(ack >> 8);
            segment[11] = static_cast<uint8_t>(ack);
            segment[12] = static_cast<uint8_t>((segment.size() / 4) << 4);
            segment[13] = open ? 0x12 : 0x14;
            std::vector<uint8_t> back = ipHeaderFor(n.address, hostFor(n.address.family), 6, 64, segment.size());
            back.insert(back.end(), segment.begin(), segment.end());
            reply(k, time, std::move(back));
        }
    }

    void process(const Event &e)
    {
        Packet packet = e.packet;
        const bool v4 = packet.bytes[0] >> 4 == 4;
        if (!packet.forward) {
            if (packet.position == 0) {
                const IpAddress from = IpAddress::at(v4 ? Family::V4 : Family::V6, &packet.bytes[v4 ? 12 : 8]);
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
        const IpAddress to = IpAddress::at(v4 ? Family::V4 : Family::V6, &packet.bytes[v4 ? 16 : 24]);
        uint8_t &ttl = packet.bytes[v4 ? 8 : 7];
        if (to == n.address && ttl <= n.addressBeyond) {
            // Run out on the other way there, at a router of that path.
            std::vector<uint8_t> error = icmpError(k, v4 ? 11 : 3, 0, packet.bytes);
            const IpAddress other = address(10, 78, k + 1, 1);
            std::memcpy(&error[12], other.bytes.data(), 4);
            reply(k, e.time, std::move(error));
            return;
        }
        if (to == n.address) {
            answer(k, e.time, packet.bytes);
            return;
        }
        if (ttl <= 1) {
            if (!n.silent && allowError(k))
                reply(k, e.time, icmpError(k, v4 ? 11 : 3, 0, packet.bytes));
            return;
        }
        if (k + 1 >= static_cast<int>(path.size()))
            return;  // no route beyond the last node
        --ttl;
        const int nextMtu = path[static_cast<size_t>(k + 1)].mtu;
        if (static_cast<int>(packet.bytes.size()) > nextMtu) {
            if (allowError(k))
                reply(k, e.time, icmpError(k, v4 ? 3 : 2, v4 ? 4 : 0, packet.bytes, nextMtu));
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
    std::vector<int64_t> lastForward;  // when a packet last entered each link toward the destination
    std::vector<int64_t> halfOpenUntil;  // per node: its open port's flow half-open until then
    std::priority_queue<Event, std::vector<Event>, std::greater<Event>> events;
    uint64_t serial = 0;
    int64_t lastLeft = 0;
    int64_t lastSend = 0;
};
