// SPDX-License-Identifier: Apache-2.0
// The browser back ends: the serial port over the Web Serial API, the page's
// clock, the temporary image in Emscripten's in-memory file system, and a
// board whose port driver is the port the user chose.
//
// A read waits on the browser's promises through Asyncify: the caller is
// suspended and the page keeps running (its buttons, its progress bar) until
// bytes come or the time-out passes. The core therefore runs on the page's
// main thread, with no SharedArrayBuffer and no cross-origin isolation, so
// the page works from any static file server.
#pragma once

#include "platform/platform.h"

const SerialOps& WebSerialOps();
const ClockOps& WebClockOps();
const FileOps& WebFileOps();
const BoardOps& WebBoardOps();

// The port the user chose, as the page names it ("" when none): the board's
// port driver is present only with one.
void WebBoardSetPort(const char* label);
// Whether a serial port was opened and not closed again.
bool WebSerialIsOpen();
// The rate the port was last opened at (0 when closed).
uint32_t WebSerialBaud();
