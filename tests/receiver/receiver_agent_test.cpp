// SPDX-License-Identifier: Apache-2.0
// The flash agent of the simulated receiver: fields, statuses, order of
// checks, sector arithmetic and the NOR flash under it.
#include <gtest/gtest.h>

#include "receiver/flash/flash_parts.h"
#include "tests/receiver/wire.h"

namespace {

ReceiverConfig WithBus(unsigned width) {
    ReceiverConfig config;
    config.busWidth = width;
    return config;
}

// A receiver with its agent running (and, when asked, the flash open).
struct Agent {
    explicit Agent(ReceiverConfig config = {}, bool open = true) : wire(std::move(config)) {
        wire.BootToAgent();
        if (open) {
            const Reply reply = wire.Open();
            EXPECT_EQ(reply.Status(), 0u);
        }
    }
    Reply Call(const Payload& p) { return wire.Exchange(p); }
    uint32_t Status(const Payload& p) {
        const Reply reply = Call(p);
        EXPECT_TRUE(reply.answered && reply.checksumOk);
        return reply.answered ? reply.Status() : 0xFFFFFFFF;
    }
    std::vector<uint8_t>& Flash() { return wire.receiver.MutableFlash(); }
    Wire wire;
};

Payload Write(uint32_t address, const std::vector<uint8_t>& data) {
    return Payload{}.U8(8).U32(address).U32(static_cast<uint32_t>(data.size())).Bytes(data);
}

Payload Erase(uint32_t start, uint32_t size) {
    return Payload{}.U8(12).U32(start).U32(size);
}

TEST(ReceiverAgent, OpenAnswersThePartOfTheTable) {
    Agent agent({}, false);
    const Reply reply = agent.wire.Open();
    Payload expected;
    expected.U8(7).U32(0).U32(1).U32(1).Str("AM29LV400BB").Str("AMD").U16(0x22BA).U16(0x0001);
    expected.U32(0x80000).U8(4).U32(1).U32(0x4000).U32(2).U32(0x2000).U32(1).U32(0x8000);
    expected.U32(7).U32(0x10000).U8('A').U16(0x0001);
    EXPECT_EQ(reply.payload, expected.bytes);
    EXPECT_TRUE(agent.wire.receiver.AgentOpen());
    EXPECT_EQ(agent.wire.receiver.ProgramBufferSize(), 2u);
}

TEST(ReceiverAgent, OpenOnA32BitBusKeepsOnePartsDescription) {
    Agent agent(WithBus(32), false);
    const Reply reply = agent.wire.Open();
    EXPECT_EQ(reply.Status(), 0u);
    EXPECT_EQ(BigEndian(reply.payload, 5, 4), 2u);  // BusWidthUnits
    // Size of one part after the names.
    const size_t sizeAt = 13 + sizeof("AM29LV400BB") + sizeof("AMD") + 4;
    EXPECT_EQ(BigEndian(reply.payload, sizeAt, 4), 0x80000u);
    EXPECT_EQ(agent.wire.receiver.ProgramBufferSize(), 4u);
    EXPECT_EQ(BigEndian(agent.Call(Payload{}.U8(16)).payload, 5, 4), 0x100000u);
    EXPECT_EQ(BigEndian(agent.Call(Payload{}.U8(18)).payload, 5, 4), 11u);
}

// Each case breaks two checks at once; the earlier one in the agent's order
// must be the one answered.
TEST(ReceiverAgent, OpenChecksInTheAgentsOrder) {
    struct Case {
        const char* what;
        ReceiverConfig config;
        bool openFirst;
        uint32_t cs, base, mask1, mask2;
        uint32_t status;
    };
    auto cfg = [](auto&& edit) {
        ReceiverConfig c;
        edit(c);
        return c;
    };
    const auto none = [](ReceiverConfig&) {};
    const Case cases[] = {
        {"nothing on the bus", cfg([](ReceiverConfig& c) { c.faults.noFlash = true; }), false, 0, 0,
         0, 0, 5},
        {"open twice", cfg(none), true, 9, 1, 4, 4, 1},
        {"processor before chip select", cfg([](ReceiverConfig& c) { c.chipId = 0; }), false, 9, 0,
         0, 0, 16},
        {"chip select before options", cfg(none), false, 8, 0, 4, 0, 2},
        {"options before bus width", cfg([](ReceiverConfig& c) { c.busWidth = 8; }), false, 0, 0, 4,
         0, 15},
        {"masks sharing a bit", cfg(none), false, 0, 0, 1, 3, 15},
        {"-1 stands for 3", cfg(none), false, 0, 0, 0xFFFFFFFF, 1, 15},
        {"only the low byte counts", cfg(none), false, 0, 0, 0x104, 0, 15},
        {"bus width before base offset", cfg([](ReceiverConfig& c) { c.busWidth = 8; }), false, 0,
         0x1000, 0, 0, 10},
        {"base offset before identification",
         cfg([](ReceiverConfig& c) { c.faults.noFlash = true; }), false, 0, 0x1000, 0, 0, 8},
        {"codes 0 / 0", cfg([](ReceiverConfig& c) { c.faults.overrideIds = true; }), false, 0, 0, 0,
         0, 5},
        {"parts differ", cfg([](ReceiverConfig& c) {
             c.busWidth = 32;
             c.faults.mismatchedParts = true;
         }),
         false, 0, 0, 0, 0, 5},
        {"empty chip select", cfg(none), false, 1, 0, 0, 0, 5},
        {"masks 2 and 1 are fine", cfg(none), false, 0, 0, 2, 1, 0},
        {"-1 alone is fine", cfg(none), false, 0, 0, 0xFFFFFFFF, 0x100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Agent agent(c.config, false);
        if (c.openFirst) {
            ASSERT_EQ(agent.wire.Open().Status(), 0u);
        }
        const Reply reply = agent.wire.Open(c.cs, c.base, c.mask1, c.mask2);
        ASSERT_TRUE(reply.answered);
        EXPECT_EQ(reply.Status(), c.status);
        // A failed open leaves the agent closed (or as open as it was).
        EXPECT_EQ(agent.wire.receiver.AgentOpen(), c.openFirst || c.status == 0);
    }
}

TEST(ReceiverAgent, UnknownIdentificationCodesComeBackInTheAnswer) {
    ReceiverConfig config;
    config.faults.overrideIds = true;
    config.faults.deviceId = 0x1234;
    config.faults.makerId = 0x00AB;
    Agent agent(config, false);
    const Reply reply = agent.wire.Open();
    Payload expected;
    expected.U8(7).U32(7).U32(1).U32(0).Str("").Str("").U16(0x1234).U16(0x00AB).U32(0).U8(0);
    expected.U8(0).U16(0);
    EXPECT_EQ(reply.payload, expected.bytes);
    EXPECT_FALSE(agent.wire.receiver.AgentOpen());
}

Payload OpenWithInfo(const FlashPart& p) {
    Payload pl;
    pl.U8(32).U32(0).U32(0).U32(0).U32(0).Str(p.name).Str(p.maker).U16(p.deviceId).U16(p.makerId);
    pl.U32(p.size).U8(static_cast<uint32_t>(p.runs.size()));
    for (const FlashRun& run : p.runs) pl.U32(run.count).U32(run.size);
    pl.U8(static_cast<uint8_t>(p.commandSet)).U16(p.flags);
    return pl;
}

TEST(ReceiverAgent, OpenWithInfoChecksCodesBeforeTheDescription) {
    const FlashPart good = *FindFlashPart("AM29LV400BB");
    FlashPart wrongIdsAndRuns = good;
    wrongIdsAndRuns.deviceId = 0x22B9;
    wrongIdsAndRuns.runs[0].count = 2;
    FlashPart badRuns = good;
    badRuns.runs.pop_back();
    FlashPart badCommandSet = good;
    badCommandSet.commandSet = 'X';
    FlashPart tooManyRuns = good;
    tooManyRuns.runs = {{1, 0x10000}, {1, 0x10000}, {1, 0x10000}, {1, 0x10000},
                        {1, 0x10000}, {1, 0x10000}, {2, 0x10000}};
    struct Case {
        const FlashPart* part;
        uint32_t status;
    };
    for (const Case c : {Case{&wrongIdsAndRuns, 19}, Case{&badRuns, 18}, Case{&badCommandSet, 18},
                         Case{&tooManyRuns, 18}, Case{&good, 0}}) {
        Agent agent({}, false);
        const Reply reply = agent.Call(OpenWithInfo(*c.part));
        EXPECT_EQ(reply.payload, Payload{}.U8(33).U32(c.status).U32(1).U32(c.status == 0).bytes);
        EXPECT_EQ(agent.wire.receiver.AgentOpen(), c.status == 0);
    }
    // A description of its own layout is used as given.
    Agent agent({}, false);
    FlashPart uniform = good;
    uniform.runs = {{8, 0x10000}};
    ASSERT_EQ(agent.Call(OpenWithInfo(uniform)).Status(), 0u);
    EXPECT_EQ(agent.Call(Payload{}.U8(20).U32(1)).payload,
              Payload{}.U8(21).U32(0).U32(0x10000).U32(0x10000).bytes);
    EXPECT_EQ(agent.Call(OpenWithInfo(good)).Status(), 1u);
}

TEST(ReceiverAgent, CommandsNeedAnOpenPartExceptCloseAndVersion) {
    Agent agent({}, false);
    const std::vector<std::pair<Payload, size_t>> needOpen = {
        {Write(0, {1, 2}), 5},
        {Payload{}.U8(10).U32(0).U32(3), 8},
        {Erase(0, 0x4000), 5},
        {Payload{}.U8(16), 9},
        {Payload{}.U8(18), 9},
        {Payload{}.U8(20).U32(0), 13},
        {Payload{}.U8(22).U32(0).U32(1).U8(0), 5},
        {Payload{}.U8(24).U32(0).U32(16), 5},
        {Payload{}.U8(26).U32(32), 5},
        {Payload{}.U8(30).U32(0).U32(16).U16(0xFFFF), 7},
    };
    for (const auto& [request, answerLength] : needOpen) {
        const Reply reply = agent.Call(request);
        EXPECT_EQ(reply.payload.at(0), request.bytes[0] + 1);
        EXPECT_EQ(reply.Status(), 6u) << int(request.bytes[0]);
        EXPECT_EQ(reply.payload.size(), answerLength) << int(request.bytes[0]);
    }
    EXPECT_EQ(agent.Call(Payload{}.U8(14)).payload, Payload{}.U8(15).U32(0).bytes);
    EXPECT_EQ(agent.Call(Payload{}.U8(28)).payload, Payload{}.U8(29).U32(0).Str("2.0").bytes);
    // Close always succeeds and leaves the part closed.
    Agent open;
    EXPECT_EQ(open.Call(Payload{}.U8(14)).payload, Payload{}.U8(15).U32(0).bytes);
    EXPECT_EQ(open.Status(Payload{}.U8(16)), 6u);
}

TEST(ReceiverAgent, UnknownAndMalformedRequestsAreAcknowledgedButNotAnswered) {
    Agent agent;
    const std::vector<std::vector<uint8_t>> requests = {
        {7}, {36}, {42}, {1}, {16, 0}, {20, 0, 0, 0}, {8, 0, 0, 0, 0, 0, 0, 0, 2, 0xAA}};
    for (const auto& request : requests) {
        const Reply reply = agent.wire.Exchange(request);
        EXPECT_EQ(reply.ack, 0x06);
        EXPECT_FALSE(reply.answered);
    }
    EXPECT_EQ(agent.Status(Payload{}.U8(16)), 0u);
}

TEST(ReceiverAgent, SectorArithmeticOfTheBottomBootPart) {
    struct Case {
        uint32_t index, start, size;
    };
    const Case cases[] = {{0, 0, 0x4000},      {1, 0x4000, 0x2000},   {2, 0x6000, 0x2000},
                          {3, 0x8000, 0x8000}, {4, 0x10000, 0x10000}, {10, 0x70000, 0x10000}};
    for (unsigned width : {16u, 32u}) {
        SCOPED_TRACE(width);
        const uint32_t l = width / 16;
        Agent agent(WithBus(width));
        for (const Case& c : cases) {
            EXPECT_EQ(agent.Call(Payload{}.U8(20).U32(c.index)).payload,
                      Payload{}.U8(21).U32(0).U32(c.start * l).U32(c.size * l).bytes)
                << c.index;
        }
        const Reply beyond = agent.Call(Payload{}.U8(20).U32(11));
        EXPECT_EQ(beyond.Status(), 13u);
        EXPECT_EQ(beyond.payload.size(), 13u);
        EXPECT_EQ(agent.Call(Payload{}.U8(16)).payload,
                  Payload{}.U8(17).U32(0).U32(0x80000 * l).bytes);
        EXPECT_EQ(agent.Call(Payload{}.U8(18)).payload, Payload{}.U8(19).U32(0).U32(11).bytes);
    }
}

TEST(ReceiverAgent, EraseTakesExactlyOneWholeSector) {
    for (unsigned width : {16u, 32u}) {
        SCOPED_TRACE(width);
        const uint32_t l = width / 16;
        Agent agent(WithBus(width));
        std::fill(agent.Flash().begin(), agent.Flash().end(), 0x00);
        struct Case {
            uint32_t start, size, status;
        };
        const Case cases[] = {
            {0x2000 * l, 0x2000 * l, 8},    // inside the first sector
            {0x4000 * l, 0x4000 * l, 9},    // a sector start, another sector's size
            {0x80000 * l, 0x10000 * l, 8},  // beyond the flash
            {0x4000, 0x2000, l == 1 ? 0u : 8u}, {0x70000 * l, 0x10000 * l, 0},
        };
        for (const Case& c : cases) {
            EXPECT_EQ(agent.Status(Erase(c.start, c.size)), c.status) << std::hex << c.start;
        }
        const auto& flash = agent.Flash();
        const size_t erasedFrom = 0x70000 * l;
        EXPECT_TRUE(std::all_of(flash.begin() + erasedFrom, flash.end(),
                                [](uint8_t b) { return b == 0xFF; }));
        EXPECT_EQ(flash[erasedFrom - 1], 0x00);
        const size_t small = l == 1 ? 0x4000 + 0x2000 : 0;
        EXPECT_EQ(flash[small], 0x00);
    }
}

TEST(ReceiverAgent, ProgrammingOnlyClearsBits) {
    Agent agent;
    agent.Flash()[0x100] = 0x0F;
    agent.Flash()[0x101] = 0xF3;
    // Over erased cells anything goes.
    EXPECT_EQ(agent.Status(Write(0x200, {0x12, 0x34, 0x00, 0xFF})), 0u);
    EXPECT_EQ(agent.Flash()[0x200], 0x12);
    EXPECT_EQ(agent.Flash()[0x201], 0x34);
    // Clearing more bits of programmed cells works.
    EXPECT_EQ(agent.Status(Write(0x200, {0x10, 0x04})), 0u);
    EXPECT_EQ(agent.Flash()[0x200], 0x10);
    // A bit that would have to go from 0 to 1 stays 0 and the write fails.
    EXPECT_EQ(agent.Status(Payload{}.U8(22).U32(0x100).U32(2).U8(0x05).U8(0xF3)), 0u);
    EXPECT_EQ(agent.Status(Payload{}.U8(22).U32(0x100).U32(2).U8(0x05).U8(0xF7)), 11u);
    EXPECT_EQ(agent.Status(Write(0x100, {0xF0, 0xF3})), 4u);
    EXPECT_EQ(agent.Flash()[0x100], 0x00);
    EXPECT_EQ(agent.Status(Write(0x101, {0xF7})), 4u);
    EXPECT_EQ(agent.Flash()[0x101], 0xF3);
    EXPECT_EQ(agent.Status(Payload{}.U8(10).U32(0x200).U32(2)), 0u);
    EXPECT_EQ(agent.Call(Payload{}.U8(10).U32(0x200).U32(2)).payload,
              Payload{}.U8(11).U32(0).U8(0x10).U8(0x04).bytes);
}

TEST(ReceiverAgent, AFailedPieceStopsTheRestOfTheWrite) {
    Agent agent;
    agent.Flash()[0x13] = 0x00;  // in the second 2-byte piece
    EXPECT_EQ(agent.Status(Write(0x10, {1, 2, 3, 4, 5, 6})), 4u);
    EXPECT_EQ(std::vector<uint8_t>(agent.Flash().begin() + 0x10, agent.Flash().begin() + 0x16),
              (std::vector<uint8_t>{1, 2, 0x03, 0x00, 0xFF, 0xFF}));
}

TEST(ReceiverAgent, ProgramBufferSizeRulesFollowTheBus) {
    struct Case {
        unsigned width;
        uint32_t size, status;
    };
    const Case cases[] = {
        {16, 0, 14}, {16, 1, 14}, {16, 2, 0},  {16, 3, 14}, {16, 32, 0},  {16, 34, 14},
        {32, 2, 14}, {32, 4, 0},  {32, 6, 14}, {32, 64, 0}, {32, 68, 14}, {32, 32, 0},
    };
    for (const Case& c : cases) {
        Agent agent(WithBus(c.width));
        EXPECT_EQ(agent.Status(Payload{}.U8(26).U32(c.size)), c.status)
            << c.width << "-bit, " << c.size;
        EXPECT_EQ(agent.wire.receiver.ProgramBufferSize(), c.status == 0 ? c.size : c.width / 8);
    }
}

TEST(ReceiverAgent, RangesEndAtTheFlashSize) {
    Agent agent;
    EXPECT_EQ(agent.Status(Payload{}.U8(24).U32(0x7FFF0).U32(0x10)), 0u);
    EXPECT_EQ(agent.Status(Payload{}.U8(24).U32(0x7FFF0).U32(0x11)), 8u);
    EXPECT_EQ(agent.Status(Payload{}.U8(24).U32(0x80000).U32(0)), 0u);
    EXPECT_EQ(agent.Status(Payload{}.U8(24).U32(0xFFFFFFFF).U32(2)), 8u);
    EXPECT_EQ(agent.Status(Write(0x7FFFF, {0, 0})), 8u);
    EXPECT_EQ(agent.Flash()[0x7FFFF], 0xFF);
    const Reply read = agent.Call(Payload{}.U8(10).U32(0x7FFFE).U32(4));
    EXPECT_EQ(read.Status(), 8u);
    EXPECT_EQ(read.payload.size(), 9u);  // the data is carried whatever the status
}

TEST(ReceiverAgent, CheckBlankAndCrcOverTheFlash) {
    Agent agent;
    const std::string digits = "123456789";
    std::copy(digits.begin(), digits.end(), agent.Flash().begin() + 0x1000);
    EXPECT_EQ(agent.Status(Payload{}.U8(24).U32(0).U32(0x1000)), 0u);
    EXPECT_EQ(agent.Status(Payload{}.U8(24).U32(0).U32(0x1001)), 12u);
    EXPECT_EQ(agent.Call(Payload{}.U8(30).U32(0x1000).U32(9).U16(0xFFFF)).payload,
              Payload{}.U8(31).U32(0).U16(0x4B37).bytes);
    // Started from another value the run continues from it.
    const uint16_t half = SimCrc16(reinterpret_cast<const uint8_t*>("1234"), 4, 0xFFFF);
    EXPECT_EQ(agent.Call(Payload{}.U8(30).U32(0x1004).U32(5).U16(half)).payload,
              Payload{}.U8(31).U32(0).U16(0x4B37).bytes);
}

TEST(ReceiverAgent, DisconnectAnswersAndWritesTheFlashOut) {
    const std::string dump = ::testing::TempDir() + "receiver_dump.bin";
    ReceiverConfig config;
    config.flashInit = FlashInit::Fill;
    config.flashFill = 0x5A;
    config.flashDumpPath = dump;
    Agent agent(config);
    EXPECT_EQ(agent.Status(Write(0, {0x50, 0x0A})), 0u);
    EXPECT_EQ(agent.Call(Payload{}.U8(34)).payload, (std::vector<uint8_t>{35}));
    EXPECT_EQ(agent.wire.receiver.Counters().disconnects, 1u);
    EXPECT_EQ(agent.wire.receiver.Stage(), ReceiverStage::BootRom);

    ReceiverConfig reload;
    reload.flashInit = FlashInit::File;
    reload.flashFile = dump;
    Receiver again(reload);
    ASSERT_TRUE(again.Ok()) << again.Error();
    EXPECT_EQ(again.Flash().size(), 0x80000u);
    EXPECT_EQ(again.Flash()[0], 0x50);
    EXPECT_EQ(again.Flash()[1], 0x0A);
    EXPECT_EQ(again.Flash()[2], 0x5A);
}

// A host that lost an answer sends the same request again: the agent serves
// it as it serves any request, with no memory of the first.
TEST(ReceiverAgent, ARequestSentAgainIsServedAgainWithoutLeniency) {
    struct Row {
        const char* name;
        Payload request;
        uint32_t first, again;
        bool openAfter;
    };
    const Payload open = Payload{}.U8(6).U32(0).U32(0).U32(0).U32(0);
    const std::vector<Row> rows = {
        // The part stays open as the first open left it; the repeat's answer
        // carries no description.
        {"EPOpen", open, 1, 1, true},
        {"EPClose", Payload{}.U8(14), 0, 0, false},
        {"EraseSectorSet", Erase(0x4000, 0x2000), 0, 0, true},
        // The same data programmed over itself reads back as sent.
        {"EPWrite", Write(0x4000, {0x12, 0x34, 0x56, 0x78}), 0, 0, true},
        {"CalculateFlashCRC16", Payload{}.U8(30).U32(0).U32(16).U16(0xFFFF), 0, 0, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Agent agent;
        EXPECT_EQ(agent.Status(row.request), row.first);
        const std::vector<uint8_t> flash = agent.wire.receiver.Flash();
        EXPECT_EQ(agent.Status(row.request), row.again);
        EXPECT_EQ(agent.wire.receiver.Flash(), flash);
        EXPECT_EQ(agent.wire.receiver.AgentOpen(), row.openAfter);
    }
    // Other data over a programmed block is a failed write, not a rewrite.
    Agent agent;
    EXPECT_EQ(agent.Status(Write(0x4000, {0x12, 0x34})), 0u);
    EXPECT_EQ(agent.Status(Write(0x4000, {0x21, 0x43})), 4u);
}

TEST(ReceiverAgent, ADisconnectWhoseAnswerWasLostCannotBeSentAgain) {
    ReceiverConfig config;
    Agent agent(config);
    // The answer is lost: the receiver waits no acknowledgement and is back
    // in its boot ROM at 38400, where the repeat at 115200 is noise.
    agent.wire.receiver.Faults().frames[agent.wire.receiver.Counters().frames + 1] =
        FrameFault::DropAnswer;
    EXPECT_FALSE(agent.Call(Payload{}.U8(34)).answered);
    EXPECT_EQ(agent.wire.receiver.Stage(), ReceiverStage::BootRom);
    const Reply again = agent.Call(Payload{}.U8(34));
    EXPECT_EQ(again.ack, -1);
    EXPECT_EQ(agent.wire.receiver.Counters().disconnects, 1u);
}

TEST(ReceiverParts, TableHoldsTheKnownRowsConsistently) {
    const auto& table = FlashPartTable();
    EXPECT_EQ(table.size(), 57u);
    for (size_t i = 0; i < table.size(); ++i) {
        const FlashPart& p = table[i];
        SCOPED_TRACE(p.name);
        uint64_t sum = 0;
        for (const FlashRun& run : p.runs) sum += uint64_t{run.count} * run.size;
        EXPECT_EQ(sum, p.size);
        EXPECT_LE(p.runs.size(), 6u);
        EXPECT_LE(p.name.size(), 13u);
        EXPECT_TRUE(p.commandSet == (p.maker == "INTEL" || p.maker == "SHARP" ? 'I' : 'A'));
        for (size_t j = i + 1; j < table.size(); ++j) {
            EXPECT_FALSE(p.deviceId == table[j].deviceId && p.makerId == table[j].makerId)
                << table[j].name;
        }
    }
    struct Given {
        const char* name;
        uint16_t device, maker;
        uint32_t size, sectors;
        char commandSet;
        uint16_t flags;
    };
    const Given given[] = {
        {"AM29LV400BB", 0x22BA, 0x0001, 0x80000, 11, 'A', 1},
        {"AM29LV400BT", 0x22B9, 0x0001, 0x80000, 11, 'A', 1},
        {"AM29DL400BB", 0x220F, 0x0001, 0x80000, 14, 'A', 1},
        {"MX29LV400B", 0x22BA, 0x00C2, 0x80000, 11, 'A', 0},
        {"28F160B3T", 0x8890, 0x0089, 0x200000, 39, 'I', 1},
        {"LH28F160BJHE", 0x00E9, 0x00B0, 0x200000, 39, 'I', 0x000B},
        {"SST39VF1601", 0x234B, 0x00BF, 0x200000, 512, 'A', 4},
    };
    for (const Given& g : given) {
        const FlashPart* p = FindFlashPart(g.name);
        ASSERT_NE(p, nullptr) << g.name;
        EXPECT_EQ(FindFlashPartById(g.device, g.maker), p);
        EXPECT_EQ(p->size, g.size);
        EXPECT_EQ(FlashPartSectorCount(*p), g.sectors);
        EXPECT_EQ(p->commandSet, g.commandSet);
        EXPECT_EQ(p->flags, g.flags);
    }
    EXPECT_EQ(FindFlashPart("LE28FV4101T"), nullptr);  // its codes are not known
}

TEST(ReceiverParts, AnotherPartIsFoundByItsCodes) {
    ReceiverConfig config;
    config.part = "28F160B3T";
    Agent agent(config, false);
    const Reply reply = agent.wire.Open();
    Payload expected;
    expected.U8(7).U32(0).U32(1).U32(1).Str("28F160B3T").Str("INTEL").U16(0x8890).U16(0x0089);
    expected.U32(0x200000).U8(2).U32(31).U32(0x10000).U32(8).U32(0x2000).U8('I').U16(1);
    EXPECT_EQ(reply.payload, expected.bytes);
    EXPECT_EQ(agent.Call(Payload{}.U8(20).U32(31)).payload,
              Payload{}.U8(21).U32(0).U32(0x1F0000).U32(0x2000).bytes);
}

}  // namespace
