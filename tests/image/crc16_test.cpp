// SPDX-License-Identifier: Apache-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "image/image.h"
#include "payloads/payloads.h"

namespace {

// Bit by bit, the definition the table stands for.
uint16_t Crc16Bitwise(const uint8_t* data, size_t length, uint16_t crc) {
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
        }
    }
    return crc;
}

TEST(Crc16, TableIsTheReflectedA001Table) {
    EXPECT_EQ(Crc16Table[0], 0x0000);
    EXPECT_EQ(Crc16Table[1], 0xC0C1);
    EXPECT_EQ(Crc16Table[2], 0xC181);
    EXPECT_EQ(Crc16Table[3], 0x0140);
    EXPECT_EQ(Crc16Table[255], 0x4040);
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t entry = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            entry = (entry & 1) != 0 ? static_cast<uint16_t>((entry >> 1) ^ 0xA001) : entry >> 1;
        }
        EXPECT_EQ(Crc16Table[i], entry) << "entry " << i;
    }
}

TEST(Crc16, CheckValues) {
    const auto* check = reinterpret_cast<const uint8_t*>("123456789");
    uint16_t crc = 0;
    EXPECT_EQ(Crc16Update(check, 9, 0xFFFF, &crc), 0);
    EXPECT_EQ(crc, 0x4B37);  // CRC-16/MODBUS
    Crc16Update(check, 9, 0x0000, &crc);
    EXPECT_EQ(crc, 0xBB3D);  // CRC-16/ARC, same table from 0
}

TEST(Crc16, LengthZeroGivesBackTheValuePassedIn) {
    const uint8_t byte = 0x5A;
    for (uint16_t in : {uint16_t{0x0000}, uint16_t{0xFFFF}, uint16_t{0x1234}, uint16_t{0xB73C}}) {
        uint16_t out = 0xDEAD;
        EXPECT_EQ(Crc16Update(&byte, 0, in, &out), 0);
        EXPECT_EQ(out, in);
    }
}

TEST(Crc16, OutMayBeTheInVariable) {
    const auto* check = reinterpret_cast<const uint8_t*>("123456789");
    uint16_t crc = 0xFFFF;
    Crc16Update(check, 4, crc, &crc);
    Crc16Update(check + 4, 5, crc, &crc);
    EXPECT_EQ(crc, 0x4B37);
}

TEST(Crc16, MatchesTheBitwiseDefinitionOnTheFirmwareText) {
    uint16_t crc = 0;
    Crc16Update(FirmwareSRecordText, FirmwareSRecordTextLength, 0xFFFF, &crc);
    EXPECT_EQ(crc, Crc16Bitwise(FirmwareSRecordText, FirmwareSRecordTextLength, 0xFFFF));
}

// The update runs the CRC block by block as it writes: 117 blocks of 4096 and
// one of 2776 for the shipped image, giving the same value as one pass.
TEST(Crc16, ImageCrcOneShotAndInBlocks) {
    std::vector<uint8_t> image(FirmwareSRecordTextLength / 2);
    const uint32_t count = ParseSRecords(reinterpret_cast<const char*>(FirmwareSRecordText),
                                         FirmwareSRecordTextLength, image.data());
    ASSERT_EQ(count, 482008u);

    uint16_t whole = 0;
    Crc16Update(image.data(), count, 0xFFFF, &whole);
    EXPECT_EQ(whole, 0xB73C);

    uint16_t running = 0xFFFF;
    uint32_t blocks = 0;
    uint32_t last = 0;
    for (uint32_t at = 0; at < count; at += last, ++blocks) {
        last = count - at < 4096 ? count - at : 4096;
        Crc16Update(image.data() + at, last, running, &running);
    }
    EXPECT_EQ(blocks, 118u);
    EXPECT_EQ(last, 2776u);
    EXPECT_EQ(running, 0xB73C);
}

}  // namespace
