// SPDX-License-Identifier: Apache-2.0
// Faults of the line against repeats: the boot stage and the agent commands
// with the simulated receiver in process, on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "boot/boot.h"
#include "link/retry.h"
#include "link/status.h"
#include "platform/fake/fake_line.h"
#include "receiver/receiver.h"
#include "tests/support/core_reset.h"
#include "tests/support/receiver_attach.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes TestImage() {
    Bytes image(0x12000);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    return image;
}

// Boot, open, erase what the image covers, write it in 4096-byte blocks,
// compare the CRCs, close: the first non-zero status.
uint32_t FlashImage(const Bytes& image) {
    uint32_t r = OpenReceiver("COM9", 115200);
    if (r != LINK_OK) return r;
    char part[FLASH_NAME_BUFFER_SIZE], maker[FLASH_NAME_BUFFER_SIZE];
    SectorSet sets[MAX_SECTOR_SETS];
    FlashInfo info{part, maker, 0, 0, 0, sets, 0, 0, 0};
    uint32_t width = 0;
    if ((r = EPOpen(0, 0, &width, &info)) != AGENT_OK) return r;
    const uint32_t n = static_cast<uint32_t>(image.size());
    for (uint32_t i = 0;; ++i) {
        uint32_t start = 0, size = 0;
        if ((r = SectorSetInfo(i, &start, &size)) != AGENT_OK) return r;
        if ((r = EraseSectorSet(start, size)) != AGENT_OK) return r;
        if (start + size >= n) break;
    }
    for (uint32_t at = 0; at < n; at += 4096) {
        if ((r = EPWrite(at, image.data() + at, n - at < 4096 ? n - at : 4096)) != AGENT_OK) {
            return r;
        }
    }
    uint16_t crc = 0;
    if ((r = CalculateFlashCRC16(0, n, 0xFFFF, &crc)) != AGENT_OK) return r;
    if ((r = EPClose()) != AGENT_OK) return r;
    return CloseReceiver();
}

class RetrySessionTest : public ReceiverOnFakeLineTest {
  protected:
    // The frame number of the nth request with code in a run without faults.
    uint32_t FrameOf(uint8_t code, int nth) {
        Start(ReceiverConfig{});
        EXPECT_EQ(FlashImage(TestImage()), 0u);
        int seen = 0;
        const std::vector<uint8_t>& codes = receiver->Counters().requestCodes;
        for (size_t i = 0; i < codes.size(); ++i) {
            if (codes[i] == code && ++seen == nth) return static_cast<uint32_t>(i + 1);
        }
        ADD_FAILURE() << "no request " << int{code};
        return 0;
    }
};

TEST_F(RetrySessionTest, EachCurableFaultEndsTheRunWithoutRepeatsAndIsCuredWithThree) {
    struct Case {
        const char* name;
        uint8_t code;
        int nth;
        FrameFault fault;
    };
    const Case cases[] = {
        {"NAK of a write", AGENT_WRITE, 3, FrameFault::Nak},
        {"corrupt answer to a write", AGENT_WRITE, 2, FrameFault::CorruptAnswer},
        {"write stalled past the time-out", AGENT_WRITE, 5, FrameFault::Stall},
        {"NAK of an erase", AGENT_ERASE_SECTOR_SET, 2, FrameFault::Nak},
        {"open answer dropped: reopened", AGENT_OPEN, 1, FrameFault::DropAnswer},
        {"close answer dropped: found closed", AGENT_CLOSE, 1, FrameFault::DropAnswer},
        {"wrong code for the CRC", AGENT_CALCULATE_CRC16, 1, FrameFault::WrongCode},
        {"agent block answer dropped", BOOT_WRITE_AGENT_BLOCK, 4, FrameFault::DropAnswer},
        {"chip id query NAKed", BOOT_QUERY_CHIP_ID, 1, FrameFault::Nak},
    };
    const Bytes image = TestImage();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t frame = FrameOf(c.code, c.nth);
        for (const uint32_t retries : {0u, 3u}) {
            SCOPED_TRACE(retries);
            ReceiverConfig config;
            config.faults.frames[frame] = c.fault;
            Start(config);
            LinkSetRetries(retries);
            const uint32_t result = FlashImage(image);
            if (retries == 0) {
                EXPECT_NE(result, 0u);
                EXPECT_EQ(LinkRetryCount(), 0u);
            } else {
                EXPECT_EQ(result, 0u);
                EXPECT_GE(LinkRetryCount(), 1u);
                EXPECT_TRUE(std::equal(image.begin(), image.end(), receiver->Flash().begin()));
            }
        }
    }
}

TEST_F(RetrySessionTest, RequestsThatTheFarEndCannotTakeTwiceAreNotRepeated) {
    // The first stage and the rate switch: a failure ends the open even with
    // repeats asked for.
    for (const uint8_t code : {uint8_t{0x24}, BOOT_SET_BAUD}) {
        const uint32_t frame = FrameOf(code, 1);
        ReceiverConfig config;
        config.faults.frames[frame] = FrameFault::DropAnswer;
        Start(config);
        LinkSetRetries(3);
        EXPECT_NE(FlashImage(TestImage()), 0u);
        EXPECT_EQ(LinkRetryCount(), 0u);
    }
}

TEST_F(RetrySessionTest, EachRepeatIsToldWithItsCause) {
    static std::vector<std::string> told;
    told.clear();
    const uint32_t frame = FrameOf(AGENT_WRITE, 2);
    ReceiverConfig config;
    config.faults.frames[frame] = FrameFault::Nak;
    Start(config);
    LinkSetRetries(2);
    LinkSetRetryObserver([](uint8_t code, uint32_t attempt, const char* cause) {
        told.push_back(std::to_string(code) + "/" + std::to_string(attempt) + "/" + cause);
    });
    EXPECT_EQ(FlashImage(TestImage()), 0u);
    EXPECT_EQ(told, std::vector<std::string>{"8/1/NAK"});
}

TEST_F(RetrySessionTest, ASlowSectorEraseFinishesInTheDefaultRun) {
    ReceiverConfig config;
    config.eraseDelayMs = 2500;
    Start(config);
    const Bytes image = TestImage();
    EXPECT_EQ(FlashImage(image), 0u);
    EXPECT_EQ(AgentEraseWaitMs(), 15000u);  // the AMD part's datasheet maximum
    EXPECT_TRUE(std::equal(image.begin(), image.end(), receiver->Flash().begin()));
}

TEST_F(RetrySessionTest, AnOpenAnswerWhoseRunsDoNotCoverItsSizeIsRefusedBeforeAnyErase) {
    ReceiverConfig config;
    config.faults.claimedFlashSize = 0x100000;  // the runs cover half of it
    Start(config);
    EXPECT_EQ(FlashImage(TestImage()), LINK_ANSWER_OUT_OF_RANGE);
    const std::vector<uint8_t>& codes = receiver->Counters().requestCodes;
    EXPECT_EQ(std::count(codes.begin(), codes.end(), AGENT_ERASE_SECTOR_SET), 0);
}

TEST_F(RetrySessionTest, AFailedWriteAndAnUnknownPartLeaveWhatATechnicianNeeds) {
    ReceiverConfig config;
    config.faults.writeFailAddress = 0x2345;
    Start(config);
    EXPECT_EQ(FlashImage(TestImage()), AGENT_WRITE_FAILED);
    EXPECT_EQ(AgentFailedStatus(), AGENT_WRITE_FAILED);
    EXPECT_EQ(AgentFailedAddress(), 0x2000u);  // the chunk's address

    ReceiverConfig unknown;
    unknown.faults.overrideIds = true;
    unknown.faults.deviceId = 0x1234;
    unknown.faults.makerId = 0x0077;
    Start(unknown);
    EXPECT_EQ(FlashImage(TestImage()), AGENT_UNKNOWN_FLASH);
    uint16_t device = 0, maker = 0;
    AgentReadIds(&device, &maker);
    EXPECT_EQ(device, 0x1234);
    EXPECT_EQ(maker, 0x0077);
}

}  // namespace
