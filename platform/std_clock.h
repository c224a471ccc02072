// SPDX-License-Identifier: Apache-2.0
// The real clock, from the standard library: monotonic milliseconds and sleep.
#pragma once

#include "platform/platform.h"

const ClockOps& StdClockOps();
