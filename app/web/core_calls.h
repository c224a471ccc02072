// SPDX-License-Identifier: Apache-2.0
// Every call the page makes into the update and servicing core, in one place.
#pragma once

#include <cstdint>
#include <vector>

#include "agent/agent.h"
#include "update/service.h"
#include "update/update.h"

// What identify or verify learned, as the page shows it.
struct ServiceReport {
    char version[64];
    char partName[FLASH_NAME_BUFFER_SIZE];
    char makerName[FLASH_NAME_BUFFER_SIZE];
    uint16_t deviceId;
    uint16_t makerId;
    uint32_t busWidthUnits;  // 0 until the flash was opened
    uint32_t flashBytes;
    SectorSet sectorSets[MAX_SECTOR_SETS];
    uint8_t sectorSetCount;
    uint32_t imageLength;
    uint16_t imageCrc;
    bool receiverCrcRead;
    uint16_t receiverCrc;
    const char* failure;  // message of the step that failed, nullptr when none
};
// CoreRunInspect's results, as the native program's statuses.
constexpr int SERVICE_OK = 0;
constexpr int SERVICE_FAILED = 1;
constexpr int SERVICE_DIFFERS = 3;
constexpr int SERVICE_STOPPED = 130;

// The update with the built-in image (image null) or the given one, at the
// operating rate baud (0: the usual one). The worker's exit code.
uint32_t CoreRunUpdate(const uint8_t* image, uint32_t imageLength, uint32_t baud,
                       void (*progress)(int32_t percent));
// Identify (verify false) or verify against the image (null: the built-in one).
int CoreRunInspect(bool verify, const uint8_t* image, uint32_t imageLength, ServiceReport* report);
// Reads the whole flash out (the worker's read, which erases nothing), proven
// by the receiver's CRC-16; the link is closed after it. nullptr, or the message of what failed.
const char* CoreRunBackup(std::vector<uint8_t>* flash, uint16_t* crc,
                          void (*progress)(int percent));

int32_t CoreProgress();
bool CoreFlashBusy();
int CoreRequestStop();
int CoreOutcome();
const UpdateFacts& CoreFacts();
