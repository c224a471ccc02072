// SPDX-License-Identifier: Apache-2.0
// Messages and progress on a terminal: what the message boxes and the
// progress dialog are on the handheld.
#pragma once

#include <cstdio>
#include <string>

#include "platform/platform.h"

// interactive: a message waits for Enter, as a modal box waits for OK; end
// of input, a terminal gone or a stop of the update answer it.
// tty: the progress bar is redrawn in place; otherwise plain lines.
// progress: the value to show as each message comes up (may be null).
void TerminalUiStart(FILE* out, bool interactive, bool tty, int (*progress)());
const UiOps& TerminalUiOps();

// Draws the progress value when it changed; called about once a second.
void TerminalShowProgress(int percent);
// Ends the progress line before the program's last words.
void TerminalFinish();

// Why the last step failed, when a back end recorded it: one line
// "zelvar: <cause>: <error text>" on stderr, then the record is cleared.
// Each message calls it right after its own line.
void TerminalShowCause();

// Records the cause as TerminalShowCause would, without printing it (a run
// that reports as JSON carries it in its report).
void TerminalKeepCause();
// The last cause shown or kept ("<cause>: <error text>"), "" when none.
std::string TerminalLastCause();

// Writes a line of other output (a trace on stderr) to file: the progress
// bar is cleared first and drawn again after it, so neither is glued to the
// other.
void TerminalWriteAside(FILE* file, const char* line);
