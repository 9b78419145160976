#include "wire/ip_address.h"

#include <cstring>

namespace hoprate {

IpAddress IpAddress::v4(Ipv4Address address)
{
    IpAddress a;
    a.family = Family::V4;
    std::memcpy(a.bytes.data(), &address, 4);
    return a;
}

IpAddress IpAddress::v6(const uint8_t *sixteen)
{
    IpAddress a;
    a.family = Family::V6;
    std::memcpy(a.bytes.data(), sixteen, 16);
    return a;
}

IpAddress IpAddress::at(Family family, const uint8_t *at)
{
    if (family == Family::V6)
        return v6(at);
    return v4(addressAt(at));
}

Ipv4Address IpAddress::asV4() const
{
    Ipv4Address address;
    std::memcpy(&address, bytes.data(), 4);
    return address;
}

bool IpAddress::isUnspecified() const
{
    for (int i = 0; i < size(); ++i)
        if (bytes[static_cast<size_t>(i)] != 0)
            return false;
    return true;
}

std::string addressText(const IpAddress &address)
{
    if (address.family == Family::V4)
        return dottedQuad(address.asV4());
    const auto &b = address.bytes;
    uint16_t groups[8];
    for (int i = 0; i < 8; ++i)
        groups[i] = static_cast<uint16_t>(b[2 * static_cast<size_t>(i)] << 8 | b[2 * static_cast<size_t>(i) + 1]);
    // IPv4-mapped: ::ffff:a.b.c.d
    if (groups[0] == 0 && groups[1] == 0 && groups[2] == 0 && groups[3] == 0 && groups[4] == 0 && groups[5] == 0xFFFF)
        return "::ffff:" + std::to_string(b[12]) + "." + std::to_string(b[13]) + "." + std::to_string(b[14]) + "." +
               std::to_string(b[15]);
    int bestStart = -1, bestLength = 0;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int j = i;
        while (j < 8 && groups[j] == 0)
            ++j;
        if (j - i > bestLength && j - i >= 2) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += "::";
            i += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':')
            text += ':';
        bool leading = true;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const int digit = (groups[i] >> shift) & 0xF;
            if (digit == 0 && leading && shift > 0)
                continue;
            leading = false;
            text += digits[digit];
        }
    }
    return text;
}

}  // namespace hoprate
