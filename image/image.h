// SPDX-License-Identifier: Apache-2.0
// The firmware image: the S-record text carried as a resource is written to a
// temporary file, read back and parsed into one contiguous binary image, which
// the update hands to the receiver in blocks while it runs a CRC-16 over them.
#pragma once

#include <cstdint>

// Identity of the embedded firmware text among the program's resources. The
// type is looked up without regard to case; the resource itself is type "S".
inline constexpr int IMAGE_RESOURCE_ID = 137;
inline constexpr char IMAGE_RESOURCE_TYPE[] = "s";

// ExtractImageResource results: 0, or the stage that failed.
inline constexpr int IMAGE_RESOURCE_NOT_FOUND = 1;
inline constexpr int IMAGE_RESOURCE_EMPTY = 2;
inline constexpr int IMAGE_RESOURCE_NOT_LOADED = 3;
inline constexpr int IMAGE_RESOURCE_NOT_LOCKED = 4;

// BinaryImageReadNextBlock: the block would run past the image (or the reader
// is not open); nothing was copied.
inline constexpr int IMAGE_READ_PAST_END = 1;

// Writes the firmware resource to a new temporary file (PlatformFiles().create,
// named by PlatformFiles().tempImagePath()), which stays open until
// ImageRemoveTemporaryFile or ImageReset. Returns 0 when the resource was found, sized, loaded and
// locked, else the number (1..4) of the stage that failed. A file that cannot
// be had or written is not reported here: LoadImageFile judges what it finds.
int ExtractImageResource();

// Reads the whole file at path and parses it. The temporary file is read
// through the handle ExtractImageResource made it with, not by its name. *countOut receives the
// parser's byte count whenever the file opened (0 when it could not be read whole). Returns the
// binary image, or nullptr when the file cannot be opened or the count is 0. The image belongs to
// this module and stays valid until the next LoadImageFile or ImageReset.
uint8_t* LoadImageFile(const char* path, uint32_t* countOut);

// Parses Motorola S-record text of textLength characters (no NUL needed) into
// out, which must hold textLength / 2 bytes. Returns the number of image bytes,
// or 0 when the text is not a complete, well-formed image. See srecord.cpp for
// what is accepted.
uint32_t ParseSRecords(const char* text, uint32_t textLength, uint8_t* out);

// Block reader over the image of count bytes: stores count in *lengthOut and
// rewinds to offset 0. The name is not used. Returns 0.
int BinaryImageOpen(const char* name, uint32_t* lengthOut, uint32_t count);
// Copies the next size bytes of image to dest and advances. Returns 0, or
// IMAGE_READ_PAST_END (nothing copied, position kept) when fewer than size
// bytes remain.
int BinaryImageReadNextBlock(uint8_t* dest, uint32_t size, const uint8_t* image);
// Ends the reading; later reads fail until the next BinaryImageOpen. Releases
// nothing. Returns 0.
int BinaryImageClose();
// Deletes the temporary file through its handle (after "Download Finish") and
// closes it: 1 when deleted, 0 when there was none or it could not be.
int ImageRemoveTemporaryFile();
// Closes the temporary file and leaves it in place (after a failure).
void ImageCloseTemporaryFile();

// Offset of the next block.
uint32_t ImageReadPosition();

// CRC-16 of the reflected polynomial 0xA001, no final XOR: started from 0xFFFF
// it is CRC-16/MODBUS, chained over blocks as over the whole. *crcOut may be
// the same variable as the one passed in. Returns 0.
int Crc16Update(const uint8_t* data, uint32_t length, uint16_t crcIn, uint16_t* crcOut);
extern const uint16_t Crc16Table[256];

// Power-on state: reader closed at 0, the loaded image released, the
// temporary file closed (not deleted).
void ImageReset();
