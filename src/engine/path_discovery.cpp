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

class Discovery {
public:
    Discovery(ProbeLedger &l, Network &n, Ipv4Address d, const PreciseSettings &s, const PhaseSink &p)
        : ledger(l), net(n), destination(d), settings(s), phase(p)
    {
    }

    PathDescription run()
    {
        findHops();
        findPathMtu();
        checkRouterEchoes();
        return std::move(path);
    }

private:
    int send(int hop, Ipv4Address to, int ttl, int size)
    {
        return ledger.send(ProbeRequest{hop, to, ttl, size, false, -1});
    }
    void findHops();
    void findPathMtu();
    void checkRouterEchoes();

    ProbeLedger &ledger;
    Network &net;
    Ipv4Address destination;
    const PreciseSettings &settings;
    const PhaseSink &phase;
    PathDescription path;
    double smallRtt = 0;  // seconds: the destination's lowest round trip for a small probe
};

void Discovery::findHops()
{
    phase("finding the path", 0);
    const size_t ttls = static_cast<size_t>(settings.maxHops) + 1;
    std::vector<std::map<Ipv4Address, int>> answers(ttls);
    // Those whose messages quoted the cookie: a router that quotes only 8 bytes cannot
    // show it, but where one did, nobody else is taken for the hop.
    std::vector<std::map<Ipv4Address, int>> vouched(ttls);
    int reached = 0;  // the smallest TTL at which the destination answered
    std::vector<int> probeAtTtl(ttls, -1);  // the last probe sent with each TTL
    auto collect = [&] {
        for (int ttl = 1; ttl <= settings.maxHops; ++ttl) {
            const int index = probeAtTtl[static_cast<size_t>(ttl)];
            if (index < 0 || !ledger[index].answered)
                continue;
            const ProbeRecord &p = ledger[index];
            if (p.kind == FlowReplyKind::EchoReply && p.responder == destination) {
                if (reached == 0 || ttl < reached)
                    reached = ttl;
                smallRtt = smallRtt > 0 ? std::min(smallRtt, seconds(p.rttNs)) : seconds(p.rttNs);
            } else if (p.kind == FlowReplyKind::TimeExceeded) {
                ++answers[static_cast<size_t>(ttl)][p.responder];
                if (p.cookieSeen)
                    ++vouched[static_cast<size_t>(ttl)][p.responder];
            }
        }
    };

    // Look for the destination a batch of TTLs at a time.
    for (int first = 1; first <= settings.maxHops && reached == 0; first += discoveryBatch) {
        const int last = std::min(settings.maxHops, first + discoveryBatch - 1);
        int64_t lastSend = net.now();
        for (int ttl = first; ttl <= last; ++ttl) {
            probeAtTtl[static_cast<size_t>(ttl)] = send(0, destination, ttl, discoverySize);
            // No route, no interface: nothing will come back, and the reason is known.
            const int error = ledger[ledger.count() - 1].sendError;
            if (error != 0 && error != ENOBUFS)
                throw PreciseError("sending to " + dottedQuad(destination) + ": " + std::strerror(error));
            lastSend = net.now();
            ledger.takeReplies(lastSend + discoveryGap);
        }
        ledger.awaitAll(lastSend + discoveryWait, discoveryGap * 5);
        collect();
    }
    if (reached == 0)
        throw PreciseError("no echo reply from " + dottedQuad(destination) + " within " +
                           std::to_string(settings.maxHops) + " hops");

    // Ask again at the TTLs that stayed silent: a lost probe or a router's rate limit.
    for (int attempt = 1; attempt < discoveryTries; ++attempt) {
        std::vector<int> silent;
        for (int ttl = 1; ttl < reached; ++ttl)
            if (answers[static_cast<size_t>(ttl)].empty())
                silent.push_back(ttl);
        if (silent.empty())
            break;
        int64_t lastSend = net.now();
        for (int ttl : silent) {
            probeAtTtl[static_cast<size_t>(ttl)] = send(0, destination, ttl, discoverySize);
            lastSend = net.now();
            ledger.takeReplies(lastSend + discoveryGap);
        }
        for (int ttl = 1; ttl <= settings.maxHops; ++ttl)
            if (std::find(silent.begin(), silent.end(), ttl) == silent.end())
                probeAtTtl[static_cast<size_t>(ttl)] = -1;
        ledger.awaitAll(lastSend + discoveryWait, discoveryGap * 5);
        collect();
    }

    path.hops.assign(static_cast<size_t>(reached), PathHop{});
    for (int h = 1; h <= reached; ++h) {
        PathHop &hop = path.hops[static_cast<size_t>(h - 1)];
        hop.number = h;
        if (h == reached) {
            hop.method = HopMethod::Destination;
            hop.address = destination;
            continue;
        }
        hop.responders = answers[static_cast<size_t>(h)];
        if (hop.responders.empty())
            continue;  // silent
        hop.method = HopMethod::EchoRouter;
        const std::map<Ipv4Address, int> &trusted =
            vouched[static_cast<size_t>(h)].empty() ? hop.responders : vouched[static_cast<size_t>(h)];
        hop.address = std::max_element(trusted.begin(), trusted.end(), [](const auto &a, const auto &b) {
                          return a.second < b.second;
                      })->first;
    }
}

void Discovery::findPathMtu()
{
    phase("finding the path MTU", static_cast<int>(path.hops.size()));
    int mtu = std::clamp(net.routeMtu(destination).value_or(1500), smallestProbe + 4, 9000);
    const int destinationHop = static_cast<int>(path.hops.size());
    double largeRtt = 0;  // seconds: the destination's round trip for an MTU-size probe
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int index = send(destinationHop, destination, 64, mtu);
        const int error = ledger[index].sendError;
        if (error == EMSGSIZE) {
            // Larger than the local route allows.
            const int local = net.routeMtu(destination).value_or(mtu - 1);
            mtu = std::max(smallestProbe + 4, std::min(local, mtu - 1));
            continue;
        }
        if (error != 0)
            throw PreciseError(std::string("sending: ") + std::strerror(error));
        ledger.awaitAll(net.now() + discoveryWait, discoveryGap * 5);  // this probe is the only one out
        const ProbeRecord &probe = ledger[index];
        if (probe.answered && probe.kind == FlowReplyKind::EchoReply) {
            largeRtt = seconds(probe.rttNs);
            break;
        }
        // No echo reply: a router that cannot forward the probe names its MTU; without
        // that (a black hole), a common smaller size is tried.
        if (probe.answered && probe.kind == FlowReplyKind::FragmentationNeeded && probe.nextHopMtu >= smallestProbe + 4 &&
            probe.nextHopMtu < mtu)
            mtu = probe.nextHopMtu;
        else
            mtu = mtu > 1280 ? 1280 : std::max(smallestProbe + 4, mtu > 576 ? 576 : mtu - 100);
    }
    path.pathMtu = mtu;
    // The path's time per byte, to pace the first probes by: from the lowest round trips
    // of several small and MTU-size probes, as one alone may have waited (the first packet
    // for a neighbour's address, a cold cache). Unknown, it is taken as 1 Mbit/s, which
    // paces slowly; a difference lost in the timing noise means a path too fast to matter.
    if (largeRtt <= 0 || smallRtt <= 0) {
        path.initialPerByte = 8.0 / 1e6;
        return;
    }
    std::vector<int> small, large;
    for (int i = 1; i < pacingProbes; ++i) {
        small.push_back(send(destinationHop, destination, 64, discoverySize));
        ledger.takeReplies(net.now() + discoveryGap);
        large.push_back(send(destinationHop, destination, 64, mtu));
        ledger.takeReplies(net.now() + discoveryGap);
    }
    ledger.awaitAll(net.now() + discoveryWait, discoveryGap * 5);
    auto lowest = [&](const std::vector<int> &indices, double rtt) {
        for (const int i : indices)
            if (ledger[i].answered && ledger[i].kind == FlowReplyKind::EchoReply)
                rtt = std::min(rtt, seconds(ledger[i].rttNs));
        return rtt;
    };
    path.initialPerByte =
        std::max(0.0, (lowest(large, largeRtt) - lowest(small, smallRtt)) / (2.0 * (mtu - discoverySize)));
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
            asked.emplace_back(hop.number, send(hop.number, hop.address, hop.number, discoverySize));
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
            return entry.first == hop.number && p.answered && p.kind == FlowReplyKind::EchoReply &&
                   p.responder == hop.address;
        });
        if (!echoed || settings.ttlLimited)
            hop.method = HopMethod::TtlLimited;
    }
}

}  // namespace

PathDescription discoverPath(ProbeLedger &ledger, Network &net, Ipv4Address destination,
                             const PreciseSettings &settings, const PhaseSink &phase)
{
    return Discovery(ledger, net, destination, settings, phase).run();
}

}  // namespace hoprate
