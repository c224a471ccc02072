// SPDX-License-Identifier: Apache-2.0
// A bench of receivers: `zelvar --port A --port B ...` updates each one in a
// process of its own (the core keeps module-wide state, one update per
// process), with its own board, port lock, temporary image and outcome.
#pragma once

#include <string>
#include <vector>

struct BenchPort {
    std::string port;
    std::string bootPin;  // empty: no pin
};

struct BenchPlan {
    std::vector<BenchPort> ports;     // in the order given
    std::vector<std::string> common;  // every other argument, in order
    // The arguments with only the first port and its pin, for the option
    // parser to check everything else once, before any child starts.
    std::vector<std::string> firstPortArgs;
    std::string error;  // why the arguments cannot be split ("" when they can)
};

// Splits the command line when it names more than one --port; a --boot-pin
// belongs to the --port before it. Fewer ports: ports holds at most one entry
// and nothing else is filled in.
BenchPlan PlanBench(int argc, char** argv);

// Runs one child per port and waits for all of them. On a terminal one
// progress line per port is redrawn in place, then a summary table follows;
// otherwise every line of a child is printed prefixed with its port; with
// --json, one array holds each port's report. Ctrl-C
// and the other stop signals go on to every child, each of which follows the
// stop rule. Status: 0 when every receiver finished, 2 when none started, 1
// when any failed, 130 when some were stopped and none failed.
int RunBench(const BenchPlan& plan);
