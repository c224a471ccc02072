// SPDX-License-Identifier: Apache-2.0
// Stopping a whole update at each point of the run, on the virtual clock, and
// the order of the last steps of a successful one.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "agent/agent.h"
#include "boot/boot.h"
#include "platform/fake/fake_line.h"
#include "tests/support/update_fixture.h"
#include "update/update.h"

namespace {

constexpr uint8_t OLD_FIRMWARE_BYTE = 0x00;

HandheldSimConfig OldFirmware() {
    HandheldSimConfig config;
    config.receiver.flashInit = FlashInit::Fill;
    config.receiver.flashFill = OLD_FIRMWARE_BYTE;
    return config;
}

// A clock that counts its delays, so that a stop can come in the middle of
// the wait before the first stage.
int Sleeps = 0;
std::function<void()> OnSleep;
void CountingSleep(uint32_t milliseconds) {
    FakeClockOps().sleepMs(milliseconds);
    ++Sleeps;
    if (OnSleep) OnSleep();
}
const ClockOps CountingClock{[] { return FakeClockOps().nowMs(); }, CountingSleep};

enum class Trigger { BeforeStart, Progress, Sleep, Request, Message };

struct StopCase {
    const char* name;
    bool blank;       // the flash starts erased (no erase phase)
    bool crcDiffers;  // the agent's CRC is off by one
    Trigger trigger;
    int at;            // progress value, delay number or request code
    const char* text;  // the message, for Trigger::Message
    int answer;        // what UpdateRequestStop says
    int outcome;
    bool flashIsImage;  // else it still holds what it held
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class StopRule : public UpdateRun, public ::testing::WithParamInterface<StopCase> {
  protected:
    void TearDown() override {
        OnSleep = nullptr;
        UpdateRun::TearDown();
    }
};

TEST_P(StopRule, StopsOnlyWhileTheFlashIsUntouched) {
    const StopCase& c = GetParam();
    HandheldSimConfig config = c.blank ? HandheldSimConfig{} : OldFirmware();
    config.receiver.faults.crcOffByOne = c.crcDiffers;
    Start(config);
    Sleeps = 0;
    PlatformInstall(PlatformOps{nullptr, &CountingClock, nullptr, nullptr, nullptr, nullptr});

    int answer = -1;
    auto stopOnce = [&answer] {
        if (answer == -1) answer = UpdateRequestStop();
    };
    switch (c.trigger) {
        case Trigger::BeforeStart:
            stopOnce();
            break;
        case Trigger::Progress:
            onProgress = [&](int32_t value) {
                if (value == c.at) stopOnce();
            };
            break;
        case Trigger::Sleep:
            OnSleep = [&] {
                if (Sleeps == c.at) stopOnce();
            };
            break;
        case Trigger::Request:
            HandheldSimReceiver()->SetLog([&](const std::string& line) {
                unsigned frame = 0;
                size_t length = 0;
                int code = -1;
                if (std::sscanf(line.c_str(), "#%u <- %zu-byte frame, code %d", &frame, &length,
                                &code) == 3 &&
                    code == c.at) {
                    stopOnce();
                }
            });
            break;
        case Trigger::Message:
            onMessage = [&](const ShownMessage& m) {
                if (m.text == c.text) stopOnce();
            };
            break;
    }

    Run();
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(UpdateOutcome(), c.outcome);
    EXPECT_FALSE(UpdateFlashBusy());

    const std::vector<uint8_t> flash = HandheldSimFlash();
    ASSERT_GE(flash.size(), Image().size());
    if (c.flashIsImage) {
        EXPECT_TRUE(std::equal(Image().begin(), Image().end(), flash.begin()));
    } else {
        const uint8_t before = c.blank ? 0xFF : OLD_FIRMWARE_BYTE;
        EXPECT_EQ(std::count(flash.begin(), flash.end(), before), static_cast<long>(flash.size()));
    }

    const std::vector<uint8_t>& codes = HandheldSimReceiver()->Counters().requestCodes;
    const bool stopped = c.outcome == UPDATE_OUTCOME_STOPPED_BEFORE_LINK ||
                         c.outcome == UPDATE_OUTCOME_STOPPED_WITH_LINK;
    if (stopped) {
        // Undone: the board as it was, the link closed, the image removed.
        EXPECT_TRUE(messages.empty());
        EXPECT_FALSE(HandheldSimPinSet());
        EXPECT_FALSE(HandheldSimDriverLoaded());
        EXPECT_FALSE(FakeLineIsOpen());
        EXPECT_FALSE(TempFileExists());
        EXPECT_EQ(std::count(codes.begin(), codes.end(), AGENT_ERASE_SECTOR_SET), 0);
        EXPECT_EQ(std::count(codes.begin(), codes.end(), AGENT_WRITE), 0);
    }
    if (c.outcome == UPDATE_OUTCOME_STOPPED_BEFORE_LINK) {
        EXPECT_TRUE(codes.empty());
        // The settle wait was not waited out.
        EXPECT_LT(FakeClockNow(), BOOT_SETTLE_MS);
    }
    if (c.outcome == UPDATE_OUTCOME_STOPPED_WITH_LINK) {
        ASSERT_FALSE(codes.empty());
        EXPECT_EQ(codes.back(), BOOT_DISCONNECT);
        // The agent, once opened, is closed before the link.
        const bool opened = std::count(codes.begin(), codes.end(), AGENT_OPEN) != 0;
        EXPECT_EQ(codes[codes.size() - 2], opened ? AGENT_CLOSE : c.at);
        EXPECT_EQ(HandheldSimReceiver()->Stage(), ReceiverStage::Firmware);
    }
    if (c.outcome == UPDATE_OUTCOME_FINISHED) {
        EXPECT_EQ(UpdateFailedStep(), std::string());
        EXPECT_FALSE(TempFileExists());
    }
    if (c.outcome == UPDATE_OUTCOME_FAILED) {
        EXPECT_EQ(UpdateFailedStep(), std::string("CalculateFlashCRC16"));
        EXPECT_TRUE(HandheldSimPinSet());  // a failure leaves everything as it is
        EXPECT_TRUE(TempFileExists());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Phases, StopRule,
    ::testing::Values(
        StopCase{"BeforeTheWorkerStarts", false, false, Trigger::BeforeStart, 0, "",
                 UPDATE_STOP_TAKEN, UPDATE_OUTCOME_STOPPED_BEFORE_LINK, false},
        StopCase{"OnceThePortDriverIsLoaded", false, false, Trigger::Progress, 10, "",
                 UPDATE_STOP_TAKEN, UPDATE_OUTCOME_STOPPED_BEFORE_LINK, false},
        StopCase{"WhileTheLineSettles", false, false, Trigger::Sleep, 3, "", UPDATE_STOP_TAKEN,
                 UPDATE_OUTCOME_STOPPED_BEFORE_LINK, false},
        StopCase{"WhileTheAgentStarts", false, false, Trigger::Request, BOOT_START_AGENT, "",
                 UPDATE_STOP_TAKEN, UPDATE_OUTCOME_STOPPED_WITH_LINK, false},
        StopCase{"AtEPOpen", false, false, Trigger::Request, AGENT_OPEN, "", UPDATE_STOP_TAKEN,
                 UPDATE_OUTCOME_STOPPED_WITH_LINK, false},
        StopCase{"AtTheFirstSectorQuery", false, false, Trigger::Request, AGENT_SECTOR_SET_INFO, "",
                 UPDATE_STOP_TAKEN, UPDATE_OUTCOME_STOPPED_WITH_LINK, false},
        StopCase{"AtTheBlankCheckOfAnErasedFlash", true, false, Trigger::Request, AGENT_CHECK_BLANK,
                 "", UPDATE_STOP_TAKEN, UPDATE_OUTCOME_STOPPED_WITH_LINK, false},
        StopCase{"DuringTheErase", false, false, Trigger::Request, AGENT_ERASE_SECTOR_SET, "",
                 UPDATE_STOP_REFUSED, UPDATE_OUTCOME_FINISHED, true},
        StopCase{"DuringTheWrite", false, false, Trigger::Progress, 64, "", UPDATE_STOP_REFUSED,
                 UPDATE_OUTCOME_FINISHED, true},
        StopCase{"DuringTheCrcCheck", false, false, Trigger::Request, AGENT_CALCULATE_CRC16, "",
                 UPDATE_STOP_REFUSED, UPDATE_OUTCOME_FINISHED, true},
        StopCase{"AtDownloadFinish", false, false, Trigger::Message, 0, "Download Finish",
                 UPDATE_STOP_ENDS_OUTCOME, UPDATE_OUTCOME_FINISHED, true},
        StopCase{"AtTheCrcFailure", false, true, Trigger::Message, 0, "CalculateFlashCRC16 Fail!",
                 UPDATE_STOP_ENDS_OUTCOME, UPDATE_OUTCOME_FAILED, true}),
    [](const ::testing::TestParamInfo<StopCase>& p) { return p.param.name; });

TEST_F(UpdateRun, WithoutAStopTheSettleWaitIsTwoSecondsInAll) {
    Start(OldFirmware());
    uint64_t firstFrameAt = 0;
    HandheldSimReceiver()->SetLog([&](const std::string& line) {
        if (firstFrameAt == 0 && line.rfind("#1 ", 0) == 0) firstFrameAt = FakeClockNow();
    });
    EXPECT_EQ(Run(), 0u);
    // The first stage goes out once the whole wait has passed, not before.
    EXPECT_GE(firstFrameAt, BOOT_SETTLE_MS);
    EXPECT_EQ(UpdateOutcome(), UPDATE_OUTCOME_FINISHED);
}

TEST_F(UpdateRun, SuccessClosesTheAgentAndTheLinkThenRestoresTheBoardThenSaysSo) {
    Start(OldFirmware());
    std::vector<int32_t> values;
    onProgress = [&](int32_t v) { values.push_back(v); };
    EXPECT_EQ(Run(), 0u);

    // CRC check, EPClose, Disconnect: the last three requests on the wire.
    const std::vector<uint8_t>& codes = HandheldSimReceiver()->Counters().requestCodes;
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(std::vector<uint8_t>(codes.end() - 3, codes.end()),
              (std::vector<uint8_t>{30, 14, 34}));

    // The box comes up with the pin cleared and the port driver unloaded.
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Download Finish");
    EXPECT_FALSE(messages[0].pinSet);
    EXPECT_FALSE(messages[0].driverLoaded);

    // One value before each block of the 482,008-byte image.
    const std::vector<int32_t> expected{
        30, 30, 31, 31, 32, 32, 33, 34, 34, 35, 35, 36, 37, 37, 38, 38, 39, 40, 40, 41,
        41, 42, 43, 43, 44, 44, 45, 46, 46, 47, 47, 48, 49, 49, 50, 50, 51, 52, 52, 53,
        53, 54, 54, 55, 56, 56, 57, 57, 58, 59, 59, 60, 60, 61, 62, 62, 63, 63, 64, 65,
        65, 66, 66, 67, 68, 68, 69, 69, 70, 71, 71, 72, 72, 73, 74, 74, 75, 75, 76, 76,
        77, 78, 78, 79, 79, 80, 81, 81, 82, 82, 83, 84, 84, 85, 85, 86, 87, 87, 88, 88,
        89, 90, 90, 91, 91, 92, 93, 93, 94, 94, 95, 96, 96, 97, 97, 98, 99, 99};
    ASSERT_EQ(expected.size(), 118u);
    const auto writeStart = std::find(values.begin(), values.end(), 30);
    EXPECT_EQ(std::vector<int32_t>(writeStart, values.end()), expected);
}

}  // namespace
