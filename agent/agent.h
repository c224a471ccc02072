// SPDX-License-Identifier: Apache-2.0
// The flash agent's command set, host side: one request and one answer per
// command, long transfers split into AGENT_CHUNK_SIZE pieces.
//
// Every operation returns 0, the agent's status word, or LINK_EXCHANGE_FAILED
// when the exchange itself failed (transport, answer code, or an answer not
// consumed to the byte).
#pragma once

#include <cstdint>

constexpr uint32_t FLASH_NAME_BUFFER_SIZE = 64;  // name characters plus the NUL
constexpr uint32_t MAX_SECTOR_SETS = 6;
constexpr uint32_t AGENT_CHUNK_SIZE = 1024;
constexpr const char* AGENT_VERSION = "2.0";

// The most flash the agent can address: one chip select's window on the
// receiver's bus (0x40000000 + chip select x 0x01000000). The largest part it
// knows is 2 MiB, 4 MiB as a pair on a 32-bit bus; an open answer that claims
// more than the window, base offset included, cannot be true and is refused
// before anything is sized from it.
constexpr uint32_t AGENT_MAX_FLASH_BYTES = 0x01000000;

// Agent status words.
constexpr uint32_t AGENT_OK = 0;
constexpr uint32_t AGENT_ALREADY_OPEN = 1;
constexpr uint32_t AGENT_BAD_CHIP_SELECT = 2;
constexpr uint32_t AGENT_ERASE_FAILED = 3;
constexpr uint32_t AGENT_WRITE_FAILED = 4;
constexpr uint32_t AGENT_NO_FLASH = 5;
constexpr uint32_t AGENT_NOT_OPEN = 6;
constexpr uint32_t AGENT_UNKNOWN_FLASH = 7;
constexpr uint32_t AGENT_BAD_RANGE = 8;
constexpr uint32_t AGENT_BAD_SECTOR_SIZE = 9;
constexpr uint32_t AGENT_BAD_BUS_WIDTH = 10;
constexpr uint32_t AGENT_NOT_PROGRAMMABLE = 11;
constexpr uint32_t AGENT_NOT_BLANK = 12;
constexpr uint32_t AGENT_BAD_SECTOR_INDEX = 13;
constexpr uint32_t AGENT_BAD_BUFFER_SIZE = 14;
constexpr uint32_t AGENT_BAD_OPTIONS = 15;
constexpr uint32_t AGENT_UNSUPPORTED_CHIP = 16;
constexpr uint32_t AGENT_BAD_DESCRIPTION = 18;
constexpr uint32_t AGENT_ID_MISMATCH = 19;

// Request codes; each answer code is the request code plus 1.
constexpr uint8_t AGENT_OPEN = 6;
constexpr uint8_t AGENT_WRITE = 8;
constexpr uint8_t AGENT_READ = 10;
constexpr uint8_t AGENT_ERASE_SECTOR_SET = 12;
constexpr uint8_t AGENT_CLOSE = 14;
constexpr uint8_t AGENT_GET_FLASH_SIZE = 16;
constexpr uint8_t AGENT_GET_SECTOR_COUNT = 18;
constexpr uint8_t AGENT_SECTOR_SET_INFO = 20;
constexpr uint8_t AGENT_CHECK_PROGRAMMABLE = 22;
constexpr uint8_t AGENT_CHECK_BLANK = 24;
constexpr uint8_t AGENT_SET_PROGRAM_BUFFER_SIZE = 26;
constexpr uint8_t AGENT_GET_VERSION = 28;
constexpr uint8_t AGENT_CALCULATE_CRC16 = 30;
constexpr uint8_t AGENT_OPEN_WITH_INFO = 32;

// A run of SectorCount consecutive sectors of SectorSize bytes.
struct SectorSet {
    uint32_t SectorCount;
    uint32_t SectorSize;
};

// One flash part. The caller owns the storage: two name buffers of
// FLASH_NAME_BUFFER_SIZE bytes and an array of MAX_SECTOR_SETS runs.
struct FlashInfo {
    char* PartName;
    char* MakerName;
    uint16_t DeviceId;
    uint16_t MakerId;
    uint32_t Size;  // of one part; a 32-bit bus carries two
    SectorSet* SectorSets;
    uint8_t SectorSetCount;
    uint8_t CommandSet;  // 'A' or 'I'
    uint16_t Flags;
};

// The exchange every command runs: the code, the fields put by `put`, the
// answer code checked, the status word read into AgentStatus, the fields read
// by `get` (which may return 0 to fail the exchange), and the cursor rule.
// 1 for success, 0 for failure. Either callback may be null.
using AgentFieldsFn = int (*)(void* context);
int AgentExchange(uint8_t code, AgentFieldsFn put, AgentFieldsFn get, void* context);

// Identifies the part at chipSelect / baseOffset and fills busWidthUnits (1
// for a 16-bit bus, 2 for 32) and info; on status 0 sets the program buffer
// to busWidthUnits * 32 bytes. An answer whose names or runs do not fit the
// caller's storage is a failed exchange, and nothing is written past it. A
// status-0 answer that FlashAnswerFits refuses gives LINK_ANSWER_OUT_OF_RANGE
// without the buffer-size request; info then holds what the answer claimed.
uint32_t EPOpen(uint32_t chipSelect, uint32_t baseOffset, uint32_t* busWidthUnits, FlashInfo* info);
// Opens with the caller's description of the part. A description that does
// not fit the agent's room (names of 64 bytes, 6 runs) is refused unsent.
// Whether an open answer describes flash the agent can address: a bus width of
// 1 or 2 units, baseOffset + Size x busWidthUnits (in 64 bits) within
// AGENT_MAX_FLASH_BYTES, and runs whose sectors (count x size, summed in 64
// bits) cover exactly Size.
bool FlashAnswerFits(const FlashInfo& info, uint32_t busWidthUnits, uint32_t baseOffset);
uint32_t EPOpenWithInfo(uint32_t chipSelect, uint32_t baseOffset, const FlashInfo* info,
                        uint32_t* busWidthUnits);
uint32_t EPWrite(uint32_t address, const uint8_t* data, uint32_t length);
// Data is copied also from answers with a non-zero status.
uint32_t EPRead(uint32_t address, uint8_t* dest, uint32_t length);
uint32_t CheckProgrammable(uint32_t address, const uint8_t* data, uint32_t length);
uint32_t EraseSectorSet(uint32_t start, uint32_t size);
uint32_t EPClose();
uint32_t GetFlashSize(uint32_t* sizeOut);
uint32_t GetSectorCount(uint32_t* countOut);
uint32_t SectorSetInfo(uint32_t index, uint32_t* start, uint32_t* size);
// AGENT_NOT_BLANK when some byte of the range is not 0xFF.
uint32_t CheckBlank(uint32_t address, uint32_t length);
uint32_t SetProgramBufferSize(uint32_t length);
// The agent's version text, NUL included; never more than capacity bytes.
uint32_t GetAgentVersion(char* buffer, uint32_t capacity);
uint32_t CalculateFlashCRC16(uint32_t address, uint32_t length, uint16_t initial, uint16_t* crcOut);
// The host's own AGENT_VERSION; sends nothing. 0, or LINK_EXCHANGE_FAILED
// when capacity cannot hold it (what fits is copied, NUL-terminated).
uint32_t GetVersion(char* buffer, uint32_t capacity);

// Whether each command may be sent again after its exchange failed on the
// line (LinkSetRetries), and how the host reads a repeat's answer.
enum AgentRepeat {
    AGENT_REPEAT_NEVER = 0,      // not a command of the table: tried once
    AGENT_REPEAT_SAFE = 1,       // the agent takes it again with the same effect
    AGENT_REPEAT_REOPEN = 2,     // AGENT_ALREADY_OPEN on a repeat: close, open again
    AGENT_REPEAT_CLOSED_OK = 3,  // AGENT_NOT_OPEN on a repeat: it was closed
};
struct AgentRepeatRule {
    uint8_t code;
    AgentRepeat repeat;
};
AgentRepeat AgentRepeatRuleOf(uint8_t code);

// How long a sector erase may take on a part, by its identification codes:
// its maker's datasheet maximum, FLASH_ERASE_UNKNOWN_MS for a part without
// one. EPOpen sets the erase answer's wait from it (AgentEraseWaitMs), plus
// FLASH_ERASE_MARGIN_MS for the agent's read-back and the answer's way back.
constexpr uint32_t FLASH_ERASE_UNKNOWN_MS = 30000;
constexpr uint32_t FLASH_ERASE_MARGIN_MS = 2000;
uint32_t FlashEraseMaxMs(uint16_t makerId, uint16_t deviceId);
uint32_t AgentEraseWaitMs();

// After a failed EPWrite or EraseSectorSet: the agent's status word then
// (the previous one when the exchange itself failed) and the address of the
// failing request (the chunk's, or the sector's start).
uint32_t AgentFailedStatus();
uint32_t AgentFailedAddress();
// The identification codes the last EPOpen answer carried, also for a part
// the agent does not know (AGENT_UNKNOWN_FLASH).
void AgentReadIds(uint16_t* deviceId, uint16_t* makerId);

// Status word of the most recent answer that carried one.
uint32_t AgentStatus();
// Power-on state (tests): status 0, no failure recorded, the unknown part's
// erase wait.
void AgentReset();
