// SPDX-License-Identifier: Apache-2.0
// Telling firmware files apart, and the Intel HEX loader. An Intel HEX record
// is
//
//     ':', byte count, 16-bit offset, record type, data, checksum
//
// all as pairs of hex digits, the checksum making the sum of every byte of the
// record 0 modulo 256. A data record's address is the offset plus the base of
// the last 02 (segment * 16, the offset wrapping within the 64 KiB segment)
// or 04 (upper 16 bits) record. The updater flashes one contiguous image from
// address 0, so the data must run on from there without a gap or overlap, as
// in the S-record files.

#include "image/firmware_file.h"

#include "image/srecord_file.h"
#include "image/text_lines.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using text_lines::FirstNonBlankLine;

// Reasons that name the file; a report points here until the next call.
char NamedReason[512];

uint32_t Refuse(FirmwareReport* report, uint32_t line, const char* reason) {
    if (report != nullptr) {
        report->line = line;
        report->reason = reason;
    }
    return 0;
}

// Other tools write lower-case hex in Intel HEX, so both cases count here.
int HexNibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The byte at pair index i of a record whose digits were all checked.
uint8_t PairAt(const char* digits, uint32_t i) {
    return static_cast<uint8_t>(HexNibble(digits[2 * i]) << 4 | HexNibble(digits[2 * i + 1]));
}

constexpr uint32_t HEX_TYPE_DATA = 0x00;
constexpr uint32_t HEX_TYPE_END = 0x01;
constexpr uint32_t HEX_TYPE_SEGMENT_BASE = 0x02;
constexpr uint32_t HEX_TYPE_SEGMENT_START = 0x03;
constexpr uint32_t HEX_TYPE_LINEAR_BASE = 0x04;
constexpr uint32_t HEX_TYPE_LINEAR_START = 0x05;
constexpr uint32_t SEGMENT_SPAN = 0x10000;

// ---- Telling the formats apart ----

bool EndsWithBin(const char* name) {
    if (name == nullptr) return false;
    const size_t length = std::strlen(name);
    if (length < 4) return false;
    const char* tail = name + length - 4;
    return tail[0] == '.' && (tail[1] | 0x20) == 'b' && (tail[2] | 0x20) == 'i' &&
           (tail[3] | 0x20) == 'n';
}

bool StartsWith(const uint8_t* bytes, uint32_t length, const char* magic, uint32_t magicLength) {
    return length >= magicLength && std::memcmp(bytes, magic, magicLength) == 0;
}

// An MZ header whose e_lfanew leads to the "PE\0\0" signature.
bool IsPortableExecutable(const uint8_t* bytes, uint32_t length) {
    if (!StartsWith(bytes, length, "MZ", 2) || length < 0x40) return false;
    const uint32_t at = bytes[0x3C] | bytes[0x3D] << 8 | bytes[0x3E] << 16 |
                        static_cast<uint32_t>(bytes[0x3F]) << 24;
    return at <= length - 4 && std::memcmp(bytes + at, "PE\0\0", 4) == 0;
}

// The first line (from at) is a record of its kind in full: the two leading
// characters, then only hex digits to a line end. For a file named .bin this
// is what it takes to be read as text: raw bytes do not look like that.
bool WholeLineIsRecord(const uint8_t* bytes, uint32_t length, uint32_t at) {
    uint32_t i = at + 2;
    while (i < length && HexNibble(static_cast<char>(bytes[i])) >= 0) ++i;
    if (i - at < 10 || i == length) return false;
    return bytes[i] == '\n' || bytes[i] == '\r';
}

// Printable ASCII, white space and well-formed UTF-8 over the first few
// kilobytes (a sequence cut off at the end of the sample counts as whole).
bool LooksLikeText(const uint8_t* bytes, uint32_t length) {
    const uint32_t sample = length < 4096 ? length : 4096;
    for (uint32_t i = 0; i < sample; ++i) {
        const uint8_t b = bytes[i];
        if (b == '\n' || text_lines::IsBlank(static_cast<char>(b))) continue;
        if (b < 0x20 || b == 0x7F) return false;
        if (b < 0x80) continue;
        // The lead byte tells how many continuation bytes follow.
        if (b < 0xC2 || b > 0xF4) return false;
        const uint32_t follow = b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        for (uint32_t k = 1; k <= follow && i + k < sample; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
        }
        i += follow;
    }
    return true;
}

// name with its extension (if any) replaced by extension, for the hints.
void WithExtension(const char* name, const char* extension, char* out, size_t room) {
    const char* base = name;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') base = p + 1;
    }
    const char* dot = std::strrchr(base, '.');
    const size_t stem =
        dot != nullptr && dot != base ? static_cast<size_t>(dot - name) : std::strlen(name);
    std::snprintf(out, room, "%.*s%s", static_cast<int>(stem), name, extension);
}

// The name as the hints show it, and the name with another extension.
struct Names {
    const char* shown;
    char renamed[200];
};

Names NamesFor(const char* name, const char* extension) {
    Names names{name != nullptr && *name != '\0' ? name : "FILE", {}};
    WithExtension(names.shown, extension, names.renamed, sizeof names.renamed);
    return names;
}

// The format of the content, or FIRMWARE_UNKNOWN with *line and *reason set.
FirmwareFormat Detect(const uint8_t* bytes, uint32_t length, const char* name, uint32_t* line,
                      const char** reason) {
    *line = 0;
    if (length == 0) {
        *reason = "is empty";
        return FIRMWARE_UNKNOWN;
    }
    const bool namedBin = EndsWithBin(name);
    uint32_t firstLine = 0;
    const char* text = reinterpret_cast<const char*>(bytes);
    const uint32_t at =
        FirstNonBlankLine(text, length, &firstLine, text_lines::LineEndOf(text, length));
    if (at < length) {
        const char lead = static_cast<char>(bytes[at] == 's' ? 'S' : bytes[at]);
        const char second = at + 1 < length ? static_cast<char>(bytes[at + 1]) : '\0';
        const bool whole = !namedBin || WholeLineIsRecord(bytes, length, at);
        if (lead == 'S' && second >= '0' && second <= '9' && whole) return FIRMWARE_SRECORD;
        if (lead == ':' && HexNibble(second) >= 0 && whole) return FIRMWARE_INTEL_HEX;
    }
    // Containers are told by their magic numbers, whatever the name says.
    if (StartsWith(bytes, length,
                   "\x7f"
                   "ELF",
                   4)) {
        const Names names = NamesFor(name, ".s");
        std::snprintf(NamedReason, sizeof NamedReason,
                      "looks like an ELF executable, not a firmware image; convert it with: "
                      "objcopy -O srec %s %s",
                      names.shown, names.renamed);
        *reason = NamedReason;
        return FIRMWARE_UNKNOWN;
    }
    if (StartsWith(bytes, length, "PK\x03\x04", 4)) {
        *reason =
            "looks like a zip archive, not a firmware image; unpack it and give the "
            ".s, .hex or .bin file inside";
        return FIRMWARE_UNKNOWN;
    }
    if (StartsWith(bytes, length, "\x1f\x8b", 2)) {
        // fw.s.gz unpacks to fw.s; any other name to one beside it.
        const size_t nameLength = name != nullptr ? std::strlen(name) : 0;
        const bool gz = nameLength > 3 && std::strcmp(name + nameLength - 3, ".gz") == 0;
        const Names names = NamesFor(name, gz ? "" : ".unpacked");
        std::snprintf(NamedReason, sizeof NamedReason,
                      "looks like gzip-compressed data, not a firmware image; unpack it with: "
                      "gzip -dc %s > %s",
                      names.shown, names.renamed);
        *reason = NamedReason;
        return FIRMWARE_UNKNOWN;
    }
    // Two letters alone could open a raw image; with the PE signature they cannot.
    if (namedBin ? IsPortableExecutable(bytes, length) : StartsWith(bytes, length, "MZ", 2)) {
        *reason =
            "looks like a Windows program (PE), not a firmware image; the receiver takes "
            "S-records (.s), Intel HEX (.hex) or raw binary (.bin)";
        return FIRMWARE_UNKNOWN;
    }
    if (namedBin) return FIRMWARE_BINARY;
    if (LooksLikeText(bytes, length)) {
        if (at == length) {
            *reason = "holds only blank lines";
        } else {
            *line = firstLine;
            *reason =
                "looks like text, not S-records or Intel HEX (a record line starts with "
                "'S' and a digit, or ':' and hex)";
        }
        return FIRMWARE_UNKNOWN;
    }
    const Names names = NamesFor(name, ".bin");
    std::snprintf(NamedReason, sizeof NamedReason,
                  "looks like raw binary; name it %s to flash it as bytes from address 0",
                  names.renamed);
    *reason = NamedReason;
    return FIRMWARE_UNKNOWN;
}

}  // namespace

const char* FirmwareFormatName(FirmwareFormat format) {
    switch (format) {
        case FIRMWARE_SRECORD:
            return "S-records";
        case FIRMWARE_INTEL_HEX:
            return "Intel HEX";
        case FIRMWARE_BINARY:
            return "binary";
        default:
            return "unknown";
    }
}

uint32_t ParseIntelHexFile(const char* text, uint32_t textLength, uint8_t* out, uint32_t capacity,
                           FirmwareReport* report) {
    if (report != nullptr) report->format = FIRMWARE_INTEL_HEX;
    if (text == nullptr || out == nullptr) return Refuse(report, 0, "no text");
    uint32_t pos = 0;
    uint32_t lineNumber = 0;
    uint32_t count = 0;
    uint32_t base = 0;
    bool segmented = false;  // the base came from an 02 record: offsets wrap at 64 KiB
    const char lineEnd = text_lines::LineEndOf(text, textLength);
    for (;;) {
        ++lineNumber;
        if (pos == textLength) {
            return Refuse(report, lineNumber, "the text ends before the end record (type 01)");
        }
        uint32_t next = 0;
        const uint32_t end = text_lines::LineAt(text, textLength, pos, lineEnd, &next);
        const char* line = text + pos;
        const uint32_t length = end - pos;

        if (length == 0 || line[0] != ':') {
            return Refuse(report, lineNumber, "not an Intel HEX record (no ':' at the start)");
        }
        for (uint32_t i = 1; i < length; ++i) {
            if (HexNibble(line[i]) < 0) return Refuse(report, lineNumber, "bad hex digit");
        }
        // Count, offset, type and checksum: 5 bytes, 10 digits after the ':'.
        if (length < 11) return Refuse(report, lineNumber, "line too short for a record");
        const char* digits = line + 1;
        const uint32_t byteCount = PairAt(digits, 0);
        if (length != 11 + 2 * byteCount) {
            return Refuse(report, lineNumber, "line length does not match the byte count");
        }
        unsigned sum = 0;
        for (uint32_t i = 0; i < byteCount + 5; ++i) sum += PairAt(digits, i);
        if ((sum & 0xFFu) != 0) return Refuse(report, lineNumber, "bad checksum");

        const uint32_t offset = static_cast<uint32_t>(PairAt(digits, 1)) << 8 | PairAt(digits, 2);
        const uint32_t type = PairAt(digits, 3);
        const char* data = digits + 8;
        switch (type) {
            case HEX_TYPE_DATA: {
                if (segmented && offset + byteCount > SEGMENT_SPAN) {
                    return Refuse(report, lineNumber,
                                  "data record runs past the end of its 64 KiB segment");
                }
                if (base + offset != count && count == 0) {
                    std::snprintf(NamedReason, sizeof NamedReason,
                                  "the image must start at address 0, not 0x%08X", base + offset);
                    return Refuse(report, lineNumber, NamedReason);
                }
                if (base + offset != count) {
                    return Refuse(report, lineNumber,
                                  "address does not continue the image (gap, overlap or disorder)");
                }
                if (byteCount > capacity - count) {
                    return Refuse(report, lineNumber, "image too large");
                }
                for (uint32_t i = 0; i < byteCount; ++i) out[count + i] = PairAt(data, i);
                count += byteCount;
                break;
            }
            case HEX_TYPE_END:
                if (byteCount != 0) return Refuse(report, lineNumber, "end record carries data");
                if (count == 0) return Refuse(report, lineNumber, "no data before the end record");
                {
                    // Two files run together would otherwise flash the first one alone.
                    uint32_t after = lineNumber;
                    if (FirstNonBlankLine(text + next, textLength - next, &after, lineEnd) !=
                        textLength - next) {
                        return Refuse(report, after, "data after the end record");
                    }
                }
                return count;
            case HEX_TYPE_SEGMENT_BASE:
            case HEX_TYPE_LINEAR_BASE:
                if (byteCount != 2) {
                    return Refuse(report, lineNumber, "address record does not carry 2 bytes");
                }
                segmented = type == HEX_TYPE_SEGMENT_BASE;
                base = (static_cast<uint32_t>(PairAt(data, 0)) << 8 | PairAt(data, 1))
                       << (segmented ? 4 : 16);
                break;
            case HEX_TYPE_SEGMENT_START:
            case HEX_TYPE_LINEAR_START:
                // Where a CPU would jump: of no use to the updater.
                if (byteCount != 4) {
                    return Refuse(report, lineNumber,
                                  "start address record does not carry 4 bytes");
                }
                break;
            default:
                return Refuse(report, lineNumber, "unknown record type");
        }
        pos = next;
    }
}

uint32_t ParseFirmwareFile(const uint8_t* bytes, uint32_t length, const char* name, uint8_t* out,
                           uint32_t capacity, FirmwareReport* report) {
    FirmwareReport ignored{};
    FirmwareReport& why = report != nullptr ? *report : ignored;
    why = FirmwareReport{0, nullptr, FIRMWARE_UNKNOWN};
    if (bytes == nullptr || out == nullptr) return Refuse(&why, 0, "no data");
    const char* reason = nullptr;
    uint32_t line = 0;
    // Editors on Windows open a UTF-8 text with a byte order mark; it is no
    // part of the records.
    const bool bom = length >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0;
    const uint32_t skip = bom ? 3 : 0;
    why.format = Detect(bytes + skip, length - skip, name, &line, &reason);
    if (bom && why.format == FIRMWARE_BINARY) {
        why.format = Detect(bytes, length, name, &line, &reason);
    } else if (bom && why.format != FIRMWARE_UNKNOWN) {
        bytes += skip;
        length -= skip;
    }
    const char* text = reinterpret_cast<const char*>(bytes);
    switch (why.format) {
        case FIRMWARE_SRECORD: {
            SRecordReport srecord{0, nullptr};
            const uint32_t count = ParseSRecordFile(text, length, out, capacity, &srecord);
            if (count == 0) Refuse(&why, srecord.line, srecord.reason);
            return count;
        }
        case FIRMWARE_INTEL_HEX:
            return ParseIntelHexFile(text, length, out, capacity, &why);
        case FIRMWARE_BINARY:
            if (length > capacity) return Refuse(&why, 0, "image too large");
            std::memcpy(out, bytes, length);
            return length;
        default:
            return Refuse(&why, line, reason);
    }
}

bool LoadFirmware(const uint8_t* bytes, uint32_t length, const char* name, FirmwareImage* image,
                  FirmwareReport* report) {
    FirmwareReport ignored{};
    FirmwareReport& why = report != nullptr ? *report : ignored;
    *image = FirmwareImage{};
    // A text's image is at most half its length, a binary's all of it.
    const uint32_t room = length < FIRMWARE_IMAGE_MAX_BYTES ? length : FIRMWARE_IMAGE_MAX_BYTES;
    std::unique_ptr<uint8_t[]> bytesOut(new (std::nothrow) uint8_t[room == 0 ? 1 : room]);
    if (!bytesOut) {
        why = FirmwareReport{0, "no memory for the image", FIRMWARE_UNKNOWN};
        return false;
    }
    const uint32_t count = ParseFirmwareFile(bytes, length, name, bytesOut.get(), room, &why);
    if (count == 0) return false;
    image->bytes = std::move(bytesOut);
    image->length = count;
    image->format = why.format;
    return true;
}

bool LoadFirmwareFile(const char* path, FirmwareImage* image, FirmwareReport* report) {
    FirmwareReport ignored{};
    FirmwareReport& why = report != nullptr ? *report : ignored;
    *image = FirmwareImage{};
    why = FirmwareReport{0, nullptr, FIRMWARE_UNKNOWN};
    std::FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        std::snprintf(NamedReason, sizeof NamedReason, "cannot be opened: %s",
                      std::strerror(path != nullptr ? errno : ENOENT));
        why.reason = NamedReason;
        return false;
    }
    long size = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
    const bool sized = size >= 0 && std::fseek(file, 0, SEEK_SET) == 0;
    if (!sized || static_cast<unsigned long>(size) > FIRMWARE_FILE_MAX_BYTES) {
        std::fclose(file);
        why.reason = sized ? "is larger than any firmware file can be" : "cannot be read";
        return false;
    }
    // One byte more than the size shows a file that grew while it was read.
    const size_t room = static_cast<size_t>(size) + 1;
    std::unique_ptr<uint8_t[]> text(new (std::nothrow) uint8_t[room]);
    size_t got = 0;
    if (text) got = std::fread(text.get(), 1, room, file);
    const bool failed = !text || std::ferror(file) != 0 || got == room;
    std::fclose(file);
    if (failed) {
        why.reason = "cannot be read";
        return false;
    }
    return LoadFirmware(text.get(), static_cast<uint32_t>(got), path, image, report);
}
