// SPDX-License-Identifier: Apache-2.0
#include "boot/clock.h"

#include "boot/boot.h"

#include "boot/boot.h"
#include "link/packet.h"
#include "link/retry.h"
#include "link/status.h"

namespace {

uint32_t KnownReferenceHz = 0;
uint8_t LastVariant = 0;

// Fractional synthesizer form (variant 0): integer part I and 24-bit fraction
// F of the multiplier, each row giving 1571.424 MHz from its reference.
struct FractionalRow {
    uint32_t hz;
    uint8_t integer;
    uint32_t fraction;
};
constexpr FractionalRow FRACTIONAL_ROWS[] = {
    {13000000, 117, 14743301}, {16369000, 93, 0}, {16800000, 90, 9011762},
    {19200000, 78, 14176748},  {24553500, 61, 0}, {26000000, 57, 7371651},
};
constexpr uint8_t FRACTIONAL_BYTE_COUNT = 7;
constexpr uint8_t FRACTIONAL_TAIL[] = {0x27, 0xDD, 0x00};

// Integer synthesizer form (any other variant): divider R and multiplier N.
struct IntegerRow {
    uint32_t hz;
    uint8_t divider;
    uint16_t multiplier;
};
constexpr IntegerRow INTEGER_ROWS[] = {
    {13000000, 9, 1088}, {16369000, 1, 96},  {16800000, 13, 1216}, {19200000, 13, 1064},
    {24553500, 1, 64},   {26000000, 9, 544}, {33600000, 13, 608},
};
constexpr uint8_t INTEGER_BYTE_COUNT = 8;
constexpr uint8_t INTEGER_HEAD[] = {0x03, 0xCF, 0x10, 0x38};
constexpr uint8_t INTEGER_TAIL = 0xA0;

// Oscillator codes of word B when word A's selector is 3; -1: not in that column.
struct OscillatorCode {
    uint32_t hz;
    int fractional;
    int integer;
};
constexpr OscillatorCode OSCILLATOR_CODES[] = {
    {13000000, 0, 0},   {16369000, 10, 7},  {16800000, 11, 8},  {19200000, 18, 13},
    {24553500, 29, 21}, {26000000, 31, 23}, {33600000, -1, 30},
};
constexpr uint32_t SELECTOR_HZ[] = {16369000, 24553500, 26000000};

// Request with no fields whose answer is the code plus `size` bytes, read by get.
template <typename Get>
int Query(uint8_t code, Get get) {
    return LinkWithRepeats(code, BootRepeatable(code), [&] {
        PacketRewind();
        PutU8(code);
        if (PacketTransact() != 1) return 0;
        if (GetU8() != static_cast<uint8_t>(code + 1)) {
            PacketSetFault(LINK_FAULT_WRONG_CODE);
            return 0;
        }
        get();
        if (PacketConsumedExactly() == 1) return 1;
        PacketSetFault(LINK_FAULT_BAD_FIELDS);
        return 0;
    });
}

}  // namespace

int SynthesizerSettings(uint8_t variant, uint32_t hz, uint8_t* countOut,
                        uint8_t data[CLOCK_DATA_BYTES]) {
    if (variant == 0) {
        for (const FractionalRow& row : FRACTIONAL_ROWS) {
            if (row.hz != hz) continue;
            // 40 bits: three zero bits, F, I, then 00011.
            const uint64_t word =
                (uint64_t{row.fraction} << 13) | (uint64_t{row.integer} << 5) | 3U;
            for (int i = 0; i < 5; ++i) data[i] = static_cast<uint8_t>(word >> (8 * (4 - i)));
            for (int i = 0; i < 3; ++i) data[5 + i] = FRACTIONAL_TAIL[i];
            *countOut = FRACTIONAL_BYTE_COUNT;
            return 1;
        }
        return 0;
    }
    for (const IntegerRow& row : INTEGER_ROWS) {
        if (row.hz != hz) continue;
        const uint32_t word =
            (uint32_t{row.multiplier} << 7) | (uint32_t{row.divider & 0x1FU} << 2) | 3U;
        for (int i = 0; i < 4; ++i) data[i] = INTEGER_HEAD[i];
        data[4] = static_cast<uint8_t>(word >> 16);
        data[5] = static_cast<uint8_t>(word >> 8);
        data[6] = static_cast<uint8_t>(word);
        data[7] = INTEGER_TAIL;
        *countOut = INTEGER_BYTE_COUNT;
        return 1;
    }
    return 0;
}

int QueryVariant(uint8_t* out) {
    return Query(CLOCK_QUERY_VARIANT, [out] { *out = GetU8(); });
}

int QueryConfigWordA(uint16_t* out) {
    return Query(CLOCK_QUERY_WORD_A, [out] { *out = GetU16(); });
}

int QueryConfigWordB(uint16_t* out) {
    return Query(CLOCK_QUERY_WORD_B, [out] { *out = GetU16(); });
}

int ConfigureAlternate(uint8_t value) {
    PacketRewind();
    PutU8(CLOCK_CONFIGURE_ALTERNATE);
    PutU8(value);
    if (PacketTransact() != 1) return 0;
    if (GetU8() != CLOCK_CONFIGURE_ALTERNATE + 1) return 0;
    return PacketConsumedExactly();
}

int ConfigureClock(uint8_t variant, uint32_t hz) {
    uint8_t count = 0;
    uint8_t data[CLOCK_DATA_BYTES] = {};
    if (SynthesizerSettings(variant, hz, &count, data) != 1) return 0;
    PacketRewind();
    PutU8(CLOCK_CONFIGURE);
    PutU16(CLOCK_UART_DIVISOR);
    PutU8(count);
    PutBytes(data, CLOCK_DATA_BYTES);
    if (PacketTransact() != 1) return 0;
    if (GetU8() != CLOCK_CONFIGURE + 1) return 0;
    return PacketConsumedExactly();
}

uint32_t DetectReferenceClock(uint8_t variant, uint16_t wordA, uint16_t wordB) {
    const uint32_t selector = (uint32_t{wordA} >> 12) & 3U;
    if (selector < 3) {
        KnownReferenceHz = SELECTOR_HZ[selector];
        return LINK_OK;
    }
    const int code = wordB & 0x1F;
    for (const OscillatorCode& row : OSCILLATOR_CODES) {
        if ((variant == 0 ? row.fractional : row.integer) == code) {
            KnownReferenceHz = row.hz;
            return LINK_OK;
        }
    }
    return variant == 0 ? LINK_UNKNOWN_CLOCK : LINK_OK;
}

uint32_t SetUpClock(uint8_t chipId) {
    if (chipId == CHIP_ID_ALTERNATE) {
        return ConfigureAlternate(0) == 1 ? LINK_OK : LINK_EXCHANGE_FAILED;
    }
    if (QueryVariant(&LastVariant) != 1) return LINK_EXCHANGE_FAILED;
    if (KnownReferenceHz == 0) {
        uint16_t wordA = 0;
        uint16_t wordB = 0;
        if (QueryConfigWordA(&wordA) != 1) return LINK_EXCHANGE_FAILED;
        if (QueryConfigWordB(&wordB) != 1) return LINK_EXCHANGE_FAILED;
        const uint32_t status = DetectReferenceClock(LastVariant, wordA, wordB);
        if (status != LINK_OK) return status;
    }
    if (ConfigureClock(LastVariant, KnownReferenceHz) != 1) return LINK_EXCHANGE_FAILED;
    return LINK_OK;
}

uint32_t SetReferenceClock(uint32_t guard, uint32_t hz) {
    if (guard != 0) return CLOCK_GUARD_REFUSED;
    KnownReferenceHz = hz;
    return LINK_OK;
}

uint32_t ReferenceClockHz() {
    return KnownReferenceHz;
}
uint8_t VariantByte() {
    return LastVariant;
}

void ClockReset() {
    KnownReferenceHz = 0;
    LastVariant = 0;
}
