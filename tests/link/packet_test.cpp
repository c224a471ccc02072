// SPDX-License-Identifier: Apache-2.0
// Frames, acknowledgements and the field codec, on the in-memory line.
#include <gtest/gtest.h>

#include <vector>

#include "link/packet.h"
#include "link/serial_port.h"
#include "platform/fake/fake_line.h"
#include "tests/support/core_reset.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(const Bytes& payload) {
    Bytes frame;
    frame.reserve(payload.size() + 3);
    frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<uint8_t>(payload.size()));
    for (uint8_t b : payload) frame.push_back(b);
    frame.push_back(PacketChecksum(frame.data(), static_cast<uint32_t>(frame.size())));
    return frame;
}

class PacketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetCoreModules();
        ASSERT_EQ(SerialOpen("/dev/fake", 38400), 1);
    }

    // Builds a payload in PacketBuffer and sends it.
    int Send(const Bytes& payload) {
        PacketRewind();
        PutBytes(payload.data(), static_cast<uint32_t>(payload.size()));
        return SendPacket(PacketBuffer(), PacketCursorOffset());
    }
};

TEST(PacketChecksumTest, TwosComplementOfTheSum) {
    const uint8_t data[] = {0x00, 0x01, 0x2A};
    EXPECT_EQ(PacketChecksum(data, 3), 0xD5);
    EXPECT_EQ(PacketChecksum(data, 0), 0x00);
    const uint8_t wraps[] = {0xFF, 0xFF, 0x02};
    EXPECT_EQ(PacketChecksum(wraps, 3), 0x00);
}

TEST_F(PacketTest, FramesAreWrittenInOneCallByteForByte) {
    struct Case {
        Bytes payload;
        Bytes wire;
    };
    const Case cases[] = {
        {{0x2A}, {0x00, 0x01, 0x2A, 0xD5}},
        {{}, {0x00, 0x00, 0x00}},
        {{0x01, 0x02, 0x03}, {0x00, 0x03, 0x01, 0x02, 0x03, 0xF7}},
    };
    for (const Case& c : cases) {
        FakeLineSend({ACK});
        const int writesBefore = FakeLineWriteCalls();
        EXPECT_EQ(Send(c.payload), 1);
        EXPECT_EQ(FakeLineTakeHostBytes(), c.wire);
        EXPECT_EQ(FakeLineWriteCalls(), writesBefore + 1);
    }
}

TEST_F(PacketTest, SendFailsWithoutAckAndNeverRepeats) {
    struct Case {
        const char* name;
        Bytes reply;
    };
    const Case cases[] = {{"nak", {NAK}}, {"other byte", {0x07}}, {"silence", {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLineSend(c.reply);
        const uint64_t before = FakeClockNow();
        EXPECT_EQ(Send({0x2A}), 0);
        EXPECT_EQ(FakeLineTakeHostBytes(), (Bytes{0x00, 0x01, 0x2A, 0xD5}));
        if (c.reply.empty()) {
            EXPECT_EQ(FakeClockNow() - before, 2004u);
        }
    }
}

TEST_F(PacketTest, ShortOrFailedWriteFailsBeforeWaitingForAck) {
    FakeLineShortWriteAt(1);
    FakeLineSend({ACK});
    EXPECT_EQ(Send({0x2A}), 0);
    EXPECT_EQ(FakeLinePending(), 1u);  // the ACK was never read
    FakeLineFailWriteAt(2);
    EXPECT_EQ(Send({0x2A}), 0);
}

TEST_F(PacketTest, LargestRequestFillsTheBufferAndLargerIsRefused) {
    Bytes payload(PACKET_MAX_REQUEST, 0x5A);
    FakeLineSend({ACK});
    EXPECT_EQ(Send(payload), 1);
    EXPECT_EQ(FakeLineTakeHostBytes().size(), PACKET_BUFFER_SIZE);

    // One byte more cannot be framed: nothing goes out.
    PacketRewind();
    const uint8_t big[PACKET_MAX_REQUEST + 1] = {};
    EXPECT_EQ(SendPacket(PacketBuffer(), sizeof big), 0);
    PacketRewind();
    PutBytes(big, sizeof big - 1);
    PutU8(0);
    EXPECT_EQ(PacketTransact(), 0);
    EXPECT_TRUE(FakeLineTakeHostBytes().empty());
}

TEST_F(PacketTest, GoodResponseIsAcknowledgedAndStored) {
    FakeLineSend(Frame({0x2B, 0x00, 0x00, 0x00, 0x07}));
    uint32_t length = 0;
    EXPECT_EQ(ReceivePacket(PacketBuffer(), &length), 1);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(FakeLineTakeHostBytes(), Bytes{ACK});
    EXPECT_EQ(PacketBuffer()[0], 0x2B);
    EXPECT_EQ(PacketBuffer()[4], 0x07);
}

TEST_F(PacketTest, BadChecksumIsNakedAndTheLengthStillStored) {
    Bytes frame = Frame({0x2B, 0x01, 0x02});
    frame.back() ^= 0x01;
    FakeLineSend(frame);
    uint32_t length = 99;
    EXPECT_EQ(ReceivePacket(PacketBuffer(), &length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(FakeLineTakeHostBytes(), Bytes{NAK});
}

TEST_F(PacketTest, ResponseThatStopsEarlyGetsNoAcknowledgement) {
    const Bytes cases[] = {
        {0x00},                    // half a length field
        {0x00, 0x04, 0x2B, 0x00},  // payload cut short
        {0x00, 0x02, 0x2B, 0x00},  // checksum missing
    };
    for (const Bytes& partial : cases) {
        FakeLineSend(partial);
        uint32_t length = 77;
        const uint64_t before = FakeClockNow();
        EXPECT_EQ(ReceivePacket(PacketBuffer(), &length), 0);
        EXPECT_TRUE(FakeLineTakeHostBytes().empty());
        EXPECT_EQ(length, 77u);
        // Gave up within the read time-outs, on the virtual clock.
        EXPECT_LE(FakeClockNow() - before, 2000u + 4u * 1288u + 2008u);
    }
}

TEST_F(PacketTest, OversizedLengthFieldIsRefusedWithoutReadingIt) {
    // A frame claiming 1288 payload bytes would overflow the buffer.
    Bytes frame(2 + 1288 + 1, 0xEE);
    frame[0] = 0x05;
    frame[1] = 0x08;
    FakeLineSend(frame);
    std::fill(PacketBuffer(), PacketBuffer() + PACKET_BUFFER_SIZE, 0x11);
    uint32_t length = 0;
    EXPECT_EQ(ReceivePacket(PacketBuffer(), &length), 0);
    EXPECT_TRUE(FakeLineTakeHostBytes().empty());
    EXPECT_EQ(FakeLinePending(), 1289u);  // left on the line, never in the buffer
    EXPECT_EQ(PacketBuffer()[2], 0x11);

    // The largest legal response still fits.
    FakeLineDiscardPending();
    Bytes largest(PACKET_MAX_RESPONSE, 0x01);
    FakeLineSend(Frame(largest));
    EXPECT_EQ(ReceivePacket(PacketBuffer(), &length), 1);
    EXPECT_EQ(length, PACKET_MAX_RESPONSE);
}

TEST_F(PacketTest, CodecIsBigEndian) {
    PacketRewind();
    PutU8(0x01);
    PutU16(0x0203);
    PutU32(0x04050607);
    PutString("AB");
    const uint8_t expected[] = {1, 2, 3, 4, 5, 6, 7, 'A', 'B', 0};
    ASSERT_EQ(PacketCursorOffset(), sizeof expected);
    EXPECT_TRUE(std::equal(expected, expected + sizeof expected, PacketBuffer()));

    PacketRewind();
    EXPECT_EQ(GetU8(), 0x01);
    EXPECT_EQ(GetU16(), 0x0203);
    EXPECT_EQ(GetU32(), 0x04050607u);
}

TEST_F(PacketTest, CursorRuleNeedsTheAnswerConsumedToTheByte) {
    struct Case {
        Bytes answer;
        int exact;
    };
    const Case cases[] = {
        {{0x2B, 0x00, 0x00, 0x00, 0x00}, 1},
        {{0x2B, 0x00, 0x00, 0x00, 0x00, 0xFF}, 0},  // one byte too many
        {{0x2B, 0x00, 0x00, 0x00}, 0},              // one byte short
    };
    for (const Case& c : cases) {
        FakeLineSend({ACK});
        FakeLineSend(Frame(c.answer));
        PacketRewind();
        PutU8(0x2A);
        ASSERT_EQ(PacketTransact(), 1);
        EXPECT_EQ(GetU8(), 0x2B);
        (void)GetU32();
        EXPECT_EQ(PacketConsumedExactly(), c.exact);
        EXPECT_EQ(ResponseLength(), c.answer.size());
    }
}

TEST_F(PacketTest, ReadsNeverLeaveTheBuffer) {
    FakeLineSend({ACK});
    FakeLineSend(Frame({0x2B, 'h', 'i'}));  // no NUL inside the answer
    PacketRewind();
    PutU8(0x2A);
    ASSERT_EQ(PacketTransact(), 1);
    EXPECT_EQ(GetU8(), 0x2B);
    char text[8] = "xxxxxxx";
    EXPECT_EQ(GetString(text, sizeof text), 0);
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(PacketConsumedExactly(), 0);

    // Reading on past the end of the buffer yields zeros, never memory
    // beyond it, and the cursor rule then fails.
    PacketRewind();
    uint8_t sink[PACKET_BUFFER_SIZE];
    GetBytes(sink, PACKET_BUFFER_SIZE - 2);
    EXPECT_EQ(GetU32(), 0u);
    EXPECT_GT(PacketCursorOffset(), PACKET_BUFFER_SIZE);
    EXPECT_EQ(PacketConsumedExactly(), 0);
}

TEST_F(PacketTest, StringTooLongForItsBufferIsRefused) {
    FakeLineSend({ACK});
    FakeLineSend(Frame({0x2B, 'a', 'b', 'c', 0}));
    PacketRewind();
    PutU8(0x2A);
    ASSERT_EQ(PacketTransact(), 1);
    (void)GetU8();
    char small[3] = {'z', 'z', 'z'};
    EXPECT_EQ(GetString(small, sizeof small), 0);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[1], 'z');
}

}  // namespace
