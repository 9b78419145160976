#include "net/linux_echo_socket.h"

#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "net/send_stamps.h"
#include "support/clock.h"

namespace {

int64_t nanoseconds(const timespec &t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
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

}  // namespace

LinuxEchoSocket::~LinuxEchoSocket()
{
    if (fd >= 0)
        close(fd);
}

int LinuxEchoSocket::open(bool kernelStamps)
{
    fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0)
        return errno;
    // DF on every probe, whatever the route's cached path MTU says: too large a probe
    // gets "fragmentation needed" from the router that cannot forward it.
    const int probe = IP_PMTUDISC_PROBE;
    setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &probe, sizeof probe);
    const int buffer = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    if (kernelStamps) {
        // Kernel stamps come on the real-time clock; one offset taken now puts them on the
        // program's monotonic clock. A round trip is a difference of two kernel stamps,
        // so a later step of the real-time clock shifts both alike... unless it falls
        // between them, which one probe in a run may suffer.
        timespec real{};
        clock_gettime(CLOCK_REALTIME, &real);
        realtimeOffset = nanoseconds(real) - readCounter();
        const int flags = SOF_TIMESTAMPING_TX_SOFTWARE | SOF_TIMESTAMPING_RX_SOFTWARE | SOF_TIMESTAMPING_SOFTWARE |
                          SOF_TIMESTAMPING_OPT_ID | SOF_TIMESTAMPING_OPT_TSONLY;
        stamping = setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPING, &flags, sizeof flags) == 0;
    }
    return 0;
}

std::optional<int64_t> LinuxEchoSocket::takeSendStamp(std::optional<uint32_t> expected)
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
        if (recvmsg(fd, &message, MSG_ERRQUEUE | MSG_DONTWAIT) < 0)
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
    return own->time;
}

SentEcho LinuxEchoSocket::send(std::span<const uint8_t> message, Ipv4Address to, int ttl)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = to;
    iovec part{const_cast<uint8_t *>(message.data()), message.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr header = messageOver(part, control, sizeof control, &address);
    cmsghdr *c = CMSG_FIRSTHDR(&header);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_TTL;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &ttl, sizeof ttl);

    SentEcho sent;
    sent.userTime = readCounter();
    if (sendmsg(fd, &header, 0) < 0) {
        sent.error = errno;
        if (stamping)
            takeSendStamp(std::nullopt);  // nothing should be there; keep the queue empty all the same
        return sent;
    }
    if (stamping) {
        sent.kernelTime = takeSendStamp(nextKey++);
        if (sent.kernelTime)
            *sent.kernelTime -= realtimeOffset;
    }
    return sent;
}

EchoWait LinuxEchoSocket::receive(std::span<uint8_t> buffer, int64_t deadline)
{
    EchoWait wait;
    for (;;) {
        const int64_t left = deadline - readCounter();
        if (left <= 0) {
            wait.status = EchoWaitStatus::TimedOut;
            return wait;
        }
        pollfd p{fd, POLLIN, 0};
        const timespec timeout{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        const int ready = ppoll(&p, 1, &timeout, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            wait.status = EchoWaitStatus::Failed;
            wait.error = errno;
            return wait;
        }
        if (ready == 0)
            continue;  // the loop's deadline check ends the wait
        if (!(p.revents & POLLIN)) {
            if (stamping)
                takeSendStamp(std::nullopt);  // a late send stamp: too late to use, cleared
            continue;
        }
        sockaddr_in from{};
        alignas(cmsghdr) char control[256];
        iovec part{buffer.data(), buffer.size()};
        msghdr message = messageOver(part, control, sizeof control, &from);
        const ssize_t received = recvmsg(fd, &message, MSG_TRUNC | MSG_DONTWAIT);
        const int64_t arrived = readCounter();
        if (received < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            wait.status = EchoWaitStatus::Failed;
            wait.error = errno;
            return wait;
        }
        wait.status = EchoWaitStatus::Received;
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

int64_t LinuxEchoSocket::now()
{
    return readCounter();
}

std::optional<int> LinuxEchoSocket::routeMtu(Ipv4Address to)
{
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0)
        return std::nullopt;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(9);
    address.sin_addr.s_addr = to;
    std::optional<int> mtu;
    int value = 0;
    socklen_t length = sizeof value;
    if (connect(probe, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockopt(probe, IPPROTO_IP, IP_MTU, &value, &length) == 0 && value > 0)
        mtu = value;
    close(probe);
    return mtu;
}
