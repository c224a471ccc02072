// SPDX-License-Identifier: Apache-2.0
// The terminal program `zelvar`: options, one instance at a time, the power
// check, the worker on its own thread and the progress shown once a second.
#pragma once

#include <chrono>
#include <functional>

// Exit statuses scripts can rely on.
constexpr int EXIT_UPDATED = 0;  // "Download Finish"
constexpr int EXIT_FAILED = 1;   // the update started and failed
constexpr int EXIT_NOT_STARTED =
    2;  // not the handheld, no external power, already running, bad options
constexpr int EXIT_INTERRUPTED = 130;

int RunShell(int argc, char** argv);

// The documented status of each way the update worker can end (its
// UpdateOutcome), and the line that tells a stopped run's state on stderr.
int ExitStatusOf(int outcome);
void ReportStop(int outcome);

// Runs the update worker on its own thread and calls tick at once and then
// after each pause it returns, until the worker ends; returns once it joined.
void RunWorkerTicking(const std::function<std::chrono::milliseconds()>& tick);
