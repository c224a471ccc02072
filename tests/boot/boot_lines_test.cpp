// SPDX-License-Identifier: Apache-2.0
// DTR/RTS sequences, what the line shows when the first stage is not
// answered, and a stop while its answer is awaited, on the in-memory line.
#include "boot/boot_lines.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "boot/boot.h"
#include "link/status.h"
#include "platform/fake/fake_line.h"
#include "tests/support/core_reset.h"

namespace {

constexpr uint32_t D = SERIAL_LINE_DTR;
constexpr uint32_t R = SERIAL_LINE_RTS;

TEST(BootLinesParse, Table) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<BootLineStep> entry;
        std::vector<BootLineStep> exit;
    };
    const Case cases[] = {
        {"dtr&rts,-rts:-dtr&rts,-rts", true, {{D | R, D | R}, {R, 0}}, {{D | R, R}, {R, 0}}},
        {"DTR", true, {{D, D}}, {}},
        {"-dtr,rts:", true, {{D, 0}, {R, R}}, {}},
        {"", false, {}, {}},
        {":dtr", false, {}, {}},
        {"dtr,", false, {}, {}},
        {"dtr&dtr", false, {}, {}},
        {"dsr", false, {}, {}},
        {"dtr:rts:dtr", false, {}, {}},
        {"dtr&", false, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        BootLines lines{};
        char error[160];
        ASSERT_EQ(BootLinesParse(c.text, &lines, error, sizeof error), c.ok ? 1 : 0) << error;
        if (!c.ok) {
            EXPECT_GT(std::string(error).size(), 5u);
            continue;
        }
        ASSERT_EQ(lines.entryCount, c.entry.size());
        for (size_t i = 0; i < c.entry.size(); ++i) {
            EXPECT_EQ(lines.entry[i].which, c.entry[i].which);
            EXPECT_EQ(lines.entry[i].asserted, c.entry[i].asserted);
        }
        ASSERT_EQ(lines.exitCount, c.exit.size());
        for (size_t i = 0; i < c.exit.size(); ++i) {
            EXPECT_EQ(lines.exit[i].which, c.exit[i].which);
            EXPECT_EQ(lines.exit[i].asserted, c.exit[i].asserted);
        }
    }
}

class BootLineTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetCoreModules(); }
    void TearDown() override { FakeLineSetPeer(nullptr); }
};

TEST_F(BootLineTest, EntryIsPlayedBeforeTheFirstStageStepsApart) {
    BootLines lines{};
    char error[80];
    ASSERT_EQ(BootLinesParse("dtr&rts,-rts", &lines, error, sizeof error), 1);
    BootSetLines(&lines);
    EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_DOWNLOAD_FAILED);  // no one answers
    const std::vector<FakeLineChange>& changes = FakeLineLineChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].atMs, 0u);
    EXPECT_EQ(changes[1].atMs, BOOT_LINES_STEP_MS);
    EXPECT_EQ(FakeLineLines(), D);
}

TEST_F(BootLineTest, APortWithoutLinesIsRefusedWithNothingSent) {
    BootLines lines{};
    char error[80];
    ASSERT_EQ(BootLinesParse("dtr", &lines, error, sizeof error), 1);
    BootSetLines(&lines);
    FakeLineRefuseLines(true);
    EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_LINES_FAILED);
    EXPECT_TRUE(FakeLineHostBytes().empty());
    EXPECT_FALSE(FakeLineIsOpen());
    EXPECT_EQ(BootFailedStep(), BOOT_STEP_LINES);
}

// NMEA sentence with its checksum.
std::string Sentence(const std::string& body) {
    uint8_t sum = 0;
    for (char c : body) sum = static_cast<uint8_t>(sum ^ static_cast<uint8_t>(c));
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

TEST_F(BootLineTest, WhatTheLineShowedIsToldApart) {
    struct Case {
        const char* name;
        int finding;
        std::function<void(const uint8_t*, size_t)> peer;
    };
    const Case cases[] = {
        {"silence", BOOT_LINE_SILENT, nullptr},
        {"running firmware", BOOT_LINE_NMEA,
         [](const uint8_t*, size_t) {
             const std::string nmea =
                 Sentence("GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,,M,,M,,") +
                 Sentence("GPRMC,123519,A,4807.038,N,01131.000,E,,,230394,,");
             FakeLineSend(reinterpret_cast<const uint8_t*>(nmea.data()) + 5, nmea.size() - 5, 300);
         }},
        {"echo", BOOT_LINE_ECHO,
         [](const uint8_t* data, size_t count) { FakeLineSend(data, count); }},
        {"other bytes", BOOT_LINE_OTHER,
         [](const uint8_t*, size_t) {
             FakeLineSend({0xF0, 0x0F, 0x80, 0x00, 0xFE}, 5);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetCoreModules();
        FakeLineSetPeer(c.peer);
        EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_DOWNLOAD_FAILED);
        EXPECT_EQ(BootLastLineFinding(), c.finding);
        EXPECT_FALSE(BootReceiverAnswered());
        EXPECT_EQ(BootFailedStep(), BOOT_STEP_FIRST_STAGE);
        EXPECT_STRNE(BootLineFindingText(c.finding), "");
        FakeLineSetPeer(nullptr);
    }
}

TEST_F(BootLineTest, AFirstStageThatAnsweredAndThenFailedIsNotSilence) {
    FakeLineSetPeer([](const uint8_t*, size_t count) {
        if (count > 3) FakeLineSend({0x06, 0x00, 0x02, 0x25});  // ACK, then a cut answer
    });
    EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_DOWNLOAD_FAILED);
    EXPECT_TRUE(BootReceiverAnswered());
    EXPECT_EQ(BootLastLineFinding(), BOOT_LINE_NOT_LOOKED);
}

uint64_t StopAt = 0;

TEST_F(BootLineTest, AStopWhileTheFirstStageIsAwaitedEndsTheOpen) {
    StopAt = 2500;  // after the settle wait, while the ACK is awaited
    BootSetStopQuery([] { return FakeClockNow() >= StopAt; });
    EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_STOPPED);
    EXPECT_FALSE(FakeLineIsOpen());
    // Ended with the read that was waiting, not after looking at the line.
    EXPECT_LE(FakeClockNow(), 2000u + 2004u + 10u);
    EXPECT_EQ(BootLastLineFinding(), BOOT_LINE_NOT_LOOKED);
}

}  // namespace
