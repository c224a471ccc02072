// SPDX-License-Identifier: Apache-2.0
// Reference clock detection and the synthesizer requests, against a scripted
// first stage on the in-memory line.
#include "boot/clock.h"

#include <gtest/gtest.h>

#include <memory>

#include "link/packet.h"
#include "link/serial_port.h"
#include "link/status.h"
#include "platform/fake/fake_line.h"
#include "tests/boot/first_stage_script.h"
#include "tests/support/core_reset.h"
#include "tests/support/frame_peer.h"

namespace {

struct SynthesizerRow {
    uint8_t variant;
    uint32_t hz;
    Bytes data;  // count and the 8 data bytes, as the first stage receives them
};

// The synthesizer settings as the receiver's documentation lists them.
const SynthesizerRow SYNTHESIZER_ROWS[] = {
    {0, 13000000, {7, 0x1C, 0x1E, 0xE0, 0xAE, 0xA3, 0x27, 0xDD, 0x00}},
    {0, 16369000, {7, 0x00, 0x00, 0x00, 0x0B, 0xA3, 0x27, 0xDD, 0x00}},
    {0, 16800000, {7, 0x11, 0x30, 0x46, 0x4B, 0x43, 0x27, 0xDD, 0x00}},
    {0, 19200000, {7, 0x1B, 0x0A, 0x3D, 0x89, 0xC3, 0x27, 0xDD, 0x00}},
    {0, 24553500, {7, 0x00, 0x00, 0x00, 0x07, 0xA3, 0x27, 0xDD, 0x00}},
    {0, 26000000, {7, 0x0E, 0x0F, 0x70, 0x67, 0x23, 0x27, 0xDD, 0x00}},
    {1, 13000000, {8, 0x03, 0xCF, 0x10, 0x38, 0x02, 0x20, 0x27, 0xA0}},
    {1, 16369000, {8, 0x03, 0xCF, 0x10, 0x38, 0x00, 0x30, 0x07, 0xA0}},
    {1, 16800000, {8, 0x03, 0xCF, 0x10, 0x38, 0x02, 0x60, 0x37, 0xA0}},
    {1, 19200000, {8, 0x03, 0xCF, 0x10, 0x38, 0x02, 0x14, 0x37, 0xA0}},
    {1, 24553500, {8, 0x03, 0xCF, 0x10, 0x38, 0x00, 0x20, 0x07, 0xA0}},
    {1, 26000000, {8, 0x03, 0xCF, 0x10, 0x38, 0x01, 0x10, 0x27, 0xA0}},
    {1, 33600000, {8, 0x03, 0xCF, 0x10, 0x38, 0x01, 0x30, 0x37, 0xA0}},
};

TEST(SynthesizerTest, DerivedBytesMatchTheListedSettings) {
    for (const SynthesizerRow& row : SYNTHESIZER_ROWS) {
        SCOPED_TRACE(row.hz);
        for (uint8_t variant : {row.variant, static_cast<uint8_t>(row.variant == 0 ? 0 : 2)}) {
            uint8_t count = 0;
            uint8_t data[CLOCK_DATA_BYTES] = {};
            ASSERT_EQ(SynthesizerSettings(variant, row.hz, &count, data), 1);
            Bytes got{count};
            got.insert(got.end(), data, data + CLOCK_DATA_BYTES);
            EXPECT_EQ(got, row.data);
        }
    }
    uint8_t count = 0;
    uint8_t data[CLOCK_DATA_BYTES] = {};
    EXPECT_EQ(SynthesizerSettings(0, 33600000, &count, data), 0);
    EXPECT_EQ(SynthesizerSettings(0, 0, &count, data), 0);
    EXPECT_EQ(SynthesizerSettings(1, 0, &count, data), 0);
    EXPECT_EQ(SynthesizerSettings(1, 16368999, &count, data), 0);
}

// Every row must land the synthesizer on the GPS L1 band: decoding the sent
// bytes back to their multiplier catches a wrong I, F, R or N.
TEST(SynthesizerTest, EveryRowReachesTheL1Frequency) {
    for (const SynthesizerRow& row : SYNTHESIZER_ROWS) {
        SCOPED_TRACE(row.hz);
        uint8_t count = 0;
        uint8_t data[CLOCK_DATA_BYTES] = {};
        ASSERT_EQ(SynthesizerSettings(row.variant, row.hz, &count, data), 1);
        if (row.variant == 0) {
            uint64_t word = 0;
            for (int i = 0; i < 5; ++i) word = (word << 8) | data[i];
            ASSERT_EQ(word & 0x1F, 3U);
            const double integer = static_cast<double>((word >> 5) & 0xFF);
            const double fraction = static_cast<double>(word >> 13) / 16777216.0;
            EXPECT_NEAR(row.hz * (integer + 3 + fraction), 1571424000.0, 1.0);
        } else {
            const uint32_t word = (uint32_t{data[4]} << 16) | (uint32_t{data[5]} << 8) | data[6];
            ASSERT_EQ(word & 3, 3U);
            const double divider = static_cast<double>((word >> 2) & 0x1F);
            const double multiplier = static_cast<double>(word >> 7);
            const double synthesized = row.hz * multiplier / divider;
            EXPECT_GE(synthesized, 1571424000.0 - 0.5);
            EXPECT_LE(synthesized, 1571556000.0);
        }
    }
}

TEST(DetectReferenceClockTest, SelectorThenOscillatorCode) {
    struct Case {
        uint8_t variant;
        uint16_t wordA;
        uint16_t wordB;
        uint32_t status;
        uint32_t hz;
    };
    const Case cases[] = {
        {0, 0x0000, 0xFFFF, LINK_OK, 16369000},
        {1, 0xCFFF, 0x001F, LINK_OK, 16369000},  // only bits 12 and 13 select
        {0, 0x1000, 0x0000, LINK_OK, 24553500},
        {2, 0x2000, 0x0000, LINK_OK, 26000000},
        {0, 0x3000, 0, LINK_OK, 13000000},
        {0, 0x3000, 10, LINK_OK, 16369000},
        {0, 0x3000, 11, LINK_OK, 16800000},
        {0, 0x3000, 18, LINK_OK, 19200000},
        {0, 0x3000, 29, LINK_OK, 24553500},
        {0, 0xF000, 0xFFFF, LINK_OK, 26000000},  // code is the low five bits: 31
        {0, 0x3000, 30, LINK_UNKNOWN_CLOCK, 0},
        {0, 0x3000, 7, LINK_UNKNOWN_CLOCK, 0},
        {1, 0x3000, 0, LINK_OK, 13000000},
        {1, 0x3000, 7, LINK_OK, 16369000},
        {1, 0x3000, 8, LINK_OK, 16800000},
        {1, 0x3000, 13, LINK_OK, 19200000},
        {1, 0x3000, 21, LINK_OK, 24553500},
        {1, 0x3000, 23, LINK_OK, 26000000},
        {0x80, 0x3000, 0x00FE, LINK_OK, 33600000},
        {1, 0x3000, 10, LINK_OK, 0},  // unknown: stays unknown, not 105
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.variant} << " " << c.wordA << " " << c.wordB);
        ClockReset();
        EXPECT_EQ(DetectReferenceClock(c.variant, c.wordA, c.wordB), c.status);
        EXPECT_EQ(ReferenceClockHz(), c.hz);
    }
}

TEST(SetReferenceClockTest, GuardRefusesAndKeepsTheValue) {
    ClockReset();
    EXPECT_EQ(SetReferenceClock(1, 26000000), CLOCK_GUARD_REFUSED);
    EXPECT_EQ(ReferenceClockHz(), 0U);
    EXPECT_EQ(SetReferenceClock(0, 26000000), 0U);
    EXPECT_EQ(ReferenceClockHz(), 26000000U);
    EXPECT_EQ(SetReferenceClock(0xFFFFFFFF, 13000000), CLOCK_GUARD_REFUSED);
    EXPECT_EQ(ReferenceClockHz(), 26000000U);
    ClockReset();
    EXPECT_EQ(ReferenceClockHz(), 0U);
}

class ClockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        peer.reset();
        ResetCoreModules();
        script = FirstStageScript{};
        peer =
            std::make_unique<FramePeer>([this](const Bytes& request) { return script(request); });
        ASSERT_EQ(SerialOpen("COM9", 38400), 1);
    }
    void TearDown() override { peer.reset(); }

    FirstStageScript script;
    std::unique_ptr<FramePeer> peer;
};

TEST_F(ClockTest, AlternateChipSendsOneRequestOnly) {
    EXPECT_EQ(SetUpClock(35), LINK_OK);
    EXPECT_EQ(peer->Payloads(), (std::vector<Bytes>{{38, 0}}));
    EXPECT_EQ(ReferenceClockHz(), 0U);

    for (const Reply& bad : {Answer({39, 0}), Answer({41}), AckOnly()}) {
        SetUp();
        script.overrides[38] = bad;
        EXPECT_EQ(SetUpClock(35), LINK_EXCHANGE_FAILED);
        EXPECT_EQ(peer->Codes(), Bytes{38});
    }
}

TEST_F(ClockTest, RequestsPerCase) {
    struct Case {
        const char* name;
        uint32_t cachedHz;
        uint8_t variant;
        uint16_t wordA, wordB;
        uint32_t status;
        std::vector<Bytes> payloads;
        uint32_t hzAfter;
    };
    const Case cases[] = {
        {"selector 0, fractional",
         0,
         0,
         0x0000,
         0xFFFF,
         LINK_OK,
         {{44},
          {46},
          {48},
          {0x28, 0x05, 0x00, 0x07, 0x00, 0x00, 0x00, 0x0B, 0xA3, 0x27, 0xDD, 0x00}},
         16369000},
        {"integer form, 33.6 MHz",
         0,
         1,
         0x3000,
         30,
         LINK_OK,
         {{44},
          {46},
          {48},
          {0x28, 0x05, 0x00, 0x08, 0x03, 0xCF, 0x10, 0x38, 0x01, 0x30, 0x37, 0xA0}},
         33600000},
        {"fractional form, unknown code",
         0,
         0,
         0x3000,
         30,
         LINK_UNKNOWN_CLOCK,
         {{44}, {46}, {48}},
         0},
        {"integer form, unknown code",
         0,
         1,
         0x3000,
         31,
         LINK_EXCHANGE_FAILED,
         {{44}, {46}, {48}},
         0},
        {"known clock skips the words",
         19200000,
         2,
         0,
         0,
         LINK_OK,
         {{44}, {0x28, 0x05, 0x00, 0x08, 0x03, 0xCF, 0x10, 0x38, 0x02, 0x14, 0x37, 0xA0}},
         19200000},
        {"known 33.6 MHz has no fractional row",
         33600000,
         0,
         0,
         0,
         LINK_EXCHANGE_FAILED,
         {{44}},
         33600000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (c.cachedHz != 0) {
            ASSERT_EQ(SetReferenceClock(0, c.cachedHz), 0U);
        }
        script.variant = c.variant;
        script.wordA = c.wordA;
        script.wordB = c.wordB;
        EXPECT_EQ(SetUpClock(48), c.status);
        EXPECT_EQ(peer->Payloads(), c.payloads);
        EXPECT_EQ(ReferenceClockHz(), c.hzAfter);
        EXPECT_EQ(VariantByte(), c.variant);
        // The link stays at the boot rate throughout.
        EXPECT_EQ(FakeLineHostBaud(), 38400U);
    }
}

TEST_F(ClockTest, FailedExchangesGive104AndKeepWhatWasLearnt) {
    struct Case {
        uint8_t code;
        Reply reply;
        size_t requests;
        uint32_t hzAfter;
    };
    const Case cases[] = {
        {44, Answer({45, 0, 0}), 1, 0},
        {44, AckOnly(), 1, 0},
        {46, Answer({47, 0}), 2, 0},
        {46, Answer({49, 0, 0}), 2, 0},
        {48, Answer({49, 0, 0, 0}), 3, 0},
        {48, AckOnly(), 3, 0},
        {40, Answer({41, 0}), 4, 16369000},
        {40, Answer({39}), 4, 16369000},
        {40, Reply{false, false, {}, false}, 4, 16369000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.code} << " answered " << c.reply.payload.size());
        SetUp();
        script.overrides[c.code] = c.reply;
        EXPECT_EQ(SetUpClock(48), LINK_EXCHANGE_FAILED);
        EXPECT_EQ(peer->Requests().size(), c.requests);
        EXPECT_EQ(ReferenceClockHz(), c.hzAfter);
    }
}

TEST_F(ClockTest, QueriesStoreTheirValueBeforeTheLengthCheck) {
    script.overrides[44] = Answer({45, 0x07, 0x00});
    script.overrides[46] = Answer({47, 0x12, 0x34, 0x00});
    uint8_t variant = 0;
    uint16_t word = 0;
    EXPECT_EQ(QueryVariant(&variant), 0);
    EXPECT_EQ(variant, 0x07);
    EXPECT_EQ(QueryConfigWordA(&word), 0);
    EXPECT_EQ(word, 0x1234);
    script.wordB = 0xBEEF;
    EXPECT_EQ(QueryConfigWordB(&word), 1);
    EXPECT_EQ(word, 0xBEEF);
}

TEST_F(ClockTest, ConfigureClockWithoutARowSendsNothing) {
    EXPECT_EQ(ConfigureClock(0, 33600000), 0);
    EXPECT_EQ(ConfigureClock(3, 0), 0);
    EXPECT_TRUE(peer->Requests().empty());
    EXPECT_EQ(ConfigureClock(0, 26000000), 1);
    EXPECT_EQ(peer->Payloads().at(0),
              (Bytes{0x28, 0x05, 0x00, 0x07, 0x0E, 0x0F, 0x70, 0x67, 0x23, 0x27, 0xDD, 0x00}));
}

}  // namespace
