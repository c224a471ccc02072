// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: every flash agent command's answer parser fed an
// arbitrary payload.
//
// The far end is scripted on the in-memory line: ACK for the request, then a
// well-framed answer whose payload comes from the input. The first input byte
// picks the command and whether the correct answer code is put in front of
// the payload (so that the parsers past the code check are reached at once);
// the second is a size parameter (EPRead's length, GetAgentVersion's room).
// The caller's storage carries guard bytes after every buffer the parser may
// fill; touching one traps, as does any result that breaks the commands'
// result rule.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "agent/agent.h"
#include "link/packet.h"
#include "link/serial_port.h"
#include "link/status.h"
#include "platform/fake/fake_line.h"

namespace {

constexpr uint8_t GUARD = 0xA5;
constexpr size_t GUARD_BYTES = 32;

void Check(bool condition) {
    if (!condition) __builtin_trap();
}

bool Intact(const uint8_t* guard, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (guard[i] != GUARD) return false;
    }
    return true;
}

// A string the parser claims to have filled ends inside its buffer.
bool Terminated(const char* text, size_t capacity) {
    return std::memchr(text, '\0', capacity) != nullptr;
}

// FlashInfo's storage as the update driver lays it out, each part followed
// by guard bytes.
struct GuardedFlashInfo {
    char partName[FLASH_NAME_BUFFER_SIZE];
    uint8_t partGuard[GUARD_BYTES];
    char makerName[FLASH_NAME_BUFFER_SIZE];
    uint8_t makerGuard[GUARD_BYTES];
    SectorSet sets[MAX_SECTOR_SETS];
    uint8_t setsGuard[GUARD_BYTES];
    FlashInfo info;

    GuardedFlashInfo() {
        std::memset(this, GUARD, sizeof *this);
        info = FlashInfo{};
        info.PartName = partName;
        info.MakerName = makerName;
        info.SectorSets = sets;
    }
    bool Intact() const {
        return ::Intact(partGuard, GUARD_BYTES) && ::Intact(makerGuard, GUARD_BYTES) &&
               ::Intact(setsGuard, GUARD_BYTES);
    }
};

void QueueAnswer(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 4);
    frame.push_back(ACK);
    frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(PacketChecksum(frame.data() + 1, static_cast<uint32_t>(frame.size() - 1)));
    FakeLineSend(frame);
}

// 0 or an agent status after an exchange that completed, 104 otherwise; a
// completed exchange leaves its status in AgentStatus.
void CheckResult(uint32_t result) {
    Check(result == LINK_EXCHANGE_FAILED || result == AgentStatus());
}

struct Command {
    uint8_t answerCode;
    void (*run)(uint8_t parameter);
};

void RunEPOpen(uint8_t) {
    GuardedFlashInfo g;
    uint32_t units = 0xDEADBEEF;
    // Request 26 follows a status of 0: the agent accepts it.
    QueueAnswer({AGENT_SET_PROGRAM_BUFFER_SIZE + 1, 0, 0, 0, 0});
    const uint32_t result = EPOpen(0, 0, &units, &g.info);
    Check(g.Intact());
    Check(g.info.SectorSetCount <= MAX_SECTOR_SETS);
    if (result != LINK_EXCHANGE_FAILED) {
        Check(Terminated(g.partName, sizeof g.partName));
        Check(Terminated(g.makerName, sizeof g.makerName));
    }
    // A whole answer with status 0 that describes flash beyond the agent's
    // reach is refused as such, and only that one. The agent's own status
    // word may carry the same number: then it is passed on as any status is.
    if (result == LINK_ANSWER_OUT_OF_RANGE && AgentStatus() != LINK_ANSWER_OUT_OF_RANGE) {
        Check(AgentStatus() == AGENT_OK && !FlashAnswerFits(g.info, units, 0));
        return;
    }
    // Whatever else failed, EPOpen never succeeds on flash beyond its reach.
    Check(result != 0 || FlashAnswerFits(g.info, units, 0));
    CheckResult(result);
}

void RunEPOpenWithInfo(uint8_t) {
    GuardedFlashInfo g;
    std::strcpy(g.partName, "AM29LV400BB");
    std::strcpy(g.makerName, "AMD");
    g.info.SectorSetCount = 1;
    g.sets[0] = SectorSet{8, 0x10000};
    uint32_t units = 0;
    QueueAnswer({AGENT_SET_PROGRAM_BUFFER_SIZE + 1, 0, 0, 0, 0});
    CheckResult(EPOpenWithInfo(0, 0, &g.info, &units));
    Check(g.Intact());
}

void RunEPRead(uint8_t parameter) {
    // Exactly the room asked for, on the heap, so AddressSanitizer sees any
    // byte written past it.
    const uint32_t length = parameter;
    std::vector<uint8_t> dest(length);
    CheckResult(EPRead(0x1000, dest.data(), length));
}

void RunEPWrite(uint8_t parameter) {
    std::vector<uint8_t> data(parameter, 0x5A);
    CheckResult(EPWrite(0, data.data(), parameter));
}

void RunCheckProgrammable(uint8_t parameter) {
    std::vector<uint8_t> data(parameter, 0xC3);
    CheckResult(CheckProgrammable(0, data.data(), parameter));
}

void RunEraseSectorSet(uint8_t) {
    CheckResult(EraseSectorSet(0x10000, 0x10000));
}
void RunEPClose(uint8_t) {
    CheckResult(EPClose());
}

void RunGetFlashSize(uint8_t) {
    uint32_t size = 0;
    CheckResult(GetFlashSize(&size));
}

void RunGetSectorCount(uint8_t) {
    uint32_t count = 0;
    CheckResult(GetSectorCount(&count));
}

void RunSectorSetInfo(uint8_t parameter) {
    uint32_t start = 0, size = 0;
    CheckResult(SectorSetInfo(parameter, &start, &size));
}

void RunCheckBlank(uint8_t) {
    CheckResult(CheckBlank(0, 482008));
}
void RunSetProgramBufferSize(uint8_t) {
    CheckResult(SetProgramBufferSize(32));
}

void RunGetAgentVersion(uint8_t parameter) {
    const uint32_t capacity = parameter % 80;
    std::vector<uint8_t> storage(capacity + GUARD_BYTES, GUARD);
    char* buffer = reinterpret_cast<char*>(storage.data());
    const uint32_t result = GetAgentVersion(buffer, capacity);
    Check(Intact(storage.data() + capacity, GUARD_BYTES));
    if (result != LINK_EXCHANGE_FAILED) Check(Terminated(buffer, capacity));
    CheckResult(result);
}

void RunCalculateFlashCRC16(uint8_t) {
    uint16_t crc = 0;
    CheckResult(CalculateFlashCRC16(0, 482008, 0xFFFF, &crc));
}

const Command Commands[] = {
    {AGENT_OPEN + 1, RunEPOpen},
    {AGENT_OPEN_WITH_INFO + 1, RunEPOpenWithInfo},
    {AGENT_READ + 1, RunEPRead},
    {AGENT_WRITE + 1, RunEPWrite},
    {AGENT_CHECK_PROGRAMMABLE + 1, RunCheckProgrammable},
    {AGENT_ERASE_SECTOR_SET + 1, RunEraseSectorSet},
    {AGENT_CLOSE + 1, RunEPClose},
    {AGENT_GET_FLASH_SIZE + 1, RunGetFlashSize},
    {AGENT_GET_SECTOR_COUNT + 1, RunGetSectorCount},
    {AGENT_SECTOR_SET_INFO + 1, RunSectorSetInfo},
    {AGENT_CHECK_BLANK + 1, RunCheckBlank},
    {AGENT_SET_PROGRAM_BUFFER_SIZE + 1, RunSetProgramBufferSize},
    {AGENT_GET_VERSION + 1, RunGetAgentVersion},
    {AGENT_CALCULATE_CRC16 + 1, RunCalculateFlashCRC16},
};
constexpr size_t COMMAND_COUNT = sizeof Commands / sizeof Commands[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 2 + PACKET_MAX_RESPONSE) return 0;
    const uint8_t selector = data[0];
    const uint8_t parameter = data[1];
    const Command& command = Commands[(selector & 0x7F) % COMMAND_COUNT];

    std::vector<uint8_t> payload;
    // High bit: the answer code comes from the input too, so wrong codes are
    // tried as well.
    if ((selector & 0x80) == 0) payload.push_back(command.answerCode);
    payload.insert(payload.end(), data + 2, data + size);
    if (payload.size() > PACKET_MAX_RESPONSE) return 0;

    FakeLineReset();
    PacketReset();
    SerialReset();
    AgentReset();
    Check(SerialOpen("FUZZ", 115200) == 1);
    // The answer under test goes first; commands that exchange more than
    // once (a second chunk, request 26) find what they queued after it, or
    // time out on the virtual clock.
    QueueAnswer(payload);
    command.run(parameter);
    SerialClose();
    return 0;
}
