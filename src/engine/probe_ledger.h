// Every probe of an accurate-mode run: built for its flow (echo, UDP or TCP, IPv4 or
// IPv6), sent through the network with its sequence number and kernel stamps, kept as a
// record, and matched to its reply. A reply counts only for the probe in flight that
// carries its sequence number, of its protocol, only if it comes from where that probe
// went (or quotes a probe that went there), a path MTU only from a message quoting a
// probe of the size in flight, and a TCP reply only if it acknowledges the probe's
// length. Kernel send stamps are judged as they come (LateStampFilter).
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "engine/sequence_book.h"
#include "measure/late_stamps.h"
#include "model/precise_result.h"
#include "net/network.h"
#include "wire/flow.h"

namespace hoprate {

struct ProbeRequest {
    int hop = 0;               // the hop it belongs to (0: none yet, while finding the path)
    IpAddress to;
    ProbeProtocol protocol = ProbeProtocol::Icmp;
    int ttl = 0;
    int size = 0;              // IP length in bytes
    bool measurement = false;  // false: finding the path, its MTU, who answers echo
    int pairFirst = -1;        // the second probe of a packet pair: the first one's index
};

// Where a run's probes leave from, and the ports of its UDP and TCP probes.
struct FlowSetup {
    Family family = Family::V4;
    IpAddress source;              // checksums of IPv6 echo, UDP and TCP probes cover it
    uint16_t udpSource = 0;        // the ports UDP and TCP probes leave from (0: that protocol cannot be sent)
    uint16_t tcpSource = 0;
    uint16_t udpDestination = 0;   // the ports they go to
    uint16_t tcpDestination = 0;
};

// A reply matched to its probe (whose record is already filled in).
struct Answer {
    int probe = 0;
    const ProbeReply &reply;
    const Arrival &arrival;
};

class ProbeLedger {
public:
    using AnswerSink = std::function<void(const Answer &)>;

    ProbeLedger(Network &net, ProbeSecrets secrets, FlowSetup setup, int64_t lateStampTolerance);

    // Sends a probe; its index. A failed send is recorded with its errno. (Should every
    // sequence number be out, replies are taken until one is free, handed to the sink.)
    int send(const ProbeRequest &request, const AnswerSink &sink = {});
    // Takes every packet until `until` (monotonic ns), handing each matched reply to the
    // sink. Throws PreciseError when receiving fails, PreciseInterrupted when a signal
    // asked the run to stop.
    void takeReplies(int64_t until, const AnswerSink &sink = {});
    // As takeReplies, until every probe in flight is answered or gone, or the deadline;
    // in steps, so that the wait ends as soon as the last reply is in.
    void awaitAll(int64_t deadline, int64_t step, const AnswerSink &sink = {});
    // Sends a message nobody answers (buildWake) to the address: not a probe, not kept.
    void wake(const IpAddress &to);

    const ProbeRecord &operator[](int probe) const { return records[static_cast<size_t>(probe)]; }
    int count() const { return static_cast<int>(records.size()); }
    int sent() const { return sentCount; }
    const std::vector<ProbeRecord> &all() const { return records; }
    std::vector<ProbeRecord> release() { return std::exchange(records, {}); }
    const FlowSetup &flows() const { return setup; }

private:
    uint16_t takeSequence(int probe, int64_t wait, const AnswerSink &sink);
    void matchReply(const Arrival &arrival, const AnswerSink &sink);

    Network &net;
    FlowKeys keys;
    FlowSetup setup;
    SequenceBook book;
    LateStampFilter stampFilter;
    std::vector<ProbeRecord> records;
    std::vector<uint8_t> buffer;
    int sentCount = 0;
    int64_t lastSendAt = 0;  // the program's time of the previous send
};

}  // namespace hoprate
