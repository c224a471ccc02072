// SPDX-License-Identifier: Apache-2.0
// One receiver's run: the plain update or a servicing run (identify, verify,
// read, back-up, a file image), from the checks that need no receiver to the
// report. The options come as one value; the worker gets its request as one.
#pragma once

#include <chrono>
#include <functional>

#include "app/cli/options.h"
#include "update/update.h"

// Exit statuses are the result's (update/outcome.h: UPDATE_EXIT_*).

// Runs the one port of options (or the simulated handheld) and returns the
// exit status.
int RunSession(const CliOptions& options);

// The line that tells a stopped run's state on stderr.
void ReportStop(int outcome);

// Runs the update worker with request on its own thread and calls tick at
// once and then after each pause it returns, until the worker ends; returns
// once it joined.
void RunWorkerTicking(const UpdateRequest& request,
                      const std::function<std::chrono::milliseconds()>& tick);
