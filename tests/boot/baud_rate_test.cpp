// SPDX-License-Identifier: Apache-2.0
// The divisor each chip's rule gives for an operating rate, the rate its
// UART then runs at, and whether that lies within 2% of the rate asked for.
#include <gtest/gtest.h>

#include "boot/boot.h"

namespace {

struct RateRow {
    uint32_t baud;
    uint8_t chip;
    uint16_t divisor;
    uint32_t actual;
    int suits;
};

TEST(BaudRate, DivisorActualRateAndToleranceByChip) {
    const RateRow rows[] = {
        {38400, 48, 1280, 38364, 1},
        {38400, 35, 1280, 38364, 1},
        {115200, 48, 428, 114735, 1},
        {115200, 35, 432, 113673, 1},  // -1.3%
        {230400, 48, 212, 231636, 1},
        {230400, 35, 208, 236091, 0},  // +2.5%
        {460800, 48, 108, 454694, 1},
        {460800, 35, 112, 438455, 0},   // -4.9%
        {500000, 48, 100, 491070, 1},   // -1.8%
        {1000000, 48, 48, 1023062, 0},  // +2.3%
        {250000, 48, 196, 250545, 1},
        {250000, 35, 192, 255765, 0},
        {921600, 48, 52, 944365, 0},  // +2.5%
        // Divisor 96 runs at 511,531 baud: the 2% edge lies between 501,500
        // and 501,501 below it and between 521,970 and 521,971 above it.
        {501500, 48, 96, 511531, 0},
        {501501, 48, 96, 511531, 1},
        {521970, 48, 96, 511531, 1},
        {521971, 48, 96, 511531, 0},
        // q = 70152 does not fit the 16-bit divisor register: its low bits
        // give a rate nowhere near.
        {700, 48, 4616, 10638, 0},
        {0, 48, 0, 0, 0},
    };
    for (const RateRow& row : rows) {
        SCOPED_TRACE(testing::Message() << row.baud << " baud, chip " << int{row.chip});
        EXPECT_EQ(BaudDivisor(row.baud, row.chip), row.divisor);
        EXPECT_EQ(BaudActualRate(row.baud, row.chip), row.actual);
        EXPECT_EQ(BaudSuitsChip(row.baud, row.chip), row.suits);
    }
}

}  // namespace
