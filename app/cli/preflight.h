// SPDX-License-Identifier: Apache-2.0
// What a run will do, decided from its options before anything is sent and
// before anything on the machine changes: the action, the files it reads and
// writes checked, the firmware loaded, the simulated handheld or the board
// described. A refusal here names the step and the reason; the run then
// ends with the receiver untouched.
#pragma once

#include <string>

#include "app/cli/options.h"
#include "image/firmware_file.h"
#include "platform/linux_board/linux_board.h"
#include "receiver/handheld/handheld_sim.h"

struct RunPlan {
    int action = 0;          // UPDATE_ACTION_*
    std::string port;        // the receiver's port; "simulated" for the simulated handheld
    FirmwareImage firmware;  // empty: the built-in image
    HandheldSimConfig sim;   // the simulated handheld, with --simulate
    LinuxBoardConfig board;  // the board, without it
};

struct Preflight {
    bool refused = false;
    bool notHandheld = false;  // no port and no --simulate: the handheld's own refusal
    std::string step;          // the refused step ("Options", "FirmwareFile", ...)
    std::string message;       // why, as the user reads it
    RunPlan plan;
};

int ActionOf(const CliOptions& options);

// The plan for the one port of options (or the simulated handheld).
Preflight PlanRun(const CliOptions& options);
