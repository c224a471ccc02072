// SPDX-License-Identifier: Apache-2.0
// The servicing options of the command-line program: identify the receiver,
// verify its flash, flash a file, back the flash up first, trace the
// exchanges, and a machine-readable result. Without any of them the program
// runs the plain update of the shell.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

struct ServiceOptions {
    bool info = false;
    bool verify = false;
    std::string firmware;
    std::string backup;
    bool force = false;
    bool json = false;
    std::string trace;
};

// Option groups of --help.
inline constexpr const char* GROUP_UPDATE = "Update";
inline constexpr const char* GROUP_INSPECTION = "Inspection";
inline constexpr const char* GROUP_SIMULATION = "Simulation";
inline constexpr const char* GROUP_OUTPUT = "Output";

// The update and inspection options, then (after the shell's own) the
// output ones, so --help lists the groups in that order.
void ServiceAddOptions(CLI::App& app, ServiceOptions& options);
void ServiceAddOutputOptions(CLI::App& app, ServiceOptions& options);

// True when any servicing option was given.
bool ServiceRequested(const ServiceOptions& options);

// Checks that need no receiver (the firmware file, an existing back-up file);
// 0 to go on, else the exit status after the reason was told.
int ServicePrepare(const ServiceOptions& options, const std::string& portLabel);

// Runs the servicing with the platform installed and the power checked.
// portLabel names the receiver's line in reports. Returns the exit status.
int RunService(const ServiceOptions& options, const std::string& portLabel);
