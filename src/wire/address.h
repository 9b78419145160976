// IPv4 addresses as the program keeps them: 32 bits in network byte order.
#pragma once

#include <cstdint>
#include <string>

namespace hoprate {

using Ipv4Address = uint32_t;  // network byte order, as in sockaddr_in

// Dotted-quad text of an address: "192.0.2.1".
std::string dottedQuad(Ipv4Address address);
// The 4 bytes at `at`, as they lie in a packet (network order).
Ipv4Address addressAt(const uint8_t *at);

}  // namespace hoprate
