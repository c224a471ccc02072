// SPDX-License-Identifier: Apache-2.0
// Loading and writing S-record files; the parser is srecord.cpp's, in its
// file dialect.

#include "image/srecord_file.h"

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
