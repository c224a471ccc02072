// SPDX-License-Identifier: Apache-2.0
// The receiver programs and the firmware image the updater carries, linked in
// as constant byte arrays generated at build time from the payload files.
#pragma once

#include <cstdint>

// First stage for the receiver's boot ROM.
extern const uint8_t FirstStageImage[];
extern const uint32_t FirstStageImageLength;

// Flash agent, downloaded by the first stage.
extern const uint8_t FlashAgentImage[];
extern const uint32_t FlashAgentImageLength;

// The new firmware as Motorola S-record text (carried as resource "S", 137).
extern const uint8_t FirmwareSRecordText[];
extern const uint32_t FirmwareSRecordTextLength;
