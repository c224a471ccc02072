// SPDX-License-Identifier: Apache-2.0
// The flash as S-records: what a bench stages the receiver with and what it
// dumps, read back by the receiver itself and by srec_cat.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "receiver/flash/flash_file.h"

namespace {

std::vector<uint8_t> SomeFlash() {
    std::vector<uint8_t> cells(4096, 0xFF);
    for (size_t i = 0; i < 1000; ++i) cells[i] = static_cast<uint8_t>(i * 7 + 3);
    cells[2000] = 0x00;  // an island after a run of erased bytes
    return cells;
}

TEST(ReceiverFlashFile, SRecordsRoundTripAndLeaveTrailingErasedBytesOut) {
    const std::vector<uint8_t> cells = SomeFlash();
    const std::string text = FlashAsSRecords(cells);
    std::vector<uint8_t> back(cells.size(), 0xFF);
    std::string error;
    ASSERT_TRUE(LoadSRecordsInto(text, &back, &error)) << error;
    EXPECT_EQ(back, cells);
    // 2001 bytes in records of 32: the last, of 17 bytes at 0x7C0, ends at
    // the island, and nothing follows it but the end record.
    const size_t last = text.find("S316000007C0");
    ASSERT_NE(last, std::string::npos);
    EXPECT_EQ(text.substr(text.find('\n', last) + 1), "S70500000000FA\n");
}

TEST(ReceiverFlashFile, SrecCatReadsTheDumpToTheSameBytes) {
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) GTEST_SKIP() << "no srec_cat";
    const std::vector<uint8_t> cells = SomeFlash();
    const std::string srec = testing::TempDir() + "zelvar_flash_dump.s37";
    const std::string bin = testing::TempDir() + "zelvar_flash_dump.bin";
    std::ofstream(srec) << FlashAsSRecords(cells);
    const std::string command = "srec_cat " + srec + " -fill 0xFF 0 4096 -o " + bin + " -binary";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream file(bin, std::ios::binary);
    const std::vector<uint8_t> read((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    EXPECT_EQ(read, cells);
    std::remove(srec.c_str());
    std::remove(bin.c_str());
}

TEST(ReceiverFlashFile, RefusesWhatIsNotWellFormedNamingTheLine) {
    struct Case {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {"S00600004844521B\nS1070000AABBCCDDE2\n", "line 2: bad record length or checksum"},
        {"S1070000AABBCCDDEA\r\nS107100001020304DE\r\n",
         "line 2: data beyond the end of the flash"},
        {"S1070000AABBCCDDEA\n:10000000\n", "line 2: not an S-record"},
        {"S1050000AA\n", "line 1: bad record length or checksum"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> cells(4096, 0xFF);
        std::string error;
        EXPECT_FALSE(LoadSRecordsInto(c.text, &cells, &error)) << c.text;
        EXPECT_EQ(error, c.error) << c.text;
    }
}

TEST(ReceiverFlashFile, TheNameChoosesTheForm) {
    for (const char* name : {"a.srec", "a.S19", "a.s28", "b.s37", "c.mot", "d.s", "e.s3"}) {
        EXPECT_TRUE(IsSRecordName(name)) << name;
    }
    for (const char* name : {"flash.bin", "flash", "s19", "a.sx"}) {
        EXPECT_FALSE(IsSRecordName(name)) << name;
    }
}

}  // namespace
