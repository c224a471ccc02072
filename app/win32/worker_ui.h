// SPDX-License-Identifier: Apache-2.0
// The update worker's messages in the GUI: the message boxes of the Win32
// back end, with the cause of a failure noted in the program's log, and none
// shown once the user has stopped the run.
#pragma once

#include <windows.h>

#include <string>

#include "platform/platform.h"
#include "update/outcome.h"

const UiOps& GuiWorkerUi();

// Notes an event of the run in the log, with the failed step and the serial
// port's last error when there are any.
void NoteRunEvent(const char* what);

// The log's line for how a run ended: the core's rendering of the result
// (outcome, status, step and message, whether the flash changed, cause,
// remedy), the cause followed by the system's text for its error number, and
// the line errors the serial port saw.
std::string GuiOutcomeLine(const UpdateResult& result);

// Notes the run's outcome in the log once, unless the run finished or has
// not decided yet (worker thread).
void NoteOutcome();

// Presses OK in every message box the given thread shows.
void DismissThreadMessages(DWORD threadId);
