// SPDX-License-Identifier: Apache-2.0
// Boot ROM, first stage and the line under the simulated receiver.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "receiver/boot/clock_board.h"
#include "receiver/line/uart.h"
#include "tests/receiver/wire.h"

namespace {

std::vector<uint8_t> Image(size_t n) {
    std::vector<uint8_t> image(n);
    for (size_t i = 0; i < n; ++i) image[i] = static_cast<uint8_t>(i * 13 + 1);
    return image;
}

uint8_t TwosComplementOfSum(const std::vector<uint8_t>& bytes) {
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

TEST(ReceiverBootRom, LoadsFirstStageAndItAnswersWithTheImageChecksum) {
    Wire wire;
    const std::vector<uint8_t> image = Image(1200);
    const Payload load = Wire::LoadFirstStage(image);
    ASSERT_EQ(load.bytes.size(), 1211u);
    const Reply reply = wire.Exchange(load);
    EXPECT_EQ(reply.ack, 0x06);
    ASSERT_TRUE(reply.answered);
    EXPECT_TRUE(reply.checksumOk);
    EXPECT_EQ(reply.payload, (std::vector<uint8_t>{0x25, TwosComplementOfSum(image)}));
    EXPECT_EQ(wire.receiver.Stage(), ReceiverStage::FirstStage);
    EXPECT_EQ(wire.receiver.FirstStageImage(), image);
}

TEST(ReceiverBootRom, SendsNothingForAnyOtherFrame) {
    const std::vector<uint8_t> image = Image(16);
    Payload nonZeroTail;
    nonZeroTail.U8(0x24).U8(0x53).U8(0).U32(16).Bytes(image).U32(1);
    Payload shortImage;
    shortImage.U8(0x24).U8(0x53).U8(0).U32(17).Bytes(image).U32(0);
    std::vector<uint8_t> badChecksum = Frame(Wire::LoadFirstStage(image).bytes);
    badChecksum.back() ^= 1;
    const std::vector<std::vector<uint8_t>> frames = {
        Frame({42}),  // QueryChipId before any first stage
        Frame(nonZeroTail.bytes),
        Frame(shortImage.bytes),
        badChecksum,
    };
    for (const auto& frame : frames) {
        Wire wire;
        wire.SendRaw(frame);
        EXPECT_TRUE(wire.Read(8).empty());
        EXPECT_EQ(wire.receiver.Stage(), ReceiverStage::BootRom);
        EXPECT_EQ(wire.receiver.Counters().frames, 1u);
    }
}

TEST(ReceiverFirstStage, AnswersChipIdVariantAndConfigurationWords) {
    struct Case {
        uint8_t chip;
        uint16_t wordA, wordB;
        uint8_t variant;
    };
    const Case cases[] = {
        {48, 0x0000, 0x0000, 0}, {48, 0x0040, 0x1234, 1}, {48, 0xFFBF, 0x001F, 0},
        {35, 0x0040, 0x0000, 2}, {0, 0x0000, 0xBEEF, 2},
    };
    for (const Case& c : cases) {
        ReceiverConfig config;
        config.chipId = c.chip;
        config.wordA = c.wordA;
        config.wordB = c.wordB;
        Wire wire(config);
        wire.Exchange(Wire::LoadFirstStage(Image(8)));
        EXPECT_EQ(wire.Exchange(Payload{}.U8(42)).payload, (std::vector<uint8_t>{43, c.chip}));
        EXPECT_EQ(wire.Exchange(Payload{}.U8(44)).payload, (std::vector<uint8_t>{45, c.variant}));
        EXPECT_EQ(wire.Exchange(Payload{}.U8(46)).payload,
                  (std::vector<uint8_t>{47, static_cast<uint8_t>(c.wordA >> 8),
                                        static_cast<uint8_t>(c.wordA)}));
        EXPECT_EQ(wire.Exchange(Payload{}.U8(48)).payload,
                  (std::vector<uint8_t>{49, static_cast<uint8_t>(c.wordB >> 8),
                                        static_cast<uint8_t>(c.wordB)}));
        const Reply alt = wire.Exchange(Payload{}.U8(38).U8(0));
        EXPECT_EQ(alt.payload, (std::vector<uint8_t>{39}));
        EXPECT_EQ(wire.receiver.Clock().alternateValue, 0);
    }
}

TEST(ReceiverFirstStage, AcknowledgesButIgnoresUnknownAndMalformedRequests) {
    Wire wire;
    wire.Exchange(Wire::LoadFirstStage(Image(8)));
    const std::vector<std::vector<uint8_t>> requests = {
        {6, 0, 0, 0, 0}, {42, 0}, {44, 1}, {0, 0, 1, 0xC2, 0}, {2, 0, 0, 0, 0}, {34}, {}};
    for (const auto& request : requests) {
        const Reply reply = wire.Exchange(request);
        EXPECT_EQ(reply.ack, 0x06);
        EXPECT_FALSE(reply.answered);
    }
}

// The synthesizer rows as the host sends them, byte for byte.
TEST(ReceiverClock, RecognisesEverySynthesizerRow) {
    struct Row {
        uint32_t hz;
        uint8_t count;
        std::vector<uint8_t> data;
    };
    const Row rows[] = {
        {13000000, 7, {0x1C, 0x1E, 0xE0, 0xAE, 0xA3, 0x27, 0xDD, 0x00}},
        {16369000, 7, {0x00, 0x00, 0x00, 0x0B, 0xA3, 0x27, 0xDD, 0x00}},
        {16800000, 7, {0x11, 0x30, 0x46, 0x4B, 0x43, 0x27, 0xDD, 0x00}},
        {19200000, 7, {0x1B, 0x0A, 0x3D, 0x89, 0xC3, 0x27, 0xDD, 0x00}},
        {24553500, 7, {0x00, 0x00, 0x00, 0x07, 0xA3, 0x27, 0xDD, 0x00}},
        {26000000, 7, {0x0E, 0x0F, 0x70, 0x67, 0x23, 0x27, 0xDD, 0x00}},
        {13000000, 8, {0x03, 0xCF, 0x10, 0x38, 0x02, 0x20, 0x27, 0xA0}},
        {16369000, 8, {0x03, 0xCF, 0x10, 0x38, 0x00, 0x30, 0x07, 0xA0}},
        {16800000, 8, {0x03, 0xCF, 0x10, 0x38, 0x02, 0x60, 0x37, 0xA0}},
        {19200000, 8, {0x03, 0xCF, 0x10, 0x38, 0x02, 0x14, 0x37, 0xA0}},
        {24553500, 8, {0x03, 0xCF, 0x10, 0x38, 0x00, 0x20, 0x07, 0xA0}},
        {26000000, 8, {0x03, 0xCF, 0x10, 0x38, 0x01, 0x10, 0x27, 0xA0}},
        {33600000, 8, {0x03, 0xCF, 0x10, 0x38, 0x01, 0x30, 0x37, 0xA0}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.hz);
        std::array<uint8_t, 8> bytes{};
        ASSERT_TRUE(SynthesizerBytes(row.hz, row.count, &bytes));
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), row.data);

        // The board's oscillator matches, so the UART keeps the host's rate.
        ReceiverConfig config;
        ASSERT_TRUE(ClockWordsFor(row.hz, row.count == 8, true, &config.wordA, &config.wordB));
        Wire wire(config);
        wire.Exchange(Wire::LoadFirstStage(Image(8)));
        const Reply reply =
            wire.Exchange(Payload{}.U8(40).U16(0x0500).U8(row.count).Bytes(row.data));
        EXPECT_EQ(reply.payload, (std::vector<uint8_t>{41}));
        EXPECT_EQ(wire.receiver.Clock().hz, row.hz);
        EXPECT_EQ(wire.receiver.Clock().byteCount, row.count);
        EXPECT_NEAR(wire.receiver.UartRate(), 49107000.0 / 1280, 1e-6);
    }
    std::array<uint8_t, 8> none{};
    EXPECT_FALSE(SynthesizerBytes(33600000, 7, &none));
}

TEST(ReceiverClock, WordsLeadToEachReferenceFrequencyAndToBothFailures) {
    const uint32_t all[] = {13000000, 16369000, 16800000, 19200000, 24553500, 26000000, 33600000};
    for (uint32_t hz : all) {
        for (bool integerForm : {false, true}) {
            for (bool viaCode : {false, true}) {
                uint16_t a = 0, b = 0;
                const bool ok = ClockWordsFor(hz, integerForm, viaCode, &a, &b);
                if (hz == 33600000 && !integerForm) {
                    EXPECT_FALSE(ok);
                    continue;
                }
                ASSERT_TRUE(ok) << hz;
                EXPECT_EQ(BoardVariant(48, a), integerForm ? 1 : 0);
                EXPECT_EQ(BoardReferenceHz(48, a, b), hz) << hz << " " << integerForm;
            }
        }
    }
    uint16_t a = 0, b = 0;
    ClockWordsForFailure(ClockFailure::UnknownCode, &a, &b);
    EXPECT_EQ(BoardVariant(48, a), 0);
    EXPECT_EQ((a >> 12) & 3, 3);
    EXPECT_EQ(BoardReferenceHz(48, a, b), 0u);
    ClockWordsForFailure(ClockFailure::NoEntry, &a, &b);
    EXPECT_NE(BoardVariant(48, a), 0);
    EXPECT_EQ(BoardReferenceHz(48, a, b), 0u);
    // Variant 0 and the code 30, which only the integer column knows.
    EXPECT_EQ(BoardReferenceHz(48, 0x3000, 30), 0u);
    EXPECT_EQ(BoardReferenceHz(48, 0x3040, 30), 33600000u);
}

TEST(ReceiverClock, SynthesizerSetForAnotherOscillatorPutsTheUartOffRate) {
    // The board carries 26 MHz; the host sets the synthesizer up for 16.369 MHz.
    ReceiverConfig config;
    config.wordA = 0x2000;
    Wire wire(config);
    wire.Exchange(Wire::LoadFirstStage(Image(8)));
    const Reply reply = wire.Exchange(
        Payload{}.U8(40).U16(0x0500).U8(7).Bytes({0x00, 0x00, 0x00, 0x0B, 0xA3, 0x27, 0xDD, 0x00}));
    EXPECT_FALSE(reply.answered && reply.checksumOk && reply.payload == std::vector<uint8_t>{41});
    EXPECT_NEAR(wire.receiver.UartRate(), 49107000.0 * 26000000 / 16369000 / 1280, 1e-6);
}

// SetBaud is answered at the old rate; only then does the UART change.
TEST(ReceiverFirstStage, AnswersSetBaudAtTheOldRateThenRunsTheNewDivisor) {
    struct Case {
        uint16_t divisor;
        double rate;
    };
    for (const Case c : {Case{432, 113673.611}, Case{428, 114735.981}}) {
        Wire wire;
        wire.Exchange(Wire::LoadFirstStage(Image(8)));
        const Reply reply = wire.Exchange(Payload{}.U8(0).U32(115200).U16(c.divisor));
        EXPECT_EQ(reply.ack, 0x06);
        EXPECT_TRUE(reply.checksumOk);
        EXPECT_EQ(reply.payload, (std::vector<uint8_t>{1}));
        EXPECT_NEAR(wire.receiver.UartRate(), c.rate, 0.001);
        EXPECT_EQ(wire.receiver.UartBaud(), static_cast<uint32_t>(std::lround(c.rate)));

        // Still at 38400 the host is no longer understood.
        wire.SendRaw(Frame({42}));
        EXPECT_NE(wire.Read(5), (std::vector<uint8_t>{0x06, 0x00, 0x02, 43, 48}));
        const auto& codes = wire.receiver.Counters().requestCodes;
        EXPECT_EQ(std::count(codes.begin(), codes.end(), 42), 0);
        FakeClockAdvance(1000);  // past the receiver's frame gap
        wire.SetBaud(115200);
        const Reply after = wire.Exchange(Payload{}.U8(42));
        EXPECT_EQ(after.ack, 0x06);
        EXPECT_EQ(after.payload, (std::vector<uint8_t>{43, 48}));
    }
}

TEST(ReceiverFirstStage, StoresAgentBlocksAtTheirOffsetsAndTheAgentAnswersStart) {
    Wire wire;
    wire.Exchange(Wire::LoadFirstStage(Image(8)));
    EXPECT_EQ(wire.Exchange(Payload{}.U8(2).U32(1280).Bytes({9, 8, 7})).payload,
              (std::vector<uint8_t>{3}));
    EXPECT_EQ(wire.Exchange(Payload{}.U8(2).U32(0).Bytes(std::vector<uint8_t>(1280, 1))).payload,
              (std::vector<uint8_t>{3}));
    std::vector<uint8_t> expected(1283, 1);
    expected[1280] = 9;
    expected[1281] = 8;
    expected[1282] = 7;
    EXPECT_EQ(wire.receiver.AgentMemory(), expected);
    const Reply start = wire.Exchange(Payload{}.U8(4).U32(0));
    EXPECT_EQ(start.ack, 0x06);
    EXPECT_EQ(start.payload, (std::vector<uint8_t>{5}));
    EXPECT_EQ(wire.receiver.Stage(), ReceiverStage::Agent);
}

TEST(ReceiverFirstStage, StartAtAnotherAddressAcknowledgesThenHangs) {
    Wire wire;
    wire.Exchange(Wire::LoadFirstStage(Image(8)));
    wire.Exchange(Payload{}.U8(2).U32(0).Bytes({1, 2, 3}));
    const Reply start = wire.Exchange(Payload{}.U8(4).U32(0x100));
    EXPECT_EQ(start.ack, 0x06);
    EXPECT_FALSE(start.answered);
    EXPECT_EQ(wire.Exchange(Payload{}.U8(42)).ack, -1);
}

TEST(ReceiverLine, NaksABadChecksumOnceAFirstStageRuns) {
    Wire wire;
    wire.Exchange(Wire::LoadFirstStage(Image(8)));
    std::vector<uint8_t> frame = Frame({42});
    frame.back() = static_cast<uint8_t>(frame.back() + 1);
    wire.SendRaw(frame);
    EXPECT_EQ(wire.Read(4), (std::vector<uint8_t>{0x15}));
    EXPECT_EQ(wire.receiver.Counters().badChecksums, 1u);
}

TEST(ReceiverLine, GivesUpAPartialFrameAfterTheGapButNotBefore) {
    for (uint64_t pause : {100u, 600u}) {
        Wire wire;
        wire.Exchange(Wire::LoadFirstStage(Image(8)));
        const std::vector<uint8_t> frame = Frame({42});
        wire.SendRaw({frame[0], frame[1]});
        FakeClockAdvance(pause);
        if (pause > 500) {
            // The rest alone is garbage to a receiver that started over; a
            // whole frame after it is served.
            wire.SendRaw({frame[2], frame[3]});
            EXPECT_TRUE(wire.Read(1).empty());
            FakeClockAdvance(600);
            const Reply reply = wire.Exchange(Payload{}.U8(42));
            EXPECT_EQ(reply.payload, (std::vector<uint8_t>{43, 48}));
            EXPECT_EQ(wire.receiver.Counters().partialsDropped, 2u);
        } else {
            wire.SendRaw({frame[2], frame[3]});
            EXPECT_EQ(wire.Read(5), (std::vector<uint8_t>{0x06, 0x00, 0x02, 43, 48}));
            EXPECT_EQ(wire.receiver.Counters().partialsDropped, 0u);
        }
    }
}

TEST(ReceiverLine, HostAtAnotherRateIsNotUnderstood) {
    Wire wire;
    wire.SetBaud(115200);
    wire.Exchange(Wire::LoadFirstStage(Image(1200)));
    EXPECT_EQ(wire.receiver.Stage(), ReceiverStage::BootRom);
    EXPECT_EQ(wire.receiver.Counters().bytesFromHost.at(115200), 1214u);
}

TEST(ReceiverLine, WireTimingMakesEveryByteTakeTenBitTimes) {
    ReceiverConfig config;
    config.wireTiming = true;
    config.startDelayMs = 5;
    config.answerDelayMs = 1;
    Wire wire(config);
    const Reply load = wire.Exchange(Wire::LoadFirstStage(Image(1200)));
    // 1214 bytes in, 5 ms to start, the ACK byte; 1 ms later the 5-byte answer.
    const double byteMs = 10000.0 / 38400;
    EXPECT_EQ(load.ackAtMs, static_cast<uint64_t>(std::ceil((1214 + 1) * byteMs + 5)));
    EXPECT_EQ(load.answerAtMs, static_cast<uint64_t>(std::ceil((1214 + 5) * byteMs + 5 + 1)));
    const auto& counters = wire.receiver.Counters();
    EXPECT_EQ(counters.bytesFromHost.at(38400), 1214u + 1);  // frame and the ACK of the answer
    EXPECT_EQ(counters.bytesToHost.at(38400), 1u + 5);
}

TEST(Uart, SameRateDeliversTheBytesAndFarRatesDoNot) {
    const std::vector<uint8_t> bytes = {0x00, 0x55, 0xAA, 0xFF, 0x06, 0x15, 0x80, 0x01};
    EXPECT_EQ(UartResample(bytes.data(), bytes.size(), 115200, 115200), bytes);
    EXPECT_EQ(UartResample(bytes.data(), bytes.size(), 113673.6, 115200), bytes);
    EXPECT_NE(UartResample(bytes.data(), bytes.size(), 38400, 115200), bytes);
    EXPECT_NE(UartResample(bytes.data(), bytes.size(), 115200, 38400), bytes);
    EXPECT_TRUE(UartRatesMatch(113673.6, 115200));
    EXPECT_TRUE(UartRatesMatch(38364.8, 38400));
    EXPECT_FALSE(UartRatesMatch(38400, 115200));
    EXPECT_FALSE(UartRatesMatch(111000, 115200));
}

}  // namespace

namespace {

TEST(ReceiverFirstStage, LoadsTheDivisorEvenWhenTheHostNeverAcknowledges) {
    Wire wire;
    wire.Exchange(Wire::LoadFirstStage(Image(8)));
    const Reply reply = wire.Exchange(Payload{}.U8(0).U32(115200).U16(428).bytes, false);
    EXPECT_EQ(reply.payload, (std::vector<uint8_t>{1}));
    EXPECT_EQ(wire.receiver.UartRate(), 38400.0);  // still waiting for the ACK
    FakeClockAdvance(2100);
    wire.SetBaud(115200);
    EXPECT_EQ(wire.Exchange(Payload{}.U8(42)).payload, (std::vector<uint8_t>{43, 48}));
}

TEST(ReceiverStages, FirmwareServesNoProtocolUntilTheBootRomIsEntered) {
    Wire wire;
    wire.receiver.RunFirmware();
    wire.SendRaw(Frame(Wire::LoadFirstStage(Image(8)).bytes));
    EXPECT_TRUE(wire.Read(4).empty());
    EXPECT_EQ(wire.receiver.Stage(), ReceiverStage::Firmware);
    wire.receiver.EnterBootRom();
    EXPECT_EQ(wire.Exchange(Wire::LoadFirstStage(Image(8))).ack, 0x06);
}

}  // namespace
