// SPDX-License-Identifier: Apache-2.0
// The update worker's messages in the GUI: the message boxes of the Win32
// back end, with the cause of a failure noted in the program's log, and none
// shown once the user has stopped the run.
#pragma once

#include <windows.h>

#include "platform/platform.h"

const UiOps& GuiWorkerUi();

// Notes an event of the run in the log, with the failed step and the serial
// port's last error when there are any.
void NoteRunEvent(const char* what);

// Presses OK in every message box the given thread shows.
void DismissThreadMessages(DWORD threadId);
