// SPDX-License-Identifier: Apache-2.0
// Reading a receiver's flash out, for a back-up or a file: the piece of the
// servicing runs that a flash hook (UpdateRequest::flashHook) calls with the
// flash open. Identify and verify are actions of the update worker itself.
#pragma once

#include <cstdint>

// With the flash open: reads length bytes from address 0 into dest with
// EPRead and proves them against the receiver's own CalculateFlashCRC16 of
// the same range. progress (may be null) is called with 0..100 as the read
// goes; a stop asked for (UpdateRequestStop) is seen before each request.
// UPDATE_HOOK_OK, UPDATE_HOOK_STOPPED, or UPDATE_HOOK_FAILED with *message
// naming what failed. *crcOut (may be null) gets the receiver's CRC-16.
int ServiceReadFlash(uint8_t* dest, uint32_t length, void (*progress)(int percent),
                     uint16_t* crcOut, const char** message);
