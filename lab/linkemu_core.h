// Pure parts of the link emulator: option parsing, the per-direction timing of a
// link, ICMP error inspection and quote rewriting, and the lateness histogram. Nothing
// here touches a device, a clock or a namespace, so every function is tested with plain
// values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace linkemu {

// "10M", "2.5M", "800K", "1G", "64000" -> bits per second; 0 for malformed or non-positive text.
double parseRate(const std::string &text);

// "1ms", "250us", "1.5ms", "2s", "300ns", "0" -> nanoseconds; -1 for malformed or negative text.
int64_t parseDuration(const std::string &text);

// Serialization time of len bytes at rateBitsPerSecond, in nanoseconds (rounded to nearest).
int64_t serializationNanoseconds(size_t len, double rateBitsPerSecond);

// One direction of a link: a FIFO queue in front of a transmitter of fixed rate, then
// hiddenDevices store-and-forward devices (layer-2 switches, invisible to the TTL), each
// with its own FIFO queue and a transmitter of the same rate, then a fixed propagation
// delay. busyUntil is when the first transmitter finishes the last packet accepted so
// far, hiddenBusyUntil[i] the same for hidden device i. Propagation is the link's total;
// where along the chain it happens does not change any packet's timing.
struct LinkDirection {
    static constexpr int maxHiddenDevices = 16;

    double rateBitsPerSecond = 0;
    int64_t propagationNs = 0;
    int hiddenDevices = 0;
    int64_t busyUntil = 0;
    int64_t hiddenBusyUntil[maxHiddenDevices] = {};

    // Accepts a packet of len bytes that reached the queue at arrivalNs, after extraNs of
    // extra queueing (cross traffic). Returns the time its last bit reaches the far end.
    int64_t admit(int64_t arrivalNs, size_t len, int64_t extraNs);
};

// Internet checksum (RFC 1071) of len bytes, as stored on the wire (big-endian value).
uint16_t internetChecksum(const unsigned char *data, size_t len);

// ICMPv6 checksum (RFC 4443) of packet, an IPv6 datagram of len bytes (at least 40)
// whose ICMPv6 message follows the fixed header directly: the Internet checksum over the
// pseudo-header (source, destination, the message's length, next header 58) and the
// message, as stored on the wire. A message holding its correct checksum sums to 0.
uint16_t icmpv6Checksum(const unsigned char *packet, size_t len);

// The ICMP errors whose quotes the emulator rewrites, whole messages only: IPv4 ICMP
// time exceeded (11) and destination unreachable (3), not a fragment; ICMPv6 destination
// unreachable (1), packet too big (2) and time exceeded (3), right after the fixed
// header (no extension headers). The outer header's length must agree with the bytes
// read, and the quote must start with a whole header of the same IP version. The quote
// of an IPv4 error is cut at the quoted header + 8 bytes (28 bytes without options), of
// an ICMPv6 error at its fixed header + 8 bytes (48 bytes).

// When packet (len bytes) is such an error quoting more than that, cuts the quote, fixes
// the outer length, the IPv4 header checksum and the ICMP or ICMPv6 checksum, and
// returns the new length. Any other packet (or one already short enough) is left as it
// is and its length returned.
size_t trimIcmpQuote(unsigned char *packet, size_t len);

// Such an error's IP version (4 or 6), type, sender and where its quote starts. type is
// -1 (and version 0) for every other packet.
struct IcmpError {
    int version = 0;
    int type = -1;
    bool timeExceeded = false;
    uint32_t source = 0;             // IPv4 sender, host byte order
    unsigned char source6[16] = {};  // IPv6 sender, as on the wire
    size_t quoteStart = 0;           // offset of the quoted datagram in the packet
};
IcmpError inspectIcmpError(const unsigned char *packet, size_t len);

// When packet (len bytes, in a buffer of at least maxLen bytes) is such an error whose
// quote is shorter than the whole offending datagram (as the quoted header's total or
// payload length says), extends the quote to that datagram, with the message kept to
// maxLen bytes at most. The added bytes come from original (the offending datagram as it
// was sent, originalLen bytes) as far as it has them, zeros after that. Fixes the outer
// length and the checksums, and returns the new length; any other packet is left as it
// is and its length returned.
size_t padIcmpQuote(unsigned char *packet, size_t len, size_t maxLen, const unsigned char *original,
                    size_t originalLen);

// The last few datagrams a link carried toward a node, so that a quote the node cut
// short can be completed with the bytes it cut.
class DatagramMemory {
public:
    DatagramMemory(size_t entries, size_t maxBytes);
    // Keeps a copy of the first maxBytes bytes of an IPv4 or IPv6 datagram; anything else,
    // or shorter than its version's header, is ignored.
    void remember(const unsigned char *packet, size_t len);
    // The most recent remembered datagram that quote (the first quoteLen bytes of an
    // offending datagram, as an ICMP error carries them) was taken from: the same bytes
    // as far as the quote goes, but for those a node may change on the way (IPv4: TTL and
    // header checksum; IPv6: hop limit). So the same IP version, identification (IPv4),
    // addresses, protocol and length, and the same transport bytes. nullptr when there is
    // none, or when quote is shorter than its version's header.
    const std::vector<unsigned char> *find(const unsigned char *quote, size_t quoteLen) const;

private:
    std::vector<std::vector<unsigned char>> entries_;
    size_t maxBytes_;
    size_t next_ = 0;
};

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
