#include "wire/address.h"

#include <cstring>

namespace hoprate {

std::string dottedQuad(Ipv4Address address)
{
    uint8_t bytes[4];
    std::memcpy(bytes, &address, 4);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
           std::to_string(bytes[3]);
}

Ipv4Address addressAt(const uint8_t *at)
{
    Ipv4Address address;
    std::memcpy(&address, at, 4);
    return address;
}

}  // namespace hoprate
