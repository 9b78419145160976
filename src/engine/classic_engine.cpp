#include "engine/classic_engine.h"

#include <cerrno>

#include "net/resolve.h"
#include "output/classic_console.h"
#include "support/clock.h"
#include "wire/reply.h"

namespace hoprate {

Aim aimProbes(Network &net, const Resolver &resolve, const std::string &destination, int ttl, SweepProtocol protocol)
{
    Aim aim;
    if (protocol == SweepProtocol::Udp) {
        const Prepared udp = net.prepare(Channel::Udp, ttl);
        if (udp.error != 0)
            throw RunFailure(udp.failed == PrepareStep::Ttl ? "setsockopt, sd2" : "socket", udp.error);
        aim.udpSourcePort = udp.localPort;
    }
    const Prepared icmp = net.prepare(Channel::Icmp, ttl);
    if (icmp.error != 0)
        throw RunFailure(icmp.failed == PrepareStep::Ttl ? "setsockopt, sd" : "socket: icmp", icmp.error);
    const std::optional<Ipv4Address> address = resolve(destination);
    if (!address)
        throw RunFailure("unknown host: " + destination + "\n");

    aim.endpoint = Endpoint{IpAddress::v4(*address), protocol == SweepProtocol::Udp ? udpProbePort : uint16_t{0}};
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
    record.icmp = aim.protocol == SweepProtocol::Icmp;
    record.targetText = aim.addressText;
    record.ttl = aim.ttl;
    for (const SizeSamples &row : samples)
        record.sizes.push_back(summarize(row));
    record.fit = fitMinima(sizes, minimaOf(record.sizes));
    record.timeoutsSoFar = timeoutsSoFar;
    return record;
}

ClassicEngine::ClassicEngine(Network &network, Resolver resolver, ClassicConsole &out, ResultsFile &file,
                             SweepPlan sweepPlan, int ownPid, int64_t counterFrequency)
    : net(network),
      resolve(std::move(resolver)),
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
    // Sends are fire and forget: a probe that does not leave is a probe without reply.
    int64_t sendStamp = 0;
    if (aim.protocol == SweepProtocol::Icmp) {
        probes.prepareEcho(identifier, static_cast<uint16_t>(probeSeq & 0xFFFF));
        ++probeSeq;
        sendStamp = net.now();
        net.send(Channel::Icmp, probes.finishEcho(sendStamp, size), aim.endpoint, std::nullopt);
    } else {
        sendStamp = net.now();
        net.send(Channel::Udp, probes.udpPayload(sendStamp, size), aim.endpoint, std::nullopt);
        ++probeSeq;
    }
    OutstandingProbe outstanding{identifier, probeSeq - 1, aim.endpoint.address.asV4(), udpProbePort, sendStamp};
    outstanding.kind = aim.protocol == SweepProtocol::Udp ? OutstandingKind::Udp : OutstandingKind::Echo;
    outstanding.udpSourcePort = udpSourcePort;

    // One deadline per probe, from its send: neither a datagram that answers nothing nor
    // an interrupted wait moves it.
    const int64_t deadline = sendStamp + waitNanoseconds;
    std::optional<double> rtt;
    for (;;) {
        const Wait result = net.receive(receiveBuffer, deadline);
        if (result.status == WaitStatus::Interrupted) {
            if (net.now() >= deadline)
                break;
            continue;
        }
        // A failed wait keeps the message the classic mode has always given it; a datagram
        // longer than the buffer is a failure too, never parsed cut short.
        if (result.status == WaitStatus::Failed)
            throw RunFailure(result.failedStep == WaitStep::Wait ? "select" : "recvfrom error", result.error);
        if (result.status == WaitStatus::TimedOut)
            break;
        const Arrival &datagram = result.arrival;
        if (datagram.length > static_cast<int>(receiveBuffer.size()))
            throw RunFailure("recvfrom error", EMSGSIZE);
        const Reply reply =
            decodeReply({receiveBuffer.data(), static_cast<size_t>(datagram.length)}, outstanding);
        if (reply.verdict == ReplyVerdict::Fatal)
            throw RunFailure(fatalReplyMessage(reply));
        if (reply.verdict == ReplyVerdict::Rejected) {
            console.rejected(reply);
            // Read at or after the deadline: the wait is over. A steady stream of other
            // traffic cannot hold the probe beyond its time-out.
            if (datagram.userTime >= deadline)
                break;
            continue;
        }
        rtt = elapsedSeconds(datagram.userTime, reply.sentAt, frequency);
        responder = datagram.from.asV4();
        console.accepted(reply, probeSeq - 1, *rtt);
        break;
    }
    if (!rtt) {
        console.timedOut(probeSeq - 1);
        ++timeoutCount;
    }
    net.pause(int64_t{pauseAfterProbeMicroseconds} * 1000);
    return rtt;
}

Slope ClassicEngine::sweep(const Aim &aim)
{
    // Only this sweep's replies say who answers at its TTL.
    responder.reset();
    if (aim.protocol == SweepProtocol::Udp)
        udpSourcePort = aim.udpSourcePort;
    for (size_t i = 0; i < plan.sizes.size(); ++i) {
        const int size = plan.sizes[i];
        console.sending(aim.protocol == SweepProtocol::Icmp, aim.name, aim.addressText, size, aim.ttl);
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
    const Slope udpFar = sweep(aimProbes(net, resolve, destination, hopCount, SweepProtocol::Udp));
    HopWalk walk(hopCount, echoFar, udpFar);
    for (int h = hopCount; h >= 1; --h) {
        Slope towardDestination;
        Slope toRouter;
        if (h != 1) {
            towardDestination = sweep(aimProbes(net, resolve, destination, h - 1, SweepProtocol::Icmp));
            // The router sweep goes to whoever answered the sweep just made; when nobody
            // did, there is no router address to aim at.
            if (!responder)
                throw RunFailure("no reply from hop " + std::to_string(h - 1) + ": no router address to probe\n");
            toRouter = sweep(aimProbes(net, resolve, dottedQuad(*responder), h - 1, SweepProtocol::Icmp));
        }
        console.hop(walk.pass(towardDestination, toRouter));
    }
}

}  // namespace hoprate
