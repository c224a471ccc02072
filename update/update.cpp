// SPDX-License-Identifier: Apache-2.0
#include "update/update.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "agent/agent.h"
#include "boot/boot.h"
#include "image/image.h"
#include "link/retry.h"
#include "link/status.h"
#include "platform/platform.h"
#include "update/board.h"

namespace {

// The one value shared with the shell's thread; relaxed order is enough, a
// reader one step behind is harmless.
std::atomic<int32_t> Progress{0};
std::atomic<bool> Finished{false};
ProgressObserver Observer = nullptr;
UpdateFacts Facts{};
// The request of the run under way; the worker's own copy.
UpdateRequest Request{};

// The phase in the low bits and the stop request in one word, so that taking
// a stop and entering the flash phase exclude each other: a stop is either
// seen before the first erase or write goes out, or refused.
constexpr uint32_t PHASE_MASK = 0xFF;
constexpr uint32_t STOP_BIT = 0x100;
std::atomic<uint32_t> State{UPDATE_PHASE_IDLE};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the signal handler needs it");

std::atomic<int> Outcome{UPDATE_OUTCOME_NONE};
int FailedStep = UPDATE_STEP_NONE;

constexpr uint32_t OPERATING_BAUD = 115200;
constexpr uint32_t BLOCK_SIZE = 4096;
// A read-back is asked in pieces of this size so the progress moves.
constexpr uint32_t READ_PIECE = 16384;

uint32_t OperatingBaud() {
    return Request.operatingBaud != 0 ? Request.operatingBaud : OPERATING_BAUD;
}

void SetProgress(int32_t value) {
    Progress.store(value, std::memory_order_relaxed);
    if (Observer != nullptr) Observer(value);
}

void SetPhase(int phase) {
    uint32_t state = State.load(std::memory_order_relaxed);
    while (!State.compare_exchange_weak(state, (state & STOP_BIT) | static_cast<uint32_t>(phase),
                                        std::memory_order_acq_rel)) {
    }
}

bool StopPending() {
    return (State.load(std::memory_order_acquire) & STOP_BIT) != 0;
}

// Fails when a stop came first; from then on stops are refused.
bool EnterFlashPhase() {
    uint32_t state = State.load(std::memory_order_relaxed);
    for (;;) {
        if ((state & STOP_BIT) != 0) return false;
        if ((state & PHASE_MASK) == UPDATE_PHASE_FLASH) return true;
        if (State.compare_exchange_weak(state, UPDATE_PHASE_FLASH, std::memory_order_acq_rel)) {
            return true;
        }
    }
}

uint64_t NowMs() {
    return PlatformClock().nowMs();
}

void Show(const char* text, const char* caption) {
    PlatformUi().message(text, caption);
}

// The outcome is settled before its message comes up, so that a stop during
// the message ends the run with this outcome.
void Decide(int outcome, int step) {
    FailedStep = step;
    Outcome.store(outcome, std::memory_order_release);
    SetPhase(UPDATE_PHASE_DECIDED);
}

uint32_t Fail(int step, const char* text, uint32_t exitCode) {
    Decide(UPDATE_OUTCOME_FAILED, step);
    Facts.failure = text;
    Show(text, "Fail");
    return exitCode;
}

// What a run has done to the board and the file system so far, for a stop
// to undo.
struct Taken {
    bool driverActive = false;
    bool pinSet = false;
    bool linkOpen = false;
    bool flashOpen = false;
    const char* imagePath = nullptr;
};

// Through the handle it was written by: the name is never looked up again.
void RemoveTempImage(const char* path) {
    if (path != nullptr) ImageRemoveTemporaryFile();
}

uint32_t Stop(const Taken& taken, int outcome) {
    if (taken.flashOpen) EPClose();
    // Sends Disconnect only over a link that OpenReceiver completed.
    CloseReceiver();
    BinaryImageClose();
    if (taken.pinSet) ClearUpdatePin();
    if (taken.driverActive) DeactivatePortDriver();
    RemoveTempImage(taken.imagePath);
    Decide(outcome, UPDATE_STEP_NONE);
    return 1;
}

// A refusal once the receiver answered (an image too long for its flash, a
// back-up that could not be made): the link is closed and the board restored
// as by a stop, so that the next run finds the receiver in its boot ROM
// again, then the failure is shown. Nothing was erased.
uint32_t Refuse(const Taken& taken, int step, const char* text) {
    Stop(taken, UPDATE_OUTCOME_FAILED);
    FailedStep = step;
    Facts.failure = text;
    Show(text, "Fail");
    return 1;
}

// The chip answered but cannot run at the rate asked for: the link came up at
// a rate it can and is ended like a stop, before anything reaches the flash.
uint32_t RefuseRate(const Taken& taken) {
    static char text[128];
    std::snprintf(text, sizeof text,
                  "The receiver (chip %u) cannot run at %u baud. Its flash was not touched.",
                  static_cast<unsigned>(ChipId()), static_cast<unsigned>(OperatingBaud()));
    Stop(taken, UPDATE_OUTCOME_RATE_REFUSED);
    Show(text, "Fail");
    return 1;
}

// A failed step: its name and the message it shows; no message, no failure.
struct Failure {
    int step;
    const char* message;
};
constexpr Failure NO_FAILURE{UPDATE_STEP_NONE, nullptr};

Failure ErasePhase(uint32_t imageLength, uint32_t flashSize, bool* stopped) {
    uint32_t index = 0;
    for (;;) {
        uint32_t start = 0;
        uint32_t size = 0;
        const uint32_t status = SectorSetInfo(index, &start, &size);
        ++index;
        if (status != 0) return Failure{UPDATE_STEP_SECTOR_SET_INFO, "SectorSetInfo Fail!"};
        if (start >= imageLength) return NO_FAILURE;
        SetProgress(static_cast<int32_t>(10 + (start * 20) / imageLength));
        if (!EnterFlashPhase()) {
            *stopped = true;
            return NO_FAILURE;
        }
        if (EraseSectorSet(start, size) != 0) {
            return Failure{UPDATE_STEP_ERASE_SECTOR_SET, "EraseSectorSet Fail!"};
        }
        if (start + size >= flashSize) return NO_FAILURE;
    }
}

}  // namespace

const char* UpdateErasePhase(uint32_t imageLength, uint32_t flashSize) {
    bool stopped = false;
    return ErasePhase(imageLength, flashSize, &stopped).message;
}

namespace {

// Writes the image block by block from flash address 0, running the CRC
// over exactly the bytes written.
Failure WritePhase(const uint8_t* image, uint32_t imageLength, uint16_t* crc, bool* stopped) {
    static uint8_t block[BLOCK_SIZE];
    uint32_t remaining = imageLength;
    uint32_t offset = 0;
    *crc = 0xFFFF;
    while (remaining != 0) {
        SetProgress(static_cast<int32_t>(30 + (offset * 70) / imageLength));
        const uint32_t length = remaining < BLOCK_SIZE ? remaining : BLOCK_SIZE;
        if (BinaryImageReadNextBlock(block, length, image) != 0) {
            return Failure{UPDATE_STEP_BINARY_IMAGE_READ_NEXT_BLOCK, "BinaryImageReadNextBlock Fail!"};
        }
        Crc16Update(block, length, *crc, crc);
        if (!EnterFlashPhase()) {
            *stopped = true;
            return NO_FAILURE;
        }
        if (EPWrite(offset, block, length) != 0) return Failure{UPDATE_STEP_EP_WRITE, "EPWrite Fail"};
        Facts.bytesWritten += length;
        remaining -= length;
        offset += length;
    }
    return NO_FAILURE;
}

// The built-in image: resource to file, file to binary image. True with
// *image set, or false with *exitCode set once the failure was shown.
bool LoadBuiltInImage(Taken* taken, const uint8_t** image, uint32_t* count, uint32_t* exitCode) {
    switch (ExtractImageResource()) {
        case 0:
            break;
        case 1:
            *exitCode = Fail(UPDATE_STEP_EXTRACT_IMAGE_RESOURCE, "Failed to open image source1", 0);
            return false;
        case 2:
            *exitCode = Fail(UPDATE_STEP_EXTRACT_IMAGE_RESOURCE, "Failed to open image source2", 0);
            return false;
        case 3:
            *exitCode = Fail(UPDATE_STEP_EXTRACT_IMAGE_RESOURCE, "Failed to open image source3", 0);
            return false;
        default:
            *exitCode = Fail(UPDATE_STEP_EXTRACT_IMAGE_RESOURCE, "Failed to open image source4", 0);
            return false;
    }
    const char* path = PlatformFiles().tempImagePath();
    taken->imagePath = path;
    if (StopPending()) {
        *exitCode = Stop(*taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK);
        return false;
    }
    *image = path != nullptr ? LoadImageFile(path, count) : nullptr;
    if (*image == nullptr) {
        *exitCode = Fail(UPDATE_STEP_LOAD_IMAGE_FILE, "Firmware doesn't exist!", 1);
        return false;
    }
    return true;
}

// The flash part as EPOpen described it.
struct OpenFlash {
    char partName[FLASH_NAME_BUFFER_SIZE] = "";
    char makerName[FLASH_NAME_BUFFER_SIZE] = "";
    FlashInfo info{};
};

// What every action does first: the board, the image (when the action needs
// one), the receiver up to a running agent and its flash open. True with the
// flash open, or false with *exitCode set once the run ended (failed, stopped
// or refused, its message shown).
bool Prologue(Taken* taken, OpenFlash* flash, const uint8_t** imageOut, uint32_t* imageLength,
              uint32_t* exitCode) {
    const int action = Request.action;
    SetPhase(UPDATE_PHASE_PREPARING);
    if (CheckPortDriver() == 0) {
        Decide(UPDATE_OUTCOME_NOT_HANDHELD, UPDATE_STEP_NONE);
        Facts.failure = "Sorry! Only for Tervalon Version!";
        Show("Sorry! Only for Tervalon Version!", "");
        *exitCode = action == UPDATE_ACTION_UPDATE ? 0 : 1;
        return false;
    }
    if (StopPending()) return (*exitCode = Stop(*taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK), false);
    ActivatePortDriver();
    taken->driverActive = true;
    if (action == UPDATE_ACTION_UPDATE) SetProgress(10);
    if (StopPending()) return (*exitCode = Stop(*taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK), false);
    if (SetUpdatePin() == 0) {
        Decide(UPDATE_OUTCOME_FAILED, UPDATE_STEP_SET_UPDATE_PIN);
        Facts.failure = "GPIOOpen Fail!";
        *exitCode = 1;
        return false;
    }
    taken->pinSet = true;
    if (StopPending()) return (*exitCode = Stop(*taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK), false);

    // A file image given with the request, or the built-in one through the
    // temporary file; identify and read need none.
    const bool needsImage = action == UPDATE_ACTION_UPDATE || action == UPDATE_ACTION_VERIFY ||
                            action == UPDATE_ACTION_VERIFY_BYTES;
    const uint8_t* image = Request.image;
    uint32_t count = Request.image != nullptr ? Request.imageLength : 0;
    if (needsImage) {
        if (image == nullptr && !LoadBuiltInImage(taken, &image, &count, exitCode)) return false;
        *imageLength = count;
        if (action == UPDATE_ACTION_UPDATE) {
            const char* path = taken->imagePath;
            if (BinaryImageOpen(path != nullptr ? path : "", imageLength, count) != 0) {
                *exitCode = Fail(UPDATE_STEP_BINARY_IMAGE_OPEN, "Failed to open image source", 1);
                return false;
            }
        }
        Facts.imageLength = *imageLength;
        Crc16Update(image, *imageLength, 0xFFFF, &Facts.imageCrc);
        if (StopPending()) {
            *exitCode = Stop(*taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK);
            return false;
        }
    }
    *imageOut = image;

    const uint64_t mark = NowMs();
    SetPhase(UPDATE_PHASE_LINK);
    BootSetStopQuery(StopPending);
    const char* port = Request.port != nullptr ? Request.port : ReceiverPortName();
    const uint32_t opened = OpenReceiver(port, OperatingBaud());
    BootSetStopQuery(nullptr);
    taken->linkOpen = opened == 0;
    if (opened == LINK_STOPPED) {
        *exitCode = Stop(*taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK);
        return false;
    }
    if (opened == LINK_BAUD_REFUSED) return (*exitCode = RefuseRate(*taken), false);
    if (opened != 0) {
        *exitCode = Fail(UPDATE_STEP_OPEN_RECEIVER, "Please close the GPS application !", 1);
        return false;
    }
    Facts.chipId = ChipId();
    if (StopPending()) return (*exitCode = Stop(*taken, UPDATE_OUTCOME_STOPPED_WITH_LINK), false);
    // The update keeps the version check it always had; identify asks the
    // receiver's agent itself.
    if (action == UPDATE_ACTION_IDENTIFY) {
        if (GetAgentVersion(Facts.agentVersion, sizeof Facts.agentVersion) != 0) {
            *exitCode = Fail(UPDATE_STEP_GET_AGENT_VERSION, "GetAgentVersion Fail!", 1);
            return false;
        }
    } else {
        char version[64];
        if (GetVersion(version, sizeof version) != 0) {
            *exitCode = Fail(UPDATE_STEP_GET_VERSION, "GetVersion Fail!", 1);
            return false;
        }
    }
    if (StopPending()) return (*exitCode = Stop(*taken, UPDATE_OUTCOME_STOPPED_WITH_LINK), false);

    flash->info.PartName = flash->partName;
    flash->info.MakerName = flash->makerName;
    flash->info.SectorSets = Facts.sectorSets;
    uint32_t busWidthUnits = 0;
    if (EPOpen(0, 0, &busWidthUnits, &flash->info) != 0) {
        *exitCode = Fail(UPDATE_STEP_EP_OPEN, "EPOpen Fail!", 1);
        return false;
    }
    taken->flashOpen = true;
    std::memcpy(Facts.partName, flash->partName, sizeof flash->partName);
    std::memcpy(Facts.makerName, flash->makerName, sizeof flash->makerName);
    Facts.busWidthUnits = busWidthUnits;
    Facts.flashBytes = flash->info.Size * busWidthUnits;
    Facts.deviceId = flash->info.DeviceId;
    Facts.makerId = flash->info.MakerId;
    Facts.commandSet = flash->info.CommandSet;
    Facts.sectorSetCount = flash->info.SectorSetCount;
    Facts.bootMs = NowMs() - mark;
    if (StopPending()) return (*exitCode = Stop(*taken, UPDATE_OUTCOME_STOPPED_WITH_LINK), false);
    // Never true of the built-in image on any part the agent knows.
    if (*imageLength > Facts.flashBytes) {
        *exitCode = Refuse(*taken, UPDATE_STEP_IMAGE_FITS,
                           UpdateImageTooLongMessage(*imageLength, Facts.flashBytes));
        return false;
    }
    return true;
}

// The end of a run that changed nothing: the flash closed, the link ended,
// the board restored, the temporary image removed.
uint32_t CloseUnchanged(const Taken& taken, int outcome, int step, const char* failure) {
    EPClose();
    CloseReceiver();
    if (taken.pinSet) ClearUpdatePin();
    if (taken.driverActive) DeactivatePortDriver();
    RemoveTempImage(taken.imagePath);
    if (failure != nullptr) {
        Fail(step, failure, 1);
        return 1;
    }
    Decide(outcome, UPDATE_STEP_NONE);
    return outcome == UPDATE_OUTCOME_FINISHED ? 0 : 1;
}

// Reads the image's length back and compares it byte by byte.
Failure CompareFlash(const uint8_t* image, uint32_t length) {
    static uint8_t piece[READ_PIECE];
    Facts.firstDifference = 0;
    for (uint32_t done = 0; done < length;) {
        SetProgress(static_cast<int32_t>(uint64_t{done} * 100 / length));
        if (StopPending()) return Failure{UPDATE_STEP_NONE, "stopped"};
        const uint32_t size = length - done < READ_PIECE ? length - done : READ_PIECE;
        if (EPRead(done, piece, size) != 0) return Failure{UPDATE_STEP_READ, "EPRead Fail!"};
        for (uint32_t i = 0; i < size; ++i) {
            if (piece[i] == image[done + i]) continue;
            if (Facts.differingBytes == 0) Facts.firstDifference = done + i;
            ++Facts.differingBytes;
        }
        done += size;
        Facts.bytesCompared = done;
    }
    SetProgress(100);
    return NO_FAILURE;
}

// Identify, verify and read: the open flash looked at, nothing changed.
uint32_t Inspect(const Taken& taken, const uint8_t* image, uint32_t imageLength) {
    const uint64_t mark = NowMs();
    switch (Request.action) {
        case UPDATE_ACTION_VERIFY: {
            uint16_t crc = 0;
            const uint32_t status = CalculateFlashCRC16(0, imageLength, 0xFFFF, &crc);
            Facts.verifyMs = NowMs() - mark;
            if (status != 0) {
                return CloseUnchanged(taken, UPDATE_OUTCOME_FAILED,
                                      UPDATE_STEP_CALCULATE_FLASH_CRC16,
                                      "CalculateFlashCRC16 Fail!");
            }
            Facts.receiverCrcRead = true;
            Facts.receiverCrc = crc;
            return CloseUnchanged(taken,
                                  crc == Facts.imageCrc ? UPDATE_OUTCOME_FINISHED
                                                        : UPDATE_OUTCOME_DIFFERS,
                                  UPDATE_STEP_NONE, nullptr);
        }
        case UPDATE_ACTION_VERIFY_BYTES: {
            const Failure failure = CompareFlash(image, imageLength);
            Facts.verifyMs = NowMs() - mark;
            if (failure.message != nullptr && failure.step == UPDATE_STEP_NONE) {
                return Stop(taken, UPDATE_OUTCOME_STOPPED_WITH_LINK);
            }
            if (failure.message != nullptr) {
                return CloseUnchanged(taken, UPDATE_OUTCOME_FAILED, failure.step, failure.message);
            }
            return CloseUnchanged(taken,
                                  Facts.differingBytes == 0 ? UPDATE_OUTCOME_FINISHED
                                                            : UPDATE_OUTCOME_DIFFERS,
                                  UPDATE_STEP_NONE, nullptr);
        }
        case UPDATE_ACTION_READ: {
            const char* message = nullptr;
            const int hooked = Request.flashHook != nullptr
                                   ? Request.flashHook(Facts.flashBytes, &message)
                                   : UPDATE_HOOK_OK;
            Facts.verifyMs = NowMs() - mark;
            if (hooked == UPDATE_HOOK_STOPPED) return Stop(taken, UPDATE_OUTCOME_STOPPED_WITH_LINK);
            if (hooked != UPDATE_HOOK_OK) {
                return CloseUnchanged(taken, UPDATE_OUTCOME_FAILED, UPDATE_STEP_READ,
                                      message != nullptr ? message : "Read Fail!");
            }
            return CloseUnchanged(taken, UPDATE_OUTCOME_FINISHED, UPDATE_STEP_NONE, nullptr);
        }
        default:
            return CloseUnchanged(taken, UPDATE_OUTCOME_FINISHED, UPDATE_STEP_NONE, nullptr);
    }
}

uint32_t RunUpdate() {
    Taken taken;
    OpenFlash flash;
    const uint8_t* image = nullptr;
    uint32_t imageLength = 0;
    uint32_t exitCode = 0;
    if (!Prologue(&taken, &flash, &image, &imageLength, &exitCode)) return exitCode;
    if (Request.action != UPDATE_ACTION_UPDATE) return Inspect(taken, image, imageLength);
    const FlashInfo& info = flash.info;

    if (Request.flashHook != nullptr) {
        const char* message = nullptr;
        const int hooked = Request.flashHook(Facts.flashBytes, &message);
        if (hooked == UPDATE_HOOK_STOPPED) return Stop(taken, UPDATE_OUTCOME_STOPPED_WITH_LINK);
        if (hooked != UPDATE_HOOK_OK) {
            return Refuse(taken, UPDATE_STEP_BACKUP, message != nullptr ? message : "Backup Fail!");
        }
        if (StopPending()) return Stop(taken, UPDATE_OUTCOME_STOPPED_WITH_LINK);
    }

    uint64_t mark = NowMs();
    const uint32_t blank = CheckBlank(0, imageLength);
    bool stopped = false;
    if (blank == AGENT_NOT_BLANK) {
        // Size is one part's; on a 32-bit bus the sectors run on through the
        // second part. An image that fits one part (the built-in one always
        // does) is erased whole either way, and gets the exchanges it always
        // had; a longer file image needs the whole flash.
        const uint32_t eraseLimit = imageLength > info.Size ? Facts.flashBytes : info.Size;
        const Failure failure = ErasePhase(imageLength, eraseLimit, &stopped);
        if (failure.message != nullptr) return Fail(failure.step, failure.message, 1);
    } else if (blank != 0) {
        return Fail(UPDATE_STEP_CHECK_BLANK, "CheckBlank Fail!", 1);
    }
    Facts.eraseMs = NowMs() - mark;
    if (stopped) return Stop(taken, UPDATE_OUTCOME_STOPPED_WITH_LINK);
    uint16_t runningCrc = 0xFFFF;
    mark = NowMs();
    const Failure failure = WritePhase(image, imageLength, &runningCrc, &stopped);
    Facts.writeMs = NowMs() - mark;
    if (failure.message != nullptr) return Fail(failure.step, failure.message, 1);
    if (stopped) return Stop(taken, UPDATE_OUTCOME_STOPPED_WITH_LINK);

    uint16_t agentCrc = 0;
    mark = NowMs();
    const uint32_t crcStatus = CalculateFlashCRC16(0, imageLength, 0xFFFF, &agentCrc);
    Facts.verifyMs = NowMs() - mark;
    Facts.receiverCrcRead = crcStatus == 0;
    Facts.receiverCrc = agentCrc;
    if (crcStatus != 0 || agentCrc != runningCrc) {
        return Fail(UPDATE_STEP_CALCULATE_FLASH_CRC16, "CalculateFlashCRC16 Fail!", 1);
    }
    Decide(UPDATE_OUTCOME_FINISHED, UPDATE_STEP_NONE);
    EPClose();
    CloseReceiver();
    BinaryImageClose();
    ClearUpdatePin();
    DeactivatePortDriver();
    Show("Download Finish", "Done");
    RemoveTempImage(taken.imagePath);
    return 0;
}

}  // namespace

uint32_t UpdateWorker(void* parameter) {
    Facts = UpdateFacts{};
    Request = parameter != nullptr ? *static_cast<const UpdateRequest*>(parameter) : UpdateRequest{};
    LinkSetRetries(Request.retries);
    BootSetLines(Request.bootLines);
    const uint32_t exitCode = RunUpdate();
    Facts.retries = LinkRetryCount();
    Finished.store(true, std::memory_order_release);
    return exitCode;
}

int32_t ProgressPercent() {
    return Progress.load(std::memory_order_relaxed);
}

int UpdatePhase() {
    return static_cast<int>(State.load(std::memory_order_acquire) & PHASE_MASK);
}

int UpdateRequestStop() {
    uint32_t state = State.load(std::memory_order_relaxed);
    for (;;) {
        const uint32_t phase = state & PHASE_MASK;
        if (phase == UPDATE_PHASE_FLASH) return UPDATE_STOP_REFUSED;
        if (State.compare_exchange_weak(state, state | STOP_BIT, std::memory_order_acq_rel)) {
            return phase == UPDATE_PHASE_DECIDED ? UPDATE_STOP_ENDS_OUTCOME : UPDATE_STOP_TAKEN;
        }
    }
}

bool UpdateStopRequested() {
    return StopPending();
}

bool UpdateFlashBusy() {
    return UpdatePhase() == UPDATE_PHASE_FLASH;
}

bool UpdateFinished() {
    return Finished.load(std::memory_order_acquire);
}

int UpdateOutcome() {
    return Outcome.load(std::memory_order_acquire);
}

int UpdateFailedStepId() {
    return FailedStep;
}

const char* UpdateStepName(int step) {
    static const char* const names[UPDATE_STEP_COUNT] = {
        "",
        "CheckPortDriver",
        "SetUpdatePin",
        "ExtractImageResource",
        "LoadImageFile",
        "BinaryImageOpen",
        "OpenReceiver",
        "GetVersion",
        "GetAgentVersion",
        "EPOpen",
        "ImageFits",
        "Backup",
        "Read",
        "CheckBlank",
        "SectorSetInfo",
        "EraseSectorSet",
        "BinaryImageReadNextBlock",
        "EPWrite",
        "CalculateFlashCRC16",
    };
    return step >= 0 && step < UPDATE_STEP_COUNT ? names[step] : "";
}

const char* UpdateFailedStep() {
    return UpdateStepName(FailedStep);
}

void UpdateSetProgressObserver(ProgressObserver observer) {
    Observer = observer;
}

const UpdateFacts& UpdateLastFacts() {
    return Facts;
}

const char* UpdateImageTooLongMessage(uint32_t imageLength, uint32_t flashBytes) {
    static char text[128];
    std::snprintf(text, sizeof text, "The image (%u bytes) is longer than the flash (%u bytes)!",
                  static_cast<unsigned>(imageLength), static_cast<unsigned>(flashBytes));
    return text;
}

void UpdateReset() {
    Facts = UpdateFacts{};
    Request = UpdateRequest{};
    LinkSetRetries(0);
    BootSetLines(nullptr);
    Observer = nullptr;
    Progress.store(0, std::memory_order_relaxed);
    State.store(UPDATE_PHASE_IDLE, std::memory_order_relaxed);
    Outcome.store(UPDATE_OUTCOME_NONE, std::memory_order_relaxed);
    FailedStep = UPDATE_STEP_NONE;
    Finished.store(false, std::memory_order_relaxed);
}
