#include "engine/path_discovery.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "engine/precise_error.h"

namespace hoprate {

namespace {

constexpr int discoverySize = 64;         // IP bytes of the probes that find the path
constexpr int smallestProbe = 64;         // IP bytes of the smallest measurement probe
constexpr int64_t second = 1000000000;
constexpr int64_t discoveryWait = second; // how long an unanswered probe of these phases is waited for
constexpr int64_t discoveryGap = 2000000; // between the sends of these phases
constexpr int discoveryBatch = 8;         // TTLs probed at once while looking for the destination
constexpr int discoveryTries = 3;
constexpr int echoChecks = 2;
constexpr int pacingProbes = 3;           // small and MTU-size probes whose lowest round trips set the first pacing

double seconds(int64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

// Whether a reply says the probe reached its destination, by the probe's protocol.
bool reachedBy(const ProbeRecord &p)
{
    if (!p.answered || p.responder != p.to)
        return false;
    switch (p.protocol) {
    case ProbeProtocol::Icmp: return p.kind == ReplyKind::EchoReply;
    case ProbeProtocol::Udp: return p.kind == ReplyKind::PortUnreachable;
    case ProbeProtocol::Tcp: return p.kind == ReplyKind::TcpReset || p.kind == ReplyKind::TcpSynAck;
    }
    return false;
}

// What one protocol's TTL-limited probes found.
struct Sweep {
    ProbeProtocol protocol = ProbeProtocol::Icmp;
    int reached = 0;     // the smallest TTL at which the destination answered (0: none)
    int deepest = 0;     // the largest TTL a router answered at
    bool unsendable = false;  // its probes could not be sent
    double smallRtt = 0; // seconds: the destination's lowest round trip for a small probe...
    int smallBytes = 0;  // ...and the bytes that probe and its reply carried
    std::vector<std::map<IpAddress, int>> answers;
    // Those whose messages quoted the cookie: a router that quotes only 8 bytes cannot
    // show it, but where one did, nobody else is taken for the hop.
    std::vector<std::map<IpAddress, int>> vouched;
};

class Discovery {
public:
    Discovery(ProbeLedger &l, Network &n, const IpAddress &d, const PreciseSettings &s, const PhaseSink &p)
        : ledger(l), net(n), destination(d), settings(s), phase(p)
    {
    }

    PathDescription run()
    {
        phase("finding the path", 0);
        std::optional<Sweep> best;
        bool first = true;
        for (const ProbeProtocol protocol : pathProtocols(settings.protocol)) {
            if ((protocol == ProbeProtocol::Udp && ledger.flows().udpSource == 0) ||
                (protocol == ProbeProtocol::Tcp && ledger.flows().tcpSource == 0))
                continue;  // that protocol's socket could not be opened
            // Probes of the first protocol that cannot be sent end the run (no route, say);
            // those of a later one are only not tried (a local firewall's refusal).
            Sweep sweep = findHops(protocol, first);
            first = false;
            if (sweep.unsendable)
                continue;
            if (sweep.reached > 0) {
                best = std::move(sweep);
                break;
            }
            if (!best || sweep.deepest > best->deepest)
                best = std::move(sweep);
        }
        if (!best || (best->reached == 0 && best->deepest == 0))
            throw PreciseError("no answer from " + addressText(destination) + " or a router before it within " +
                               std::to_string(settings.maxHops) + " hops");
        describe(*best);
        findPathMtu();
        checkRouterEchoes();
        return std::move(path);
    }

private:
    int send(int hop, const IpAddress &to, ProbeProtocol protocol, int ttl, int size)
    {
        return ledger.send(ProbeRequest{hop, to, protocol, ttl, size, false, -1});
    }
    Sweep findHops(ProbeProtocol protocol, bool mustSend);
    void describe(const Sweep &sweep);
    void findPathMtu();
    void checkRouterEchoes();

    ProbeLedger &ledger;
    Network &net;
    IpAddress destination;
    const PreciseSettings &settings;
    const PhaseSink &phase;
    PathDescription path;
    double smallRtt = 0;
    int smallBytes = 0;
};

Sweep Discovery::findHops(ProbeProtocol protocol, bool mustSend)
{
    const size_t ttls = static_cast<size_t>(settings.maxHops) + 1;
    Sweep sweep;
    sweep.protocol = protocol;
    sweep.answers.resize(ttls);
    sweep.vouched.resize(ttls);
    std::vector<int> probeAtTtl(ttls, -1);  // the last probe sent with each TTL
    auto collect = [&] {
        for (int ttl = 1; ttl <= settings.maxHops; ++ttl) {
            const int index = probeAtTtl[static_cast<size_t>(ttl)];
            if (index < 0 || !ledger[index].answered)
                continue;
            const ProbeRecord &p = ledger[index];
            if (reachedBy(p)) {
                if (sweep.reached == 0 || ttl < sweep.reached)
                    sweep.reached = ttl;
                if (sweep.smallRtt <= 0 || seconds(p.rttNs) < sweep.smallRtt) {
                    sweep.smallRtt = seconds(p.rttNs);
                    sweep.smallBytes = p.size + p.replyLength;
                }
            } else if (p.kind == ReplyKind::TimeExceeded) {
                ++sweep.answers[static_cast<size_t>(ttl)][p.responder];
                if (p.cookieSeen)
                    ++sweep.vouched[static_cast<size_t>(ttl)][p.responder];
                sweep.deepest = std::max(sweep.deepest, ttl);
            }
        }
    };

    // Look for the destination a batch of TTLs at a time.
    for (int first = 1; first <= settings.maxHops && sweep.reached == 0; first += discoveryBatch) {
        const int last = std::min(settings.maxHops, first + discoveryBatch - 1);
        int64_t lastSend = net.now();
        for (int ttl = first; ttl <= last; ++ttl) {
            probeAtTtl[static_cast<size_t>(ttl)] = send(0, destination, protocol, ttl, discoverySize);
            // No route, no interface: nothing will come back, and the reason is known.
            const int error = ledger[ledger.count() - 1].sendError;
            if (error != 0 && error != ENOBUFS) {
                if (mustSend)
                    throw PreciseError("sending to " + addressText(destination) + ": " + std::strerror(error));
                sweep.unsendable = true;
                return sweep;
            }
            lastSend = net.now();
            ledger.takeReplies(lastSend + discoveryGap);
        }
        ledger.awaitAll(lastSend + discoveryWait, discoveryGap * 5);
        collect();
    }
    if (sweep.reached == 0)
        return sweep;

    // Ask again at the TTLs that stayed silent: a lost probe or a router's rate limit.
    for (int attempt = 1; attempt < discoveryTries; ++attempt) {
        std::vector<int> silent;
        for (int ttl = 1; ttl < sweep.reached; ++ttl)
            if (sweep.answers[static_cast<size_t>(ttl)].empty())
                silent.push_back(ttl);
        if (silent.empty())
            break;
        int64_t lastSend = net.now();
        for (int ttl : silent) {
            probeAtTtl[static_cast<size_t>(ttl)] = send(0, destination, protocol, ttl, discoverySize);
            lastSend = net.now();
            ledger.takeReplies(lastSend + discoveryGap);
        }
        for (int ttl = 1; ttl <= settings.maxHops; ++ttl)
            if (std::find(silent.begin(), silent.end(), ttl) == silent.end())
                probeAtTtl[static_cast<size_t>(ttl)] = -1;
        ledger.awaitAll(lastSend + discoveryWait, discoveryGap * 5);
        collect();
    }
    return sweep;
}

void Discovery::describe(const Sweep &sweep)
{
    path.protocol = sweep.protocol;
    path.destinationReached = sweep.reached > 0;
    smallRtt = sweep.smallRtt;
    smallBytes = sweep.smallBytes;
    const int count = path.destinationReached ? sweep.reached : sweep.deepest;
    path.hops.assign(static_cast<size_t>(count), PathHop{});
    for (int h = 1; h <= count; ++h) {
        PathHop &hop = path.hops[static_cast<size_t>(h - 1)];
        hop.number = h;
        hop.protocol = sweep.protocol;
        if (h == sweep.reached) {
            hop.method = HopMethod::Destination;
            hop.address = destination;
            continue;
        }
        hop.responders = sweep.answers[static_cast<size_t>(h)];
        if (hop.responders.empty())
            continue;  // silent
        hop.method = HopMethod::EchoRouter;
        const std::map<IpAddress, int> &trusted =
            sweep.vouched[static_cast<size_t>(h)].empty() ? hop.responders : sweep.vouched[static_cast<size_t>(h)];
        hop.address = std::max_element(trusted.begin(), trusted.end(), [](const auto &a, const auto &b) {
                          return a.second < b.second;
                      })->first;
    }
}

void Discovery::findPathMtu()
{
    phase("finding the path MTU", static_cast<int>(path.hops.size()));
    // Toward the destination when it answers; else as far as the last router, whose
    // time-exceeded message says the probe got there.
    const PathHop &far = path.hops.back();
    const ProbeProtocol protocol = path.protocol;
    const int ttl = path.destinationReached ? 64 : far.number;
    auto arrived = [&](const ProbeRecord &p) {
        return path.destinationReached ? reachedBy(p) : p.answered && p.kind == ReplyKind::TimeExceeded;
    };
    const int smallest = std::max(smallestProbe, smallestFlowProbe(destination.family, protocol));
    int mtu = std::clamp(net.route(destination).mtu.value_or(1500), smallest + 4, 9000);
    const int farHop = static_cast<int>(path.hops.size());
    int largeProbe = -1;  // the first MTU-size probe that got through
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int index = send(farHop, destination, protocol, ttl, mtu);
        const int error = ledger[index].sendError;
        if (error == EMSGSIZE) {
            // Larger than the local route allows.
            const int local = net.route(destination).mtu.value_or(mtu - 1);
            mtu = std::max(smallest + 4, std::min(local, mtu - 1));
            continue;
        }
        if (error != 0)
            throw PreciseError(std::string("sending: ") + std::strerror(error));
        ledger.awaitAll(net.now() + discoveryWait, discoveryGap * 5);  // this probe is the only one out
        const ProbeRecord &probe = ledger[index];
        if (arrived(probe)) {
            largeProbe = index;
            break;
        }
        // No answer: a router that cannot forward the probe names its MTU; without that
        // (a black hole), a common smaller size is tried.
        if (probe.answered && probe.kind == ReplyKind::TooBig && probe.nextHopMtu >= smallest + 4 &&
            probe.nextHopMtu < mtu)
            mtu = probe.nextHopMtu;
        else
            mtu = mtu > 1280 ? 1280 : std::max(smallest + 4, mtu > 576 ? 576 : mtu - 100);
    }
    path.pathMtu = mtu;
    // The path's time per byte, to pace the first probes by: from the lowest round trips
    // of several small and MTU-size probes, as one alone may have waited (the first packet
    // for a neighbour's address, a cold cache), over the bytes the probes and their
    // replies carry. Unknown, it is taken as 1 Mbit/s, which paces slowly; a difference
    // lost in the timing noise means a path too fast to matter.
    std::vector<int> small, large;
    if (largeProbe >= 0)
        large.push_back(largeProbe);
    for (int i = 1; i < pacingProbes && largeProbe >= 0; ++i) {
        small.push_back(send(farHop, destination, protocol, ttl, discoverySize));
        ledger.takeReplies(net.now() + discoveryGap);
        large.push_back(send(farHop, destination, protocol, ttl, mtu));
        ledger.takeReplies(net.now() + discoveryGap);
    }
    ledger.awaitAll(net.now() + discoveryWait, discoveryGap * 5);
    // The lowest round trip of the probes and the bytes it and its reply carried.
    auto lowest = [&](const std::vector<int> &indices, double rtt, int bytes) {
        for (const int i : indices) {
            if (arrived(ledger[i]) && (bytes == 0 || seconds(ledger[i].rttNs) < rtt)) {
                rtt = seconds(ledger[i].rttNs);
                bytes = ledger[i].size + ledger[i].replyLength;
            }
        }
        return std::pair{rtt, bytes};
    };
    // The small probes of the sweep that found the destination count too.
    const auto [smallTime, fewBytes] = lowest(small, smallRtt, smallBytes);
    const auto [largeTime, manyBytes] = lowest(large, 0, 0);
    if (manyBytes <= fewBytes || fewBytes == 0) {
        path.initialPerByte = 8.0 / 1e6;
        return;
    }
    path.initialPerByte = std::max(0.0, (largeTime - smallTime) / (manyBytes - fewBytes));
}

void Discovery::checkRouterEchoes()
{
    phase("asking the routers", static_cast<int>(path.hops.size()));
    // Echo requests addressed to each router with its hop's TTL: an echo reply from the
    // address means the router can be measured directly, without its rate limit on
    // time-exceeded messages.
    std::vector<std::pair<int, int>> asked;  // hop, probe index
    int64_t lastSend = net.now();
    for (const PathHop &hop : path.hops) {
        if (hop.method != HopMethod::EchoRouter)
            continue;
        for (int i = 0; i < echoChecks; ++i) {
            asked.emplace_back(hop.number, send(hop.number, hop.address, ProbeProtocol::Icmp, hop.number, discoverySize));
            lastSend = net.now();
            ledger.takeReplies(lastSend + discoveryGap);
        }
    }
    ledger.awaitAll(lastSend + discoveryWait, discoveryGap * 5);
    for (PathHop &hop : path.hops) {
        if (hop.method != HopMethod::EchoRouter)
            continue;
        const bool echoed = std::any_of(asked.begin(), asked.end(), [&](const auto &entry) {
            const ProbeRecord &p = ledger[entry.second];
            return entry.first == hop.number && p.answered && p.kind == ReplyKind::EchoReply &&
                   p.responder == hop.address;
        });
        if (echoed && !settings.ttlLimited)
            hop.protocol = ProbeProtocol::Icmp;
        else
            hop.method = HopMethod::TtlLimited;
    }
}

}  // namespace

std::vector<ProbeProtocol> pathProtocols(ProtocolChoice choice)
{
    switch (choice) {
    case ProtocolChoice::Icmp: return {ProbeProtocol::Icmp};
    case ProtocolChoice::Udp: return {ProbeProtocol::Udp};
    case ProtocolChoice::Tcp: return {ProbeProtocol::Tcp};
    case ProtocolChoice::Auto: break;
    }
    return {ProbeProtocol::Icmp, ProbeProtocol::Udp, ProbeProtocol::Tcp};
}

PathDescription discoverPath(ProbeLedger &ledger, Network &net, const IpAddress &destination,
                             const PreciseSettings &settings, const PhaseSink &phase)
{
    return Discovery(ledger, net, destination, settings, phase).run();
}

}  // namespace hoprate
