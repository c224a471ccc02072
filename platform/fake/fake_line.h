// SPDX-License-Identifier: Apache-2.0
// An in-memory serial line with a virtual clock, for tests.
//
// The host side is the installed SerialOps; the far end is either a script
// (FakeLineSend of bytes that arrive at a chosen virtual time) or a peer
// function that sees every host write as it happens and answers through
// FakeLineSend. Reads follow the port's time-outs on the virtual clock: a read
// that would wait two seconds costs no real time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

const SerialOps& FakeSerialOps();
const ClockOps& FakeClockOps();

// Clears the line, the faults and the counters, sets the clock to 0 and
// installs the fake serial and clock tables.
void FakeLineReset();

// Virtual time.
uint64_t FakeClockNow();
void FakeClockAdvance(uint64_t milliseconds);

// Far end: bytes that reach the host delayMs after now (never before bytes
// queued earlier). The peer is called from inside each host write, after the
// bytes were recorded.
void FakeLineSend(const uint8_t* data, size_t count, uint64_t delayMs = 0);
void FakeLineSend(const std::vector<uint8_t>& data, uint64_t delayMs = 0);
using FakeLinePeer = std::function<void(const uint8_t* data, size_t count)>;
void FakeLineSetPeer(FakeLinePeer peer);
// Bytes queued for the host and not read yet.
size_t FakeLinePending();
// Drops everything queued for the host.
void FakeLineDiscardPending();

// What the host wrote: everything since the reset, and the part since the
// last take.
const std::vector<uint8_t>& FakeLineHostBytes();
std::vector<uint8_t> FakeLineTakeHostBytes();

// Host port state.
bool FakeLineIsOpen();
const std::string& FakeLineDeviceName();
uint32_t FakeLineHostBaud();  // rate in force on the host side, 0 when closed
int FakeLineOpenCalls();
int FakeLineSetBaudCalls();
int FakeLineReadCalls();
int FakeLineWriteCalls();
int FakeLineCloseCalls();

// Modem-control lines: each setLines call as it came (which lines, which of
// them asserted, at what virtual time), and the lines' state now. A refusing
// port stands for a pseudo-terminal.
struct FakeLineChange {
    uint32_t which;
    uint32_t asserted;
    uint64_t atMs;
};
const std::vector<FakeLineChange>& FakeLineLineChanges();
uint32_t FakeLineLines();
void FakeLineRefuseLines(bool refuse);

// Faults of the host side, each armed for one call (1-based call numbers
// counted from the reset).
void FakeLineFailOpen(bool fail);
void FakeLineRefuseBaud(uint32_t baud);    // setBaud to this rate fails
void FakeLineShortWriteAt(int writeCall);  // reports one byte fewer written
void FakeLineFailWriteAt(int writeCall);   // the call itself fails
void FakeLineShortReadAt(int readCall);    // delivers one byte fewer than it could
