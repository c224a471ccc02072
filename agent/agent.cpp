// SPDX-License-Identifier: Apache-2.0
#include "agent/agent.h"

#include <cstring>

#include "link/packet.h"
#include "link/retry.h"
#include "link/status.h"

namespace {

uint32_t LastStatus = AGENT_OK;
// Repeats the last exchange needed (0: it went through, or failed, at once).
uint32_t LastRepeats = 0;
// What a technician needs after a failed write or erase, and the codes the
// last open read.
uint32_t FailedStatus = AGENT_OK;
uint32_t FailedAddress = 0;
uint16_t ReadDeviceId = 0;
uint16_t ReadMakerId = 0;
uint32_t EraseWaitMs = FLASH_ERASE_UNKNOWN_MS;

// The answer's code byte and status word.
constexpr uint32_t ANSWER_HEADER = 5;

// Whether a repeat of each command is safe as the agent behaves, and what
// the host does where a repeat finds the first attempt's effect.
constexpr AgentRepeatRule REPEAT_RULES[] = {
    // A repeat after a lost answer finds the part open: closed and opened again.
    {AGENT_OPEN, AGENT_REPEAT_REOPEN},
    // Programming the same bytes again leaves the same cells (bits only go
    // from 1 to 0), and the agent's read-back compares with the data.
    {AGENT_WRITE, AGENT_REPEAT_SAFE},
    {AGENT_READ, AGENT_REPEAT_SAFE},
    // Erasing an erased sector leaves it erased.
    {AGENT_ERASE_SECTOR_SET, AGENT_REPEAT_SAFE},
    // A repeat that finds the flash closed counts as closed.
    {AGENT_CLOSE, AGENT_REPEAT_CLOSED_OK},
    {AGENT_GET_FLASH_SIZE, AGENT_REPEAT_SAFE},
    {AGENT_GET_SECTOR_COUNT, AGENT_REPEAT_SAFE},
    {AGENT_SECTOR_SET_INFO, AGENT_REPEAT_SAFE},
    {AGENT_CHECK_PROGRAMMABLE, AGENT_REPEAT_SAFE},
    {AGENT_CHECK_BLANK, AGENT_REPEAT_SAFE},
    // Sets the same size again.
    {AGENT_SET_PROGRAM_BUFFER_SIZE, AGENT_REPEAT_SAFE},
    {AGENT_GET_VERSION, AGENT_REPEAT_SAFE},
    {AGENT_CALCULATE_CRC16, AGENT_REPEAT_SAFE},
    {AGENT_OPEN_WITH_INFO, AGENT_REPEAT_REOPEN},
};

// The exchange with the fields given as callables; see AgentExchange. Sent
// again after a failure on the line when the command allows it and repeats
// are asked for.
template <typename Put, typename Get>
int Exchange(uint8_t code, Put put, Get get, uint32_t answerWaitMs = 0) {
    const auto attempt = [&] {
        PacketRewind();
        PutU8(code);
        put();
        if (PacketTransactWaiting(answerWaitMs) != 1) return 0;
        if (GetU8() != static_cast<uint8_t>(code + 1)) {
            PacketSetFault(LINK_FAULT_WRONG_CODE);
            return 0;
        }
        // An answer too short for a status word leaves the previous one
        // standing rather than picking up stale buffer bytes.
        if (ResponseLength() < ANSWER_HEADER) {
            PacketSetFault(LINK_FAULT_BAD_FIELDS);
            return 0;
        }
        LastStatus = GetU32();
        if (get() != 1 || PacketConsumedExactly() != 1) {
            PacketSetFault(LINK_FAULT_BAD_FIELDS);
            return 0;
        }
        return 1;
    };
    return LinkWithRepeats(code, AgentRepeatRuleOf(code) != AGENT_REPEAT_NEVER, attempt,
                           &LastRepeats);
}

uint32_t Result(int exchanged) {
    return exchanged == 1 ? LastStatus : LINK_EXCHANGE_FAILED;
}

// Request code, address, chunk length and nothing else for the fields of one
// chunk; `data` adds the chunk's bytes to the request, `read` takes them from
// the answer.
template <typename Data, typename Read>
uint32_t Chunked(uint8_t code, uint32_t address, uint32_t length, Data data, Read read) {
    // Nothing to move: the previous command's status stands.
    if (length == 0) return LastStatus;
    uint32_t done = 0;
    while (done < length) {
        const uint32_t remaining = length - done;
        const uint32_t chunk = remaining < AGENT_CHUNK_SIZE ? remaining : AGENT_CHUNK_SIZE;
        const int exchanged = Exchange(
            code,
            [&] {
                PutU32(address + done);
                PutU32(chunk);
                data(done, chunk);
            },
            [&] { return read(done, chunk); });
        if (exchanged != 1 || LastStatus != AGENT_OK) {
            FailedStatus = LastStatus;
            FailedAddress = address + done;
            return exchanged != 1 ? LINK_EXCHANGE_FAILED : LastStatus;
        }
        done += chunk;
    }
    return AGENT_OK;
}

// Whether text has its NUL within a name buffer.
bool NameFits(const char* text) {
    if (text == nullptr) return false;
    for (uint32_t i = 0; i < FLASH_NAME_BUFFER_SIZE; ++i) {
        if (text[i] == '\0') return true;
    }
    return false;
}

}  // namespace

bool FlashAnswerFits(const FlashInfo& info, uint32_t busWidthUnits, uint32_t baseOffset) {
    if (busWidthUnits != 1 && busWidthUnits != 2) return false;
    if (uint64_t{baseOffset} + uint64_t{info.Size} * busWidthUnits > AGENT_MAX_FLASH_BYTES) {
        return false;
    }
    uint64_t sectors = 0;
    for (uint32_t i = 0; i < info.SectorSetCount && i < MAX_SECTOR_SETS; ++i) {
        sectors += uint64_t{info.SectorSets[i].SectorCount} * info.SectorSets[i].SectorSize;
    }
    // Runs that cover less would leave the erase loop asking for sectors
    // past the last; runs that cover more describe flash that is not there.
    return sectors == info.Size;
}

int AgentExchange(uint8_t code, AgentFieldsFn put, AgentFieldsFn get, void* context) {
    return Exchange(
        code,
        [&] {
            if (put != nullptr) (void)put(context);
        },
        [&] { return get != nullptr ? get(context) : 1; });
}

uint32_t EPOpen(uint32_t chipSelect, uint32_t baseOffset, uint32_t* busWidthUnits,
                FlashInfo* info) {
    const auto open = [&] {
        return Exchange(
            AGENT_OPEN,
            [&] {
                PutU32(chipSelect);
                PutU32(baseOffset);
                PutU32(0);  // option masks
                PutU32(0);
            },
            [&] {
                *busWidthUnits = GetU32();
                (void)GetU32();  // Flags bit 0, carried again in Flags below
                if (GetString(info->PartName, FLASH_NAME_BUFFER_SIZE) != 1) return 0;
                if (GetString(info->MakerName, FLASH_NAME_BUFFER_SIZE) != 1) return 0;
                info->DeviceId = GetU16();
                info->MakerId = GetU16();
                info->Size = GetU32();
                const uint8_t count = GetU8();
                if (count > MAX_SECTOR_SETS) {
                    // More runs than the caller has room for: refuse the answer
                    // rather than leave a count that overstates the array.
                    info->SectorSetCount = 0;
                    return 0;
                }
                info->SectorSetCount = count;
                for (uint32_t i = 0; i < count; ++i) {
                    info->SectorSets[i].SectorCount = GetU32();
                    info->SectorSets[i].SectorSize = GetU32();
                }
                info->CommandSet = GetU8();
                info->Flags = GetU16();
                return 1;
            });
    };
    int exchanged = open();
    // A repeat that finds the part open means an earlier attempt opened it
    // and its answer was lost: closed, and opened once more for the answer.
    if (exchanged == 1 && LastRepeats > 0 && LastStatus == AGENT_ALREADY_OPEN) {
        if (EPClose() != AGENT_OK) return LINK_EXCHANGE_FAILED;
        exchanged = open();
    }
    if (exchanged != 1) return LINK_EXCHANGE_FAILED;
    ReadDeviceId = info->DeviceId;
    ReadMakerId = info->MakerId;
    if (LastStatus != AGENT_OK) return LastStatus;
    // Callers size back-ups and loops from these figures.
    if (!FlashAnswerFits(*info, *busWidthUnits, baseOffset)) return LINK_ANSWER_OUT_OF_RANGE;
    EraseWaitMs = FlashEraseMaxMs(info->MakerId, info->DeviceId);
    return SetProgramBufferSize(*busWidthUnits << 5);
}

uint32_t EPOpenWithInfo(uint32_t chipSelect, uint32_t baseOffset, const FlashInfo* info,
                        uint32_t* busWidthUnits) {
    // The agent's record has the same limits as the caller's storage.
    if (!NameFits(info->PartName) || !NameFits(info->MakerName) ||
        info->SectorSetCount > MAX_SECTOR_SETS) {
        return LINK_EXCHANGE_FAILED;
    }
    const int exchanged = Exchange(
        AGENT_OPEN_WITH_INFO,
        [&] {
            PutU32(chipSelect);
            PutU32(baseOffset);
            PutU32(0);  // option masks
            PutU32(0);
            PutString(info->PartName);
            PutString(info->MakerName);
            PutU16(info->DeviceId);
            PutU16(info->MakerId);
            PutU32(info->Size);
            PutU8(info->SectorSetCount);
            for (uint32_t i = 0; i < info->SectorSetCount; ++i) {
                PutU32(info->SectorSets[i].SectorCount);
                PutU32(info->SectorSets[i].SectorSize);
            }
            PutU8(info->CommandSet);
            PutU16(info->Flags);
        },
        [&] {
            *busWidthUnits = GetU32();
            (void)GetU32();  // Flags bit 0
            return 1;
        });
    if (exchanged != 1) return LINK_EXCHANGE_FAILED;
    if (LastStatus != AGENT_OK) return LastStatus;
    return SetProgramBufferSize(*busWidthUnits << 5);
}

uint32_t EPWrite(uint32_t address, const uint8_t* data, uint32_t length) {
    return Chunked(
        AGENT_WRITE, address, length, [&](uint32_t at, uint32_t n) { PutBytes(data + at, n); },
        [](uint32_t, uint32_t) { return 1; });
}

uint32_t EPRead(uint32_t address, uint8_t* dest, uint32_t length) {
    return Chunked(
        AGENT_READ, address, length, [](uint32_t, uint32_t) {},
        [&](uint32_t at, uint32_t n) {
            GetBytes(dest + at, n);
            return 1;
        });
}

uint32_t CheckProgrammable(uint32_t address, const uint8_t* data, uint32_t length) {
    return Chunked(
        AGENT_CHECK_PROGRAMMABLE, address, length,
        [&](uint32_t at, uint32_t n) { PutBytes(data + at, n); },
        [](uint32_t, uint32_t) { return 1; });
}

uint32_t EraseSectorSet(uint32_t start, uint32_t size) {
    // The answer comes when the part has finished: awaited as long as its
    // maker allows a sector erase to take.
    const uint32_t result = Result(Exchange(
        AGENT_ERASE_SECTOR_SET,
        [&] {
            PutU32(start);
            PutU32(size);
        },
        [] { return 1; }, EraseWaitMs + FLASH_ERASE_MARGIN_MS));
    if (result != AGENT_OK) {
        FailedStatus = LastStatus;
        FailedAddress = start;
    }
    return result;
}

uint32_t EPClose() {
    const int exchanged = Exchange(
        AGENT_CLOSE, [] {}, [] { return 1; });
    // Closed by the attempt whose answer was lost.
    if (exchanged == 1 && LastRepeats > 0 && LastStatus == AGENT_NOT_OPEN) LastStatus = AGENT_OK;
    return Result(exchanged);
}

uint32_t GetFlashSize(uint32_t* sizeOut) {
    return Result(Exchange(
        AGENT_GET_FLASH_SIZE, [] {},
        [&] {
            *sizeOut = GetU32();
            return 1;
        }));
}

uint32_t GetSectorCount(uint32_t* countOut) {
    return Result(Exchange(
        AGENT_GET_SECTOR_COUNT, [] {},
        [&] {
            *countOut = GetU32();
            return 1;
        }));
}

uint32_t SectorSetInfo(uint32_t index, uint32_t* start, uint32_t* size) {
    return Result(Exchange(
        AGENT_SECTOR_SET_INFO, [&] { PutU32(index); },
        [&] {
            *start = GetU32();
            *size = GetU32();
            return 1;
        }));
}

uint32_t CheckBlank(uint32_t address, uint32_t length) {
    return Result(Exchange(
        AGENT_CHECK_BLANK,
        [&] {
            PutU32(address);
            PutU32(length);
        },
        [] { return 1; }));
}

uint32_t SetProgramBufferSize(uint32_t length) {
    return Result(Exchange(
        AGENT_SET_PROGRAM_BUFFER_SIZE, [&] { PutU32(length); }, [] { return 1; }));
}

uint32_t GetAgentVersion(char* buffer, uint32_t capacity) {
    return Result(Exchange(
        AGENT_GET_VERSION, [] {}, [&] { return GetString(buffer, capacity); }));
}

uint32_t CalculateFlashCRC16(uint32_t address, uint32_t length, uint16_t initial,
                             uint16_t* crcOut) {
    return Result(Exchange(
        AGENT_CALCULATE_CRC16,
        [&] {
            PutU32(address);
            PutU32(length);
            PutU16(initial);
        },
        [&] {
            *crcOut = GetU16();
            return 1;
        }));
}

uint32_t GetVersion(char* buffer, uint32_t capacity) {
    if (capacity == 0) return LINK_EXCHANGE_FAILED;
    const uint32_t needed = static_cast<uint32_t>(std::strlen(AGENT_VERSION)) + 1;
    const uint32_t copied = needed <= capacity ? needed : capacity;
    std::memcpy(buffer, AGENT_VERSION, copied - 1);
    buffer[copied - 1] = '\0';
    return copied == needed ? AGENT_OK : LINK_EXCHANGE_FAILED;
}

uint32_t AgentStatus() {
    return LastStatus;
}
void AgentReset() {
    LastStatus = AGENT_OK;
    LastRepeats = 0;
    FailedStatus = AGENT_OK;
    FailedAddress = 0;
    ReadDeviceId = 0;
    ReadMakerId = 0;
    EraseWaitMs = FLASH_ERASE_UNKNOWN_MS;
}

uint32_t AgentFailedStatus() {
    return FailedStatus;
}
uint32_t AgentFailedAddress() {
    return FailedAddress;
}
void AgentReadIds(uint16_t* deviceId, uint16_t* makerId) {
    *deviceId = ReadDeviceId;
    *makerId = ReadMakerId;
}
uint32_t AgentEraseWaitMs() {
    return EraseWaitMs;
}

AgentRepeat AgentRepeatRuleOf(uint8_t code) {
    for (const AgentRepeatRule& rule : REPEAT_RULES) {
        if (rule.code == code) return rule.repeat;
    }
    return AGENT_REPEAT_NEVER;
}

uint32_t FlashEraseMaxMs(uint16_t makerId, uint16_t deviceId) {
    // The makers' datasheet maxima for one sector (block) erase. Keyed by the
    // maker where one figure holds for the maker's parts in the agent's
    // table, by the part where the family matters.
    struct Row {
        uint16_t maker;
        uint16_t device;  // 0: every part of the maker
        uint32_t ms;
    };
    static constexpr Row ROWS[] = {
        {0x0001, 0, 15000},      // AMD Am29LV/Am29DL: 0.7 s typical, 15 s
        {0x00C2, 0, 15000},      // Macronix MX29LV: 0.7 s typical, 15 s
        {0x0004, 0, 10000},      // Fujitsu MBM29LV160: 1 s typical, 10 s
        {0x0089, 0, 5000},       // Intel 28F B3/C3 main block: 1 s typical, 5 s
        {0x00BF, 0, 25},         // SST39VF 4-KB sector: 18 ms typical, 25 ms
        {0x0020, 0x225B, 6000},  // ST M29W800D: 0.8 s typical, 6 s
        {0x0020, 0x22D7, 6000},  // ST M29W800D
        {0x0020, 0x2249, 6000},  // ST M29W160E: 0.8 s typical, 6 s
        {0x0020, 0x22C4, 6000},  // ST M29W160E
    };
    for (const Row& row : ROWS) {
        if (row.maker == makerId && (row.device == 0 || row.device == deviceId)) return row.ms;
    }
    return FLASH_ERASE_UNKNOWN_MS;
}
