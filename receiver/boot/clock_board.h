// SPDX-License-Identifier: Apache-2.0
// The receiver's reference oscillator as its first stage reports it, and the
// frequency synthesizer settings it can be given.
#pragma once

#include <array>
#include <cstdint>

// The variant byte the first stage answers: bit 6 of word A on chip 48, 2 on
// any other chip.
uint8_t BoardVariant(uint8_t chipId, uint16_t wordA);

// The reference frequency that chip id, variant and configuration words
// describe; 0 when they describe none (or on chip 35, which is set up by
// ConfigureAlternate alone).
uint32_t BoardReferenceHz(uint8_t chipId, uint16_t wordA, uint16_t wordB);

// Configuration words under which a chip-48 receiver reports hz. integerForm
// sets bit 6 of word A (a non-zero variant). viaCode describes the frequency
// by the code table even where a shortcut selection exists. False when the
// form cannot express hz.
bool ClockWordsFor(uint32_t hz, bool integerForm, bool viaCode, uint16_t* wordA, uint16_t* wordB);

enum class ClockFailure {
    UnknownCode,  // variant 0, a code the fractional column lacks: the host gives up at once
    NoEntry,      // non-zero variant, a code its column lacks: no synthesizer row
};
void ClockWordsForFailure(ClockFailure failure, uint16_t* wordA, uint16_t* wordB);

// The eight synthesizer data bytes for hz in one form (byteCount 7:
// fractional, 8: integer). False when the form has no row for hz.
bool SynthesizerBytes(uint32_t hz, uint8_t byteCount, std::array<uint8_t, 8>* bytes);
// The frequency whose row matches the first byteCount data bytes; 0 if none.
uint32_t SynthesizerFrequency(uint8_t byteCount, const uint8_t* data);
