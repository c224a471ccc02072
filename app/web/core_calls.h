// SPDX-License-Identifier: Apache-2.0
// Every call the page makes into the update and servicing core, in one place.
#pragma once

#include <cstdint>
#include <vector>

#include "update/service.h"
#include "update/update.h"

// The update with the built-in image (image null) or the given one, at the
// operating rate baud (0: the usual one). The worker's exit code.
uint32_t CoreRunUpdate(const uint8_t* image, uint32_t imageLength, uint32_t baud,
                       void (*progress)(int32_t percent));
// Identify (verify false) or verify against the image (null: the built-in one).
int CoreRunInspect(bool verify, const uint8_t* image, uint32_t imageLength, ServiceReport* report);
// Reads the whole flash out through the update's steps up to the first erase,
// then stops the run there, so that the link is closed and the flash is
// untouched. nullptr, or the message of what failed.
const char* CoreRunBackup(std::vector<uint8_t>* flash, uint16_t* crc,
                          void (*progress)(int percent));

int32_t CoreProgress();
bool CoreFlashBusy();
int CoreRequestStop();
int CoreOutcome();
const UpdateFacts& CoreFacts();
