// SPDX-License-Identifier: Apache-2.0
// Driving the port's DTR and RTS lines to take a receiver into its boot ROM
// (in place of an update pin) and back into its firmware afterwards.
//
// A sequence is written ENTRY[:EXIT]: steps separated by commas and played
// BOOT_LINES_STEP_MS apart; a step names lines, "dtr" or "rts" to assert,
// "-dtr" or "-rts" to release, joined by "&" when they change together; for
// example "dtr&rts,-rts:-dtr&rts,-rts".
#pragma once

#include <cstdint>

constexpr uint32_t BOOT_LINES_MAX_STEPS = 16;
constexpr uint32_t BOOT_LINES_STEP_MS = 100;

struct BootLineStep {
    uint32_t which;     // SERIAL_LINE_* changed in this step
    uint32_t asserted;  // those of them asserted; the others released
};

struct BootLines {
    BootLineStep entry[BOOT_LINES_MAX_STEPS];
    uint32_t entryCount;
    BootLineStep exit[BOOT_LINES_MAX_STEPS];
    uint32_t exitCount;  // 0: no exit sequence
};

// 1 with *out filled, or 0 with a sentence saying what is wrong in error
// (NUL-terminated, cut to errorSize).
int BootLinesParse(const char* text, BootLines* out, char* error, uint32_t errorSize);

// The sequence OpenReceiver and CloseReceiver play (copied); null: none, the
// power-on state. The entry is played right after the port opens, before the
// settle wait; the exit when the link is closed, before the port closes,
// only when the entry was played.
void BootSetLines(const BootLines* lines);
// Plays steps on the open port, BOOT_LINES_STEP_MS apart. 1, or 0 when the
// port cannot drive its lines.
int BootPlayLines(const BootLineStep* steps, uint32_t count);
// The sequence set, or null.
const BootLines* BootLinesInForce();
