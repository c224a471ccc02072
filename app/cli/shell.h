// SPDX-License-Identifier: Apache-2.0
// The terminal program `zelvar`: its options parsed once, then one receiver
// run in this process, or several ports each in a process of its own.
#pragma once

#include "app/cli/session.h"

int RunShell(int argc, char** argv);
