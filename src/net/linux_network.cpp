#include "net/linux_network.h"

#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "net/send_stamps.h"
#include "support/clock.h"

namespace hoprate {

namespace {

int64_t nanoseconds(const timespec &t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// A socket address of either family; `length` the size that goes with it.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    sockaddr *get() { return reinterpret_cast<sockaddr *>(&storage); }
};

SocketAddress socketAddress(const IpAddress &address, uint16_t port)
{
    SocketAddress a;
    if (address.family == Family::V4) {
        auto *in = reinterpret_cast<sockaddr_in *>(&a.storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        std::memcpy(&in->sin_addr, address.bytes.data(), 4);
        a.length = sizeof(sockaddr_in);
    } else {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&a.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        std::memcpy(&in6->sin6_addr, address.bytes.data(), 16);
        a.length = sizeof(sockaddr_in6);
    }
    return a;
}

IpAddress addressOf(const sockaddr_storage &storage)
{
    if (storage.ss_family == AF_INET6)
        return IpAddress::v6(reinterpret_cast<const sockaddr_in6 *>(&storage)->sin6_addr.s6_addr);
    Ipv4Address v4;
    std::memcpy(&v4, &reinterpret_cast<const sockaddr_in *>(&storage)->sin_addr, 4);
    return IpAddress::v4(v4);
}

uint16_t portOf(const sockaddr_storage &storage)
{
    return ntohs(storage.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 *>(&storage)->sin6_port
                                               : reinterpret_cast<const sockaddr_in *>(&storage)->sin_port);
}

// The software stamp of a message's control data, if it carries one.
std::optional<int64_t> softwareStamp(msghdr &message)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPING &&
            c->cmsg_len >= CMSG_LEN(sizeof(scm_timestamping))) {
            scm_timestamping stamps{};
            std::memcpy(&stamps, CMSG_DATA(c), sizeof stamps);
            if (stamps.ts[0].tv_sec != 0 || stamps.ts[0].tv_nsec != 0)
                return nanoseconds(stamps.ts[0]);
        }
    }
    return std::nullopt;
}

// The send's number (SOF_TIMESTAMPING_OPT_ID) of a stamp from the error queue.
std::optional<uint32_t> stampKey(msghdr &message)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        const bool recvErr = (c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR) ||
                             (c->cmsg_level == SOL_IPV6 && c->cmsg_type == IPV6_RECVERR);
        if (recvErr && c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
            sock_extended_err error{};
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            if (error.ee_origin == SO_EE_ORIGIN_TIMESTAMPING)
                return error.ee_data;
        }
    }
    return std::nullopt;
}

// The hop limit an IPv6 packet arrived with (IPV6_RECVHOPLIMIT).
int hopLimit(msghdr &message)
{
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_HOPLIMIT && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int value = 0;
            std::memcpy(&value, CMSG_DATA(c), sizeof value);
            return value;
        }
    }
    return 0;
}

// A message header over one buffer, with room for control data and, when given, an address.
msghdr messageOver(iovec &part, void *control, size_t controlLength, SocketAddress *address = nullptr)
{
    msghdr message{};
    message.msg_name = address != nullptr ? address->get() : nullptr;
    message.msg_namelen = address != nullptr ? (address->length ? address->length : sizeof address->storage) : 0;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = controlLength > 0 ? control : nullptr;
    message.msg_controllen = controlLength;
    return message;
}

Wait failure(WaitStatus status, int error, WaitStep step)
{
    Wait wait;
    wait.status = status;
    wait.error = error;
    wait.failedStep = step;
    return wait;
}

int protocolOf(Channel channel, Family family)
{
    if (channel == Channel::Icmp)
        return family == Family::V4 ? static_cast<int>(IPPROTO_ICMP) : static_cast<int>(IPPROTO_ICMPV6);
    return channel == Channel::Tcp ? static_cast<int>(IPPROTO_TCP) : static_cast<int>(IPPROTO_UDP);
}

}  // namespace

LinuxNetwork::LinuxNetwork(SocketOptions chosen) : options(std::move(chosen)) {}

LinuxNetwork::~LinuxNetwork()
{
    for (Socket &s : sockets)
        if (s.fd >= 0)
            close(s.fd);
    if (portHolder >= 0)
        close(portHolder);
}

int LinuxNetwork::bindSocket(int fd, bool anyAddress) const
{
    // Raw sockets are bound only to a source given; UDP sockets and the port holder always,
    // to a port of the kernel's choosing.
    if (!source && !anyAddress)
        return 0;
    const IpAddress any = options.family == Family::V4 ? IpAddress::v4(0) : IpAddress::v6(in6addr_any.s6_addr);
    SocketAddress a = socketAddress(source.value_or(any), 0);
    return bind(fd, a.get(), a.length) == 0 ? 0 : errno;
}

void LinuxNetwork::setUp(int fd, bool receiving)
{
    const bool v6 = options.family == Family::V6;
    if (options.dontFragment) {
        // DF on every probe, whatever the route's cached path MTU says: too large a probe
        // gets "fragmentation needed" (packet too big) from the router that cannot forward it.
        // NOLINTNEXTLINE(bugprone-branch-clone): both are 3 in Linux's headers, each of its own family
        const int probe = v6 ? static_cast<int>(IPV6_PMTUDISC_PROBE) : static_cast<int>(IP_PMTUDISC_PROBE);
        setsockopt(fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_MTU_DISCOVER : IP_MTU_DISCOVER, &probe, sizeof probe);
    }
    if (receiving && options.receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
    if (receiving && v6) {
        const int on = 1;  // the hop limit each reply arrives with
        setsockopt(fd, IPPROTO_IPV6, IPV6_RECVHOPLIMIT, &on, sizeof on);
    }
    if (options.kernelStamps) {
        if (realtimeOffset == 0) {
            // Kernel stamps come on the real-time clock; one offset taken now puts them on the
            // program's monotonic clock. A round trip is a difference of two kernel stamps,
            // so a later step of the real-time clock shifts both alike... unless it falls
            // between them, which one probe in a run may suffer.
            timespec real{};
            clock_gettime(CLOCK_REALTIME, &real);
            realtimeOffset = nanoseconds(real) - readCounter();
        }
        const int flags = SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE |
                          SOF_TIMESTAMPING_OPT_ID | SOF_TIMESTAMPING_OPT_TSONLY;
        stamping = setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) == 0;
    }
}

Prepared LinuxNetwork::open(Channel channel)
{
    Prepared prepared;
    const int domain = options.family == Family::V4 ? AF_INET : AF_INET6;
    const int type = channel == Channel::Udp ? SOCK_DGRAM : SOCK_RAW;
    const int fd = socket(domain, type | SOCK_CLOEXEC, channel == Channel::Udp ? 0 : protocolOf(channel, options.family));
    if (fd < 0) {
        prepared.error = errno;
        return prepared;
    }
    auto fail = [&](PrepareStep step, int error) {
        close(fd);
        prepared.error = error;
        prepared.failed = step;
        return prepared;
    };
    if (!options.device.empty() &&
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, options.device.c_str(), static_cast<socklen_t>(options.device.size())) != 0)
        return fail(PrepareStep::Device, errno);
    if (channel == Channel::Icmp && options.family == Family::V6) {
        // Only what can answer a probe: echo replies and the three errors.
        icmp6_filter filter{};
        ICMP6_FILTER_SETBLOCKALL(&filter);
        for (const int answer : {ICMP6_ECHO_REPLY, ICMP6_DST_UNREACH, ICMP6_PACKET_TOO_BIG, ICMP6_TIME_EXCEEDED})
            ICMP6_FILTER_SETPASS(answer, &filter);
        setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof filter);
    }
    setUp(fd, channel != Channel::Udp);
    Socket &s = sockets[index(channel)];
    if (const int error = bindSocket(fd, channel == Channel::Udp); error != 0)
        return fail(PrepareStep::Bind, error);
    SocketAddress local;
    local.length = sizeof local.storage;
    if (channel == Channel::Udp) {
        // Port 0: the kernel picks a free port now, so it is known before the first probe.
        if (getsockname(fd, local.get(), &local.length) != 0)
            return fail(PrepareStep::Bind, errno);
        s.port = portOf(local.storage);
    } else if (channel == Channel::Tcp) {
        // The SYNs' source port, held by an ordinary socket that never listens: the kernel
        // gives it to no connection, and answers a SYN-ACK for it with a reset.
        portHolder = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (portHolder < 0)
            return fail(PrepareStep::Bind, errno);
        if (const int error = bindSocket(portHolder, true); error != 0)
            return fail(PrepareStep::Bind, error);
        if (getsockname(portHolder, local.get(), &local.length) != 0)
            return fail(PrepareStep::Bind, errno);
        s.port = portOf(local.storage);
    }
    s.fd = fd;
    prepared.localPort = s.port;
    return prepared;
}

Prepared LinuxNetwork::prepare(Channel channel, std::optional<int> socketTtl)
{
    Socket &s = sockets[index(channel)];
    Prepared prepared;
    if (s.fd < 0) {
        prepared = open(channel);
        if (prepared.error != 0)
            return prepared;
    }
    prepared.localPort = s.port;
    if (socketTtl) {
        const int ttl = *socketTtl;
        const bool v6 = options.family == Family::V6;
        if (setsockopt(s.fd, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_UNICAST_HOPS : IP_TTL, &ttl, sizeof ttl) < 0) {
            prepared.error = errno;
            prepared.failed = PrepareStep::Ttl;
        }
    }
    return prepared;
}

int LinuxNetwork::bindTo(const IpAddress &address)
{
    source = address;
    for (const Channel channel : {Channel::Icmp, Channel::Tcp}) {
        const int fd = sockets[index(channel)].fd;
        if (fd < 0)
            continue;
        SocketAddress a = socketAddress(address, 0);
        if (bind(fd, a.get(), a.length) != 0)
            return errno;
    }
    return 0;
}

std::optional<int64_t> LinuxNetwork::takeSendStamp(Socket &socket, std::optional<uint32_t> expected)
{
    // The stamp of a packet that just left is queued on the socket's error queue, usually
    // before sendmsg returns; a stamp that comes later is found here after a later send,
    // and its number tells it apart. The queue is emptied (a bounded number of messages)
    // whatever it holds, so that a wait on the socket never wakes for it again.
    KeyedStamp drained[maxDrained];
    size_t stamps = 0;
    for (size_t i = 0; i < maxDrained; ++i) {
        char data[64];
        alignas(cmsghdr) char control[256];
        iovec part{data, sizeof data};
        msghdr message = messageOver(part, control, sizeof control);
        if (recvmsg(socket.fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
            break;
        const std::optional<int64_t> stamp = softwareStamp(message);
        const std::optional<uint32_t> key = stampKey(message);
        if (stamp && key)
            drained[stamps++] = KeyedStamp{*key, *stamp};
    }
    if (!expected)
        return std::nullopt;
    const std::optional<KeyedStamp> own = stampOfSend({drained, stamps}, *expected);
    if (!own)
        return std::nullopt;
    socket.nextKey = own->key + 1;
    return own->time - realtimeOffset;
}

Sent LinuxNetwork::send(Channel channel, std::span<const uint8_t> message, Endpoint to, std::optional<int> ttl)
{
    Socket &s = sockets[index(channel)];
    // Raw IPv6 sockets take no port in the address (their "port" is the protocol).
    SocketAddress address = socketAddress(to.address, channel == Channel::Udp ? to.port : 0);
    Sent sent;
    if (!ttl) {
        // The socket's own TTL: a plain sendto.
        sent.userTime = readCounter();
        if (sendto(s.fd, message.data(), message.size(), 0, address.get(), address.length) < 0)
            sent.error = errno;
        return sent;
    }
    // The packet's own TTL (hop limit), in a control message.
    const bool v6 = to.address.family == Family::V6;
    iovec part{const_cast<uint8_t *>(message.data()), message.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header = messageOver(part, control, sizeof control, &address);
    cmsghdr *c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = v6 ? IPPROTO_IPV6 : IPPROTO_IP;
    c->cmsg_type = v6 ? IPV6_HOPLIMIT : IP_TTL;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &*ttl, sizeof(int));

    sent.userTime = readCounter();
    if (sendmsg(s.fd, &header, 0) < 0) {
        sent.error = errno;
        if (stamping)
            takeSendStamp(s, std::nullopt);  // nothing should be there; keep the queue empty all the same
        return sent;
    }
    if (stamping)
        sent.kernelTime = takeSendStamp(s, s.nextKey++);
    return sent;
}

Wait LinuxNetwork::read(Channel channel, std::span<uint8_t> buffer)
{
    Socket &s = sockets[index(channel)];
    const bool v6 = options.family == Family::V6;
    // IPv6 raw sockets give the packet without its header: one is written in front of it,
    // so that every packet goes up whole.
    const size_t front = v6 ? 40 : 0;
    if (buffer.size() <= front)
        return failure(WaitStatus::Failed, EMSGSIZE, WaitStep::Receive);
    SocketAddress from;
    alignas(cmsghdr) char control[256];
    iovec part{buffer.data() + front, buffer.size() - front};
    const bool withControl = stamping || v6;
    msghdr message = messageOver(part, control, withControl ? sizeof control : 0, &from);
    // MSG_TRUNC reports the packet's real length, so one longer than the buffer is told
    // from one that fits.
    const ssize_t received = recvmsg(s.fd, &message, MSG_TRUNC | MSG_DONTWAIT);
    const int64_t arrived = readCounter();
    if (received < 0) {
        if (errno == EAGAIN)
            return failure(WaitStatus::TimedOut, 0, WaitStep::Receive);
        return failure(errno == EINTR ? WaitStatus::Interrupted : WaitStatus::Failed, errno, WaitStep::Receive);
    }
    Wait wait;
    wait.status = WaitStatus::Received;
    wait.arrival.length = static_cast<int>(received) + static_cast<int>(front);
    wait.arrival.from = addressOf(from.storage);
    wait.arrival.channel = channel;
    wait.arrival.userTime = arrived;
    if (v6) {
        uint8_t *h = buffer.data();
        std::memset(h, 0, 40);
        h[0] = 0x60;
        const size_t payload = std::min<size_t>(static_cast<size_t>(received), 0xFFFF);
        h[4] = static_cast<uint8_t>(payload >> 8);
        h[5] = static_cast<uint8_t>(payload & 0xFF);
        h[6] = static_cast<uint8_t>(protocolOf(channel, Family::V6));
        h[7] = static_cast<uint8_t>(hopLimit(message));
        std::memcpy(h + 8, wait.arrival.from.bytes.data(), 16);
        if (source)
            std::memcpy(h + 24, source->bytes.data(), 16);
    }
    if (stamping) {
        wait.arrival.kernelTime = softwareStamp(message);
        if (wait.arrival.kernelTime)
            *wait.arrival.kernelTime -= realtimeOffset;
    }
    return wait;
}

Wait LinuxNetwork::receive(std::span<uint8_t> buffer, int64_t deadline)
{
    const Channel receiving[] = {Channel::Icmp, Channel::Tcp};
    for (;;) {
        if (stoppedBy != 0)
            return failure(WaitStatus::Interrupted, EINTR, WaitStep::Wait);
        pollfd waits[3];
        Channel of[2];
        nfds_t count = 0;
        for (const Channel channel : receiving) {
            if (sockets[index(channel)].fd >= 0) {
                waits[count] = pollfd{sockets[index(channel)].fd, POLLIN, 0};
                of[count++] = channel;
            }
        }
        const nfds_t socketCount = count;
        if (stopFd >= 0)
            waits[count++] = pollfd{stopFd, POLLIN, 0};
        // poll takes any descriptor number (an fd_set only those below 1024).
        const int64_t left = std::max<int64_t>(deadline - readCounter(), 0);
        const timespec timeout{static_cast<time_t>(left / counterTicksPerSecond),
                               static_cast<long>(left % counterTicksPerSecond)};
        const int ready = ppoll(waits, count, &timeout, nullptr);
        if (ready < 0)
            return failure(errno == EINTR ? WaitStatus::Interrupted : WaitStatus::Failed, errno, WaitStep::Wait);
        if (ready == 0)
            return failure(WaitStatus::TimedOut, 0, WaitStep::Wait);
        if (count > socketCount && (waits[socketCount].revents & POLLIN) != 0) {
            signalfd_siginfo signal{};
            if (::read(stopFd, &signal, sizeof signal) == static_cast<ssize_t>(sizeof signal)) {
                stoppedBy = static_cast<int>(signal.ssi_signo);
                return failure(WaitStatus::Interrupted, EINTR, WaitStep::Wait);
            }
        }
        bool drained = false;
        for (nfds_t i = 0; i < socketCount; ++i) {
            if (waits[i].revents & POLLIN) {
                const Wait wait = read(of[i], buffer);
                if (wait.status != WaitStatus::TimedOut)  // EAGAIN: nothing after all
                    return wait;
            } else if (waits[i].revents != 0) {
                // Only the error queue: a send stamp that came too late to use. Emptied, so
                // the next wait sleeps again.
                takeSendStamp(sockets[index(of[i])], std::nullopt);
                drained = true;
            }
        }
        if (drained && readCounter() >= deadline)
            return failure(WaitStatus::TimedOut, 0, WaitStep::Wait);
    }
}

int64_t LinuxNetwork::now()
{
    return readCounter();
}

void LinuxNetwork::pause(int64_t nanoseconds)
{
    sleepMicroseconds(static_cast<uint32_t>(nanoseconds / 1000));
}

Route LinuxNetwork::route(const IpAddress &to)
{
    // A UDP socket connected toward the address (nothing is sent) learns the route.
    Route route;
    const bool v6 = to.family == Family::V6;
    const int probe = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return route;
    if (!options.device.empty())
        setsockopt(probe, SOL_SOCKET, SO_BINDTODEVICE, options.device.c_str(),
                   static_cast<socklen_t>(options.device.size()));
    if (source) {
        SocketAddress local = socketAddress(*source, 0);
        // From a source the host cannot bind, no route is known (the probes' sockets say why).
        if (bind(probe, local.get(), local.length) != 0) {
            close(probe);
            return route;
        }
    }
    SocketAddress address = socketAddress(to, 9);
    if (connect(probe, address.get(), address.length) == 0) {
        int value = 0;
        socklen_t length = sizeof value;
        if (getsockopt(probe, v6 ? IPPROTO_IPV6 : IPPROTO_IP, v6 ? IPV6_MTU : IP_MTU, &value, &length) == 0 && value > 0)
            route.mtu = value;
        SocketAddress local;
        local.length = sizeof local.storage;
        if (getsockname(probe, local.get(), &local.length) == 0 && local.storage.ss_family == address.storage.ss_family)
            route.source = addressOf(local.storage);
    }
    close(probe);
    return route;
}

}  // namespace hoprate
