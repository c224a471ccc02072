// SPDX-License-Identifier: Apache-2.0
// Setting up the receiver's frequency synthesizer for the board's reference
// oscillator, between chip identification and the baud switch.
#pragma once

#include <cstdint>

// Returned by SetReferenceClock when its guard argument is non-zero.
constexpr uint32_t CLOCK_GUARD_REFUSED = 21;
// The divisor ConfigureClock reloads after the synthesizer change: the one
// SwitchBaud computes for 38400 baud, so the link keeps its rate.
constexpr uint16_t CLOCK_UART_DIVISOR = 0x0500;
// Every synthesizer request carries eight data bytes (the fractional form uses seven).
constexpr uint32_t CLOCK_DATA_BYTES = 8;

// Request codes; each answer code is the request code plus 1.
constexpr uint8_t CLOCK_CONFIGURE_ALTERNATE = 38;
constexpr uint8_t CLOCK_CONFIGURE = 40;
constexpr uint8_t CLOCK_QUERY_VARIANT = 44;
constexpr uint8_t CLOCK_QUERY_WORD_A = 46;
constexpr uint8_t CLOCK_QUERY_WORD_B = 48;

// 0, LINK_EXCHANGE_FAILED or LINK_UNKNOWN_CLOCK.
uint32_t SetUpClock(uint8_t chipId);
// guard non-zero: returns CLOCK_GUARD_REFUSED and changes nothing; else
// stores hz as the known reference frequency and returns 0.
uint32_t SetReferenceClock(uint32_t guard, uint32_t hz);
// Known reference frequency in Hz, 0 while unknown. Kept for the life of the
// process, across CloseReceiver and OpenReceiver.
uint32_t ReferenceClockHz();
// The variant byte of the last QueryVariant.
uint8_t VariantByte();

// Single exchanges: 1 for success, 0 for failure. The queries store their
// value before the answer's length is judged.
int QueryVariant(uint8_t* out);
int QueryConfigWordA(uint16_t* out);
int QueryConfigWordB(uint16_t* out);
int ConfigureAlternate(uint8_t value);
// Sends nothing and returns 0 when hz has no row for the variant.
int ConfigureClock(uint8_t variant, uint32_t hz);

// Derives the reference frequency from the two configuration words and stores
// it. LINK_UNKNOWN_CLOCK when the fractional variant (0) meets a code it does
// not know; a non-zero variant with an unknown code leaves the frequency
// unknown and returns 0 (ConfigureClock then has no row for it).
uint32_t DetectReferenceClock(uint8_t variant, uint16_t wordA, uint16_t wordB);

// The synthesizer settings for hz: byte count (7 or 8) and the 8 data bytes.
// 0 when the variant's table has no row for hz.
int SynthesizerSettings(uint8_t variant, uint32_t hz, uint8_t* countOut,
                        uint8_t data[CLOCK_DATA_BYTES]);

// Power-on state (tests): frequency unknown.
void ClockReset();
