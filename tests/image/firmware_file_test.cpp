// SPDX-License-Identifier: Apache-2.0
// Firmware files from outside: Intel HEX taken in every addressing form and
// refused for every damage with its line, the format told by the content, and
// srec_cat's S-record, Intel HEX and binary forms of one image read back to
// the same bytes.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/firmware_file.h"
#include "image/srecord_file.h"

namespace {

// One Intel HEX record, checksum computed, no line end.
std::string Hex(uint8_t type, uint16_t offset, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(data.size()),
                                  static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                                  type};
    bytes.insert(bytes.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : bytes) sum += b;
    bytes.push_back(static_cast<uint8_t>(-sum));
    std::string text = ":";
    char pair[3];
    for (uint8_t b : bytes) {
        std::snprintf(pair, sizeof pair, "%02X", b);
        text += pair;
    }
    return text;
}

const std::string End = Hex(0x01, 0, {});

std::vector<uint8_t> Bytes(uint32_t count, uint32_t seed = 1) {
    std::vector<uint8_t> bytes(count);
    uint32_t x = seed;
    for (uint8_t& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

struct Parsed {
    uint32_t count;
    FirmwareReport report;
    std::vector<uint8_t> image;
};

Parsed Parse(const std::string& content, const char* name) {
    Parsed p{0, {0, nullptr, FIRMWARE_UNKNOWN}, std::vector<uint8_t>(content.size() + 1)};
    p.count = ParseFirmwareFile(reinterpret_cast<const uint8_t*>(content.data()),
                                static_cast<uint32_t>(content.size()), name, p.image.data(),
                                static_cast<uint32_t>(p.image.size()), &p.report);
    p.image.resize(p.count);
    return p;
}

std::string Join(const std::vector<std::string>& lines, const char* end = "\n") {
    std::string text;
    for (const std::string& line : lines) text += line + end;
    return text;
}

const std::vector<uint8_t> A = {1, 2, 3, 4};
const std::vector<uint8_t> B = {5, 6};
const std::vector<uint8_t> AB = {1, 2, 3, 4, 5, 6};

TEST(IntelHexFile, TakesEveryAddressingForm) {
    // 0x10000 bytes in records of 0x1000, then more past the first 64 KiB.
    const std::vector<uint8_t> big = Bytes(0x10000 + 6);
    std::vector<std::string> linear = {Hex(0x04, 0, {0, 0})};
    std::vector<std::string> segment = {Hex(0x02, 0, {0, 0})};
    for (uint32_t at = 0; at < 0x10000; at += 0x80) {
        const std::vector<uint8_t> chunk(big.begin() + at, big.begin() + at + 0x80);
        linear.push_back(Hex(0x00, static_cast<uint16_t>(at), chunk));
        segment.push_back(Hex(0x00, static_cast<uint16_t>(at), chunk));
    }
    const std::vector<uint8_t> tail(big.end() - 6, big.end());
    linear.push_back(Hex(0x04, 0, {0, 1}));
    linear.push_back(Hex(0x00, 0, tail));
    linear.push_back(Hex(0x05, 0, {0, 0, 0, 0}));
    linear.push_back(End);
    // Segment 0x0FFF offset 0x10 and segment 0x1000 offset 0 are both 0x10000.
    segment.push_back(Hex(0x02, 0, {0x0F, 0xFF}));
    segment.push_back(Hex(0x00, 0x0010, std::vector<uint8_t>(tail.begin(), tail.begin() + 2)));
    segment.push_back(Hex(0x02, 0, {0x10, 0x00}));
    segment.push_back(Hex(0x00, 2, std::vector<uint8_t>(tail.begin() + 2, tail.end())));
    segment.push_back(Hex(0x03, 0, {0, 0, 0, 0}));
    segment.push_back(End);

    std::string lower = Hex(0x00, 0, A);
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct Case {
        const char* what;
        std::string text;
        std::vector<uint8_t> image;
    };
    const Case cases[] = {
        {"plain, LF", Join({Hex(0x00, 0, A), Hex(0x00, 4, B), End}), AB},
        {"CR LF, blank lines after the end",
         Join({Hex(0x00, 0, A), Hex(0x00, 4, B), End, "", "  \t"}, "\r\n"), AB},
        {"no line end after the end record", Join({Hex(0x00, 0, A), Hex(0x00, 4, B)}) + End, AB},
        {"lower-case hex", Join({lower, Hex(0x00, 4, B), End}), AB},
        {"04 extended linear address past 64 KiB", Join(linear), big},
        {"02 extended segment address past 64 KiB", Join(segment, "\r\n"), big},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Parsed p = Parse(c.text, "fw.hex");
        EXPECT_EQ(p.report.format, FIRMWARE_INTEL_HEX);
        EXPECT_EQ(p.count, c.image.size()) << p.report.line << ": " << p.report.reason;
        EXPECT_TRUE(p.image == c.image);
    }
}

TEST(IntelHexFile, RefusesDamageNamingTheLineAndTheReason) {
    const std::string one = Hex(0x00, 0, A);
    std::string badSum = Hex(0x00, 4, B);
    badSum.back() = badSum.back() == '0' ? '1' : '0';
    std::string notHex = Hex(0x00, 4, B);
    notHex[9] = 'G';
    struct Case {
        std::string text;
        uint32_t line;
        const char* reason;
    };
    const Case cases[] = {
        {Join({one, badSum, End}), 2, "bad checksum"},
        {Join({one, Hex(0x00, 5, B), End}), 2, "address does not continue"},  // gap
        {Join({one, Hex(0x00, 3, B), End}), 2, "address does not continue"},  // overlap
        {Join({Hex(0x00, 1, A), End}), 1, "must start at address 0, not 0x00000001"},
        {Join({one, Hex(0x04, 0, {0, 1}), Hex(0x00, 4, B), End}), 3, "address does not continue"},
        {Join({one, Hex(0x06, 0, {}), End}), 2, "unknown record type"},
        {Join({one, End, Hex(0x00, 4, B)}), 3, "data after the end record"},
        {Join({one, End, "", " ", End}), 5, "data after the end record"},
        {Join({one, ":0400000", End}), 2, "line too short"},
        {Join({one, notHex, End}), 2, "bad hex digit"},
        {Join({one, Hex(0x00, 4, B) + "00", End}), 2, "line length does not match"},
        {Join({one, "", End}), 2, "not an Intel HEX record"},
        {Join({one, Hex(0x00, 4, B)}), 3, "the text ends before the end record"},
        {Join({one, Hex(0x01, 0, {0}), End}), 2, "end record carries data"},
        {Join({Hex(0x04, 0, {0, 0}), End}), 2, "no data before the end record"},
        {Join({one, Hex(0x04, 0, {0}), End}), 2, "address record does not carry 2 bytes"},
        {Join({one, Hex(0x05, 0, {0, 0}), End}), 2, "start address record does not carry 4"},
        {Join({Hex(0x02, 0, {0, 0}), Hex(0x00, 0xFFFE, A), End}), 2, "64 KiB segment"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const Parsed p = Parse(c.text, "fw.hex");
        EXPECT_EQ(p.count, 0u);
        EXPECT_EQ(p.report.line, c.line);
        ASSERT_NE(p.report.reason, nullptr);
        EXPECT_NE(std::string(p.report.reason).find(c.reason), std::string::npos)
            << p.report.reason;
    }
}

TEST(FirmwareFile, TellsTheFormatByContent) {
    const std::vector<uint8_t> image = Bytes(300, 7);
    std::string srecords(SRecordS3TextLength(300), '\0');
    SRecordWriteS3(image.data(), 300, srecords.data(), static_cast<uint32_t>(srecords.size()));
    const std::string hex = Join({Hex(0x00, 0, A), Hex(0x00, 4, B), End}, "\r\n");
    const std::string random(image.begin(), image.end());
    std::string pe(0x80, '\0');
    pe[0] = 'M';
    pe[1] = 'Z';
    pe[0x3C] = 0x40;
    pe.replace(0x40, 4, std::string("PE\0\0", 4));
    const std::string mzOnly = "MZ" + random;
    const std::string binaryS = std::string("S1\0\x13\xFF", 5) + random;
    struct Case {
        const char* what;
        std::string content;
        const char* name;
        FirmwareFormat format;
        std::vector<uint8_t> image;  // when taken
        const char* reason;          // when refused
        uint32_t line;
    };
    const Case cases[] = {
        {"S-records named .hex", srecords, "fw.hex", FIRMWARE_SRECORD, image, nullptr, 0},
        {"S-records named .bin", srecords, "fw.bin", FIRMWARE_SRECORD, image, nullptr, 0},
        {"Intel HEX named .s", hex, "fw.s", FIRMWARE_INTEL_HEX, AB, nullptr, 0},
        {"random bytes named .BIN", random, "FW.BIN", FIRMWARE_BINARY, image, nullptr, 0},
        {".bin opening with MZ", mzOnly, "fw.bin", FIRMWARE_BINARY,
         std::vector<uint8_t>(mzOnly.begin(), mzOnly.end()), nullptr, 0},
        {".bin opening with S1 and bytes", binaryS, "fw.bin", FIRMWARE_BINARY,
         std::vector<uint8_t>(binaryS.begin(), binaryS.end()), nullptr, 0},
        {"ELF",
         std::string("\x7f"
                     "ELF\x01\x01\x01",
                     7) +
             random,
         "build/fw.elf",
         FIRMWARE_UNKNOWN,
         {},
         "looks like an ELF executable, not a firmware image; convert it "
         "with: objcopy -O srec build/fw.elf build/fw.s",
         0},
        {"ELF named .bin",
         std::string("\x7f"
                     "ELF\x02",
                     5) +
             random,
         "fw.bin",
         FIRMWARE_UNKNOWN,
         {},
         "looks like an ELF executable",
         0},
        {"PE", pe, "setup.exe", FIRMWARE_UNKNOWN, {}, "looks like a Windows program (PE)", 0},
        {"PE named .bin", pe, "fw.bin", FIRMWARE_UNKNOWN, {}, "looks like a Windows program", 0},
        {"zip",
         std::string("PK\x03\x04", 4) + random,
         "fw.zip",
         FIRMWARE_UNKNOWN,
         {},
         "looks like a zip archive",
         0},
        {"gzip",
         "\x1f\x8b\x08" + random,
         "fw.s.gz",
         FIRMWARE_UNKNOWN,
         {},
         "looks like gzip-compressed data, not a firmware image; unpack it with: "
         "gzip -dc fw.s.gz > fw.s",
         0},
        {"plain text",
         "\n\r\nRelease notes, version 2\n",
         "notes.txt",
         FIRMWARE_UNKNOWN,
         {},
         "looks like text, not S-records or Intel HEX",
         3},
        {"UTF-8 text",
         "Gr\xc3\xbc\xc3\x9f"
         "e\n",
         "fw.s",
         FIRMWARE_UNKNOWN,
         {},
         "looks like text",
         1},
        {"only blank lines", "\n \r\n", "fw.s", FIRMWARE_UNKNOWN, {}, "holds only blank lines", 0},
        {"random bytes named .hex",
         random,
         "dir/fw.hex",
         FIRMWARE_UNKNOWN,
         {},
         "looks like raw binary; name it dir/fw.bin to flash it as bytes from address 0",
         0},
        {"random bytes, no name", random, nullptr, FIRMWARE_UNKNOWN, {}, "name it FILE.bin", 0},
        {"empty", "", "fw.bin", FIRMWARE_UNKNOWN, {}, "is empty", 0},
        {"S-records refused on their line",
         "S107000001020304EE\nS9030000FC\nS9030000FC\n",
         "fw.s",
         FIRMWARE_SRECORD,
         {},
         "data after the end record",
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Parsed p = Parse(c.content, c.name);
        EXPECT_EQ(p.report.format, c.format);
        if (c.reason == nullptr) {
            EXPECT_TRUE(p.image == c.image) << p.report.line << ": " << p.report.reason;
            EXPECT_NE(p.count, 0u);
        } else {
            EXPECT_EQ(p.count, 0u);
            EXPECT_EQ(p.report.line, c.line);
            ASSERT_NE(p.report.reason, nullptr);
            EXPECT_NE(std::string(p.report.reason).find(c.reason), std::string::npos)
                << p.report.reason;
        }
    }
}

TEST(FirmwareFile, ABackUpOfTheLargestFlashIsNotTooLargeToReadBack) {
    EXPECT_LE(SRecordS3TextLength(FIRMWARE_IMAGE_MAX_BYTES), FIRMWARE_FILE_MAX_BYTES);
}

TEST(FirmwareFile, LoadedImageIsOwnedAndBoundedByTheLargestFlash) {
    const std::vector<uint8_t> image = Bytes(1000, 3);
    FirmwareImage loaded;
    FirmwareReport report{};
    ASSERT_TRUE(LoadFirmware(image.data(), 1000, "fw.bin", &loaded, &report));
    EXPECT_EQ(std::vector<uint8_t>(loaded.bytes.get(), loaded.bytes.get() + loaded.length), image);

    const std::vector<uint8_t> huge(FIRMWARE_IMAGE_MAX_BYTES + 1, 0x5A);
    EXPECT_FALSE(
        LoadFirmware(huge.data(), static_cast<uint32_t>(huge.size()), "fw.bin", &loaded, &report));
    EXPECT_EQ(loaded.length, 0u);
    EXPECT_STREQ(report.reason, "image too large");
}

#ifndef _WIN32
std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// srec_cat writes one image as S-records, Intel HEX of every address length
// and record size, and binary; every form reads back to the same bytes.
TEST(FirmwareFile, SrecCatFormsReadToTheSameBytes) {
    const std::string srecCat = ZELVAR_SREC_CAT;
    ASSERT_FALSE(srecCat.empty())
        << "srec_cat was not found when the build was configured; install the Debian package "
           "srecord and configure again. This cross-check must not be skipped.";
    // Past two 64 KiB boundaries, so each addressing form has to move its base.
    const std::vector<uint8_t> image = Bytes(0x2345A, 11);
    std::string text(SRecordS3TextLength(static_cast<uint32_t>(image.size())), '\0');
    SRecordWriteS3(image.data(), static_cast<uint32_t>(image.size()), text.data(),
                   static_cast<uint32_t>(text.size()));
    const std::string dir = testing::TempDir();
    const std::string in = dir + "zelvar_fw_in.s";
    std::ofstream(in, std::ios::binary) << text;

    struct Form {
        const char* file;
        const char* options;
        FirmwareFormat format;
        const char* mark;  // a record the form must hold, so the test sees the form it means
    };
    const Form forms[] = {
        {"fw.hex", "-intel", FIRMWARE_INTEL_HEX, ":020000040001F9"},
        {"fw-i32.hex", "-intel -address-length=4", FIRMWARE_INTEL_HEX, ":020000040002F8"},
        {"fw-i16.ihx", "-intel -address-length=3", FIRMWARE_INTEL_HEX, ":020000021000EC"},
        {"fw-blocks.hex", "-intel -Output_Block_Size=7", FIRMWARE_INTEL_HEX, ":07000000"},
        {"fw-blocks16.hex", "-intel -address-length=3 -Output_Block_Size=13", FIRMWARE_INTEL_HEX,
         ":0D000000"},
        {"fw.bin", "-binary", FIRMWARE_BINARY, nullptr},
        {"fw-s1.s", "-motorola -Output_Block_Size=5", FIRMWARE_SRECORD, "S2"},
        {"fw-s3.s", "-motorola -address-length=4", FIRMWARE_SRECORD, "S3"},
    };
    for (const Form& f : forms) {
        SCOPED_TRACE(f.options);
        const std::string out = dir + "zelvar_" + f.file;
        std::remove(out.c_str());
        const std::string command =
            "'" + srecCat + "' '" + in + "' -o '" + out + "' " + f.options + " 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        const std::vector<uint8_t> bytes = ReadAll(out);
        std::remove(out.c_str());
        if (f.mark != nullptr) {
            EXPECT_NE(std::string(bytes.begin(), bytes.end()).find(f.mark), std::string::npos);
        }
        std::vector<uint8_t> parsed(bytes.size());
        FirmwareReport report{};
        const uint32_t count =
            ParseFirmwareFile(bytes.data(), static_cast<uint32_t>(bytes.size()), out.c_str(),
                              parsed.data(), static_cast<uint32_t>(parsed.size()), &report);
        EXPECT_EQ(report.format, f.format);
        ASSERT_EQ(count, image.size()) << report.line << ": " << report.reason;
        parsed.resize(count);
        EXPECT_TRUE(parsed == image);
    }
    std::remove(in.c_str());
}
#endif

}  // namespace
