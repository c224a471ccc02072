// SPDX-License-Identifier: Apache-2.0
// Whole updates at operating rates other than 115200, in process on the
// virtual clock: the simulated receiver's UART runs at its own divisor's
// rate, so a rate it cannot keep to garbles the frames as on a real line.
#include <gtest/gtest.h>

#include <algorithm>

#include "agent/agent.h"
#include "boot/boot.h"
#include "boot/clock.h"
#include "link/serial_port.h"
#include "payloads/payloads.h"
#include "tests/support/update_fixture.h"
#include "update/board.h"
#include "update/update.h"

namespace {

enum class Expect { Finished, Refused };

struct RateCase {
    const char* name;
    uint8_t chipId;
    uint32_t baud;
    Expect expect;
};

void PrintTo(const RateCase& c, std::ostream* os) {
    *os << c.name;
}

class OperatingRates : public UpdateRun, public ::testing::WithParamInterface<RateCase> {};

bool Sent(const std::vector<uint8_t>& codes, uint8_t code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

TEST_P(OperatingRates, FlashOnlyWhereTheReceiverKeepsToTheRate) {
    const RateCase& c = GetParam();
    HandheldSimConfig config;
    config.receiver.chipId = c.chipId;
    config.receiver.flashInit = FlashInit::Fill;
    config.receiver.flashFill = 0x00;  // an older firmware: any erase shows
    Start(config);
    request.operatingBaud = c.baud;
    const uint32_t exitCode = Run();

    const ReceiverCounters& counters = HandheldSimReceiver()->Counters();
    const std::vector<uint8_t> flash = HandheldSimFlash();
    ASSERT_FALSE(messages.empty());
    if (c.expect == Expect::Finished) {
        EXPECT_EQ(exitCode, 0u);
        EXPECT_EQ(messages.back().text, "Download Finish");
        EXPECT_TRUE(std::equal(Image().begin(), Image().end(), flash.begin()));
        // The agent and the image went at the rate asked for, the first stage at 38400.
        EXPECT_GT(counters.bytesFromHost.at(c.baud), Image().size());
        EXPECT_GT(counters.bytesFromHost.at(BOOT_BAUD), 1200u);
        EXPECT_EQ(UpdateOutcome(), UPDATE_OUTCOME_FINISHED);
        return;
    }
    // Nothing reached the flash.
    EXPECT_EQ(exitCode, 1u);
    EXPECT_EQ(counters.writes, 0u);
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0x00; }));
    EXPECT_FALSE(Sent(counters.requestCodes, AGENT_ERASE_SECTOR_SET));
    EXPECT_FALSE(Sent(counters.requestCodes, AGENT_WRITE));
    // Refused once the chip answered: the agent came up at 115200 and the
    // link ended with a Disconnect it answered; the board is restored and
    // the temporary image gone.
    EXPECT_EQ(UpdateOutcome(), UPDATE_OUTCOME_RATE_REFUSED);
    EXPECT_EQ(messages.back().caption, "Fail");
    EXPECT_NE(messages.back().text.find("chip 35"), std::string::npos);
    EXPECT_NE(messages.back().text.find(std::to_string(c.baud)), std::string::npos);
    EXPECT_EQ(counters.bytesFromHost.count(c.baud), 0u);
    EXPECT_GT(counters.bytesFromHost.at(BAUD_FALLBACK), 0u);
    ASSERT_FALSE(counters.requestCodes.empty());
    EXPECT_EQ(counters.requestCodes.back(), BOOT_DISCONNECT);
    EXPECT_EQ(counters.disconnects, 1u);
    EXPECT_FALSE(HandheldSimPinSet());
    EXPECT_FALSE(HandheldSimDriverLoaded());
    EXPECT_FALSE(TempFileExists());
}

INSTANTIATE_TEST_SUITE_P(Receiver, OperatingRates,
                         ::testing::Values(RateCase{"At230400", 48, 230400, Expect::Finished},
                                           RateCase{"At460800", 48, 460800, Expect::Finished},
                                           RateCase{"Chip35At115200", 35, 115200, Expect::Finished},
                                           RateCase{"Chip35At230400", 35, 230400, Expect::Refused},
                                           RateCase{"Chip35At460800", 35, 460800, Expect::Refused}),
                         [](const ::testing::TestParamInfo<RateCase>& rate) {
                             return std::string(rate.param.name);
                         });

// What the host's refusal saves the receiver from: chip 35 told to run at
// 576000 loads divisor 80 (613,837 baud, +6.6%), and from then on every
// frame arrives garbled; the agent never starts and the flash is untouched.
TEST_F(UpdateRun, ARateTheChipCannotKeepToGarblesTheFrames) {
    HandheldSimConfig config;
    config.receiver.chipId = CHIP_ID_ALTERNATE;
    config.receiver.flashInit = FlashInit::Fill;
    config.receiver.flashFill = 0x00;
    Start(config);
    ASSERT_EQ(CheckPortDriver(), 1);
    ActivatePortDriver();
    ASSERT_EQ(SetUpdatePin(), 1);
    ASSERT_EQ(SerialOpen(ReceiverPortName(), BOOT_BAUD), 1);
    ASSERT_EQ(LoadFirstStage(FirstStageImage, FirstStageImageLength), 1);
    uint8_t chip = 0;
    ASSERT_EQ(QueryChipId(&chip), 1);
    ASSERT_EQ(SetUpClock(chip), 0u);
    ASSERT_EQ(BaudSuitsChip(576000, chip), 0);
    // The first stage answers at the old rate, so the switch itself succeeds.
    ASSERT_EQ(SwitchBaud(576000, chip), 1);
    EXPECT_EQ(DownloadAgent(FlashAgentImage, FlashAgentImageLength), 0);

    const ReceiverCounters& counters = HandheldSimReceiver()->Counters();
    // The host's blocks reached the line, but they did not all come through.
    EXPECT_GT(counters.bytesFromHost.at(576000), AGENT_BLOCK_SIZE);
    EXPECT_LT(std::count(counters.requestCodes.begin(), counters.requestCodes.end(),
                         BOOT_WRITE_AGENT_BLOCK),
              12);
    EXPECT_EQ(counters.writes, 0u);
    EXPECT_FALSE(Sent(counters.requestCodes, BOOT_START_AGENT));
    const std::vector<uint8_t> flash = HandheldSimFlash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0x00; }));
    SerialClose();
}

}  // namespace
