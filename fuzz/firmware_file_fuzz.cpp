// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: any bytes under any of the names a firmware file may
// have, through the format detection and the S-record, Intel HEX and binary
// loaders.
//
// The first byte picks the name; the rest is the file. The file and the
// output are heap copies of exactly the promised sizes (the output as many
// bytes as the file), so AddressSanitizer reports any access beyond either.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/firmware_file.h"

namespace {

const char* const NAMES[] = {"fw.hex", "fw.s", "fw.bin", nullptr, "dir/FW.BIN", "fw.s.gz"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 0xFFFFFFFFu) return 0;
    const char* name = NAMES[data[0] % (sizeof NAMES / sizeof NAMES[0])];
    const std::vector<uint8_t> file(data + 1, data + size);
    const auto length = static_cast<uint32_t>(file.size());
    uint8_t spare = 0;
    std::vector<uint8_t> out(length);
    uint8_t* image = out.empty() ? &spare : out.data();
    const uint8_t* bytes = file.empty() ? &spare : file.data();

    FirmwareReport report{0, nullptr, FIRMWARE_UNKNOWN};
    const uint32_t count = ParseFirmwareFile(bytes, length, name, image, length, &report);
    if (count > length) std::abort();
    if (count == 0 && (report.reason == nullptr || report.reason[0] == '\0')) std::abort();
    if (count != 0 && report.format == FIRMWARE_UNKNOWN) std::abort();
    // Raw bytes are taken only under a .bin name, and as they are.
    if (report.format == FIRMWARE_BINARY) {
        if (name == nullptr || count != length || std::memcmp(image, bytes, count) != 0) {
            std::abort();
        }
    }
    // A text's image is at most half of it.
    if (report.format != FIRMWARE_BINARY && count > length / 2) std::abort();

    // The parse depends on the bytes alone, and a refusal on the same line.
    std::vector<uint8_t> again(length);
    FirmwareReport second{0, nullptr, FIRMWARE_UNKNOWN};
    uint8_t* image2 = again.empty() ? &spare : again.data();
    if (ParseFirmwareFile(bytes, length, name, image2, length, &second) != count) std::abort();
    if (second.format != report.format || second.line != report.line) std::abort();
    if (count != 0 && std::memcmp(image, image2, count) != 0) std::abort();

    // The Intel HEX loader on its own, with no more room than the image needs,
    // on the text after the byte order mark the detection skips.
    if (report.format == FIRMWARE_INTEL_HEX && count != 0) {
        const uint32_t bom = length >= 3 && std::memcmp(bytes, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
        const char* text = reinterpret_cast<const char*>(bytes) + bom;
        std::vector<uint8_t> exact(count);
        FirmwareReport hex{0, nullptr, FIRMWARE_UNKNOWN};
        if (ParseIntelHexFile(text, length - bom, exact.data(), count, &hex) != count) {
            std::abort();
        }
        if (count > 1 &&
            ParseIntelHexFile(text, length - bom, exact.data(), count - 1, &hex) != 0) {
            std::abort();
        }
    }
    return 0;
}
