// SPDX-License-Identifier: Apache-2.0
// The simulated handheld: a board whose port driver, when activated, brings up
// the simulated receiver behind a serial line, and whose GPIO pin 133 resets
// that receiver into its boot ROM. Every board call is logged and each can be
// made to fail, so the update's board steps can be tested whole.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "receiver/receiver.h"

enum class HandheldLine {
    Pty,     // receiver on a pseudo-terminal, on its own thread (real time)
    Fake,    // receiver in process, on the line the attach function below gives it
    Memory,  // receiver in process, on the simulator's own in-memory line, which
             // HandheldSimSerialOps and HandheldSimClockOps reach (virtual time)
};

struct HandheldSimConfig {
    ReceiverConfig receiver;
    HandheldLine line = HandheldLine::Pty;
    bool hasPortDriverKey = true;
    bool activateDeviceFails = false;    // ActivateDevice yields null
    bool activateDeviceExFails = false;  // ActivateDeviceEx yields null too
    bool gpioOpenFails = false;
    std::set<int> failingControlCalls;  // 1-based numbers of DeviceIoControl calls
    bool powerReadable = true;
    int acLineStatus = 1;  // 1 external, 0 battery
    // A receiver on a desk instead of in the handheld: it powers up running
    // its firmware (receiver.runningFirmware is set), the update pin is wired
    // to nothing, and the port's DTR drives its boot-select input and RTS its
    // reset input, each active while asserted. Opening the port asserts both
    // (the receiver is held in reset); closing releases both.
    bool deskWiring = false;
};

struct HandheldCall {
    std::string name;  // "RegOpenKeyEx", "ActivateDevice", "DeviceIoControl", ...
    std::string text;  // key or device name
    uint32_t code = 0;
    std::vector<uint8_t> in;
    uint32_t outSize = 0;
    bool succeeded = false;
};

// How an in-process receiver is put on the host's line when the port driver
// loads (tests give their in-memory line); without one, loading fails.
using HandheldAttach = void (*)(Receiver& receiver);
void HandheldSimSetInProcessAttach(HandheldAttach attach);

// Sets up a new handheld (a new receiver with its own flash).
void HandheldSimStart(const HandheldSimConfig& config);
// A new run on the same handheld: the board's drivers start unloaded again,
// the receiver and its flash stay.
void HandheldSimNewRun();
// Stops the receiver's thread, if any.
void HandheldSimStop();

const BoardOps& HandheldSimOps();
// The port and the clock of line Memory. The port opens once the port
// driver is loaded; the clock stands still without a handheld.
const SerialOps& HandheldSimSerialOps();
const ClockOps& HandheldSimClockOps();
const std::vector<HandheldCall>& HandheldSimCalls();
std::vector<uint8_t> HandheldSimFlash();
// The in-process receiver (line Fake or Memory), or nullptr.
Receiver* HandheldSimReceiver();
bool HandheldSimPinSet();
// The port's modem-control outputs (SERIAL_LINE_*) as last driven: what
// HandheldSimSerialOps().setLines does, on any line; always 1 (an adapter
// drives them whether or not anything listens).
int HandheldSimSetLines(uint32_t which, uint32_t asserted);
uint32_t HandheldSimLines();
// The receiver runs its firmware (not its boot ROM, not held in reset).
bool HandheldSimRunningFirmware();
// For line Pty: the host's own serial table (inner, which must outlive its
// use) with what the desk adds: open asserts DTR and RTS, close releases
// them, setLines drives them. The program's --simulate installs this around
// the real port so that a desk receiver sees its lines.
const SerialOps& HandheldSimDeskSerialOps(const SerialOps& inner);
bool HandheldSimDriverLoaded();
