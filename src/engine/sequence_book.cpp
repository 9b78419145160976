#include "engine/sequence_book.h"

#include "support/entropy.h"

namespace hoprate {

ProbeSecrets drawProbeSecrets()
{
    const uint64_t word = randomWord();
    ProbeSecrets secrets;
    secrets.identifier = static_cast<uint16_t>(word);
    secrets.cookie = static_cast<uint32_t>(word >> 16);
    secrets.firstSequence = static_cast<uint16_t>(word >> 48);
    secrets.key = static_cast<uint16_t>(randomWord());
    return secrets;
}

SequenceBook::SequenceBook(uint16_t firstSequence) : probeOf(65536, -1), next(firstSequence) {}

std::optional<uint16_t> SequenceBook::open(int probe, int64_t deadline)
{
    if (inFlight + reserved >= 65536)
        return std::nullopt;
    // Sequence numbers are taken in turn; those still in flight are passed over.
    while (probeOf[next] >= 0)
        ++next;
    const uint16_t sequence = next++;
    probeOf[sequence] = probe;
    ++inFlight;
    deadlines.push(Entry{deadline, probe, sequence});
    return sequence;
}

std::optional<int> SequenceBook::find(uint16_t sequence) const
{
    if (probeOf[sequence] < 0 || probeOf[sequence] == reservedProbe)
        return std::nullopt;
    return probeOf[sequence];
}

void SequenceBook::reserve(uint16_t sequence)
{
    if (probeOf[sequence] >= 0 && probeOf[sequence] != reservedProbe)
        --inFlight;
    if (probeOf[sequence] != reservedProbe)
        ++reserved;
    probeOf[sequence] = reservedProbe;
}

void SequenceBook::close(uint16_t sequence)
{
    if (probeOf[sequence] < 0 || probeOf[sequence] == reservedProbe)
        return;
    probeOf[sequence] = -1;
    --inFlight;
}

void SequenceBook::expire(int64_t now)
{
    while (!deadlines.empty() && deadlines.top().deadline <= now) {
        const Entry e = deadlines.top();
        deadlines.pop();
        if (probeOf[e.sequence] == e.probe)
            close(e.sequence);
    }
}

void SequenceBook::dropClosed()
{
    while (!deadlines.empty() && probeOf[deadlines.top().sequence] != deadlines.top().probe)
        deadlines.pop();
}

std::optional<int64_t> SequenceBook::nextDeadline()
{
    dropClosed();
    if (deadlines.empty())
        return std::nullopt;
    return deadlines.top().deadline;
}

}  // namespace hoprate
