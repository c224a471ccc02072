// SPDX-License-Identifier: Apache-2.0
// Every injected fault produces exactly the wire behaviour it names.
#include <gtest/gtest.h>

#include "tests/receiver/wire.h"

namespace {

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const std::vector<uint8_t> ACK_BYTE = {0x06};

// Frame 2 of a session is QueryChipId, answered {43, 48}.
TEST(ReceiverFaults, FrameFaultsChangeExactlyTheirAnswer) {
    std::vector<uint8_t> corrupted = Frame({43, 48});
    corrupted[3] ^= 0x5A;
    std::vector<uint8_t> oversize = {43, 48};
    oversize.resize(1288, 0);
    struct Case {
        FrameFault fault;
        std::vector<uint8_t> wire;
    };
    const Case cases[] = {
        {FrameFault::Nak, {0x15}},
        {FrameFault::CorruptAnswer, Concat(ACK_BYTE, corrupted)},
        {FrameFault::DropAnswer, ACK_BYTE},
        {FrameFault::WrongCode, Concat(ACK_BYTE, Frame({45, 48}))},
        {FrameFault::TrailingByte, Concat(ACK_BYTE, Frame({43, 48, 0}))},
        {FrameFault::OversizeAnswer, Concat(ACK_BYTE, Frame(oversize))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(FrameFaultName(c.fault));
        ReceiverConfig config;
        config.faults.frames[2] = c.fault;
        Wire wire(config);
        wire.Exchange(Wire::LoadFirstStage({1, 2, 3}));
        wire.SendRaw(Frame({42}));
        EXPECT_EQ(wire.Read(2000), c.wire);
        // Only that frame: the next one is served normally.
        FakeClockAdvance(1000);
        EXPECT_EQ(wire.Exchange(Payload{}.U8(42)).payload, (std::vector<uint8_t>{43, 48}));
    }
}

TEST(ReceiverFaults, StallHoldsTheAnswerPastTheHostsWait) {
    ReceiverConfig config;
    config.faults.frames[2] = FrameFault::Stall;
    config.faults.stallMs = 3000;
    Wire wire(config);
    wire.Exchange(Wire::LoadFirstStage({1, 2, 3}));
    wire.SendRaw(Frame({42}));
    EXPECT_EQ(wire.Read(1), ACK_BYTE);
    const uint64_t ackAt = FakeClockNow();
    // The host's read of the length gives up after 2008 ms with nothing.
    EXPECT_TRUE(wire.Read(2).empty());
    EXPECT_EQ(FakeClockNow(), ackAt + 2008);
    EXPECT_EQ(wire.Read(5), Frame({43, 48}));
    EXPECT_GE(FakeClockNow(), ackAt + 3000);
}

TEST(ReceiverFaults, NakOfTheFirstFrameComesEvenFromTheBootRom) {
    ReceiverConfig config;
    config.faults.frames[1] = FrameFault::Nak;
    Wire wire(config);
    const Reply reply = wire.Exchange(Wire::LoadFirstStage({1, 2, 3}));
    EXPECT_EQ(reply.ack, 0x15);
    EXPECT_TRUE(wire.Read(8).empty());
    EXPECT_EQ(wire.receiver.Stage(), ReceiverStage::BootRom);
}

TEST(ReceiverFaults, FramesAreCountedAcrossStages) {
    // Load, chip id, clock, baud, three agent blocks, start: EPOpen is frame 9.
    ReceiverConfig config;
    config.faults.frames[9] = FrameFault::TrailingByte;
    Wire wire(config);
    wire.BootToAgent();
    EXPECT_EQ(wire.receiver.Counters().frames, 8u);
    const Reply open = wire.Open();
    EXPECT_TRUE(open.checksumOk);
    EXPECT_EQ(open.payload.back(), 0x00);
    EXPECT_EQ(open.payload.size(), 1 + 4 + 4 + 4 + 12 + 4 + 2 + 2 + 4 + 1 + 4 * 8 + 1 + 2 + 1u);
}

struct Agent {
    explicit Agent(ReceiverConfig config) : wire(std::move(config)) {
        wire.BootToAgent();
        EXPECT_EQ(wire.Open().Status(), 0u);
    }
    Wire wire;
};

TEST(ReceiverFaults, EraseFailureAtASector) {
    ReceiverConfig config;
    config.faults.eraseFailSector = 4;
    config.flashInit = FlashInit::Fill;
    config.flashFill = 0x00;
    Agent agent(config);
    EXPECT_EQ(agent.wire.Exchange(Payload{}.U8(12).U32(0x8000).U32(0x8000)).Status(), 0u);
    EXPECT_EQ(agent.wire.Exchange(Payload{}.U8(12).U32(0x10000).U32(0x10000)).Status(), 3u);
    EXPECT_EQ(agent.wire.receiver.Flash()[0x8000], 0xFF);
    EXPECT_EQ(agent.wire.receiver.Flash()[0x10000], 0x00);
}

TEST(ReceiverFaults, WriteFailureAtAnAddress) {
    ReceiverConfig config;
    config.faults.writeFailAddress = 0x1003;
    Agent agent(config);
    EXPECT_EQ(agent.wire.Exchange(Payload{}.U8(8).U32(0x1000).U32(3).Bytes({1, 2, 3})).Status(),
              0u);
    const Reply reply =
        agent.wire.Exchange(Payload{}.U8(8).U32(0x1002).U32(4).Bytes({0xFF, 0x00, 0x00, 0x00}));
    EXPECT_EQ(reply.Status(), 4u);
    EXPECT_EQ(agent.wire.receiver.Flash()[0x1002], 0x03);  // programmed before the failing cell
    EXPECT_EQ(agent.wire.receiver.Flash()[0x1003], 0xFF);
}

TEST(ReceiverFaults, CrcAnswerOffByOne) {
    ReceiverConfig config;
    config.faults.crcOffByOne = true;
    Agent agent(config);
    const std::string digits = "123456789";
    std::copy(digits.begin(), digits.end(), agent.wire.receiver.MutableFlash().begin());
    EXPECT_EQ(agent.wire.Exchange(Payload{}.U8(30).U32(0).U32(9).U16(0xFFFF)).payload,
              Payload{}.U8(31).U32(0).U16(0x4B38).bytes);
}

TEST(ReceiverFaults, PowerLossAfterAWriteLeavesTheBootRomAndTheFlash) {
    ReceiverConfig config;
    config.faults.powerLossAfterWrite = 2;
    Agent agent(config);
    Wire& wire = agent.wire;
    EXPECT_EQ(wire.Exchange(Payload{}.U8(8).U32(0).U32(2).Bytes({1, 2})).Status(), 0u);
    const Reply lost = wire.Exchange(Payload{}.U8(8).U32(2).U32(2).Bytes({3, 4}));
    EXPECT_EQ(lost.ack, 0x06);
    EXPECT_FALSE(lost.answered);
    EXPECT_EQ(wire.receiver.Stage(), ReceiverStage::BootRom);
    EXPECT_EQ(wire.receiver.UartBaud(), 38400u);
    EXPECT_EQ(wire.receiver.Counters().powerLosses, 1u);
    EXPECT_EQ(
        std::vector<uint8_t>(wire.receiver.Flash().begin(), wire.receiver.Flash().begin() + 4),
        (std::vector<uint8_t>{1, 2, 3, 4}));
    // The host at the operating rate is not heard; from 38400 it starts over.
    EXPECT_EQ(wire.Exchange(Wire::LoadFirstStage({9})).ack, -1);
    FakeClockAdvance(1000);
    wire.SetBaud(38400);
    const Reply load = wire.Exchange(Wire::LoadFirstStage({9}));
    EXPECT_EQ(load.payload, (std::vector<uint8_t>{0x25, 0xF7}));
}

TEST(ReceiverFaults, IdentificationFaults) {
    struct Case {
        const char* what;
        void (*edit)(ReceiverConfig&);
        uint32_t status;
        uint16_t device, maker;  // in the answer
    };
    const Case cases[] = {
        {"codes not in the table",
         [](ReceiverConfig& c) {
             c.faults.overrideIds = true;
             c.faults.deviceId = 0x22BA;
             c.faults.makerId = 0x0002;
         },
         7, 0x22BA, 0x0002},
        {"no flash", [](ReceiverConfig& c) { c.faults.noFlash = true; }, 5, 0, 0},
        {"codes of another part",
         [](ReceiverConfig& c) {
             c.faults.overrideIds = true;
             c.faults.deviceId = 0x22B9;
             c.faults.makerId = 0x0001;
         },
         0, 0x22B9, 0x0001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ReceiverConfig config;
        c.edit(config);
        Wire wire(config);
        wire.BootToAgent();
        const Reply reply = wire.Open();
        EXPECT_EQ(reply.Status(), c.status);
        // Status, units, flag word, then the two names.
        size_t at = 13;
        while (reply.payload.at(at) != 0) ++at;
        ++at;
        while (reply.payload.at(at) != 0) ++at;
        ++at;
        EXPECT_EQ(BigEndian(reply.payload, at, 2), c.device);
        EXPECT_EQ(BigEndian(reply.payload, at + 2, 2), c.maker);
    }
}

TEST(ReceiverFaults, ChipIdZeroRunsTheBootButNotTheAgent) {
    ReceiverConfig config;
    config.chipId = 0;
    Wire wire(config);
    wire.BootToAgent();
    EXPECT_EQ(wire.receiver.Stage(), ReceiverStage::Agent);
    EXPECT_EQ(wire.Open().Status(), 16u);
}

}  // namespace
