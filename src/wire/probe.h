// Probe packets as bytes: the ICMP echo request and the UDP payload of a probe, each
// carrying the counter value at which it was sent, and the Internet checksum.
// Pure: no sockets, clock or output.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace hoprate {

constexpr int probeBufferSize = 15000;             // the probe buffer and the receive buffer
constexpr uint16_t udpProbePort = 20000;           // destination port of UDP probes
constexpr int maxProbeSize = probeBufferSize - 8;  // an echo probe is size + 8 bytes

// RFC 1071 checksum, words read in host order (least significant byte first); stored
// back in host order it gives the standard checksum on the wire.
uint16_t internetChecksum(std::span<const uint8_t> bytes);

// A counter value as 8 bytes, least significant first, at any alignment.
void putCounter(uint8_t *at, int64_t value);
int64_t counterAt(const uint8_t *at);

// The one buffer every probe of a run is built in. It starts as 15000 bytes of 'A' and is
// never cleared: a probe writes only its header and send-time bytes, so the rest of a
// probe is whatever the buffer holds there (a UDP probe still carries, at bytes 8 to 15,
// the send time of the last echo probe).
class ProbeBuffer {
public:
    ProbeBuffer();

    // Echo request, in two steps so that the counter is read as late as possible:
    // type, code, identifier (network order) and sequence (least significant byte first)...
    void prepareEcho(uint16_t identifier, uint16_t sequence);
    // ...then the send time and the checksum. Returns the message: size + 8 bytes.
    std::span<const uint8_t> finishEcho(int64_t sendTime, int size);
    // UDP payload: the send time in its first 8 bytes. Returns size bytes.
    std::span<const uint8_t> udpPayload(int64_t sendTime, int size);

    std::span<const uint8_t> bytes() const { return buffer; }

private:
    std::vector<uint8_t> buffer;
};

}  // namespace hoprate
