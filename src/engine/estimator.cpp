#include "engine/estimator.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <optional>

#include "measure/link_chain.h"

namespace hoprate {

namespace {

constexpr double usefulWidth = 0.05;  // relative half-width beyond which a direction alone tells too little

}  // namespace

FloorFit hopFit(const HopState &hop, const PreciseSettings &settings, int minimumCount)
{
    return fitFloor(hop.groups, settings.quantile, settings.timingFloor, minimumCount);
}

SlopeEstimate hopSlope(const HopState &hop, const PreciseSettings &settings)
{
    const FloorFit fit = hopFit(hop, settings);
    if (!fit.valid)
        return SlopeEstimate{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()};
    return SlopeEstimate{fit.slope, fit.slopeStdev};
}

namespace {

// The rate of the narrowest link up to the hop, from its packet pairs: the second probe
// leaves the narrowest link (either way) one serialization time of it behind the first;
// with kernel receive stamps that is the replies' spacing.
double pairRate(const HopState &hop, std::span<const ProbeRecord> probes)
{
    std::vector<double> rates;
    for (const int first : hop.pairs) {
        const ProbeRecord &a = probes[static_cast<size_t>(first)];
        const ProbeRecord &b = probes[static_cast<size_t>(first) + 1];
        if (!a.answered || !b.answered || !a.arrivedKernel || !b.arrivedKernel || b.pairFirst != first)
            continue;
        // Either order: the spacing is one serialization at the narrowest link all the same,
        // of the probe or of its reply when that is as long (an echo).
        const int64_t spacing = std::llabs(*b.arrivedKernel - *a.arrivedKernel);
        if (spacing > 0)
            rates.push_back(8.0 * std::max(a.size, a.replyLength) / (static_cast<double>(spacing) / 1e9));
    }
    return medianPairRate(std::move(rates));
}

// A link whose slope says it is much slower than the narrowest link of the round trip to
// its far end holds store-and-forward devices that the TTL does not see (every one adds a
// serialization at the link's rate). Where the pairs say this link became the narrowest
// one, they also tell its rate.
void markHiddenDevices(std::vector<HopResult> &results)
{
    double before = 0;  // pair rate at the nearest measured hop before
    for (HopResult &r : results) {
        const double pair = r.pairBitsPerSecond;
        if (pair <= 0)
            continue;
        if (r.capacity.known && !r.capacity.lowerBound && r.mergedFrom == 0 && r.capacity.bitsPerSecond < pair / 1.5) {
            r.hiddenDevice = true;
            r.slopeBitsPerSecond = r.capacity.bitsPerSecond;
            if (before <= 0 || pair < 0.8 * before) {
                // The narrowest link so far: the pairs give its rate, with their spread.
                // They pass the link either way: its way back holds the same devices and
                // reads as slow, so it is the pairs' rate too, unless the slopes said the
                // two directions differ.
                r.capacity.bitsPerSecond = pair;
                r.capacity.low = pair * 0.99;
                r.capacity.high = pair * 1.01;
                if (r.returnCapacity && !r.asymmetric) {
                    r.returnCapacity = r.capacity;
                } else if (r.returnCapacity) {
                    r.returnCapacity.reset();
                    r.asymmetric = false;
                    r.directions = LinkDirections::Forward;
                }
            }
        }
        before = pair;
    }
}

}  // namespace

std::vector<HopResult> estimateHops(std::span<const HopState> hops, std::span<const ProbeRecord> probes,
                                    const PreciseSettings &settings)
{
    std::vector<std::optional<SlopeEstimate>> slopes(hops.size());
    for (size_t i = 0; i < hops.size(); ++i)
        if (hops[i].measured())
            slopes[i] = hopSlope(hops[i], settings);
    const std::vector<std::optional<ChainLink>> chain =
        linkChain(slopes, settings.systematic, settings.relativeSystematic);
    // Each direction along the same chain: a measured hop whose fit cannot tell them apart
    // leaves its link and the next with one figure for both.
    std::vector<std::optional<SlopeEstimate>> forward(hops.size()), back(hops.size()), both(hops.size());
    for (size_t i = 0; i < hops.size() && settings.directions; ++i) {
        if (!hops[i].measured())
            continue;
        // A hop measured by its own rate-limited errors has a few replies per size: too few
        // to tell the directions from its quote limit (its links keep one figure, unless the
        // directions are insisted on).
        const DirectionFit d = hops[i].limits.limited() && !settings.insistDirections
                                   ? DirectionFit{}
                                   : hops[i].directions(settings.quantile, settings.timingFloor);
        const SlopeEstimate unknown{std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()};
        forward[i] = d.forward ? SlopeEstimate{d.f, d.fStdev} : unknown;
        back[i] = d.back ? SlopeEstimate{d.r, d.rStdev} : unknown;
        both[i] = d.back ? meanSlope(d) : unknown;
    }
    const std::vector<std::optional<ChainLink>> forwardChain =
        linkChain(forward, settings.systematic, settings.relativeSystematic);
    const std::vector<std::optional<ChainLink>> backChain =
        linkChain(back, settings.systematic, settings.relativeSystematic);
    const std::vector<std::optional<ChainLink>> bothChain =
        linkChain(both, settings.systematic, settings.relativeSystematic);

    std::vector<HopResult> results;
    for (size_t i = 0; i < hops.size(); ++i) {
        const HopState &hop = hops[i];
        if (hop.path.number < settings.firstHop)
            continue;  // its link is not asked for
        HopResult r;
        r.hop = hop.path.number;
        r.method = hop.path.method;
        r.protocol = hop.path.protocol;
        if (hop.measured())
            r.address = hop.path.address;
        for (const auto &[address, count] : hop.otherReplies)
            r.others.emplace_back(address, count);
        for (const auto &[address, count] : hop.path.responders)
            if (address != hop.path.address &&
                std::none_of(r.others.begin(), r.others.end(),
                             [responder = address](const auto &o) { return o.first == responder; }))
                r.others.emplace_back(address, count);
        for (const ProbeRecord &p : probes) {
            if (p.hop != r.hop || p.sendError != 0)
                continue;
            ++r.probes;
            r.replies += p.answered ? 1 : 0;
            // An echo request to the router's address with its hop's TTL that ran out on
            // the way: the address is reached by another path, longer than this one, and
            // its echoes (left out by discovery) would not tell of this path's links.
            r.addressBeyond =
                r.addressBeyond ||
                (!p.measurement && r.method != HopMethod::Destination && p.to == hop.path.address && p.ttl == r.hop &&
                 p.answered && p.protocol == ProbeProtocol::Icmp && p.kind == ReplyKind::TimeExceeded);
        }
        r.rateLimited = hop.limits.limited();
        r.minRttMs = std::isfinite(hop.minRtt) ? hop.minRtt * 1000.0 : std::nan("");
        r.fit = hopFit(hop, settings);
        if (chain[i]) {
            r.capacity = chain[i]->capacity;
            if (static_cast<int>(i) - chain[i]->nearHop > 1)
                r.mergedFrom = chain[i]->nearHop + 2;  // the links from just after the near hop up to this one
        }
        r.echoPathDiffers = hop.echoPathDiffers();
        // A direction known no closer than a few percent (lengths that barely part, few
        // replies) tells less than the one figure of both: the link keeps that.
        auto telling = [](const std::optional<ChainLink> &link) {
            if (!link || !link->capacity.known)
                return false;
            const CapacityEstimate &c = link->capacity;
            return c.lowerBound || c.high - c.low <= 2 * usefulWidth * c.bitsPerSecond;
        };
        // (Not where an end's echoes came back another way: the line has them.)
        const int near = chain[i] ? chain[i]->nearHop : -1;
        const bool echoesAside =
            hop.echoPathDiffers() || (near >= 0 && hops[static_cast<size_t>(near)].echoPathDiffers());
        const bool lineUsable = !echoesAside && chain[i] && chain[i]->capacity.known && !chain[i]->capacity.lowerBound;
        // The figure of every probe together, with an interval that holds either reading.
        auto takeJoint = [](CapacityEstimate &e, const CapacityEstimate &joint) {
            e.bitsPerSecond = joint.bitsPerSecond;
            e.low = std::min(e.low, joint.low);
            e.high = std::max(e.high, joint.high);
        };
        if (telling(forwardChain[i])) {
            r.capacity = forwardChain[i]->capacity;
            r.directions = LinkDirections::Forward;
            // The way back not told, but the way out where the line of both puts it: most
            // likely one rate (an asymmetric link reads apart, toward the slower way), and
            // the line's figure is known several times more closely.
            const CapacityEstimate &line = chain[i] ? chain[i]->capacity : r.capacity;
            if (!telling(backChain[i]) && !settings.insistDirections && lineUsable && !r.capacity.lowerBound &&
                !readingsApart(r.capacity, line) && line.high - line.low < r.capacity.high - r.capacity.low)
                takeJoint(r.capacity, line);
            if (telling(backChain[i])) {
                const CapacityEstimate &b = backChain[i]->capacity;
                r.returnCapacity = b;
                r.directions = LinkDirections::Separated;
                const CapacityEstimate &f = r.capacity;
                r.asymmetric = readingsApart(f, b);
                // Directions that agree within their intervals are most likely one rate
                // (most links are symmetric): both get the figure of all the probes
                // together, known several times more closely, and keep intervals that
                // hold either reading.
                // The plane's joint figure allows for per-byte costs that differ by direction
                // (it reads error-answering hops truer); with few replies, as where errors
                // are rate-limited, its extra freedom costs much: then the line's figure
                // (both directions one rate) is taken, whichever is known closer by half.
                const CapacityEstimate *joint = &bothChain[i]->capacity;
                if (lineUsable && (!joint->known || joint->lowerBound ||
                                   joint->high - joint->low > 1.5 * (chain[i]->capacity.high - chain[i]->capacity.low)))
                    joint = &chain[i]->capacity;
                const CapacityEstimate &c = *joint;
                if (!settings.insistDirections && !r.asymmetric && c.known && !c.lowerBound && !f.lowerBound &&
                    !b.lowerBound) {
                    takeJoint(r.capacity, c);
                    takeJoint(*r.returnCapacity, c);
                }
            }
        }
        r.pairBitsPerSecond = pairRate(hop, probes);
        results.push_back(r);
    }
    markHiddenDevices(results);
    return results;
}

}  // namespace hoprate
