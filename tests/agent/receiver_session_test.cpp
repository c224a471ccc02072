// SPDX-License-Identifier: Apache-2.0
// The host's boot sequence and agent commands against the simulated receiver,
// in process over the in-memory line.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "agent/agent.h"
#include "boot/boot.h"
#include "boot/clock.h"
#include "link/status.h"
#include "payloads/payloads.h"
#include "platform/fake/fake_line.h"
#include "receiver/receiver.h"
#include "tests/support/core_reset.h"
#include "tests/support/receiver_attach.h"

namespace {

using Bytes = std::vector<uint8_t>;

// CRC-16/MODBUS bit by bit: neither the host's table nor the receiver's code.
uint16_t ModbusCrc(const uint8_t* data, size_t count, uint16_t crc) {
    for (size_t i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
        }
    }
    return crc;
}

class ReceiverSessionTest : public ReceiverOnFakeLineTest {};

TEST_F(ReceiverSessionTest, BringUpPerChipAndClock) {
    struct Case {
        const char* name;
        uint8_t chip;
        uint16_t wordA, wordB;
        uint32_t hz;  // reference the host settles on; 0: the alternate chip's path
        uint8_t byteCount;
    };
    const Case cases[] = {
        {"chip 48, selector 0", 48, 0x0000, 0x0000, 16369000, 7},
        {"chip 48, fractional, 19.2 MHz", 48, 0x3000, 18, 19200000, 7},
        {"chip 48, integer form, 33.6 MHz", 48, 0x3040, 30, 33600000, 8},
        {"chip 48, integer form, 26 MHz by selector", 48, 0x2040, 0, 26000000, 8},
        {"chip 35", 35, 0x0000, 0x0000, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverConfig config;
        config.chipId = c.chip;
        config.wordA = c.wordA;
        config.wordB = c.wordB;
        Start(config);
        ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
        EXPECT_EQ(ChipId(), c.chip);
        EXPECT_EQ(ReceiverConnected(), 1);
        EXPECT_EQ(receiver->Stage(), ReceiverStage::Agent);
        // The receiver runs the divisor the host computed for its chip.
        EXPECT_NEAR(receiver->UartRate(), double{BAUD_CLOCK_HZ} / BaudDivisor(115200, c.chip),
                    1e-6);
        EXPECT_EQ(FakeLineHostBaud(), 115200U);
        EXPECT_EQ(receiver->FirstStageImage(),
                  Bytes(FirstStageImage, FirstStageImage + FirstStageImageLength));
        ASSERT_GE(receiver->AgentMemory().size(), FlashAgentImageLength);
        EXPECT_EQ(Bytes(receiver->AgentMemory().begin(),
                        receiver->AgentMemory().begin() + FlashAgentImageLength),
                  Bytes(FlashAgentImage, FlashAgentImage + FlashAgentImageLength));
        if (c.hz == 0) {
            EXPECT_EQ(receiver->Clock().alternateValue, 0);
            EXPECT_EQ(receiver->Clock().configureClockCalls, 0);
        } else {
            EXPECT_EQ(ReferenceClockHz(), c.hz);
            EXPECT_EQ(receiver->Clock().configureClockCalls, 1);
            EXPECT_EQ(receiver->Clock().hz, c.hz);
            EXPECT_EQ(receiver->Clock().byteCount, c.byteCount);
            EXPECT_EQ(receiver->Clock().divisor, CLOCK_UART_DIVISOR);
        }
        EXPECT_EQ(CloseReceiver(), LINK_OK);
        EXPECT_EQ(receiver->Counters().disconnects, 1U);
        EXPECT_FALSE(FakeLineIsOpen());
    }
}

TEST_F(ReceiverSessionTest, UnknownOscillatorStopsBeforeTheBaudSwitch) {
    ReceiverConfig config;
    config.wordA = 0x3000;  // fractional form, selector 3
    config.wordB = 30;      // 33.6 MHz has no fractional row
    Start(config);
    EXPECT_EQ(OpenReceiver("COM9", 115200), LINK_UNKNOWN_CLOCK);
    EXPECT_EQ(receiver->Stage(), ReceiverStage::FirstStage);
    EXPECT_EQ(receiver->UartBaud(), 38400U);
    EXPECT_EQ(receiver->Clock().configureClockCalls, 0);
}

TEST_F(ReceiverSessionTest, OnWireTimingTheBringUpTakesItsLineTime) {
    ReceiverConfig config;
    config.wireTiming = true;
    Start(config);
    ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
    // 2 s settling, 1214 bytes at 38400 (about 316 ms) and some 15 kB at
    // 115200 (about 1.3 s), plus the receiver's own small delays.
    EXPECT_GT(FakeClockNow(), 3500U);
    EXPECT_LT(FakeClockNow(), 5000U);
    RecordProperty("bring_up_virtual_ms", static_cast<int>(FakeClockNow()));
}

struct PartCase {
    const char* part;
    unsigned busWidth;
    uint32_t widthUnits;
    uint32_t partSize;
    uint32_t sectorCount;
    uint8_t commandSet;
};

void ExerciseFlash(Receiver& receiver, const PartCase& c) {
    const uint32_t lanes = c.widthUnits;  // sizes and offsets scale with the bus

    char version[8] = {};
    EXPECT_EQ(GetVersion(version, sizeof version), AGENT_OK);
    EXPECT_STREQ(version, "2.0");
    EXPECT_EQ(GetAgentVersion(version, sizeof version), AGENT_OK);
    EXPECT_STREQ(version, "2.0");
    EXPECT_EQ(CheckBlank(0, 16), AGENT_NOT_OPEN);

    char part[FLASH_NAME_BUFFER_SIZE] = {};
    char maker[FLASH_NAME_BUFFER_SIZE] = {};
    SectorSet runs[MAX_SECTOR_SETS] = {};
    FlashInfo info{part, maker, 0, 0, 0, runs, 0, 0, 0};
    uint32_t width = 0;
    ASSERT_EQ(EPOpen(0, 0, &width, &info), AGENT_OK);
    EXPECT_EQ(width, c.widthUnits);
    EXPECT_STREQ(part, c.part);
    EXPECT_EQ(info.Size, c.partSize);
    EXPECT_EQ(info.CommandSet, c.commandSet);
    EXPECT_EQ(receiver.ProgramBufferSize(), 32 * c.widthUnits);
    uint64_t runBytes = 0;
    uint32_t runSectors = 0;
    for (uint32_t i = 0; i < info.SectorSetCount; ++i) {
        runBytes += uint64_t{runs[i].SectorCount} * runs[i].SectorSize;
        runSectors += runs[i].SectorCount;
    }
    EXPECT_EQ(runBytes, c.partSize);
    EXPECT_EQ(runSectors, c.sectorCount);
    EXPECT_EQ(EPOpen(0, 0, &width, &info), AGENT_ALREADY_OPEN);

    uint32_t flashSize = 0;
    uint32_t sectors = 0;
    EXPECT_EQ(GetFlashSize(&flashSize), AGENT_OK);
    EXPECT_EQ(flashSize, c.partSize * lanes);
    EXPECT_EQ(GetSectorCount(&sectors), AGENT_OK);
    EXPECT_EQ(sectors, c.sectorCount);
    uint32_t start = 0;
    uint32_t size = 0;
    EXPECT_EQ(SectorSetInfo(c.sectorCount, &start, &size), AGENT_BAD_SECTOR_INDEX);

    // Erased flash reads blank.
    EXPECT_EQ(CheckBlank(0, flashSize), AGENT_OK);

    // Program 5000 bytes over the first sectors and read them back.
    Bytes data(5000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 37 + (i >> 9));
    ASSERT_EQ(EPWrite(0, data.data(), 5000), AGENT_OK);
    EXPECT_EQ(Bytes(receiver.Flash().begin(), receiver.Flash().begin() + 5000), data);
    EXPECT_EQ(CheckBlank(0, 5000), AGENT_NOT_BLANK);
    EXPECT_EQ(CheckBlank(5000, 0x1000), AGENT_OK);
    Bytes back(5000);
    EXPECT_EQ(EPRead(0, back.data(), 5000), AGENT_OK);
    EXPECT_EQ(back, data);
    uint16_t crc = 0;
    EXPECT_EQ(CalculateFlashCRC16(0, 5000, 0xFFFF, &crc), AGENT_OK);
    EXPECT_EQ(crc, ModbusCrc(data.data(), data.size(), 0xFFFF));
    EXPECT_EQ(CheckProgrammable(0, data.data(), 5000), AGENT_OK);
    const Bytes ones(64, 0xFF);
    EXPECT_EQ(CheckProgrammable(0, ones.data(), 64), AGENT_NOT_PROGRAMMABLE);
    EXPECT_EQ(EPRead(flashSize - 8, back.data(), 16), AGENT_BAD_RANGE);

    // Erase what the data covers, sector by sector, as the update does.
    ASSERT_EQ(SectorSetInfo(0, &start, &size), AGENT_OK);
    EXPECT_EQ(start, 0U);
    EXPECT_EQ(EraseSectorSet(1, size), AGENT_BAD_RANGE);
    EXPECT_EQ(EraseSectorSet(0, size / 2), AGENT_BAD_SECTOR_SIZE);
    for (uint32_t index = 0; start < 5000; ++index) {
        ASSERT_EQ(SectorSetInfo(index, &start, &size), AGENT_OK);
        if (start >= 5000) break;
        ASSERT_EQ(EraseSectorSet(start, size), AGENT_OK);
    }
    EXPECT_EQ(CheckBlank(0, 5000), AGENT_OK);

    // The check string at an odd address.
    const char* check = "123456789";
    ASSERT_EQ(EPWrite(0x101, reinterpret_cast<const uint8_t*>(check), 9), AGENT_OK);
    EXPECT_EQ(CalculateFlashCRC16(0x101, 9, 0xFFFF, &crc), AGENT_OK);
    EXPECT_EQ(crc, 0x4B37);

    EXPECT_EQ(EPClose(), AGENT_OK);
    EXPECT_EQ(CheckBlank(0, 16), AGENT_NOT_OPEN);
    EXPECT_EQ(EPClose(), AGENT_OK);
}

TEST_F(ReceiverSessionTest, FlashSessionPerPartAndBus) {
    const PartCase cases[] = {
        {"AM29LV400BB", 16, 1, 0x80000, 11, 'A'},
        {"AM29LV400BB", 32, 2, 0x80000, 11, 'A'},
        {"28F160B3T", 32, 2, 0x200000, 39, 'I'},
    };
    for (const PartCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.part << " on " << c.busWidth << " bits");
        ReceiverConfig config;
        config.part = c.part;
        config.busWidth = c.busWidth;
        Start(config);
        ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
        ExerciseFlash(*receiver, c);
        EXPECT_EQ(CloseReceiver(), LINK_OK);
    }
}

TEST_F(ReceiverSessionTest, SectorLayoutOfTheBottomBootPart) {
    struct Case {
        unsigned busWidth;
        uint32_t lanes;
    };
    for (const Case& bus : {Case{16, 1}, Case{32, 2}}) {
        SCOPED_TRACE(bus.busWidth);
        ReceiverConfig config;
        config.busWidth = bus.busWidth;
        Start(config);
        ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
        char part[FLASH_NAME_BUFFER_SIZE];
        char maker[FLASH_NAME_BUFFER_SIZE];
        SectorSet runs[MAX_SECTOR_SETS];
        FlashInfo info{part, maker, 0, 0, 0, runs, 0, 0, 0};
        uint32_t width = 0;
        ASSERT_EQ(EPOpen(0, 0, &width, &info), AGENT_OK);
        const struct {
            uint32_t index, start, size;
        } sectors[] = {{0, 0, 0x4000},      {1, 0x4000, 0x2000},   {2, 0x6000, 0x2000},
                       {3, 0x8000, 0x8000}, {4, 0x10000, 0x10000}, {10, 0x70000, 0x10000}};
        for (const auto& s : sectors) {
            uint32_t start = 0;
            uint32_t size = 0;
            EXPECT_EQ(SectorSetInfo(s.index, &start, &size), AGENT_OK);
            EXPECT_EQ(start, s.start * bus.lanes);
            EXPECT_EQ(size, s.size * bus.lanes);
        }
        EXPECT_EQ(EPClose(), AGENT_OK);
        EXPECT_EQ(CloseReceiver(), LINK_OK);
    }
}

TEST_F(ReceiverSessionTest, AgentRefusalsPassThroughUnchanged) {
    struct Case {
        const char* name;
        void (*arrange)(ReceiverConfig&);
        uint32_t status;
        bool namesEmpty;
    };
    const Case cases[] = {
        {"unknown part",
         [](ReceiverConfig& c) {
             c.faults.overrideIds = true;
             c.faults.deviceId = 0x1234;
             c.faults.makerId = 0x00AB;
         },
         AGENT_UNKNOWN_FLASH, true},
        {"no flash", [](ReceiverConfig& c) { c.faults.noFlash = true; }, AGENT_NO_FLASH, false},
        {"bus of 8 bits", [](ReceiverConfig& c) { c.busWidth = 8; }, AGENT_BAD_BUS_WIDTH, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverConfig config;
        c.arrange(config);
        Start(config);
        ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
        char part[FLASH_NAME_BUFFER_SIZE] = "x";
        char maker[FLASH_NAME_BUFFER_SIZE] = "y";
        SectorSet runs[MAX_SECTOR_SETS];
        FlashInfo info{part, maker, 0, 0, 0, runs, 0, 0, 0};
        uint32_t width = 0;
        const uint32_t before = receiver->Counters().frames;
        EXPECT_EQ(EPOpen(0, 0, &width, &info), c.status);
        EXPECT_EQ(receiver->Counters().frames, before + 1);  // no buffer-size request
        if (c.namesEmpty) {
            EXPECT_STREQ(part, "");
            EXPECT_STREQ(maker, "");
            EXPECT_EQ(info.DeviceId, 0x1234);
            EXPECT_EQ(info.MakerId, 0x00AB);
        }
        EXPECT_FALSE(receiver->AgentOpen());
        EXPECT_EQ(CloseReceiver(), LINK_OK);
    }
}

// A receiver whose open answer claims a flash it cannot have: the host stops
// at EPOpen, sends no buffer-size request, and the link still closes.
TEST_F(ReceiverSessionTest, ClaimedFlashSizesBeyondTheAgentAreRefused) {
    struct Case {
        const char* name;
        unsigned busWidth;
        uint32_t claim;
        uint32_t status;
    };
    const Case cases[] = {
        {"a 1 GiB part", 16, 0x40000000, LINK_ANSWER_OUT_OF_RANGE},
        {"a part the size of the window, on a 32-bit bus", 32, AGENT_MAX_FLASH_BYTES,
         LINK_ANSWER_OUT_OF_RANGE},
        {"half the part its runs describe", 16, 0x40000, LINK_ANSWER_OUT_OF_RANGE},
        {"the part's own size", 16, 0x80000, AGENT_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReceiverConfig config;
        config.busWidth = c.busWidth;
        config.faults.claimedFlashSize = c.claim;
        Start(config);
        ASSERT_EQ(OpenReceiver("COM9", 115200), LINK_OK);
        char part[FLASH_NAME_BUFFER_SIZE];
        char maker[FLASH_NAME_BUFFER_SIZE];
        SectorSet runs[MAX_SECTOR_SETS];
        FlashInfo info{part, maker, 0, 0, 0, runs, 0, 0, 0};
        uint32_t width = 0;
        const uint32_t before = receiver->Counters().frames;
        EXPECT_EQ(EPOpen(0, 0, &width, &info), c.status);
        EXPECT_EQ(info.Size, c.claim);
        EXPECT_EQ(receiver->Counters().frames, before + (c.status == AGENT_OK ? 2 : 1));
        EXPECT_EQ(CloseReceiver(), LINK_OK);
        EXPECT_EQ(receiver->Stage(), ReceiverStage::BootRom);
    }
}

}  // namespace
