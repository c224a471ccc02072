// SPDX-License-Identifier: Apache-2.0
// The flash agent: one function per command, found by its code in one table.
// A command reads its request, leaves its answer in the call's writer and
// says whether it was served, malformed or already answered (a disconnect or
// a power loss answers in its own way).
#include <algorithm>
#include <array>

#include "receiver/state.h"

namespace {

// Base offsets the agent maps the flash at are multiples of its window.
constexpr uint32_t AGENT_FLASH_WINDOW = 0x20000;
// Largest answer payload: code, status word and the data of a read.
constexpr size_t MAX_ANSWER_PAYLOAD = 1287;
constexpr uint32_t ANSWER_FIXED_BYTES = 5;
const char AGENT_VERSION_TEXT[] = "2.0";

enum class Served { Answer, Malformed, Answered };

// One request as a command sees it.
struct AgentCall {
    ReceiverState& s;
    uint32_t frame;
    double done;
    uint8_t code;
    SimReader r;
    SimWriter w;
    double workMs = 0;
};

bool SupportedProcessor(uint8_t chipId) {
    return chipId == 0x20 || chipId == 0x22 || chipId == 0x23 || chipId == 0x30 || chipId == 0x35;
}

SectorMap Sectors(const ReceiverState& s) {
    return SectorMap{&s.part, s.units};
}

bool RangeOk(const ReceiverState& s, uint32_t address, uint32_t length) {
    return uint64_t{address} + length <= s.flashSize;
}

// Identification codes as the agent reads them at the chip select.
void ReadIds(const ReceiverState& s, uint32_t chipSelect, uint32_t baseOffset, uint16_t* device,
             uint16_t* maker, bool* partsDiffer) {
    const ReceiverFaults& faults = s.config.faults;
    *partsDiffer = false;
    if (chipSelect != s.config.flashChipSelect || baseOffset != 0 || s.physical == nullptr ||
        faults.noFlash) {
        *device = 0xFFFF;
        *maker = 0xFFFF;
        return;
    }
    *device = faults.overrideIds ? faults.deviceId : s.physical->deviceId;
    *maker = faults.overrideIds ? faults.makerId : s.physical->makerId;
    *partsDiffer = s.units == 2 && faults.mismatchedParts;
}

// The request fields and checks both opens share, in the agent's order.
// Fills units and the codes read as far as it gets.
struct OpenRequest {
    uint32_t chipSelect = 0, baseOffset = 0, mask1 = 0, mask2 = 0;
    uint32_t busUnits = 0;
    uint16_t device = 0, maker = 0;

    bool Read(SimReader& r) {
        return r.U32(&chipSelect) && r.U32(&baseOffset) && r.U32(&mask1) && r.U32(&mask2);
    }

    uint32_t Check(ReceiverState& s) {
        if (s.open) return SIM_AGENT_ALREADY_OPEN;
        if (!SupportedProcessor(s.config.chipId)) return SIM_AGENT_UNSUPPORTED_CHIP;
        if (chipSelect > 7) return SIM_AGENT_BAD_CHIP_SELECT;
        auto option = [](uint32_t mask) {
            const uint32_t low = mask & 0xFF;
            return low == 0xFF ? 3u : low;
        };
        const uint32_t o1 = option(mask1), o2 = option(mask2);
        if (o1 > 3 || o2 > 3 || (o1 & o2) != 0) return SIM_AGENT_BAD_OPTIONS;
        const unsigned width = chipSelect == s.config.flashChipSelect ? s.config.busWidth : 16;
        if (width != 16 && width != 32) return SIM_AGENT_BAD_BUS_WIDTH;
        s.units = width / 16;
        busUnits = s.units;
        if (baseOffset % AGENT_FLASH_WINDOW != 0) return SIM_AGENT_BAD_RANGE;
        bool differ = false;
        ReadIds(s, chipSelect, baseOffset, &device, &maker, &differ);
        if ((device == 0 && maker == 0) || (device == 0xFFFF && maker == 0xFFFF) || differ) {
            return SIM_AGENT_NO_FLASH;
        }
        return SIM_AGENT_OK;
    }
};

void Opened(ReceiverState& s, const FlashPart& description) {
    s.open = true;
    s.part = description;
    s.flashSize = uint64_t{s.part.size} * s.units;
    s.programBuffer = 2 * s.units;
}

void PutInfo(SimWriter& w, const FlashPart& p) {
    w.String(p.name);
    w.String(p.maker);
    w.U16(p.deviceId);
    w.U16(p.makerId);
    w.U32(p.size);
    w.U8(static_cast<uint8_t>(p.runs.size()));
    for (const FlashRun& run : p.runs) {
        w.U32(run.count);
        w.U32(run.size);
    }
    w.U8(static_cast<uint8_t>(p.commandSet));
    w.U16(p.flags);
}

bool ReadInfo(SimReader& r, FlashPart* p) {
    uint8_t count = 0, commandSet = 0;
    if (!r.String(&p->name) || !r.String(&p->maker) || !r.U16(&p->deviceId) ||
        !r.U16(&p->makerId) || !r.U32(&p->size) || !r.U8(&count)) {
        return false;
    }
    p->runs.resize(count);
    for (FlashRun& run : p->runs) {
        if (!r.U32(&run.count) || !r.U32(&run.size)) return false;
    }
    if (!r.U8(&commandSet) || !r.U16(&p->flags)) return false;
    p->commandSet = static_cast<char>(commandSet);
    return true;
}

// The status of a command on the range [address, address + count).
uint32_t RangeStatus(const ReceiverState& s, uint32_t address, uint32_t count) {
    if (!s.open) return SIM_AGENT_NOT_OPEN;
    if (!RangeOk(s, address, count)) return SIM_AGENT_BAD_RANGE;
    return SIM_AGENT_OK;
}

Served EpOpen(AgentCall& c) {
    OpenRequest open;
    if (!open.Read(c.r) || !c.r.AtEnd()) return Served::Malformed;
    uint32_t status = open.Check(c.s);
    const FlashPart* row = nullptr;
    if (status == SIM_AGENT_OK) {
        row = FindFlashPartById(open.device, open.maker);
        if (row == nullptr) status = SIM_AGENT_UNKNOWN_FLASH;
    }
    FlashPart shown;
    if (row != nullptr) {
        Opened(c.s, *row);
        shown = *row;
        if (c.s.config.faults.claimedFlashSize != 0)
            shown.size = c.s.config.faults.claimedFlashSize;
    } else if (status == SIM_AGENT_UNKNOWN_FLASH) {
        shown.deviceId = open.device;
        shown.makerId = open.maker;
        shown.commandSet = 0;
    } else {
        shown.commandSet = 0;
    }
    c.w.U32(status);
    c.w.U32(open.busUnits);
    c.w.U32(shown.flags & 1u);
    PutInfo(c.w, shown);
    return Served::Answer;
}

Served EpOpenWithInfo(AgentCall& c) {
    OpenRequest open;
    FlashPart given;
    if (!open.Read(c.r) || !ReadInfo(c.r, &given) || !c.r.AtEnd()) return Served::Malformed;
    uint32_t status = open.Check(c.s);
    if (status == SIM_AGENT_OK && (given.deviceId != open.device || given.makerId != open.maker)) {
        status = SIM_AGENT_ID_MISMATCH;
    }
    if (status == SIM_AGENT_OK) {
        uint64_t sum = 0;
        for (const FlashRun& run : given.runs) sum += uint64_t{run.count} * run.size;
        // The agent's record has room for 63-character names and 6 runs; a
        // part larger than the one on the bus has no cells to address.
        if (sum != given.size || (given.commandSet != 'A' && given.commandSet != 'I') ||
            given.name.size() > 63 || given.maker.size() > 63 || given.runs.size() > 6 ||
            given.size > c.s.physical->size) {
            status = SIM_AGENT_BAD_DESCRIPTION;
        }
    }
    if (status == SIM_AGENT_OK) Opened(c.s, given);
    c.w.U32(status);
    c.w.U32(open.busUnits);
    c.w.U32(status == SIM_AGENT_OK ? given.flags & 1u : 0u);
    return Served::Answer;
}

// Programs in pieces of the program buffer, each verified before the next.
uint32_t Program(ReceiverState& s, uint32_t address, const uint8_t* data, uint32_t count) {
    for (uint32_t offset = 0; offset < count; offset += s.programBuffer) {
        const uint32_t piece = std::min(s.programBuffer, count - offset);
        for (uint32_t i = offset; i < offset + piece; ++i) {
            const uint64_t a = uint64_t{address} + i;
            if (static_cast<int64_t>(a) == s.config.faults.writeFailAddress) {
                s.Log("  program times out (fault)");
                return SIM_AGENT_WRITE_FAILED;
            }
            s.flash.Program(a, data[i]);
        }
        for (uint32_t i = offset; i < offset + piece; ++i) {
            if (s.flash.Cell(uint64_t{address} + i) != data[i]) return SIM_AGENT_WRITE_FAILED;
        }
    }
    return SIM_AGENT_OK;
}

// EPWrite and CheckProgrammable share their request: address, count, data.
bool ReadData(AgentCall& c, uint32_t* address, uint32_t* count, const uint8_t** data) {
    return c.r.U32(address) && c.r.U32(count) && c.r.Bytes(*count, data) && c.r.AtEnd();
}

Served EpWrite(AgentCall& c) {
    uint32_t address = 0, count = 0;
    const uint8_t* data = nullptr;
    if (!ReadData(c, &address, &count, &data)) return Served::Malformed;
    uint32_t status = RangeStatus(c.s, address, count);
    if (status == SIM_AGENT_OK) status = Program(c.s, address, data, count);
    c.w.U32(status);
    if (++c.s.counters.writes == c.s.config.faults.powerLossAfterWrite) {
        c.s.PowerLoss(c.frame, c.done);
        return Served::Answered;
    }
    return Served::Answer;
}

Served CheckProgrammable(AgentCall& c) {
    uint32_t address = 0, count = 0;
    const uint8_t* data = nullptr;
    if (!ReadData(c, &address, &count, &data)) return Served::Malformed;
    uint32_t status = RangeStatus(c.s, address, count);
    for (uint32_t i = 0; status == SIM_AGENT_OK && i < count; ++i) {
        if ((data[i] & ~c.s.flash.Cell(uint64_t{address} + i) & 0xFF) != 0) {
            status = SIM_AGENT_NOT_PROGRAMMABLE;
        }
    }
    c.w.U32(status);
    return Served::Answer;
}

Served EpRead(AgentCall& c) {
    uint32_t address = 0, count = 0;
    if (!c.r.U32(&address) || !c.r.U32(&count) || !c.r.AtEnd() ||
        count > MAX_ANSWER_PAYLOAD - ANSWER_FIXED_BYTES) {
        return Served::Malformed;
    }
    const uint32_t status = RangeStatus(c.s, address, count);
    c.w.U32(status);
    for (uint32_t i = 0; i < count; ++i) {
        c.w.U8(status == SIM_AGENT_OK ? c.s.flash.Cell(uint64_t{address} + i) : 0);
    }
    return Served::Answer;
}

Served EraseSectorSet(AgentCall& c) {
    ReceiverState& s = c.s;
    uint32_t start = 0, size = 0;
    if (!c.r.U32(&start) || !c.r.U32(&size) || !c.r.AtEnd()) return Served::Malformed;
    uint32_t status = SIM_AGENT_OK;
    uint32_t index = 0;
    uint64_t sectorStart = 0, sectorSize = 0;
    if (!s.open) {
        status = SIM_AGENT_NOT_OPEN;
    } else if (start >= s.flashSize || !Sectors(s).At(start, &index, &sectorStart, &sectorSize) ||
               sectorStart != start) {
        status = SIM_AGENT_BAD_RANGE;
    } else if (sectorSize != size) {
        status = SIM_AGENT_BAD_SECTOR_SIZE;
    } else {
        c.workMs = s.config.eraseDelayMs;
        if (int64_t{index} == s.config.faults.eraseFailSector) {
            s.Log("  erase times out (fault)");
            status = SIM_AGENT_ERASE_FAILED;
        } else if (++s.erases == s.config.faults.powerLossDuringErase) {
            // The erase pulse stops half way: the sector is neither old nor blank.
            s.flash.Erase(start, size, size / 2);
            s.PowerLoss(c.frame, c.done);
            return Served::Answered;
        } else {
            s.flash.Erase(start, size, size);
            if (!s.flash.Blank(start, size)) status = SIM_AGENT_ERASE_FAILED;
        }
    }
    c.w.U32(status);
    return Served::Answer;
}

Served EpClose(AgentCall& c) {
    if (!c.r.AtEnd()) return Served::Malformed;
    c.s.open = false;
    c.w.U32(SIM_AGENT_OK);
    return Served::Answer;
}

// GetFlashSize and GetSectorCount: one number of the open part.
Served PartNumber(AgentCall& c, uint32_t value) {
    if (!c.r.AtEnd()) return Served::Malformed;
    c.w.U32(c.s.open ? SIM_AGENT_OK : SIM_AGENT_NOT_OPEN);
    c.w.U32(c.s.open ? value : 0);
    return Served::Answer;
}

Served GetFlashSize(AgentCall& c) {
    return PartNumber(c, c.s.open ? static_cast<uint32_t>(c.s.flashSize) : 0);
}

Served GetSectorCount(AgentCall& c) {
    return PartNumber(c, c.s.open ? Sectors(c.s).Count() : 0);
}

Served SectorSetInfo(AgentCall& c) {
    uint32_t index = 0;
    if (!c.r.U32(&index) || !c.r.AtEnd()) return Served::Malformed;
    uint64_t start = 0, size = 0;
    uint32_t status = SIM_AGENT_OK;
    if (!c.s.open) {
        status = SIM_AGENT_NOT_OPEN;
    } else if (!Sectors(c.s).Info(index, &start, &size)) {
        status = SIM_AGENT_BAD_SECTOR_INDEX;
    }
    c.w.U32(status);
    c.w.U32(static_cast<uint32_t>(start));
    c.w.U32(static_cast<uint32_t>(size));
    return Served::Answer;
}

Served CheckBlank(AgentCall& c) {
    uint32_t address = 0, count = 0;
    if (!c.r.U32(&address) || !c.r.U32(&count) || !c.r.AtEnd()) return Served::Malformed;
    uint32_t status = RangeStatus(c.s, address, count);
    if (status == SIM_AGENT_OK && !c.s.flash.Blank(address, count)) status = SIM_AGENT_NOT_BLANK;
    c.w.U32(status);
    return Served::Answer;
}

Served SetProgramBufferSize(AgentCall& c) {
    uint32_t size = 0;
    if (!c.r.U32(&size) || !c.r.AtEnd()) return Served::Malformed;
    uint32_t status = SIM_AGENT_OK;
    if (!c.s.open) {
        status = SIM_AGENT_NOT_OPEN;
    } else if (c.s.units == 1 ? (size < 2 || size > 32 || size % 2 != 0)
                              : (size < 4 || size > 64 || size % 4 != 0)) {
        status = SIM_AGENT_BAD_BUFFER_SIZE;
    } else {
        c.s.programBuffer = size;
    }
    c.w.U32(status);
    return Served::Answer;
}

Served GetAgentVersion(AgentCall& c) {
    if (!c.r.AtEnd()) return Served::Malformed;
    c.w.U32(SIM_AGENT_OK);
    c.w.String(AGENT_VERSION_TEXT);
    return Served::Answer;
}

Served CalculateFlashCrc16(AgentCall& c) {
    uint32_t address = 0, count = 0;
    uint16_t crc = 0;
    if (!c.r.U32(&address) || !c.r.U32(&count) || !c.r.U16(&crc) || !c.r.AtEnd()) {
        return Served::Malformed;
    }
    const uint32_t status = RangeStatus(c.s, address, count);
    if (status == SIM_AGENT_OK) {
        // The range lies inside the open part, and no host can describe a
        // part larger than the flash: one request's work is bounded by the
        // flash size. (A flash configured to answer a larger part's codes
        // wraps around, as its address lines do.)
        const std::vector<uint8_t>& cells = c.s.flash.Cells();
        if (uint64_t{address} + count <= cells.size()) {
            crc = SimCrc16(cells.data() + address, count, crc);
        } else {
            for (uint32_t i = 0; i < count; ++i) {
                const uint8_t byte = c.s.flash.Cell(uint64_t{address} + i);
                crc = SimCrc16(&byte, 1, crc);
            }
        }
        if (c.s.config.faults.crcOffByOne) crc = static_cast<uint16_t>(crc + 1);
    }
    c.w.U32(status);
    c.w.U16(crc);
    return Served::Answer;
}

Served Disconnect(AgentCall& c) {
    ReceiverState& s = c.s;
    if (!c.r.AtEnd()) return Served::Malformed;
    const bool answered = s.Respond(c.frame, c.done, s.config.ackDelayMs, std::move(c.w.Result()));
    ++s.counters.disconnects;
    if (!s.config.flashDumpPath.empty()) {
        std::string error;
        if (!s.WriteFile(s.config.flashDumpPath, &error)) s.Log("  " + error);
    }
    if (s.config.bootRomAfterDisconnect) {
        s.AfterAcknowledgement(answered, ReceiverState::AfterAck::BootRom);
    }
    return Served::Answered;
}

struct Command {
    uint8_t code;
    Served (*serve)(AgentCall& call);
};

const Command Commands[] = {
    {6, EpOpen},
    {8, EpWrite},
    {10, EpRead},
    {12, EraseSectorSet},
    {14, EpClose},
    {16, GetFlashSize},
    {18, GetSectorCount},
    {20, SectorSetInfo},
    {22, CheckProgrammable},
    {24, CheckBlank},
    {26, SetProgramBufferSize},
    {28, GetAgentVersion},
    {30, CalculateFlashCrc16},
    {32, EpOpenWithInfo},
    {34, Disconnect},
};

}  // namespace

uint16_t SimCrc16(const uint8_t* data, size_t count, uint16_t crc) {
    // One table step per byte: a CRC over the whole flash is one request's work.
    static const auto table = [] {
        std::array<uint16_t, 256> t{};
        for (unsigned byte = 0; byte < 256; ++byte) {
            uint16_t value = static_cast<uint16_t>(byte);
            for (int bit = 0; bit < 8; ++bit) {
                value = (value & 1) != 0 ? static_cast<uint16_t>((value >> 1) ^ 0xA001)
                                         : static_cast<uint16_t>(value >> 1);
            }
            t[byte] = value;
        }
        return t;
    }();
    for (size_t i = 0; i < count; ++i) {
        crc = static_cast<uint16_t>((crc >> 8) ^ table[(crc ^ data[i]) & 0xFF]);
    }
    return crc;
}

void ReceiverState::AgentFrame(uint32_t n, const uint8_t* payload, size_t length, double done) {
    AgentCall call{*this, n, done, 0, SimReader(payload, length), SimWriter{}};
    call.r.U8(&call.code);
    call.w.U8(static_cast<uint8_t>(call.code + 1));
    Served served = Served::Malformed;
    for (const Command& command : Commands) {
        if (command.code == call.code) served = command.serve(call);
    }
    switch (served) {
        case Served::Answer:
            Respond(n, done, config.ackDelayMs, std::move(call.w.Result()), call.workMs);
            break;
        case Served::Malformed:
            Log("  agent ignores the request");
            Respond(n, done, config.ackDelayMs, std::nullopt);
            break;
        case Served::Answered:
            break;
    }
}
