// SPDX-License-Identifier: Apache-2.0
// The erase loop's edges, against a scripted agent on the in-memory line.
#include <gtest/gtest.h>

#include <vector>

#include "agent/agent.h"
#include "link/packet.h"
#include "link/serial_port.h"
#include "platform/fake/fake_line.h"
#include "tests/support/core_reset.h"
#include "update/update.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Sector {
    uint32_t start, size;
};

struct Script {
    std::vector<Sector> sectors;
    int failInfoAt = -1;  // index answered with a non-zero status
    uint32_t eraseStatus = 0;
    std::vector<uint32_t> infoAsked;
    std::vector<uint32_t> erased;
};

Script* Agent = nullptr;
std::vector<int> Progress;

void PutWord(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t Word(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

void Answer(const Bytes& payload) {
    Bytes frame{static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
    for (uint8_t b : payload) frame.push_back(b);
    frame.push_back(PacketChecksum(frame.data(), static_cast<uint32_t>(frame.size())));
    FakeLineSend({ACK});
    FakeLineSend(frame, 1);
}

// One request frame per host write; single bytes are the host's ACKs.
void Peer(const uint8_t* data, size_t count) {
    if (count < 4) return;
    const uint8_t* payload = data + 2;
    Bytes answer{static_cast<uint8_t>(payload[0] + 1)};
    if (payload[0] == AGENT_SECTOR_SET_INFO) {
        const uint32_t index = Word(payload + 1);
        Agent->infoAsked.push_back(index);
        const bool known =
            index < Agent->sectors.size() && static_cast<int>(index) != Agent->failInfoAt;
        PutWord(answer, known ? 0 : AGENT_BAD_SECTOR_INDEX);
        PutWord(answer, known ? Agent->sectors[index].start : 0);
        PutWord(answer, known ? Agent->sectors[index].size : 0);
    } else if (payload[0] == AGENT_ERASE_SECTOR_SET) {
        Agent->erased.push_back(Word(payload + 1));
        PutWord(answer, Agent->eraseStatus);
    }
    Answer(answer);
}

struct Case {
    const char* name;
    std::vector<Sector> sectors;
    uint32_t imageLength, flashSize;
    int failInfoAt;
    uint32_t eraseStatus;
    const char* failure;
    std::vector<uint32_t> infoAsked;
    std::vector<uint32_t> erased;
    std::vector<int> progress;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class ErasePhase : public ::testing::TestWithParam<Case> {};

TEST_P(ErasePhase, AsksErasesAndStopsWhereItShould) {
    const Case& c = GetParam();
    ResetCoreModules();
    Progress.clear();
    UpdateSetProgressObserver([](int32_t v) { Progress.push_back(v); });
    Script script{c.sectors, c.failInfoAt, c.eraseStatus, {}, {}};
    Agent = &script;
    FakeLineSetPeer(Peer);
    ASSERT_EQ(SerialOpen("COM9", 115200), 1);

    const char* failure = UpdateErasePhase(c.imageLength, c.flashSize);
    if (c.failure == nullptr) {
        EXPECT_EQ(failure, nullptr);
    } else {
        ASSERT_NE(failure, nullptr);
        EXPECT_STREQ(failure, c.failure);
    }
    EXPECT_EQ(script.infoAsked, c.infoAsked);
    EXPECT_EQ(script.erased, c.erased);
    EXPECT_EQ(Progress, c.progress);
    Agent = nullptr;
}

INSTANTIATE_TEST_SUITE_P(Loop, ErasePhase,
                         ::testing::Values(
                             // Sector 0 starts at the image's end: asked for, nothing erased.
                             Case{"FirstSectorBeyondImage",
                                  {{0x1000, 0x1000}},
                                  0x1000,
                                  0x2000,
                                  -1,
                                  0,
                                  nullptr,
                                  {0},
                                  {},
                                  {}},
                             // The straddling sector is erased whole; the next one is asked for
                             // and ends the phase unerased.
                             Case{"StraddlingSectorErasedWhole",
                                  {{0, 0x4000}, {0x4000, 0x4000}, {0x8000, 0x8000}},
                                  0x5000,
                                  0x10000,
                                  -1,
                                  0,
                                  nullptr,
                                  {0, 1, 2},
                                  {0, 0x4000},
                                  {10, 26}},
                             // A sector reaching the flash size ends the phase without asking on.
                             Case{"EndAtFlashSizeStops",
                                  {{0, 0x4000}, {0x4000, 0x4000}, {0x8000, 0x8000}},
                                  0x6000,
                                  0x8000,
                                  -1,
                                  0,
                                  nullptr,
                                  {0, 1},
                                  {0, 0x4000},
                                  {10, 23}},
                             Case{"FirstQueryFails",
                                  {{0, 0x4000}},
                                  0x6000,
                                  0x8000,
                                  0,
                                  0,
                                  "SectorSetInfo Fail!",
                                  {0},
                                  {},
                                  {}},
                             Case{"LaterQueryFails",
                                  {{0, 0x4000}, {0x4000, 0x4000}},
                                  0x6000,
                                  0x8000,
                                  1,
                                  0,
                                  "SectorSetInfo Fail!",
                                  {0, 1},
                                  {0},
                                  {10}},
                             Case{"EraseFails",
                                  {{0, 0x4000}},
                                  0x6000,
                                  0x8000,
                                  -1,
                                  AGENT_ERASE_FAILED,
                                  "EraseSectorSet Fail!",
                                  {0},
                                  {0},
                                  {10}}),
                         [](const ::testing::TestParamInfo<Case>& p) { return p.param.name; });

}  // namespace
