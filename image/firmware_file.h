// SPDX-License-Identifier: Apache-2.0
// Firmware files as vendors ship them: S-records, Intel HEX or raw binary.
// The format is told by the content (the name only decides for raw bytes,
// which look like nothing else), and each is held to the same rules as the
// S-record files: every record complete and checksummed, the data contiguous
// from flash address 0, nothing but blank lines after the end record. A file
// that is none of these (an executable, an archive, some other text) is
// refused with what it looks like and how to make a firmware file of it.
//
// Pure code over bytes in memory: reading the file is the caller's (on POSIX
// PosixReadInputFile, which cannot hang on a FIFO or read a huge file).
#pragma once

#include <cstdint>
#include <memory>

// The largest flash the agent can address: two of the largest part (2 MiB)
// side by side on a 32-bit bus.
constexpr uint32_t FIRMWARE_IMAGE_MAX_BYTES = 2 * 0x200000;
// The largest firmware file worth reading: that image as text at 4 characters
// a byte, which holds S-records and Intel HEX lines of 8 data bytes or more
// with CR LF (16-byte S3 records take 3 characters a byte, 32-byte ones 2.5).
constexpr uint32_t FIRMWARE_FILE_MAX_BYTES = 4 * FIRMWARE_IMAGE_MAX_BYTES;

enum FirmwareFormat {
    FIRMWARE_SRECORD = 0,
    FIRMWARE_INTEL_HEX = 1,
    FIRMWARE_BINARY = 2,
    FIRMWARE_UNKNOWN = 3,
};

// Why a file was refused: the 1-based line (0 when the file as a whole is at
// fault), a short reason in plain words, and the format the content was taken
// for (FIRMWARE_UNKNOWN when it is none of them). The reason may point into
// this module's own buffer, valid until the next call.
struct FirmwareReport {
    uint32_t line;
    const char* reason;
    FirmwareFormat format;
};

// "S-records", "Intel HEX", "binary", or "unknown".
const char* FirmwareFormatName(FirmwareFormat format);

// Intel HEX text: records 00 data, 01 end, 02 extended segment address, 04
// extended linear address, 03 and 05 start addresses (checked, not used);
// LF or CR LF line ends, upper- or lower-case hex. Returns the number of
// image bytes written to out (which holds capacity), or 0 with *report filled
// (report may be null).
uint32_t ParseIntelHexFile(const char* text, uint32_t textLength, uint8_t* out, uint32_t capacity,
                           FirmwareReport* report);

// Tells the format of the length bytes of the file called name (a path or
// a bare name; may be null) and parses them into out, which holds capacity
// bytes (length is always room enough). Returns the number of image bytes, or
// 0 with *report filled; report->format is set either way.
uint32_t ParseFirmwareFile(const uint8_t* bytes, uint32_t length, const char* name, uint8_t* out,
                           uint32_t capacity, FirmwareReport* report);

// A firmware image that belongs to whoever holds it; empty (bytes null,
// length 0) until loaded.
struct FirmwareImage {
    std::unique_ptr<uint8_t[]> bytes;
    uint32_t length = 0;
    FirmwareFormat format = FIRMWARE_UNKNOWN;
};

// The one loader of firmware files: S-records, Intel HEX or binary, told by
// the content (ParseFirmwareFile), into *image, of at most
// FIRMWARE_IMAGE_MAX_BYTES. Returns true, or false with *image emptied and
// *report filled (report may be null). A UTF-8 byte order mark before a text
// is passed over, and LF, CR LF and CR line ends are all taken.
bool LoadFirmware(const uint8_t* bytes, uint32_t length, const char* name, FirmwareImage* image,
                  FirmwareReport* report);
// The same, for the file at path read whole first (for a caller that has no
// platform file reader, such as the page's in-memory files). A file that
// cannot be read is reported on line 0 with the system's reason.
bool LoadFirmwareFile(const char* path, FirmwareImage* image, FirmwareReport* report);
