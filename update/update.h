// The update worker: one whole firmware update, in a fixed order, on its own
// thread. It reports its outcome itself through PlatformUi().message.
#pragma once

#include <cstdint>

// Thread procedure; the parameter is ignored. Exit code 0 or 1.
uint32_t UpdateWorker(void* parameter);

// 0..100, written by the worker, read by the shell about once a second.
int32_t ProgressPercent();

// True while the worker erases or writes the receiver's flash: interrupting
// then would leave the receiver unusable, so the shells refuse to.
bool UpdateFlashBusy();

// True once the worker has returned.
bool UpdateFinished();

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
// True when the answering chip could not run at that rate: the worker closed
// the link, restored the board and wrote nothing.
bool UpdateBaudRefused();

// Power-on state of the worker's module (tests).
void UpdateReset();
