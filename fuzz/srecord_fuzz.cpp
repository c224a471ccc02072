// SPDX-License-Identifier: Apache-2.0
// libFuzzer target: S-record text of any content through the parser of the
// built-in image and the loader of files from outside.
//
// The text and the output are heap copies of exactly the sizes the parser is
// promised, so AddressSanitizer reports any read past the text or write past
// textLength / 2 bytes of output.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "image/image.h"
#include "image/srecord_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) return 0;
    const auto length = static_cast<uint32_t>(size);
    std::vector<char> text(data, data + size);
    std::vector<uint8_t> out(length / 2);
    std::vector<uint8_t> again(length / 2);
    // A non-null pointer even for an empty buffer.
    uint8_t spare = 0;
    uint8_t* first = out.empty() ? &spare : out.data();
    const uint32_t count = ParseSRecords(text.empty() ? "" : text.data(), length, first);
    if (count > length / 2) std::abort();
    // The parse depends on the text alone.
    uint8_t* second = again.empty() ? &spare : again.data();
    if (ParseSRecords(text.empty() ? "" : text.data(), length, second) != count) std::abort();
    if (count != 0 && std::memcmp(first, second, count) != 0) std::abort();

    // The file loader takes everything the built-in parser takes, to the same
    // bytes, unless more than blank lines follow the end record (which the
    // built-in parser never reads), and says why whenever it refuses.
    std::vector<uint8_t> file(length / 2);
    uint8_t* third = file.empty() ? &spare : file.data();
    SRecordReport report{0, nullptr};
    const uint32_t fileCount = ParseSRecordFile(text.empty() ? "" : text.data(), length, third,
                                                static_cast<uint32_t>(file.size()), &report);
    if (fileCount > file.size()) std::abort();
    if (fileCount == 0 && report.reason == nullptr) std::abort();
    const bool trailing =
        fileCount == 0 && std::strcmp(report.reason, "data after the end record") == 0;
    if (count != 0 && !trailing && (fileCount != count || std::memcmp(first, third, count) != 0)) {
        std::abort();
    }
    return 0;
}
