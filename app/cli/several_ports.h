// SPDX-License-Identifier: Apache-2.0
// Several receivers at once: `zelvar --port A --port B ...` runs each one in
// a `zelvar` process of its own (the core keeps module-wide state, one run
// per process), with its own board, port lock, temporary image, files and
// outcome. Each child gets its own arguments, built from the options parsed
// once, and tells the parent its progress, its messages and its report over
// a pipe of its own in a line format ("progress N", "message TEXT",
// "report JSON"). The parent renders each child's report and decides nothing
// of its own: the outcome, the cause, the flash line and the remedy are the
// report's.
#pragma once

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/cli/options.h"

// What the parent knows of one port's run once it ended.
struct PortRun {
    std::string port;
    int status = -1;        // exit status; 128 + signal when killed
    int signal = 0;         // the signal that ended it, 0 when it exited
    nlohmann::json report;  // the report it sent; null when none came
    std::string message;    // the last box it showed
    double seconds = 0;
};

// The port's report; for a child that sent none, a report of what the parent
// saw (killed by a signal, or ended without one).
nlohmann::json PortReport(const PortRun& run);
// The lines under a port's outcome, from its report: the cause (unless it is
// the message), the flash line, the remedy, and each output that was lost.
std::vector<std::string> PortUnderLines(const nlohmann::json& report);
// The one status of the run: UpdateOverallStatus of the ports' statuses.
int SeveralPortsStatus(const std::vector<PortRun>& runs);
// The table of outcomes to out, then each port's under lines on err, each
// prefixed with its port.
void PrintSeveralPortsTable(const std::vector<PortRun>& runs, FILE* out, FILE* err);

// Runs one child per port and waits for all of them. On a terminal one
// progress line per port is redrawn in place, then the table; otherwise each
// line a child writes is printed prefixed with its port, on stdout or stderr
// as the child wrote it; with --json, one array holds each port's report.
// Ctrl-C and the other stop signals go on to every child, each of which
// follows the stop rule.
int RunSeveralPorts(const CliOptions& options);
