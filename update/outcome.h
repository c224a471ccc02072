// SPDX-License-Identifier: Apache-2.0
// What the end of a run means, decided here once and only rendered by every
// face (the terminal, several ports, JSON, the page, the Windows log): the
// status a script gets, whether the receiver's flash was changed, the cause,
// and what to do next.
#pragma once

#include <cstddef>
#include <cstdint>

// Exit statuses. The number alone tells a script whether a receiver was left
// incomplete.
constexpr int UPDATE_EXIT_DONE = 0;             // finished, or a servicing run did its job
constexpr int UPDATE_EXIT_FLASH_CHANGED = 1;    // failed after an erase or a write: update again
constexpr int UPDATE_EXIT_FLASH_UNCHANGED = 2;  // refused or failed before any erase or write
constexpr int UPDATE_EXIT_DIFFERS = 3;          // a verify found the flash other than the image
constexpr int UPDATE_EXIT_STOPPED = 130;        // stopped with the flash unchanged

// How a run ended and what is known of why. Filled by the worker as it ends
// (UpdateLastResult), or by the shell for a refusal before the worker ran
// (UpdateRefusal).
struct UpdateResult {
    int action;         // UPDATE_ACTION_*
    int outcome;        // UPDATE_OUTCOME_*
    char step[32];      // the failed step ("EPWrite", "OpenReceiver", "Options", ...); "" when none
    char message[256];  // what the system said, in its own words; "" when nothing
    char cause[512];    // why, as the OS or the shell said it; "" when unknown
    int osError;        // the OS's error number behind the cause, 0 when none
    char detail[256];   // what the core saw (the request, its address, the status word)
    bool flashChanged;  // an erase or a write went out to the receiver's flash
    bool agentLeftRunning;  // the link was not closed: the receiver waits in its flash agent
    bool receiverAnswered;  // the receiver's boot ROM answered the first stage
    int lineFinding;        // what the line showed in place of that answer (BootLineFinding)
    bool linesFailed;       // the port could not drive DTR/RTS for the boot lines
    uint32_t retries;       // exchanges sent again
};

// A run that ended before the worker started: refused by the shell (bad
// options or files, another program on the port, no power). The flash is
// unchanged.
UpdateResult UpdateRefusal(int action, const char* step, const char* message, const char* cause);

// The status scripts get (UPDATE_EXIT_*).
int UpdateExitStatus(const UpdateResult& result);
// One word for reports: "updated", "identified", "verified", "read",
// "differs", "failed", "not started" or "stopped".
const char* UpdateOutcomeName(const UpdateResult& result);
// The outcome for a person, one sentence.
const char* UpdateHeadline(const UpdateResult& result);
// "The receiver's flash was not changed." or "The receiver's flash is
// incomplete: ..." after a failure or a refusal; nullptr when the run
// finished, was stopped (the stop says so) or a verify differs.
const char* UpdateFlashLine(const UpdateResult& result);
// What to do next, or nullptr when nothing needs doing.
const char* UpdateRemedy(const UpdateResult& result);

// One status for several receivers at once: 1 when any flash was left
// incomplete; else 130 when a run was stopped and none finished (130 never
// follows a write); else 3 when a verify differs; else 2 when any run ended
// with its flash unchanged (a stop beside a finished run included); else 0.
int UpdateOverallStatus(const int* statuses, size_t count);

// The power rule, in one place: nullptr when the run may go on, else the
// message that refuses it. powerRead 0: the status could not be read.
// Identify, verify and read change nothing and run on battery; an update on
// battery needs allowBattery.
const char* UpdatePowerRefusal(int powerRead, int acLineStatus, int action, bool allowBattery);

// The result as one line for a log: outcome, status, step, message, whether
// the flash changed, cause and remedy.
void UpdateResultLine(const UpdateResult& result, char* out, size_t size);
