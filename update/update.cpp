// SPDX-License-Identifier: Apache-2.0
#include "update/update.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "link/status.h"

#include "agent/agent.h"
#include "boot/boot.h"
#include "image/image.h"
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
const uint8_t* ImageOverride = nullptr;
uint32_t ImageOverrideLength = 0;
UpdateBeforeEraseHook BeforeErase = nullptr;

// The phase in the low bits and the stop request in one word, so that taking
// a stop and entering the flash phase exclude each other: a stop is either
// seen before the first erase or write goes out, or refused.
constexpr uint32_t PHASE_MASK = 0xFF;
constexpr uint32_t STOP_BIT = 0x100;
std::atomic<uint32_t> State{UPDATE_PHASE_IDLE};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the signal handler needs it");

std::atomic<int> Outcome{UPDATE_OUTCOME_NONE};
const char* FailedStep = "";

constexpr uint32_t OPERATING_BAUD = 115200;
uint32_t OperatingBaud = OPERATING_BAUD;
constexpr uint32_t BLOCK_SIZE = 4096;

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
void Decide(int outcome, const char* step) {
    FailedStep = step;
    Outcome.store(outcome, std::memory_order_release);
    SetPhase(UPDATE_PHASE_DECIDED);
}

uint32_t Fail(const char* step, const char* text, uint32_t exitCode) {
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
    Decide(outcome, "");
    return 1;
}

// The chip answered but cannot run at the rate asked for: the link came up at
// a rate it can and is ended like a stop, before anything reaches the flash.
uint32_t RefuseRate(const Taken& taken) {
    static char text[128];
    std::snprintf(text, sizeof text,
                  "The receiver (chip %u) cannot run at %u baud. Its flash was not touched.",
                  static_cast<unsigned>(ChipId()), static_cast<unsigned>(OperatingBaud));
    Stop(taken, UPDATE_OUTCOME_RATE_REFUSED);
    Show(text, "Fail");
    return 1;
}

// A failed step: its name and the message it shows; no message, no failure.
struct Failure {
    const char* step;
    const char* message;
};
constexpr Failure NO_FAILURE{"", nullptr};

Failure ErasePhase(uint32_t imageLength, uint32_t flashSize, bool* stopped) {
    uint32_t index = 0;
    for (;;) {
        uint32_t start = 0;
        uint32_t size = 0;
        const uint32_t status = SectorSetInfo(index, &start, &size);
        ++index;
        if (status != 0) return Failure{"SectorSetInfo", "SectorSetInfo Fail!"};
        if (start >= imageLength) return NO_FAILURE;
        SetProgress(static_cast<int32_t>(10 + (start * 20) / imageLength));
        if (!EnterFlashPhase()) {
            *stopped = true;
            return NO_FAILURE;
        }
        if (EraseSectorSet(start, size) != 0) {
            return Failure{"EraseSectorSet", "EraseSectorSet Fail!"};
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
            return Failure{"BinaryImageReadNextBlock", "BinaryImageReadNextBlock Fail!"};
        }
        Crc16Update(block, length, *crc, crc);
        if (!EnterFlashPhase()) {
            *stopped = true;
            return NO_FAILURE;
        }
        if (EPWrite(offset, block, length) != 0) return Failure{"EPWrite", "EPWrite Fail"};
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
            *exitCode = Fail("ExtractImageResource", "Failed to open image source1", 0);
            return false;
        case 2:
            *exitCode = Fail("ExtractImageResource", "Failed to open image source2", 0);
            return false;
        case 3:
            *exitCode = Fail("ExtractImageResource", "Failed to open image source3", 0);
            return false;
        default:
            *exitCode = Fail("ExtractImageResource", "Failed to open image source4", 0);
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
        *exitCode = Fail("LoadImageFile", "Firmware doesn't exist!", 1);
        return false;
    }
    return true;
}

uint32_t RunUpdate() {
    SetPhase(UPDATE_PHASE_PREPARING);
    Taken taken;
    if (CheckPortDriver() == 0) {
        Decide(UPDATE_OUTCOME_NOT_HANDHELD, "");
        Show("Sorry! Only for Tervalon Version!", "");
        return 0;
    }
    if (StopPending()) return Stop(taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK);
    ActivatePortDriver();
    taken.driverActive = true;
    SetProgress(10);
    if (StopPending()) return Stop(taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK);
    if (SetUpdatePin() == 0) {
        Decide(UPDATE_OUTCOME_FAILED, "SetUpdatePin");
        return 1;
    }
    taken.pinSet = true;
    if (StopPending()) return Stop(taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK);

    // A file image given by the shell, or the built-in one through the
    // temporary file.
    const uint8_t* image = ImageOverride;
    uint32_t count = ImageOverrideLength;
    uint32_t exitCode = 0;
    if (image == nullptr && !LoadBuiltInImage(&taken, &image, &count, &exitCode)) return exitCode;
    const char* path = taken.imagePath;
    uint32_t imageLength = 0;
    if (BinaryImageOpen(path != nullptr ? path : "", &imageLength, count) != 0) {
        return Fail("BinaryImageOpen", "Failed to open image source", 1);
    }
    Facts.imageLength = imageLength;
    Crc16Update(image, imageLength, 0xFFFF, &Facts.imageCrc);
    if (StopPending()) return Stop(taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK);

    uint64_t mark = NowMs();
    SetPhase(UPDATE_PHASE_LINK);
    BootSetStopQuery(StopPending);
    const uint32_t opened = OpenReceiver(ReceiverPortName(), OperatingBaud);
    BootSetStopQuery(nullptr);
    if (opened == LINK_STOPPED) return Stop(taken, UPDATE_OUTCOME_STOPPED_BEFORE_LINK);
    if (opened == LINK_BAUD_REFUSED) return RefuseRate(taken);
    if (opened != 0) return Fail("OpenReceiver", "Please close the GPS application !", 1);
    if (StopPending()) return Stop(taken, UPDATE_OUTCOME_STOPPED_WITH_LINK);
    char version[64];
    if (GetVersion(version, sizeof version) != 0) {
        return Fail("GetVersion", "GetVersion Fail!", 1);
    }
    if (StopPending()) return Stop(taken, UPDATE_OUTCOME_STOPPED_WITH_LINK);

    char partName[FLASH_NAME_BUFFER_SIZE] = "";
    char makerName[FLASH_NAME_BUFFER_SIZE] = "";
    SectorSet sectorSets[MAX_SECTOR_SETS] = {};
    FlashInfo info{};
    info.PartName = partName;
    info.MakerName = makerName;
    info.SectorSets = sectorSets;
    uint32_t busWidthUnits = 0;
    if (EPOpen(0, 0, &busWidthUnits, &info) != 0) return Fail("EPOpen", "EPOpen Fail!", 1);
    taken.flashOpen = true;
    std::memcpy(Facts.partName, partName, sizeof partName);
    std::memcpy(Facts.makerName, makerName, sizeof makerName);
    Facts.busWidthUnits = busWidthUnits;
    Facts.flashBytes = info.Size * busWidthUnits;
    Facts.bootMs = NowMs() - mark;
    if (StopPending()) return Stop(taken, UPDATE_OUTCOME_STOPPED_WITH_LINK);
    // Never true of the built-in image on any part the agent knows.
    if (imageLength > Facts.flashBytes) {
        return Fail("EPOpen", UpdateImageTooLongMessage(imageLength, Facts.flashBytes), 1);
    }
    if (BeforeErase != nullptr) {
        if (const char* failure = BeforeErase(Facts.flashBytes)) {
            return Fail("BeforeErase", failure, 1);
        }
        if (StopPending()) return Stop(taken, UPDATE_OUTCOME_STOPPED_WITH_LINK);
    }

    mark = NowMs();
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
        return Fail("CheckBlank", "CheckBlank Fail!", 1);
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
        return Fail("CalculateFlashCRC16", "CalculateFlashCRC16 Fail!", 1);
    }
    Decide(UPDATE_OUTCOME_FINISHED, "");
    EPClose();
    CloseReceiver();
    BinaryImageClose();
    ClearUpdatePin();
    DeactivatePortDriver();
    Show("Download Finish", "Done");
    RemoveTempImage(path);
    return 0;
}

}  // namespace

uint32_t UpdateWorker(void* /*parameter*/) {
    Facts = UpdateFacts{};
    const uint32_t exitCode = RunUpdate();
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

const char* UpdateFailedStep() {
    return FailedStep;
}

void UpdateSetProgressObserver(ProgressObserver observer) {
    Observer = observer;
}

void UpdateSetOperatingBaud(uint32_t baud) {
    OperatingBaud = baud;
}

const UpdateFacts& UpdateLastFacts() {
    return Facts;
}

void UpdateSetImage(const uint8_t* image, uint32_t length) {
    ImageOverride = image;
    ImageOverrideLength = image != nullptr ? length : 0;
}

void UpdateSetBeforeEraseHook(UpdateBeforeEraseHook hook) {
    BeforeErase = hook;
}

const char* UpdateImageTooLongMessage(uint32_t imageLength, uint32_t flashBytes) {
    static char text[128];
    std::snprintf(text, sizeof text, "The image (%u bytes) is longer than the flash (%u bytes)!",
                  static_cast<unsigned>(imageLength), static_cast<unsigned>(flashBytes));
    return text;
}

void UpdateReset() {
    Facts = UpdateFacts{};
    ImageOverride = nullptr;
    ImageOverrideLength = 0;
    BeforeErase = nullptr;
    Observer = nullptr;
    OperatingBaud = OPERATING_BAUD;
    Progress.store(0, std::memory_order_relaxed);
    State.store(UPDATE_PHASE_IDLE, std::memory_order_relaxed);
    Outcome.store(UPDATE_OUTCOME_NONE, std::memory_order_relaxed);
    FailedStep = "";
    Finished.store(false, std::memory_order_relaxed);
}
