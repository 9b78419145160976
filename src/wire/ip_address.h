// An IPv4 or IPv6 address as the accurate mode keeps it: its family and its bytes in
// network order (an IPv4 address in the first four).
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>

#include "wire/address.h"

namespace hoprate {

enum class Family : uint8_t { V4, V6 };

struct IpAddress {
    Family family = Family::V4;
    std::array<uint8_t, 16> bytes{};

    static IpAddress v4(Ipv4Address address);
    static IpAddress v6(const uint8_t *sixteen);
    // The 4 (IPv4) or 16 (IPv6) bytes at `at`, as they lie in a packet.
    static IpAddress at(Family family, const uint8_t *at);

    Ipv4Address asV4() const;
    int size() const { return family == Family::V4 ? 4 : 16; }
    bool isUnspecified() const;
    auto operator<=>(const IpAddress &) const = default;
};

// "192.0.2.1", or the IPv6 text of RFC 5952: lower case, the longest run of two or more
// zero groups as "::" (the first of equal runs), an IPv4-mapped address as ::ffff:a.b.c.d.
std::string addressText(const IpAddress &address);

// The IP header's length and the transport protocol's number, per family.
constexpr int ipHeaderBytes(Family family)
{
    return family == Family::V4 ? 20 : 40;
}

}  // namespace hoprate
