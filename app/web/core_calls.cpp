// SPDX-License-Identifier: Apache-2.0
#include "app/web/core_calls.h"

#include "agent/agent.h"
#include "boot/boot.h"
#include "boot/clock.h"
#include "image/image.h"
#include "link/packet.h"
#include "link/serial_port.h"
#include "update/board.h"

namespace {

constexpr uint32_t USUAL_BAUD = 115200;

std::vector<uint8_t>* BackupBuffer = nullptr;
void (*BackupProgress)(int percent) = nullptr;
const char* BackupFailure = nullptr;

// With the flash open and nothing erased: read it, then ask the worker to
// stop, which it takes at its next step boundary as a stop before the flash.
const char* ReadBeforeErase(uint32_t flashBytes) {
    BackupBuffer->assign(flashBytes, 0);
    BackupFailure = ServiceReadFlash(BackupBuffer->data(), flashBytes, BackupProgress);
    if (BackupFailure != nullptr) return BackupFailure;
    UpdateRequestStop();
    return nullptr;
}

// A page runs many times in one process: each run starts from the state a
// fresh program has.
void Fresh() {
    SerialReset();
    PacketReset();
    BootReset();
    ClockReset();
    AgentReset();
    ImageReset();
    UpdateReset();
    BoardReset();
}

}  // namespace

uint32_t CoreRunUpdate(const uint8_t* image, uint32_t imageLength, uint32_t baud,
                       void (*progress)(int32_t percent)) {
    Fresh();
    if (baud != 0 && baud != USUAL_BAUD) UpdateSetOperatingBaud(baud);
    if (image != nullptr) UpdateSetImage(image, imageLength);
    UpdateSetProgressObserver(progress);
    const uint32_t code = UpdateWorker(nullptr);
    UpdateSetProgressObserver(nullptr);
    UpdateSetImage(nullptr, 0);
    return code;
}

int CoreRunInspect(bool verify, const uint8_t* image, uint32_t imageLength, ServiceReport* report) {
    Fresh();
    return ServiceInspect(verify, image, imageLength, report);
}

const char* CoreRunBackup(std::vector<uint8_t>* flash, uint16_t* crc,
                          void (*progress)(int percent)) {
    Fresh();
    BackupBuffer = flash;
    BackupProgress = progress;
    BackupFailure = "EPOpen Fail!";
    flash->clear();
    UpdateSetBeforeEraseHook(ReadBeforeErase);
    UpdateWorker(nullptr);
    UpdateSetBeforeEraseHook(nullptr);
    BackupBuffer = nullptr;
    if (UpdateOutcome() == UPDATE_OUTCOME_STOPPED_WITH_LINK && BackupFailure == nullptr) {
        Crc16Update(flash->data(), static_cast<uint32_t>(flash->size()), 0xFFFF, crc);
        return nullptr;
    }
    if (UpdateLastFacts().failure != nullptr) return UpdateLastFacts().failure;
    return BackupFailure;
}

int32_t CoreProgress() {
    return ProgressPercent();
}
bool CoreFlashBusy() {
    return UpdateFlashBusy();
}
int CoreRequestStop() {
    return UpdateRequestStop();
}
int CoreOutcome() {
    return UpdateOutcome();
}
const UpdateFacts& CoreFacts() {
    return UpdateLastFacts();
}
