// SPDX-License-Identifier: Apache-2.0
// Motorola S-record text to one contiguous binary image: the one parser for
// the built-in image and for files from outside.
//
// The updater flashes whatever this returns and then proves it with a CRC of
// the same bytes, so a damaged text must never parse to a plausible image: the
// text is accepted only when every record is complete and correct. A record is
//
//     'S', type digit, byte count (2 hex digits), then byte count bytes (address,
//     data, checksum) as 2 hex digits each, then the line end
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
//               of no use to the updater).
//   S4 and any other character after 'S' are refused.
//
// The built-in image is held to the form the program carries: upper-case hex,
// every line ending in CR LF, a termination record, and nothing after it is
// read. Files are taken in the forms other tools write: LF, CR LF or CR line
// ends, lower-case hex, the last line ending with the text, a matching S5/S6
// count in place of the termination; only blank lines may follow the end,
// and a refusal names its line and reason. Every character read lies inside
// the text.

#include "image/image.h"
#include "image/srecord_fields.h"
#include "image/srecord_file.h"
#include "image/text_lines.h"

#include <cstdio>

using namespace srecord_fields;

namespace {

using text_lines::FirstNonBlankLine;

uint32_t Refuse(SRecordReport* report, uint32_t line, const char* reason) {
    if (report != nullptr) *report = SRecordReport{line, reason};
    return 0;
}

uint8_t Nibble(char c, bool anyCase) {
    if (anyCase && c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    return HexValue(c);
}

// The byte at p, whose two digits were checked.
uint8_t ByteAt(const char* p, bool anyCase) {
    return static_cast<uint8_t>(Nibble(p[0], anyCase) << 4 | Nibble(p[1], anyCase));
}

// The reason for data that does not start at 0; it names the address.
char StartReason[96];

}  // namespace

uint32_t ParseSRecordText(const char* text, uint32_t textLength, uint8_t* out, uint32_t capacity,
                          SRecordDialect dialect, SRecordReport* report) {
    if (text == nullptr || out == nullptr) return Refuse(report, 0, "no text");
    const bool file = dialect == SRECORD_FILE;
    const char lineEnd = file ? text_lines::LineEndOf(text, textLength) : '\n';
    uint32_t pos = 0;
    uint32_t lineNumber = 0;
    uint32_t count = 0;        // image bytes so far
    uint32_t dataRecords = 0;  // for the S5/S6 check
    bool counted = false;      // the last record was a matching S5/S6 count
    for (;;) {
        ++lineNumber;
        // Tools leave the termination out when there is no start address; a
        // count record that matches still proves nothing was cut off, and
        // blank lines may follow it as they may follow an end record.
        if (file && counted && count != 0) {
            uint32_t blankFrom = lineNumber - 1;
            if (FirstNonBlankLine(text + pos, textLength - pos, &blankFrom, lineEnd) ==
                textLength - pos) {
                return count;
            }
        }
        if (pos == textLength) {
            return Refuse(report, lineNumber,
                          "the text ends before an S7, S8 or S9 record (or an S5/S6 count)");
        }
        uint32_t next = 0;
        const uint32_t end = text_lines::LineAt(text, textLength, pos, lineEnd, &next);
        // The built-in text ends every line, its last included, in CR LF.
        if (!file && !(end < textLength && text[end] == '\r' && next == end + 2)) {
            return Refuse(report, lineNumber, "line does not end in CR LF");
        }
        const char* line = text + pos;
        const uint32_t length = end - pos;

        if (length < 4 || !(line[0] == 'S' || (file && line[0] == 's'))) {
            return Refuse(report, lineNumber, "not an S-record");
        }
        const char type = line[1];
        const uint32_t addressLength = AddressLength(type);
        if (addressLength == 0) return Refuse(report, lineNumber, "unknown record type");
        if (((Nibble(line[2], file) | Nibble(line[3], file)) & 0xF0u) != 0) {
            return Refuse(report, lineNumber, "bad hex digit");
        }
        const uint8_t byteCount = ByteAt(line + 2, file);
        if (byteCount < addressLength + 1) {
            return Refuse(report, lineNumber, "byte count too small for the record type");
        }
        if (length != 4 + 2u * byteCount) {
            return Refuse(report, lineNumber, "line length does not match the byte count");
        }
        for (uint32_t i = 4; i < length; ++i) {
            if (Nibble(line[i], file) == NOT_HEX)
                return Refuse(report, lineNumber, "bad hex digit");
        }

        const char* field = line + 4;
        unsigned sum = byteCount;
        uint32_t address = 0;
        for (uint32_t i = 0; i < addressLength; ++i, field += 2) {
            const uint8_t b = ByteAt(field, file);
            address = address << 8 | b;
            sum += b;
        }
        const uint32_t dataLength = byteCount - addressLength - 1u;
        const bool isData = type == '1' || type == '2' || type == '3';
        if (isData) {
            if (address != count && count == 0) {
                std::snprintf(StartReason, sizeof StartReason,
                              "the image must start at address 0, not 0x%08X", address);
                return Refuse(report, lineNumber, StartReason);
            }
            if (address != count) {
                return Refuse(report, lineNumber,
                              "address does not continue the image (gap, overlap or disorder)");
            }
            if (dataLength > capacity - count) return Refuse(report, lineNumber, "image too large");
        }
        // Decoded in place; the count moves on only once the record is proven.
        for (uint32_t i = 0; i < dataLength; ++i, field += 2) {
            const uint8_t b = ByteAt(field, file);
            if (isData) out[count + i] = b;
            sum += b;
        }
        if (((sum + ByteAt(field, file)) & 0xFFu) != 0xFFu) {
            return Refuse(report, lineNumber, "bad checksum");
        }

        counted = type == '5' || type == '6';
        switch (type) {
            case '1':
            case '2':
            case '3':
                count += dataLength;
                ++dataRecords;
                break;
            case '5':
            case '6':
                if (dataLength != 0) return Refuse(report, lineNumber, "count record carries data");
                if (address != dataRecords) {
                    return Refuse(report, lineNumber,
                                  "record count differs from the data records before it");
                }
                break;
            case '7':
            case '8':
            case '9': {
                if (dataLength != 0) {
                    return Refuse(report, lineNumber, "termination record carries data");
                }
                if (count == 0) return Refuse(report, lineNumber, "no data before the termination");
                if (!file) return count;
                // Two files run together would otherwise flash the first one alone.
                uint32_t after = lineNumber;
                if (FirstNonBlankLine(text + next, textLength - next, &after, lineEnd) !=
                    textLength - next) {
                    return Refuse(report, after, "data after the end record");
                }
                return count;
            }
            default:  // S0: a header, not image data
                break;
        }
        pos = next;
    }
}

uint32_t ParseSRecords(const char* text, uint32_t textLength, uint8_t* out) {
    return ParseSRecordText(text, textLength, out, textLength / 2, SRECORD_BUILT_IN, nullptr);
}

uint32_t ParseSRecordFile(const char* text, uint32_t textLength, uint8_t* out, uint32_t capacity,
                          SRecordReport* report) {
    return ParseSRecordText(text, textLength, out, capacity, SRECORD_FILE, report);
}
