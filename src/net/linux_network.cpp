#include "net/linux_network.h"

#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <poll.h>
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

sockaddr_in socketAddress(Endpoint to)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(to.port);
    address.sin_addr.s_addr = to.address;
    return address;
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
        if (c->cmsg_level == SOL_IP && c->cmsg_type == IP_RECVERR && c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
            sock_extended_err error{};
            std::memcpy(&error, CMSG_DATA(c), sizeof error);
            if (error.ee_origin == SO_EE_ORIGIN_TIMESTAMPING)
                return error.ee_data;
        }
    }
    return std::nullopt;
}

// A message header over one buffer, with room for control data and, when given, an address.
msghdr messageOver(iovec &part, void *control, size_t controlLength, sockaddr_in *address = nullptr)
{
    msghdr message{};
    message.msg_name = address;
    message.msg_namelen = address != nullptr ? sizeof *address : 0;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
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

}  // namespace

LinuxNetwork::LinuxNetwork(SocketOptions chosen) : options(chosen) {}

LinuxNetwork::~LinuxNetwork()
{
    if (icmpSocket >= 0)
        close(icmpSocket);
    if (udpSocket >= 0)
        close(udpSocket);
}

int LinuxNetwork::openIcmp()
{
    icmpSocket = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (icmpSocket < 0)
        return errno;
    if (options.dontFragment) {
        // DF on every probe, whatever the route's cached path MTU says: too large a probe
        // gets "fragmentation needed" from the router that cannot forward it.
        const int probe = IP_PMTUDISC_PROBE;
        setsockopt(icmpSocket, IPPROTO_IP, IP_MTU_DISCOVER, &probe, sizeof probe);
    }
    if (options.receiveBuffer > 0)
        setsockopt(icmpSocket, SOL_SOCKET, SO_RCVBUF, &options.receiveBuffer, sizeof options.receiveBuffer);
    if (options.kernelStamps) {
        // Kernel stamps come on the real-time clock; one offset taken now puts them on the
        // program's monotonic clock. A round trip is a difference of two kernel stamps,
        // so a later step of the real-time clock shifts both alike... unless it falls
        // between them, which one probe in a run may suffer.
        timespec real{};
        clock_gettime(CLOCK_REALTIME, &real);
        realtimeOffset = nanoseconds(real) - readCounter();
        const int flags = SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE |
                          SOF_TIMESTAMPING_OPT_ID | SOF_TIMESTAMPING_OPT_TSONLY;
        stamping = setsockopt(icmpSocket, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) == 0;
    }
    return 0;
}

Prepared LinuxNetwork::openUdp()
{
    Prepared prepared;
    udpSocket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udpSocket < 0) {
        prepared.error = errno;
        return prepared;
    }
    // Port 0: the kernel picks a free port now, so it is known before the first probe.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof local;
    if (bind(udpSocket, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 ||
        getsockname(udpSocket, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        prepared.error = errno;
        prepared.failed = PrepareStep::Bind;
        close(udpSocket);
        udpSocket = -1;
        return prepared;
    }
    udpPort = ntohs(local.sin_port);
    return prepared;
}

Prepared LinuxNetwork::prepare(Channel channel, std::optional<int> socketTtl)
{
    Prepared prepared;
    if (channel == Channel::Icmp && icmpSocket < 0)
        prepared.error = openIcmp();
    if (channel == Channel::Udp && udpSocket < 0)
        prepared = openUdp();
    if (prepared.error != 0)
        return prepared;
    prepared.localPort = channel == Channel::Udp ? udpPort : 0;
    if (socketTtl) {
        const int ttl = *socketTtl;
        if (setsockopt(descriptor(channel), IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) < 0) {
            prepared.error = errno;
            prepared.failed = PrepareStep::Ttl;
        }
    }
    return prepared;
}

std::optional<int64_t> LinuxNetwork::takeSendStamp(std::optional<uint32_t> expected)
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
        if (recvmsg(icmpSocket, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
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
    nextKey = own->key + 1;
    return own->time - realtimeOffset;
}

Sent LinuxNetwork::send(Channel channel, std::span<const uint8_t> message, Endpoint to, std::optional<int> ttl)
{
    sockaddr_in address = socketAddress(to);
    Sent sent;
    if (!ttl) {
        // The socket's own TTL: a plain sendto.
        sent.userTime = readCounter();
        if (sendto(descriptor(channel), message.data(), message.size(), 0, reinterpret_cast<const sockaddr *>(&address),
                   sizeof address) < 0)
            sent.error = errno;
        return sent;
    }
    // The packet's own TTL, in a control message.
    iovec part{const_cast<uint8_t *>(message.data()), message.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header = messageOver(part, control, sizeof control, &address);
    cmsghdr *c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_TTL;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &*ttl, sizeof(int));
    const bool stamped = stamping && channel == Channel::Icmp;

    sent.userTime = readCounter();
    if (sendmsg(descriptor(channel), &header, 0) < 0) {
        sent.error = errno;
        if (stamped)
            takeSendStamp(std::nullopt);  // nothing should be there; keep the queue empty all the same
        return sent;
    }
    if (stamped)
        sent.kernelTime = takeSendStamp(nextKey++);
    return sent;
}

Wait LinuxNetwork::receive(std::span<uint8_t> buffer, int64_t deadline)
{
    for (;;) {
        // poll takes any descriptor number (an fd_set only those below 1024).
        const int64_t left = std::max<int64_t>(deadline - readCounter(), 0);
        const timespec timeout{static_cast<time_t>(left / counterTicksPerSecond),
                               static_cast<long>(left % counterTicksPerSecond)};
        pollfd socketWait{icmpSocket, POLLIN, 0};
        const int ready = ppoll(&socketWait, 1, &timeout, nullptr);
        if (ready < 0)
            return failure(errno == EINTR ? WaitStatus::Interrupted : WaitStatus::Failed, errno, WaitStep::Wait);
        if (ready == 0)
            return failure(WaitStatus::TimedOut, 0, WaitStep::Wait);
        if (!(socketWait.revents & POLLIN)) {
            // Only the error queue: a send stamp that came too late to use. Emptied, so the
            // next wait sleeps again.
            takeSendStamp(std::nullopt);
            if (readCounter() >= deadline)
                return failure(WaitStatus::TimedOut, 0, WaitStep::Wait);
            continue;
        }
        sockaddr_in from{};
        alignas(cmsghdr) char control[256];
        iovec part{buffer.data(), buffer.size()};
        msghdr message = messageOver(part, control, stamping ? sizeof control : 0, &from);
        if (!stamping)
            message.msg_control = nullptr;
        // MSG_TRUNC reports the datagram's real length, so one longer than the buffer is
        // told from one that fits.
        const ssize_t received = recvmsg(icmpSocket, &message, MSG_TRUNC | MSG_DONTWAIT);
        const int64_t arrived = readCounter();
        if (received < 0) {
            if (errno == EAGAIN)
                continue;
            return failure(errno == EINTR ? WaitStatus::Interrupted : WaitStatus::Failed, errno, WaitStep::Receive);
        }
        Wait wait;
        wait.status = WaitStatus::Received;
        wait.arrival.length = static_cast<int>(received);
        wait.arrival.from = from.sin_addr.s_addr;
        wait.arrival.userTime = arrived;
        if (stamping) {
            wait.arrival.kernelTime = softwareStamp(message);
            if (wait.arrival.kernelTime)
                *wait.arrival.kernelTime -= realtimeOffset;
        }
        return wait;
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

std::optional<int> LinuxNetwork::routeMtu(Ipv4Address to)
{
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return std::nullopt;
    sockaddr_in address = socketAddress(Endpoint{to, 9});
    std::optional<int> mtu;
    int value = 0;
    socklen_t length = sizeof value;
    if (connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockopt(probe, IPPROTO_IP, IP_MTU, &value, &length) == 0 && value > 0)
        mtu = value;
    close(probe);
    return mtu;
}

}  // namespace hoprate
