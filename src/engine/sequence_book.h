// The sequence numbers of the probes that may still be answered.
//
// Every probe carries a 16-bit sequence number, and a reply names the probe it answers by
// it. A probe stays in the ledger until it is answered or its deadline passes; no sequence
// number is given to a new probe while an earlier one that carried it is still in the
// ledger, so a late reply can only ever be credited to its own probe. Sequence numbers
// start at a random value and go up from there: a sender that never sees a probe cannot
// tell which numbers are in flight.
#pragma once

#include <cstdint>
#include <optional>
#include <queue>
#include <vector>

namespace hoprate {

// What makes a run's probes its own: the echo identifier, the cookie, the key of the UDP
// and TCP sequence fields, and the first sequence number. Unguessable in a real run
// (drawProbeSecrets); tests choose them.
struct ProbeSecrets {
    uint16_t identifier = 0;
    uint32_t cookie = 0;
    uint16_t firstSequence = 0;
    uint16_t key = 0;
};

// Secrets from the kernel's random numbers.
ProbeSecrets drawProbeSecrets();

class SequenceBook {
public:
    explicit SequenceBook(uint16_t firstSequence = 0);

    // Enters a probe (its index in the run) with the time after which no reply to it is
    // taken, under the next free sequence number; nothing while all 65,536 are taken.
    std::optional<uint16_t> open(int probe, int64_t deadline);
    // The probe in flight under this sequence number, if any.
    std::optional<int> find(uint16_t sequence) const;
    // The probe under this sequence number leaves (answered, or never sent).
    void close(uint16_t sequence);
    // Never gives this sequence number to a probe.
    void reserve(uint16_t sequence);
    // Probes whose deadline is at or before `now` leave.
    void expire(int64_t now);
    bool empty() const { return inFlight == 0; }
    int size() const { return inFlight; }
    // The earliest deadline of a probe in flight.
    std::optional<int64_t> nextDeadline();

private:
    struct Entry {
        int64_t deadline;
        int probe;
        uint16_t sequence;
        bool operator>(const Entry &o) const { return deadline > o.deadline; }
    };
    void dropClosed();

    std::vector<int> probeOf;  // by sequence number: the probe in flight, or -1
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> deadlines;  // closed ones linger
    uint16_t next;
    int inFlight = 0;
    int reserved = 0;
    static constexpr int reservedProbe = 0x7FFFFFFF;  // in probeOf: a number never given
};

}  // namespace hoprate
