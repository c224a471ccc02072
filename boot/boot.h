// SPDX-License-Identifier: Apache-2.0
// Taking the receiver from its boot ROM to a running flash agent, and shutting
// the link down again.
#pragma once

#include <cstdint>

// The boot ROM's rate, and the wait after opening the port before the first
// stage goes out.
constexpr uint32_t BOOT_BAUD = 38400;
constexpr uint32_t BOOT_SETTLE_MS = 2000;
// The settle wait is taken in slices, so that a stop does not wait it out.
constexpr uint32_t BOOT_SETTLE_SLICE_MS = 100;
// The receiver's UART clock: three times 16369000 Hz.
constexpr uint32_t BAUD_CLOCK_HZ = 49107000;
// The rate every chip takes; a rate a chip refuses falls back to it.
constexpr uint32_t BAUD_FALLBACK = 115200;
// How far the rate a divisor gives may lie from the rate asked for, in
// hundredths of a percent: the share of the usual UART tolerance one end may
// spend.
constexpr uint32_t BAUD_TOLERANCE_BASIS_POINTS = 200;
// The chip whose UART divisor rounds to 16 and whose clock needs only one request.
constexpr uint8_t CHIP_ID_ALTERNATE = 35;
// Agent image bytes per WriteAgentBlock: fills PacketBuffer exactly.
constexpr uint32_t AGENT_BLOCK_SIZE = 1280;

// Request codes (answer = code + 1), the first-stage load's two code bytes
// and its answer code.
constexpr uint8_t BOOT_SET_BAUD = 0;
constexpr uint8_t BOOT_WRITE_AGENT_BLOCK = 2;
constexpr uint8_t BOOT_START_AGENT = 4;
constexpr uint8_t BOOT_DISCONNECT = 34;
constexpr uint8_t BOOT_QUERY_CHIP_ID = 42;
constexpr uint8_t FIRST_STAGE_CODE_0 = 0x24;  // '$'
constexpr uint8_t FIRST_STAGE_CODE_1 = 0x53;  // 'S'
constexpr uint8_t FIRST_STAGE_ANSWER = 0x25;  // '%'

// Opens the port at 38400, loads the first stage, identifies the chip, sets
// up the clock, moves both ends to baud and downloads and starts the agent.
// 0 or a LINK_* code; on failure the port stays as the failing step left it.
// A stop seen while the line settles, before any byte went out, closes the
// port and gives LINK_STOPPED; once bytes went out the open runs to its end,
// since a receiver left between its stages answers no Disconnect.
// When the chip's divisor cannot come near enough to baud (BaudSuitsChip),
// the open goes on at BAUD_FALLBACK and returns LINK_BAUD_REFUSED with the
// link up, so that CloseReceiver can end it and the receiver starts over.
uint32_t OpenReceiver(const char* portName, uint32_t baud);
// Asked by OpenReceiver during the settle wait; true means stop. Null (the
// power-on state): never.
using BootStopQuery = bool (*)();
void BootSetStopQuery(BootStopQuery query);
// LINK_NOT_OPEN without touching the port unless connected; else tells the
// agent (its answer is not required), closes the port and returns 0.
uint32_t CloseReceiver();
int ReceiverConnected();
// The chip id answered during the last open (kept after it).
uint8_t ChipId();

// The steps, each one exchange or a short series: 1 for success, 0 for failure.
int LoadFirstStage(const uint8_t* image, uint32_t length);
// The id is stored before the answer's length is judged.
int QueryChipId(uint8_t* chipOut);
// The UART divisor for baud on chipId, as its low 16 bits; 0 for baud 0.
uint16_t BaudDivisor(uint32_t baud, uint8_t chipId);
// The rate the receiver's UART actually runs at for baud on chipId (0 for
// baud 0).
uint32_t BaudActualRate(uint32_t baud, uint8_t chipId);
// 1 when that rate lies within BAUD_TOLERANCE_BASIS_POINTS of baud.
int BaudSuitsChip(uint32_t baud, uint8_t chipId);
// Tells the first stage the new divisor (it answers at the old rate), then
// moves the host. A zero baud is refused without sending anything.
int SwitchBaud(uint32_t baud, uint8_t chipId);
int DownloadAgent(const uint8_t* image, uint32_t length);
int Disconnect();

// Power-on state (tests): not connected, chip id 0, no stop query.
void BootReset();
