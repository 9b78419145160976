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
    const int64_t start = std::max(arrivalNs + extraNs, busyUntil);
    busyUntil = start + serializationNanoseconds(len, rateBitsPerSecond);
    return busyUntil + propagationNs;
}

uint16_t internetChecksum(const unsigned char *data, size_t len)
{
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < len; i += 2)
        sum += static_cast<uint32_t>((data[i] << 8) | data[i + 1]);
    if (i < len)
        sum += static_cast<uint32_t>(data[i]) << 8;  // odd trailing byte, unsigned
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

size_t trimIcmpQuote(unsigned char *packet, size_t len)
{
    if (len < 20 || (packet[0] >> 4) != 4)
        return len;
    const size_t headerLength = 4u * (packet[0] & 0x0F);
    if (headerLength < 20 || len < headerLength + 8 || readBigEndian16(packet + 2) != len)
        return len;
    if (packet[9] != 1)  // not ICMP
        return len;
    // A fragment (more-fragments flag or a non-zero offset) is not a whole message.
    if ((readBigEndian16(packet + 6) & 0x3FFF) != 0)
        return len;
    unsigned char *icmp = packet + headerLength;
    const int type = icmp[0];
    if (type != 3 && type != 11)
        return len;
    const size_t quotedStart = headerLength + 8;
    if (len < quotedStart + 20 || (icmp[8] >> 4) != 4)
        return len;
    const size_t quotedHeaderLength = 4u * (icmp[8] & 0x0F);
    if (quotedHeaderLength < 20)
        return len;
    const size_t trimmed = quotedStart + quotedHeaderLength + 8;
    if (len <= trimmed)
        return len;

    writeBigEndian16(packet + 2, static_cast<uint16_t>(trimmed));
    writeBigEndian16(packet + 10, 0);
    writeBigEndian16(packet + 10, internetChecksum(packet, headerLength));
    writeBigEndian16(icmp + 2, 0);
    writeBigEndian16(icmp + 2, internetChecksum(icmp, trimmed - headerLength));
    return trimmed;
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
