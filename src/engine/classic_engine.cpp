#include "engine/classic_engine.h"

#include <cerrno>

#include "net/resolve.h"
#include "support/clock.h"
#include "support/diagnostics.h"
#include "wire/reply.h"

Aim aimProbes(ProbeNetwork &net, const std::string &destination, int ttl, ProbeProtocol protocol)
{
    if (protocol == ProbeProtocol::Udp) {
        if (!net.udpSocketOpen()) {
            if (const int error = net.openUdpSocket()) {
                errno = error;
                fatalSystemError("socket");
            }
        }
        if (const int error = net.setUdpTtl(ttl)) {
            errno = error;
            fatalSystemError("setsockopt, sd2");
        }
    }
    if (!net.icmpSocketOpen()) {
        if (const int error = net.openIcmpSocket()) {
            errno = error;
            fatalSystemError("socket: icmp");
        }
    }
    if (const int error = net.setIcmpTtl(ttl)) {
        errno = error;
        fatalSystemError("setsockopt, sd");
    }
    const std::optional<Ipv4Address> address = resolveHost(destination);
    if (!address)
        fatalError("unknown host: %s\n", destination.c_str());

    Aim aim;
    aim.endpoint = Endpoint{*address, protocol == ProbeProtocol::Udp ? udpProbePort : uint16_t{0}};
    aim.name = beginsWithDigit(destination) ? "" : destination;
    aim.addressText = dottedQuad(*address);
    aim.ttl = ttl;
    aim.protocol = protocol;
    return aim;
}

void splitTimeout(double seconds, int &wholeSeconds, int &microseconds)
{
    wholeSeconds = static_cast<int>(seconds);
    microseconds = static_cast<int>((seconds - wholeSeconds) * 1000000.0);
}

namespace {

int64_t waitFor(double seconds)
{
    int wholeSeconds = 0;
    int microseconds = 0;
    splitTimeout(seconds, wholeSeconds, microseconds);
    return static_cast<int64_t>(wholeSeconds) * counterTicksPerSecond + static_cast<int64_t>(microseconds) * 1000;
}

}  // namespace

SweepRecord analyseSweep(const Aim &aim, const std::vector<int> &sizes, const std::vector<SizeSamples> &samples,
                         int timeoutsSoFar)
{
    SweepRecord record;
    record.icmp = aim.protocol == ProbeProtocol::Icmp;
    record.targetText = aim.addressText;
    record.ttl = aim.ttl;
    for (const SizeSamples &row : samples)
        record.sizes.push_back(summarize(row));
    record.fit = fitMinima(sizes, minimaOf(record.sizes));
    record.timeoutsSoFar = timeoutsSoFar;
    return record;
}

ClassicEngine::ClassicEngine(ProbeNetwork &network, ClassicConsole &out, ResultsFile &file, SweepPlan sweepPlan,
                             int ownPid, int64_t counterFrequency)
    : net(network),
      console(out),
      results(file),
      plan(std::move(sweepPlan)),
      identifier(static_cast<uint16_t>(ownPid & 0xFFFF)),
      frequency(counterFrequency),
      waitNanoseconds(waitFor(plan.probeTimeout)),
      receiveBuffer(probeBufferSize),
      samples(plan.sizes.size())
{
    for (SizeSamples &row : samples)
        row.reserve(static_cast<size_t>(plan.iterations));
}

std::optional<double> ClassicEngine::measureProbe(const Aim &aim, int size)
{
    int64_t sendStamp = 0;
    if (aim.protocol == ProbeProtocol::Icmp) {
        probes.prepareEcho(identifier, static_cast<uint16_t>(probeSeq & 0xFFFF));
        ++probeSeq;
        sendStamp = net.now();
        net.sendIcmp(probes.finishEcho(sendStamp, size), aim.endpoint);
    } else {
        sendStamp = net.now();
        net.sendUdp(probes.udpPayload(sendStamp, size), aim.endpoint);
        ++probeSeq;
    }
    OutstandingProbe outstanding{identifier, probeSeq - 1, aim.endpoint.address, udpProbePort, sendStamp};
    outstanding.kind = aim.protocol == ProbeProtocol::Udp ? OutstandingKind::Udp : OutstandingKind::Echo;
    outstanding.udpSourcePort = net.udpSourcePort();

    // One deadline per probe, from its send: neither a datagram that answers nothing nor
    // an interrupted wait moves it.
    const int64_t deadline = sendStamp + waitNanoseconds;
    std::optional<double> rtt;
    for (;;) {
        const ReceiveResult result = net.receive(receiveBuffer, deadline);
        if (result.status == ReceiveStatus::Interrupted) {
            if (net.now() >= deadline)
                break;
            continue;
        }
        if (result.status == ReceiveStatus::Failed) {
            errno = result.error;
            fatalSystemError("%s", result.failedCall);
        }
        if (result.status == ReceiveStatus::TimedOut)
            break;
        const Datagram &datagram = result.datagram;
        const Reply reply =
            decodeReply({receiveBuffer.data(), static_cast<size_t>(datagram.length)}, outstanding);
        if (reply.verdict == ReplyVerdict::Fatal)
            console.fatalReply(reply);
        if (reply.verdict == ReplyVerdict::Rejected) {
            console.rejected(reply);
            // Read at or after the deadline: the wait is over. A steady stream of other
            // traffic cannot hold the probe beyond its time-out.
            if (datagram.arrival >= deadline)
                break;
            continue;
        }
        rtt = elapsedSeconds(datagram.arrival, reply.sentAt, frequency);
        responder = datagram.from;
        console.accepted(reply, probeSeq - 1, *rtt);
        break;
    }
    if (!rtt) {
        console.timedOut(probeSeq - 1);
        ++timeoutCount;
    }
    net.pause(pauseAfterProbeMicroseconds);
    return rtt;
}

Slope ClassicEngine::sweep(const Aim &aim)
{
    // Only this sweep's replies say who answers at its TTL.
    responder.reset();
    for (size_t i = 0; i < plan.sizes.size(); ++i) {
        const int size = plan.sizes[i];
        console.sending(aim.protocol == ProbeProtocol::Icmp, aim.name, aim.addressText, size, aim.ttl);
        samples[i].clear();
        for (int iteration = 0; iteration < plan.iterations; ++iteration)
            samples[i].push_back(measureProbe(aim, size));
    }
    console.sweepDone(timeoutCount);
    const SweepRecord record = analyseSweep(aim, plan.sizes, samples, timeoutCount);
    console.analysis(record.sizes, record.fit);
    results.append(record);
    return Slope{record.fit.slope, record.fit.slopeRelErr};
}

void ClassicEngine::run(const std::string &destination, int hopCount, const Aim &first)
{
    const Slope echoFar = sweep(first);
    const Slope udpFar = sweep(aimProbes(net, destination, hopCount, ProbeProtocol::Udp));
    HopWalk walk(hopCount, echoFar, udpFar);
    for (int h = hopCount; h >= 1; --h) {
        Slope towardDestination;
        Slope toRouter;
        if (h != 1) {
            towardDestination = sweep(aimProbes(net, destination, h - 1, ProbeProtocol::Icmp));
            // The router sweep goes to whoever answered the sweep just made; when nobody
            // did, there is no router address to aim at.
            if (!responder)
                fatalError("no reply from hop %d: no router address to probe\n", h - 1);
            toRouter = sweep(aimProbes(net, dottedQuad(*responder), h - 1, ProbeProtocol::Icmp));
        }
        console.hop(walk.pass(towardDestination, toRouter));
    }
}
