// SPDX-License-Identifier: Apache-2.0
// The settings the Win32 serial back end gives the receiver's port, worked out
// from what the port had: the back end applies them, tests look at them.
#pragma once

#include <windows.h>

#include <cstdint>

// The port's line settings with the link's: the rate, 8-N-1, no flow
// control, DTR and RTS asserted, binary mode, and nothing that would drop,
// replace or abort on received bytes. Everything else keeps the port's value.
DCB Win32LinkDcb(const DCB& port, uint32_t baud);

// The port's time-outs with the link's: the read time-outs, and a write
// time-out that lets the largest frame through at the given rate with room
// to spare.
COMMTIMEOUTS Win32LinkTimeouts(const COMMTIMEOUTS& port, uint32_t baud);
