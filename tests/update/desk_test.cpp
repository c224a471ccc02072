// SPDX-License-Identifier: Apache-2.0
// A receiver on a desk, running its firmware, reached through the adapter's
// DTR and RTS: the whole update in process, on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "boot/boot.h"
#include "boot/boot_lines.h"
#include "tests/support/update_fixture.h"
#include "update/update.h"

namespace {

HandheldSimConfig Desk() {
    HandheldSimConfig config;
    config.line = HandheldLine::Memory;
    config.deskWiring = true;
    config.receiver.flashInit = FlashInit::Fill;
    config.receiver.flashFill = 0x00;
    return config;
}

// The desk on the simulated handheld's own in-memory line and clock, which
// carry the DTR and RTS lines (the fixture's fake line has none).
class DeskRun : public UpdateRun {
  protected:
    void StartDesk() {
        HandheldSimStart(Desk());
        started = true;
        PlatformInstall(PlatformOps{&HandheldSimSerialOps(), &HandheldSimClockOps(), nullptr,
                                    nullptr, nullptr, nullptr});
    }
};

TEST_F(DeskRun, BootLinesUpdateADeskReceiverAndStartItsNewFirmware) {
    BootLines lines{};
    char error[128] = "";
    ASSERT_EQ(BootLinesParse("dtr&rts,-rts:-dtr&rts,-rts", &lines, error, sizeof error), 1)
        << error;
    StartDesk();
    request.bootLines = &lines;
    EXPECT_EQ(Run(), 0u);
    EXPECT_TRUE(Finished());
    const std::vector<uint8_t> flash = HandheldSimFlash();
    EXPECT_TRUE(std::equal(Image().begin(), Image().end(), flash.begin()));
    // The exit sequence reset it with boot-select released: the new firmware runs.
    EXPECT_TRUE(HandheldSimRunningFirmware());
    EXPECT_EQ(UpdateExitStatus(UpdateLastResult()), UPDATE_EXIT_DONE);
}

TEST_F(DeskRun, WithoutBootLinesADeskReceiverIsNotReachedAndNothingChanges) {
    StartDesk();
    EXPECT_EQ(Run(), 1u);
    const UpdateResult& result = UpdateLastResult();
    EXPECT_STREQ(result.step, "OpenReceiver");
    EXPECT_STREQ(result.message, "Please close the GPS application !");
    EXPECT_FALSE(result.receiverAnswered);
    EXPECT_FALSE(result.flashChanged);
    EXPECT_EQ(UpdateExitStatus(result), UPDATE_EXIT_FLASH_UNCHANGED);
    // Opening the port holds it in reset: the line is silent.
    EXPECT_EQ(result.lineFinding, BOOT_LINE_SILENT);
    const std::vector<uint8_t> flash = HandheldSimFlash();
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0x00), static_cast<long>(flash.size()));
}

}  // namespace
