// SPDX-License-Identifier: Apache-2.0
// Servicing a receiver without updating it: identify its flash, verify the
// flash against an image, and read the flash out for a back-up. The board,
// boot and agent steps are those of the update; only what is done with the
// open flash differs.
#pragma once

#include <cstdint>

#include "agent/agent.h"

// ServiceInspect results, chosen to serve as exit statuses.
constexpr int SERVICE_OK = 0;
constexpr int SERVICE_FAILED = 1;   // the receiver could not be asked
constexpr int SERVICE_DIFFERS = 3;  // verify: the receiver's CRC is not the image's
constexpr int SERVICE_STOPPED = 130;  // a stop was asked for (UpdateRequestStop); link closed

struct ServiceReport {
    char version[64];
    char partName[FLASH_NAME_BUFFER_SIZE];
    char makerName[FLASH_NAME_BUFFER_SIZE];
    uint16_t deviceId;
    uint16_t makerId;
    uint32_t busWidthUnits;  // 0 until the flash was opened
    uint32_t flashBytes;     // whole flash: one part's size times busWidthUnits
    SectorSet sectorSets[MAX_SECTOR_SETS];
    uint8_t sectorSetCount;
    uint8_t commandSet;
    uint32_t imageLength;
    uint16_t imageCrc;
    bool receiverCrcRead;
    uint16_t receiverCrc;
    const char* failure;  // message of the step that failed, nullptr when none
    uint64_t bootMs;      // board and OpenReceiver to the end of EPOpen
    uint64_t verifyMs;
};

// Prepares the board, boots the receiver and opens its flash. With verify,
// asks the receiver's CRC-16 over the image's length (image null: the
// built-in one) and compares it with the image's. Then closes the flash and
// the link and restores the board, after a failure past the board steps too,
// since nothing has been changed that would need the receiver left as it is.
// Failures are shown through PlatformUi().message with the caption "Fail",
// in the update's words. Nothing is erased or written. A stop asked for with
// UpdateRequestStop is taken at the next step boundary: the link is closed,
// the board restored, and SERVICE_STOPPED returned.
int ServiceInspect(bool verify, const uint8_t* image, uint32_t imageLength, ServiceReport* report);

// With the flash open: reads length bytes from address 0 into dest with
// EPRead and proves them against the receiver's own CalculateFlashCRC16 of
// the same range. progress (may be null) is called with 0..100 as the read
// goes. nullptr, or the message of what failed.
const char* ServiceReadFlash(uint8_t* dest, uint32_t length, void (*progress)(int percent));
