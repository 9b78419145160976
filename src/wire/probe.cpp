#include "wire/probe.h"

namespace hoprate {

uint16_t internetChecksum(std::span<const uint8_t> bytes)
{
    int32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2)
        sum += static_cast<int32_t>(bytes[i] | (bytes[i + 1] << 8));
    if (i < bytes.size())
        sum += static_cast<int32_t>(bytes[i]);  // unsigned: a byte >= 0x80 is not sign-extended
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

void putCounter(uint8_t *at, int64_t value)
{
    const auto bits = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i)
        at[i] = static_cast<uint8_t>(bits >> (8 * i));
}

int64_t counterAt(const uint8_t *at)
{
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = (bits << 8) | at[i];
    return static_cast<int64_t>(bits);
}

ProbeBuffer::ProbeBuffer() : buffer(probeBufferSize, 'A')
{
}

void ProbeBuffer::prepareEcho(uint16_t identifier, uint16_t sequence)
{
    uint8_t *packet = buffer.data();
    packet[0] = 8;  // echo request
    packet[1] = 0;
    packet[4] = static_cast<uint8_t>(identifier >> 8);
    packet[5] = static_cast<uint8_t>(identifier & 0xFF);
    packet[6] = static_cast<uint8_t>(sequence & 0xFF);
    packet[7] = static_cast<uint8_t>(sequence >> 8);
}

std::span<const uint8_t> ProbeBuffer::finishEcho(int64_t sendTime, int size)
{
    uint8_t *packet = buffer.data();
    putCounter(packet + 8, sendTime);
    packet[2] = 0;
    packet[3] = 0;
    const auto length = static_cast<size_t>(size) + 8;
    const uint16_t checksum = internetChecksum({packet, length});
    packet[2] = static_cast<uint8_t>(checksum & 0xFF);
    packet[3] = static_cast<uint8_t>(checksum >> 8);
    return {packet, length};
}

std::span<const uint8_t> ProbeBuffer::udpPayload(int64_t sendTime, int size)
{
    putCounter(buffer.data(), sendTime);
    return {buffer.data(), static_cast<size_t>(size)};
}

}  // namespace hoprate
