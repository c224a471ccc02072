// SPDX-License-Identifier: Apache-2.0
#include "agent/agent.h"

#include <cstring>

#include "link/packet.h"
#include "link/status.h"

namespace {

uint32_t LastStatus = AGENT_OK;

// The answer's code byte and status word.
constexpr uint32_t ANSWER_HEADER = 5;

// The exchange with the fields given as callables; see AgentExchange.
template <typename Put, typename Get>
int Exchange(uint8_t code, Put put, Get get) {
    PacketRewind();
    PutU8(code);
    put();
    if (PacketTransact() != 1) return 0;
    if (GetU8() != static_cast<uint8_t>(code + 1)) return 0;
    // An answer too short for a status word leaves the previous one standing
    // rather than picking up stale buffer bytes.
    if (ResponseLength() < ANSWER_HEADER) return 0;
    LastStatus = GetU32();
    if (get() != 1) return 0;
    return PacketConsumedExactly();
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
        if (exchanged != 1) return LINK_EXCHANGE_FAILED;
        if (LastStatus != AGENT_OK) return LastStatus;
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
    return sectors <= info.Size;
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
    const int exchanged = Exchange(
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
    if (exchanged != 1) return LINK_EXCHANGE_FAILED;
    if (LastStatus != AGENT_OK) return LastStatus;
    // Callers size back-ups and loops from these figures.
    if (!FlashAnswerFits(*info, *busWidthUnits, baseOffset)) return LINK_ANSWER_OUT_OF_RANGE;
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
    return Result(Exchange(
        AGENT_ERASE_SECTOR_SET,
        [&] {
            PutU32(start);
            PutU32(size);
        },
        [] { return 1; }));
}

uint32_t EPClose() {
    return Result(Exchange(
        AGENT_CLOSE, [] {}, [] { return 1; }));
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
}
