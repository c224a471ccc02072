// SPDX-License-Identifier: Apache-2.0
// Whole updates in process, each outcome of the worker with its message,
// caption and exit code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "boot/clock.h"
#include "platform/fake/fake_files.h"
#include "platform/fake/fake_resource.h"
#include "tests/support/update_fixture.h"
#include "update/board.h"
#include "update/update.h"

namespace {

// The write phase's progress values for an image: one per block, before it.
std::vector<int> WriteProgress(uint32_t length) {
    std::vector<int> values;
    for (uint32_t offset = 0; offset < length; offset += 4096) {
        const int v = static_cast<int>(30 + (offset * 70) / length);
        if (values.empty() || values.back() != v) values.push_back(v);
    }
    return values;
}

HandheldSimConfig WrittenBefore() {
    HandheldSimConfig config;
    config.receiver.flashInit = FlashInit::Fill;
    config.receiver.flashFill = 0x00;  // an old firmware: nothing blank
    return config;
}

TEST_F(UpdateRun, WholeUpdateWritesTheImageAndFinishes) {
    Start(WrittenBefore());
    EXPECT_EQ(Run(), 0u);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Download Finish");
    EXPECT_EQ(messages[0].caption, "Done");
    // Deleted only after the user dismissed the box.
    EXPECT_TRUE(messages[0].tempFileExisted);
    EXPECT_FALSE(TempFileExists());

    const std::vector<uint8_t> flash = HandheldSimFlash();
    ASSERT_GE(flash.size(), Image().size());
    EXPECT_TRUE(std::equal(Image().begin(), Image().end(), flash.begin()));

    // 10, the erase values, then one value per block ending at 99, never 100.
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), 10);
    const auto writeStart = std::find(progress.begin(), progress.end(), 30);
    ASSERT_NE(writeStart, progress.end());
    const std::vector<int> erase(progress.begin() + 1, writeStart);
    EXPECT_FALSE(erase.empty());
    for (int v : erase) {
        EXPECT_GE(v, 10);
        EXPECT_LE(v, 29);
    }
    EXPECT_TRUE(std::is_sorted(erase.begin(), erase.end()));
    EXPECT_EQ(std::vector<int>(writeStart, progress.end()), WriteProgress(482008));
    EXPECT_EQ(ProgressPercent(), 99);
    EXPECT_FALSE(HandheldSimPinSet());
    EXPECT_FALSE(HandheldSimDriverLoaded());
}

// The simulator's own in-memory line carries a whole update exactly as the
// host's test line does: the same requests, at the same virtual times.
TEST_F(UpdateRun, TheSimulatorsOwnLineCarriesAWholeUpdateAsTheTestLineDoes) {
    HandheldSimConfig config;
    config.receiver.flashInit = FlashInit::Fill;
    config.receiver.flashFill = 0x00;
    Start(config);
    ASSERT_EQ(Run(), 0u);
    const std::vector<uint8_t> testLineCodes = HandheldSimReceiver()->Counters().requestCodes;
    const uint64_t testLineMs = PlatformClock().nowMs();

    ResetHostModules();
    messages.clear();
    config.line = HandheldLine::Memory;
    HandheldSimStart(config);
    PlatformInstall(PlatformOps{&HandheldSimSerialOps(), &HandheldSimClockOps(), nullptr, nullptr,
                                nullptr, nullptr});
    EXPECT_EQ(UpdateWorker(nullptr), 0u);
    EXPECT_TRUE(Finished());
    EXPECT_EQ(HandheldSimReceiver()->Counters().requestCodes, testLineCodes);
    EXPECT_EQ(HandheldSimClockOps().nowMs(), testLineMs);
}

// The temporary file is read back through the stream it was written by:
// another file put in its place meanwhile is not what the receiver gets.
TEST_F(UpdateRun, FileSwappedInAfterTheWriteIsNotWhatIsFlashed) {
    static std::string swapPath;
    swapPath = tempPath;
    FakeFilesSetAfterWrite([] {
        const std::string planted = swapPath + ".planted";
        std::ofstream(planted, std::ios::binary) << "S30900000000CAFEF00D31\r\nS70500000000FA\r\n";
        std::rename(planted.c_str(), swapPath.c_str());
    });
    Start(WrittenBefore());
    EXPECT_EQ(Run(), 0u);
    FakeFilesSetAfterWrite(nullptr);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Download Finish");
    const std::vector<uint8_t> flash = HandheldSimFlash();
    ASSERT_GE(flash.size(), Image().size());
    EXPECT_TRUE(std::equal(Image().begin(), Image().end(), flash.begin()));
}

TEST_F(UpdateRun, BoardCallsCarryTheCodesAndBuffersOfTheGpioDriver) {
    Start(WrittenBefore());
    ASSERT_EQ(Run(), 0u);
    std::vector<std::string> names;
    std::vector<uint32_t> codes;
    for (const HandheldCall& call : HandheldSimCalls()) {
        names.push_back(call.name);
        if (call.name != "DeviceIoControl") continue;
        codes.push_back(call.code);
        const std::vector<uint8_t> pin{0x85, 0, 0, 0};
        const std::vector<uint8_t> pair{0x85, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(call.in, call.code == IOCTL_GIO_CONFIGURE ? pair : pin);
        EXPECT_EQ(call.outSize, call.code == IOCTL_GIO_GET_BIT ? 4u : 0u);
    }
    const std::vector<std::string> expectedNames{
        "RegOpenKeyEx",    "RegCloseKey",     "ActivateDevice",  "CreateFile",
        "DeviceIoControl", "DeviceIoControl", "DeviceIoControl", "DeviceIoControl",
        "DeviceIoControl", "DeviceIoControl", "CloseHandle",     "DeactivateDevice"};
    EXPECT_EQ(names, expectedNames);
    EXPECT_EQ(codes,
              (std::vector<uint32_t>{0x220C00, 0x220C10, 0x220C0C, 0x220C04, 0x220C10, 0x220C0C}));
}

TEST_F(UpdateRun, BlankFlashSkipsTheErasePhase) {
    EXPECT_EQ(Run(), 0u);
    ASSERT_GE(progress.size(), 2u);
    EXPECT_EQ(progress[0], 10);
    EXPECT_EQ(progress[1], 30);
    EXPECT_TRUE(Finished());
}

TEST_F(UpdateRun, ActivateDeviceExStandsInForAFailedActivateDevice) {
    HandheldSimConfig config;
    config.activateDeviceFails = true;
    Start(config);
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(CallCount("ActivateDevice"), 1);
    EXPECT_EQ(CallCount("ActivateDeviceEx"), 1);
    EXPECT_TRUE(Finished());
}

TEST_F(UpdateRun, FailedControlCallsAreReportedAndTheUpdateGoesOn) {
    HandheldSimConfig config;
    config.failingControlCalls = {1, 2, 3};
    Start(config);
    EXPECT_EQ(Run(), 0u);
    ASSERT_EQ(messages.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(messages[static_cast<size_t>(i)].text, "SET BIT Fail!");
        EXPECT_EQ(messages[static_cast<size_t>(i)].caption, "Fail");
    }
    EXPECT_EQ(messages[3].text, "Download Finish");
}

struct EarlyFailure {
    const char* name;
    void (*arrange)(HandheldSimConfig& config);
    const char* message;
    const char* caption;
    uint32_t exitCode;
};

void PrintTo(const EarlyFailure& f, std::ostream* os) {
    *os << f.name;
}

class EarlyFailures : public UpdateRun, public ::testing::WithParamInterface<EarlyFailure> {};

TEST_P(EarlyFailures, EndTheRunWithTheirMessageAndLeaveTheBoardAsItIs) {
    HandheldSimConfig config;
    GetParam().arrange(config);
    Start(config);
    EXPECT_EQ(Run(), GetParam().exitCode);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, GetParam().message);
    EXPECT_EQ(messages[0].caption, GetParam().caption);
    EXPECT_EQ(CallCount("DeactivateDevice"), 0);
    EXPECT_EQ(CallCount("CloseHandle"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Board, EarlyFailures,
    ::testing::Values(
        EarlyFailure{"NoPortDriverKey", [](HandheldSimConfig& c) { c.hasPortDriverKey = false; },
                     "Sorry! Only for Tervalon Version!", "", 0},
        EarlyFailure{"GpioDriverMissing", [](HandheldSimConfig& c) { c.gpioOpenFails = true; },
                     "GPIOOpen Fail!", "Fail", 1},
        EarlyFailure{"ResourceNotFound", [](HandheldSimConfig&) { FakeResourceFailStage(1); },
                     "Failed to open image source1", "Fail", 0},
        EarlyFailure{"ResourceEmpty", [](HandheldSimConfig&) { FakeResourceFailStage(2); },
                     "Failed to open image source2", "Fail", 0},
        EarlyFailure{"ResourceNotLoaded", [](HandheldSimConfig&) { FakeResourceFailStage(3); },
                     "Failed to open image source3", "Fail", 0},
        EarlyFailure{"ResourceNotLocked", [](HandheldSimConfig&) { FakeResourceFailStage(4); },
                     "Failed to open image source4", "Fail", 0},
        EarlyFailure{"NoPrivateDirectory", [](HandheldSimConfig&) { FakeFilesSetPath(nullptr); },
                     "Firmware doesn't exist!", "Fail", 1},
        EarlyFailure{"DamagedImageText",
                     [](HandheldSimConfig&) {
                         static const char text[] = "S3150000000039000";  // cut short
                         FakeResourceSetData(text, sizeof text - 1);
                     },
                     "Firmware doesn't exist!", "Fail", 1}),
    [](const ::testing::TestParamInfo<EarlyFailure>& p) { return p.param.name; });

TEST_F(UpdateRun, NoPortDriverKeyLoadsNothing) {
    HandheldSimConfig config;
    config.hasPortDriverKey = false;
    Start(config);
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(CallCount("ActivateDevice"), 0);
    EXPECT_EQ(CallCount("CreateFile"), 0);
    EXPECT_EQ(ProgressPercent(), 0);
}

TEST_F(UpdateRun, FailureAfterThePinLeavesItSetAndTheFileInPlace) {
    FakeResourceSetData("S70500000000FA\r\n", 16);  // no data: count 0
    EXPECT_EQ(Run(), 1u);
    EXPECT_TRUE(HandheldSimPinSet());
    EXPECT_TRUE(HandheldSimDriverLoaded());
    EXPECT_TRUE(TempFileExists());
    EXPECT_EQ(ProgressPercent(), 10);
}

}  // namespace

namespace {

// The frame number (from 1) of the first request with this code in a whole
// successful run on a handheld configured so.
uint32_t FrameOf(uint8_t code, const HandheldSimConfig& config) {
    HandheldSimStart([&] {
        HandheldSimConfig fake = config;
        fake.line = HandheldLine::Fake;
        return fake;
    }());
    UpdateWorker(nullptr);
    // The run under test must start as this one did: the reference clock
    // found here would otherwise save it two requests.
    ClockReset();
    const std::vector<uint8_t> codes = HandheldSimReceiver()->Counters().requestCodes;
    for (size_t i = 0; i < codes.size(); ++i) {
        if (codes[i] == code) return static_cast<uint32_t>(i + 1);
    }
    return 0;
}

struct LateFailure {
    const char* name;
    void (*arrange)(HandheldSimConfig& config);
    const char* message;
    bool closesLink = false;
    bool agentLeftRunning = true;
    bool flashChanged = false;
};

void PrintTo(const LateFailure& f, std::ostream* os) {
    *os << f.name;
}

class LateFailures : public UpdateRun, public ::testing::WithParamInterface<LateFailure> {};

TEST_P(LateFailures, EndTheRunWithTheirMessageAndLeaveEverythingInPlace) {
    HandheldSimConfig config = WrittenBefore();
    GetParam().arrange(config);
    messages.clear();
    Start(config);
    EXPECT_EQ(Run(), 1u);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, GetParam().message);
    EXPECT_EQ(messages[0].caption, "Fail");
    // A flash part the host cannot use is refused with the link closed and
    // the board restored; any other late failure leaves everything in place.
    const bool closed = GetParam().closesLink;
    EXPECT_EQ(HandheldSimPinSet(), !closed);
    EXPECT_EQ(HandheldSimDriverLoaded(), !closed);
    EXPECT_EQ(TempFileExists(), !closed);
    EXPECT_FALSE(UpdateFlashBusy());
    EXPECT_EQ(UpdateLastResult().flashChanged, GetParam().flashChanged);
    EXPECT_EQ(UpdateLastResult().agentLeftRunning, GetParam().agentLeftRunning);
}

INSTANTIATE_TEST_SUITE_P(
    Receiver, LateFailures,
    ::testing::Values(
        LateFailure{"FirstStageRefused",
                    [](HandheldSimConfig& c) { c.receiver.faults.frames[1] = FrameFault::Nak; },
                    "Please close the GPS application !", false, false},
        LateFailure{"UnknownReferenceClock",
                    [](HandheldSimConfig& c) {
                        c.receiver.wordA = 0x3000;  // select the code table
                        c.receiver.wordB = 30;      // no such code for the fractional form
                    },
                    "Please close the GPS application !", false, false},
        LateFailure{"NoFlash", [](HandheldSimConfig& c) { c.receiver.faults.noFlash = true; },
                    "EPOpen Fail!", true, false},
        LateFailure{"UnknownFlash",
                    [](HandheldSimConfig& c) {
                        c.receiver.faults.overrideIds = true;
                        c.receiver.faults.deviceId = 0x1234;
                        c.receiver.faults.makerId = 0x0077;
                    },
                    "EPOpen Fail!", true, false},
        LateFailure{"CheckBlankUnanswered",
                    [](HandheldSimConfig& c) {
                        c.receiver.faults.frames[FrameOf(24, c)] = FrameFault::DropAnswer;
                    },
                    "CheckBlank Fail!"},
        LateFailure{"SectorSetInfoCorrupted",
                    [](HandheldSimConfig& c) {
                        c.receiver.faults.frames[FrameOf(20, c)] = FrameFault::CorruptAnswer;
                    },
                    "SectorSetInfo Fail!"},
        LateFailure{"EraseFails",
                    [](HandheldSimConfig& c) { c.receiver.faults.eraseFailSector = 4; },
                    "EraseSectorSet Fail!", false, true, true},
        LateFailure{"WriteFails",
                    [](HandheldSimConfig& c) { c.receiver.faults.writeFailAddress = 0x40123; },
                    "EPWrite Fail", false, true, true},
        LateFailure{"FlashCrcDiffers",
                    [](HandheldSimConfig& c) { c.receiver.faults.crcOffByOne = true; },
                    "CalculateFlashCRC16 Fail!", false, true, true}),
    [](const ::testing::TestParamInfo<LateFailure>& p) { return p.param.name; });

TEST_F(UpdateRun, CrcMismatchComesAfterEveryBlockWasWritten) {
    HandheldSimConfig config = WrittenBefore();
    config.receiver.faults.crcOffByOne = true;
    Start(config);
    EXPECT_EQ(Run(), 1u);
    EXPECT_EQ(ProgressPercent(), 99);
    const std::vector<uint8_t> flash = HandheldSimFlash();
    EXPECT_TRUE(std::equal(Image().begin(), Image().end(), flash.begin()));
    EXPECT_FALSE(Finished());
}

}  // namespace
