#include "net/host_names.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace hoprate {

namespace {

// A descriptor, closed with its owner (-1: none).
class Descriptor {
public:
    explicit Descriptor(int descriptor) : fd(descriptor) {}
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd; }

private:
    int fd;
};

// What the look-ups of one call share: the names, by the index of their address, and an
// eventfd on which each look-up counts itself done. Its last owner, the caller or a
// look-up that outlived the call, frees it and closes the eventfd.
struct Board {
    explicit Board(size_t count) : names(count) {}
    std::mutex mutex;
    std::vector<std::optional<std::string>> names;
    Descriptor done{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

void lookUpOne(const std::shared_ptr<Board> &board, size_t index, const IpAddress &address, const NameLookup &lookup)
{
    std::optional<std::string> name;
    try {
        name = lookup(address);
    } catch (const std::exception &) {
        name.reset();  // out of memory, say: this address goes without a name
    }
    {
        const std::lock_guard<std::mutex> hold(board->mutex);
        board->names[index] = std::move(name);
    }
    eventfd_write(board->done.get(), 1);
}

// Starts a thread for each address and returns how many started. The threads begin with
// every signal blocked, so that a signal meant for the program reaches its main thread.
size_t startLookUps(const std::shared_ptr<Board> &board, const std::vector<IpAddress> &addresses,
                    const NameLookup &lookup)
{
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    size_t started = 0;
    for (size_t i = 0; i < addresses.size(); ++i) {
        try {
            std::thread(lookUpOne, board, i, addresses[i], lookup).detach();
            ++started;
        } catch (const std::exception &) {
            break;  // no more threads (a limit reached): the other addresses go without names
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return started;
}

}  // namespace

std::optional<std::string> reverseName(const IpAddress &address)
{
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (address.family == Family::V4) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, address.bytes.data(), 4);
        std::memcpy(&storage, &v4, sizeof v4);
        length = sizeof v4;
    } else {
        sockaddr_in6 v6{};
        v6.sin6_family = AF_INET6;
        std::memcpy(&v6.sin6_addr, address.bytes.data(), 16);
        std::memcpy(&storage, &v6, sizeof v6);
        length = sizeof v6;
    }
    char host[NI_MAXHOST];
    const auto *socketAddress = reinterpret_cast<const sockaddr *>(&storage);
    if (getnameinfo(socketAddress, length, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return std::nullopt;
    return std::string(host);
}

std::map<IpAddress, std::string> lookUpNames(const std::vector<IpAddress> &addresses, std::chrono::milliseconds within,
                                             const NameLookup &lookup)
{
    std::vector<IpAddress> distinct = addresses;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::map<IpAddress, std::string> found;
    if (distinct.empty() || within.count() <= 0)
        return found;

    // The deadline is a timer of the kernel's, armed once: the wait below wakes for each
    // look-up that ends, and none of them moves it; no clock is read.
    const Descriptor timer(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    const auto board = std::make_shared<Board>(distinct.size());
    itimerspec expiry{};
    expiry.it_value.tv_sec = static_cast<time_t>(within.count() / 1000);
    expiry.it_value.tv_nsec = static_cast<long>(within.count() % 1000 * 1000000);
    if (timer.get() < 0 || board->done.get() < 0 || timerfd_settime(timer.get(), 0, &expiry, nullptr) != 0)
        return found;  // nothing to end the wait with: no names rather than a wait without end

    const size_t started = startLookUps(board, distinct, lookup);
    uint64_t ended = 0;
    while (ended < started) {
        pollfd ready[2] = {{board->done.get(), POLLIN, 0}, {timer.get(), POLLIN, 0}};
        if (poll(ready, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        eventfd_t count = 0;
        if ((ready[0].revents & POLLIN) != 0 && eventfd_read(board->done.get(), &count) == 0)
            ended += count;
        if (ready[1].revents != 0)
            break;  // the time is up
    }
    const std::lock_guard<std::mutex> hold(board->mutex);
    for (size_t i = 0; i < distinct.size(); ++i) {
        if (board->names[i] && !board->names[i]->empty())
            found.emplace(distinct[i], *board->names[i]);
    }
    return found;
}

}  // namespace hoprate
