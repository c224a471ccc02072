// SPDX-License-Identifier: Apache-2.0
// A flash written as a file comes back whole through the one loader and
// through srec_cat, in each form the name chooses; the loader takes the text
// forms editors and tools leave (byte order mark, CR line ends, lower case)
// and says when an image does not start at address 0.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image/firmware_file.h"
#include "image/flash_file.h"

namespace {

// A flash with an image at its start and erased bytes after it: the tail
// must come back too, or a restore leaves a longer image's end in place.
std::vector<uint8_t> Flash(uint32_t size, uint32_t image) {
    std::vector<uint8_t> flash(size, 0xFF);
    uint32_t x = 7;
    for (uint32_t i = 0; i < image; ++i) {
        x = x * 1103515245u + 12345u;
        flash[i] = static_cast<uint8_t>(x >> 16);
    }
    return flash;
}

std::vector<uint8_t> Written(const char* name, const std::vector<uint8_t>& flash) {
    const FirmwareFormat format = FlashFileFormatFor(name);
    const auto length = static_cast<uint32_t>(flash.size());
    std::vector<uint8_t> out(FlashFileLength(format, length));
    EXPECT_EQ(
        FlashFileWrite(format, flash.data(), length, out.data(), static_cast<uint32_t>(out.size())),
        out.size());
    return out;
}

TEST(FlashFile, EachFormRestoresTheWholeFlashErasedTailIncluded) {
    // Past two 64 KiB boundaries and not a whole number of records.
    const std::vector<uint8_t> flash = Flash(0x2345A, 0x1000);
    const struct {
        const char* name;
        FirmwareFormat format;
        const char* srecCatIn;
    } forms[] = {
        {"back.s", FIRMWARE_SRECORD, ""},
        {"BACK.HEX", FIRMWARE_INTEL_HEX, "-intel"},
        {"back.ihx", FIRMWARE_INTEL_HEX, "-intel"},
        {"back.bin", FIRMWARE_BINARY, "-binary"},
    };
    const std::string srecCat = ZELVAR_SREC_CAT;
    for (const auto& f : forms) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(FlashFileFormatFor(f.name), f.format);
        const std::vector<uint8_t> file = Written(f.name, flash);
        FirmwareImage image;
        FirmwareReport report{};
        ASSERT_TRUE(
            LoadFirmware(file.data(), static_cast<uint32_t>(file.size()), f.name, &image, &report))
            << report.line << ": " << report.reason;
        EXPECT_EQ(image.format, f.format);
        ASSERT_EQ(image.length, flash.size());
        EXPECT_TRUE(std::equal(flash.begin(), flash.end(), image.bytes.get()));
#ifndef _WIN32
        if (srecCat.empty()) continue;
        const std::string in = testing::TempDir() + "zelvar_flash_" + f.name;
        const std::string out = in + ".out";
        std::ofstream(in, std::ios::binary)
            .write(reinterpret_cast<const char*>(file.data()),
                   static_cast<std::streamsize>(file.size()));
        const std::string command = "'" + srecCat + "' '" + in + "' " + f.srecCatIn + " -o '" +
                                    out + "' -binary 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream back(out, std::ios::binary);
        EXPECT_TRUE(std::vector<uint8_t>(std::istreambuf_iterator<char>(back), {}) == flash);
        std::remove(in.c_str());
        std::remove(out.c_str());
#endif
    }
    EXPECT_EQ(FlashFileWrite(FIRMWARE_INTEL_HEX, flash.data(), 16, nullptr, 1000), 0u);
    uint8_t small[8];
    EXPECT_EQ(FlashFileWrite(FIRMWARE_SRECORD, flash.data(), 16, small, sizeof small), 0u);
}

TEST(FirmwareLoader, TakesTheFormsToolsLeaveAndNamesAWrongStart) {
    const std::string s = "S3090000000001020304EC\r\nS70500000000FA\r\n";
    const std::string hex = ":0400000001020304F2\r\n:00000001FF\r\n";
    const std::string bom = "\xEF\xBB\xBF";
    auto crOnly = [](std::string t) {
        std::string out;
        for (char c : t) {
            if (c != '\n') out += c;
        }
        return out;
    };
    auto lower = [](std::string t) {
        for (char& c : t) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    const struct {
        const char* what;
        std::string content;
        const char* name;
        FirmwareFormat format;
        const char* refusal;  // nullptr: taken as 01 02 03 04
    } cases[] = {
        {"S-records", s, "fw.s", FIRMWARE_SRECORD, nullptr},
        {"lower-case S-records", lower(s), "fw.s", FIRMWARE_SRECORD, nullptr},
        {"byte order mark, S-records", bom + s, "fw.s", FIRMWARE_SRECORD, nullptr},
        {"CR line ends, S-records", crOnly(s), "fw.s", FIRMWARE_SRECORD, nullptr},
        {"Intel HEX", hex, "fw.hex", FIRMWARE_INTEL_HEX, nullptr},
        {"byte order mark, Intel HEX", bom + hex, "fw.hex", FIRMWARE_INTEL_HEX, nullptr},
        {"CR line ends, Intel HEX", crOnly(hex), "fw.hex", FIRMWARE_INTEL_HEX, nullptr},
        {"binary", std::string("\x01\x02\x03\x04", 4), "fw.bin", FIRMWARE_BINARY, nullptr},
        {"S-records from 0x1000", "S3090000100001020304DC\r\nS70500000000FA\r\n", "fw.s",
         FIRMWARE_SRECORD, "the image must start at address 0, not 0x00001000"},
        {"Intel HEX from 0x1000", ":0410000001020304E2\r\n:00000001FF\r\n", "fw.hex",
         FIRMWARE_INTEL_HEX, "the image must start at address 0, not 0x00001000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FirmwareImage image;
        FirmwareReport report{};
        const bool taken =
            LoadFirmware(reinterpret_cast<const uint8_t*>(c.content.data()),
                         static_cast<uint32_t>(c.content.size()), c.name, &image, &report);
        EXPECT_EQ(report.format, c.format);
        if (c.refusal != nullptr) {
            EXPECT_FALSE(taken);
            EXPECT_EQ(image.bytes, nullptr);
            ASSERT_NE(report.reason, nullptr);
            EXPECT_STREQ(report.reason, c.refusal);
            EXPECT_EQ(report.line, 1u);
            continue;
        }
        ASSERT_TRUE(taken) << report.line << ": " << report.reason;
        EXPECT_EQ(std::vector<uint8_t>(image.bytes.get(), image.bytes.get() + image.length),
                  std::vector<uint8_t>({1, 2, 3, 4}));
    }
}

TEST(FirmwareLoader, AFileIsReadWholeOrRefusedWithTheSystemsReason) {
    const std::string path = testing::TempDir() + "zelvar_loader.hex";
    std::ofstream(path, std::ios::binary) << ":0400000001020304F2\n:00000001FF\n";
    FirmwareImage image;
    FirmwareReport report{};
    ASSERT_TRUE(LoadFirmwareFile(path.c_str(), &image, &report)) << report.reason;
    EXPECT_EQ(image.length, 4u);
    std::remove(path.c_str());
    EXPECT_FALSE(LoadFirmwareFile(path.c_str(), &image, &report));
    EXPECT_EQ(image.length, 0u);
    EXPECT_STREQ(report.reason, "cannot be opened: No such file or directory");
}

}  // namespace
