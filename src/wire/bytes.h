// Reading and writing the fields of a packet: network order (big-endian) unless the name
// says otherwise. The caller has checked that the bytes were received.
#pragma once

#include <cstdint>

namespace hoprate {

inline uint16_t read16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t read32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}

inline uint16_t readLittle16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline void write16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}

inline void write32(uint8_t *p, uint32_t v)
{
    write16(p, static_cast<uint16_t>(v >> 16));
    write16(p + 2, static_cast<uint16_t>(v & 0xFFFF));
}

}  // namespace hoprate
