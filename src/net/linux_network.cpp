#include "net/linux_network.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "support/clock.h"

namespace {

sockaddr_in socketAddress(Endpoint to)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(to.port);
    address.sin_addr.s_addr = to.address;
    return address;
}

int setTtl(int socket, int ttl)
{
    return setsockopt(socket, IPPROTO_IP, IP_TTL, &ttl, sizeof ttl) < 0 ? errno : 0;
}

ReceiveResult failure(ReceiveStatus status, int error, const char *call)
{
    ReceiveResult result;
    result.status = status;
    result.error = error;
    result.failedCall = call;
    return result;
}

}  // namespace

LinuxNetwork::~LinuxNetwork()
{
    if (icmpSocket >= 0)
        close(icmpSocket);
    if (udpSocket >= 0)
        close(udpSocket);
}

int LinuxNetwork::openIcmpSocket()
{
    icmpSocket = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    return icmpSocket < 0 ? errno : 0;
}

int LinuxNetwork::openUdpSocket()
{
    udpSocket = socket(AF_INET, SOCK_DGRAM, 0);
    if (udpSocket < 0)
        return errno;
    // Port 0: the kernel picks a free port now, so it is known before the first probe.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof local;
    if (bind(udpSocket, reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 ||
        getsockname(udpSocket, reinterpret_cast<sockaddr *>(&local), &length) != 0) {
        const int error = errno;
        close(udpSocket);
        udpSocket = -1;
        return error;
    }
    udpPort = ntohs(local.sin_port);
    return 0;
}

int LinuxNetwork::setIcmpTtl(int ttl)
{
    return setTtl(icmpSocket, ttl);
}

int LinuxNetwork::setUdpTtl(int ttl)
{
    return setTtl(udpSocket, ttl);
}

void LinuxNetwork::sendIcmp(std::span<const uint8_t> message, Endpoint to)
{
    const sockaddr_in address = socketAddress(to);
    sendto(icmpSocket, message.data(), message.size(), 0, reinterpret_cast<const sockaddr *>(&address),
           sizeof address);
}

void LinuxNetwork::sendUdp(std::span<const uint8_t> payload, Endpoint to)
{
    const sockaddr_in address = socketAddress(to);
    sendto(udpSocket, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr *>(&address),
           sizeof address);
}

ReceiveResult LinuxNetwork::receive(std::span<uint8_t> buffer, int64_t deadline)
{
    // poll takes any descriptor number (an fd_set only those below 1024). A deadline
    // already passed is a wait of zero: a datagram queued by then is still read.
    const int64_t left = std::max<int64_t>(deadline - readCounter(), 0);
    const timespec timeout{static_cast<time_t>(left / counterTicksPerSecond),
                           static_cast<long>(left % counterTicksPerSecond)};
    pollfd socketWait{icmpSocket, POLLIN, 0};
    const int ready = ppoll(&socketWait, 1, &timeout, nullptr);
    // A failed wait keeps the message the classic mode has always given it.
    if (ready < 0)
        return failure(errno == EINTR ? ReceiveStatus::Interrupted : ReceiveStatus::Failed, errno, "select");
    if (ready == 0)
        return failure(ReceiveStatus::TimedOut, 0, "");

    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    // MSG_TRUNC reports the datagram's real length, so one longer than the buffer is
    // detected instead of being parsed cut short.
    const ssize_t received = recvfrom(icmpSocket, buffer.data(), buffer.size(), MSG_TRUNC,
                                      reinterpret_cast<sockaddr *>(&from), &fromLength);
    const int64_t arrival = received >= 0 ? readCounter() : 0;
    if (received < 0)
        return failure(errno == EINTR ? ReceiveStatus::Interrupted : ReceiveStatus::Failed, errno, "recvfrom error");
    if (received > static_cast<ssize_t>(buffer.size()))
        return failure(ReceiveStatus::Failed, EMSGSIZE, "recvfrom error");
    ReceiveResult result;
    result.status = ReceiveStatus::Received;
    result.datagram = Datagram{static_cast<int>(received), arrival, from.sin_addr.s_addr};
    return result;
}

int64_t LinuxNetwork::now()
{
    return readCounter();
}

void LinuxNetwork::pause(uint32_t microseconds)
{
    sleepMicroseconds(microseconds);
}
