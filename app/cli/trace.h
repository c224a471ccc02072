// SPDX-License-Identifier: Apache-2.0
// A trace of the exchanges with the receiver, one line per exchange, taken
// from the bytes that cross the serial line: the serial table in use is
// wrapped, so the update itself is the same with or without it.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/platform.h"

// Starts tracing the serial table in use to out (kept open by the caller)
// and returns the wrapping table to install in its place.
const SerialOps& TraceSerialOps(const SerialOps& inner, FILE* out);

// One line for a request sent again: its code, which repeat it is (1 for the
// first) and why (LinkFaultText). Fits LinkSetRetryObserver.
void TraceRetry(uint8_t code, uint32_t attempt, const char* cause);

// Lines written so far.
unsigned long TraceLines();

// How each line reaches the file (null: written straight to it); a trace on
// the terminal goes around the progress bar.
using TraceLineWriter = void (*)(FILE* out, const char* line);
void TraceSetLineWriter(TraceLineWriter writer);

// The errno of the first line that could not be written (0: none).
int TraceWriteError();
