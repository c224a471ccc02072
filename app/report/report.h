// SPDX-License-Identifier: Apache-2.0
// One report of a run, whatever it did and however it ended, and its
// renderings for the terminal and the page: the lines under the outcome's
// message, the facts after it, and the JSON document. The meaning of the
// outcome comes from the result value (update/outcome.h); nothing here
// decides it again.
#pragma once

#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

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
    UpdateResult result{};   // how it ended; a refusal's comes from UpdateRefusal
    bool workerRan = false;  // false: refused before the receiver was reached
    UpdateFacts facts{};
    FileFacts backup;
    FileFacts read;
    int adapterLatencyMs = -1;      // the USB adapter's timer, when it is too slow
    std::vector<std::string> lost;  // outputs asked for that could not be written
};

// The status scripts get, from the result alone.
int ReportExitStatus(const RunReport& report);
// The cause as a person reads it: what the core saw, the OS's words.
std::string ReportCause(const RunReport& report);

nlohmann::json ReportJson(const RunReport& report);

// The lines that go under the outcome's message, without a prefix: the
// cause, whether the flash changed, and the remedy (none for a success).
std::vector<std::string> ReportUnderLines(const RunReport& report);

// The lines a person reads after the outcome (the identity, the CRCs, the
// back-up), to out; with phaseTimes a line of the seconds spent follows.
void PrintReportLines(const RunReport& report, FILE* out, bool phaseTimes);
