// SPDX-License-Identifier: Apache-2.0
// Every call the page makes into the update and servicing core, in one place.
#pragma once

#include <cstdint>

#include "update/update.h"

// One run of the worker with the request, from the state a fresh program
// has. progress (may be null) sees each new progress value.
void CoreRun(const UpdateRequest& request, void (*progress)(int32_t percent));

int32_t CoreProgress();
bool CoreFlashBusy();
int CoreRequestStop();
