#include "engine/precise_engine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>

namespace {

constexpr int discoverySize = 64;            // IP bytes of the probes that find the path
constexpr int smallestProbe = 64;            // IP bytes of the smallest measurement probe
constexpr int64_t second = 1000000000;
constexpr int64_t discoveryWait = second;    // how long an unanswered probe of the first phases is waited for
constexpr int64_t discoveryGap = 2000000;    // between the sends of the first phases
constexpr int64_t drainWait = 2 * second;    // after the last probe, for the replies still on their way
constexpr int64_t replyDeadline = 5 * second;  // a measurement probe unanswered this long is lost
constexpr double longestGap = 2.0;           // seconds: pacing never waits longer between two sends
constexpr int pacingProbes = 3;              // small and MTU-size probes whose lowest round trips set the first pacing
constexpr int discoveryBatch = 8;            // TTLs probed at once while looking for the destination
constexpr int discoveryTries = 3;
constexpr int echoChecks = 2;
constexpr double rateLimitedShare = 0.25;    // lost probes of a TTL-limited hop that mean a rate limit
constexpr int64_t rateLimitedTime = 120 * second;  // a rate-limited hop's probes all fit in this

double seconds(int64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

}  // namespace

PreciseEngine::PreciseEngine(EchoNetwork &network, PreciseSettings chosen, ProbeSecrets secrets, ProgressSink sink)
    : net(network), settings(chosen), progress(std::move(sink)), random(chosen.seed),
      flow(makeEchoFlow(secrets.identifier, secrets.cookie)), buffer(65536), ledger(secrets.firstSequence),
      stampFilter(static_cast<int64_t>(chosen.lateStamp * 1e9))
{
    settings.sizes = std::max(settings.sizes, 3);
    settings.budget = std::max(settings.budget, settings.sizes * 2);
}

uint16_t PreciseEngine::takeSequence(int probe, int64_t wait)
{
    ledger.expire(net.now());
    std::optional<uint16_t> sequence = ledger.open(probe, net.now() + wait);
    if (!sequence) {
        // Every sequence number is out: the earliest deadline frees one.
        takeReplies(*ledger.nextDeadline());
        ledger.expire(net.now());
        sequence = ledger.open(probe, net.now() + wait);
    }
    return *sequence;
}

int PreciseEngine::sendProbe(int hop, Ipv4Address to, int ttl, int size, bool measurement)
{
    ProbeRecord record;
    record.hop = hop;
    record.to = to;
    record.ttl = ttl;
    record.size = size;
    record.measurement = measurement;
    const int index = static_cast<int>(result.probes.size());
    record.sequence = takeSequence(index, measurement ? replyDeadline : discoveryWait);
    const std::vector<uint8_t> message = buildFlowEcho(flow, record.sequence, size - ipHeaderLength);
    const SentEcho sent = net.send(message, to, ttl);
    record.sendError = sent.error;
    record.sentAt = sent.userTime;
    record.sentKernel = sent.kernelTime;
    // A stamp is judged among those of sends that followed as long a pause.
    if (sent.kernelTime)
        record.lateSendStamp = stampFilter.late(*sent.kernelTime - sent.userTime, sent.userTime - lastSendAt);
    lastSendAt = sent.userTime;
    result.probes.push_back(record);
    if (sent.error != 0) {
        ledger.close(record.sequence);
    } else {
        ++result.probesSent;
        if (hop >= 1 && hop <= static_cast<int>(hops.size())) {
            ++hops[static_cast<size_t>(hop - 1)].probes;
            if (measurement)
                ++hops[static_cast<size_t>(hop - 1)].measurementProbes;
        }
    }
    return index;
}

void PreciseEngine::takeReplies(int64_t until)
{
    for (;;) {
        const EchoWait wait = net.receive(buffer, until);
        if (wait.status == EchoWaitStatus::TimedOut)
            return;
        if (wait.status == EchoWaitStatus::Failed)
            throw PreciseError(std::string("receiving: ") + std::strerror(wait.error));
        handle(wait.arrival);
    }
}

void PreciseEngine::awaitReplies(int64_t deadline, int64_t step)
{
    // Waits in steps, so that the wait ends as soon as the last reply is in.
    for (;;) {
        const int64_t now = net.now();
        ledger.expire(now);
        if (ledger.empty() || now >= deadline)
            return;
        takeReplies(std::min(deadline, now + step));
    }
}

void PreciseEngine::handle(const EchoArrival &arrival)
{
    const size_t kept = std::min(static_cast<size_t>(arrival.length), buffer.size());
    const std::optional<FlowReply> reply = decodeFlowReply({buffer.data(), kept}, flow);
    if (!reply)
        return;  // someone else's traffic, or not an answer to a probe of ours
    // The probe in flight with this sequence number: no other carries it, so a late reply
    // counts for its own probe or for none.
    ledger.expire(arrival.userTime);
    const std::optional<int> at = ledger.find(reply->sequence);
    if (!at)
        return;
    ProbeRecord &probe = result.probes[static_cast<size_t>(*at)];
    const bool fromTarget = reply->kind == FlowReplyKind::EchoReply ? reply->source == probe.to
                                                                     : reply->probeDestination == probe.to;
    if (!fromTarget)
        return;  // carries our flow's marks but answers no probe we sent there
    // The path MTU shrinks only for a message that quotes a probe of the size it was.
    if (reply->kind == FlowReplyKind::FragmentationNeeded && reply->quotedProbeLength != probe.size)
        return;
    ledger.close(reply->sequence);
    probe.answered = true;
    probe.rttNs = roundTripNanoseconds(SentEcho{0, probe.sentAt, probe.sentKernel}, arrival);
    probe.kernelStamps = probe.sentKernel.has_value() && arrival.kernelTime.has_value();
    probe.replyLength = arrival.length;
    probe.arrivedAt = arrival.userTime;
    probe.arrivedKernel = arrival.kernelTime;
    probe.responder = reply->source;
    probe.cookieSeen = reply->cookieSeen;
    probe.kind = reply->kind;
    probe.nextHopMtu = reply->nextHopMtu;
    if (probe.hop < 1 || probe.hop > static_cast<int>(hops.size()))
        return;
    Hop &hop = hops[static_cast<size_t>(probe.hop - 1)];
    ++hop.replies;  // as its probes count, setup probes included
    if (!probe.measurement)
        return;
    const bool expected = hop.method == HopMethod::TtlLimited ? reply->kind == FlowReplyKind::TimeExceeded
                                                               : reply->kind == FlowReplyKind::EchoReply;
    if (!expected || reply->source != hop.address) {
        // Another router at this TTL (load balancing, a route change): kept apart.
        ++hop.otherReplies[reply->source];
        return;
    }
    // The second probe of a pair waits behind the first: not a floor sample.
    if (probe.pairFirst >= 0)
        return;
    // A kernel send stamp taken late (the packet had already left) makes the round trip
    // look short: such samples stay out of the floors.
    if (probe.kernelStamps && probe.lateSendStamp)
        return;
    const double rtt = seconds(probe.rttNs);
    const int64_t bytes = probe.size + arrival.length;
    auto group = std::find_if(hop.groups.begin(), hop.groups.end(), [&](const FloorGroup &g) { return g.bytes >= bytes; });
    if (group == hop.groups.end() || group->bytes != bytes) {
        group = hop.groups.insert(group, FloorGroup{});
        group->bytes = bytes;
    }
    group->add(rtt);
    hop.minRtt = std::min(hop.minRtt, rtt);
}

void PreciseEngine::discover()
{
    reportProgress("finding the path");
    std::vector<std::map<Ipv4Address, int>> answers(static_cast<size_t>(settings.maxHops) + 1);
    // Those whose messages quoted the cookie: a router that quotes only 8 bytes cannot
    // show it, but where one did, nobody else is taken for the hop.
    std::vector<std::map<Ipv4Address, int>> vouched(static_cast<size_t>(settings.maxHops) + 1);
    int reached = 0;  // the smallest TTL at which the destination answered
    std::vector<int> sentAt(static_cast<size_t>(settings.maxHops) + 1, -1);
    auto collect = [&] {
        for (int ttl = 1; ttl <= settings.maxHops; ++ttl) {
            const int index = sentAt[static_cast<size_t>(ttl)];
            if (index < 0 || !result.probes[static_cast<size_t>(index)].answered)
                continue;
            const ProbeRecord &p = result.probes[static_cast<size_t>(index)];
            if (p.kind == FlowReplyKind::EchoReply && p.responder == destination) {
                if (reached == 0 || ttl < reached)
                    reached = ttl;
                smallDestinationRtt = smallDestinationRtt > 0 ? std::min(smallDestinationRtt, seconds(p.rttNs))
                                                              : seconds(p.rttNs);
            } else if (p.kind == FlowReplyKind::TimeExceeded) {
                ++answers[static_cast<size_t>(ttl)][p.responder];
                if (p.cookieSeen)
                    ++vouched[static_cast<size_t>(ttl)][p.responder];
            }
        }
    };
    auto waitForAll = [&](int64_t lastSend) {
        awaitReplies(lastSend + discoveryWait, discoveryGap * 5);
    };

    // Look for the destination a batch of TTLs at a time.
    for (int first = 1; first <= settings.maxHops && reached == 0; first += discoveryBatch) {
        const int last = std::min(settings.maxHops, first + discoveryBatch - 1);
        int64_t lastSend = net.now();
        for (int ttl = first; ttl <= last; ++ttl) {
            sentAt[static_cast<size_t>(ttl)] = sendProbe(0, destination, ttl, discoverySize, false);
            // No route, no interface: nothing will come back, and the reason is known.
            const int error = result.probes.back().sendError;
            if (error != 0 && error != ENOBUFS)
                throw PreciseError("sending to " + dottedQuad(destination) + ": " + std::strerror(error));
            lastSend = net.now();
            takeReplies(lastSend + discoveryGap);
        }
        waitForAll(lastSend);
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
            sentAt[static_cast<size_t>(ttl)] = sendProbe(0, destination, ttl, discoverySize, false);
            lastSend = net.now();
            takeReplies(lastSend + discoveryGap);
        }
        for (int ttl = 1; ttl <= settings.maxHops; ++ttl)
            if (std::find(silent.begin(), silent.end(), ttl) == silent.end())
                sentAt[static_cast<size_t>(ttl)] = -1;
        waitForAll(lastSend);
        collect();
    }

    hops.assign(static_cast<size_t>(reached), Hop{});
    for (int h = 1; h <= reached; ++h) {
        Hop &hop = hops[static_cast<size_t>(h - 1)];
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

void PreciseEngine::findPathMtu()
{
    reportProgress("finding the path MTU");
    int mtu = std::clamp(net.routeMtu(destination).value_or(1500), smallestProbe + 4, 9000);
    const int destinationHop = static_cast<int>(hops.size());
    double largeRtt = 0;  // seconds: the destination's round trip for an MTU-size probe
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int index = sendProbe(destinationHop, destination, 64, mtu, false);
        const int error = result.probes[static_cast<size_t>(index)].sendError;
        if (error == EMSGSIZE) {
            // Larger than the local route allows.
            const int local = net.routeMtu(destination).value_or(mtu - 1);
            mtu = std::max(smallestProbe + 4, std::min(local, mtu - 1));
            continue;
        }
        if (error != 0)
            throw PreciseError(std::string("sending: ") + std::strerror(error));
        awaitReplies(net.now() + discoveryWait, discoveryGap * 5);  // this probe is the only one out
        const ProbeRecord &probe = result.probes[static_cast<size_t>(index)];
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
    result.pathMtu = mtu;
    // The path's time per byte, to pace the first probes by: from the lowest round trips
    // of several small and MTU-size probes, as one alone may have waited (the first packet
    // for a neighbour's address, a cold cache). Unknown, it is taken as 1 Mbit/s, which
    // paces slowly; a difference lost in the timing noise means a path too fast to matter.
    if (largeRtt > 0 && smallDestinationRtt > 0) {
        std::vector<int> small, large;
        for (int i = 1; i < pacingProbes; ++i) {
            small.push_back(sendProbe(destinationHop, destination, 64, discoverySize, false));
            takeReplies(net.now() + discoveryGap);
            large.push_back(sendProbe(destinationHop, destination, 64, mtu, false));
            takeReplies(net.now() + discoveryGap);
        }
        awaitReplies(net.now() + discoveryWait, discoveryGap * 5);
        auto lowest = [&](const std::vector<int> &indices, double rtt) {
            for (const int i : indices) {
                const ProbeRecord &p = result.probes[static_cast<size_t>(i)];
                if (p.answered && p.kind == FlowReplyKind::EchoReply)
                    rtt = std::min(rtt, seconds(p.rttNs));
            }
            return rtt;
        };
        initialPerByte = std::max(0.0, (lowest(large, largeRtt) - lowest(small, smallDestinationRtt)) /
                                           (2.0 * (mtu - discoverySize)));
    } else {
        initialPerByte = 8.0 / 1e6;
    }
}

void PreciseEngine::checkRouterEchoes()
{
    reportProgress("asking the routers");
    // Echo requests addressed to each router with its hop's TTL: an echo reply from the
    // address means the router can be measured directly, without its rate limit on
    // time-exceeded messages.
    std::vector<std::pair<int, int>> asked;  // hop, probe index
    int64_t lastSend = net.now();
    for (Hop &hop : hops) {
        if (hop.method != HopMethod::EchoRouter)
            continue;
        for (int i = 0; i < echoChecks; ++i) {
            asked.emplace_back(hop.number, sendProbe(hop.number, hop.address, hop.number, discoverySize, false));
            lastSend = net.now();
            takeReplies(lastSend + discoveryGap);
        }
    }
    awaitReplies(lastSend + discoveryWait, discoveryGap * 5);
    for (Hop &hop : hops) {
        if (hop.method != HopMethod::EchoRouter)
            continue;
        bool echoed = false;
        for (const auto &[number, index] : asked) {
            const ProbeRecord &p = result.probes[static_cast<size_t>(index)];
            if (number == hop.number && p.answered && p.kind == FlowReplyKind::EchoReply && p.responder == hop.address)
                echoed = true;
        }
        if (!echoed || settings.ttlLimited)
            hop.method = HopMethod::TtlLimited;
    }
}

FloorFit PreciseEngine::fitOf(int hopIndex, int minimumCount) const
{
    return fitFloor(hops[static_cast<size_t>(hopIndex)].groups, settings.quantile, settings.timingFloor, minimumCount);
}

SlopeEstimate PreciseEngine::slopeOf(int hopIndex) const
{
    const FloorFit fit = fitOf(hopIndex);
    if (!fit.valid)
        return SlopeEstimate{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()};
    return SlopeEstimate{fit.slope, fit.slopeStdev};
}

double PreciseEngine::bottleneckPerByte() const
{
    // The slowest link's time per byte, from rough fits (one sample per size is enough to
    // pace by); never below the path's average, which the slowest link cannot be below.
    double slowest = 0;
    double near = 0;
    for (size_t i = 0; i < hops.size(); ++i) {
        if (hops[i].method == HopMethod::Silent)
            continue;
        const FloorFit rough = fitOf(static_cast<int>(i), 1);
        if (!rough.valid)
            return initialPerByte;  // not every hop measured yet: pace by the whole path
        slowest = std::max(slowest, rough.slope - near);
        near = rough.slope;
    }
    if (slowest <= 0)
        return initialPerByte;
    return std::max(slowest, initialPerByte / static_cast<double>(hops.size()));
}

double PreciseEngine::gapAfter(int size, double perByte) const
{
    // A probe and its reply (as long as the probe, or shorter) must be through the
    // bottleneck (perByte seconds per byte) before the next probe gets there.
    double gap = settings.gapFactor * 2.0 * size * perByte;
    gap = std::clamp(gap, settings.minimumGap, longestGap);
    if (settings.rate > 0)
        gap = std::max(gap, 1.0 / settings.rate);
    return gap;
}

std::vector<int> PreciseEngine::activeHops()
{
    // A hop goes on while a link at either side of it is not known closely enough. The
    // probes are shared over the path: each hop is allowed its budget (three times that
    // while its floors scatter as under cross traffic), the path's total is the sum of the
    // allowances, and a hop may take up to twice its own. Each round probes the hops whose
    // links are at least half as uncertain as the worst one, so the probes go where a
    // link is hard to resolve (a fast link needs precise slopes at both of its ends).
    // Widths are the statistical part of the intervals: more probes cannot shrink the
    // systematic one.
    const size_t n = hops.size();
    std::vector<double> width(n, std::numeric_limits<double>::infinity());  // link ending at hop i+1
    std::vector<int> nearOf(n, -1);
    int near = -1;
    for (size_t i = 0; i < n; ++i) {
        if (hops[i].method == HopMethod::Silent)
            continue;
        nearOf[i] = near;
        const SlopeEstimate far = slopeOf(static_cast<int>(i));
        const SlopeEstimate base = near < 0 ? SlopeEstimate{0, 0} : slopeOf(near);
        const CapacityEstimate c = linkCapacity(base, far, 0.0);
        if (c.known && !c.lowerBound)
            width[i] = (c.high - c.low) / (2.0 * c.bitsPerSecond);
        near = static_cast<int>(i);
    }
    // What each hop still needs: the wider of the links it is an end of.
    std::vector<double> need(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        if (hops[i].method == HopMethod::Silent)
            continue;
        need[i] = width[i];
        for (size_t j = i + 1; j < n; ++j) {
            if (nearOf[j] == static_cast<int>(i)) {
                need[i] = std::max(need[i], width[j]);
                break;
            }
        }
    }
    int64_t spent = 0, allowed = 0;
    std::vector<int64_t> allowance(n, 0);
    double widest = 0;
    for (size_t i = 0; i < n; ++i) {
        const Hop &hop = hops[i];
        if (hop.method == HopMethod::Silent || hop.rateLimited)
            continue;
        const FloorFit fit = fitOf(static_cast<int>(i));
        // The scatter of clean floors grows with the links crossed (about 1 us per hop on
        // the lab); cross traffic puts it tens of microseconds higher.
        const bool noisy = fit.valid && fit.residual > settings.noisy * hop.number;
        allowance[i] = static_cast<int64_t>(settings.budget) * (noisy ? settings.noisyBudget : 1);
        allowed += allowance[i];
        spent += hop.measurementProbes;
        if (need[i] > settings.target)
            widest = std::max(widest, need[i]);
    }

    // Fewer than half of the hops may go beyond their allowance, so that the median hop
    // keeps to its budget while the others draw on what well-known hops leave.
    int eligible = 0, over = 0;
    for (size_t i = 0; i < n; ++i) {
        if (hops[i].method == HopMethod::Silent || hops[i].rateLimited)
            continue;
        ++eligible;
        over += hops[i].measurementProbes > allowance[i] ? 1 : 0;
    }
    const int overLimit = (eligible - 1) / 2;

    std::vector<int> active;
    for (size_t i = 0; i < n; ++i) {
        Hop &hop = hops[i];
        if (hop.method == HopMethod::Silent)
            continue;
        if (hop.rateLimited) {
            // Probes lost to the limit before the pacing do not count; the paced ones fit
            // in a bounded time.
            const int64_t paced =
                std::min<int64_t>(settings.budget, std::max<int64_t>(settings.sizes, rateLimitedTime / hop.interval));
            if (hop.pacedProbes + settings.sizes <= paced && need[i] > settings.target)
                active.push_back(static_cast<int>(i));
            continue;
        }
        const bool starting =
            hop.measurementProbes < std::max<double>(settings.minimumRounds * settings.sizes,
                                                     settings.minimumShare * settings.budget);
        if (!starting) {
            if (!(need[i] > settings.target))
                continue;  // both of its links are known closely enough
            if (hop.measurementProbes + settings.sizes > 2 * allowance[i] || spent + settings.sizes > allowed)
                continue;
            if (need[i] < 0.5 * widest)
                continue;  // its links can wait for those most in need
            const bool crossing = hop.measurementProbes <= allowance[i] &&
                                  hop.measurementProbes + settings.sizes > allowance[i];
            if (crossing) {
                if (over >= overLimit)
                    continue;
                ++over;
            }
        }
        active.push_back(static_cast<int>(i));
    }
    progressWorst = std::isfinite(widest) ? widest : 0;
    progressActive = static_cast<int>(active.size());
    return active;
}

void PreciseEngine::noteRateLimits()
{
    // A router that answers TTL-limited probes only now and then limits its ICMP errors
    // (Linux: a burst of 6, then one per icmp_ratelimit). Its probes are then spaced to
    // the rate at which it answered after its burst (a second at first, Linux's own), and
    // further apart while paced probes still go unanswered.
    const int64_t now = net.now();
    for (Hop &hop : hops) {
        if (hop.method != HopMethod::TtlLimited)
            continue;
        const int64_t answerWait =
            std::max<int64_t>(200000000, std::isfinite(hop.minRtt) ? static_cast<int64_t>(3e9 * hop.minRtt) : 0);
        int due = 0, answered = 0, pacedDue = 0, pacedAnswered = 0;
        int64_t first = 0, last = 0;
        for (const ProbeRecord &p : result.probes) {
            if (p.hop != hop.number || !p.measurement || p.sendError != 0 || p.sentAt > now - answerWait)
                continue;
            first = due == 0 ? p.sentAt : first;
            last = p.sentAt;
            ++due;
            answered += p.answered ? 1 : 0;
            if (hop.rateLimited && p.sentAt >= hop.pacedFrom) {
                ++pacedDue;
                pacedAnswered += p.answered ? 1 : 0;
            }
        }
        if (!hop.rateLimited) {
            if (due < 8 || due - answered < rateLimitedShare * due)
                continue;
            hop.rateLimited = true;
            hop.pacedFrom = now;
            hop.pacedProbes = 0;
            const double span = seconds(last - first);
            hop.interval = second;
            if (answered > 6 && span > 0)
                hop.interval = std::clamp<int64_t>(static_cast<int64_t>(1.1e9 * span / (answered - 6)), second / 20,
                                                   8 * second);
        } else if (pacedDue >= 4 && pacedDue - pacedAnswered > 0.1 * pacedDue && hop.interval < 8 * second) {
            hop.interval = std::min<int64_t>(8 * second, hop.interval * 3 / 2);
            hop.pacedFrom = now;
        }
    }
}

void PreciseEngine::measure()
{
    std::vector<int> sizes;
    const int largest = std::max(result.pathMtu, smallestProbe + 1);
    for (int i = 0; i < settings.sizes; ++i)
        sizes.push_back(smallestProbe + static_cast<int>(std::lround(static_cast<double>(largest - smallestProbe) * i /
                                                                     (settings.sizes - 1))));
    int64_t nextSend = net.now();
    int64_t lastSend = nextSend;
    bool scouting = true;  // the first round
    for (;;) {
        noteRateLimits();
        const std::vector<int> active = activeHops();
        reportProgress("measuring");
        if (active.empty())
            break;
        // One probe of every size for every active hop, all in one random order. The first
        // round scouts with four sizes only: until every hop has a rough line, probes are
        // paced by the whole path's time per byte, which on a long path is several times
        // the bottleneck's.
        std::vector<std::pair<int, int>> round;
        for (int i : active)
            for (size_t k = 0; k < sizes.size(); ++k)
                if (!scouting || k % ((sizes.size() + 2) / 3) == 0 || k + 1 == sizes.size())
                    round.emplace_back(i, sizes[k]);
        std::shuffle(round.begin(), round.end(), random);
        // From the fits so far. The scouting round knows only the whole path's time per
        // byte and paces by half of it: faster than the slowest link only where one link
        // takes more than half the path's time, and then only for the few scouting probes,
        // which a queue can delay but never make look faster.
        const double perByte = scouting && hops.size() > 1 ? initialPerByte / 2 : bottleneckPerByte();
        while (!round.empty()) {
            takeReplies(nextSend);
            const int64_t now = net.now();
            // The first probe whose hop may be probed now (rate-limited hops wait their turn).
            auto pick = std::find_if(round.begin(), round.end(), [&](const auto &item) {
                return hops[static_cast<size_t>(item.first)].notBefore <= now;
            });
            if (pick == round.end()) {
                int64_t soonest = std::numeric_limits<int64_t>::max();
                for (const auto &item : round)
                    soonest = std::min(soonest, hops[static_cast<size_t>(item.first)].notBefore);
                nextSend = soonest;
                continue;
            }
            const auto [index, size] = *pick;
            round.erase(pick);
            Hop &hop = hops[static_cast<size_t>(index)];
            sendToHop(hop, size);
            double gap = gapAfter(size, perByte);
            // In the first rounds, now and then a second probe right behind the first: a
            // packet pair, whose spacing at arrival tells the narrowest link's rate.
            if (size == result.pathMtu && static_cast<int>(hop.pairs.size()) < settings.pairs &&
                hop.method != HopMethod::TtlLimited) {
                const int first = static_cast<int>(result.probes.size()) - 1;
                const int second = sendToHop(hop, size);
                result.probes[static_cast<size_t>(second)].pairFirst = first;
                hop.pairs.push_back(first);
                gap *= 2;
            }
            lastSend = net.now();
            hop.notBefore = hop.interval > 0 ? lastSend + hop.interval : 0;
            if (hop.rateLimited)
                ++hop.pacedProbes;
            nextSend = lastSend + static_cast<int64_t>(gap * 1e9);
        }
        scouting = false;
    }
    // The replies still on their way: three times the longest round trip seen is long
    // enough for any that will come.
    double longest = 0;
    for (const ProbeRecord &p : result.probes)
        if (p.answered)
            longest = std::max(longest, seconds(p.rttNs));
    const int64_t drain = std::clamp<int64_t>(static_cast<int64_t>(3e9 * longest), drainWait / 10, drainWait);
    awaitReplies(lastSend + drain, discoveryGap * 25);
}

int PreciseEngine::sendToHop(Hop &hop, int size)
{
    const bool direct = hop.method != HopMethod::TtlLimited;
    const int probe = sendProbe(hop.number, direct ? hop.address : destination,
                                hop.method == HopMethod::Destination ? 64 : hop.number, size, true);
    const int error = result.probes[static_cast<size_t>(probe)].sendError;
    if (error != 0 && error != EMSGSIZE && error != ENOBUFS)
        throw PreciseError(std::string("sending: ") + std::strerror(error));
    return probe;
}

double PreciseEngine::pairCapacity(const Hop &hop) const
{
    // The second probe leaves the narrowest link (either way) one serialization time of
    // it behind the first; with kernel receive stamps that is the replies' spacing.
    std::vector<double> rates;
    for (int first : hop.pairs) {
        const ProbeRecord &a = result.probes[static_cast<size_t>(first)];
        const ProbeRecord &b = result.probes[static_cast<size_t>(first + 1)];
        if (!a.answered || !b.answered || !a.arrivedKernel || !b.arrivedKernel || b.pairFirst != first)
            continue;
        // Either order: the spacing is one serialization at the narrowest link all the same.
        const int64_t spacing = std::llabs(*b.arrivedKernel - *a.arrivedKernel);
        if (spacing > 0)
            rates.push_back(8.0 * a.replyLength / seconds(spacing));
    }
    if (rates.size() < 3)
        return 0;
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

void PreciseEngine::noteHiddenDevices()
{
    // A link whose slope says it is much slower than the narrowest link of the round trip
    // to its far end holds store-and-forward devices that the TTL does not see (every one
    // adds a serialization at the link's rate). Where the pairs say this link became the
    // narrowest one, they also tell its rate.
    double before = 0;  // pair rate at the nearest measured hop before
    for (size_t i = 0; i < result.hops.size(); ++i) {
        HopResult &r = result.hops[i];
        const double pair = pairCapacity(hops[i]);
        r.pairBitsPerSecond = pair;
        if (pair <= 0)
            continue;
        if (r.capacity.known && !r.capacity.lowerBound && r.mergedFrom == 0 && r.capacity.bitsPerSecond < pair / 1.5) {
            r.hiddenDevice = true;
            r.slopeBitsPerSecond = r.capacity.bitsPerSecond;
            if (before <= 0 || pair < 0.8 * before) {
                // The narrowest link so far: the pairs give its rate, with their spread.
                r.capacity.bitsPerSecond = pair;
                r.capacity.low = pair * 0.99;
                r.capacity.high = pair * 1.01;
            }
        }
        before = pair;
    }
}

void PreciseEngine::estimate()
{
    const size_t n = hops.size();
    int near = -1;
    for (size_t i = 0; i < n; ++i) {
        const Hop &hop = hops[i];
        HopResult r;
        r.hop = hop.number;
        r.method = hop.method;
        if (hop.method != HopMethod::Silent)
            r.address = hop.address;
        for (const auto &[address, count] : hop.otherReplies)
            r.others.emplace_back(address, count);
        for (const auto &[address, count] : hop.responders)
            if (address != hop.address && std::none_of(r.others.begin(), r.others.end(),
                                                       [responder = address](const auto &o) { return o.first == responder; }))
                r.others.emplace_back(address, count);
        r.probes = hop.probes;
        r.replies = hop.replies;
        r.rateLimited = hop.rateLimited;
        r.minRttMs = std::isfinite(hop.minRtt) ? hop.minRtt * 1000.0 : std::nan("");
        r.fit = fitOf(static_cast<int>(i));
        if (hop.method != HopMethod::Silent) {
            const SlopeEstimate base = near < 0 ? SlopeEstimate{0, 0} : slopeOf(near);
            r.capacity = linkCapacity(base, slopeOf(static_cast<int>(i)), settings.systematic,
                                      settings.relativeSystematic);
            if (static_cast<int>(i) - near > 1)
                r.mergedFrom = near + 2;  // the links from just after the near hop up to this one
            near = static_cast<int>(i);
        }
        result.hops.push_back(r);
    }
}

void PreciseEngine::reportProgress(const char *phase)
{
    if (!progress)
        return;
    PreciseProgress p;
    p.phase = phase;
    p.hops = static_cast<int>(hops.size());
    p.probesSent = result.probesSent;
    p.worstInterval = progressWorst;
    p.activeHops = progressActive;
    progress(p);
}

PreciseResult PreciseEngine::run(Ipv4Address target)
{
    const int64_t started = net.now();
    destination = target;
    result = PreciseResult{};
    result.destination = target;
    smallDestinationRtt = 0;
    discover();
    findPathMtu();
    checkRouterEchoes();
    measure();
    estimate();
    noteHiddenDevices();
    for (const ProbeRecord &p : result.probes)
        result.kernelStamps = result.kernelStamps || p.kernelStamps;
    result.wallSeconds = seconds(net.now() - started);
    return result;
}
