// SPDX-License-Identifier: Apache-2.0
// A receiver's flash written as a file (a back-up, or a read): every byte of
// the flash, erased ones at the end included, so that restoring it with
// --firmware brings back the whole flash and a read-back verify against it
// covers the whole flash. The form follows the name: raw bytes for .bin,
// Intel HEX for .hex and .ihx, S-records (S3) for any other. Each form is
// one LoadFirmware reads back to the same bytes.
#pragma once

#include <cstdint>

#include "image/firmware_file.h"

// The form a file of this name is written in (FIRMWARE_SRECORD,
// FIRMWARE_INTEL_HEX or FIRMWARE_BINARY); the case of the extension does not
// matter. name may be null (S-records).
FirmwareFormat FlashFileFormatFor(const char* name);

// The number of bytes FlashFileWrite writes for length bytes of flash.
uint32_t FlashFileLength(FirmwareFormat format, uint32_t length);

// Writes length bytes of data in format to out, which holds capacity bytes.
// Returns the count written (FlashFileLength), or 0 when capacity is too
// small or the format is not one of the three. Text forms end lines in CR LF.
uint32_t FlashFileWrite(FirmwareFormat format, const uint8_t* data, uint32_t length, uint8_t* out,
                        uint32_t capacity);
