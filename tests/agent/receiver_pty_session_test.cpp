// SPDX-License-Identifier: Apache-2.0
// One whole session over a real pseudo-terminal: the host's termios port and
// real clock against the simulated receiver on its own thread. Real time:
// the 2 s settling wait dominates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/agent.h"
#include "boot/boot.h"
#include "boot/clock.h"
#include "link/status.h"
#include "platform/platform.h"
#include "platform/posix/posix.h"
#include "platform/std_clock.h"
#include "receiver/pty/pty_receiver.h"
#include "tests/support/core_reset.h"

namespace {

TEST(ReceiverPtySession, BringUpWriteCrcAndClose) {
    ResetCoreModules();
    PtyReceiver receiver;
    std::string error;
    ASSERT_TRUE(receiver.Start(ReceiverConfig{}, &error)) << error;
    PlatformInstall(
        PlatformOps{&PosixSerialOps(), &StdClockOps(), nullptr, nullptr, nullptr, nullptr});

    ASSERT_EQ(OpenReceiver(receiver.SlavePath().c_str(), 115200), LINK_OK);
    EXPECT_EQ(ChipId(), 48);
    char part[FLASH_NAME_BUFFER_SIZE] = {};
    char maker[FLASH_NAME_BUFFER_SIZE] = {};
    SectorSet runs[MAX_SECTOR_SETS] = {};
    FlashInfo info{part, maker, 0, 0, 0, runs, 0, 0, 0};
    uint32_t width = 0;
    ASSERT_EQ(EPOpen(0, 0, &width, &info), AGENT_OK);
    EXPECT_STREQ(part, "AM29LV400BB");

    std::vector<uint8_t> data(4096);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 11 + 5);
    ASSERT_EQ(CheckBlank(0, 4096), AGENT_OK);
    ASSERT_EQ(EPWrite(0, data.data(), 4096), AGENT_OK);
    uint16_t crc = 0;
    EXPECT_EQ(CalculateFlashCRC16(0, 4096, 0xFFFF, &crc), AGENT_OK);
    EXPECT_EQ(crc, SimCrc16(data.data(), data.size(), 0xFFFF));
    EXPECT_EQ(EPClose(), AGENT_OK);
    EXPECT_EQ(CloseReceiver(), LINK_OK);
    ASSERT_TRUE(receiver.WaitForDisconnects(1, 2000));
    const std::vector<uint8_t> flash = receiver.Flash();
    EXPECT_EQ(std::vector<uint8_t>(flash.begin(), flash.begin() + 4096), data);
    receiver.Stop();
}

}  // namespace
