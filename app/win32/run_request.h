// SPDX-License-Identifier: Apache-2.0
// The run zelvar.exe asks of the core, from what the port driver's key holds
// beside the port's name.
#pragma once

#include <cstddef>

#include "boot/boot_lines.h"
#include "update/update.h"

// Fills *request for a plain update. When the key's value BootLines is a
// non-empty string, it is parsed into *lines and request->bootLines points
// there (both must outlive the run); when it is missing or empty the run has
// none, as on the handheld. False, with the sentence for the user in error,
// when the value is there but unusable: nothing may be sent then.
bool GuiReadRequest(const char* keyPath, UpdateRequest* request, BootLines* lines, char* error,
                    size_t errorSize);
