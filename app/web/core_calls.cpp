// SPDX-License-Identifier: Apache-2.0
#include "app/web/core_calls.h"

#include <cstring>

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
uint16_t BackupCrc = 0;

// With the flash open: the whole of it read and proven.
int ReadFlash(uint32_t flashBytes, const char** message) {
    BackupBuffer->assign(flashBytes, 0);
    return ServiceReadFlash(BackupBuffer->data(), flashBytes, BackupProgress, &BackupCrc, message);
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
    UpdateRequest request{};
    request.operatingBaud = baud != USUAL_BAUD ? baud : 0;
    request.image = image;
    request.imageLength = image != nullptr ? imageLength : 0;
    UpdateSetProgressObserver(progress);
    const uint32_t code = UpdateWorker(&request);
    UpdateSetProgressObserver(nullptr);
    return code;
}

int CoreRunInspect(bool verify, const uint8_t* image, uint32_t imageLength, ServiceReport* report) {
    Fresh();
    UpdateRequest request{};
    request.action = verify ? UPDATE_ACTION_VERIFY : UPDATE_ACTION_IDENTIFY;
    request.image = image;
    request.imageLength = image != nullptr ? imageLength : 0;
    UpdateWorker(&request);
    const UpdateFacts& f = UpdateLastFacts();
    *report = ServiceReport{};
    std::memcpy(report->version, f.agentVersion, sizeof report->version);
    std::memcpy(report->partName, f.partName, sizeof report->partName);
    std::memcpy(report->makerName, f.makerName, sizeof report->makerName);
    report->deviceId = f.deviceId;
    report->makerId = f.makerId;
    report->busWidthUnits = f.busWidthUnits;
    report->flashBytes = f.flashBytes;
    std::memcpy(report->sectorSets, f.sectorSets, sizeof report->sectorSets);
    report->sectorSetCount = f.sectorSetCount;
    report->imageLength = f.imageLength;
    report->imageCrc = f.imageCrc;
    report->receiverCrcRead = f.receiverCrcRead;
    report->receiverCrc = f.receiverCrc;
    report->failure = f.failure;
    switch (UpdateOutcome()) {
        case UPDATE_OUTCOME_FINISHED:
            return SERVICE_OK;
        case UPDATE_OUTCOME_DIFFERS:
            return SERVICE_DIFFERS;
        case UPDATE_OUTCOME_STOPPED_BEFORE_LINK:
        case UPDATE_OUTCOME_STOPPED_WITH_LINK:
            return SERVICE_STOPPED;
        default:
            return SERVICE_FAILED;
    }
}

const char* CoreRunBackup(std::vector<uint8_t>* flash, uint16_t* crc,
                          void (*progress)(int percent)) {
    Fresh();
    BackupBuffer = flash;
    BackupProgress = progress;
    flash->clear();
    UpdateRequest request{};
    request.action = UPDATE_ACTION_READ;
    request.flashHook = ReadFlash;
    UpdateWorker(&request);
    BackupBuffer = nullptr;
    if (UpdateOutcome() == UPDATE_OUTCOME_FINISHED) {
        *crc = BackupCrc;
        return nullptr;
    }
    if (UpdateLastFacts().failure != nullptr) return UpdateLastFacts().failure;
    return "stopped";
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
