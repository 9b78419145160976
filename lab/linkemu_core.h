// Pure parts of the link emulator: option parsing, the per-direction timing of a
// link, ICMP quote trimming and the lateness histogram. Nothing here touches a
// device, a clock or a namespace, so every function is tested with plain values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace linkemu {

// "10M", "2.5M", "800K", "1G", "64000" -> bits per second; 0 for malformed or non-positive text.
double parseRate(const std::string &text);

// "1ms", "250us", "1.5ms", "2s", "300ns", "0" -> nanoseconds; -1 for malformed or negative text.
int64_t parseDuration(const std::string &text);

// Serialization time of len bytes at rateBitsPerSecond, in nanoseconds (rounded to nearest).
int64_t serializationNanoseconds(size_t len, double rateBitsPerSecond);

// One direction of a link: a FIFO queue in front of a transmitter of fixed rate,
// followed by a fixed propagation delay. busyUntil is when the transmitter finishes
// the last packet accepted so far.
struct LinkDirection {
    double rateBitsPerSecond = 0;
    int64_t propagationNs = 0;
    int64_t busyUntil = 0;

    // Accepts a packet of len bytes that reached the queue at arrivalNs, after extraNs of
    // extra queueing (cross traffic). Returns the time its last bit reaches the far end.
    int64_t admit(int64_t arrivalNs, size_t len, int64_t extraNs);
};

// Internet checksum (RFC 1071) of len bytes, as stored on the wire (big-endian value).
uint16_t internetChecksum(const unsigned char *data, size_t len);

// When packet (len bytes, an IPv4 datagram) is an ICMP time-exceeded or destination-
// unreachable message quoting more than the offending packet's IP header + 8 bytes,
// cuts the quote to exactly that, fixes the outer total length, the IP header checksum
// and the ICMP checksum, and returns the new length. Any other packet (or one already
// short enough, fragmented or malformed) is left as it is and its length returned.
size_t trimIcmpQuote(unsigned char *packet, size_t len);

// Distribution of how late packets left versus their due times: 10 ns bins up to
// 200 us, with the values above counted in one overflow bin (their maximum is kept).
class LatenessHistogram {
public:
    static constexpr int64_t binNs = 10;
    static constexpr int binCount = 20000;

    LatenessHistogram();
    void add(int64_t latenessNs);
    uint64_t count() const { return total; }
    int64_t maximum() const { return maxNs; }
    // Smallest bin upper edge below which at least fraction q of the values lie; the
    // maximum when that point falls into the overflow bin; 0 when empty.
    int64_t quantile(double q) const;
    void merge(const LatenessHistogram &other);

private:
    uint64_t bins[binCount + 1];
    uint64_t total = 0;
    int64_t maxNs = 0;
};

}  // namespace linkemu
