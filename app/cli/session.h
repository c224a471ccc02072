// SPDX-License-Identifier: Apache-2.0
// One receiver's run: the plain update or a servicing run (identify, verify,
// read, back-up, a file image), from the checks that need no receiver to the
// report. The options come as one value; the worker gets its request as one.
#pragma once

#include <chrono>
#include <functional>

#include "app/cli/options.h"
#include "update/update.h"

// Exit statuses scripts can rely on.
constexpr int EXIT_UPDATED = 0;  // "Download Finish", or a servicing run that did its job
constexpr int EXIT_FAILED = 1;   // the update started and failed
constexpr int EXIT_NOT_STARTED =
    2;  // not the handheld, no external power, already running, bad options
constexpr int EXIT_DIFFERS = 3;  // a verify found the flash other than the image
constexpr int EXIT_INTERRUPTED = 130;

// Runs the one port of options (or the simulated handheld) and returns the
// exit status.
int RunSession(const CliOptions& options);

// The documented status of each way the update worker can end (its
// UpdateOutcome), and the line that tells a stopped run's state on stderr.
int ExitStatusOf(int outcome);
void ReportStop(int outcome);

// Runs the update worker with request on its own thread and calls tick at
// once and then after each pause it returns, until the worker ends; returns
// once it joined.
void RunWorkerTicking(const UpdateRequest& request,
                      const std::function<std::chrono::milliseconds()>& tick);
