// Probe packets and the Internet checksum. The probes are built on a prober without
// sockets: the send on descriptor -1 fails harmlessly and the packet stays in
// sendBuffer, where its bytes are checked.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "cli/run_config.h"
#include "probe/path_prober.h"
#include "support/clock.h"

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

int64_t counterAt(const unsigned char *bytes)
{
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = bits << 8 | bytes[i];
    return static_cast<int64_t>(bits);
}

TEST(InternetChecksumTest, ThreeBytesAbcGive9D3BStoredLeastSignificantFirst)
{
    const unsigned char abc[] = {'a', 'b', 'c'};
    const uint16_t sum = internetChecksum(abc, 3);
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
    EXPECT_EQ(internetChecksum(bytes, 3), 0xFE0D);
    const unsigned char single[] = {0xFF};
    EXPECT_EQ(internetChecksum(single, 1), 0xFF00);
}

TEST(InternetChecksumTest, EmptyAndAllOnesBuffersFoldCorrectly)
{
    EXPECT_EQ(internetChecksum(nullptr, 0), 0xFFFF);
    // 7500 words of 0xFFFF: the largest sum the probe buffer can produce; folding
    // twice brings it back to 0xFFFF, whose complement is 0.
    std::vector<unsigned char> ones(static_cast<size_t>(probeBufferSize), 0xFF);
    EXPECT_EQ(internetChecksum(ones.data(), probeBufferSize), 0x0000);
    // A carry out of the first fold: 0x1FFFF -> 0x0001 + 0xFFFF = 0x10000 -> 0x0001.
    const unsigned char carry[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00};
    EXPECT_EQ(internetChecksum(carry, 6), 0xFFFE);
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
        const uint16_t sum = internetChecksum(bytes, length);
        const uint16_t wire = referenceChecksum(bytes, length);
        SCOPED_TRACE(length);
        EXPECT_EQ(sum & 0xFF, wire >> 8);
        EXPECT_EQ(sum >> 8, wire & 0xFF);
    }
}

class ProbePacketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedPid = ownPid;
        ownPid = 0x1234;
        static char size[] = "8";
        char *sizeTexts[] = {size};
        prober = std::make_unique<PathProber>(1, 1, sizeTexts);
    }
    void TearDown() override { ownPid = savedPid; }

    // The stored checksum makes the whole message sum to zero, and on the wire it reads
    // as the standard Internet checksum of the message with the field zeroed.
    void expectValidChecksum(int messageLength)
    {
        std::vector<unsigned char> message(prober->sendBuffer, prober->sendBuffer + messageLength);
        EXPECT_EQ(internetChecksum(message.data(), messageLength), 0);
        const uint16_t wire = static_cast<uint16_t>(message[2] << 8 | message[3]);
        message[2] = message[3] = 0;
        EXPECT_EQ(wire, referenceChecksum(message.data(), messageLength));
    }

    std::unique_ptr<PathProber> prober;
    int savedPid = 0;
};

TEST_F(ProbePacketTest, EchoProbeLayoutByteForByte)
{
    prober->probeSeq = 5;
    prober->dataLen = 8;
    unsigned char before[8];
    readCounter(before);
    prober->sendEchoProbe();
    unsigned char after[8];
    readCounter(after);

    const unsigned char *packet = prober->sendBuffer;
    EXPECT_EQ(packet[0], 0x08);
    EXPECT_EQ(packet[1], 0x00);
    EXPECT_EQ(packet[4], 0x12);
    EXPECT_EQ(packet[5], 0x34);
    EXPECT_EQ(packet[6], 0x05);
    EXPECT_EQ(packet[7], 0x00);
    EXPECT_EQ(prober->probeSeq, 6);
    // The send time is the counter read while building, kept in sendStamp as well.
    const int64_t stamp = counterAt(packet + 8);
    EXPECT_EQ(prober->sendStamp, stamp);
    EXPECT_GE(stamp, counterAt(before));
    EXPECT_LE(stamp, counterAt(after));
    expectValidChecksum(16);
    // Nothing past the message is touched.
    EXPECT_EQ(packet[16], 'A');

    // With the counter value 0 the same header checksums to E0 CB.
    unsigned char example[16] = {0x08, 0x00, 0x00, 0x00, 0x12, 0x34, 0x05, 0x00};
    const uint16_t sum = internetChecksum(example, 16);
    std::memcpy(example + 2, &sum, 2);
    EXPECT_EQ(example[2], 0xE0);
    EXPECT_EQ(example[3], 0xCB);
}

TEST_F(ProbePacketTest, EchoProbeKeepsFillerAndChecksumsTheWholeMessage)
{
    prober->probeSeq = 0x0102;
    prober->dataLen = 1454;
    prober->sendEchoProbe();
    const unsigned char *packet = prober->sendBuffer;
    EXPECT_EQ(packet[6], 0x02);
    EXPECT_EQ(packet[7], 0x01);
    for (int i = 16; i < 1454 + 8; ++i)
        ASSERT_EQ(packet[i], 'A') << "at " << i;
    expectValidChecksum(1454 + 8);

    // A probe below 8 bytes of data still writes the whole send time into the buffer
    // but sums only the message it sends.
    prober->dataLen = 3;
    prober->sendEchoProbe();
    EXPECT_EQ(prober->sendStamp, counterAt(prober->sendBuffer + 8));
    expectValidChecksum(3 + 8);
}

TEST_F(ProbePacketTest, ProcessIdAboveSixteenBitsGivesItsLowBitsInNetworkOrder)
{
    ownPid = 70000;  // 0x11170
    prober->dataLen = 8;
    prober->sendEchoProbe();
    EXPECT_EQ(prober->sendBuffer[4], 0x11);
    EXPECT_EQ(prober->sendBuffer[5], 0x70);
    expectValidChecksum(16);
}

TEST_F(ProbePacketTest, SequenceFieldWrapsWhileProbeSeqKeepsCounting)
{
    prober->dataLen = 8;
    prober->probeSeq = 65535;
    prober->sendEchoProbe();
    EXPECT_EQ(prober->sendBuffer[6], 0xFF);
    EXPECT_EQ(prober->sendBuffer[7], 0xFF);
    prober->sendEchoProbe();
    EXPECT_EQ(prober->sendBuffer[6], 0x00);
    EXPECT_EQ(prober->sendBuffer[7], 0x00);
    prober->sendEchoProbe();
    EXPECT_EQ(prober->sendBuffer[6], 0x01);
    EXPECT_EQ(prober->sendBuffer[7], 0x00);
    EXPECT_EQ(prober->probeSeq, 65538);
}

TEST_F(ProbePacketTest, UdpProbeCarriesTheSendTimeFirstAndAdvancesProbeSeq)
{
    prober->dataLen = 254;
    prober->probeSeq = 41;
    prober->sendUdpProbe();
    const unsigned char *packet = prober->sendBuffer;
    EXPECT_EQ(prober->probeSeq, 42);
    EXPECT_EQ(prober->sendStamp, counterAt(packet));
    for (int i = 8; i < probeBufferSize; ++i)
        ASSERT_EQ(packet[i], 'A') << "at " << i;
}

TEST_F(ProbePacketTest, UdpProbeAfterEchoProbeStillHoldsTheEchoSendTime)
{
    prober->dataLen = 64;
    prober->sendEchoProbe();
    const int64_t echoStamp = prober->sendStamp;
    prober->sendUdpProbe();
    EXPECT_EQ(prober->probeSeq, 2);
    EXPECT_EQ(counterAt(prober->sendBuffer + 8), echoStamp);
    EXPECT_EQ(prober->sendStamp, counterAt(prober->sendBuffer));
    EXPECT_GE(prober->sendStamp, echoStamp);
    EXPECT_EQ(prober->sendBuffer[16], 'A');

    // The next echo probe rewrites its whole header over the UDP send time.
    prober->sendEchoProbe();
    EXPECT_EQ(prober->sendBuffer[0], 8);
    EXPECT_EQ(prober->sendBuffer[6], 2);
    EXPECT_EQ(prober->sendStamp, counterAt(prober->sendBuffer + 8));
    expectValidChecksum(64 + 8);
}

}  // namespace
