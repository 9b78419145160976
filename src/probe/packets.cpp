#include <sys/socket.h>

#include <cstring>

#include "cli/run_config.h"
#include "probe/path_prober.h"
#include "support/clock.h"

namespace {

int64_t counterAt(const unsigned char *bytes)
{
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = (bits << 8) | bytes[i];
    return static_cast<int64_t>(bits);
}

}  // namespace

uint16_t internetChecksum(const void *data, int length)
{
    const auto *bytes = static_cast<const unsigned char *>(data);
    int32_t sum = 0;
    int remaining = length;
    // Words in host order (least significant byte first), zero-extended.
    while (remaining > 1) {
        sum += static_cast<int32_t>(bytes[0] | (bytes[1] << 8));
        bytes += 2;
        remaining -= 2;
    }
    if (remaining == 1)
        sum += static_cast<int32_t>(bytes[0]);  // unsigned: a byte >= 0x80 is not sign-extended
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

void PathProber::sendEchoProbe()
{
    unsigned char *packet = sendBuffer;
    packet[0] = 8;  // echo request
    packet[1] = 0;
    packet[4] = static_cast<unsigned char>((ownPid >> 8) & 0xFF);  // identifier, network order
    packet[5] = static_cast<unsigned char>(ownPid & 0xFF);
    packet[6] = static_cast<unsigned char>(probeSeq & 0xFF);        // sequence, least significant first
    packet[7] = static_cast<unsigned char>((probeSeq >> 8) & 0xFF);
    ++probeSeq;
    readCounter(packet + 8);
    packet[2] = 0;
    packet[3] = 0;
    const uint16_t checksum = internetChecksum(packet, dataLen + 8);
    packet[2] = static_cast<unsigned char>(checksum & 0xFF);
    packet[3] = static_cast<unsigned char>(checksum >> 8);
    sendto(icmpSocket, packet, static_cast<size_t>(dataLen) + 8, 0,
           reinterpret_cast<const sockaddr *>(&destAddr), static_cast<socklen_t>(addrLen));
    sendStamp = counterAt(packet + 8);
}

void PathProber::sendUdpProbe()
{
    unsigned char *packet = sendBuffer;
    readCounter(packet);
    sendto(udpSocket, packet, static_cast<size_t>(dataLen), 0,
           reinterpret_cast<const sockaddr *>(&destAddr), static_cast<socklen_t>(addrLen));
    ++probeSeq;
    sendStamp = counterAt(packet);
}
