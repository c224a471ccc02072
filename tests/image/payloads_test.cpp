// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "payloads/payloads.h"

namespace {

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string{std::istreambuf_iterator<char>(in), {}};
}

// The linked-in arrays are the payload files, byte for byte.
TEST(Payloads, ArraysAreTheFiles) {
    struct Case {
        const char* file;
        const uint8_t* data;
        uint32_t length;
        uint32_t expected;
    };
    const Case cases[] = {
        {ZELVAR_FIRST_STAGE_FILE, FirstStageImage, FirstStageImageLength, 1200},
        {ZELVAR_FLASH_AGENT_FILE, FlashAgentImage, FlashAgentImageLength, 14748},
        {ZELVAR_FIRMWARE_FILE, FirmwareSRecordText, FirmwareSRecordTextLength, 1446048},
    };
    for (const Case& c : cases) {
        const std::string content = ReadFile(c.file);
        EXPECT_EQ(c.length, c.expected) << c.file;
        ASSERT_EQ(content.size(), c.length) << c.file;
        EXPECT_EQ(content, std::string(reinterpret_cast<const char*>(c.data), c.length)) << c.file;
    }
}

}  // namespace
