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
// A stop seen while the line settles, before any byte went out, or while
// the first stage's answer was awaited in vain, closes the port and gives
// LINK_STOPPED; once the first stage answered the open runs to its end,
// since a receiver left between its stages answers no Disconnect. With boot
// lines set (BootSetLines) the entry sequence is played right after the port
// opens; a port that cannot drive them gives LINK_LINES_FAILED, nothing sent.
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

// Which boot-stage requests are sent again after a failure on the line
// (LinkSetRetries). Only where the far end takes a request again with the
// same effect:
//   42 QueryChipId, 44/46/48 the clock queries   read-only: repeated
//   2 WriteAgentBlock                            stores the same bytes at the same
//                                                offset: repeated
//   $S LoadFirstStage   a repeat would reach a started first stage, not the
//                       boot ROM: never
//   38/40 clock configuration   changes the receiver's clock and UART: never
//   0 SetBaud           answered at the old rate, then the UART moves: a repeat
//                       would be garbled: never
//   4 StartAgent        the agent answers, and it does not know request 4: never
//   34 Disconnect       its answer is not needed: never
bool BootRepeatable(uint8_t code);

// Where the last OpenReceiver stopped (BOOT_STEP_NONE when it got through or
// was stopped).
enum BootStep : int {
    BOOT_STEP_NONE = 0,
    BOOT_STEP_LINES = 1,        // the DTR/RTS entry sequence
    BOOT_STEP_FIRST_STAGE = 2,  // LoadFirstStage
    BOOT_STEP_CHIP_ID = 3,
    BOOT_STEP_CLOCK = 4,
    BOOT_STEP_BAUD = 5,
    BOOT_STEP_AGENT = 6,  // agent download and start
};
int BootFailedStep();
// Whether a first stage answered during the last OpenReceiver (its ACK came):
// false means no answer at all, true with a failed step that the receiver
// answered and then failed, and runs its first stage until a power cycle.
bool BootReceiverAnswered();

// What the line showed when the first stage got no ACK, from the bytes that
// came back in its place and within one more read's time-out.
enum BootLineFinding : int {
    BOOT_LINE_NOT_LOOKED = 0,  // the first stage was answered, or not reached
    BOOT_LINE_SILENT = 1,      // nothing: power, wiring, boot ROM
    BOOT_LINE_NMEA = 2,        // NMEA sentences: the receiver runs its firmware
    BOOT_LINE_ECHO = 3,        // our own bytes: TX tied to RX, or an echoing adapter
    BOOT_LINE_OTHER = 4,       // other bytes: a wrong rate or a different device
};
constexpr uint32_t BOOT_LINE_LOOK_BYTES = 256;
int BootLastLineFinding();
// A short cause for a finding ("" for BOOT_LINE_NOT_LOOKED).
const char* BootLineFindingText(int finding);

// Power-on state (tests): not connected, chip id 0, no stop query, no lines.
void BootReset();
