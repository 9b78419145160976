// libFuzzer target for decodeFlowReply, the accurate mode's reply decoding. An input is
// an 8-byte parameter prefix followed by the datagram (IP header included; at most
// 65535 bytes are used):
//   bytes 0-1  the flow's identifier, most significant byte first
//   bytes 2-5  the flow's cookie, same order
//   bytes 6-7  a sequence number for the probe built from the input, same order
// The datagram is copied into a buffer of exactly its length, so any read past the
// received bytes is reported. Every decoded reply must agree with the bytes it came
// from: an echo reply only with the flow's identifier and cookie, an error only quoting
// an echo request of the flow, each field where the datagram has it. Then the probe of
// the given sequence (as long as the datagram) must carry the flow's checksum and a
// valid one, and come back decoded from an echo reply and a 28-byte-quote error.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <vector>

#include "wire/flow_echo.h"

using namespace hoprate;

namespace {

constexpr size_t prefixLength = 8;
constexpr size_t largestDatagram = 65535;

void require(bool condition)
{
    if (!condition)
        std::abort();
}

uint16_t at16(const std::vector<uint8_t> &bytes, size_t i)
{
    require(i + 2 <= bytes.size());
    return static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1]);
}

uint32_t at32(const std::vector<uint8_t> &bytes, size_t i)
{
    return static_cast<uint32_t>(at16(bytes, i)) << 16 | at16(bytes, i + 2);
}

Ipv4Address addressIn(const std::vector<uint8_t> &bytes, size_t i)
{
    require(i + 4 <= bytes.size());
    return addressAt(bytes.data() + i);
}

// What a decoded reply says must be what its datagram holds.
void checkReply(const FlowReply &reply, const std::vector<uint8_t> &datagram, const EchoFlow &flow)
{
    const size_t header = 4u * (datagram.at(0) & 0x0F);
    require(header >= 20 && datagram.size() >= header + 8);
    require(reply.source == addressIn(datagram, 12));
    const uint8_t type = datagram[header];
    const uint8_t code = datagram[header + 1];
    if (reply.kind == FlowReplyKind::EchoReply) {
        require(type == 0 && code == 0 && datagram.size() >= header + 16);
        require(at16(datagram, header + 4) == flow.identifier && at32(datagram, header + 8) == flow.cookie);
        require(reply.sequence == at16(datagram, header + 6));
        require(reply.probeDestination == 0 && reply.quotedProbeLength == 0 && reply.nextHopMtu == 0);
        require(reply.cookieSeen);
        return;
    }
    switch (reply.kind) {
    case FlowReplyKind::TimeExceeded: require(type == 11 && code == 0 && reply.nextHopMtu == 0); break;
    case FlowReplyKind::Unreachable: require(type == 3 && code != 4 && reply.nextHopMtu == 0); break;
    case FlowReplyKind::FragmentationNeeded:
        require(type == 3 && code == 4 && reply.nextHopMtu == at16(datagram, header + 6));
        break;
    case FlowReplyKind::EchoReply: break;
    }
    // The quote: an IPv4 header of ICMP, then an echo request of the flow.
    const size_t quoted = header + 8;
    require(datagram.size() >= quoted + 20 && datagram[quoted] >> 4 == 4 && datagram[quoted + 9] == 1);
    const size_t probe = quoted + 4u * (datagram[quoted] & 0x0F);
    require(probe >= quoted + 20 && datagram.size() >= probe + 8);
    require(datagram[probe] == 8 && at16(datagram, probe + 4) == flow.identifier);
    // The checksum follows from the cookie: checked even where the cookie was cut off.
    require(at16(datagram, probe + 2) == flow.checksum);
    require(datagram.size() < probe + 12 || at32(datagram, probe + 8) == flow.cookie);
    require(reply.cookieSeen == (datagram.size() >= probe + 12));
    require(reply.sequence == at16(datagram, probe + 6));
    require(reply.probeDestination == addressIn(datagram, quoted + 16));
    require(reply.quotedProbeLength == at16(datagram, quoted + 2));
}

std::vector<uint8_t> ipHeader(uint8_t source)
{
    std::vector<uint8_t> header(20, 0);
    header[0] = 0x45;
    header[8] = 64;
    header[9] = 1;
    header[12] = source;
    header[19] = 2;
    return header;
}

// The probe of this sequence: the flow's checksum, a valid sum, and decoded back.
void checkProbe(const EchoFlow &flow, uint16_t sequence, size_t length)
{
    const int icmpLength = static_cast<int>(length < 16 ? 16 : length > 1480 ? 1480 : length);
    const std::vector<uint8_t> probe = buildFlowEcho(flow, sequence, icmpLength);
    require(probe.size() == static_cast<size_t>(icmpLength));
    require(probe[0] == 8 && probe[1] == 0 && at16(probe, 2) == flow.checksum);
    require(at16(probe, 4) == flow.identifier && at16(probe, 6) == sequence && at32(probe, 8) == flow.cookie);
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < probe.size(); i += 2)
        sum += at16(probe, i);
    if (probe.size() % 2)
        sum += static_cast<uint32_t>(probe.back() << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    require(sum == 0xFFFF);

    std::vector<uint8_t> echo = ipHeader(9);
    echo.insert(echo.end(), probe.begin(), probe.end());
    echo[20] = 0;
    const std::optional<FlowReply> reply = decodeFlowReply(echo, flow);
    require(reply && reply->kind == FlowReplyKind::EchoReply && reply->sequence == sequence);

    std::vector<uint8_t> error = ipHeader(7);
    const uint8_t icmpHeader[8] = {11, 0, 0, 0, 0, 0, 0, 0};
    error.insert(error.end(), icmpHeader, icmpHeader + 8);
    const std::vector<uint8_t> quoted = ipHeader(2);
    error.insert(error.end(), quoted.begin(), quoted.end());
    error.insert(error.end(), probe.begin(), probe.begin() + 8);
    const std::optional<FlowReply> exceeded = decodeFlowReply(error, flow);
    require(exceeded && exceeded->kind == FlowReplyKind::TimeExceeded && exceeded->sequence == sequence);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < prefixLength)
        return 0;
    const uint16_t identifier = static_cast<uint16_t>(data[0] << 8 | data[1]);
    const uint32_t cookie = static_cast<uint32_t>(data[2]) << 24 | static_cast<uint32_t>(data[3]) << 16 |
                            static_cast<uint32_t>(data[4]) << 8 | data[5];
    const uint16_t sequence = static_cast<uint16_t>(data[6] << 8 | data[7]);
    const EchoFlow flow = makeEchoFlow(identifier, cookie);

    const size_t length = std::min(size - prefixLength, largestDatagram);
    const std::vector<uint8_t> datagram(data + prefixLength, data + prefixLength + length);
    if (const std::optional<FlowReply> reply = decodeFlowReply(datagram, flow))
        checkReply(*reply, datagram, flow);
    checkProbe(flow, sequence, length);
    return 0;
}
