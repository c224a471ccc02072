// SPDX-License-Identifier: Apache-2.0
// The update worker: one whole firmware update, in a fixed order, on its own
// thread. It reports its outcome itself through PlatformUi().message.
#pragma once

#include <cstdint>

#include "agent/agent.h"
#include "boot/boot_lines.h"
#include "update/outcome.h"

// What a run is asked to do. Every action goes the same way up to the open
// flash (board, image, boot, agent, EPOpen) and closes the same way; only
// the update erases or writes.
constexpr int UPDATE_ACTION_UPDATE = 0;        // erase, write, prove with the CRC-16
constexpr int UPDATE_ACTION_IDENTIFY = 1;      // ask the agent's version and the flash part
constexpr int UPDATE_ACTION_VERIFY = 2;        // the receiver's CRC-16 over the image's length
constexpr int UPDATE_ACTION_VERIFY_BYTES = 3;  // read the image's length back, byte by byte
constexpr int UPDATE_ACTION_READ = 4;          // the flash hook reads the flash; nothing else

// Called with the flash open and nothing erased: before the blank check of
// an update, or as the whole job of UPDATE_ACTION_READ. UPDATE_HOOK_FAILED
// with *message set ends the run failed at that step, the link closed;
// UPDATE_HOOK_STOPPED when it saw a stop (UpdateStopRequested) and quit.
constexpr int UPDATE_HOOK_OK = 0;
constexpr int UPDATE_HOOK_FAILED = 1;
constexpr int UPDATE_HOOK_STOPPED = 2;
using UpdateFlashHook = int (*)(uint32_t flashBytes, const char** message);

// One run, as a value. A zero request (or none) is the plain update.
struct UpdateRequest {
    int action;
    const char* port;        // serial device; nullptr: the one the board's port driver exposes
    uint32_t operatingBaud;  // rate after the boot stage; 0: 115200
    const uint8_t* image;    // nullptr: the built-in image; not copied, must outlive the run
    uint32_t imageLength;
    UpdateFlashHook flashHook;   // may be null
    uint32_t retries;            // repeats of a failed exchange (LinkSetRetries); 0: none
    const BootLines* bootLines;  // DTR/RTS sequence (BootSetLines); nullptr: none
};

// Thread procedure; the parameter is a const UpdateRequest*, or nullptr for
// the plain update. Exit code 0 or 1.
uint32_t UpdateWorker(void* parameter);

// 0..100, written by the worker, read by the shell about once a second.
int32_t ProgressPercent();

// Where the run stands, as far as stopping it is concerned.
constexpr int UPDATE_PHASE_IDLE = 0;       // the worker has not started
constexpr int UPDATE_PHASE_PREPARING = 1;  // board and image: nothing sent to the receiver
constexpr int UPDATE_PHASE_LINK = 2;       // the receiver is being reached; its flash untouched
constexpr int UPDATE_PHASE_FLASH = 3;      // an erase or a write went out; outcome pending
constexpr int UPDATE_PHASE_DECIDED = 4;    // the outcome is known (its box may be up)
int UpdatePhase();

// Asks the worker to stop. Lock-free and async-signal-safe, so a signal
// handler may call it. The answer says what becomes of the request:
// - UPDATE_STOP_TAKEN: before the flash is touched. The worker stops at its
//   next step boundary, undoes the board steps, closes the link it opened,
//   removes the temporary image and ends with a stopped outcome.
// - UPDATE_STOP_REFUSED: from the first erase or write until the outcome is
//   decided; a half-written receiver does not start, so nothing changes and
//   the request is forgotten.
// - UPDATE_STOP_ENDS_OUTCOME: the outcome is decided. The worker finishes the
//   steps of that outcome without waiting for anyone to answer its messages.
constexpr int UPDATE_STOP_TAKEN = 0;
constexpr int UPDATE_STOP_REFUSED = 1;
constexpr int UPDATE_STOP_ENDS_OUTCOME = 2;
int UpdateRequestStop();
// True once a stop was taken (messages shown after it need no answer).
bool UpdateStopRequested();

// True while the worker erases or writes the receiver's flash, or checks
// what it wrote: interrupting then would leave the receiver unusable.
bool UpdateFlashBusy();

// True once the worker has returned.
bool UpdateFinished();

// How the run ended, beside the worker's exit code.
constexpr int UPDATE_OUTCOME_NONE = 0;                 // not ended yet
constexpr int UPDATE_OUTCOME_FINISHED = 1;             // "Download Finish"
constexpr int UPDATE_OUTCOME_NOT_HANDHELD = 2;         // no port driver: nothing done
constexpr int UPDATE_OUTCOME_FAILED = 3;               // UpdateFailedStep() names the step
constexpr int UPDATE_OUTCOME_STOPPED_BEFORE_LINK = 4;  // nothing was sent to the receiver
constexpr int UPDATE_OUTCOME_STOPPED_WITH_LINK = 5;    // link closed again, flash untouched
// The chip cannot run at the operating rate asked for: link closed again,
// board restored, flash untouched.
constexpr int UPDATE_OUTCOME_RATE_REFUSED = 6;
// A verify found the flash other than the image: link closed, board restored.
constexpr int UPDATE_OUTCOME_DIFFERS = 7;
// Refused by the shell before the worker ran (UpdateRefusal).
constexpr int UPDATE_OUTCOME_REFUSED = 8;
int UpdateOutcome();
// The last run's end with its meaning (update/outcome.h), complete once
// UpdateFinished() is true.
const UpdateResult& UpdateLastResult();

// The step whose failure ended the run (UPDATE_STEP_NONE when it did not fail).
enum UpdateStep : int {
    UPDATE_STEP_NONE = 0,
    UPDATE_STEP_CHECK_PORT_DRIVER,
    UPDATE_STEP_SET_UPDATE_PIN,
    UPDATE_STEP_EXTRACT_IMAGE_RESOURCE,
    UPDATE_STEP_LOAD_IMAGE_FILE,
    UPDATE_STEP_BINARY_IMAGE_OPEN,
    UPDATE_STEP_OPEN_RECEIVER,
    UPDATE_STEP_GET_VERSION,
    UPDATE_STEP_GET_AGENT_VERSION,
    UPDATE_STEP_EP_OPEN,
    UPDATE_STEP_IMAGE_FITS,
    UPDATE_STEP_BACKUP,  // the flash hook of an update
    UPDATE_STEP_READ,    // the flash hook of a read, or the read-back of a verify
    UPDATE_STEP_CHECK_BLANK,
    UPDATE_STEP_SECTOR_SET_INFO,
    UPDATE_STEP_ERASE_SECTOR_SET,
    UPDATE_STEP_BINARY_IMAGE_READ_NEXT_BLOCK,
    UPDATE_STEP_EP_WRITE,
    UPDATE_STEP_CALCULATE_FLASH_CRC16,
    UPDATE_STEP_COUNT
};
int UpdateFailedStepId();
// The step's operation as scripts know it ("OpenReceiver", "EPWrite", ...);
// "" for UPDATE_STEP_NONE.
const char* UpdateStepName(int step);
// The name of the step that ended the run, or "" when the run did not fail.
const char* UpdateFailedStep();

// The erase phase on its own, over a running agent: erases, in index order,
// every sector that starts below imageLength, up to the one that reaches
// flashSize. nullptr, or the message of the step that failed.
const char* UpdateErasePhase(uint32_t imageLength, uint32_t flashSize);

// Called with every new progress value, on the worker's thread (tests and
// diagnostics; null to stop).
using ProgressObserver = void (*)(int32_t percent);
void UpdateSetProgressObserver(ProgressObserver observer);

// What the last run learned, for reports (filled as the run goes; zero
// where it did not get that far). Sizes in bytes, times in milliseconds.
struct UpdateFacts {
    char partName[64];
    char makerName[64];
    uint32_t busWidthUnits;  // 1 for a 16-bit bus, 2 for 32; 0 before EPOpen
    uint32_t flashBytes;     // the whole flash: one part's size times busWidthUnits
    uint32_t imageLength;
    uint16_t imageCrc;  // CRC-16 from 0xFFFF over the whole image
    bool receiverCrcRead;
    uint16_t receiverCrc;
    uint32_t bytesWritten;
    uint64_t bootMs;   // OpenReceiver to the end of EPOpen
    uint64_t eraseMs;  // blank check and erase
    uint64_t writeMs;
    uint64_t verifyMs;  // the receiver's CRC, or the read-back of a verify
    // Identify: what the receiver says of itself.
    char agentVersion[64];
    uint8_t chipId;
    uint16_t deviceId;
    uint16_t makerId;
    uint8_t commandSet;
    uint8_t sectorSetCount;
    SectorSet sectorSets[MAX_SECTOR_SETS];
    // Read-back verify: bytes compared, bytes that differ, the first of them.
    uint32_t bytesCompared;
    uint32_t differingBytes;
    uint32_t firstDifference;
    uint32_t retries;  // exchanges sent again in the run
};
const UpdateFacts& UpdateLastFacts();

// The message that refuses an image longer than the flash (both sizes named).
const char* UpdateImageTooLongMessage(uint32_t imageLength, uint32_t flashBytes);

// Power-on state of the worker's module (tests).
void UpdateReset();
