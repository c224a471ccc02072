// SPDX-License-Identifier: Apache-2.0
// The receiver on a bench line: bit errors in both directions, a receiver
// that runs its firmware and talks NMEA, the desk wiring of DTR and RTS to its
// boot-select and reset inputs, and an erase slower than the host's usual wait.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/board_codes.h"
#include "receiver/handheld/handheld_sim.h"
#include "receiver/line/noise.h"
#include "tests/receiver/wire.h"

namespace {

struct Heard {
    std::vector<uint8_t> bytes;
    std::vector<double> atMs;  // per piece: when its last byte arrived
};

// Collects what a receiver sends, at absolute times.
void Listen(Receiver& r, Heard* heard, const double* nowMs) {
    r.SetOutputAt([heard, nowMs](const uint8_t* data, size_t count, double delayMs) {
        heard->bytes.insert(heard->bytes.end(), data, data + count);
        heard->atMs.push_back(*nowMs + delayMs);
    });
}

// The sentences in a byte stream, split at LF; and whether each is a
// well-formed NMEA sentence with a matching checksum.
bool ValidSentence(const std::string& s) {
    if (s.size() < 9 || s[0] != '$' || s.substr(s.size() - 2) != "\r\n") return false;
    const size_t star = s.size() - 5;
    if (s[star] != '*') return false;
    unsigned sum = 0;
    for (size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(s[i]);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum);
    return s.compare(star + 1, 2, hex) == 0;
}

std::vector<std::string> Sentences(const std::vector<uint8_t>& bytes) {
    std::vector<std::string> out;
    std::string current;
    for (uint8_t b : bytes) {
        current.push_back(static_cast<char>(b));
        if (b == '\n') {
            out.push_back(current);
            current.clear();
        }
    }
    return out;
}

ReceiverConfig Firmware(uint32_t periodMs = 1000) {
    ReceiverConfig config;
    config.runningFirmware = true;
    config.nmeaPeriodMs = periodMs;
    config.wireTiming = true;
    return config;
}

TEST(LineNoise, FlipsNearTheRateWhateverPiecesTheBytesComeIn) {
    const std::vector<uint8_t> data(200000, 0x55);
    const std::vector<size_t> pieceSizes = {1, 7, 1024, data.size()};
    std::vector<uint64_t> counts;
    for (size_t piece : pieceSizes) {
        LineNoise noise;
        noise.Configure(1e-3, 42, 1);
        uint64_t flips = 0;
        for (size_t at = 0; at < data.size(); at += piece) {
            noise.Apply(data.data() + at, std::min(piece, data.size() - at), &flips);
        }
        counts.push_back(flips);
    }
    // 2,000,000 bits at 1e-3: 2000 expected, sd about 45.
    EXPECT_NEAR(static_cast<double>(counts[0]), 2000.0, 200.0);
    for (uint64_t c : counts) EXPECT_EQ(c, counts[0]);

    LineNoise same, other;
    same.Configure(1e-3, 42, 1);
    other.Configure(1e-3, 43, 1);
    uint64_t a = 0, b = 0;
    LineNoise first;
    first.Configure(1e-3, 42, 1);
    const std::vector<uint8_t> once = first.Apply(data.data(), data.size(), &a);
    EXPECT_EQ(same.Apply(data.data(), data.size(), &b), once);
    EXPECT_NE(other.Apply(data.data(), data.size(), &b), once);
    EXPECT_NE(once, data);
}

TEST(LineNoise, AFlippedStartOrStopBitShiftsTheFraming) {
    // Rate 1: every bit flips. 0x55 on the wire is 0 1010101 0 1; turned
    // over it is 1 0101010 1 0: the receiver finds a start edge a cell late
    // and reads the rest misframed, not 0xAA in place.
    LineNoise all;
    all.Configure(1.0, 1, 1);
    uint64_t flips = 0;
    const std::vector<uint8_t> data = {0x55, 0x55};
    const std::vector<uint8_t> seen = all.Apply(data.data(), data.size(), &flips);
    EXPECT_EQ(flips, 20u);
    EXPECT_NE(seen, (std::vector<uint8_t>{0xAA, 0xAA}));
    LineNoise none;
    none.Configure(0, 1, 1);
    EXPECT_EQ(none.Apply(data.data(), data.size(), &flips), data);
}

TEST(ReceiverNoise, HostBytesArriveDamagedNearTheRate) {
    // Many 4-byte frames, far enough apart that a frame whose length field
    // was hit is given up before the next: each one is taken whole or lost.
    const std::vector<uint8_t> frame = Frame({0x01});
    constexpr int FRAMES = 20000;
    for (const double rate : {0.0, 1e-3}) {
        ReceiverConfig config;
        config.bitErrorRate = rate;
        config.noiseSeed = 9;
        Receiver r(config);
        for (int i = 0; i < FRAMES; ++i) {
            r.Input(frame.data(), frame.size(), static_cast<uint64_t>(i) * 600, 38400);
        }
        const ReceiverCounters& c = r.Counters();
        const size_t damaged = FRAMES - c.requestCodes.size();
        if (rate == 0) {
            EXPECT_EQ(damaged, 0u);
            EXPECT_EQ(c.noiseFlipsFromHost, 0u);
            continue;
        }
        // 800,000 bits: about 800 flips; a frame of 40 bits is hit with
        // probability 3.9%: some 780 frames.
        EXPECT_NEAR(static_cast<double>(c.noiseFlipsFromHost), 800.0, 120.0);
        EXPECT_GT(damaged, 650u);
        EXPECT_LT(damaged, 920u);
        EXPECT_GT(c.badChecksums, 0u);
    }
}

TEST(ReceiverNoise, ReceiverBytesArriveDamagedNearTheRateAndRepeatablyPerSeed) {
    auto run = [](double rate, uint64_t seed) {
        ReceiverConfig config = Firmware(100);
        config.bitErrorRate = rate;
        config.noiseSeed = seed;
        Receiver r(config);
        Heard heard;
        double now = 0;
        Listen(r, &heard, &now);
        r.Input(nullptr, 0, 0, 9600);  // the host listens at the firmware's rate
        r.Advance(0, 400000);          // 4000 fixes, 8000 sentences
        return std::make_pair(heard.bytes, r.Counters().noiseFlipsToHost);
    };
    const auto clean = run(0, 1);
    const std::vector<std::string> sentences = Sentences(clean.first);
    ASSERT_EQ(sentences.size(), 8000u);
    for (const std::string& s : sentences) ASSERT_TRUE(ValidSentence(s)) << s;

    const auto noisy = run(1e-4, 5);
    const double bits = static_cast<double>(clean.first.size()) * 10;
    EXPECT_NEAR(static_cast<double>(noisy.second), bits * 1e-4, bits * 1e-5);
    size_t bad = 0;
    const std::vector<std::string> heard = Sentences(noisy.first);
    for (const std::string& s : heard) bad += ValidSentence(s) ? 0 : 1;
    // A sentence of about 75 bytes is hit with probability near 7%.
    EXPECT_GT(bad, heard.size() * 4 / 100);
    EXPECT_LT(bad, heard.size() * 11 / 100);
    EXPECT_EQ(run(1e-4, 5), noisy);
    EXPECT_NE(run(1e-4, 6).first, noisy.first);
}

TEST(ReceiverFirmware, TalksNmeaOnceASecondAndIgnoresTheFirstStage) {
    Receiver r(Firmware());
    ASSERT_EQ(r.Stage(), ReceiverStage::Firmware);
    Heard heard;
    double now = 0;
    Listen(r, &heard, &now);
    r.Input(nullptr, 0, 0, 9600);
    r.Advance(0, 3500);
    std::vector<std::string> sentences = Sentences(heard.bytes);
    ASSERT_EQ(sentences.size(), 6u);
    for (size_t i = 0; i < sentences.size(); ++i) {
        EXPECT_TRUE(ValidSentence(sentences[i])) << sentences[i];
        EXPECT_EQ(sentences[i].substr(0, 6), i % 2 == 0 ? "$GPGGA" : "$GPRMC");
    }
    // One fix a second, each taking its wire time at 9600 baud.
    ASSERT_EQ(heard.atMs.size(), 3u);
    const double fixMs = static_cast<double>(heard.bytes.size() / 3) * 10000.0 / 9600;
    for (size_t k = 0; k < 3; ++k)
        EXPECT_NEAR(heard.atMs[k], 1000.0 * static_cast<double>(k + 1) + fixMs, 1.0);

    // The boot ROM's frame, at its rate: no acknowledgement, no change.
    heard = {};
    now = 3600;
    const std::vector<uint8_t> load =
        Frame(Wire::LoadFirstStage(std::vector<uint8_t>(64, 1)).bytes);
    r.Input(load.data(), load.size(), 3600, 38400);
    EXPECT_TRUE(heard.bytes.empty());
    EXPECT_EQ(r.Stage(), ReceiverStage::Firmware);
    EXPECT_EQ(r.Counters().frames, 0u);
    // A host at 38400 reads the 9600-baud sentences as other bytes: no '$'
    // and no sentence survives.
    r.Advance(3600, 4500);
    ASSERT_FALSE(heard.bytes.empty());
    EXPECT_EQ(std::count(heard.bytes.begin(), heard.bytes.end(), '$'), 0);
    EXPECT_TRUE(Sentences(heard.bytes).empty() || !ValidSentence(Sentences(heard.bytes)[0]));
}

TEST(ReceiverFirmware, ResetAndBootSelectInputsChooseWhereItStarts) {
    struct Row {
        bool bootSelect;
        ReceiverStage after;
    };
    for (const Row& row :
         {Row{true, ReceiverStage::BootRom}, Row{false, ReceiverStage::Firmware}}) {
        Receiver r(Firmware());
        r.SetResetInput(true);
        EXPECT_EQ(r.Stage(), ReceiverStage::Held);
        r.SetBootSelectInput(row.bootSelect);
        // Boot-select alone changes nothing until reset lets go.
        EXPECT_EQ(r.Stage(), ReceiverStage::Held);
        r.SetResetInput(false);
        EXPECT_EQ(r.Stage(), row.after);
    }
}

// The simulated handheld on its in-memory line, wired as a desk.
class Desk : public ::testing::Test {
  protected:
    void SetUp() override {
        HandheldSimConfig config;
        config.line = HandheldLine::Memory;
        config.deskWiring = true;
        config.receiver.wireTiming = true;
        HandheldSimStart(config);
        ASSERT_NE(HandheldSimOps().activateDevice("Drivers\\PhysicalCOM", 0), nullptr);
    }
    void TearDown() override { HandheldSimStop(); }

    const SerialOps& port = HandheldSimSerialOps();
    const ClockOps& clock = HandheldSimClockOps();

    std::vector<uint8_t> Read(uint32_t n) {
        std::vector<uint8_t> got(n);
        uint32_t count = 0;
        port.read(got.data(), n, &count);
        got.resize(count);
        return got;
    }
    // One step of a line sequence, then the 100 ms to the next.
    void Step(uint32_t asserted) {
        ASSERT_EQ(port.setLines(SERIAL_LINE_DTR | SERIAL_LINE_RTS, asserted), 1);
        clock.sleepMs(100);
    }
};

TEST_F(Desk, OpeningHoldsItInResetAndDtrWithRtsPulsedEntersTheBootRom) {
    EXPECT_TRUE(HandheldSimRunningFirmware());
    ASSERT_EQ(port.open("COM9", 38400), 1);
    EXPECT_EQ(HandheldSimLines(), SERIAL_LINE_DTR | SERIAL_LINE_RTS);
    EXPECT_EQ(HandheldSimReceiver()->Stage(), ReceiverStage::Held);
    EXPECT_TRUE(Read(16).empty());  // held in reset: nothing for 2 s

    // dtr&rts,-rts
    Step(SERIAL_LINE_DTR | SERIAL_LINE_RTS);
    Step(SERIAL_LINE_DTR);
    EXPECT_EQ(HandheldSimReceiver()->Stage(), ReceiverStage::BootRom);
    const std::vector<uint8_t> load =
        Frame(Wire::LoadFirstStage(std::vector<uint8_t>(64, 1)).bytes);
    uint32_t written = 0;
    port.write(load.data(), static_cast<uint32_t>(load.size()), &written);
    const std::vector<uint8_t> answer = Read(6);
    ASSERT_EQ(answer.size(), 6u);
    EXPECT_EQ(answer[0], 0x06);
    EXPECT_EQ(answer[3], 0x25);  // the first stage started

    // The update pin is wired to nothing on a desk.
    uint8_t pin[4] = {UPDATE_PIN & 0xFF, UPDATE_PIN >> 8 & 0xFF, 0, 0};
    PlatformHandle gpio = HandheldSimOps().createFile("GIO1:", 0, 0, 0, 0);
    HandheldSimOps().deviceIoControl(gpio, IOCTL_GIO_CLEAR_BIT, pin, 4, nullptr, 0, nullptr);
    EXPECT_EQ(HandheldSimReceiver()->Stage(), ReceiverStage::FirstStage);
    port.close();
}

TEST_F(Desk, ResetWithDtrReleasedRunsItsFirmware) {
    ASSERT_EQ(port.open("COM9", 38400), 1);
    Step(SERIAL_LINE_DTR | SERIAL_LINE_RTS);
    Step(SERIAL_LINE_DTR);
    ASSERT_EQ(HandheldSimReceiver()->Stage(), ReceiverStage::BootRom);
    const uint32_t starts = HandheldSimReceiver()->Counters().firmwareStarts;
    // -dtr&rts,-rts
    Step(SERIAL_LINE_RTS);
    EXPECT_FALSE(HandheldSimRunningFirmware());
    Step(0);
    EXPECT_TRUE(HandheldSimRunningFirmware());
    EXPECT_EQ(HandheldSimReceiver()->Counters().firmwareStarts, starts + 1);
    // It talks again: at its own rate the host reads its sentences.
    ASSERT_EQ(port.setBaud(9600), 1);
    const std::vector<std::string> sentences = Sentences(Read(300));
    ASSERT_GE(sentences.size(), 2u);
    EXPECT_TRUE(ValidSentence(sentences[0])) << sentences[0];
    port.close();
    EXPECT_EQ(HandheldSimLines(), 0u);
    EXPECT_TRUE(HandheldSimRunningFirmware());
}

TEST_F(Desk, SentencesNotYetSentAreLostWhenItIsReset) {
    ASSERT_EQ(port.open("COM9", 38400), 1);
    Step(0);  // released at once: the firmware starts now
    ASSERT_EQ(port.setBaud(9600), 1);
    // The first fix's first byte; the read has seen the second fix coming.
    ASSERT_EQ(Read(1), std::vector<uint8_t>{'$'});
    Step(SERIAL_LINE_RTS | SERIAL_LINE_DTR);
    Step(SERIAL_LINE_DTR);
    EXPECT_EQ(HandheldSimReceiver()->Stage(), ReceiverStage::BootRom);
    // What was on the wire before the reset arrives; the second fix never left.
    const std::vector<uint8_t> rest = Read(400);
    EXPECT_EQ(std::count(rest.begin(), rest.end(), '$'), 1);
    ASSERT_GE(rest.size(), 2u);
    EXPECT_EQ(rest.back(), '\n');
    port.close();
}

TEST(ReceiverErase, ASectorEraseSlowerThanTwoSecondsIsAnsweredWhenItEnds) {
    ReceiverConfig config;
    config.wireTiming = true;
    config.eraseDelayMs = 2500;
    config.flashInit = FlashInit::Fill;
    config.flashFill = 0x00;
    Wire wire(config);
    wire.BootToAgent();
    ASSERT_EQ(wire.Open().Status(), 0u);
    wire.SendRaw(Frame(Payload{}.U8(12).U32(0).U32(0x4000).bytes));
    ASSERT_EQ(wire.Read(1), std::vector<uint8_t>{0x06});
    const uint64_t ackAt = FakeClockNow();
    // A host that waits its usual 2008 ms sees nothing yet...
    EXPECT_TRUE(wire.Read(2).empty());
    // ... the answer comes once the erase is done.
    const std::vector<uint8_t> answer = wire.Read(8);
    ASSERT_EQ(answer.size(), 8u);
    EXPECT_GE(FakeClockNow() - ackAt, 2500u);
    EXPECT_LT(FakeClockNow() - ackAt, 2510u);
    EXPECT_EQ(answer[2], 13);
    EXPECT_EQ(BigEndian(answer, 3, 4), 0u);
    const std::vector<uint8_t>& flash = wire.receiver.Flash();
    EXPECT_TRUE(
        std::all_of(flash.begin(), flash.begin() + 0x4000, [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(flash[0x4000], 0x00);
}

}  // namespace
