// SPDX-License-Identifier: Apache-2.0
// Recovery from a power loss in the middle of the erase or write phase: the
// run that lost the receiver fails with its step's message, and the next
// program run on the same handheld, a new process, brings the receiver's
// flash to the image. The sweeps (EveryWriteRequest, EveryErase) lose the
// power at each of them in turn.
#include <gtest/gtest.h>

#include <algorithm>

#include "agent/agent.h"
#include "boot/boot.h"
#include "boot/clock.h"
#include "image/image.h"
#include "link/packet.h"
#include "link/serial_port.h"
#include "platform/fake/fake_line.h"
#include "receiver/flash/nor_flash.h"
#include "tests/support/update_fixture.h"
#include "update/board.h"
#include "update/update.h"

namespace {

class Recovery : public UpdateRun, public ::testing::WithParamInterface<uint32_t> {
  protected:
    // What the end of one process and the start of the next do: the system
    // closes the port the failed run left open, and every module of the new
    // process starts from its power-on state. The handheld, its receiver and
    // the world's clock go on.
    void NewProcess() {
        PlatformSerial().close();
        ResetHostModules();
        HandheldSimNewRun();
        messages.clear();
        progress.clear();
        FakeClockAdvance(10000);  // the user starts the program again
    }

    // A handheld whose receiver carries an older firmware and these faults.
    Receiver* StartOldFirmware(const ReceiverFaults& faults) {
        HandheldSimConfig config;
        config.receiver.flashInit = FlashInit::Fill;
        config.receiver.flashFill = 0x00;
        config.receiver.faults = faults;
        Start(config);
        return HandheldSimReceiver();
    }

    bool FlashHoldsImage(size_t from, size_t to) const {
        const std::vector<uint8_t> flash = HandheldSimFlash();
        return flash.size() >= to && std::equal(Image().begin() + static_cast<long>(from),
                                                Image().begin() + static_cast<long>(to),
                                                flash.begin() + static_cast<long>(from));
    }
};

TEST_P(Recovery, PowerLostDuringTheWritePhaseThenTheNextRunFinishes) {
    const uint32_t lostAfter = GetParam();  // EPWrite requests, from 1
    ReceiverFaults faults;
    faults.powerLossAfterWrite = lostAfter;
    Receiver* receiver = StartOldFirmware(faults);
    ASSERT_NE(receiver, nullptr);

    EXPECT_EQ(Run(), 1u);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "EPWrite Fail");
    EXPECT_EQ(messages[0].caption, "Fail");
    EXPECT_EQ(receiver->Counters().powerLosses, 1u);
    EXPECT_EQ(receiver->Stage(), ReceiverStage::BootRom);
    EXPECT_EQ(receiver->Counters().writes, lostAfter);
    // Every request up to the lost one was programmed; the rest of the part
    // stays as the erase phase left it.
    const size_t written = std::min<size_t>(size_t{lostAfter} * AGENT_CHUNK_SIZE, Image().size());
    EXPECT_TRUE(FlashHoldsImage(0, written));
    const std::vector<uint8_t> lost = HandheldSimFlash();
    EXPECT_TRUE(std::all_of(lost.begin() + static_cast<long>(written), lost.end(),
                            [](uint8_t b) { return b == 0xFF; }));
    EXPECT_TRUE(HandheldSimPinSet());  // a failed run leaves the pin as it is
    EXPECT_TRUE(TempFileExists());

    const std::vector<uint8_t>& codes = receiver->Counters().requestCodes;
    const auto erases = [&codes] { return std::count(codes.begin(), codes.end(), 12); };
    const long erasedFirst = erases();
    EXPECT_EQ(erasedFirst, 11);

    NewProcess();
    receiver->Faults().powerLossAfterWrite = 0;
    EXPECT_EQ(Run(), 0u);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Download Finish");
    EXPECT_EQ(messages[0].caption, "Done");
    EXPECT_TRUE(FlashHoldsImage(0, Image().size()));
    // The half-written flash is not blank: the second run erased it first.
    EXPECT_EQ(erases() - erasedFirst, 11);
    EXPECT_EQ(receiver->Counters().powerLosses, 1u);
    EXPECT_FALSE(HandheldSimPinSet());
    EXPECT_FALSE(TempFileExists());
}

// The first request, the second of a block, one in the middle and the last.
INSTANTIATE_TEST_SUITE_P(WriteRequests, Recovery, ::testing::Values(1u, 2u, 236u, 471u));
// And every one of the 471.
INSTANTIATE_TEST_SUITE_P(EveryWriteRequest, Recovery, ::testing::Range(1u, 472u));

class EraseRecovery : public Recovery {};

TEST_P(EraseRecovery, PowerLostDuringASectorEraseThenTheNextRunFinishes) {
    const uint32_t lostIn = GetParam();  // sector erases, from 1
    ReceiverFaults faults;
    faults.powerLossDuringErase = lostIn;
    Receiver* receiver = StartOldFirmware(faults);
    ASSERT_NE(receiver, nullptr);

    EXPECT_EQ(Run(), 1u);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "EraseSectorSet Fail!");
    EXPECT_EQ(receiver->Counters().powerLosses, 1u);
    EXPECT_EQ(receiver->Stage(), ReceiverStage::BootRom);
    EXPECT_EQ(receiver->Counters().writes, 0u);
    // The sectors before are blank, the one erased when the power went is
    // half blank, and the rest still holds the old firmware.
    const SectorMap sectors{FindFlashPart(receiver->Config().part), 1};
    uint64_t start = 0, size = 0;
    ASSERT_TRUE(sectors.Info(lostIn - 1, &start, &size));
    const std::vector<uint8_t> lost = HandheldSimFlash();
    const auto all = [&lost](uint64_t from, uint64_t to, uint8_t value) {
        return std::all_of(lost.begin() + static_cast<long>(from),
                           lost.begin() + static_cast<long>(to),
                           [value](uint8_t b) { return b == value; });
    };
    EXPECT_TRUE(all(0, start + size / 2, 0xFF));
    EXPECT_TRUE(all(start + size / 2, lost.size(), 0x00));
    EXPECT_TRUE(HandheldSimPinSet());

    NewProcess();
    receiver->Faults().powerLossDuringErase = 0;
    EXPECT_EQ(Run(), 0u);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Download Finish");
    EXPECT_TRUE(FlashHoldsImage(0, Image().size()));
    EXPECT_EQ(receiver->Counters().powerLosses, 1u);
    EXPECT_FALSE(HandheldSimPinSet());
    EXPECT_FALSE(TempFileExists());
}

// The image spans the first 11 sectors of the part.
INSTANTIATE_TEST_SUITE_P(EveryErase, EraseRecovery, ::testing::Range(1u, 12u));

}  // namespace
