// SPDX-License-Identifier: Apache-2.0
// Several receivers at once: `zelvar --port A --port B ...` runs each one in
// a `zelvar` process of its own (the core keeps module-wide state, one run
// per process), with its own board, port lock, temporary image, files and
// outcome. Each child gets its own arguments, built from the options parsed
// once, and tells the parent its progress, its messages and its report over
// a pipe of its own in a line format ("progress N", "message TEXT",
// "report JSON"); the parent never reads meaning into its human output.
#pragma once

#include <string>
#include <vector>

#include "app/cli/options.h"

// The worst status of the ports' statuses: 1 when any failed, else 130 when
// any was stopped, else 3 when any differs, else 2 when any did not start,
// else 0.
int SeveralPortsStatus(const std::vector<int>& statuses);

// Runs one child per port and waits for all of them. On a terminal one
// progress line per port is redrawn in place, then a table gives each port's
// outcome; otherwise every line of a child is printed prefixed with its port;
// with --json, one array holds each port's report. Ctrl-C and the other stop
// signals go on to every child, each of which follows the stop rule.
int RunSeveralPorts(const CliOptions& options);
