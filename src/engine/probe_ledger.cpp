#include "engine/probe_ledger.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "engine/precise_error.h"

namespace hoprate {

namespace {

constexpr int64_t second = 1000000000;
constexpr int64_t setupWait = second;        // a probe of the first phases unanswered this long is lost
constexpr int64_t replyDeadline = 5 * second;  // a measurement probe unanswered this long is lost

}  // namespace

ProbeLedger::ProbeLedger(Network &network, ProbeSecrets secrets, FlowSetup flowSetup, int64_t lateStampTolerance)
    : net(network), keys{secrets.identifier, secrets.cookie, secrets.key, flowSetup.udpSource, flowSetup.tcpSource},
      setup(flowSetup), book(secrets.firstSequence), stampFilter(lateStampTolerance), buffer(65536)
{
    // The one sequence number whose UDP checksum would be 0 (which the kernel writes as
    // 0xFFFF, another's) is never used.
    book.reserve(unusableSequence(keys));
}

uint16_t ProbeLedger::takeSequence(int probe, int64_t wait, const AnswerSink &sink)
{
    book.expire(net.now());
    std::optional<uint16_t> sequence = book.open(probe, net.now() + wait);
    if (!sequence) {
        // Every sequence number is out: the earliest deadline frees one.
        takeReplies(*book.nextDeadline(), sink);
        book.expire(net.now());
        sequence = book.open(probe, net.now() + wait);
    }
    return *sequence;
}

int ProbeLedger::send(const ProbeRequest &request, const AnswerSink &sink)
{
    ProbeRecord record;
    record.hop = request.hop;
    record.to = request.to;
    record.protocol = request.protocol;
    record.ttl = request.ttl;
    record.size = request.size;
    record.measurement = request.measurement;
    record.pairFirst = request.pairFirst;
    const int index = count();
    record.sequence = takeSequence(index, request.measurement ? replyDeadline : setupWait, sink);
    const uint16_t port = request.protocol == ProbeProtocol::Udp   ? setup.udpDestination
                          : request.protocol == ProbeProtocol::Tcp ? setup.tcpDestination
                                                                   : uint16_t{0};
    const ProbeFlow flow{request.protocol, setup.source, request.to, port, keys};
    const std::vector<uint8_t> message = buildProbe(flow, record.sequence, request.size);
    const Channel channel = request.protocol == ProbeProtocol::Icmp  ? Channel::Icmp
                            : request.protocol == ProbeProtocol::Udp ? Channel::Udp
                                                                     : Channel::Tcp;
    const Sent sent = net.send(channel, message, Endpoint{request.to, port}, request.ttl);
    record.sendError = sent.error;
    record.sentAt = sent.userTime;
    record.sentKernel = sent.kernelTime;
    // A stamp is judged among those of sends that followed as long a pause.
    if (sent.kernelTime)
        record.lateSendStamp = stampFilter.late(*sent.kernelTime - sent.userTime, sent.userTime - lastSendAt);
    lastSendAt = sent.userTime;
    records.push_back(record);
    if (sent.error != 0)
        book.close(record.sequence);
    else
        ++sentCount;
    return index;
}

void ProbeLedger::wake(const IpAddress &to)
{
    // Its own TTL, long enough for any path: one that ran out would be answered (and
    // where errors are rate-limited, take a probe's turn).
    net.send(Channel::Icmp, buildWake(to.family), Endpoint{to, 0}, 255);
}

void ProbeLedger::takeReplies(int64_t until, const AnswerSink &sink)
{
    // Bounded by the deadline, however much arrives: a datagram read at or after it ends
    // the wait.
    while (net.now() < until) {
        const Wait wait = net.receive(buffer, until);
        if (wait.status == WaitStatus::TimedOut)
            return;
        if (wait.status == WaitStatus::Failed)
            throw PreciseError(std::string("receiving: ") + std::strerror(wait.error));
        if (wait.status == WaitStatus::Interrupted)
            throw PreciseInterrupted();
        if (wait.status == WaitStatus::Received) {
            matchReply(wait.arrival, sink);
            if (wait.arrival.userTime >= until)
                return;
        }
    }
}

void ProbeLedger::awaitAll(int64_t deadline, int64_t step, const AnswerSink &sink)
{
    for (;;) {
        const int64_t now = net.now();
        book.expire(now);
        if (book.empty() || now >= deadline)
            return;
        takeReplies(std::min(deadline, now + step), sink);
    }
}

void ProbeLedger::matchReply(const Arrival &arrival, const AnswerSink &sink)
{
    const size_t kept = std::min(static_cast<size_t>(arrival.length), buffer.size());
    const std::optional<ProbeReply> reply =
        decodeProbeReply({buffer.data(), kept}, FlowMatch{setup.family, keys, setup.udpDestination, setup.tcpDestination});
    if (!reply)
        return;  // someone else's traffic, or not an answer to a probe of ours
    // The probe in flight with this sequence number: no other carries it, so a late reply
    // counts for its own probe or for none.
    book.expire(arrival.userTime);
    const std::optional<int> at = book.find(reply->sequence);
    if (!at)
        return;
    ProbeRecord &probe = records[static_cast<size_t>(*at)];
    if (reply->protocol != probe.protocol || reply->probeDestination != probe.to)
        return;  // carries our flow's marks but answers no probe we sent there
    // The path MTU shrinks only for a message that quotes a probe of the size it was.
    if (reply->kind == ReplyKind::TooBig && reply->quotedProbeLength != probe.size)
        return;
    // A TCP reply acknowledges the SYN (and, for a reset, its payload).
    const int payload = probe.size - ipHeaderBytes(setup.family) - 20;
    if ((reply->kind == ReplyKind::TcpReset && reply->tcpAckLow != payload) ||
        (reply->kind == ReplyKind::TcpSynAck && reply->tcpAckLow != 0))
        return;
    book.close(reply->sequence);
    probe.answered = true;
    probe.rttNs = roundTripNanoseconds(Sent{0, probe.sentAt, probe.sentKernel}, arrival);
    probe.kernelStamps = probe.sentKernel.has_value() && arrival.kernelTime.has_value();
    probe.replyLength = arrival.length;
    probe.arrivedAt = arrival.userTime;
    probe.arrivedKernel = arrival.kernelTime;
    probe.responder = reply->source;
    probe.replyTtl = reply->ttl;
    probe.cookieSeen = reply->cookieSeen;
    probe.kind = reply->kind;
    probe.nextHopMtu = reply->nextHopMtu;
    if (sink)
        sink(Answer{*at, *reply, arrival});
}

}  // namespace hoprate
