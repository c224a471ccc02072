// SPDX-License-Identifier: Apache-2.0
// The update worker: one whole firmware update, in a fixed order, on its own
// thread. It reports its outcome itself through PlatformUi().message.
#pragma once

#include <cstdint>

// Thread procedure; the parameter is ignored. Exit code 0 or 1.
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
int UpdateOutcome();
// The operation whose failure ended the run ("OpenReceiver", "EPWrite", ...),
// or "" when the run did not fail.
const char* UpdateFailedStep();

// The erase phase on its own, over a running agent: erases, in index order,
// every sector that starts below imageLength, up to the one that reaches
// flashSize. nullptr, or the message of the step that failed.
const char* UpdateErasePhase(uint32_t imageLength, uint32_t flashSize);

// Called with every new progress value, on the worker's thread (tests and
// diagnostics; null to stop).
using ProgressObserver = void (*)(int32_t percent);
void UpdateSetProgressObserver(ProgressObserver observer);

// The operating rate OpenReceiver moves the link to (115200 unless set);
// set before the worker starts.
void UpdateSetOperatingBaud(uint32_t baud);

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
    const char* failure;  // message of the step that failed; nullptr on success
    uint64_t bootMs;      // OpenReceiver to the end of EPOpen
    uint64_t eraseMs;     // blank check and erase
    uint64_t writeMs;
    uint64_t verifyMs;  // the receiver's CRC
};
const UpdateFacts& UpdateLastFacts();

// Hooks for the servicing options. With none set (the default), the run is
// the plain update: the same exchanges and the same messages.
//
// Flash this image of length bytes instead of the built-in one; it is not
// copied and must outlive the run. nullptr goes back to the built-in image.
void UpdateSetImage(const uint8_t* image, uint32_t length);
// Called after EPOpen, before the blank check, with the flash open; a
// message stops the run there (exit code 1) with nothing erased.
using UpdateBeforeEraseHook = const char* (*)(uint32_t flashBytes);
void UpdateSetBeforeEraseHook(UpdateBeforeEraseHook hook);

// The message that refuses an image longer than the flash (both sizes named).
const char* UpdateImageTooLongMessage(uint32_t imageLength, uint32_t flashBytes);

// Power-on state of the worker's module (tests); clears the hooks.
void UpdateReset();
