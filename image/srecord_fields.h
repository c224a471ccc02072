// SPDX-License-Identifier: Apache-2.0
// The fields S-record lines are made of, shared by the built-in image's
// parser and the file loader so that both read a record the same way.
#pragma once

#include <cstdint>

namespace srecord_fields {

constexpr uint8_t NOT_HEX = 0xFF;

// Indexed by the character's code minus '0': the digits 0-9 and the upper-case
// letters A-F. Lower-case letters fall outside the table and are refused.
constexpr uint8_t HexDigitTable[23] = {
    0,       1,       2,       3,       4,       5,       6,       7, 8, 9,  //
    NOT_HEX, NOT_HEX, NOT_HEX, NOT_HEX, NOT_HEX, NOT_HEX, NOT_HEX,           // : ; < = > ? @
    10,      11,      12,      13,      14,      15,                         //
};

inline uint8_t HexValue(char c) {
    const unsigned index = static_cast<unsigned char>(c) - unsigned{'0'};
    return index < sizeof HexDigitTable ? HexDigitTable[index] : NOT_HEX;
}

// The byte written as two hex digits at p, or false when either is not one.
inline bool HexByte(const char* p, uint8_t* value) {
    const unsigned high = HexValue(p[0]);
    const unsigned low = HexValue(p[1]);
    if (((high | low) & 0xF0u) != 0) return false;
    *value = static_cast<uint8_t>(high << 4 | low);
    return true;
}

// Address field size in bytes by record type, 0 for a type we do not take.
inline uint32_t AddressLength(char type) {
    switch (type) {
        case '0':
        case '1':
        case '5':
        case '9':
            return 2;
        case '2':
        case '6':
        case '8':
            return 3;
        case '3':
        case '7':
            return 4;
        default:
            return 0;
    }
}

}  // namespace srecord_fields
