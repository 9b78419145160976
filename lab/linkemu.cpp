// hoprate-linkemu: one emulated point-to-point link between two network namespaces.
//
// The process opens a TUN device in the left namespace and one in the right namespace
// (it enters each through /var/run/netns/NAME; a TUN descriptor stays bound to the
// namespace it was created in). Every packet read from one device, IPv4 or IPv6, is
// written to the other after FIFO queueing + size * 8 / rate + propagation delay, in each direction
// independently, optionally with extra random queueing delay (cross traffic) and loss.
// A link may hold hidden store-and-forward devices (each one more serialization at the
// link's rate) and run at another rate toward the source (the reverse direction). The
// node at the far (right) end can be given another ICMP behaviour: its ICMP and ICMPv6
// errors (time exceeded, unreachable, and packet too big), seen in the reverse direction,
// are cut to IP header + 8 bytes, extended to quote the whole offending datagram, or,
// for time exceeded, dropped.
// A packet's arrival time is the kernel's own: a packet socket on each device sees every
// packet the namespace transmits into it, stamped at that moment, so the time this
// process takes to wake up does not shift the packet's due time.
// Lateness (write time minus due time) of every packet is kept in a histogram and
// reported in the statistics file, rewritten every second and at exit.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "linkemu_core.h"

namespace {

constexpr int readBurst = 64;            // packets taken from one device per wake-up at most
constexpr size_t rememberedDatagrams = 64;  // forward datagrams kept to complete quotes

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

[[noreturn]] void die(const char *format, const char *detail)
{
    std::fprintf(stderr, "hoprate-linkemu: ");
    std::fprintf(stderr, format, detail);
    std::fprintf(stderr, "\n");
    std::exit(1);
}

[[noreturn]] void dieErrno(const char *what, const char *detail)
{
    std::fprintf(stderr, "hoprate-linkemu: %s %s: %s\n", what, detail, std::strerror(errno));
    std::exit(1);
}

int64_t nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// What the far-end node's ICMP errors quote: Linux's own (up to 576 bytes of message, left
// as it is), IP header + 8 bytes, or the whole offending datagram.
enum class Quote { linux576, header8, whole };

struct Options {
    std::string leftNs, leftDev, rightNs, rightDev;
    std::string statsPath;
    std::string tag;
    double rate = 0;
    double backRate = 0;  // reverse direction; 0: the same as rate
    int hiddenDevices = 0;
    size_t mtu = 1500;
    bool farEndSet = false;
    uint32_t farEnd = 0;  // host byte order
    std::string farEndText;
    bool farEnd6Set = false;
    unsigned char farEnd6[16] = {};
    std::string farEnd6Text;
    Quote quote = Quote::linux576;
    bool silent = false;
    int64_t delayNs = 0;
    int64_t jitterMeanNs = 0;
    double jitterProbability = 1.0;
    double loss = 0;
    bool shortQuote = false;
    size_t queueSlots = 256;
    int64_t spinNs = 1000000;
    int cpu = -1;
    bool realtime = false;
    int64_t lifetimeNs = int64_t(6) * 3600 * 1000000000;
    uint64_t seed = 0;
    int64_t logLateNs = -1;
    bool kernelStamps = true;
    int cpuLatencyUs = -1;  // >= 0: hold a CPU latency request of this many microseconds
};

const char usageText[] =
    "usage: hoprate-linkemu --left-ns NS --left-dev DEV --right-ns NS --right-dev DEV\n"
    "         --rate RATE [--back-rate RATE] [--delay TIME] [--l2 N] [--mtu N]\n"
    "         [--jitter MEAN] [--jitter-prob P] [--loss P] [--short-quote]\n"
    "         [--far-end ADDR [--far-end ADDR6] [--quote 28|576|all] [--silent]]\n"
    "         [--queue N] [--spin TIME] [--cpu N] [--realtime]\n"
    "         [--stats FILE] [--lifetime TIME] [--seed N] [--tag TEXT]\n"
    "         [--log-late TIME] [--no-kernel-stamps] [--cpu-latency US]\n"
    "RATE like 10M, 800K, 1G; TIME like 1ms, 250us, 0. Delays apply per direction.\n"
    "--back-rate: the rate toward the left (source) side; --l2 N: N hidden store-and-forward\n"
    "devices in the link (0 to 16); --mtu N: the largest packet (68 to 9000, default 1500).\n"
    "--quote and --silent act on the ICMP and ICMPv6 errors sent by the right-hand node, from\n"
    "its IPv4 address ADDR or IPv6 address ADDR6 (--far-end once for each): quote 28 cuts them\n"
    "to IP header + 8 bytes (IPv6: 40 + 8), all extends them to the whole offending datagram\n"
    "(at most N bytes), 576 leaves them; --silent drops its time-exceeded messages.\n"
    "--short-quote cuts every ICMP and ICMPv6 error in both directions to IP header + 8 bytes.\n"
    "--cpu-latency US holds a CPU latency request (/dev/cpu_dma_latency) while running: with 0,\n"
    "idle CPUs poll instead of halting, so the kernels of the path's nodes answer as fast after\n"
    "a long hold as after a short one.\n";

double parseProbability(const std::string &text, const char *option)
{
    char *end = nullptr;
    const double p = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(p >= 0 && p <= 1))
        die("%s needs a probability between 0 and 1", option);
    return p;
}

// A whole decimal number from low to high, or -1.
long parseCount(const std::string &text, long low, long high)
{
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const long n = std::strtol(text.c_str(), nullptr, 10);
    return (n >= low && n <= high) ? n : -1;
}

int64_t parseTime(const std::string &text, const char *option)
{
    const int64_t ns = linkemu::parseDuration(text);
    if (ns < 0)
        die("%s needs a duration such as 1ms, 250us or 0", option);
    return ns;
}

Options parseOptions(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                die("%s needs a value", arg.c_str());
            return argv[++i];
        };
        if (arg == "--left-ns")
            o.leftNs = value();
        else if (arg == "--left-dev")
            o.leftDev = value();
        else if (arg == "--right-ns")
            o.rightNs = value();
        else if (arg == "--right-dev")
            o.rightDev = value();
        else if (arg == "--rate") {
            o.rate = linkemu::parseRate(value());
            if (o.rate <= 0)
                die("%s needs a positive rate such as 10M", "--rate");
        } else if (arg == "--back-rate") {
            o.backRate = linkemu::parseRate(value());
            if (o.backRate <= 0)
                die("%s needs a positive rate such as 10M", "--back-rate");
        } else if (arg == "--l2") {
            const long n = parseCount(value(), 0, linkemu::LinkDirection::maxHiddenDevices);
            if (n < 0)
                die("%s needs a device count from 0 to 16", "--l2");
            o.hiddenDevices = static_cast<int>(n);
        } else if (arg == "--mtu") {
            const long n = parseCount(value(), 68, 9000);
            if (n < 0)
                die("%s needs a packet size from 68 to 9000", "--mtu");
            o.mtu = static_cast<size_t>(n);
        } else if (arg == "--far-end") {
            const std::string text = value();
            in_addr address{};
            in6_addr address6{};
            if (inet_pton(AF_INET, text.c_str(), &address) == 1 && !o.farEndSet) {
                o.farEndText = text;
                o.farEnd = ntohl(address.s_addr);
                o.farEndSet = true;
            } else if (inet_pton(AF_INET6, text.c_str(), &address6) == 1 && !o.farEnd6Set) {
                o.farEnd6Text = text;
                std::memcpy(o.farEnd6, &address6, sizeof o.farEnd6);
                o.farEnd6Set = true;
            } else
                die("%s needs an IPv4 or an IPv6 address, at most one of each", "--far-end");
        } else if (arg == "--quote") {
            const std::string mode = value();
            if (mode == "576")
                o.quote = Quote::linux576;
            else if (mode == "28")
                o.quote = Quote::header8;
            else if (mode == "all")
                o.quote = Quote::whole;
            else
                die("%s needs 28, 576 or all", "--quote");
        } else if (arg == "--silent")
            o.silent = true;
        else if (arg == "--delay")
            o.delayNs = parseTime(value(), "--delay");
        else if (arg == "--jitter")
            o.jitterMeanNs = parseTime(value(), "--jitter");
        else if (arg == "--jitter-prob")
            o.jitterProbability = parseProbability(value(), "--jitter-prob");
        else if (arg == "--loss")
            o.loss = parseProbability(value(), "--loss");
        else if (arg == "--short-quote")
            o.shortQuote = true;
        else if (arg == "--queue") {
            const int n = std::atoi(value().c_str());
            if (n < 1 || n > 100000)
                die("%s needs a packet count from 1 to 100000", "--queue");
            o.queueSlots = static_cast<size_t>(n);
        } else if (arg == "--spin")
            o.spinNs = parseTime(value(), "--spin");
        else if (arg == "--cpu")
            o.cpu = std::atoi(value().c_str());
        else if (arg == "--realtime")
            o.realtime = true;
        else if (arg == "--stats")
            o.statsPath = value();
        else if (arg == "--lifetime")
            o.lifetimeNs = parseTime(value(), "--lifetime");
        else if (arg == "--seed")
            o.seed = std::strtoull(value().c_str(), nullptr, 10);
        else if (arg == "--log-late")
            o.logLateNs = parseTime(value(), "--log-late");
        else if (arg == "--no-kernel-stamps")
            o.kernelStamps = false;
        else if (arg == "--cpu-latency") {
            o.cpuLatencyUs = std::atoi(value().c_str());
            if (o.cpuLatencyUs < 0 || o.cpuLatencyUs > 1000000)
                die("%s needs microseconds from 0 to 1000000", "--cpu-latency");
        }
        else if (arg == "--tag")
            o.tag = value();
        else if (arg == "-h" || arg == "--help") {
            std::fputs(usageText, stdout);
            std::exit(0);
        } else {
            std::fputs(usageText, stderr);
            die("unknown argument %s", arg.c_str());
        }
    }
    if (o.leftNs.empty() || o.leftDev.empty() || o.rightNs.empty() || o.rightDev.empty() || o.rate <= 0) {
        std::fputs(usageText, stderr);
        std::exit(1);
    }
    if (o.leftDev.size() >= IFNAMSIZ || o.rightDev.size() >= IFNAMSIZ)
        die("device names have at most %s characters", "15");
    if ((o.quote != Quote::linux576 || o.silent) && !o.farEndSet && !o.farEnd6Set)
        die("%s", "--quote and --silent need --far-end ADDR");
    return o;
}

// The two descriptors of one side of the link: the TUN device, and a packet socket that
// sees what the namespace transmits into that device, with kernel receive timestamps
// (-1 when kernel stamps are off).
struct Side {
    int tunFd = -1;
    int tapFd = -1;
};

// A packet socket bound to device index ifindex that receives only the packets the
// namespace sends out through it (classic BPF on the packet type), stamped by the kernel.
int openTap(int ifindex, const std::string &dev)
{
    const int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    if (fd < 0)
        dieErrno("packet socket for", dev.c_str());
    sock_filter code[] = {
        {BPF_LD | BPF_B | BPF_ABS, 0, 0, static_cast<uint32_t>(SKF_AD_OFF + SKF_AD_PKTTYPE)},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 1, PACKET_OUTGOING},
        {BPF_RET | BPF_K, 0, 0, 0xFFFF},
        {BPF_RET | BPF_K, 0, 0, 0},
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0)
        dieErrno("SO_ATTACH_FILTER on", dev.c_str());
    const int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0)
        dieErrno("SO_TIMESTAMPNS on", dev.c_str());
    const int buffer = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = ifindex;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        dieErrno("bind packet socket to", dev.c_str());
    return fd;
}

// Creates TUN device dev inside namespace ns, and its tap when asked for.
Side openSide(const std::string &ns, const std::string &dev, bool withTap)
{
    const std::string nsPath = "/var/run/netns/" + ns;
    const int nsFd = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0)
        dieErrno("open", nsPath.c_str());
    if (setns(nsFd, CLONE_NEWNET) != 0)
        dieErrno("setns", nsPath.c_str());
    close(nsFd);
    Side side;
    side.tunFd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (side.tunFd < 0)
        dieErrno("open", "/dev/net/tun");
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, dev.c_str(), IFNAMSIZ - 1);
    if (ioctl(side.tunFd, TUNSETIFF, &request) != 0)
        dieErrno("TUNSETIFF", dev.c_str());
    if (withTap) {
        if (ioctl(side.tunFd, SIOCGIFINDEX, &request) != 0) {
            // The TUN descriptor answers no interface ioctls on some kernels; any socket of the namespace does.
            const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            if (probe < 0 || ioctl(probe, SIOCGIFINDEX, &request) != 0)
                dieErrno("SIOCGIFINDEX", dev.c_str());
            close(probe);
        }
        side.tapFd = openTap(request.ifr_ifindex, dev);
    }
    return side;
}

struct Slot {
    int64_t due = 0;
    size_t len = 0;
    unsigned char *data = nullptr;  // slotBytes bytes of the direction's storage
};

// One direction: packets that the namespace of `from` sends into its device wait here
// until their due time, then go out of the device of `to`.
struct Direction {
    const char *name = "";
    Side from;
    int outFd = -1;
    linkemu::LinkDirection link;
    std::vector<unsigned char> storage;
    std::vector<Slot> slots;
    size_t head = 0;
    size_t count = 0;
    uint64_t packets = 0, bytes = 0, lost = 0, overflow = 0, trimmed = 0, padded = 0, silenced = 0, writeErrors = 0;
    linkemu::LatenessHistogram lateness;

    Slot &front() { return slots[head]; }
    Slot &tail() { return slots[(head + count) % slots.size()]; }
    bool full() const { return count == slots.size(); }
};

class Emulator {
public:
    explicit Emulator(const Options &options)
        : opt(options), random(options.seed ? options.seed : nowNs()),
          // Room for the largest packet the devices pass, and one byte more to tell a
          // larger one (which the device should never hand over) from it.
          slotBytes(std::max<size_t>(2048, options.mtu + 1)),
          sentForward(options.quote == Quote::whole ? rememberedDatagrams : 0, options.mtu)
    {
    }

    void run(Side left, Side right);

private:
    void setUpDirection(Direction &d, const char *name, Side from, int outFd, double rate);
    bool applyFarEndRules(Direction &d, Slot &slot);
    void readArrivals(Direction &d);
    ssize_t readStamped(Direction &d, unsigned char *buffer, size_t capacity, int64_t &arrival);
    void drainTun(Direction &d);
    int64_t monotonicFromRealtime(const timespec &stamp);
    void deliverDue();
    void writeStats(bool final);

    const Options &opt;
    std::mt19937_64 random;
    size_t slotBytes;
    linkemu::DatagramMemory sentForward;  // what the far-end node received, to complete its quotes
    std::uniform_real_distribution<double> uniform{0.0, 1.0};
    Direction forward, reverse;
    unsigned char scratch[65536];
    uint64_t statsVersion = 0, statsWritten = ~uint64_t(0);
    uint64_t stampRejects = 0;
    int64_t lastWake = 0;
    int64_t realtimeOffset = 0;  // CLOCK_REALTIME - CLOCK_MONOTONIC, renewed every second
    unsigned char drainBuffer[65536];
};

int64_t realtimeOffsetNow()
{
    timespec real{};
    clock_gettime(CLOCK_REALTIME, &real);
    const int64_t mono = nowNs();
    return static_cast<int64_t>(real.tv_sec) * 1000000000 + real.tv_nsec - mono;
}

int64_t Emulator::monotonicFromRealtime(const timespec &stamp)
{
    return static_cast<int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec - realtimeOffset;
}

// The TUN device queues a copy of every packet the tap already delivered; those copies
// are read and dropped so that the device's queue never fills.
void Emulator::drainTun(Direction &d)
{
    for (int i = 0; i < readBurst; ++i) {
        const ssize_t n = read(d.from.tunFd, drainBuffer, sizeof drainBuffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return;
    }
}

// Reads one packet of this direction and its arrival time: from the tap with the
// kernel's timestamp, or from the TUN device stamped now when kernel stamps are off.
ssize_t Emulator::readStamped(Direction &d, unsigned char *buffer, size_t capacity, int64_t &arrival)
{
    if (d.from.tapFd < 0) {
        const ssize_t n = read(d.from.tunFd, buffer, capacity);
        arrival = nowNs();
        return n;
    }
    iovec part{buffer, capacity};
    alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(d.from.tapFd, &message, MSG_TRUNC);
    arrival = nowNs();
    if (n < 0)
        return n;
    for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            const int64_t kernelArrival = monotonicFromRealtime(stamp);
            // A stamp from the future or older than a second is not trusted.
            if (kernelArrival <= arrival && arrival - kernelArrival < 1000000000)
                arrival = kernelArrival;
            else
                stampRejects += 1;
        }
    }
    return n;
}

void Emulator::setUpDirection(Direction &d, const char *name, Side from, int outFd, double rate)
{
    d.name = name;
    d.from = from;
    d.outFd = outFd;
    d.link.rateBitsPerSecond = rate;
    d.link.propagationNs = opt.delayNs;
    d.link.hiddenDevices = opt.hiddenDevices;
    d.storage.assign(opt.queueSlots * slotBytes, 0);
    d.slots.resize(opt.queueSlots);
    for (size_t i = 0; i < d.slots.size(); ++i)
        d.slots[i].data = d.storage.data() + i * slotBytes;
}

// The far-end node's ICMP behaviour, applied to the packets it sends toward the source
// (the reverse direction). Returns false when the packet is to be dropped.
bool Emulator::applyFarEndRules(Direction &d, Slot &slot)
{
    if ((!opt.farEndSet && !opt.farEnd6Set) || &d != &reverse)
        return true;
    const linkemu::IcmpError error = linkemu::inspectIcmpError(slot.data, slot.len);
    const bool fromFarEnd =
        (error.version == 4 && opt.farEndSet && error.source == opt.farEnd) ||
        (error.version == 6 && opt.farEnd6Set &&
         std::equal(std::begin(error.source6), std::end(error.source6), std::begin(opt.farEnd6)));
    if (!fromFarEnd)
        return true;
    if (opt.silent && error.timeExceeded) {
        d.silenced += 1;
        return false;
    }
    if (opt.quote == Quote::header8) {
        const size_t trimmedLen = linkemu::trimIcmpQuote(slot.data, slot.len);
        if (trimmedLen != slot.len)
            d.trimmed += 1;
        slot.len = trimmedLen;
    } else if (opt.quote == Quote::whole) {
        // inspectIcmpError checked that the quote lies within the packet.
        const std::vector<unsigned char> *original =
            sentForward.find(slot.data + error.quoteStart, slot.len - error.quoteStart);
        const size_t paddedLen = linkemu::padIcmpQuote(slot.data, slot.len, opt.mtu, original ? original->data() : nullptr,
                                                       original ? original->size() : 0);
        if (paddedLen != slot.len)
            d.padded += 1;
        slot.len = paddedLen;
    }
    return true;
}

void Emulator::readArrivals(Direction &d)
{
    for (int i = 0; i < readBurst; ++i) {
        const bool full = d.full();
        unsigned char *buffer = full ? scratch : d.tail().data;
        const size_t capacity = full ? sizeof scratch : slotBytes;
        int64_t arrival = 0;
        const ssize_t n = readStamped(d, buffer, capacity, arrival);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                break;
            dieErrno("read from", d.name);
        }
        statsVersion += 1;
        if (full || static_cast<size_t>(n) > slotBytes - 1) {
            d.overflow += 1;
            continue;
        }
        if (opt.loss > 0 && uniform(random) < opt.loss) {
            d.lost += 1;
            continue;
        }
        Slot &slot = d.tail();
        slot.len = static_cast<size_t>(n);
        if (opt.shortQuote) {
            const size_t trimmedLen = linkemu::trimIcmpQuote(slot.data, slot.len);
            if (trimmedLen != slot.len)
                d.trimmed += 1;
            slot.len = trimmedLen;
        }
        if (!applyFarEndRules(d, slot))
            continue;
        if (opt.quote == Quote::whole && &d == &forward)
            sentForward.remember(slot.data, slot.len);
        int64_t extra = 0;
        if (opt.jitterMeanNs > 0 && (opt.jitterProbability >= 1.0 || uniform(random) < opt.jitterProbability))
            extra = static_cast<int64_t>(-std::log(1.0 - uniform(random)) * static_cast<double>(opt.jitterMeanNs));
        slot.due = d.link.admit(arrival, slot.len, extra);
        d.count += 1;
    }
    if (d.from.tapFd >= 0)
        drainTun(d);
}

// Writes every packet whose due time is within the spin window, spinning on the clock
// for the last stretch. While more than 5 us remain, arrivals are still taken in so that
// their arrival times stay exact; the final microseconds are a pure clock spin.
void Emulator::deliverDue()
{
    for (;;) {
        Direction *d = nullptr;
        if (forward.count > 0)
            d = &forward;
        if (reverse.count > 0 && (d == nullptr || reverse.front().due < d->front().due))
            d = &reverse;
        if (d == nullptr)
            return;
        const int64_t due = d->front().due;
        int64_t now = nowNs();
        if (due - now > opt.spinNs)
            return;
        while (now < due) {
            if (due - now > 5000) {
                if (!forward.full())
                    readArrivals(forward);
                if (!reverse.full())
                    readArrivals(reverse);
            }
            now = nowNs();
        }
        Slot &slot = d->front();
        const int64_t leaving = nowNs();
        const ssize_t written = write(d->outFd, slot.data, slot.len);
        d->lateness.add(leaving - slot.due);
        if (opt.logLateNs >= 0 && leaving - slot.due > opt.logLateNs)
            std::fprintf(stderr, "late %lld ns: %s packet of %zu bytes, due %lld, woke %lld ns before due\n",
                         static_cast<long long>(leaving - slot.due), d->name, slot.len, static_cast<long long>(slot.due),
                         static_cast<long long>(slot.due - lastWake));
        if (written < 0)
            d->writeErrors += 1;
        d->packets += 1;
        d->bytes += slot.len;
        d->head = (d->head + 1) % d->slots.size();
        d->count -= 1;
        statsVersion += 1;
    }
}

void Emulator::writeStats(bool final)
{
    if (opt.statsPath.empty() || (statsVersion == statsWritten && !final))
        return;
    statsWritten = statsVersion;
    const std::string temporary = opt.statsPath + ".tmp";
    FILE *out = std::fopen(temporary.c_str(), "w");
    if (out == nullptr)
        return;
    linkemu::LatenessHistogram all;
    all.merge(forward.lateness);
    all.merge(reverse.lateness);
    std::fprintf(out, "tag=%s\nrate_bps=%.0f\ndelay_ns=%lld\nshort_quote=%d\nfinal=%d\n", opt.tag.c_str(), opt.rate,
                 static_cast<long long>(opt.delayNs), opt.shortQuote ? 1 : 0, final ? 1 : 0);
    static const char *const quoteNames[] = {"576", "28", "all"};
    std::fprintf(out, "back_rate_bps=%.0f\nl2=%d\nmtu=%zu\nfar_end=%s\nfar_end6=%s\nquote=%s\nsilent=%d\n",
                 reverse.link.rateBitsPerSecond, opt.hiddenDevices, opt.mtu,
                 opt.farEndSet ? opt.farEndText.c_str() : "-", opt.farEnd6Set ? opt.farEnd6Text.c_str() : "-",
                 quoteNames[static_cast<int>(opt.quote)], opt.silent ? 1 : 0);
    for (const Direction *d : {&forward, &reverse}) {
        std::fprintf(out,
                     "%s_packets=%llu\n%s_bytes=%llu\n%s_lost=%llu\n%s_overflow=%llu\n%s_trimmed=%llu\n"
                     "%s_padded=%llu\n%s_silenced=%llu\n%s_write_errors=%llu\n",
                     d->name, static_cast<unsigned long long>(d->packets), d->name,
                     static_cast<unsigned long long>(d->bytes), d->name, static_cast<unsigned long long>(d->lost),
                     d->name, static_cast<unsigned long long>(d->overflow), d->name,
                     static_cast<unsigned long long>(d->trimmed), d->name, static_cast<unsigned long long>(d->padded),
                     d->name, static_cast<unsigned long long>(d->silenced), d->name,
                     static_cast<unsigned long long>(d->writeErrors));
    }
    std::fprintf(out, "kernel_stamps=%d\nstamp_rejects=%llu\n", opt.kernelStamps ? 1 : 0,
                 static_cast<unsigned long long>(stampRejects));
    std::fprintf(out, "late_count=%llu\nlate_median_ns=%lld\nlate_p99_ns=%lld\nlate_max_ns=%lld\n",
                 static_cast<unsigned long long>(all.count()), static_cast<long long>(all.quantile(0.5)),
                 static_cast<long long>(all.quantile(0.99)), static_cast<long long>(all.maximum()));
    std::fclose(out);
    std::rename(temporary.c_str(), opt.statsPath.c_str());
}

void Emulator::run(Side left, Side right)
{
    setUpDirection(forward, "forward", left, right.tunFd, opt.rate);
    setUpDirection(reverse, "reverse", right, left.tunFd, opt.backRate > 0 ? opt.backRate : opt.rate);
    realtimeOffset = realtimeOffsetNow();
    writeStats(true);  // the statistics file appearing tells the lab the devices exist
    const int64_t started = nowNs();
    int64_t nextStats = started + 1000000000;
    while (!stopRequested) {
        deliverDue();
        const int64_t now = nowNs();
        if (now - started >= opt.lifetimeNs)
            break;
        if (now >= nextStats) {
            writeStats(false);
            realtimeOffset = realtimeOffsetNow();
            nextStats = now + 1000000000;
        }
        int64_t wait = 100000000;  // wake at least every 100 ms for signals and statistics
        for (Direction *d : {&forward, &reverse})
            if (d->count > 0)
                wait = std::min(wait, d->front().due - now - opt.spinNs);
        if (wait < 0)
            wait = 0;
        // Per direction: where packets are read (tap or device), and the device to drain.
        pollfd fds[4] = {
            {forward.full() ? -1 : (left.tapFd >= 0 ? left.tapFd : left.tunFd), POLLIN, 0},
            {reverse.full() ? -1 : (right.tapFd >= 0 ? right.tapFd : right.tunFd), POLLIN, 0},
            {left.tapFd >= 0 ? left.tunFd : -1, POLLIN, 0},
            {right.tapFd >= 0 ? right.tunFd : -1, POLLIN, 0},
        };
        const timespec timeout{static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)};
        const int ready = ppoll(fds, 4, &timeout, nullptr);
        lastWake = nowNs();
        if (ready < 0 && errno != EINTR)
            dieErrno("ppoll", "");
        if (ready > 0) {
            if (fds[0].revents & POLLIN)
                readArrivals(forward);
            if (fds[1].revents & POLLIN)
                readArrivals(reverse);
            if (fds[2].revents & POLLIN)
                drainTun(forward);
            if (fds[3].revents & POLLIN)
                drainTun(reverse);
            // A tap reports a pending error (ENETDOWN while its device is still down) as
            // POLLERR: reading SO_ERROR clears it. Trouble on a device descriptor ends the link.
            for (int i = 0; i < 4; ++i) {
                if (!(fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)))
                    continue;
                const bool isTap = (i == 0 && left.tapFd >= 0) || (i == 1 && right.tapFd >= 0);
                if (!isTap || (fds[i].revents & POLLNVAL))
                    die("%s", "a device went away");
                int error = 0;
                socklen_t errorLength = sizeof error;
                getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &error, &errorLength);
            }
        }
    }
    writeStats(true);
}

}  // namespace

int main(int argc, char **argv)
{
    // It lives as long as the lab: no descriptor its starter handed down (a lock that
    // flock(1) holds for the command that brought the lab up, say) is kept that long.
    close_range(3, ~0U, 0);
    const Options options = parseOptions(argc, argv);

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    // Wake-ups from ppoll should come when asked for, not up to 50 us later.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    if (options.cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(options.cpu, &set);
        if (sched_setaffinity(0, sizeof set, &set) != 0)
            dieErrno("sched_setaffinity", "");
    }
    if (options.realtime) {
        sched_param param{};
        param.sched_priority = 10;
        // Without the right to it the link still works, only with later wake-ups.
        if (sched_setscheduler(0, SCHED_FIFO, &param) != 0)
            std::fprintf(stderr, "hoprate-linkemu: SCHED_FIFO refused (%s); running at normal priority\n",
                         std::strerror(errno));
    }

    // A CPU that halts when idle takes tens of microseconds longer to run the kernel code
    // behind a packet (forwarding, an echo reply) after a long hold than after a short
    // one, which reads as a slower link. The request lasts as long as the descriptor.
    int latencyRequest = -1;
    if (options.cpuLatencyUs >= 0) {
        latencyRequest = open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
        const int32_t value = options.cpuLatencyUs;
        if (latencyRequest < 0 || write(latencyRequest, &value, sizeof value) != sizeof value)
            std::fprintf(stderr, "hoprate-linkemu: no CPU latency request (%s); idle CPUs may halt\n",
                         std::strerror(errno));
    }

    const Side left = openSide(options.leftNs, options.leftDev, options.kernelStamps);
    const Side right = openSide(options.rightNs, options.rightDev, options.kernelStamps);

    static Emulator emulator(options);  // large scratch buffers: keep them off the stack
    emulator.run(left, right);
    if (latencyRequest >= 0)
        close(latencyRequest);
    return 0;
}
