// A whole network in a preloaded library: hoprate runs unchanged (LD_PRELOAD) against
// a scripted path whose replies and clock are virtual, so a run is exactly repeatable,
// takes milliseconds and needs no privileges. It replaces the calls a prober makes:
//
//   socket, close, setsockopt    fake descriptors (real ones on /dev/null) with their TTL
//                                and time stamp flags (SO_TIMESTAMPING); other raw sockets
//                                (TCP, IPv6) are refused with EPERM
//   bind, getsockname            a UDP socket is bound to port 45678 whatever it asks for
//   connect, getsockopt(IP_MTU)  a connected UDP socket learns the first link's MTU
//   sendto                       a probe enters the path; its replies are queued
//   sendmsg                      the accurate mode's probe (ICMP message, TTL from its
//                                IP_TTL control message): it crosses the path link by link
//   select, poll, ppoll          wait in virtual time until the next reply, the next
//                                message of the error queue (POLLERR) or the time-out
//   recvfrom, recvmsg            take the next due reply (IP header included), with its
//                                receive stamp; MSG_ERRQUEUE: the next send stamp or note
//   clock_gettime(MONOTONIC)     virtual time; nanosleep advances it
//   clock_gettime(REALTIME)      the same virtual time, shifted to a fixed date
//   getrandom                    a fixed stream (FAKENET_RANDOM seeds it)
//   getpid, gethostname, gethostbyname, getaddrinfo (IPv4 entries of FAKENET_HOSTS)
//   getnameinfo                  names of FAKENET_NAMES only, at once: no run asks a real
//                                resolver (IPv4; anything else has no name)
//
// Environment:
//   FAKENET_PATH    node addresses in hop order (default 10.9.1.1,10.9.2.1,10.9.3.1); a
//                   probe for node k with TTL t < k expires at node t. An address may
//                   carry '/'-separated rules for the accurate mode's path:
//                     noecho    answers no echo request addressed to it
//                     silent    sends no time-exceeded message
//                     quote=N   its ICMP errors quote N bytes of the probe (0: all of it;
//                               default 548, Linux's)
//                     mtu=N     the MTU of the link that leads to it (default 1500); the
//                               node before it answers a larger probe with "fragmentation
//                               needed", and the first link's MTU is the local route's
//   FAKENET_HOSTS   name=address,... for gethostbyname (the local host name included)
//   FAKENET_NAMES   address=name,... for getnameinfo (default: no address has a name)
//   FAKENET_HOSTNAME  what gethostname reports (default goldenhost.lab)
//   FAKENET_PID     what getpid reports (default 4242)
//   FAKENET_RANDOM  seed of what getrandom returns (default 0)
//   FAKENET_WAIT_LIMIT  waits (select, poll, ppoll) after which the run is ended with
//                   status 98, a busy loop (default 1000000)
//   FAKENET_SCRIPT  events by packet number (the n-th sent, from 0, wake messages too), ';'-separated:
//                   N:drop           no reply
//                   N:late=MS        the reply comes MS milliseconds later than usual
//                   N:foreign        another process's echo reply arrives first
//                   N:flood=K/MS     K foreign echo replies, one every MS ms, and no reply
//                   N:elsewhere      a time-exceeded message about UDP to another address first
//                   N:unreachable    a port unreachable from another address first
//                   N:alien          an ICMP message of an unhandled type (redirect) first
//                   N:short=BYTES    the reply cut to BYTES bytes (IP header included)
//                   N:census         a port unreachable whose datagram holds framing bytes
//                   Accurate mode (sendmsg) only drop and late, and:
//                   N:stamplate=US   the probe's send stamp reaches the error queue US
//                                    microseconds after the send, not during it
//                   N:errnote=US     US microseconds after the send, a message without a
//                                    stamp (a local error report) on the error queue
//   FAKENET_LOG     file that receives one line per probe sent, wait and pause, with
//                   the virtual time: the pacing and the time-outs of a run, checkable.
//                   A run that sent with sendmsg ends it with "end: sends=N waits=M".
//
// Link model: node k is reached over links 1..k; link j has rate RATE[j % 3] (10, 2 and
// 5 Mbit/s) and 1 ms of propagation each way. A packet of L bytes takes L*8/rate per
// link in each direction; every probe gets a deterministic extra delay of 0..4 x 37 us.
// Linux's quoting: ICMP errors quote at most 548 bytes of the offending datagram.
// sendto's probes are answered at once, each alone on the path. sendmsg's probes cross it
// as packets: each link is a queue in each direction (a packet waits for the one before
// it), the answering node adds the probe's extra delay, a node forwards only what fits
// the next link's MTU (every probe has DF set). The send call takes 8 us; the packet
// leaves, stamped, 5 us into it; the program wakes 20 us after a reply's receive stamp.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <linux/errqueue.h>
#include <linux/net_tstamp.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/random.h>
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
constexpr int defaultMtu = 1500;
constexpr int64_t realtimeBaseNs = 1700000000LL * 1000000000LL;  // CLOCK_REALTIME - CLOCK_MONOTONIC
constexpr int64_t sendCallNs = 8000;     // a sendmsg call
constexpr int64_t sendStampNs = 5000;    // into it, the packet leaves and is stamped
constexpr int64_t wakeNs = 20000;        // from a reply's receive stamp to the program's wake-up

enum class Kind { None, RawIcmp, Udp };

struct FakeSocket {
    Kind kind = Kind::None;
    int ttl = 64;
    int stampFlags = 0;     // SO_TIMESTAMPING
    uint32_t nextKey = 0;   // the number of the next send stamp (SOF_TIMESTAMPING_OPT_ID)
    bool connected = false;
};

struct Datagram {
    int64_t arrival;  // when the program can take it
    uint64_t order;   // ties keep the order of generation
    uint32_t source;
    Bytes bytes;
    int64_t kernel;   // its receive stamp (virtual monotonic); -1: none
};

// A node of the path as the accurate mode's packets meet it (FAKENET_PATH rules).
struct Node {
    uint32_t address = 0;
    bool echo = true;               // answers echo requests addressed to it
    bool silent = false;            // sends no time-exceeded message
    size_t quote = linuxQuoteLimit; // bytes of the offending datagram its errors quote; 0: all
    int mtu = defaultMtu;           // of the link that leads to it
};

// A packet of the accurate mode on its way: at a node (0: the host) at the flight's time.
struct Flight {
    Bytes bytes;
    int node = 0;
    bool forward = true;   // away from the host
    int probe = 0;         // the probe it is or answers
    bool answered = true;  // false: the node that should answer stays silent
    int64_t late = 0;      // nanoseconds the answering node holds its answer
};

// A message of the socket's error queue: a send stamp, or a note without one.
struct ErrorNote {
    int64_t due;     // when it is on the queue
    uint64_t order;
    bool stamp;
    uint32_t key;    // the send's number
    int64_t at;      // the stamp (virtual monotonic)
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
    std::map<uint32_t, std::string> names;  // read by the look-up threads, written only by init
    std::string hostName = "goldenhost.lab";
    int pid = 4242;
    std::multimap<int, Event> script;
    std::map<int, FakeSocket> sockets;
    std::vector<Datagram> pending;  // replies for the raw ICMP sockets
    uint64_t generated = 0;
    int probesSent = 0;
    uint16_t ipId = 1;
    FILE *log = nullptr;
    // The accurate mode's path: nodes, packets on their way by (time, order of creation),
    // when each link (1-based) is free again in each direction, and the error queue (one
    // raw socket per run).
    std::vector<Node> nodes;
    std::map<std::pair<int64_t, uint64_t>, Flight> flights;
    uint64_t flightOrder = 0;
    std::vector<int64_t> forwardBusy, backBusy;
    std::vector<ErrorNote> errorQueue;
    int messagesSent = 0;  // by sendmsg
    long waits = 0;
    long waitLimit = 1000000;
    uint64_t randomSeed = 0;
    uint64_t randomDrawn = 0;
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

// The last line of the log of a run that used sendmsg: how often it sent and waited.
void logEnd()
{
    const State &s = state();
    if (s.messagesSent > 0)
        logLine("end: sends=%d waits=%ld", s.messagesSent, s.waits);
}

State &init()
{
    State &s = state();
    if (s.ready)
        return s;
    s.ready = true;
    const char *path = std::getenv("FAKENET_PATH");
    for (const std::string &entry : split(path ? path : "10.9.1.1,10.9.2.1,10.9.3.1", ',')) {
        const std::vector<std::string> parts = split(entry, '/');
        Node node;
        node.address = parseAddress(parts.empty() ? entry : parts[0]);
        for (size_t i = 1; i < parts.size(); ++i) {
            const std::string &rule = parts[i];
            if (rule == "noecho")
                node.echo = false;
            else if (rule == "silent")
                node.silent = true;
            else if (rule.rfind("quote=", 0) == 0)
                node.quote = static_cast<size_t>(std::atoi(rule.c_str() + 6));
            else if (rule.rfind("mtu=", 0) == 0)
                node.mtu = std::atoi(rule.c_str() + 4);
            else {
                std::fprintf(stderr, "fakenet: unknown node rule %s\n", rule.c_str());
                std::abort();
            }
        }
        s.path.push_back(node.address);
        s.nodes.push_back(node);
    }
    s.forwardBusy.assign(s.nodes.size() + 1, 0);
    s.backBusy.assign(s.nodes.size() + 1, 0);
    if (const char *seed = std::getenv("FAKENET_RANDOM"))
        s.randomSeed = std::strtoull(seed, nullptr, 10);
    if (const char *limit = std::getenv("FAKENET_WAIT_LIMIT"))
        s.waitLimit = std::atol(limit);
    if (const char *hosts = std::getenv("FAKENET_HOSTS")) {
        for (const std::string &entry : split(hosts, ',')) {
            const size_t eq = entry.find('=');
            if (eq != std::string::npos)
                s.hosts[entry.substr(0, eq)] = parseAddress(entry.substr(eq + 1));
        }
    }
    if (const char *names = std::getenv("FAKENET_NAMES")) {
        for (const std::string &entry : split(names, ',')) {
            const size_t eq = entry.find('=');
            if (eq != std::string::npos)
                s.names[parseAddress(entry.substr(0, eq))] = entry.substr(eq + 1);
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
    std::atexit(logEnd);  // registered after State was built: runs before it is destroyed
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

// An ICMP error quoting (the first bytes of) an offending datagram, Linux style unless
// the quote is limited otherwise (0: all of it); mtu: the next hop's, for code 4.
Bytes icmpError(uint32_t source, uint8_t type, uint8_t code, const Bytes &offending,
                size_t quoteLimit = linuxQuoteLimit, int mtu = 0)
{
    Bytes rest(4, 0);
    put16(rest, 2, static_cast<uint16_t>(mtu));
    const size_t quoted = quoteLimit == 0 ? offending.size() : std::min(offending.size(), quoteLimit);
    rest.insert(rest.end(), offending.begin(), offending.begin() + static_cast<long>(quoted));
    return icmpMessage(source, type, code, rest);
}

// Time of a packet of len bytes on link j's wire.
int64_t serializationNs(int link, size_t len)
{
    return static_cast<int64_t>(static_cast<double>(len) * 8.0 / linkRates[link % 3] * 1e9);
}

// One-way time of a packet of len bytes over links 1..hops.
int64_t oneWayNs(int hops, size_t len)
{
    int64_t total = 0;
    for (int j = 1; j <= hops; ++j)
        total += propagationNs + serializationNs(j, len);
    return total;
}

// The deterministic extra delay of the probe numbered `number`.
int64_t extraDelayNs(int number)
{
    return static_cast<int64_t>((static_cast<unsigned>(number) * 2654435761u >> 7) % 5) * 37000;
}

void queue(int64_t arrival, uint32_t source, Bytes bytes)
{
    State &s = state();
    s.pending.push_back(Datagram{arrival, s.generated++, source, std::move(bytes), -1});
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
    int64_t arrival = s.now + oneWayNs(responder, probe.size()) + oneWayNs(responder, reply.size()) + extraDelayNs(number);

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

// The accurate mode's path, packet by packet. Flights are handled in the order of their
// times; a send adds flights at the present, so each link serves its packets in the
// order they reach it.
void schedule(int64_t time, Flight flight)
{
    State &s = state();
    s.flights.emplace(std::make_pair(time, s.flightOrder++), std::move(flight));
}

// The flight enters link `link` at `time` in its direction (toward node `link`, or back
// from it) and reaches the link's other end.
void cross(int link, int64_t time, Flight flight)
{
    State &s = state();
    int64_t &busy = flight.forward ? s.forwardBusy[static_cast<size_t>(link)] : s.backBusy[static_cast<size_t>(link)];
    busy = std::max(time, busy) + serializationNs(link, flight.bytes.size());
    flight.node = flight.forward ? link : link - 1;
    schedule(busy + propagationNs, std::move(flight));
}

// Node `probe.node` answers the probe with `reply` (after the probe's extra delay).
void answer(const Flight &probe, int64_t time, Bytes reply)
{
    if (!probe.answered)
        return;
    Flight back;
    back.bytes = std::move(reply);
    back.node = probe.node;
    back.forward = false;
    back.probe = probe.probe;
    schedule(time + extraDelayNs(probe.probe) + probe.late, std::move(back));
}

uint32_t addressAt(const Bytes &b, size_t at)
{
    return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
           static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

void arrive(int64_t time, Flight flight)
{
    State &s = state();
    if (!flight.forward) {
        if (flight.node > 0) {
            cross(flight.node, time, std::move(flight));
            return;
        }
        const uint32_t source = addressAt(flight.bytes, 12);
        s.pending.push_back(Datagram{time + wakeNs, s.generated++, source, std::move(flight.bytes), time});
        return;
    }
    if (flight.node == 0) {
        cross(1, time, std::move(flight));
        return;
    }
    const Node &node = s.nodes[static_cast<size_t>(flight.node - 1)];
    Bytes &packet = flight.bytes;
    if (addressAt(packet, 16) == node.address) {
        if (node.echo && packet.size() >= 28 && packet[20] == 8)
            answer(flight, time, icmpMessage(node.address, 0, 0, Bytes(packet.begin() + 24, packet.end())));
        return;
    }
    if (packet[8] <= 1) {
        if (!node.silent)
            answer(flight, time, icmpError(node.address, 11, 0, packet, node.quote));
        return;
    }
    if (flight.node == static_cast<int>(s.nodes.size()))
        return;  // no route beyond the last node
    const int nextMtu = s.nodes[static_cast<size_t>(flight.node)].mtu;
    if (packet.size() > static_cast<size_t>(nextMtu)) {
        answer(flight, time, icmpError(node.address, 3, 4, packet, node.quote, nextMtu));
        return;
    }
    --packet[8];
    put16(packet, 10, 0);
    put16(packet, 10, checksum(packet.data(), 20));
    cross(flight.node + 1, time, std::move(flight));
}

// Moves every flight due by `limit` on.
void advance(int64_t limit)
{
    State &s = state();
    while (!s.flights.empty() && s.flights.begin()->first.first <= limit) {
        const int64_t time = s.flights.begin()->first.first;
        Flight flight = std::move(s.flights.begin()->second);
        s.flights.erase(s.flights.begin());
        arrive(time, std::move(flight));
    }
}

[[noreturn]] void unmodelled(const std::string &what)
{
    logLine("%s", what.c_str());
    std::fprintf(stderr, "fakenet: %s\n", what.c_str());
    std::_Exit(97);
}

// An accurate-mode probe: the ICMP message `message` to `destination` with this TTL.
ssize_t sendMessage(FakeSocket &socket, uint32_t destination, int ttl, const Bytes &message)
{
    State &s = init();
    const int number = s.probesSent++;
    ++s.messagesSent;
    Flight flight;
    flight.bytes = ipHeader(localAddress, destination, 1, static_cast<uint8_t>(ttl), message.size());
    flight.bytes.insert(flight.bytes.end(), message.begin(), message.end());
    flight.probe = number;
    const bool tooLong = flight.bytes.size() > static_cast<size_t>(s.nodes.front().mtu);
    logLine("send icmp ttl=%d to=%s len=%zu%s", ttl, addressText(destination).c_str(), message.size(),
            tooLong ? " refused: message too long" : "");
    if (tooLong) {
        s.now += sendCallNs;
        errno = EMSGSIZE;
        return -1;
    }
    const int64_t leaves = s.now + sendStampNs;
    int64_t stampDue = leaves;
    const auto range = s.script.equal_range(number);
    for (auto it = range.first; it != range.second; ++it) {
        const Event &e = it->second;
        if (e.what == "drop")
            flight.answered = false;
        else if (e.what == "late")
            flight.late = static_cast<int64_t>(e.value1) * 1000000;
        else if (e.what == "stamplate")
            stampDue = s.now + static_cast<int64_t>(e.value1) * 1000;
        else if (e.what == "errnote")
            s.errorQueue.push_back(ErrorNote{s.now + static_cast<int64_t>(e.value1) * 1000, s.generated++, false, 0, 0});
        else
            unmodelled("script event " + e.what + " is not modelled for sendmsg");
    }
    schedule(leaves, std::move(flight));
    if (socket.stampFlags & SOF_TIMESTAMPING_TX_SOFTWARE) {
        const uint32_t key = (socket.stampFlags & SOF_TIMESTAMPING_OPT_ID) ? socket.nextKey++ : 0;
        s.errorQueue.push_back(ErrorNote{stampDue, s.generated++, true, key, leaves});
    }
    s.now += sendCallNs;
    return static_cast<ssize_t>(message.size());
}

int64_t nextErrorNote()
{
    State &s = state();
    int64_t best = INT64_MAX;
    for (const ErrorNote &n : s.errorQueue)
        best = std::min(best, n.due);
    return best;
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

// Waits at most timeoutNs (negative: forever) for a datagram or a message of the error
// queue. What is then due: POLLIN, POLLERR or both; 0 after the time-out.
int waitFor(int64_t timeoutNs)
{
    State &s = init();
    if (++s.waits > s.waitLimit) {
        logLine("end: sends=%d waits=%ld: wait limit reached", s.messagesSent, s.waits);
        std::fprintf(stderr, "fakenet: %ld waits, a busy loop: run ended\n", s.waits);
        std::_Exit(98);
    }
    for (;;) {
        const int64_t ready = std::min(nextArrival(), nextErrorNote());
        const int64_t horizon = timeoutNs < 0 ? ready : std::min(ready, s.now + timeoutNs);
        if (s.flights.empty() || s.flights.begin()->first.first > horizon)
            break;
        advance(s.flights.begin()->first.first);
    }
    const int64_t next = std::min(nextArrival(), nextErrorNote());
    if (next != INT64_MAX && (timeoutNs < 0 || next <= s.now + timeoutNs)) {
        s.now = std::max(s.now, next);
        int due = 0;
        for (const Datagram &d : s.pending)
            due |= d.arrival <= s.now ? POLLIN : 0;
        for (const ErrorNote &n : s.errorQueue)
            due |= n.due <= s.now ? POLLERR : 0;
        return due;
    }
    if (timeoutNs < 0) {
        logLine("wait forever with nothing to come");
        std::fprintf(stderr, "fakenet: a wait without time-out and without a reply to come\n");
        std::_Exit(99);
    }
    s.now += timeoutNs;
    logLine("wait %lld.%06lld s: time-out", static_cast<long long>(timeoutNs / 1000000000),
            static_cast<long long>(timeoutNs % 1000000000 / 1000));
    return 0;
}

ssize_t takeDatagram(void *buffer, size_t capacity, int flags, sockaddr *from, socklen_t *fromLength,
                     int64_t *kernel = nullptr)
{
    State &s = init();
    advance(s.now);
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
    if (kernel != nullptr)
        *kernel = d.kernel;
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

// Appends one control message to a received message's control data, if there is room.
void addControl(msghdr *message, size_t room, int level, int type, const void *data, size_t length)
{
    if (message->msg_controllen + CMSG_SPACE(length) > room) {
        message->msg_flags |= MSG_CTRUNC;
        return;
    }
    auto *c = reinterpret_cast<cmsghdr *>(static_cast<char *>(message->msg_control) + message->msg_controllen);
    std::memset(c, 0, CMSG_SPACE(length));
    c->cmsg_level = level;
    c->cmsg_type = type;
    c->cmsg_len = CMSG_LEN(length);
    std::memcpy(CMSG_DATA(c), data, length);
    message->msg_controllen += CMSG_SPACE(length);
}

timespec realtime(int64_t monotonic)
{
    const int64_t t = monotonic + realtimeBaseNs;
    return timespec{static_cast<time_t>(t / 1000000000), static_cast<long>(t % 1000000000)};
}

void addStamp(msghdr *message, size_t room, int64_t at)
{
    scm_timestamping stamps{};
    stamps.ts[0] = realtime(at);
    addControl(message, room, SOL_SOCKET, SCM_TIMESTAMPING, &stamps, sizeof stamps);
}

// recvmsg(MSG_ERRQUEUE): the first message due, as the kernel gives it with
// SOF_TIMESTAMPING_OPT_TSONLY: no data, its stamp and its sock_extended_err.
ssize_t takeErrorNote(msghdr *message)
{
    State &s = init();
    auto best = s.errorQueue.end();
    for (auto it = s.errorQueue.begin(); it != s.errorQueue.end(); ++it)
        if (it->due <= s.now && (best == s.errorQueue.end() || it->due < best->due ||
                                 (it->due == best->due && it->order < best->order)))
            best = it;
    if (best == s.errorQueue.end()) {
        errno = EAGAIN;
        return -1;
    }
    const ErrorNote note = *best;
    s.errorQueue.erase(best);
    const size_t room = message->msg_control != nullptr ? message->msg_controllen : 0;
    message->msg_controllen = 0;
    message->msg_flags = MSG_ERRQUEUE;
    sock_extended_err error{};
    if (note.stamp) {
        addStamp(message, room, note.at);
        error.ee_errno = ENOMSG;
        error.ee_origin = SO_EE_ORIGIN_TIMESTAMPING;
        error.ee_info = SCM_TSTAMP_SND;
        error.ee_data = note.key;
    } else {
        error.ee_errno = EMSGSIZE;
        error.ee_origin = SO_EE_ORIGIN_LOCAL;
        error.ee_info = static_cast<uint32_t>(state().nodes.front().mtu);
    }
    addControl(message, room, SOL_IP, IP_RECVERR, &error, sizeof error);
    return 0;
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

// The accurate mode resolves with getaddrinfo: the same hosts, IPv4 only; a name with no
// entry is unknown (EAI_NONAME), whatever family is asked for.
int getaddrinfo(const char *node, const char *, const struct addrinfo *hints, struct addrinfo **result)
{
    State &s = init();
    const auto it = node ? s.hosts.find(node) : s.hosts.end();
    if (it == s.hosts.end() || (hints && hints->ai_family == AF_INET6))
        return EAI_NONAME;
    auto *address = static_cast<sockaddr_in *>(std::calloc(1, sizeof(sockaddr_in)));
    auto *info = static_cast<addrinfo *>(std::calloc(1, sizeof(addrinfo)));
    if (address == nullptr || info == nullptr) {
        std::free(address);
        std::free(info);
        return EAI_MEMORY;
    }
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(it->second);
    info->ai_family = AF_INET;
    info->ai_socktype = hints ? hints->ai_socktype : 0;
    info->ai_addrlen = sizeof(sockaddr_in);
    info->ai_addr = reinterpret_cast<sockaddr *>(address);
    *result = info;
    return 0;
}

void freeaddrinfo(struct addrinfo *info)
{
    while (info != nullptr) {
        addrinfo *next = info->ai_next;
        std::free(info->ai_addr);
        std::free(info);
        info = next;
    }
}

// The accurate mode's names of its hops: those of FAKENET_NAMES, none for another address.
int getnameinfo(const struct sockaddr *address, socklen_t length, char *host, socklen_t hostLength, char *service,
                socklen_t serviceLength, int flags)
{
    const State &s = init();
    if (address == nullptr || address->sa_family != AF_INET || length < sizeof(sockaddr_in) || host == nullptr)
        return EAI_NONAME;
    const uint32_t wanted = ntohl(reinterpret_cast<const sockaddr_in *>(address)->sin_addr.s_addr);
    const auto it = s.names.find(wanted);
    const std::string name = it != s.names.end() ? it->second : (flags & NI_NAMEREQD) ? "" : addressText(wanted);
    if (name.empty())
        return EAI_NONAME;
    if (name.size() + 1 > hostLength)
        return EAI_OVERFLOW;
    std::memcpy(host, name.c_str(), name.size() + 1);
    if (service != nullptr && serviceLength > 0)
        service[0] = '\0';
    return 0;
}

int clock_gettime(clockid_t clock, struct timespec *out)
{
    if (clock == CLOCK_MONOTONIC) {
        const int64_t now = init().now;
        out->tv_sec = static_cast<time_t>(now / 1000000000);
        out->tv_nsec = static_cast<long>(now % 1000000000);
        return 0;
    }
    if (clock == CLOCK_REALTIME) {
        *out = realtime(init().now);
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
    // Any other raw socket is refused, as to an unprivileged user: nothing leaves the
    // machine, whoever runs the test.
    if (kind == Kind::None && base == SOCK_RAW) {
        errno = EPERM;
        return -1;
    }
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
    if (level == SOL_SOCKET && name == SO_TIMESTAMPING && length >= static_cast<socklen_t>(sizeof(int)))
        std::memcpy(&it->second.stampFlags, value, sizeof(int));
    return 0;
}

int getsockopt(int fd, int level, int name, void *value, socklen_t *length)
{
    State &s = init();
    const auto it = s.sockets.find(fd);
    if (it == s.sockets.end() || level != IPPROTO_IP || name != IP_MTU)
        return real<int (*)(int, int, int, void *, socklen_t *)>("getsockopt")(fd, level, name, value, length);
    if (!it->second.connected) {
        errno = ENOTCONN;
        return -1;
    }
    const int mtu = s.nodes.front().mtu;
    std::memcpy(value, &mtu, std::min<size_t>(sizeof mtu, *length));
    *length = sizeof mtu;
    return 0;
}

int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    State &s = init();
    const auto it = s.sockets.find(fd);
    if (it == s.sockets.end())
        return real<int (*)(int, const sockaddr *, socklen_t)>("connect")(fd, address, length);
    it->second.connected = true;
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

ssize_t sendmsg(int fd, const struct msghdr *message, int flags)
{
    State &s = init();
    const auto it = s.sockets.find(fd);
    if (it == s.sockets.end() || it->second.kind != Kind::RawIcmp)
        return real<ssize_t (*)(int, const msghdr *, int)>("sendmsg")(fd, message, flags);
    Bytes data;
    for (size_t i = 0; i < message->msg_iovlen; ++i) {
        const auto *base = static_cast<const unsigned char *>(message->msg_iov[i].iov_base);
        data.insert(data.end(), base, base + message->msg_iov[i].iov_len);
    }
    int ttl = it->second.ttl;
    msghdr copy = *message;  // CMSG_NXTHDR takes no const header
    for (cmsghdr *c = CMSG_FIRSTHDR(&copy); c != nullptr; c = CMSG_NXTHDR(&copy, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int)))
            std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
    sockaddr_in target{};
    if (message->msg_name != nullptr)
        std::memcpy(&target, message->msg_name, std::min<size_t>(sizeof target, message->msg_namelen));
    return sendMessage(it->second, ntohl(target.sin_addr.s_addr), ttl, data);
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
    const bool ready = waitFor(ns) != 0;
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
    const int due = waitFor(timeoutNs);
    if (!due)
        return 0;
    fds[index].revents = static_cast<short>(due);
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
    if (flags & MSG_ERRQUEUE)
        return takeErrorNote(message);
    socklen_t nameLength = message->msg_namelen;
    int64_t kernel = -1;
    const ssize_t n = takeDatagram(message->msg_iov[0].iov_base, message->msg_iov[0].iov_len, flags,
                                   static_cast<sockaddr *>(message->msg_name), &nameLength, &kernel);
    message->msg_namelen = nameLength;
    const size_t room = message->msg_control != nullptr ? message->msg_controllen : 0;
    message->msg_controllen = 0;
    message->msg_flags = 0;
    if (n > static_cast<ssize_t>(message->msg_iov[0].iov_len))
        message->msg_flags |= MSG_TRUNC;
    if (n >= 0 && kernel >= 0 && (init().sockets[fd].stampFlags & SOF_TIMESTAMPING_RX_SOFTWARE))
        addStamp(message, room, kernel);
    return n;
}

// A fixed stream of numbers (splitmix64 over a counter), so that the secrets and seed a
// run draws are the same in every run.
ssize_t getrandom(void *buffer, size_t length, unsigned int)
{
    State &s = init();
    auto *out = static_cast<unsigned char *>(buffer);
    for (size_t done = 0; done < length; done += 8) {
        uint64_t z = s.randomSeed + ++s.randomDrawn * 0x9E3779B97F4A7C15ULL;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        z ^= z >> 31;
        std::memcpy(out + done, &z, std::min<size_t>(8, length - done));
    }
    return static_cast<ssize_t>(length);
}

}  // extern "C"
