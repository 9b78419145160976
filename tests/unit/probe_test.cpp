// Probe packets and the Internet checksum: the bytes of echo and UDP probes as the
// probe buffer builds them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "wire/probe.h"

using namespace hoprate;

namespace {

// RFC 1071 computed the textbook way: big-endian words, result in network order.
uint16_t referenceChecksum(const unsigned char *bytes, int length)
{
    uint32_t sum = 0;
    for (int i = 0; i + 1 < length; i += 2)
        sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (length % 2 == 1)
        sum += static_cast<uint32_t>(bytes[length - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xFFFF);
}

TEST(InternetChecksumTest, ThreeBytesAbcGive9D3BStoredLeastSignificantFirst)
{
    const unsigned char abc[] = {'a', 'b', 'c'};
    const uint16_t sum = internetChecksum({abc, 3});
    EXPECT_EQ(sum, 0x9D3B);
    unsigned char stored[2];
    std::memcpy(stored, &sum, 2);  // host order, as the echo probe stores it
    EXPECT_EQ(stored[0], 0x3B);
    EXPECT_EQ(stored[1], 0x9D);
}

TEST(InternetChecksumTest, OddTrailingByteAbove7FIsNotSignExtended)
{
    const unsigned char bytes[] = {0x00, 0x01, 0xF2};
    // 0x0100 + 0x00F2 = 0x01F2; complement 0xFE0D.
    EXPECT_EQ(internetChecksum({bytes, 3}), 0xFE0D);
    const unsigned char single[] = {0xFF};
    EXPECT_EQ(internetChecksum({single, 1}), 0xFF00);
}

TEST(InternetChecksumTest, EmptyAndAllOnesBuffersFoldCorrectly)
{
    EXPECT_EQ(internetChecksum({}), 0xFFFF);
    // 7500 words of 0xFFFF: the largest sum the probe buffer can produce; folding
    // twice brings it back to 0xFFFF, whose complement is 0.
    std::vector<unsigned char> ones(static_cast<size_t>(probeBufferSize), 0xFF);
    EXPECT_EQ(internetChecksum(ones), 0x0000);
    // A carry out of the first fold: 0x1FFFF -> 0x0001 + 0xFFFF = 0x10000 -> 0x0001.
    const unsigned char carry[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00};
    EXPECT_EQ(internetChecksum({carry, 6}), 0xFFFE);
}

TEST(InternetChecksumTest, StoredBytesEqualTheNetworkOrderChecksumForAnyLength)
{
    unsigned char bytes[301];
    uint32_t state = 12345;
    for (unsigned char &b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<unsigned char>(state >> 16);
    }
    for (int length = 0; length <= 301; ++length) {
        const uint16_t sum = internetChecksum({bytes, static_cast<size_t>(length)});
        const uint16_t wire = referenceChecksum(bytes, length);
        SCOPED_TRACE(length);
        EXPECT_EQ(sum & 0xFF, wire >> 8);
        EXPECT_EQ(sum >> 8, wire & 0xFF);
    }
}

// The stored checksum makes the whole message sum to zero, and on the wire it reads as
// the standard Internet checksum of the message with the field zeroed.
void expectValidChecksum(std::span<const uint8_t> sent)
{
    std::vector<unsigned char> message(sent.begin(), sent.end());
    EXPECT_EQ(internetChecksum(message), 0);
    const uint16_t wire = static_cast<uint16_t>(message[2] << 8 | message[3]);
    message[2] = message[3] = 0;
    EXPECT_EQ(wire, referenceChecksum(message.data(), static_cast<int>(message.size())));
}

TEST(ProbeBuffer, EchoProbeLayoutByteForByte)
{
    ProbeBuffer probes;
    probes.prepareEcho(0x1234, 5);
    const std::span<const uint8_t> message = probes.finishEcho(0x0807060504030201LL, 8);
    ASSERT_EQ(message.size(), 16u);
    const unsigned char expected[16] = {0x08, 0x00, 0, 0, 0x12, 0x34, 0x05, 0x00,
                                        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    for (size_t i = 0; i < 16; ++i) {
        if (i != 2 && i != 3) {
            EXPECT_EQ(message[i], expected[i]) << "at " << i;
        }
    }
    expectValidChecksum(message);
    // Nothing past the message is touched.
    EXPECT_EQ(probes.bytes()[16], 'A');

    // With the counter value 0 the same header checksums to E0 CB.
    probes.prepareEcho(0x1234, 5);
    const std::span<const uint8_t> zero = probes.finishEcho(0, 8);
    EXPECT_EQ(zero[2], 0xE0);
    EXPECT_EQ(zero[3], 0xCB);
}

TEST(ProbeBuffer, EchoProbeKeepsFillerAndChecksumsTheWholeMessage)
{
    ProbeBuffer probes;
    probes.prepareEcho(0x1234, 0x0102);
    const std::span<const uint8_t> message = probes.finishEcho(77, 1454);
    ASSERT_EQ(message.size(), 1462u);
    EXPECT_EQ(message[6], 0x02);
    EXPECT_EQ(message[7], 0x01);
    for (size_t i = 16; i < message.size(); ++i)
        ASSERT_EQ(message[i], 'A') << "at " << i;
    expectValidChecksum(message);

    // A probe below 8 bytes of data still writes the whole send time into the buffer
    // but sums only the message it sends.
    probes.prepareEcho(0x1234, 3);
    const std::span<const uint8_t> small = probes.finishEcho(0x1122334455667788LL, 3);
    EXPECT_EQ(small.size(), 11u);
    EXPECT_EQ(counterAt(probes.bytes().data() + 8), 0x1122334455667788LL);
    expectValidChecksum(small);
}

TEST(ProbeBuffer, UdpProbeCarriesTheSendTimeFirst)
{
    ProbeBuffer probes;
    const std::span<const uint8_t> payload = probes.udpPayload(123456789, 254);
    ASSERT_EQ(payload.size(), 254u);
    EXPECT_EQ(counterAt(payload.data()), 123456789);
    for (int i = 8; i < probeBufferSize; ++i)
        ASSERT_EQ(probes.bytes()[static_cast<size_t>(i)], 'A') << "at " << i;
}

TEST(ProbeBuffer, UdpProbeAfterEchoProbeStillHoldsTheEchoSendTime)
{
    ProbeBuffer probes;
    probes.prepareEcho(0x1234, 0);
    probes.finishEcho(1000, 64);
    const std::span<const uint8_t> payload = probes.udpPayload(2000, 64);
    EXPECT_EQ(counterAt(payload.data()), 2000);
    EXPECT_EQ(counterAt(payload.data() + 8), 1000);
    EXPECT_EQ(payload[16], 'A');

    // The next echo probe rewrites its whole header over the UDP send time.
    probes.prepareEcho(0x1234, 2);
    const std::span<const uint8_t> echo = probes.finishEcho(3000, 64);
    EXPECT_EQ(echo[0], 8);
    EXPECT_EQ(echo[6], 2);
    EXPECT_EQ(counterAt(echo.data() + 8), 3000);
    expectValidChecksum(echo);
}

}  // namespace
