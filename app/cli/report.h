// SPDX-License-Identifier: Apache-2.0
// One report of a run, whatever it did and however it ended, and its
// renderings: the plain lines after the outcome, the phase times on a
// terminal, and the JSON document. Refusals before the receiver is reached
// are reports too.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "update/update.h"

// What a --backup or --read wrote.
struct FileFacts {
    std::string path;  // "" when none was asked for
    bool written = false;
    uint32_t bytes = 0;  // image bytes in the file
    bool flashCrcKnown = false;
    uint16_t flashCrc = 0;  // the receiver's CRC-16 of the whole flash
    uint64_t ms = 0;
};

struct RunReport {
    std::string port;
    int action = UPDATE_ACTION_UPDATE;
    int exitStatus = 0;
    std::string failedStep;  // "" when nothing failed
    std::string message;     // the failure's message or the refusal's reason
    std::string cause;       // what the system said of it (errno text), when known
    bool workerRan = false;  // false: refused before the receiver was reached
    UpdateFacts facts{};
    FileFacts backup;
    FileFacts read;
    int adapterLatencyMs = -1;  // the USB adapter's timer, when it is too slow
};

// A report of a run that never reached the worker.
RunReport RefusalReport(const std::string& port, int action, const std::string& step,
                        const std::string& message, int exitStatus);

// "updated", "identified", "verified", "read", "differs", "failed",
// "not started" or "stopped".
const char* OutcomeName(const RunReport& report);

nlohmann::json ReportJson(const RunReport& report);

// The lines a person reads after the outcome (the identity, the CRCs, the
// back-up), to out; with phaseTimes a line of the seconds spent follows.
void PrintReportLines(const RunReport& report, FILE* out, bool phaseTimes);
