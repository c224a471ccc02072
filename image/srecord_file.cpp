// SPDX-License-Identifier: Apache-2.0
// Loading and writing S-record files; the parser is srecord.cpp's, in its
// file dialect.

#include "image/srecord_file.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

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
