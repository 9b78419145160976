// A whole network in a preloaded library: hoprate runs unchanged (LD_PRELOAD) against
// a scripted path whose replies and clock are virtual, so a run is exactly repeatable,
// takes milliseconds and needs no privileges. It replaces the calls a prober makes:
//
//   socket, close, setsockopt    fake descriptors (real ones on /dev/null) with their TTL
//   bind, getsockname            a UDP socket is bound to port 45678 whatever it asks for
//   sendto                       a probe enters the path; its replies are queued
//   select, poll, ppoll          wait in virtual time until the next reply or the time-out
//   recvfrom, recvmsg            take the next due reply (IP header included)
//   clock_gettime(MONOTONIC)     virtual time; nanosleep advances it
//   getpid, gethostname, gethostbyname
//
// Environment:
//   FAKENET_PATH    node addresses in hop order (default 10.9.1.1,10.9.2.1,10.9.3.1); a
//                   probe for node k with TTL t < k expires at node t
//   FAKENET_HOSTS   name=address,... for gethostbyname (the local host name included)
//   FAKENET_HOSTNAME  what gethostname reports (default goldenhost.lab)
//   FAKENET_PID     what getpid reports (default 4242)
//   FAKENET_SCRIPT  events by probe number (the n-th probe sent, from 0), ';'-separated:
//                   N:drop           no reply
//                   N:late=MS        the reply comes MS milliseconds later than usual
//                   N:foreign        another process's echo reply arrives first
//                   N:flood=K/MS     K foreign echo replies, one every MS ms, and no reply
//                   N:elsewhere      a time-exceeded message about UDP to another address first
//                   N:unreachable    a port unreachable from another address first
//                   N:alien          an ICMP message of an unhandled type (redirect) first
//                   N:short=BYTES    the reply cut to BYTES bytes (IP header included)
//                   N:census         a port unreachable whose datagram holds framing bytes
//   FAKENET_LOG     file that receives one line per probe sent, wait and pause, with
//                   the virtual time: the pacing and the time-outs of a run, checkable
//
// Link model: node k is reached over links 1..k; link j has rate RATE[j % 3] (10, 2 and
// 5 Mbit/s) and 1 ms of propagation each way. A packet of L bytes takes L*8/rate per
// link in each direction; every probe gets a deterministic extra delay of 0..4 x 37 us.
// Linux's quoting: ICMP errors quote at most 548 bytes of the offending datagram.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr uint32_t localAddress = 0x0A090002;  // 10.9.0.2
constexpr uint16_t localUdpPort = 45678;
constexpr int64_t startNs = 1000LL * 1000000000LL;
constexpr double linkRates[3] = {10e6, 2e6, 5e6};
constexpr int64_t propagationNs = 1000000;
constexpr size_t linuxQuoteLimit = 548;

enum class Kind { None, RawIcmp, Udp };

struct FakeSocket {
    Kind kind = Kind::None;
    int ttl = 64;
};

struct Datagram {
    int64_t arrival;
    uint64_t order;  // ties keep the order of generation
    uint32_t source;
    Bytes bytes;
};

struct Event {
    std::string what;
    int value1 = 0;
    int value2 = 0;
};

struct State {
    bool ready = false;
    int64_t now = startNs;
    std::vector<uint32_t> path;
    std::map<std::string, uint32_t> hosts;
    std::string hostName = "goldenhost.lab";
    int pid = 4242;
    std::multimap<int, Event> script;
    std::map<int, FakeSocket> sockets;
    std::vector<Datagram> pending;  // replies for the raw ICMP sockets
    uint64_t generated = 0;
    int probesSent = 0;
    uint16_t ipId = 1;
    FILE *log = nullptr;
};

State &state()
{
    static State s;
    return s;
}

uint32_t parseAddress(const std::string &text)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
        std::fprintf(stderr, "fakenet: bad address %s\n", text.c_str());
        std::abort();
    }
    return ntohl(a.s_addr);
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t at = text.find(separator, start);
        const std::string part = text.substr(start, at == std::string::npos ? std::string::npos : at - start);
        if (!part.empty())
            parts.push_back(part);
        if (at == std::string::npos)
            break;
        start = at + 1;
    }
    return parts;
}

void logLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
void logLine(const char *format, ...)
{
    State &s = state();
    if (s.log == nullptr)
        return;
    std::fprintf(s.log, "%lld.%06lld ", static_cast<long long>((s.now - startNs) / 1000000000),
                 static_cast<long long>((s.now - startNs) % 1000000000 / 1000));
    va_list args;
    va_start(args, format);
    std::vfprintf(s.log, format, args);
    va_end(args);
    std::fputc('\n', s.log);
    std::fflush(s.log);
}

State &init()
{
    State &s = state();
    if (s.ready)
        return s;
    s.ready = true;
    const char *path = std::getenv("FAKENET_PATH");
    for (const std::string &a : split(path ? path : "10.9.1.1,10.9.2.1,10.9.3.1", ','))
        s.path.push_back(parseAddress(a));
    if (const char *hosts = std::getenv("FAKENET_HOSTS")) {
        for (const std::string &entry : split(hosts, ',')) {
            const size_t eq = entry.find('=');
            if (eq != std::string::npos)
                s.hosts[entry.substr(0, eq)] = parseAddress(entry.substr(eq + 1));
        }
    }
    if (const char *name = std::getenv("FAKENET_HOSTNAME"))
        s.hostName = name;
    if (const char *pid = std::getenv("FAKENET_PID"))
        s.pid = std::atoi(pid);
    if (const char *script = std::getenv("FAKENET_SCRIPT")) {
        for (const std::string &entry : split(script, ';')) {
            const size_t colon = entry.find(':');
            if (colon == std::string::npos)
                continue;
            Event e;
            const int probe = std::atoi(entry.substr(0, colon).c_str());
            std::string rest = entry.substr(colon + 1);
            const size_t eq = rest.find('=');
            e.what = rest.substr(0, eq);
            if (eq != std::string::npos) {
                const std::string value = rest.substr(eq + 1);
                const size_t slash = value.find('/');
                e.value1 = std::atoi(value.substr(0, slash).c_str());
                if (slash != std::string::npos)
                    e.value2 = std::atoi(value.substr(slash + 1).c_str());
            }
            s.script.emplace(probe, e);
        }
    }
    if (const char *logPath = std::getenv("FAKENET_LOG"))
        s.log = std::fopen(logPath, "w");
    return s;
}

std::string addressText(uint32_t address)
{
    char text[INET_ADDRSTRLEN];
    in_addr a{htonl(address)};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

uint16_t checksum(const unsigned char *data, size_t len)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2)
        sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (len % 2)
        sum += static_cast<uint32_t>(data[len - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void put16(Bytes &b, size_t at, uint16_t v)
{
    b[at] = static_cast<unsigned char>(v >> 8);
    b[at + 1] = static_cast<unsigned char>(v & 0xFF);
}

void put32(Bytes &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<size_t>(i)] = static_cast<unsigned char>(v >> (24 - 8 * i));
}

Bytes ipHeader(uint32_t source, uint32_t destination, uint8_t protocol, uint8_t ttl, size_t payload)
{
    State &s = state();
    Bytes h(20, 0);
    h[0] = 0x45;
    put16(h, 2, static_cast<uint16_t>(20 + payload));
    put16(h, 4, s.ipId++);
    h[6] = 0x40;  // don't fragment
    h[8] = ttl;
    h[9] = protocol;
    put32(h, 12, source);
    put32(h, 16, destination);
    put16(h, 10, checksum(h.data(), 20));
    return h;
}

// The probe as it leaves the host: IP header + ICMP message, or IP + UDP header + payload.
Bytes probeDatagram(const FakeSocket &socket, uint32_t destination, uint16_t port, const unsigned char *data,
                    size_t len)
{
    Bytes transport;
    uint8_t protocol = 1;
    if (socket.kind == Kind::Udp) {
        protocol = 17;
        transport.assign(8, 0);
        put16(transport, 0, localUdpPort);
        put16(transport, 2, port);
        put16(transport, 4, static_cast<uint16_t>(8 + len));
    }
    const size_t header = transport.size();
    transport.resize(header + len);
    if (len > 0)
        std::memcpy(transport.data() + header, data, len);
    Bytes datagram = ipHeader(localAddress, destination, protocol, 1, transport.size());
    datagram.insert(datagram.end(), transport.begin(), transport.end());
    return datagram;
}

Bytes icmpMessage(uint32_t source, uint8_t type, uint8_t code, const Bytes &rest)
{
    Bytes icmp(4, 0);
    icmp[0] = type;
    icmp[1] = code;
    icmp.insert(icmp.end(), rest.begin(), rest.end());
    put16(icmp, 2, checksum(icmp.data(), icmp.size()));
    Bytes datagram = ipHeader(source, localAddress, 1, 64, icmp.size());
    datagram.insert(datagram.end(), icmp.begin(), icmp.end());
    return datagram;
}

// An ICMP error quoting (the first bytes of) an offending datagram, Linux style.
Bytes icmpError(uint32_t source, uint8_t type, uint8_t code, const Bytes &offending)
{
    Bytes rest(4, 0);
    const size_t quoted = std::min(offending.size(), linuxQuoteLimit);
    rest.insert(rest.end(), offending.begin(), offending.begin() + static_cast<long>(quoted));
    return icmpMessage(source, type, code, rest);
}

// One-way time of a packet of len bytes over links 1..hops.
int64_t oneWayNs(int hops, size_t len)
{
    int64_t total = 0;
    for (int j = 1; j <= hops; ++j)
        total += propagationNs + static_cast<int64_t>(static_cast<double>(len) * 8.0 / linkRates[j % 3] * 1e9);
    return total;
}

void queue(int64_t arrival, uint32_t source, Bytes bytes)
{
    State &s = state();
    s.pending.push_back(Datagram{arrival, s.generated++, source, std::move(bytes)});
}

Bytes foreignEchoReply(uint32_t source)
{
    State &s = state();
    Bytes rest = {static_cast<unsigned char>(((s.pid + 1) >> 8) & 0xFF), static_cast<unsigned char>((s.pid + 1) & 0xFF),
                  0x07, 0x00};
    rest.resize(4 + 56, 0x5A);
    return icmpMessage(source, 0, 0, rest);
}

void sendProbe(const FakeSocket &socket, uint32_t destination, uint16_t port, const unsigned char *data,
               size_t len)
{
    State &s = init();
    const int number = s.probesSent++;
    logLine("send %s ttl=%d to=%s len=%zu", socket.kind == Kind::Udp ? "udp" : "icmp", socket.ttl,
            addressText(destination).c_str(), len);
    const Bytes probe = probeDatagram(socket, destination, port, data, len);

    int target = -1;
    for (size_t k = 0; k < s.path.size(); ++k)
        if (s.path[k] == destination)
            target = static_cast<int>(k) + 1;
    if (target < 0 || socket.ttl < 1)
        return;  // nobody answers

    Bytes reply;
    int responder = target;
    if (socket.ttl < target) {
        responder = socket.ttl;
        reply = icmpError(s.path[static_cast<size_t>(responder - 1)], 11, 0, probe);
    } else if (socket.kind == Kind::Udp) {
        reply = icmpError(destination, 3, 3, probe);
    } else if (len >= 8 && data[0] == 8) {
        reply = icmpMessage(destination, 0, 0, Bytes(data + 4, data + len));
    } else {
        return;
    }
    const uint32_t from = s.path[static_cast<size_t>(responder - 1)];
    const int64_t jitter = static_cast<int64_t>((static_cast<unsigned>(number) * 2654435761u >> 7) % 5) * 37000;
    int64_t arrival = s.now + oneWayNs(responder, probe.size()) + oneWayNs(responder, reply.size()) + jitter;

    bool answered = true;
    const auto range = s.script.equal_range(number);
    for (auto it = range.first; it != range.second; ++it) {
        const Event &e = it->second;
        const int64_t early = s.now + (arrival - s.now) / 2;
        if (e.what == "drop") {
            answered = false;
        } else if (e.what == "late") {
            arrival += static_cast<int64_t>(e.value1) * 1000000;
        } else if (e.what == "foreign") {
            queue(early, s.path[0], foreignEchoReply(s.path[0]));
        } else if (e.what == "flood") {
            for (int i = 0; i < e.value1; ++i)
                queue(s.now + static_cast<int64_t>(i + 1) * e.value2 * 1000000, s.path[0], foreignEchoReply(s.path[0]));
            answered = false;
        } else if (e.what == "elsewhere") {
            FakeSocket udp{Kind::Udp, 1};
            queue(early, from, icmpError(from, 11, 0, probeDatagram(udp, 0x0A636301, 20000, data, std::min<size_t>(len, 16))));
        } else if (e.what == "unreachable") {
            FakeSocket udp{Kind::Udp, 1};
            queue(early, 0x0A636301, icmpError(0x0A636301, 3, 3, probeDatagram(udp, 0x0A636301, 20000, data, std::min<size_t>(len, 16))));
        } else if (e.what == "alien") {
            Bytes rest(4, 0);
            rest.insert(rest.end(), probe.begin(), probe.begin() + 28);
            queue(early, from, icmpMessage(from, 5, 1, rest));
        } else if (e.what == "short") {
            reply.resize(std::min(reply.size(), static_cast<size_t>(e.value1)));
        } else if (e.what == "census") {
            // Framing bytes in the quoted payload: two 0x7E, one 0x7D.
            Bytes marked = probe;
            if (marked.size() > 40) {
                marked[36] = 0x7E;
                marked[37] = 0x7E;
                marked[38] = 0x7D;
            }
            reply = icmpError(destination, 3, 3, marked);
        }
    }
    if (answered)
        queue(arrival, from, reply);
}

int64_t nextArrival()
{
    State &s = state();
    int64_t best = INT64_MAX;
    for (const Datagram &d : s.pending)
        best = std::min(best, d.arrival);
    return best;
}

bool isRawIcmp(int fd)
{
    State &s = init();
    const auto it = s.sockets.find(fd);
    return it != s.sockets.end() && it->second.kind == Kind::RawIcmp;
}

// Waits for a datagram at most timeoutNs (negative: forever). True when one is due.
bool waitFor(int64_t timeoutNs)
{
    State &s = init();
    const int64_t next = nextArrival();
    if (next != INT64_MAX && (timeoutNs < 0 || next <= s.now + timeoutNs)) {
        s.now = std::max(s.now, next);
        return true;
    }
    if (timeoutNs < 0) {
        logLine("wait forever with nothing to come");
        std::fprintf(stderr, "fakenet: a wait without time-out and without a reply to come\n");
        std::_Exit(99);
    }
    s.now += timeoutNs;
    logLine("wait %lld.%06lld s: time-out", static_cast<long long>(timeoutNs / 1000000000),
            static_cast<long long>(timeoutNs % 1000000000 / 1000));
    return false;
}

ssize_t takeDatagram(void *buffer, size_t capacity, int flags, sockaddr *from, socklen_t *fromLength)
{
    State &s = init();
    auto best = s.pending.end();
    for (auto it = s.pending.begin(); it != s.pending.end(); ++it)
        if (it->arrival <= s.now && (best == s.pending.end() || it->arrival < best->arrival ||
                                     (it->arrival == best->arrival && it->order < best->order)))
            best = it;
    if (best == s.pending.end()) {
        errno = EAGAIN;
        return -1;
    }
    const Datagram d = *best;
    s.pending.erase(best);
    std::memcpy(buffer, d.bytes.data(), std::min(capacity, d.bytes.size()));
    if (from != nullptr && fromLength != nullptr && *fromLength >= sizeof(sockaddr_in)) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_addr.s_addr = htonl(d.source);
        std::memcpy(from, &source, sizeof source);
        *fromLength = sizeof source;
    }
    if (flags & MSG_TRUNC)
        return static_cast<ssize_t>(d.bytes.size());
    return static_cast<ssize_t>(std::min(capacity, d.bytes.size()));
}

template <typename F>
F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

pid_t getpid(void)
{
    return init().pid;
}

int gethostname(char *name, size_t len)
{
    const std::string &host = init().hostName;
    if (host.size() + 1 > len) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(name, host.c_str(), host.size() + 1);
    return 0;
}

struct hostent *gethostbyname(const char *name)
{
    State &s = init();
    static hostent entry;
    static char nameBuffer[256];
    static in_addr_t address;
    static char *addressList[2];
    static char *aliases[1];
    std::string wanted = name;
    const auto it = s.hosts.find(wanted);
    if (it == s.hosts.end()) {
        h_errno = HOST_NOT_FOUND;
        return nullptr;
    }
    std::snprintf(nameBuffer, sizeof nameBuffer, "%s", name);
    address = htonl(it->second);
    addressList[0] = reinterpret_cast<char *>(&address);
    addressList[1] = nullptr;
    aliases[0] = nullptr;
    entry.h_name = nameBuffer;
    entry.h_aliases = aliases;
    entry.h_addrtype = AF_INET;
    entry.h_length = 4;
    entry.h_addr_list = addressList;
    return &entry;
}

int clock_gettime(clockid_t clock, struct timespec *out)
{
    if (clock == CLOCK_MONOTONIC) {
        const int64_t now = init().now;
        out->tv_sec = static_cast<time_t>(now / 1000000000);
        out->tv_nsec = static_cast<long>(now % 1000000000);
        return 0;
    }
    return static_cast<int>(syscall(SYS_clock_gettime, clock, out));
}

int nanosleep(const struct timespec *request, struct timespec *remaining)
{
    State &s = init();
    const int64_t ns = static_cast<int64_t>(request->tv_sec) * 1000000000 + request->tv_nsec;
    s.now += ns;
    logLine("pause %lld us", static_cast<long long>(ns / 1000));
    if (remaining != nullptr)
        *remaining = timespec{0, 0};
    return 0;
}

int socket(int domain, int type, int protocol)
{
    State &s = init();
    const int base = type & 0xF;
    Kind kind = Kind::None;
    if (domain == AF_INET && base == SOCK_RAW && protocol == IPPROTO_ICMP)
        kind = Kind::RawIcmp;
    else if (domain == AF_INET && base == SOCK_DGRAM && (protocol == 0 || protocol == IPPROTO_UDP))
        kind = Kind::Udp;
    if (kind == Kind::None)
        return real<int (*)(int, int, int)>("socket")(domain, type, protocol);
    const int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return -1;
    s.sockets[fd] = FakeSocket{kind, 64};
    return fd;
}

int close(int fd)
{
    state().sockets.erase(fd);
    return real<int (*)(int)>("close")(fd);
}

int setsockopt(int fd, int level, int name, const void *value, socklen_t length)
{
    State &s = init();
    const auto it = s.sockets.find(fd);
    if (it == s.sockets.end())
        return real<int (*)(int, int, int, const void *, socklen_t)>("setsockopt")(fd, level, name, value, length);
    if (level == IPPROTO_IP && name == IP_TTL && length >= static_cast<socklen_t>(sizeof(int)))
        std::memcpy(&it->second.ttl, value, sizeof(int));
    return 0;
}

int bind(int fd, const struct sockaddr *address, socklen_t length)
{
    State &s = init();
    if (s.sockets.find(fd) == s.sockets.end())
        return real<int (*)(int, const sockaddr *, socklen_t)>("bind")(fd, address, length);
    return 0;
}

int getsockname(int fd, struct sockaddr *address, socklen_t *length)
{
    State &s = init();
    const auto it = s.sockets.find(fd);
    if (it == s.sockets.end())
        return real<int (*)(int, sockaddr *, socklen_t *)>("getsockname")(fd, address, length);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(it->second.kind == Kind::Udp ? localUdpPort : 0);
    std::memcpy(address, &local, std::min<size_t>(sizeof local, *length));
    *length = sizeof local;
    return 0;
}

ssize_t sendto(int fd, const void *data, size_t len, int flags, const struct sockaddr *to, socklen_t toLength)
{
    State &s = init();
    const auto it = s.sockets.find(fd);
    if (it == s.sockets.end())
        return real<ssize_t (*)(int, const void *, size_t, int, const sockaddr *, socklen_t)>("sendto")(
            fd, data, len, flags, to, toLength);
    sockaddr_in target{};
    std::memcpy(&target, to, std::min<size_t>(sizeof target, toLength));
    sendProbe(it->second, ntohl(target.sin_addr.s_addr), ntohs(target.sin_port),
              static_cast<const unsigned char *>(data), len);
    return static_cast<ssize_t>(len);
}

int select(int nfds, fd_set *readSet, fd_set *writeSet, fd_set *exceptSet, struct timeval *timeout)
{
    int fd = -1;
    for (int i = 0; i < nfds && i < FD_SETSIZE; ++i)
        if (readSet != nullptr && FD_ISSET(i, readSet) && isRawIcmp(i))
            fd = i;
    if (fd < 0)
        return real<int (*)(int, fd_set *, fd_set *, fd_set *, timeval *)>("select")(nfds, readSet, writeSet,
                                                                                     exceptSet, timeout);
    const int64_t ns = timeout ? static_cast<int64_t>(timeout->tv_sec) * 1000000000 + timeout->tv_usec * 1000 : -1;
    const bool ready = waitFor(ns);
    FD_ZERO(readSet);
    if (writeSet)
        FD_ZERO(writeSet);
    if (exceptSet)
        FD_ZERO(exceptSet);
    if (!ready)
        return 0;
    FD_SET(fd, readSet);
    return 1;
}

static int fakePoll(struct pollfd *fds, nfds_t count, int64_t timeoutNs, bool *handled)
{
    int index = -1;
    for (nfds_t i = 0; i < count; ++i)
        if ((fds[i].events & POLLIN) && isRawIcmp(fds[i].fd))
            index = static_cast<int>(i);
    *handled = index >= 0;
    if (index < 0)
        return 0;
    for (nfds_t i = 0; i < count; ++i)
        fds[i].revents = 0;
    if (!waitFor(timeoutNs))
        return 0;
    fds[index].revents = POLLIN;
    return 1;
}

int poll(struct pollfd *fds, nfds_t count, int timeoutMs)
{
    bool handled = false;
    const int result = fakePoll(fds, count, timeoutMs < 0 ? -1 : static_cast<int64_t>(timeoutMs) * 1000000, &handled);
    if (handled)
        return result;
    return real<int (*)(pollfd *, nfds_t, int)>("poll")(fds, count, timeoutMs);
}

int ppoll(struct pollfd *fds, nfds_t count, const struct timespec *timeout, const sigset_t *mask)
{
    bool handled = false;
    const int64_t ns = timeout ? static_cast<int64_t>(timeout->tv_sec) * 1000000000 + timeout->tv_nsec : -1;
    const int result = fakePoll(fds, count, ns, &handled);
    if (handled)
        return result;
    return real<int (*)(pollfd *, nfds_t, const timespec *, const sigset_t *)>("ppoll")(fds, count, timeout, mask);
}

ssize_t recvfrom(int fd, void *buffer, size_t capacity, int flags, struct sockaddr *from, socklen_t *fromLength)
{
    if (!isRawIcmp(fd))
        return real<ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *)>("recvfrom")(
            fd, buffer, capacity, flags, from, fromLength);
    return takeDatagram(buffer, capacity, flags, from, fromLength);
}

ssize_t recvmsg(int fd, struct msghdr *message, int flags)
{
    if (!isRawIcmp(fd))
        return real<ssize_t (*)(int, msghdr *, int)>("recvmsg")(fd, message, flags);
    socklen_t nameLength = message->msg_namelen;
    const ssize_t n = takeDatagram(message->msg_iov[0].iov_base, message->msg_iov[0].iov_len, flags,
                                   static_cast<sockaddr *>(message->msg_name), &nameLength);
    message->msg_namelen = nameLength;
    message->msg_controllen = 0;
    message->msg_flags = 0;
    if (n > static_cast<ssize_t>(message->msg_iov[0].iov_len))
        message->msg_flags |= MSG_TRUNC;
    return n;
}

}  // extern "C"
