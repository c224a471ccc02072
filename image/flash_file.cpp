// SPDX-License-Identifier: Apache-2.0
// Writing a flash as a file. Intel HEX: an 04 record (the upper 16 address
// bits) at the start of every 64 KiB, then 00 records of 16 bytes, then the
// 01 end record, as other tools read it.

#include "image/flash_file.h"

#include <cstring>

#include "image/srecord_file.h"

namespace {

constexpr uint32_t HEX_DATA_PER_RECORD = 16;
constexpr uint32_t SEGMENT = 0x10000;
constexpr char HEX_END[] = ":00000001FF\r\n";
constexpr uint32_t HEX_END_LENGTH = sizeof HEX_END - 1;
constexpr uint32_t HEX_BASE_LENGTH = 15 + 2;  // ":02000004HHHHCC", CR LF

bool EndsWith(const char* name, const char* extension) {
    const size_t length = std::strlen(name);
    const size_t tail = std::strlen(extension);
    if (length < tail) return false;
    for (size_t i = 0; i < tail; ++i) {
        const char c = name[length - tail + i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != extension[i]) return false;
    }
    return true;
}

uint8_t* PutHex(uint8_t* out, uint32_t value, int digits) {
    static const char digitsOf[] = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; --i) *out++ = digitsOf[(value >> (4 * i)) & 0xF];
    return out;
}

// One record: ':', count, offset, type, data, checksum, CR LF.
uint8_t* PutHexRecord(uint8_t* p, uint32_t offset, uint32_t type, const uint8_t* data,
                      uint32_t count) {
    unsigned sum = count + (offset >> 8) + (offset & 0xFF) + type;
    *p++ = ':';
    p = PutHex(p, count, 2);
    p = PutHex(p, offset, 4);
    p = PutHex(p, type, 2);
    for (uint32_t i = 0; i < count; ++i) {
        p = PutHex(p, data[i], 2);
        sum += data[i];
    }
    p = PutHex(p, -sum & 0xFFu, 2);
    *p++ = '\r';
    *p++ = '\n';
    return p;
}

uint32_t IntelHexLength(uint32_t length) {
    const uint32_t segments = (length + SEGMENT - 1) / SEGMENT;
    const uint32_t full = length / HEX_DATA_PER_RECORD;
    const uint32_t rest = length % HEX_DATA_PER_RECORD;
    uint32_t total = segments * HEX_BASE_LENGTH + full * (13 + 2 * HEX_DATA_PER_RECORD);
    if (rest != 0) total += 13 + 2 * rest;
    return total + HEX_END_LENGTH;
}

}  // namespace

FirmwareFormat FlashFileFormatFor(const char* name) {
    if (name == nullptr) return FIRMWARE_SRECORD;
    if (EndsWith(name, ".bin")) return FIRMWARE_BINARY;
    if (EndsWith(name, ".hex") || EndsWith(name, ".ihx")) return FIRMWARE_INTEL_HEX;
    return FIRMWARE_SRECORD;
}

uint32_t FlashFileLength(FirmwareFormat format, uint32_t length) {
    switch (format) {
        case FIRMWARE_SRECORD:
            return SRecordS3TextLength(length);
        case FIRMWARE_INTEL_HEX:
            return IntelHexLength(length);
        case FIRMWARE_BINARY:
            return length;
        default:
            return 0;
    }
}

uint32_t FlashFileWrite(FirmwareFormat format, const uint8_t* data, uint32_t length, uint8_t* out,
                        uint32_t capacity) {
    const uint32_t total = FlashFileLength(format, length);
    if (out == nullptr || total == 0 || capacity < total || (data == nullptr && length != 0)) {
        return 0;
    }
    switch (format) {
        case FIRMWARE_SRECORD:
            return SRecordWriteS3(data, length, reinterpret_cast<char*>(out), capacity);
        case FIRMWARE_BINARY:
            if (length != 0) std::memcpy(out, data, length);
            return length;
        default:
            break;
    }
    uint8_t* p = out;
    for (uint32_t address = 0; address < length; address += HEX_DATA_PER_RECORD) {
        if (address % SEGMENT == 0) {
            const uint8_t base[2] = {static_cast<uint8_t>(address >> 24),
                                     static_cast<uint8_t>(address >> 16)};
            p = PutHexRecord(p, 0, 0x04, base, 2);
        }
        const uint32_t n =
            length - address < HEX_DATA_PER_RECORD ? length - address : HEX_DATA_PER_RECORD;
        p = PutHexRecord(p, address & 0xFFFF, 0x00, data + address, n);
    }
    std::memcpy(p, HEX_END, HEX_END_LENGTH);
    p += HEX_END_LENGTH;
    return static_cast<uint32_t>(p - out);
}
