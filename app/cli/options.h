// SPDX-License-Identifier: Apache-2.0
// The command line of `zelvar`, parsed once: every option into one value,
// the ports as a list with the boot pin each one carries, and the checks
// that need no receiver. The several-ports parent builds each child's own
// arguments from this value, never from its own argv.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "boot/boot_lines.h"

struct PortSpec {
    std::string port;
    std::string bootPin;  // empty: no pin
};

struct CliOptions {
    bool simulate = false;
    std::vector<PortSpec> ports;
    bool simBattery = false;
    std::string simPart = "AM29LV400BB";
    unsigned simBus = 16;
    std::string simFlashDump;
    bool simWireTiming = false;
    bool simRunningFirmware = false;
    double simBitErrorRate = 0.0;
    uint64_t simSeed = 1;
    bool simBlank = false;
    bool noWait = false;
    uint32_t baud = 0;  // 0: the usual operating rate
    bool allowBattery = false;
    bool listPorts = false;
    uint32_t retries = 0;         // repeats of an exchange that failed on the line
    std::string bootLines;        // --boot-lines as given; empty: none
    BootLines bootLinesParsed{};  // from bootLines, when it is not empty
    // Servicing.
    bool info = false;
    bool verify = false;
    bool readBack = false;
    std::string firmware;
    std::string backup;
    std::string read;
    bool force = false;
    bool json = false;
    std::string trace;
    // Set by the several-ports parent: where this child reports to it.
    int reportFd = -1;
};

// Stands for the port's own name in --backup, --read and --trace, so that
// several ports never write one file, and in --firmware, so that each port
// can get its own image (its own back-up restored).
inline constexpr const char* PORT_PLACEHOLDER = "{port}";

// The most ports one run takes at once.
inline constexpr size_t MAX_PORTS = 64;

// Parses argv. Returns -1 to go on with *options filled; otherwise the run
// ends with that status (0 after --help or --version), the reason printed
// (as JSON on stdout when --json was among the arguments).
int ParseOptions(int argc, char** argv, CliOptions* options);

// A run refused before anything started: the reason on stderr and, under
// --json, the refusal's report on stdout: one object, or with several ports
// an array of one per port. Returns status.
int RefuseRun(const CliOptions& options, const std::string& reason, int status);

// True when the run only reads the receiver (identify, verify, read).
bool ReadOnlyRun(const CliOptions& options);

// The file name part a port gives to PORT_PLACEHOLDER ("/dev/ttyUSB0":
// "ttyUSB0").
std::string PortFileName(const std::string& port);
// path with every PORT_PLACEHOLDER replaced by the port's file name part.
std::string ForPort(const std::string& path, const std::string& port);

// The arguments of the child that runs port index of options (argv[0]
// included), with its own port, pin and files, and the report descriptor.
std::vector<std::string> ChildArguments(const CliOptions& options, size_t index, int reportFd);
