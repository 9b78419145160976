#include "linkemu_core.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace linkemu {

namespace {

// Parses a non-negative decimal number followed by a suffix; returns false when the
// text has no number, a negative one, or anything the caller's suffix table lacks.
bool splitNumber(const std::string &text, double &value, std::string &suffix)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char *end = nullptr;
    value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || !std::isfinite(value) || value < 0)
        return false;
    suffix.assign(end);
    return true;
}

uint16_t readBigEndian16(const unsigned char *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void writeBigEndian16(unsigned char *p, uint16_t value)
{
    p[0] = static_cast<unsigned char>(value >> 8);
    p[1] = static_cast<unsigned char>(value & 0xFF);
}

}  // namespace

double parseRate(const std::string &text)
{
    double value = 0;
    std::string suffix;
    if (!splitNumber(text, value, suffix))
        return 0;
    double factor = 0;
    if (suffix.empty())
        factor = 1;
    else if (suffix == "K" || suffix == "k")
        factor = 1e3;
    else if (suffix == "M")
        factor = 1e6;
    else if (suffix == "G")
        factor = 1e9;
    const double rate = value * factor;
    return rate > 0 ? rate : 0;
}

int64_t parseDuration(const std::string &text)
{
    double value = 0;
    std::string suffix;
    if (!splitNumber(text, value, suffix))
        return -1;
    double factor = 0;
    if (suffix == "s")
        factor = 1e9;
    else if (suffix == "ms")
        factor = 1e6;
    else if (suffix == "us")
        factor = 1e3;
    else if (suffix == "ns" || (suffix.empty() && value == 0))
        factor = 1;
    else
        return -1;
    const double ns = value * factor;
    if (ns > 3600e9)
        return -1;
    return static_cast<int64_t>(std::llround(ns));
}

int64_t serializationNanoseconds(size_t len, double rateBitsPerSecond)
{
    return static_cast<int64_t>(std::llround(static_cast<double>(len) * 8e9 / rateBitsPerSecond));
}

int64_t LinkDirection::admit(int64_t arrivalNs, size_t len, int64_t extraNs)
{
    const int64_t serialization = serializationNanoseconds(len, rateBitsPerSecond);
    busyUntil = std::max(arrivalNs + extraNs, busyUntil) + serialization;
    // Each hidden device starts on the packet once it holds all of it and has sent the
    // ones before; a short packet behind a long one waits there too.
    int64_t done = busyUntil;
    const int hidden = std::clamp(hiddenDevices, 0, maxHiddenDevices);
    for (int i = 0; i < hidden; ++i) {
        hiddenBusyUntil[i] = std::max(done, hiddenBusyUntil[i]) + serialization;
        done = hiddenBusyUntil[i];
    }
    return done + propagationNs;
}

namespace {

// The one's complement sum of len bytes added to sum, not yet folded; an odd trailing
// byte counts as the high byte of a word.
uint32_t addWords(uint32_t sum, const unsigned char *data, size_t len)
{
    size_t i = 0;
    for (; i + 1 < len; i += 2) {
        sum += static_cast<uint32_t>((data[i] << 8) | data[i + 1]);
        sum = (sum & 0xFFFF) + (sum >> 16);  // fold as we go: no overflow at any length
    }
    if (i < len)
        sum += static_cast<uint32_t>(data[i]) << 8;  // odd trailing byte, unsigned
    return sum;
}

uint16_t finishChecksum(uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

constexpr size_t ipv6HeaderLength = 40;
constexpr int icmpv6Protocol = 58;

}  // namespace

uint16_t internetChecksum(const unsigned char *data, size_t len)
{
    return finishChecksum(addWords(0, data, len));
}

uint16_t icmpv6Checksum(const unsigned char *packet, size_t len)
{
    if (len < ipv6HeaderLength)
        return 0;
    const size_t messageLength = len - ipv6HeaderLength;
    uint32_t sum = addWords(0, packet + 8, 32);  // source and destination addresses
    sum += static_cast<uint32_t>(messageLength >> 16) + static_cast<uint32_t>(messageLength & 0xFFFF);
    sum += icmpv6Protocol;
    return finishChecksum(addWords(sum, packet + ipv6HeaderLength, messageLength));
}

namespace {

// Where the parts of an ICMP error message lie: the outer header, and the quoted header
// of the offending datagram.
struct ErrorLayout {
    int version = 0;
    size_t headerLength = 0;
    size_t quotedStart = 0;
    size_t quotedHeaderLength = 0;
};

// True for a whole IPv4 ICMP time-exceeded or destination-unreachable message whose
// total length agrees with len and whose quote starts with a whole IPv4 header.
bool layoutOfIcmpv4Error(const unsigned char *packet, size_t len, ErrorLayout &layout)
{
    const size_t headerLength = 4u * (packet[0] & 0x0F);
    if (headerLength < 20 || len < headerLength + 8 || readBigEndian16(packet + 2) != len)
        return false;
    if (packet[9] != 1)  // not ICMP
        return false;
    // A fragment (more-fragments flag or a non-zero offset) is not a whole message.
    if ((readBigEndian16(packet + 6) & 0x3FFF) != 0)
        return false;
    const int type = packet[headerLength];
    if (type != 3 && type != 11)
        return false;
    const size_t quotedStart = headerLength + 8;
    if (len < quotedStart + 20 || (packet[quotedStart] >> 4) != 4)
        return false;
    const size_t quotedHeaderLength = 4u * (packet[quotedStart] & 0x0F);
    if (quotedHeaderLength < 20)
        return false;
    layout.version = 4;
    layout.headerLength = headerLength;
    layout.quotedStart = quotedStart;
    layout.quotedHeaderLength = quotedHeaderLength;
    return true;
}

// True for a whole ICMPv6 destination-unreachable, packet-too-big or time-exceeded
// message right after the fixed header, whose payload length agrees with len and whose
// quote starts with a whole IPv6 header.
bool layoutOfIcmpv6Error(const unsigned char *packet, size_t len, ErrorLayout &layout)
{
    if (len < ipv6HeaderLength + 8 || ipv6HeaderLength + readBigEndian16(packet + 4) != len)
        return false;
    if (packet[6] != icmpv6Protocol)  // another protocol, or an extension header first
        return false;
    const int type = packet[ipv6HeaderLength];
    if (type < 1 || type > 3)
        return false;
    const size_t quotedStart = ipv6HeaderLength + 8;
    if (len < quotedStart + ipv6HeaderLength || (packet[quotedStart] >> 4) != 6)
        return false;
    layout.version = 6;
    layout.headerLength = ipv6HeaderLength;
    layout.quotedStart = quotedStart;
    layout.quotedHeaderLength = ipv6HeaderLength;
    return true;
}

bool layoutOfIcmpError(const unsigned char *packet, size_t len, ErrorLayout &layout)
{
    if (len < 20)
        return false;
    switch (packet[0] >> 4) {
    case 4:
        return layoutOfIcmpv4Error(packet, len, layout);
    case 6:
        return layoutOfIcmpv6Error(packet, len, layout);
    default:
        return false;
    }
}

// The length of the whole offending datagram, as its quoted header says.
size_t quotedDatagramLength(const unsigned char *packet, const ErrorLayout &layout)
{
    const unsigned char *quoted = packet + layout.quotedStart;
    if (layout.version == 6)
        return ipv6HeaderLength + readBigEndian16(quoted + 4);
    return readBigEndian16(quoted + 2);
}

// Sets the outer length to newLen and recomputes the checksums.
void fixLengthAndChecksums(unsigned char *packet, const ErrorLayout &layout, size_t newLen)
{
    unsigned char *icmp = packet + layout.headerLength;
    writeBigEndian16(icmp + 2, 0);
    if (layout.version == 6) {
        writeBigEndian16(packet + 4, static_cast<uint16_t>(newLen - ipv6HeaderLength));
        writeBigEndian16(icmp + 2, icmpv6Checksum(packet, newLen));
        return;
    }
    writeBigEndian16(packet + 2, static_cast<uint16_t>(newLen));
    writeBigEndian16(packet + 10, 0);
    writeBigEndian16(packet + 10, internetChecksum(packet, layout.headerLength));
    writeBigEndian16(icmp + 2, internetChecksum(icmp, newLen - layout.headerLength));
}

}  // namespace

size_t trimIcmpQuote(unsigned char *packet, size_t len)
{
    ErrorLayout layout;
    if (!layoutOfIcmpError(packet, len, layout))
        return len;
    const size_t trimmed = layout.quotedStart + layout.quotedHeaderLength + 8;
    if (len <= trimmed)
        return len;
    fixLengthAndChecksums(packet, layout, trimmed);
    return trimmed;
}

IcmpError inspectIcmpError(const unsigned char *packet, size_t len)
{
    IcmpError error;
    ErrorLayout layout;
    if (!layoutOfIcmpError(packet, len, layout))
        return error;
    error.version = layout.version;
    error.type = packet[layout.headerLength];
    error.quoteStart = layout.quotedStart;
    if (layout.version == 6) {
        error.timeExceeded = error.type == 3;
        std::memcpy(error.source6, packet + 8, sizeof error.source6);
    } else {
        error.timeExceeded = error.type == 11;
        error.source = (uint32_t{packet[12]} << 24) | (uint32_t{packet[13]} << 16) | (uint32_t{packet[14]} << 8) |
                       uint32_t{packet[15]};
    }
    return error;
}

size_t padIcmpQuote(unsigned char *packet, size_t len, size_t maxLen, const unsigned char *original,
                    size_t originalLen)
{
    ErrorLayout layout;
    if (!layoutOfIcmpError(packet, len, layout))
        return len;
    const size_t whole = layout.quotedStart + quotedDatagramLength(packet, layout);
    // The outer length field holds 16 bits: the IPv4 total length, or the IPv6 payload length.
    const size_t lengthLimit = layout.version == 6 ? ipv6HeaderLength + 65535 : 65535;
    const size_t target = std::min({whole, maxLen, lengthLimit});
    if (target <= len)
        return len;
    for (size_t i = len; i < target; ++i) {
        const size_t at = i - layout.quotedStart;
        packet[i] = (original != nullptr && at < originalLen) ? original[at] : 0;
    }
    fixLengthAndChecksums(packet, layout, target);
    return target;
}

namespace {

// The header length of an IPv4 or IPv6 datagram's version (0 for any other version).
size_t minimumHeaderLength(const unsigned char *datagram)
{
    switch (datagram[0] >> 4) {
    case 4:
        return 20;
    case 6:
        return ipv6HeaderLength;
    default:
        return 0;
    }
}

// Whether byte i of a datagram of this version is one a node may change on the way.
bool mayChange(int version, size_t i)
{
    if (version == 6)
        return i == 7;                   // hop limit
    return i == 8 || i == 10 || i == 11;  // TTL and header checksum
}

}  // namespace

DatagramMemory::DatagramMemory(size_t entries, size_t maxBytes) : entries_(entries), maxBytes_(maxBytes) {}

void DatagramMemory::remember(const unsigned char *packet, size_t len)
{
    if (entries_.empty() || len < 1)
        return;
    const size_t headerLength = minimumHeaderLength(packet);
    if (headerLength == 0 || len < headerLength)
        return;
    entries_[next_].assign(packet, packet + std::min(len, maxBytes_));
    next_ = (next_ + 1) % entries_.size();
}

const std::vector<unsigned char> *DatagramMemory::find(const unsigned char *quote, size_t quoteLen) const
{
    if (quoteLen < 1)
        return nullptr;
    const size_t headerLength = minimumHeaderLength(quote);
    if (headerLength == 0 || quoteLen < headerLength)
        return nullptr;
    const int version = quote[0] >> 4;
    const size_t n = entries_.size();
    for (size_t back = 1; back <= n; ++back) {
        const std::vector<unsigned char> &entry = entries_[(next_ + n - back) % n];
        // Byte 0 holds the version: entries of the other version never match.
        if (entry.size() < headerLength || (entry[0] >> 4) != version)
            continue;
        const size_t common = std::min(quoteLen, entry.size());
        bool same = true;
        for (size_t i = 0; i < common && same; ++i)
            same = mayChange(version, i) || entry[i] == quote[i];
        if (same)
            return &entry;
    }
    return nullptr;
}

LatenessHistogram::LatenessHistogram()
{
    std::memset(bins, 0, sizeof bins);
}

void LatenessHistogram::add(int64_t latenessNs)
{
    if (latenessNs < 0)
        latenessNs = 0;
    const int64_t bin = latenessNs / binNs;
    bins[bin < binCount ? bin : binCount] += 1;
    total += 1;
    maxNs = std::max(maxNs, latenessNs);
}

int64_t LatenessHistogram::quantile(double q) const
{
    if (total == 0)
        return 0;
    const double wanted = q * static_cast<double>(total);
    uint64_t seen = 0;
    for (int i = 0; i < binCount; ++i) {
        seen += bins[i];
        if (static_cast<double>(seen) >= wanted && seen > 0)
            return std::min<int64_t>((i + 1) * binNs, maxNs);
    }
    return maxNs;
}

void LatenessHistogram::merge(const LatenessHistogram &other)
{
    for (int i = 0; i <= binCount; ++i)
        bins[i] += other.bins[i];
    total += other.total;
    maxNs = std::max(maxNs, other.maxNs);
}

}  // namespace linkemu
