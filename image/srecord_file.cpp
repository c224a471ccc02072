// SPDX-License-Identifier: Apache-2.0
// Loading and writing S-record files. The record rules are those of
// ParseSRecords (see srecord.cpp); what differs is the line end (LF alone is
// taken as well as CR LF, and the last line may end with the text), that
// only blank lines may follow the end record, and that a refusal names its
// line and reason, because a person has to fix the file.

#include "image/srecord_file.h"

#include "image/srecord_fields.h"
#include "image/text_lines.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

uint8_t* LoadedImage = nullptr;
// The reason of a failed open or read with the system's words for it; a
// report points here until the next load.
char FileReason[160];

const char* ReasonWithError(const char* what, int error) {
    std::snprintf(FileReason, sizeof FileReason, "%s: %s", what, std::strerror(error));
    return FileReason;
}

using namespace srecord_fields;
using text_lines::FirstNonBlankLine;

uint32_t Refuse(SRecordReport* report, uint32_t line, const char* reason) {
    if (report != nullptr) *report = SRecordReport{line, reason};
    return 0;
}

// True (with *report filled) when anything but blank lines follows the end
// record; lineNumber is the end record's line.
bool RefuseTrailingData(const char* rest, uint32_t length, uint32_t lineNumber,
                        SRecordReport* report) {
    const uint32_t at = FirstNonBlankLine(rest, length, &lineNumber);
    if (at == length) return false;
    Refuse(report, lineNumber, "data after the end record");
    return true;
}

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

char* PutHex(char* out, uint32_t value, int digits) {
    for (int i = digits - 1; i >= 0; --i) *out++ = HEX_DIGITS[(value >> (4 * i)) & 0xF];
    return out;
}

constexpr uint32_t S3_DATA_PER_RECORD = 16;
constexpr char S3_TERMINATOR[] = "S70500000000FA\r\n";
constexpr uint32_t S3_TERMINATOR_LENGTH = sizeof S3_TERMINATOR - 1;
// A header naming the writer, so readers that expect one do not warn.
constexpr char S0_HEADER[] = "S01000007A656C766172206261636B7570C5\r\n";  // "zelvar backup"
constexpr uint32_t S0_HEADER_LENGTH = sizeof S0_HEADER - 1;

}  // namespace

uint32_t ParseSRecordFile(const char* text, uint32_t textLength, uint8_t* out, uint32_t capacity,
                          SRecordReport* report) {
    if (text == nullptr || out == nullptr) return Refuse(report, 0, "no text");
    uint32_t pos = 0;
    uint32_t lineNumber = 0;
    uint32_t count = 0;
    uint32_t dataRecords = 0;
    bool counted = false;  // the last record was a matching S5/S6 count
    for (;;) {
        ++lineNumber;
        // Tools leave the termination out when there is no start address; a
        // count record that matches still proves nothing was cut off, and
        // blank lines may follow it as they may follow an end record.
        if (counted && count != 0) {
            uint32_t blankFrom = lineNumber - 1;
            if (FirstNonBlankLine(text + pos, textLength - pos, &blankFrom) == textLength - pos) {
                return count;
            }
        }
        if (pos == textLength) {
            return Refuse(report, lineNumber,
                          "the text ends before an S7, S8 or S9 record (or an S5/S6 count)");
        }
        // The line runs to its LF (or the end of the text), a CR before it dropped.
        uint32_t end = pos;
        while (end < textLength && text[end] != '\n') ++end;
        const uint32_t next = end < textLength ? end + 1 : end;
        if (end > pos && text[end - 1] == '\r') --end;
        const char* line = text + pos;
        const uint32_t length = end - pos;

        if (length < 4 || line[0] != 'S') return Refuse(report, lineNumber, "not an S-record");
        const char type = line[1];
        const uint32_t addressLength = AddressLength(type);
        if (addressLength == 0) return Refuse(report, lineNumber, "unknown record type");
        uint8_t byteCount = 0;
        if (!HexByte(line + 2, &byteCount)) return Refuse(report, lineNumber, "bad hex digit");
        if (byteCount < addressLength + 1) {
            return Refuse(report, lineNumber, "byte count too small for the record type");
        }
        if (length != 4 + 2u * byteCount) {
            return Refuse(report, lineNumber, "line length does not match the byte count");
        }
        for (uint32_t i = 4; i < length; ++i) {
            if (HexValue(line[i]) == NOT_HEX) return Refuse(report, lineNumber, "bad hex digit");
        }

        const char* field = line + 4;
        unsigned sum = byteCount;
        uint32_t address = 0;
        for (uint32_t i = 0; i < addressLength; ++i, field += 2) {
            uint8_t b = 0;
            HexByte(field, &b);
            address = address << 8 | b;
            sum += b;
        }
        const uint32_t dataLength = byteCount - addressLength - 1u;
        const bool isData = type == '1' || type == '2' || type == '3';
        if (isData) {
            if (address != count) {
                return Refuse(report, lineNumber,
                              "address does not continue the image (gap, overlap or disorder)");
            }
            if (dataLength > capacity - count) return Refuse(report, lineNumber, "image too large");
        }
        for (uint32_t i = 0; i < dataLength; ++i, field += 2) {
            uint8_t b = 0;
            HexByte(field, &b);
            if (isData) out[count + i] = b;
            sum += b;
        }
        uint8_t checksum = 0;
        HexByte(field, &checksum);
        if (((sum + checksum) & 0xFFu) != 0xFFu) return Refuse(report, lineNumber, "bad checksum");

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
            case '9':
                if (dataLength != 0) {
                    return Refuse(report, lineNumber, "termination record carries data");
                }
                if (count == 0) return Refuse(report, lineNumber, "no data before the termination");
                // Two files run together would otherwise flash the first one alone.
                return RefuseTrailingData(text + next, textLength - next, lineNumber, report)
                           ? 0
                           : count;
            default:  // S0: a header, not image data
                break;
        }
        pos = next;
    }
}

const uint8_t* LoadSRecordFile(const char* path, uint32_t* lengthOut, SRecordReport* report) {
    SRecordReport ignored{};
    SRecordReport& why = report != nullptr ? *report : ignored;
    if (lengthOut != nullptr) *lengthOut = 0;
    if (path == nullptr) return nullptr;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        why = {0, ReasonWithError("cannot be opened", errno)};
        return nullptr;
    }
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    if (size <= 0 || static_cast<unsigned long>(size) > 0x7FFFFFFFul ||
        std::fseek(file, 0, SEEK_SET) != 0) {
        std::fclose(file);
        why = {0, size == 0 ? "is empty" : "cannot be read"};
        return nullptr;
    }
    const auto textLength = static_cast<uint32_t>(size);
    char* text = static_cast<char*>(std::malloc(textLength));
    auto* image = static_cast<uint8_t*>(std::malloc(textLength / 2 + 1));
    const bool read =
        text != nullptr && image != nullptr && std::fread(text, 1, textLength, file) == textLength;
    const int readError = read || !std::ferror(file) ? 0 : errno;
    std::fclose(file);
    uint32_t count = 0;
    if (read) {
        count = ParseSRecordFile(text, textLength, image, textLength / 2 + 1, &why);
    } else {
        why = {0, readError != 0 ? ReasonWithError("cannot be read", readError) : "cannot be read"};
    }
    std::free(text);
    if (count == 0) {
        std::free(image);
        return nullptr;
    }
    std::free(LoadedImage);
    LoadedImage = image;
    if (lengthOut != nullptr) *lengthOut = count;
    return image;
}

uint32_t SRecordS3TextLength(uint32_t length) {
    const uint32_t full = length / S3_DATA_PER_RECORD;
    const uint32_t rest = length % S3_DATA_PER_RECORD;
    // "S3", count, 8 address digits, data, checksum, CR LF.
    uint32_t total = full * (4 + 8 + 2 * S3_DATA_PER_RECORD + 2 + 2);
    if (rest != 0) total += 4 + 8 + 2 * rest + 2 + 2;
    return S0_HEADER_LENGTH + total + S3_TERMINATOR_LENGTH;
}

uint32_t SRecordWriteS3(const uint8_t* data, uint32_t length, char* out, uint32_t capacity) {
    const uint32_t total = SRecordS3TextLength(length);
    if (out == nullptr || capacity < total || (data == nullptr && length != 0)) return 0;
    char* p = out;
    for (uint32_t i = 0; i < S0_HEADER_LENGTH; ++i) *p++ = S0_HEADER[i];
    for (uint32_t address = 0; address < length; address += S3_DATA_PER_RECORD) {
        const uint32_t n =
            length - address < S3_DATA_PER_RECORD ? length - address : S3_DATA_PER_RECORD;
        const uint32_t byteCount = 4 + n + 1;
        unsigned sum = byteCount + (address >> 24) + ((address >> 16) & 0xFF) +
                       ((address >> 8) & 0xFF) + (address & 0xFF);
        *p++ = 'S';
        *p++ = '3';
        p = PutHex(p, byteCount, 2);
        p = PutHex(p, address, 8);
        for (uint32_t i = 0; i < n; ++i) {
            p = PutHex(p, data[address + i], 2);
            sum += data[address + i];
        }
        p = PutHex(p, ~sum & 0xFFu, 2);
        *p++ = '\r';
        *p++ = '\n';
    }
    for (uint32_t i = 0; i < S3_TERMINATOR_LENGTH; ++i) *p++ = S3_TERMINATOR[i];
    return static_cast<uint32_t>(p - out);
}

void SRecordFileReset() {
    std::free(LoadedImage);
    LoadedImage = nullptr;
}
