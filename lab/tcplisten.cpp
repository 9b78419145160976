// hoprate-lab-listen: an open TCP port in one network namespace of the path lab.
//
// The process enters the namespace (through /var/run/netns/NAME), listens on the port
// over IPv4 and, where the namespace has IPv6, over IPv6, and closes every connection it
// accepts at once, so the kernel answers every SYN to the port with a SYN-ACK however
// many handshakes complete. It ends on TERM, INT or HUP, or when its lifetime is over.
// Once both sockets listen it creates the --ready file, which tells the lab it may go on.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "linkemu_core.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int)
{
    stopRequested = 1;
}

int64_t nowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

[[noreturn]] void dieErrno(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "hoprate-lab-listen: %s %s: %s\n", what, detail.c_str(), std::strerror(errno));
    std::exit(1);
}

[[noreturn]] void usage()
{
    std::fputs("usage: hoprate-lab-listen --ns NAME --port PORT [--ready FILE] [--lifetime TIME]\n"
               "         [--tag TEXT]\n"
               "Listens on TCP port PORT (1 to 65535) over IPv4 and IPv6 in network namespace NAME and\n"
               "closes every connection it accepts; creates FILE once it listens. The lifetime (like\n"
               "300s or 1ms; default 6 hours) bounds how long it runs; the tag only marks its command line.\n",
               stderr);
    std::exit(1);
}

// A whole decimal number from low to high, or -1.
long parseCount(const char *text, long low, long high)
{
    const std::string s = text;
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const long n = std::strtol(text, nullptr, 10);
    return (n >= low && n <= high) ? n : -1;
}

// A listening socket of family on port; -1 when the family is not available there (IPv6
// disabled in the namespace). Any other failure ends the program.
int listenOn(int family, int port)
{
    const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (family == AF_INET6 && errno == EAFNOSUPPORT)
            return -1;
        dieErrno("socket for port", std::to_string(port));
    }
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int bound = -1;
    if (family == AF_INET6) {
        // The IPv4 socket answers IPv4; this one IPv6 only.
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        address.sin6_addr = in6addr_any;
        bound = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        if (bound != 0 && (errno == EADDRNOTAVAIL || errno == EAFNOSUPPORT)) {
            close(fd);
            return -1;
        }
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        bound = bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    if (bound != 0)
        dieErrno("bind to port", std::to_string(port));
    if (listen(fd, 128) != 0)
        dieErrno("listen on port", std::to_string(port));
    return fd;
}

}  // namespace

int main(int argc, char **argv)
{
    close_range(3, ~0U, 0);  // it lives as long as the lab: nothing handed down is kept that long
    std::string ns, readyPath;
    long port = -1;
    int64_t lifetimeNs = int64_t(6) * 3600 * 1000000000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            usage();
        const char *value = argv[++i];
        if (arg == "--ns")
            ns = value;
        else if (arg == "--port")
            port = parseCount(value, 1, 65535);
        else if (arg == "--ready")
            readyPath = value;
        else if (arg == "--lifetime")
            lifetimeNs = linkemu::parseDuration(value);
        else if (arg != "--tag")
            usage();
    }
    if (ns.empty() || port < 0 || lifetimeNs < 0)
        usage();

    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    const std::string nsPath = "/var/run/netns/" + ns;
    const int nsFd = open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFd < 0)
        dieErrno("open", nsPath);
    if (setns(nsFd, CLONE_NEWNET) != 0)
        dieErrno("setns", nsPath);
    close(nsFd);

    const int fds[2] = {listenOn(AF_INET, static_cast<int>(port)), listenOn(AF_INET6, static_cast<int>(port))};
    if (!readyPath.empty()) {
        const int ready = open(readyPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (ready < 0)
            dieErrno("create", readyPath);
        close(ready);
    }

    const int64_t started = nowNs();
    while (!stopRequested && nowNs() - started < lifetimeNs) {
        pollfd waiting[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};  // a negative fd is skipped
        const int ready = poll(waiting, 2, 1000);
        if (ready < 0 && errno != EINTR)
            dieErrno("poll on port", std::to_string(port));
        for (int i = 0; i < 2 && ready > 0; ++i) {
            if (!(waiting[i].revents & POLLIN))
                continue;
            // A bounded number per wake-up; whatever is left is taken at the next.
            for (int n = 0; n < 64; ++n) {
                const int connection = accept4(fds[i], nullptr, nullptr, SOCK_CLOEXEC);
                if (connection < 0)
                    break;
                close(connection);
            }
        }
    }
    return 0;
}
