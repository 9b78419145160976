// Datagrams built byte by byte for the tests: IPv4 and ICMP headers, UDP headers,
// counter values, and ways to join and cut them.
#pragma once

#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "wire/address.h"

using namespace hoprate;

using Bytes = std::vector<uint8_t>;

inline void putAddress(Bytes &bytes, size_t at, const char *text)
{
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    std::memcpy(&bytes[at], &address.s_addr, 4);
}

// An IPv4 header as a host sends it: 20 bytes, DF, the total length of this payload.
inline Bytes ipv4Header(Ipv4Address source, Ipv4Address destination, uint8_t protocol, uint8_t ttl, size_t payload)
{
    Bytes h(20, 0);
    h[0] = 0x45;
    h[2] = static_cast<uint8_t>((20 + payload) >> 8);
    h[3] = static_cast<uint8_t>((20 + payload) & 0xFF);
    h[6] = 0x40;
    h[8] = ttl;
    h[9] = protocol;
    std::memcpy(&h[12], &source, 4);
    std::memcpy(&h[16], &destination, 4);
    return h;
}

// An IPv4 header of 4 x words bytes between two dotted quads, total length 1500; option
// bytes are NOP (1).
inline Bytes ipHeader(int words, const char *source, const char *destination, uint8_t protocol)
{
    Bytes header(static_cast<size_t>(4 * words), 0x01);
    header[0] = static_cast<uint8_t>(0x40 | words);
    header[1] = 0;
    header[2] = 0x05;
    header[3] = 0xDC;
    header[8] = 64;
    header[9] = protocol;
    putAddress(header, 12, source);
    putAddress(header, 16, destination);
    return header;
}

// ICMP header: identifier in network order, sequence least significant byte first.
inline Bytes icmpHeader(uint8_t type, uint8_t code, uint16_t identifier, uint16_t sequence)
{
    return {type, code, 0xC0, 0xDE, static_cast<uint8_t>(identifier >> 8), static_cast<uint8_t>(identifier & 0xFF),
            static_cast<uint8_t>(sequence & 0xFF), static_cast<uint8_t>(sequence >> 8)};
}

inline Bytes counterBytes(int64_t value)
{
    Bytes bytes(8);
    for (int i = 0; i < 8; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    return bytes;
}

// Source port 40001 unless given: the port FakeNetwork's UDP socket has.
inline Bytes udpHeader(uint16_t destinationPort, uint16_t sourcePort = 40001)
{
    return {static_cast<uint8_t>(sourcePort >> 8), static_cast<uint8_t>(sourcePort & 0xFF),
            static_cast<uint8_t>(destinationPort >> 8), static_cast<uint8_t>(destinationPort & 0xFF),
            0x00, 0x6C, 0xAB, 0xCD};
}

inline Bytes join(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

inline Bytes cut(Bytes bytes, size_t length)
{
    bytes.resize(length);
    return bytes;
}

