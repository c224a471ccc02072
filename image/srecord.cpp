// SPDX-License-Identifier: Apache-2.0
// Motorola S-record text to one contiguous binary image.
//
// The updater flashes whatever this returns and then proves it with a CRC of
// the same bytes, so a damaged text must never parse to a plausible image: the
// text is accepted only when every record is complete and correct. A record is
//
//     'S', type digit, byte count (2 hex digits), then byte count bytes (address,
//     data, checksum) as 2 upper-case hex digits each, then CR LF
//
// and the checksum is the one's complement of the low byte of the sum of the
// count, address and data bytes. Record kinds:
//
//   S1, S2, S3  data with a 16-, 24- or 32-bit address. The image is built from
//               address 0 upwards: each record's address must be the next byte
//               of the image, so gaps, overlaps and reordering are refused.
//   S0          header: checked, then skipped (it holds a name, not image data).
//   S5, S6      record count: checked; its value must equal the number of data
//               records before it.
//   S7, S8, S9  termination: checked, then ends the parse (the start address is
//               of no use to the updater). Nothing after it is read.
//   S4 and any other character after 'S' are refused.
//
// Anything else yields 0: a text that ends before a termination record, a line
// whose length does not match its byte count, a line not ending in CR LF, a
// character that is not an upper-case hex digit where one must stand, a wrong
// checksum, an address that does not continue the image. A text that
// terminates before any data also yields 0, which the caller reads as "no
// image". Every character read lies inside the text.

#include "image/image.h"
#include "image/srecord_fields.h"

using namespace srecord_fields;

uint32_t ParseSRecords(const char* text, uint32_t textLength, uint8_t* out) {
    if (text == nullptr || out == nullptr) return 0;
    uint32_t pos = 0;
    uint32_t count = 0;        // image bytes so far
    uint32_t dataRecords = 0;  // for the S5/S6 check
    for (;;) {
        const uint32_t left = textLength - pos;
        const char* line = text + pos;
        if (left < 4 || line[0] != 'S') return 0;
        const char type = line[1];
        const uint32_t addressLength = AddressLength(type);
        uint8_t byteCount = 0;
        if (addressLength == 0 || !HexByte(line + 2, &byteCount)) return 0;
        if (byteCount < addressLength + 1) return 0;  // no room for address and checksum
        const uint32_t lineLength = 4 + 2u * byteCount + 2;
        if (left < lineLength) return 0;
        if (line[lineLength - 2] != '\r' || line[lineLength - 1] != '\n') return 0;

        const char* field = line + 4;
        unsigned sum = byteCount;
        uint32_t address = 0;
        for (uint32_t i = 0; i < addressLength; ++i, field += 2) {
            uint8_t b = 0;
            if (!HexByte(field, &b)) return 0;
            address = address << 8 | b;
            sum += b;
        }
        const uint32_t dataLength = byteCount - addressLength - 1u;
        const bool isData = type == '1' || type == '2' || type == '3';
        if (isData) {
            if (address != count) return 0;
            // Decoded in place; the count moves on only once the record is proven.
            uint8_t* dest = out + count;
            for (uint32_t i = 0; i < dataLength; ++i, field += 2) {
                if (!HexByte(field, &dest[i])) return 0;
                sum += dest[i];
            }
        } else {
            for (uint32_t i = 0; i < dataLength; ++i, field += 2) {
                uint8_t b = 0;
                if (!HexByte(field, &b)) return 0;
                sum += b;
            }
        }
        uint8_t checksum = 0;
        if (!HexByte(field, &checksum)) return 0;
        if (((sum + checksum) & 0xFFu) != 0xFFu) return 0;

        switch (type) {
            case '1':
            case '2':
            case '3':
                count += dataLength;
                ++dataRecords;
                break;
            case '5':
            case '6':
                if (dataLength != 0 || address != dataRecords) return 0;
                break;
            case '7':
            case '8':
            case '9':
                return dataLength == 0 ? count : 0;
            default:  // S0
                break;
        }
        pos += lineLength;
    }
}
