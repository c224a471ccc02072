// SPDX-License-Identifier: Apache-2.0
// The loader for S-record files from outside: what srec_cat writes is taken,
// every damage is refused with its line and reason, and the S3 writer's text
// is read back to the same bytes by both loaders.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "image/firmware_file.h"
#include "image/image.h"
#include "image/srecord_file.h"

namespace {

// One record of type t at address with data, checksum computed, no line end.
std::string Record(char type, uint32_t address, int addressBytes,
                   const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(addressBytes + data.size() + 1));
    for (int i = addressBytes - 1; i >= 0; --i)
        bytes.push_back(static_cast<uint8_t>(address >> (8 * i)));
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(~sum));
    std::string text = std::string("S") + type;
    char hex[3];
    for (uint8_t b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
    }
    return text;
}

struct Parsed {
    uint32_t count;
    SRecordReport report;
    std::vector<uint8_t> image;
};

Parsed Parse(const std::string& text) {
    Parsed p{0, {0, nullptr}, std::vector<uint8_t>(text.size() / 2 + 1)};
    p.count = ParseSRecordFile(text.data(), static_cast<uint32_t>(text.size()), p.image.data(),
                               static_cast<uint32_t>(p.image.size()), &p.report);
    p.image.resize(p.count);
    return p;
}

const std::vector<uint8_t> A = {1, 2, 3, 4};
const std::vector<uint8_t> B = {5, 6};

TEST(SRecordFile, TakesTheFormsOtherToolsWrite) {
    const std::string header = Record('0', 0, 2, {'h', 'i'});
    struct Case {
        const char* what;
        std::string text;
    };
    const Case cases[] = {
        {"CR LF, S3, S7", Record('3', 0, 4, A) + "\r\n" + Record('3', 4, 4, B) + "\r\n" +
                              Record('7', 0, 4, {}) + "\r\n"},
        {"LF, S0, S1, S5, S9", header + "\n" + Record('1', 0, 2, A) + "\n" + Record('1', 4, 2, B) +
                                   "\n" + Record('5', 2, 2, {}) + "\n" + Record('9', 0, 2, {}) +
                                   "\n"},
        {"S2, S8, no final line end",
         Record('2', 0, 3, A) + "\n" + Record('2', 4, 3, B) + "\n" + Record('8', 0, 3, {})},
        {"S6 count and no end record",
         Record('3', 0, 4, A) + "\n" + Record('3', 4, 4, B) + "\n" + Record('6', 2, 3, {}) + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Parsed p = Parse(c.text);
        EXPECT_EQ(p.image, std::vector<uint8_t>({1, 2, 3, 4, 5, 6})) << p.report.reason;
    }
}

TEST(SRecordFile, RefusesDamageNamingTheLineAndTheReason) {
    const std::string one = Record('3', 0, 4, A);
    const std::string two = Record('3', 4, 4, B);
    const std::string end = Record('7', 0, 4, {});
    std::string badSum = two;
    badSum.back() = badSum.back() == '0' ? '1' : '0';
    std::string notHex = two;
    notHex[12] = 'G';
    struct Case {
        std::string text;
        uint32_t line;
        const char* reason;
    };
    const Case cases[] = {
        {one + "\n" + badSum + "\n" + end + "\n", 2, "bad checksum"},
        {one + "\n" + notHex + "\n" + end + "\n", 2, "bad hex digit"},
        {one + "\n" + Record('3', 5, 4, B) + "\n" + end + "\n", 2, "address does not continue"},
        {one + "\n" + two + "0\n" + end + "\n", 2, "line length does not match"},
        {one + "\n" + two + "\n", 3, "the text ends before"},
        {one + "\n" + two + "\n" + Record('5', 3, 2, {}) + "\n", 3, "record count differs"},
        {one + "\n" + Record('4', 4, 4, B) + "\n" + end + "\n", 2, "unknown record type"},
        {one + "\n\n" + end + "\n", 2, "not an S-record"},
        {end + "\n", 1, "no data before the termination"},
        {one + "\r\r\n" + end + "\n", 1, "line length does not match"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Parsed p = Parse(c.text);
        EXPECT_EQ(p.count, 0u);
        EXPECT_EQ(p.report.line, c.line);
        ASSERT_NE(p.report.reason, nullptr);
        EXPECT_NE(std::string(p.report.reason).find(c.reason), std::string::npos)
            << p.report.reason;
    }
}

// Two files run together must not flash as the first one alone.
TEST(SRecordFile, OnlyBlankLinesMayFollowTheEndRecord) {
    const std::string body = Record('1', 0, 2, A) + "\n" + Record('1', 4, 2, B) + "\n";
    struct Case {
        const char* what;
        std::string end;  // the end record and what follows it
        uint32_t line;    // 0: taken
    };
    const Case cases[] = {
        {"blank lines, spaces, tabs, CR", Record('9', 0, 2, {}) + "\n\n  \t\r\n\r\n", 0},
        {"blanks without a final line end", Record('8', 0, 3, {}) + "\r\n \t", 0},
        {"blank lines after a closing S5 count", Record('5', 2, 2, {}) + "\n\n \r\n", 0},
        {"a second file", Record('9', 0, 2, {}) + "\n" + body + Record('9', 0, 2, {}) + "\n", 4},
        {"a record after blank lines",
         Record('7', 0, 4, {}) + "\r\n\r\n \r\n" + Record('3', 6, 4, B) + "\r\n", 6},
        {"a second end record", Record('9', 0, 2, {}) + "\n" + Record('9', 0, 2, {}), 4},
        {"text on the line after", Record('9', 0, 2, {}) + "\n  x\n", 4},
        {"a NUL after the line end", Record('9', 0, 2, {}) + "\n" + std::string(1, '\0'), 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Parsed p = Parse(body + c.end);
        if (c.line == 0) {
            EXPECT_EQ(p.image, std::vector<uint8_t>({1, 2, 3, 4, 5, 6})) << p.report.reason;
        } else {
            EXPECT_EQ(p.count, 0u);
            EXPECT_EQ(p.report.line, c.line);
            EXPECT_STREQ(p.report.reason, "data after the end record");
        }
    }
}

TEST(SRecordFile, AFileThatCannotBeOpenedIsRefusedWithTheSystemsReason) {
    const std::string missing = testing::TempDir() + "zelvar_no_such_dir/none.s";
    FirmwareImage image;
    FirmwareReport report{};
    EXPECT_FALSE(LoadFirmwareFile(missing.c_str(), &image, &report));
    EXPECT_EQ(image.length, 0u);
    EXPECT_EQ(report.line, 0u);
    EXPECT_NE(std::string(report.reason).find(std::strerror(ENOENT)), std::string::npos)
        << report.reason;
}

TEST(SRecordFile, RefusesAnImageLargerThanTheRoomGiven) {
    const std::string text = Record('3', 0, 4, A) + "\n" + Record('7', 0, 4, {}) + "\n";
    uint8_t out[3];
    SRecordReport report{};
    EXPECT_EQ(
        ParseSRecordFile(text.data(), static_cast<uint32_t>(text.size()), out, sizeof out, &report),
        0u);
    EXPECT_EQ(report.line, 1u);
    EXPECT_STREQ(report.reason, "image too large");
}

TEST(SRecordFile, WrittenS3TextReadsBackWithBothLoaders) {
    for (uint32_t length : {0u, 1u, 16u, 17u, 4099u}) {
        SCOPED_TRACE(length);
        std::vector<uint8_t> data(length);
        for (uint32_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(i * 13 + 7);
        std::string text(SRecordS3TextLength(length), '?');
        ASSERT_EQ(
            SRecordWriteS3(data.data(), length, text.data(), static_cast<uint32_t>(text.size())),
            text.size());
        EXPECT_EQ(text.find('?'), std::string::npos);
        EXPECT_EQ(text.substr(text.size() - 16), "S70500000000FA\r\n");
        EXPECT_EQ(SRecordWriteS3(data.data(), length, text.data(),
                                 static_cast<uint32_t>(text.size() - 1)),
                  0u);
        std::vector<uint8_t> strict(text.size());
        const uint32_t strictCount =
            ParseSRecords(text.data(), static_cast<uint32_t>(text.size()), strict.data());
        strict.resize(strictCount);
        const Parsed p = Parse(text);
        if (length == 0) {
            EXPECT_EQ(strictCount, 0u);  // no data: no image, for either loader
            EXPECT_EQ(p.count, 0u);
        } else {
            EXPECT_EQ(strict, data);
            EXPECT_EQ(p.image, data);
        }
    }
}

}  // namespace
