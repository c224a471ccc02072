// SPDX-License-Identifier: Apache-2.0
// The flash agent commands against a scripted agent on the in-memory line.
#include "agent/agent.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "link/packet.h"
#include "link/serial_port.h"
#include "link/status.h"
#include "platform/fake/fake_line.h"
#include "tests/support/core_reset.h"
#include "tests/support/frame_peer.h"

namespace {

// An answer: code + 1, the status word, then the fields.
Bytes AgentAnswer(const Bytes& request, uint32_t status, const Bytes& fields = {}) {
    return Cat({{static_cast<uint8_t>(request.at(0) + 1)}, U32(status), fields});
}

Bytes Text(const std::string& text) {
    Bytes out(text.begin(), text.end());
    out.push_back(0);
    return out;
}

uint32_t ReadU32(const Bytes& b, size_t at) {
    return (uint32_t{b.at(at)} << 24) | (uint32_t{b.at(at + 1)} << 16) |
           (uint32_t{b.at(at + 2)} << 8) | b.at(at + 3);
}

// The fields of an open answer after BusWidthUnits and the Flags bit.
Bytes OpenFields(const std::string& part, const std::string& maker, uint16_t device,
                 uint16_t makerId, uint32_t size,
                 const std::vector<std::pair<uint32_t, uint32_t>>& runs, uint8_t commandSet,
                 uint16_t flags, size_t countOverride = 0) {
    Bytes out = Cat({Text(part),
                     Text(maker),
                     U16(device),
                     U16(makerId),
                     U32(size),
                     {static_cast<uint8_t>(countOverride != 0 ? countOverride : runs.size())}});
    for (const auto& [count, bytes] : runs) out = Cat({out, U32(count), U32(bytes)});
    return Cat({out, {commandSet}, U16(flags)});
}

const std::vector<std::pair<uint32_t, uint32_t>> AM29LV400BB_RUNS = {
    {1, 0x4000}, {2, 0x2000}, {1, 0x8000}, {7, 0x10000}};

// The caller's storage for one FlashInfo, with guard bytes after each buffer
// so that a write past the end shows even without a sanitizer.
struct FlashStorage {
    char part[FLASH_NAME_BUFFER_SIZE];
    uint8_t guard1[16];
    char maker[FLASH_NAME_BUFFER_SIZE];
    uint8_t guard2[16];
    SectorSet runs[MAX_SECTOR_SETS];
    uint8_t guard3[16];
    FlashInfo info{};

    FlashStorage() {
        std::memset(part, 'p', sizeof part);
        std::memset(maker, 'm', sizeof maker);
        std::memset(runs, 0xEE, sizeof runs);
        std::memset(guard1, 0xA5, sizeof guard1);
        std::memset(guard2, 0xA5, sizeof guard2);
        std::memset(guard3, 0xA5, sizeof guard3);
        info.PartName = part;
        info.MakerName = maker;
        info.SectorSets = runs;
    }
    bool GuardsIntact() const {
        for (size_t i = 0; i < 16; ++i) {
            if (guard1[i] != 0xA5 || guard2[i] != 0xA5 || guard3[i] != 0xA5) return false;
        }
        return true;
    }
};

class AgentTest : public ::testing::Test {
  protected:
    // Also called again by table cases that need a fresh line.
    void SetUp() override {
        peer.reset();
        ResetCoreModules();
        handler = [](const Bytes& r) { return Answer(AgentAnswer(r, AGENT_OK)); };
        peer = std::make_unique<FramePeer>([this](const Bytes& r) { return handler(r); });
        ASSERT_EQ(SerialOpen("COM9", 115200), 1);
    }
    void TearDown() override { peer.reset(); }

    std::function<Reply(const Bytes&)> handler;
    std::unique_ptr<FramePeer> peer;
};

TEST_F(AgentTest, EPOpenRequestAndAnswerOnA16BitBus) {
    handler = [](const Bytes& r) {
        if (r[0] == AGENT_OPEN) {
            return Answer(AgentAnswer(r, AGENT_OK,
                                      Cat({U32(1), U32(1),
                                           OpenFields("AM29LV400BB", "AMD", 0x22BA, 0x0001, 0x80000,
                                                      AM29LV400BB_RUNS, 'A', 0x0001)})));
        }
        return Answer(AgentAnswer(r, AGENT_OK));
    };
    FlashStorage s;
    uint32_t width = 0;
    EXPECT_EQ(EPOpen(0, 0, &width, &s.info), AGENT_OK);

    const Bytes open{6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(peer->Payloads(), (std::vector<Bytes>{open, {26, 0, 0, 0, 32}}));
    // The request frame on the wire: length 17, payload, checksum 0 - (0x11 + 6).
    const Bytes& wire = FakeLineHostBytes();
    EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 20),
              Cat({{0x00, 0x11}, open, {static_cast<uint8_t>(0x100 - 0x17)}}));

    EXPECT_EQ(width, 1U);
    EXPECT_STREQ(s.part, "AM29LV400BB");
    EXPECT_STREQ(s.maker, "AMD");
    EXPECT_EQ(s.info.DeviceId, 0x22BA);
    EXPECT_EQ(s.info.MakerId, 0x0001);
    EXPECT_EQ(s.info.Size, 0x80000U);
    ASSERT_EQ(s.info.SectorSetCount, 4);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(s.runs[i].SectorCount, AM29LV400BB_RUNS[i].first);
        EXPECT_EQ(s.runs[i].SectorSize, AM29LV400BB_RUNS[i].second);
    }
    EXPECT_EQ(s.info.CommandSet, 'A');
    EXPECT_EQ(s.info.Flags, 0x0001);
    EXPECT_TRUE(s.GuardsIntact());
}

TEST_F(AgentTest, EPOpenOutcomes) {
    struct Case {
        const char* name;
        uint32_t width;
        uint32_t openStatus;
        Bytes extra;         // after the open answer's fields
        uint8_t answerCode;  // 0: the right one
        Reply bufferReply;   // answer to request 26
        uint32_t result;
        std::vector<Bytes> requests;
    };
    const Bytes open{6, 0, 0, 0, 1, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const Case cases[] = {
        {"32-bit bus",
         2,
         AGENT_OK,
         {},
         0,
         Answer({27, 0, 0, 0, 0}),
         AGENT_OK,
         {open, {26, 0, 0, 0, 64}}},
        {"buffer size refused",
         1,
         AGENT_OK,
         {},
         0,
         Answer({27, 0, 0, 0, 14}),
         AGENT_BAD_BUFFER_SIZE,
         {open, {26, 0, 0, 0, 32}}},
        {"buffer size not answered",
         1,
         AGENT_OK,
         {},
         0,
         AckOnly(),
         LINK_EXCHANGE_FAILED,
         {open, {26, 0, 0, 0, 32}}},
        {"trailing byte",
         1,
         AGENT_OK,
         {0x00},
         0,
         Answer({27, 0, 0, 0, 0}),
         LINK_EXCHANGE_FAILED,
         {open}},
        {"answer of another command",
         1,
         AGENT_OK,
         {},
         9,
         Answer({27, 0, 0, 0, 0}),
         LINK_EXCHANGE_FAILED,
         {open}},
        {"already open",
         1,
         AGENT_ALREADY_OPEN,
         {},
         0,
         Answer({27, 0, 0, 0, 0}),
         AGENT_ALREADY_OPEN,
         {open}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        handler = [&](const Bytes& r) {
            if (r[0] == AGENT_SET_PROGRAM_BUFFER_SIZE) return c.bufferReply;
            Bytes a = AgentAnswer(
                r, c.openStatus,
                Cat({U32(c.width), U32(1),
                     OpenFields("AM29LV400BB", "AMD", 0x22BA, 1, 0x80000, AM29LV400BB_RUNS, 'A', 1),
                     c.extra}));
            if (c.answerCode != 0) a[0] = c.answerCode;
            return Answer(a);
        };
        FlashStorage s;
        uint32_t width = 0;
        EXPECT_EQ(EPOpen(1, 0x20000, &width, &s.info), c.result);
        EXPECT_EQ(peer->Payloads(), c.requests);
        EXPECT_TRUE(s.GuardsIntact());
    }
}

TEST_F(AgentTest, UnknownFlashSkipsTheBufferSizeAndKeepsTheCodesRead) {
    handler = [](const Bytes& r) {
        return Answer(
            AgentAnswer(r, AGENT_UNKNOWN_FLASH,
                        Cat({U32(1), U32(0), OpenFields("", "", 0x1234, 0x00AB, 0, {}, 0, 0)})));
    };
    FlashStorage s;
    uint32_t width = 0;
    EXPECT_EQ(EPOpen(0, 0, &width, &s.info), AGENT_UNKNOWN_FLASH);
    EXPECT_EQ(peer->Codes(), Bytes{AGENT_OPEN});
    EXPECT_STREQ(s.part, "");
    EXPECT_STREQ(s.maker, "");
    EXPECT_EQ(s.info.DeviceId, 0x1234);
    EXPECT_EQ(s.info.MakerId, 0x00AB);
    EXPECT_EQ(AgentStatus(), AGENT_UNKNOWN_FLASH);
}

TEST_F(AgentTest, OversizeOpenAnswersAreRefusedWithinTheCallersStorage) {
    const std::string longest(63, 'X');
    struct Case {
        const char* name;
        Bytes fields;
        uint32_t result;
    };
    const Case cases[] = {
        {"63-character names fit",
         OpenFields(longest, longest, 1, 2, 0x80000, AM29LV400BB_RUNS, 'A', 0), AGENT_OK},
        {"64-character part name", OpenFields(longest + "Y", "AMD", 1, 2, 0x80000, {}, 'A', 0),
         LINK_EXCHANGE_FAILED},
        {"200-character maker name",
         OpenFields("AM29LV400BB", std::string(200, 'M'), 1, 2, 0x80000, {}, 'A', 0),
         LINK_EXCHANGE_FAILED},
        {"six runs fit",
         OpenFields("P", "M", 1, 2, 0x60000,
                    std::vector<std::pair<uint32_t, uint32_t>>(6, {1, 0x10000}), 'A', 0),
         AGENT_OK},
        {"seven runs",
         OpenFields("P", "M", 1, 2, 0x70000,
                    std::vector<std::pair<uint32_t, uint32_t>>(7, {1, 0x10000}), 'A', 0),
         LINK_EXCHANGE_FAILED},
        {"255 runs claimed", OpenFields("P", "M", 1, 2, 0, {}, 'A', 0, 255), LINK_EXCHANGE_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        handler = [&](const Bytes& r) {
            if (r[0] == AGENT_OPEN)
                return Answer(AgentAnswer(r, AGENT_OK, Cat({U32(1), U32(0), c.fields})));
            return Answer(AgentAnswer(r, AGENT_OK));
        };
        FlashStorage s;
        uint32_t width = 0;
        EXPECT_EQ(EPOpen(0, 0, &width, &s.info), c.result);
        EXPECT_TRUE(s.GuardsIntact());
        EXPECT_LE(s.info.SectorSetCount, MAX_SECTOR_SETS);
        EXPECT_NE(std::memchr(s.part, 0, FLASH_NAME_BUFFER_SIZE), nullptr);
        if (c.result != AGENT_OK) {
            EXPECT_EQ(peer->Codes(), Bytes{AGENT_OPEN});
        }
    }
    // A name with no NUL before the end of the answer.
    SetUp();
    handler = [](const Bytes& r) {
        return Answer(AgentAnswer(r, AGENT_OK, Cat({U32(1), U32(0), {'A', 'B'}})));
    };
    FlashStorage s;
    uint32_t width = 0;
    EXPECT_EQ(EPOpen(0, 0, &width, &s.info), LINK_EXCHANGE_FAILED);
    EXPECT_TRUE(s.GuardsIntact());
}

// Answers with status 0 that describe flash the agent cannot address: the
// open stops before the buffer-size request, so nothing is sized from them.
TEST_F(AgentTest, OpenAnswersBeyondTheAddressSpaceAreRefused) {
    using Runs = std::vector<std::pair<uint32_t, uint32_t>>;
    const Runs whole16M = {{256, 0x10000}};
    struct Case {
        const char* name;
        uint32_t width;
        uint32_t size;
        Runs runs;
        uint32_t base;
        uint32_t result;
    };
    const Case cases[] = {
        {"largest known part, 32-bit bus", 2, 0x200000, {{8, 0x2000}, {31, 0x10000}}, 0, AGENT_OK},
        {"the whole window", 1, AGENT_MAX_FLASH_BYTES, whole16M, 0, AGENT_OK},
        {"one byte past the window", 1, AGENT_MAX_FLASH_BYTES + 1, whole16M, 0,
         LINK_ANSWER_OUT_OF_RANGE},
        {"a 1 GiB part", 1, 0x40000000, {{16384, 0x10000}}, 0, LINK_ANSWER_OUT_OF_RANGE},
        {"the window doubled by a 32-bit bus", 2, AGENT_MAX_FLASH_BYTES, whole16M, 0,
         LINK_ANSWER_OUT_OF_RANGE},
        {"size x width past 32 bits", 2, 0x80000000, {}, 0, LINK_ANSWER_OUT_OF_RANGE},
        {"window less the base offset", 1, AGENT_MAX_FLASH_BYTES, whole16M, 0x20000,
         LINK_ANSWER_OUT_OF_RANGE},
        {"bus width 0", 0, 0x80000, AM29LV400BB_RUNS, 0, LINK_ANSWER_OUT_OF_RANGE},
        {"bus width 3", 3, 0x80000, AM29LV400BB_RUNS, 0, LINK_ANSWER_OUT_OF_RANGE},
        {"bus width that shifts to nothing", 0x08000000, 0x80000, AM29LV400BB_RUNS, 0,
         LINK_ANSWER_OUT_OF_RANGE},
        {"runs one sector longer than the part",
         1,
         0x80000,
         {{1, 0x4000}, {8, 0x10000}},
         0,
         LINK_ANSWER_OUT_OF_RANGE},
        {"a run whose count x size passes 32 bits",
         1,
         0x80000,
         {{0x10000, 0x10000}},
         0,
         LINK_ANSWER_OUT_OF_RANGE},
        {"runs that wrap to the size in 32 bits",
         1,
         0x80000,
         {{1, 0x80000}, {0x10000, 0x10000}},
         0,
         LINK_ANSWER_OUT_OF_RANGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        handler = [&](const Bytes& r) {
            if (r[0] != AGENT_OPEN) return Answer(AgentAnswer(r, AGENT_OK));
            return Answer(AgentAnswer(
                r, AGENT_OK,
                Cat({U32(c.width), U32(0), OpenFields("P", "M", 1, 2, c.size, c.runs, 'A', 0)})));
        };
        FlashStorage s;
        uint32_t width = 0;
        EXPECT_EQ(EPOpen(0, c.base, &width, &s.info), c.result);
        const Bytes expected = c.result == AGENT_OK
                                   ? Bytes{AGENT_OPEN, AGENT_SET_PROGRAM_BUFFER_SIZE}
                                   : Bytes{AGENT_OPEN};
        EXPECT_EQ(peer->Codes(), expected);
        EXPECT_TRUE(s.GuardsIntact());
    }
}

TEST_F(AgentTest, EPOpenWithInfoSendsTheRecord) {
    char part[FLASH_NAME_BUFFER_SIZE] = "AM29LV400BB";
    char maker[FLASH_NAME_BUFFER_SIZE] = "AMD";
    SectorSet runs[MAX_SECTOR_SETS] = {{1, 0x4000}, {2, 0x2000}, {1, 0x8000}, {7, 0x10000}};
    FlashInfo info{part, maker, 0x22BA, 0x0001, 0x80000, runs, 4, 'A', 0x0001};
    handler = [](const Bytes& r) {
        if (r[0] == AGENT_OPEN_WITH_INFO)
            return Answer(AgentAnswer(r, AGENT_OK, Cat({U32(2), U32(1)})));
        return Answer(AgentAnswer(r, AGENT_OK));
    };
    uint32_t width = 0;
    EXPECT_EQ(EPOpenWithInfo(0, 0, &info, &width), AGENT_OK);
    EXPECT_EQ(width, 2U);
    ASSERT_EQ(peer->Requests().size(), 2U);
    EXPECT_EQ(
        peer->Payloads()[0],
        Cat({{32},         U32(0),      U32(0),      U32(0),       U32(0),      Text("AM29LV400BB"),
             Text("AMD"),  U16(0x22BA), U16(1),      U32(0x80000), {4},         U32(1),
             U32(0x4000),  U32(2),      U32(0x2000), U32(1),       U32(0x8000), U32(7),
             U32(0x10000), {'A'},       U16(1)}));
    EXPECT_EQ(peer->Payloads()[1], (Bytes{26, 0, 0, 0, 64}));
    // Answer "!" carries the status and two words only.
    EXPECT_EQ(peer->Payloads()[0].at(0) + 1, '!');

    // A description beyond the agent's room is refused unsent.
    info.SectorSetCount = 7;
    EXPECT_EQ(EPOpenWithInfo(0, 0, &info, &width), LINK_EXCHANGE_FAILED);
    info.SectorSetCount = 4;
    std::memset(part, 'Z', sizeof part);
    EXPECT_EQ(EPOpenWithInfo(0, 0, &info, &width), LINK_EXCHANGE_FAILED);
    EXPECT_EQ(peer->Requests().size(), 2U);
}

// One scripted agent command: what the host sends and what comes back.
TEST_F(AgentTest, SingleExchangeCommandsByteForByte) {
    uint32_t a = 0, b = 0;
    uint16_t crc = 0;
    char version[8] = {};
    struct Case {
        const char* name;
        std::function<uint32_t()> call;
        Bytes request;
        Bytes answerFields;
        std::function<void()> check;
    };
    const Case cases[] = {
        {"erase",
         [] { return EraseSectorSet(0x4000, 0x2000); },
         Cat({{12}, U32(0x4000), U32(0x2000)}),
         {},
         [] {}},
        {"close", [] { return EPClose(); }, {14}, {}, [] {}},
        {"flash size",
         [&] { return GetFlashSize(&a); },
         {16},
         U32(0x100000),
         [&] { EXPECT_EQ(a, 0x100000U); }},
        {"sector count",
         [&] { return GetSectorCount(&a); },
         {18},
         U32(11),
         [&] { EXPECT_EQ(a, 11U); }},
        {"sector info", [&] { return SectorSetInfo(3, &a, &b); }, Cat({{20}, U32(3)}),
         Cat({U32(0x8000), U32(0x8000)}),
         [&] {
             EXPECT_EQ(a, 0x8000U);
             EXPECT_EQ(b, 0x8000U);
         }},
        {"blank check",
         [] { return CheckBlank(0x10, 0x75AD8); },
         Cat({{24}, U32(0x10), U32(0x75AD8)}),
         {},
         [] {}},
        {"program buffer",
         [] { return SetProgramBufferSize(32); },
         Cat({{26}, U32(32)}),
         {},
         [] {}},
        {"agent version",
         [&] { return GetAgentVersion(version, sizeof version); },
         {28},
         Text("2.0"),
         [&] { EXPECT_STREQ(version, "2.0"); }},
        {"crc", [&] { return CalculateFlashCRC16(0x100, 0x75AD8, 0xFFFF, &crc); },
         Cat({{30}, U32(0x100), U32(0x75AD8), U16(0xFFFF)}), U16(0x1D0F),
         [&] { EXPECT_EQ(crc, 0x1D0F); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        handler = [&](const Bytes& r) { return Answer(AgentAnswer(r, AGENT_OK, c.answerFields)); };
        EXPECT_EQ(c.call(), AGENT_OK);
        EXPECT_EQ(peer->Payloads(), std::vector<Bytes>{c.request});
        c.check();

        // The same command answered badly: a status passes through, a
        // trailing byte, a wrong code or a missing answer is 104.
        handler = [&](const Bytes& r) { return Answer(AgentAnswer(r, 0x77, c.answerFields)); };
        EXPECT_EQ(c.call(), 0x77U);
        handler = [&](const Bytes& r) {
            return Answer(Cat({AgentAnswer(r, 5, c.answerFields), {0}}));
        };
        EXPECT_EQ(c.call(), LINK_EXCHANGE_FAILED);
        EXPECT_EQ(AgentStatus(), 5U);  // read before the failure
        handler = [&](const Bytes& r) {
            Bytes x = AgentAnswer(r, AGENT_OK, c.answerFields);
            x[0] = static_cast<uint8_t>(x[0] + 2);
            return Answer(x);
        };
        EXPECT_EQ(c.call(), LINK_EXCHANGE_FAILED);
        handler = [](const Bytes& r) { return Answer({static_cast<uint8_t>(r[0] + 1), 0, 9}); };
        EXPECT_EQ(c.call(), LINK_EXCHANGE_FAILED);
        EXPECT_EQ(AgentStatus(), 5U);  // too short to carry a status
        handler = [](const Bytes&) { return AckOnly(); };
        EXPECT_EQ(c.call(), LINK_EXCHANGE_FAILED);
    }
}

TEST_F(AgentTest, VersionTextNeverOverrunsTheBuffer) {
    struct Guarded {
        char text[4];
        uint8_t guard[8];
    };
    Guarded g{};
    std::memset(g.guard, 0xA5, sizeof g.guard);
    handler = [](const Bytes& r) { return Answer(AgentAnswer(r, AGENT_OK, Text("2.0"))); };
    EXPECT_EQ(GetAgentVersion(g.text, 4), AGENT_OK);
    EXPECT_STREQ(g.text, "2.0");
    EXPECT_EQ(GetAgentVersion(g.text, 3), LINK_EXCHANGE_FAILED);
    handler = [](const Bytes& r) { return Answer(AgentAnswer(r, AGENT_OK, Text("2.0.1-long"))); };
    EXPECT_EQ(GetAgentVersion(g.text, 4), LINK_EXCHANGE_FAILED);
    for (uint8_t byte : g.guard) EXPECT_EQ(byte, 0xA5);

    // The host's own version goes nowhere near the line.
    const size_t sent = FakeLineHostBytes().size();
    char version[16];
    EXPECT_EQ(GetVersion(version, sizeof version), AGENT_OK);
    EXPECT_STREQ(version, AGENT_VERSION);
    EXPECT_STREQ(version, "2.0");
    EXPECT_EQ(GetVersion(g.text, 4), AGENT_OK);
    EXPECT_EQ(GetVersion(g.text, 2), LINK_EXCHANGE_FAILED);
    EXPECT_STREQ(g.text, "2");
    for (uint8_t byte : g.guard) EXPECT_EQ(byte, 0xA5);
    EXPECT_EQ(FakeLineHostBytes().size(), sent);
}

enum class Transfer { Write, Read, Programmable };

uint32_t RunTransfer(Transfer t, uint32_t address, uint8_t* data, uint32_t length) {
    switch (t) {
        case Transfer::Write:
            return EPWrite(address, data, length);
        case Transfer::Read:
            return EPRead(address, data, length);
        case Transfer::Programmable:
            return CheckProgrammable(address, data, length);
    }
    return 0;
}

TEST_F(AgentTest, TransfersGoOutInChunksOf1024) {
    struct Case {
        Transfer transfer;
        uint8_t code;
    };
    const Case kinds[] = {{Transfer::Write, 8}, {Transfer::Read, 10}, {Transfer::Programmable, 22}};
    struct Length {
        uint32_t length;
        std::vector<uint32_t> chunks;
    };
    const Length lengths[] = {{1, {1}},
                              {1024, {1024}},
                              {1025, {1024, 1}},
                              {2500, {1024, 1024, 452}},
                              {4096, {1024, 1024, 1024, 1024}}};
    for (const Case& k : kinds) {
        for (const Length& l : lengths) {
            SCOPED_TRACE(testing::Message() << int{k.code} << " length " << l.length);
            SetUp();
            Bytes flash(0x3000);
            for (size_t i = 0; i < flash.size(); ++i)
                flash[i] = static_cast<uint8_t>(i * 31 + (i >> 7));
            const uint32_t base = 0x1000;
            handler = [&](const Bytes& r) {
                const uint32_t at = ReadU32(r, 1);
                const uint32_t n = ReadU32(r, 5);
                if (r[0] == AGENT_READ) {
                    return Answer(AgentAnswer(r, AGENT_OK,
                                              Bytes(flash.begin() + at, flash.begin() + at + n)));
                }
                return Answer(AgentAnswer(r, AGENT_OK));
            };
            Bytes data(l.length);
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
            EXPECT_EQ(RunTransfer(k.transfer, base, data.data(), l.length), AGENT_OK);

            ASSERT_EQ(peer->Requests().size(), l.chunks.size());
            uint32_t offset = 0;
            for (size_t i = 0; i < l.chunks.size(); ++i) {
                const Bytes& r = peer->Requests()[i].payload;
                EXPECT_EQ(r[0], k.code);
                EXPECT_EQ(ReadU32(r, 1), base + offset);
                EXPECT_EQ(ReadU32(r, 5), l.chunks[i]);
                if (k.transfer == Transfer::Read) {
                    EXPECT_EQ(r.size(), 9U);
                } else {
                    EXPECT_EQ(Bytes(r.begin() + 9, r.end()),
                              Bytes(data.begin() + offset, data.begin() + offset + l.chunks[i]));
                }
                offset += l.chunks[i];
            }
            if (k.transfer == Transfer::Read) {
                EXPECT_EQ(data, Bytes(flash.begin() + base, flash.begin() + base + l.length));
            }
        }
    }
}

TEST_F(AgentTest, ZeroLengthSendsNothingAndReturnsThePreviousStatus) {
    uint8_t byte = 0;
    for (Transfer t : {Transfer::Write, Transfer::Read, Transfer::Programmable}) {
        SetUp();
        EXPECT_EQ(RunTransfer(t, 0, &byte, 0), AGENT_OK);
        handler = [](const Bytes& r) { return Answer(AgentAnswer(r, AGENT_NOT_BLANK)); };
        ASSERT_EQ(CheckBlank(0, 16), AGENT_NOT_BLANK);
        const size_t sent = FakeLineHostBytes().size();
        EXPECT_EQ(RunTransfer(t, 0, &byte, 0), AGENT_NOT_BLANK);
        EXPECT_EQ(FakeLineHostBytes().size(), sent);
        EXPECT_EQ(peer->Requests().size(), 1U);
    }
}

TEST_F(AgentTest, ChunkFailureStopsTheTransfer) {
    struct Case {
        const char* name;
        Reply second;
        uint32_t result;
    };
    const Case cases[] = {
        {"status", Answer({9, 0, 0, 0, AGENT_WRITE_FAILED}), AGENT_WRITE_FAILED},
        {"trailing byte", Answer({9, 0, 0, 0, 0, 0}), LINK_EXCHANGE_FAILED},
        {"no answer", AckOnly(), LINK_EXCHANGE_FAILED},
        {"corrupt answer", Reply{true, true, {9, 0, 0, 0, 0}, true}, LINK_EXCHANGE_FAILED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        handler = [&](const Bytes& r) {
            if (peer->Requests().size() == 2) return c.second;
            return Answer(AgentAnswer(r, AGENT_OK));
        };
        Bytes data(2500, 0x5A);
        EXPECT_EQ(EPWrite(0, data.data(), 2500), c.result);
        EXPECT_EQ(peer->Requests().size(), 2U);
    }
}

TEST_F(AgentTest, ReadCopiesDataAlsoUnderAFailingStatus) {
    handler = [](const Bytes& r) {
        return Answer(AgentAnswer(r, AGENT_BAD_RANGE, Bytes(ReadU32(r, 5), 0xC3)));
    };
    Bytes dest(3000, 0x00);
    EXPECT_EQ(EPRead(0x7FF00, dest.data(), 3000), AGENT_BAD_RANGE);
    EXPECT_EQ(peer->Requests().size(), 1U);
    EXPECT_EQ(Bytes(dest.begin(), dest.begin() + 1024), Bytes(1024, 0xC3));
    EXPECT_EQ(Bytes(dest.begin() + 1024, dest.end()), Bytes(3000 - 1024, 0x00));
}

// CRC-16/MODBUS written out bit by bit, independent of the host's table.
uint16_t ModbusCrc(const uint8_t* data, size_t count, uint16_t crc) {
    for (size_t i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

TEST_F(AgentTest, FlashCrcOfTheCheckString) {
    Bytes flash(0x1000, 0xFF);
    handler = [&](const Bytes& r) {
        if (r[0] == AGENT_WRITE) {
            std::copy(r.begin() + 9, r.end(), flash.begin() + ReadU32(r, 1));
            return Answer(AgentAnswer(r, AGENT_OK));
        }
        if (r[0] == AGENT_CALCULATE_CRC16) {
            const uint16_t initial = static_cast<uint16_t>((r[9] << 8) | r[10]);
            return Answer(AgentAnswer(
                r, AGENT_OK, U16(ModbusCrc(flash.data() + ReadU32(r, 1), ReadU32(r, 5), initial))));
        }
        return Answer(AgentAnswer(r, AGENT_OK));
    };
    const char* check = "123456789";
    EXPECT_EQ(EPWrite(0x200, reinterpret_cast<const uint8_t*>(check), 9), AGENT_OK);
    uint16_t crc = 0;
    EXPECT_EQ(CalculateFlashCRC16(0x200, 9, 0xFFFF, &crc), AGENT_OK);
    EXPECT_EQ(crc, 0x4B37);
}

int PutIndex(void* context) {
    PutU32(*static_cast<uint32_t*>(context));
    return 1;
}
int GetTwo(void* context) {
    auto* out = static_cast<uint32_t*>(context);
    out[0] = GetU32();
    out[1] = GetU32();
    return 1;
}
int Refuse(void*) {
    return 0;
}

TEST_F(AgentTest, ExchangeWithCallerFields) {
    handler = [](const Bytes& r) { return Answer(AgentAnswer(r, 13, Cat({U32(7), U32(8)}))); };
    uint32_t fields[2] = {20, 0};
    EXPECT_EQ(AgentExchange(AGENT_SECTOR_SET_INFO, PutIndex, GetTwo, fields), 1);
    EXPECT_EQ(AgentStatus(), 13U);
    EXPECT_EQ(fields[0], 7U);
    EXPECT_EQ(fields[1], 8U);
    EXPECT_EQ(peer->Payloads().back(), (Bytes{20, 0, 0, 0, 20}));
    EXPECT_EQ(AgentExchange(AGENT_SECTOR_SET_INFO, PutIndex, Refuse, fields), 0);
    // Unread fields break the cursor rule.
    EXPECT_EQ(AgentExchange(AGENT_CLOSE, nullptr, nullptr, nullptr), 0);
}

}  // namespace

// Zero-length blocks reach the codec with no storage behind them (an empty
// transfer's data pointer); the sanitizer build checks that nothing touches it.
TEST(PacketCodecTest, EmptyBlocksNeedNoStorage) {
    PacketReset();
    PacketRewind();
    PutU8(AGENT_WRITE);
    PutBytes(nullptr, 0);
    EXPECT_EQ(PacketCursorOffset(), 1U);
    PacketRewind();
    GetBytes(nullptr, 0);
    EXPECT_EQ(PacketCursorOffset(), 0U);
}
