#include "engine/precise_engine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "engine/estimator.h"

namespace hoprate {

namespace {

constexpr int smallestProbe = 64;            // IP bytes of the smallest measurement probe
constexpr int64_t second = 1000000000;
constexpr int64_t drainWait = 2 * second;    // after the last probe, for the replies still on their way
constexpr int64_t drainStep = 50000000;      // ...waited for in steps of this
constexpr double longestGap = 2.0;           // seconds: pacing never waits longer between two sends
// A path idle for a while is slow with its next packet: hosts and link ends wake up (on
// the lab, the first probe a second after the last came back 0.6 ms late, most times,
// and the next ones 12 ms later often still late; after the 16 ms pauses that a 1 Mbit/s
// way back needs, late enough to read a 10 Mbit/s link 1 % slow). Messages nobody answers
// keep the path awake in the last moments of every long pause.
constexpr int64_t wakeAfterIdle = 5000000;  // a pause longer than this before a probe...
constexpr int64_t wakeLead = 10000000;      // ...is filled from this long before it...
constexpr int64_t wakeEvery = 5000000;      // ...with a wake message this often...
constexpr int64_t wakeClearance = 1000000;  // ...none this close to a probe, before or after
// The relative half-width (statistical) of each direction that settles a link whose two
// directions agree; where the other kind's replies come a second apart, a coarser one:
// enough to tell an access link (several times faster one way) from a symmetric one.
constexpr double directionsSettledWidth = 0.03;
constexpr double rateLimitedSettledWidth = 0.10;

double seconds(int64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

}  // namespace

PreciseEngine::PreciseEngine(Network &network, PreciseSettings chosen, ProbeSecrets secrets, FlowSetup flows,
                             ProgressSink sink)
    : net(network), settings(chosen), progress(std::move(sink)), random(chosen.seed),
      ledger(network, secrets, flows, static_cast<int64_t>(chosen.lateStamp * 1e9)),
      answers([this](const Answer &answer) { takeAnswer(answer); })
{
}

int PreciseEngine::sendToHop(HopState &hop, int size, int pairFirst)
{
    const bool direct = hop.path.method != HopMethod::TtlLimited;
    const int ttl = hop.path.method == HopMethod::Destination ? 64 : hop.path.number;
    const int probe = ledger.send(ProbeRequest{hop.path.number, direct ? hop.path.address : destination,
                                               hop.path.protocol, ttl, size, true, pairFirst},
                                  answers);
    if (const int error = countSent(probe, hop.measurementProbes, hop.answeredByErrors() ? &hop.limits : nullptr))
        throw PreciseError(std::string("sending: ") + std::strerror(error));
    return probe;
}

int PreciseEngine::countSent(int probe, int &count, RateLimitWatch *watch)
{
    const ProbeRecord &record = ledger[probe];
    if (record.sendError == 0) {
        ++count;
        if (watch != nullptr)
            watch->sent(probe, record.sentAt);
        return 0;
    }
    // A probe above the local MTU, or one the queue had no room for, is only lost.
    return record.sendError == EMSGSIZE || record.sendError == ENOBUFS ? 0 : record.sendError;
}

void PreciseEngine::sendSide(HopState &hop, int size)
{
    // Time exceeded from a router: a TTL-limited probe toward the destination; the
    // destination's other kind of answer: a probe of the other protocol to it.
    const bool router = hop.path.method == HopMethod::EchoRouter;
    const ProbeProtocol protocol = *hop.sideProtocol();
    const int probe = ledger.send(
        ProbeRequest{hop.path.number, destination, protocol, router ? hop.path.number : 64, size, true, -1}, answers);
    // These probes only add the way back: a host that will not send them (a local
    // firewall, say) costs that, not the run.
    if (countSent(probe, hop.sideProbes, hop.sideKind() != ReplyKind::EchoReply ? &hop.sideLimits : nullptr) != 0)
        sideFailed.insert(protocol);
}

bool PreciseEngine::sideWanted(const HopState &hop, size_t roundSize) const
{
    if (!settings.directions || !hop.measured() || !hop.sideProtocol())
        return false;
    const ProbeProtocol protocol = *hop.sideProtocol();
    if (sideFailed.count(protocol) > 0 || (protocol == ProbeProtocol::Udp && ledger.flows().udpSource == 0) ||
        (protocol == ProbeProtocol::Tcp && ledger.flows().tcpSource == 0))
        return false;
    // Two rounds of them unanswered: this node does not answer them (or not from there).
    if (hop.sideAnswers == 0 && hop.sideProbes >= static_cast<int>(2 * roundSize))
        return false;
    // Paced by a rate limit: as long as a rate-limited hop's own probes may take, and only
    // while the directions of its links are in question.
    if (hop.sideLimits.limited() &&
        (hop.directionsSettled ||
         hop.sideLimits.pacedProbes() * std::max<int64_t>(1, hop.sideLimits.pacingGap()) > pacedTime(settings)))
        return false;
    return true;
}

void PreciseEngine::takeAnswer(const Answer &answer)
{
    // The probe's record holds the reply as matched (its kind, source and length).
    fileAnswer(hops, ledger[answer.probe]);
}

int64_t PreciseEngine::halfOpenTime(const HopState &hop, int size) const
{
    // The probe's round trip (at the hop's time per byte so far, or the whole path's) and
    // the reset's way there (about half the smallest round trip), each with a margin.
    const FloorFit fit = hopFit(hop, settings, 1);
    const double perByte = fit.valid && fit.slope > 0 ? fit.slope : path.initialPerByte;
    const double roundTrip = hop.minRtt + perByte * std::max(0, size - smallestProbe);
    return static_cast<int64_t>(1e9 * (1.1 * roundTrip + 0.6 * hop.minRtt));
}

double PreciseEngine::bottleneckPerByte() const
{
    // The slowest link's time per byte, from rough fits (one sample per size is enough to
    // pace by); never below the path's average, which the slowest link cannot be below.
    std::vector<std::optional<double>> rough;
    for (const HopState &hop : hops) {
        if (!hop.measured())
            continue;
        const FloorFit fit = hopFit(hop, settings, 1);
        rough.push_back(fit.valid ? std::optional<double>(fit.slope) : std::nullopt);
    }
    const std::optional<double> slowest = slowestStep(rough);
    if (!slowest)
        return path.initialPerByte;  // not every hop measured yet: pace by the whole path
    return std::max(*slowest, path.initialPerByte / static_cast<double>(hops.size()));
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

std::vector<HopSnapshot> PreciseEngine::snapshot()
{
    std::vector<std::optional<SlopeEstimate>> slopes(hops.size());
    std::vector<HopSnapshot> snapshots(hops.size());
    for (size_t i = 0; i < hops.size(); ++i) {
        const HopState &hop = hops[i];
        if (!hop.measured())
            continue;
        const FloorFit fit = hopFit(hop, settings);
        slopes[i] = fit.valid ? SlopeEstimate{fit.slope, fit.slopeStdev}
                              : SlopeEstimate{std::numeric_limits<double>::quiet_NaN(),
                                              std::numeric_limits<double>::infinity()};
        HopSnapshot &s = snapshots[i];
        s.measured = true;
        s.rateLimited = hop.limits.limited();
        s.measurementProbes = hop.measurementProbes;
        s.pacedProbes = hop.limits.pacedProbes();
        s.pacingInterval = hop.limits.pacingGap();
        // The scatter of clean floors grows with the links crossed (about 1 us per hop on
        // the lab); cross traffic puts it tens of microseconds higher.
        s.noisy = fit.valid && fit.residual > settings.noisy * hop.path.number;
    }
    // Widths are the statistical part of the intervals: more probes cannot shrink the
    // systematic one. Where the directions are measured apart, each direction's too; a
    // hop that will not tell them apart is passed over in those chains.
    std::vector<std::optional<SlopeEstimate>> forward(hops.size()), back(hops.size());
    if (settings.directions) {
        for (size_t i = 0; i < hops.size(); ++i) {
            const HopState &hop = hops[i];
            if (!hop.measured())
                continue;
            const DirectionFit d = hop.directions(settings.quantile, settings.timingFloor);
            const bool side = sideWanted(hop, static_cast<size_t>(settings.probeSizes));
            if ((!d.back && !side) || (hop.limits.limited() && !settings.insistDirections))
                continue;  // as the estimator: a hop of rate-limited errors keeps one figure
            const SlopeEstimate unknown{std::numeric_limits<double>::quiet_NaN(),
                                        std::numeric_limits<double>::infinity()};
            forward[i] = d.forward ? SlopeEstimate{d.f, d.fStdev} : unknown;
            back[i] = d.back ? SlopeEstimate{d.r, d.rStdev} : unknown;
            if (side && hop.sideLimits.limited()) {
                snapshots[i].rateLimited = true;
                snapshots[i].pacedProbes = std::max(snapshots[i].pacedProbes, hop.sideLimits.pacedProbes());
                snapshots[i].pacingInterval = std::max(snapshots[i].pacingInterval, hop.sideLimits.pacingGap());
            }
        }
    }
    const std::vector<double> needs = linkNeeds(linkChain(slopes, 0.0, 0.0));
    const std::vector<std::optional<ChainLink>> forwardChain = linkChain(forward, 0.0, 0.0);
    const std::vector<std::optional<ChainLink>> backChain = linkChain(back, 0.0, 0.0);
    const std::vector<double> forwardNeeds = linkNeeds(forwardChain);
    const std::vector<double> backNeeds = linkNeeds(backChain);
    // A hop whose links' directions agree (settled, below) is reported at the figure of
    // both together: each direction's own width no longer keeps it going.
    for (size_t i = 0; i < hops.size(); ++i) {
        snapshots[i].need = needs[i];
        if (forward[i] && !hops[i].directionsSettled)
            snapshots[i].need = std::max({needs[i], forwardNeeds[i], backNeeds[i]});
    }
    // A link whose two directions agree, each within a few percent, is reported at the
    // figure of all its probes together: rate-limited probes of the other kind (a second
    // apiece) add little to it, and stop.
    auto settled = [&](size_t link, double width) {
        if (!forwardChain[link] || !backChain[link])
            return false;
        const CapacityEstimate &f = forwardChain[link]->capacity, &b = backChain[link]->capacity;
        if (!f.known || !b.known || f.lowerBound || b.lowerBound)
            return false;
        return f.high - f.low < 2 * width * f.bitsPerSecond && b.high - b.low < 2 * width * b.bitsPerSecond &&
               !readingsApart(f, b);
    };
    for (size_t i = 0; i < hops.size(); ++i) {
        const double width = hops[i].sideLimits.limited() ? rateLimitedSettledWidth : directionsSettledWidth;
        bool all = forward[i].has_value() && settled(i, width);
        for (size_t j = i + 1; j < hops.size() && all; ++j)
            if (forwardChain[j]) {
                all = forwardChain[j]->nearHop != static_cast<int>(i) || settled(j, width);
                break;
            }
        hops[i].directionsSettled = all && !settings.insistDirections;
    }
    return snapshots;
}

void PreciseEngine::reviewRateLimits()
{
    const int64_t now = net.now();
    for (HopState &hop : hops) {
        const int64_t answerWait =
            std::max<int64_t>(200000000, std::isfinite(hop.minRtt) ? static_cast<int64_t>(3e9 * hop.minRtt) : 0);
        if (hop.answeredByErrors())
            hop.limits.review(now, answerWait, [&](int probe) { return ledger[probe].answered; });
        if (hop.sideProbes > 0)
            hop.sideLimits.review(now, answerWait, [&](int probe) { return ledger[probe].answered; });
    }
}

void PreciseEngine::measure()
{
    std::vector<int> sizes;
    const int largest = std::max(path.pathMtu, smallestProbe + 1);
    for (int i = 0; i < settings.probeSizes; ++i)
        sizes.push_back(smallestProbe + static_cast<int>(std::lround(static_cast<double>(largest - smallestProbe) * i /
                                                                     (settings.probeSizes - 1))));
    int64_t nextSend = net.now();
    int64_t lastSend = nextSend;
    int64_t lastWake = 0;
    bool scouting = true;  // the first round
    for (;;) {
        reviewRateLimits();
        const RoundPlan plan = planRound(snapshot(), settings);
        reportProgress("measuring", static_cast<int>(plan.hops.size()), plan.widest);
        if (plan.hops.empty())
            break;
        // One probe of every size for every hop of the round, all in one random order. The
        // first round scouts with four sizes only: until every hop has a rough line, probes
        // are paced by the whole path's time per byte, which on a long path is several
        // times the bottleneck's.
        // Beside them, where the directions are told apart, probes of the other kind from
        // a third of the sizes up (where quotes stop growing with the probe), all sizes
        // where the echoes' path differs.
        struct Item {
            int hop, size;
            bool side;
        };
        // Paced by a rate limit (a second apiece), they go to the two ends of that range
        // only, where each tells the way out's slope most; rounds then take a second or
        // two, and the hop's own probes (not limited) stop at its budget.
        std::vector<Item> round;
        const size_t firstSide = (sizes.size() + 2) / 3;
        for (const int i : plan.hops) {
            const HopState &hop = hops[static_cast<size_t>(i)];
            const bool side = sideWanted(hop, sizes.size());
            const bool ends = hop.sideLimits.limited() && !hop.echoPathDiffers();
            const bool own = !(side && ends && !hop.limits.limited() && hop.measurementProbes >= settings.budget);
            for (size_t k = 0; k < sizes.size(); ++k) {
                if (scouting && k % ((sizes.size() + 2) / 3) != 0 && k + 1 != sizes.size())
                    continue;
                if (own)
                    round.push_back(Item{i, sizes[k], false});
                if (side && (k >= firstSide || hop.echoPathDiffers()) &&
                    (!ends || k == firstSide || k + 1 == sizes.size()))
                    round.push_back(Item{i, sizes[k], true});
            }
        }
        std::shuffle(round.begin(), round.end(), random);
        // From the fits so far. The scouting round knows only the whole path's time per
        // byte and paces by half of it: faster than the slowest link only where one link
        // takes more than half the path's time, and then only for the few scouting probes,
        // which a queue can delay but never make look faster.
        const double perByte = scouting && hops.size() > 1 ? path.initialPerByte / 2 : bottleneckPerByte();
        // When an item's hop may be probed (rate-limited hops wait their turn).
        auto notBefore = [&](const Item &item) {
            const HopState &hop = hops[static_cast<size_t>(item.hop)];
            return item.side ? hop.sideNotBefore : hop.notBefore;
        };
        while (!round.empty()) {
            int64_t soonest = std::numeric_limits<int64_t>::max();
            for (const Item &item : round)
                soonest = std::min(soonest, notBefore(item));
            nextSend = std::max(nextSend, soonest);
            // A long pause (a large probe toward a slow link, a rate-limited hop's pacing)
            // is kept awake in its last moments.
            for (;;) {
                const int64_t at = std::max({nextSend - wakeLead, lastSend + wakeClearance, lastWake + wakeEvery});
                if (nextSend - lastSend <= wakeAfterIdle || at > nextSend - wakeClearance)
                    break;
                if (net.now() < at) {
                    ledger.takeReplies(at, answers);
                    continue;
                }
                ledger.wake(destination);
                lastWake = net.now();
            }
            ledger.takeReplies(nextSend, answers);
            const int64_t now = net.now();
            auto pick =
                std::find_if(round.begin(), round.end(), [&](const Item &item) { return notBefore(item) <= now; });
            if (pick == round.end())
                continue;  // the wait ended early: wait again
            const Item item = *pick;
            round.erase(pick);
            const int size = item.size;
            HopState &hop = hops[static_cast<size_t>(item.hop)];
            if (item.side) {
                if (!sideWanted(hop, sizes.size()))
                    continue;
                sendSide(hop, size);
                lastSend = net.now();
                hop.sideNotBefore = hop.sideLimits.pacingGap() > 0 ? lastSend + hop.sideLimits.pacingGap() : 0;
                if (hop.sideLimits.limited())
                    hop.sideLimits.pacedSend();
                nextSend = lastSend + static_cast<int64_t>(gapAfter(size, perByte) * 1e9);
                continue;
            }
            const int first = sendToHop(hop, size);
            double gap = gapAfter(size, perByte);
            // In the first rounds, now and then a second probe right behind the first: a
            // packet pair, whose spacing at arrival tells the narrowest link's rate.
            if (size == path.pathMtu && static_cast<int>(hop.pairs.size()) < settings.pairs &&
                !hop.answeredByErrors() && !hop.holdsHalfOpen()) {
                sendToHop(hop, size, first);
                hop.pairs.push_back(first);
                gap *= 2;
            }
            lastSend = net.now();
            hop.notBefore = hop.limits.pacingGap() > 0 ? lastSend + hop.limits.pacingGap() : 0;
            if (hop.limits.limited())
                hop.limits.pacedSend();
            if (hop.holdsHalfOpen())
                hop.notBefore = std::max(hop.notBefore, lastSend + halfOpenTime(hop, size));
            nextSend = lastSend + static_cast<int64_t>(gap * 1e9);
        }
        scouting = false;
    }
    // The replies still on their way: three times the longest round trip seen is long
    // enough for any that will come.
    double longest = 0;
    for (const ProbeRecord &p : ledger.all())
        if (p.answered)
            longest = std::max(longest, seconds(p.rttNs));
    const int64_t drain = std::clamp<int64_t>(static_cast<int64_t>(3e9 * longest), drainWait / 10, drainWait);
    ledger.awaitAll(lastSend + drain, drainStep, answers);
}

void PreciseEngine::reportProgress(const char *phase, int activeHops, double worst)
{
    if (!progress)
        return;
    PreciseProgress p;
    p.phase = phase;
    p.hops = static_cast<int>(hops.size());
    p.probesSent = ledger.sent();
    p.worstInterval = worst;
    p.activeHops = activeHops;
    progress(p);
}

PreciseResult PreciseEngine::run(const IpAddress &target)
{
    const int64_t started = net.now();
    destination = target;
    hops.clear();
    const int sentBefore = ledger.sent();
    path = discoverPath(ledger, net, target, settings, [&](const char *phase, int known) {
        if (progress) {
            PreciseProgress p;
            p.phase = phase;
            p.hops = known;
            p.probesSent = ledger.sent();
            progress(p);
        }
    });
    if (settings.firstHop > static_cast<int>(path.hops.size()))
        throw PreciseError(std::string(path.destinationReached ? "the destination" : "the last router that answered") +
                           " is " + std::to_string(path.hops.size()) + (path.hops.size() == 1 ? " hop" : " hops") +
                           " away: nothing from hop " + std::to_string(settings.firstHop) + " on");
    for (const PathHop &h : path.hops) {
        HopState state;
        state.path = h;
        state.skipped = h.number < settings.firstHop - 1;
        hops.push_back(std::move(state));
    }
    PreciseResult result;
    try {
        measure();
    } catch (const PreciseInterrupted &) {
        result.complete = false;  // estimated from the probes so far; no wait for late replies
    }
    result.destination = target;
    result.source = ledger.flows().source;
    result.destinationReached = path.destinationReached;
    result.pathMtu = path.pathMtu;
    result.probes = ledger.release();
    result.probesSent = ledger.sent() - sentBefore;
    result.hops = estimateHops(hops, result.probes, settings);
    for (const HopState &hop : hops)
        result.path.push_back(HopRecord{hop.path, hop.skipped, hop.limits.limited()});
    for (const ProbeRecord &p : result.probes)
        result.kernelStamps = result.kernelStamps || p.kernelStamps;
    result.wallSeconds = seconds(net.now() - started);
    result.settings = settings;
    return result;
}

}  // namespace hoprate
