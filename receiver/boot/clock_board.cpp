// SPDX-License-Identifier: Apache-2.0
#include "receiver/boot/clock_board.h"

#include <cstring>

namespace {

struct CodeRow {
    uint32_t hz;
    int fractionalCode;  // -1: not in the column
    int integerCode;
};

const CodeRow Codes[] = {
    {13000000, 0, 0},   {16369000, 10, 7},  {16800000, 11, 8},  {19200000, 18, 13},
    {24553500, 29, 21}, {26000000, 31, 23}, {33600000, -1, 30},
};

// Frequencies chosen by bits 12 and 13 of word A without the code table.
const uint32_t Selected[3] = {16369000, 24553500, 26000000};

struct FractionalRow {
    uint32_t hz;
    uint32_t integer;
    uint32_t fraction;  // 24 bits
};

const FractionalRow Fractional[] = {
    {13000000, 117, 0xE0F705}, {16369000, 93, 0}, {16800000, 90, 0x898232},
    {19200000, 78, 0xD851EC},  {24553500, 61, 0}, {26000000, 57, 0x707B83},
};

struct IntegerRow {
    uint32_t hz;
    uint32_t divider;
    uint32_t multiplier;
};

const IntegerRow Integer[] = {
    {13000000, 9, 1088}, {16369000, 1, 96},  {16800000, 13, 1216}, {19200000, 13, 1064},
    {24553500, 1, 64},   {26000000, 9, 544}, {33600000, 13, 608},
};

}  // namespace

uint8_t BoardVariant(uint8_t chipId, uint16_t wordA) {
    if (chipId == 48) return static_cast<uint8_t>((wordA >> 6) & 1);
    return 2;
}

uint32_t BoardReferenceHz(uint8_t chipId, uint16_t wordA, uint16_t wordB) {
    if (chipId == 35) return 0;
    const unsigned sel = (wordA >> 12) & 3;
    if (sel < 3) return Selected[sel];
    const int code = wordB & 0x1F;
    const bool fractional = BoardVariant(chipId, wordA) == 0;
    for (const CodeRow& row : Codes) {
        if ((fractional ? row.fractionalCode : row.integerCode) == code) return row.hz;
    }
    return 0;
}

bool ClockWordsFor(uint32_t hz, bool integerForm, bool viaCode, uint16_t* wordA, uint16_t* wordB) {
    const uint16_t variantBit = integerForm ? 0x0040 : 0;
    if (!viaCode) {
        for (unsigned sel = 0; sel < 3; ++sel) {
            if (Selected[sel] == hz) {
                *wordA = static_cast<uint16_t>(sel << 12 | variantBit);
                *wordB = 0;
                return true;
            }
        }
    }
    for (const CodeRow& row : Codes) {
        if (row.hz != hz) continue;
        const int code = integerForm ? row.integerCode : row.fractionalCode;
        if (code < 0) return false;
        *wordA = static_cast<uint16_t>(0x3000 | variantBit);
        *wordB = static_cast<uint16_t>(code);
        return true;
    }
    return false;
}

void ClockWordsForFailure(ClockFailure failure, uint16_t* wordA, uint16_t* wordB) {
    if (failure == ClockFailure::UnknownCode) {
        *wordA = 0x3000;
        *wordB = 30;
    } else {
        *wordA = 0x3040;
        *wordB = 31;
    }
}

bool SynthesizerBytes(uint32_t hz, uint8_t byteCount, std::array<uint8_t, 8>* bytes) {
    if (byteCount == 7) {
        for (const FractionalRow& row : Fractional) {
            if (row.hz != hz) continue;
            // 3 zero bits, 24-bit fraction, integer part, then the bits 00011.
            const uint64_t value =
                (uint64_t{row.fraction} << 13) | (uint64_t{row.integer} << 5) | 3;
            for (int i = 0; i < 5; ++i) (*bytes)[i] = static_cast<uint8_t>(value >> (8 * (4 - i)));
            (*bytes)[5] = 0x27;
            (*bytes)[6] = 0xDD;
            (*bytes)[7] = 0x00;
            return true;
        }
        return false;
    }
    if (byteCount == 8) {
        for (const IntegerRow& row : Integer) {
            if (row.hz != hz) continue;
            const uint32_t value = (row.multiplier << 7) | ((row.divider & 0x1F) << 2) | 3;
            *bytes = {0x03,
                      0xCF,
                      0x10,
                      0x38,
                      static_cast<uint8_t>(value >> 16),
                      static_cast<uint8_t>(value >> 8),
                      static_cast<uint8_t>(value),
                      0xA0};
            return true;
        }
    }
    return false;
}

uint32_t SynthesizerFrequency(uint8_t byteCount, const uint8_t* data) {
    // The synthesizer takes only the first byteCount bytes.
    for (const CodeRow& row : Codes) {
        std::array<uint8_t, 8> bytes{};
        if (SynthesizerBytes(row.hz, byteCount, &bytes) &&
            std::memcmp(bytes.data(), data, byteCount) == 0) {
            return row.hz;
        }
    }
    return 0;
}
