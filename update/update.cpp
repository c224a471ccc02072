// SPDX-License-Identifier: Apache-2.0
#include "update/update.h"

#include <atomic>
#include <cstdarg>
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
UpdateResult Result{};
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
// What the core saw of the failure, for the result's cause.
char Detail[256] = "";

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

// Fails when a stop came first; from then on stops are refused, and the flash
// counts as changed: the request may reach it whatever its answer says.
bool EnterFlashPhase() {
    uint32_t state = State.load(std::memory_order_relaxed);
    for (;;) {
        if ((state & STOP_BIT) != 0) return false;
        if ((state & PHASE_MASK) == UPDATE_PHASE_FLASH ||
            State.compare_exchange_weak(state, UPDATE_PHASE_FLASH, std::memory_order_acq_rel)) {
            Result.flashChanged = true;
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

void SetDetail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void SetDetail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(Detail, sizeof Detail, format, args);
    va_end(args);
}

// A receiver-facing status in words: the link's own codes, or the agent's
// status word.
void SetStatusDetail(const char* what, uint32_t status, const char* where = "") {
    const char* link = nullptr;
    switch (status) {
        case LINK_NOT_OPEN:
            link = "the link is not open";
            break;
        case LINK_PORT_FAILED:
            link = "the serial port failed";
            break;
        case LINK_DOWNLOAD_FAILED:
            link = "the download failed";
            break;
        case LINK_EXCHANGE_FAILED:
            link = "no valid answer from the receiver";
            break;
        case LINK_UNKNOWN_CLOCK:
            link = "the reference clock is unknown";
            break;
        case LINK_ANSWER_OUT_OF_RANGE:
            link = "the answer describes flash out of reach";
            break;
        default:
            break;
    }
    if (link != nullptr) {
        SetDetail("%s%s: %s (link status %u)", what, where, link, static_cast<unsigned>(status));
    } else {
        SetDetail("%s%s: agent status word %u", what, where, static_cast<unsigned>(status));
    }
}

// The outcome is settled before its message comes up, so that a stop during
// the message ends the run with this outcome.
void Decide(int outcome, int step) {
    FailedStep = step;
    Result.action = Request.action;
    Result.outcome = outcome;
    std::snprintf(Result.step, sizeof Result.step, "%s", UpdateStepName(step));
    const char* os = PlatformCauseText();
    std::snprintf(Result.cause, sizeof Result.cause, "%s", os);
    std::snprintf(Result.detail, sizeof Result.detail, "%s", Detail);
    Result.osError = os[0] != '\0' ? PlatformCauseError() : 0;
    Outcome.store(outcome, std::memory_order_release);
    SetPhase(UPDATE_PHASE_DECIDED);
}

void SetMessage(const char* text) {
    std::snprintf(Result.message, sizeof Result.message, "%s", text != nullptr ? text : "");
}

// What a run has taken so far, for its one unwind to give back.
struct Taken {
    bool driverActive = false;
    bool pinSet = false;
    bool linkOpen = false;
    bool flashOpen = false;
    bool imageOpen = false;
    const char* imagePath = nullptr;
};

// Through the handle it was written by: the name is never looked up again.
void RemoveTempImage(const Taken& taken) {
    if (taken.imagePath != nullptr) ImageRemoveTemporaryFile();
}

// Gives back what was taken, in the order of a finished update: the flash
// closed, the link ended (Disconnect only over a link OpenReceiver completed),
// the image reader closed, the pin cleared, the port driver unloaded. The
// temporary image goes last, after the outcome's message.
void Unwind(const Taken& taken) {
    if (taken.flashOpen) EPClose();
    CloseReceiver();
    if (taken.imageOpen) BinaryImageClose();
    if (taken.pinSet) ClearUpdatePin();
    if (taken.driverActive) DeactivatePortDriver();
}

// A failed step: its message shown and the run ended where it stands, with
// nothing undone; a receiver in its agent waits for a power cycle.
uint32_t Fail(const Taken& taken, int step, const char* text, uint32_t exitCode) {
    Result.agentLeftRunning = taken.linkOpen;
    SetMessage(text);
    Decide(UPDATE_OUTCOME_FAILED, step);
    Show(text, "Fail");
    return exitCode;
}

// Every way a run ends with the link closed again: a stop, a refusal once
// the receiver answered (an image too long for its flash, a flash part the
// host refuses, a back-up that could not be made, a rate the chip cannot
// take), or a servicing run that is done. The next run finds the receiver in
// its boot ROM again.
uint32_t Close(const Taken& taken, int outcome, int step, const char* text, const char* caption) {
    Unwind(taken);
    RemoveTempImage(taken);
    SetMessage(text);
    Decide(outcome, step);
    if (text != nullptr) Show(text, caption);
    return outcome == UPDATE_OUTCOME_FINISHED ? 0 : 1;
}

uint32_t Stopped(const Taken& taken) {
    return Close(
        taken,
        taken.linkOpen ? UPDATE_OUTCOME_STOPPED_WITH_LINK : UPDATE_OUTCOME_STOPPED_BEFORE_LINK,
        UPDATE_STEP_NONE, nullptr, "");
}

uint32_t Refuse(const Taken& taken, int step, const char* text) {
    return Close(taken, UPDATE_OUTCOME_FAILED, step, text, "Fail");
}

// The chip answered but cannot run at the rate asked for: the link came up at
// a rate it can and is ended like a stop, before anything reaches the flash.
uint32_t RefuseRate(const Taken& taken) {
    static char text[128];
    std::snprintf(text, sizeof text,
                  "The receiver (chip %u) cannot run at %u baud. Its flash was not touched.",
                  static_cast<unsigned>(ChipId()), static_cast<unsigned>(OperatingBaud()));
    return Close(taken, UPDATE_OUTCOME_RATE_REFUSED, UPDATE_STEP_NONE, text, "Fail");
}

// How a phase ended: done, stopped (before it touched the flash), or failed
// at a step with its message.
constexpr int PHASE_DONE = 0;
constexpr int PHASE_STOPPED = 1;
constexpr int PHASE_FAILED = 2;
struct PhaseEnd {
    int end;
    int step;
    const char* message;
};
constexpr PhaseEnd DONE{PHASE_DONE, UPDATE_STEP_NONE, nullptr};
constexpr PhaseEnd STOPPED{PHASE_STOPPED, UPDATE_STEP_NONE, nullptr};

// The end of a run after a phase that did not finish: a stop, or its failure
// shown with nothing undone.
uint32_t EndPhase(const Taken& taken, const PhaseEnd& phase) {
    if (phase.end == PHASE_STOPPED) return Stopped(taken);
    return Fail(taken, phase.step, phase.message, 1);
}

PhaseEnd ErasePhase(uint32_t imageLength, uint32_t flashSize) {
    uint32_t index = 0;
    for (;;) {
        uint32_t start = 0;
        uint32_t size = 0;
        const uint32_t status = SectorSetInfo(index, &start, &size);
        if (status != 0) {
            char where[32];
            std::snprintf(where, sizeof where, " of sector %u", static_cast<unsigned>(index));
            SetStatusDetail("SectorSetInfo", status, where);
            return PhaseEnd{PHASE_FAILED, UPDATE_STEP_SECTOR_SET_INFO, "SectorSetInfo Fail!"};
        }
        ++index;
        if (start >= imageLength) return DONE;
        SetProgress(static_cast<int32_t>(10 + (start * 20) / imageLength));
        if (!EnterFlashPhase()) return STOPPED;
        if (const uint32_t erased = EraseSectorSet(start, size); erased != 0) {
            char where[64];
            std::snprintf(where, sizeof where, " of 0x%X bytes at 0x%08X",
                          static_cast<unsigned>(size), static_cast<unsigned>(start));
            SetStatusDetail("EraseSectorSet", erased, where);
            return PhaseEnd{PHASE_FAILED, UPDATE_STEP_ERASE_SECTOR_SET, "EraseSectorSet Fail!"};
        }
        if (start + size >= flashSize) return DONE;
    }
}

}  // namespace

const char* UpdateErasePhase(uint32_t imageLength, uint32_t flashSize) {
    return ErasePhase(imageLength, flashSize).message;
}

namespace {

// Writes the image block by block from flash address 0, running the CRC
// over exactly the bytes written.
PhaseEnd WritePhase(const uint8_t* image, uint32_t imageLength, uint16_t* crc) {
    static uint8_t block[BLOCK_SIZE];
    uint32_t remaining = imageLength;
    uint32_t offset = 0;
    *crc = 0xFFFF;
    while (remaining != 0) {
        SetProgress(static_cast<int32_t>(30 + (offset * 70) / imageLength));
        const uint32_t length = remaining < BLOCK_SIZE ? remaining : BLOCK_SIZE;
        if (BinaryImageReadNextBlock(block, length, image) != 0) {
            SetDetail("the image's block at 0x%08X could not be read",
                      static_cast<unsigned>(offset));
            return PhaseEnd{PHASE_FAILED, UPDATE_STEP_BINARY_IMAGE_READ_NEXT_BLOCK,
                            "BinaryImageReadNextBlock Fail!"};
        }
        Crc16Update(block, length, *crc, crc);
        if (!EnterFlashPhase()) return STOPPED;
        if (const uint32_t written = EPWrite(offset, block, length); written != 0) {
            char where[64];
            std::snprintf(where, sizeof where, " of %u bytes at 0x%08X",
                          static_cast<unsigned>(length), static_cast<unsigned>(offset));
            SetStatusDetail("EPWrite", written, where);
            return PhaseEnd{PHASE_FAILED, UPDATE_STEP_EP_WRITE, "EPWrite Fail"};
        }
        Facts.bytesWritten += length;
        remaining -= length;
        offset += length;
    }
    return DONE;
}

// The built-in image: resource to file, file to binary image. DONE with
// *image set, or how it ended (its failure not shown yet).
PhaseEnd LoadBuiltInImage(Taken* taken, const uint8_t** image, uint32_t* count) {
    static const char* const sourceFailures[] = {
        "Failed to open image source1", "Failed to open image source2",
        "Failed to open image source3", "Failed to open image source4"};
    if (const int extracted = ExtractImageResource(); extracted != 0) {
        const int index = extracted >= 1 && extracted <= 3 ? extracted - 1 : 3;
        return PhaseEnd{PHASE_FAILED, UPDATE_STEP_EXTRACT_IMAGE_RESOURCE, sourceFailures[index]};
    }
    const char* path = PlatformFiles().tempImagePath();
    taken->imagePath = path;
    if (StopPending()) return STOPPED;
    *image = path != nullptr ? LoadImageFile(path, count) : nullptr;
    if (*image == nullptr) {
        return PhaseEnd{PHASE_FAILED, UPDATE_STEP_LOAD_IMAGE_FILE, "Firmware doesn't exist!"};
    }
    return DONE;
}

// The flash part as EPOpen described it.
struct OpenFlash {
    char partName[FLASH_NAME_BUFFER_SIZE] = "";
    char makerName[FLASH_NAME_BUFFER_SIZE] = "";
    FlashInfo info{};
};

// The prologue's steps, each DONE or how the run ends: nothing is shown yet
// and nothing undone, so the prologue ends every step the same way.

PhaseEnd PrepareBoard(Taken* taken) {
    ActivatePortDriver();
    taken->driverActive = true;
    if (Request.action == UPDATE_ACTION_UPDATE) SetProgress(10);
    if (StopPending()) return STOPPED;
    if (SetUpdatePin() == 0) return PhaseEnd{PHASE_FAILED, UPDATE_STEP_SET_UPDATE_PIN, nullptr};
    taken->pinSet = true;
    return StopPending() ? STOPPED : DONE;
}

// A file image given with the request, or the built-in one through the
// temporary file; identify and read need none.
PhaseEnd PrepareImage(Taken* taken, const uint8_t** imageOut, uint32_t* imageLength) {
    const int action = Request.action;
    const bool needsImage = action == UPDATE_ACTION_UPDATE || action == UPDATE_ACTION_VERIFY ||
                            action == UPDATE_ACTION_VERIFY_BYTES;
    const uint8_t* image = Request.image;
    uint32_t count = Request.image != nullptr ? Request.imageLength : 0;
    if (needsImage) {
        if (image == nullptr) {
            if (const PhaseEnd loaded = LoadBuiltInImage(taken, &image, &count);
                loaded.end != PHASE_DONE) {
                return loaded;
            }
        }
        *imageLength = count;
        if (action == UPDATE_ACTION_UPDATE) {
            const char* path = taken->imagePath;
            if (BinaryImageOpen(path != nullptr ? path : "", imageLength, count) != 0) {
                return PhaseEnd{PHASE_FAILED, UPDATE_STEP_BINARY_IMAGE_OPEN,
                                "Failed to open image source"};
            }
            taken->imageOpen = true;
        }
        Facts.imageLength = *imageLength;
        Crc16Update(image, *imageLength, 0xFFFF, &Facts.imageCrc);
        if (StopPending()) return STOPPED;
    }
    *imageOut = image;
    return DONE;
}

// What the boot stage saw: no answer at all (and what the line showed
// instead), or an answer and then a failure at a later step.
void DescribeBootFailure(uint32_t opened) {
    static const char* const steps[] = {"",
                                        "the DTR/RTS entry sequence",
                                        "the first stage",
                                        "the chip id query",
                                        "the clock set-up",
                                        "the baud switch",
                                        "the agent download"};
    const int step = BootFailedStep();
    const char* name = step >= 0 && step <= BOOT_STEP_AGENT ? steps[step] : "";
    if (opened == LINK_LINES_FAILED) {
        SetDetail("the port cannot drive DTR/RTS, so the boot lines cannot reach the boot ROM");
    } else if (step == BOOT_STEP_FIRST_STAGE && !BootReceiverAnswered()) {
        const char* finding = BootLineFindingText(BootLastLineFinding());
        SetDetail("the receiver did not answer the first stage at 38400 baud%s%s",
                  finding[0] != '\0' ? ": " : "", finding);
    } else if (BootReceiverAnswered()) {
        SetDetail("the receiver answered, then %s failed (link status %u)", name,
                  static_cast<unsigned>(opened));
    } else {
        SetStatusDetail("OpenReceiver", opened);
    }
}

// Ends with LINK_BAUD_REFUSED as a failure of OpenReceiver with no message;
// the caller tells it apart.
PhaseEnd ReachReceiver(Taken* taken) {
    SetPhase(UPDATE_PHASE_LINK);
    BootSetStopQuery(StopPending);
    const char* port = Request.port != nullptr ? Request.port : ReceiverPortName();
    const uint32_t opened = OpenReceiver(port, OperatingBaud());
    BootSetStopQuery(nullptr);
    taken->linkOpen = opened == 0;
    Result.receiverAnswered = BootReceiverAnswered();
    Result.lineFinding = BootLastLineFinding();
    Result.linesFailed = opened == LINK_LINES_FAILED;
    if (opened == LINK_STOPPED) {
        // A first stage went out unanswered: something was sent, the flash untouched.
        taken->linkOpen = BootFailedStep() == BOOT_STEP_FIRST_STAGE;
        return STOPPED;
    }
    if (opened == LINK_BAUD_REFUSED) {
        return PhaseEnd{PHASE_FAILED, UPDATE_STEP_OPEN_RECEIVER, nullptr};
    }
    if (opened != 0) {
        DescribeBootFailure(opened);
        return PhaseEnd{PHASE_FAILED, UPDATE_STEP_OPEN_RECEIVER,
                        "Please close the GPS application !"};
    }
    Facts.chipId = ChipId();
    if (StopPending()) return STOPPED;
    // The update keeps the version check it always had; identify asks the
    // receiver's agent itself.
    if (Request.action == UPDATE_ACTION_IDENTIFY) {
        if (const uint32_t status = GetAgentVersion(Facts.agentVersion, sizeof Facts.agentVersion);
            status != 0) {
            SetStatusDetail("GetAgentVersion", status);
            return PhaseEnd{PHASE_FAILED, UPDATE_STEP_GET_AGENT_VERSION, "GetAgentVersion Fail!"};
        }
    } else {
        char version[64];
        if (const uint32_t status = GetVersion(version, sizeof version); status != 0) {
            SetStatusDetail("GetVersion", status);
            return PhaseEnd{PHASE_FAILED, UPDATE_STEP_GET_VERSION, "GetVersion Fail!"};
        }
    }
    return StopPending() ? STOPPED : DONE;
}

// EPOpen, and the part it describes kept in the facts. A refusal here closes
// the link: nothing was erased, and one Disconnect returns the receiver to
// its boot ROM.
PhaseEnd OpenReceiverFlash(Taken* taken, OpenFlash* flash) {
    flash->info.PartName = flash->partName;
    flash->info.MakerName = flash->makerName;
    flash->info.SectorSets = Facts.sectorSets;
    uint32_t busWidthUnits = 0;
    if (const uint32_t status = EPOpen(0, 0, &busWidthUnits, &flash->info); status != 0) {
        uint16_t device = 0;
        uint16_t maker = 0;
        AgentReadIds(&device, &maker);
        char where[64] = "";
        if (device != 0 || maker != 0) {
            std::snprintf(where, sizeof where, " (flash device id 0x%04X, maker id 0x%04X)", device,
                          maker);
        }
        SetStatusDetail("EPOpen", status, where);
        return PhaseEnd{PHASE_FAILED, UPDATE_STEP_EP_OPEN, "EPOpen Fail!"};
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
    return StopPending() ? STOPPED : DONE;
}

// What every action does first: the board, the image (when the action needs
// one), the receiver up to a running agent and its flash open. True with the
// flash open, or false with *exitCode set once the run ended (failed, stopped
// or refused, its message shown).
bool Prologue(Taken* taken, OpenFlash* flash, const uint8_t** image, uint32_t* imageLength,
              uint32_t* exitCode) {
    SetPhase(UPDATE_PHASE_PREPARING);
    if (CheckPortDriver() == 0) {
        SetMessage("Sorry! Only for Tervalon Version!");
        Decide(UPDATE_OUTCOME_NOT_HANDHELD, UPDATE_STEP_NONE);
        Show("Sorry! Only for Tervalon Version!", "");
        *exitCode = Request.action == UPDATE_ACTION_UPDATE ? 0 : 1;
        return false;
    }
    if (StopPending()) return (*exitCode = Stopped(*taken), false);
    PhaseEnd step = PrepareBoard(taken);
    if (step.end == PHASE_FAILED) {
        // Board control has shown its own message.
        SetMessage("GPIOOpen Fail!");
        Decide(UPDATE_OUTCOME_FAILED, step.step);
        *exitCode = 1;
        return false;
    }
    if (step.end == PHASE_DONE) step = PrepareImage(taken, image, imageLength);
    if (step.end == PHASE_FAILED) {
        // The built-in image's resource failures end the run with code 0.
        *exitCode = Fail(*taken, step.step, step.message,
                         step.step == UPDATE_STEP_EXTRACT_IMAGE_RESOURCE ? 0 : 1);
        return false;
    }
    const uint64_t mark = NowMs();
    if (step.end == PHASE_DONE) step = ReachReceiver(taken);
    if (step.end == PHASE_FAILED && step.message == nullptr) {
        return (*exitCode = RefuseRate(*taken), false);
    }
    if (step.end == PHASE_DONE) step = OpenReceiverFlash(taken, flash);
    Facts.bootMs = NowMs() - mark;
    if (step.end == PHASE_FAILED && step.step == UPDATE_STEP_EP_OPEN) {
        return (*exitCode = Refuse(*taken, step.step, step.message), false);
    }
    if (step.end != PHASE_DONE) return (*exitCode = EndPhase(*taken, step), false);
    // Never true of the built-in image on any part the agent knows.
    if (*imageLength > Facts.flashBytes) {
        *exitCode = Refuse(*taken, UPDATE_STEP_IMAGE_FITS,
                           UpdateImageTooLongMessage(*imageLength, Facts.flashBytes));
        return false;
    }
    return true;
}

// Reads the image's length back and compares it byte by byte.
PhaseEnd CompareFlash(const uint8_t* image, uint32_t length) {
    static uint8_t piece[READ_PIECE];
    Facts.firstDifference = 0;
    for (uint32_t done = 0; done < length;) {
        SetProgress(static_cast<int32_t>(uint64_t{done} * 100 / length));
        if (StopPending()) return STOPPED;
        const uint32_t size = length - done < READ_PIECE ? length - done : READ_PIECE;
        if (const uint32_t status = EPRead(done, piece, size); status != 0) {
            char where[64];
            std::snprintf(where, sizeof where, " of %u bytes at 0x%08X",
                          static_cast<unsigned>(size), static_cast<unsigned>(done));
            SetStatusDetail("EPRead", status, where);
            return PhaseEnd{PHASE_FAILED, UPDATE_STEP_READ, "EPRead Fail!"};
        }
        for (uint32_t i = 0; i < size; ++i) {
            if (piece[i] == image[done + i]) continue;
            if (Facts.differingBytes == 0) Facts.firstDifference = done + i;
            ++Facts.differingBytes;
        }
        done += size;
        Facts.bytesCompared = done;
    }
    SetProgress(100);
    return DONE;
}

// The flash hook, with the flash open and nothing erased: a back-up before an
// update, or the whole of a read.
PhaseEnd RunFlashHook(int step, const char* fallback) {
    if (Request.flashHook == nullptr) return DONE;
    const char* message = nullptr;
    const int hooked = Request.flashHook(Facts.flashBytes, &message);
    if (hooked == UPDATE_HOOK_STOPPED) return STOPPED;
    if (hooked != UPDATE_HOOK_OK) {
        return PhaseEnd{PHASE_FAILED, step, message != nullptr ? message : fallback};
    }
    return StopPending() ? STOPPED : DONE;
}

// The end of a servicing run: the link closed whatever happened, since
// nothing was erased.
uint32_t CloseInspection(const Taken& taken, const PhaseEnd& phase, int outcome) {
    if (phase.end == PHASE_STOPPED) return Stopped(taken);
    if (phase.end == PHASE_FAILED) return Refuse(taken, phase.step, phase.message);
    return Close(taken, outcome, UPDATE_STEP_NONE, nullptr, "");
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
                SetStatusDetail("CalculateFlashCRC16", status);
                return CloseInspection(taken,
                                       PhaseEnd{PHASE_FAILED, UPDATE_STEP_CALCULATE_FLASH_CRC16,
                                                "CalculateFlashCRC16 Fail!"},
                                       UPDATE_OUTCOME_FAILED);
            }
            Facts.receiverCrcRead = true;
            Facts.receiverCrc = crc;
            return CloseInspection(
                taken, DONE,
                crc == Facts.imageCrc ? UPDATE_OUTCOME_FINISHED : UPDATE_OUTCOME_DIFFERS);
        }
        case UPDATE_ACTION_VERIFY_BYTES: {
            const PhaseEnd compared = CompareFlash(image, imageLength);
            Facts.verifyMs = NowMs() - mark;
            return CloseInspection(
                taken, compared,
                Facts.differingBytes == 0 ? UPDATE_OUTCOME_FINISHED : UPDATE_OUTCOME_DIFFERS);
        }
        case UPDATE_ACTION_READ: {
            const PhaseEnd read = RunFlashHook(UPDATE_STEP_READ, "Read Fail!");
            Facts.verifyMs = NowMs() - mark;
            return CloseInspection(taken, read, UPDATE_OUTCOME_FINISHED);
        }
        default:
            return CloseInspection(taken, DONE, UPDATE_OUTCOME_FINISHED);
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

    // A back-up that could not be made refuses the update: nothing was erased.
    if (const PhaseEnd backup = RunFlashHook(UPDATE_STEP_BACKUP, "Backup Fail!");
        backup.end != PHASE_DONE) {
        return backup.end == PHASE_STOPPED ? Stopped(taken)
                                           : Refuse(taken, backup.step, backup.message);
    }

    uint64_t mark = NowMs();
    PhaseEnd phase = DONE;
    const uint32_t blank = CheckBlank(0, imageLength);
    if (blank == AGENT_NOT_BLANK) {
        // Size is one part's; on a 32-bit bus the sectors run on through the
        // second part. An image that fits one part (the built-in one always
        // does) is erased whole either way, and gets the exchanges it always
        // had; a longer file image needs the whole flash.
        const uint32_t eraseLimit = imageLength > info.Size ? Facts.flashBytes : info.Size;
        phase = ErasePhase(imageLength, eraseLimit);
    } else if (blank != 0) {
        SetStatusDetail("CheckBlank", blank);
        phase = PhaseEnd{PHASE_FAILED, UPDATE_STEP_CHECK_BLANK, "CheckBlank Fail!"};
    }
    Facts.eraseMs = NowMs() - mark;
    if (phase.end != PHASE_DONE) return EndPhase(taken, phase);

    uint16_t runningCrc = 0xFFFF;
    mark = NowMs();
    phase = WritePhase(image, imageLength, &runningCrc);
    Facts.writeMs = NowMs() - mark;
    if (phase.end != PHASE_DONE) return EndPhase(taken, phase);

    uint16_t agentCrc = 0;
    mark = NowMs();
    const uint32_t crcStatus = CalculateFlashCRC16(0, imageLength, 0xFFFF, &agentCrc);
    Facts.verifyMs = NowMs() - mark;
    Facts.receiverCrcRead = crcStatus == 0;
    Facts.receiverCrc = agentCrc;
    if (crcStatus != 0 || agentCrc != runningCrc) {
        if (crcStatus != 0) {
            SetStatusDetail("CalculateFlashCRC16", crcStatus);
        } else {
            SetDetail(
                "the receiver's CRC-16 0x%04X differs from the written image's 0x%04X over "
                "%u bytes",
                agentCrc, runningCrc, static_cast<unsigned>(imageLength));
        }
        return Fail(taken, UPDATE_STEP_CALCULATE_FLASH_CRC16, "CalculateFlashCRC16 Fail!", 1);
    }
    std::snprintf(Result.message, sizeof Result.message, "Download Finish");
    Decide(UPDATE_OUTCOME_FINISHED, UPDATE_STEP_NONE);
    Unwind(taken);
    Show("Download Finish", "Done");
    RemoveTempImage(taken);
    return 0;
}

}  // namespace

uint32_t UpdateWorker(void* parameter) {
    Facts = UpdateFacts{};
    Result = UpdateResult{};
    Detail[0] = '\0';
    Request =
        parameter != nullptr ? *static_cast<const UpdateRequest*>(parameter) : UpdateRequest{};
    LinkSetRetries(Request.retries);
    BootSetLines(Request.bootLines);
    const uint32_t exitCode = RunUpdate();
    Facts.retries = LinkRetryCount();
    Result.retries = Facts.retries;
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

const UpdateResult& UpdateLastResult() {
    return Result;
}

const char* UpdateImageTooLongMessage(uint32_t imageLength, uint32_t flashBytes) {
    static char text[128];
    std::snprintf(text, sizeof text, "The image (%u bytes) is longer than the flash (%u bytes)!",
                  static_cast<unsigned>(imageLength), static_cast<unsigned>(flashBytes));
    return text;
}

void UpdateReset() {
    Facts = UpdateFacts{};
    Result = UpdateResult{};
    Detail[0] = '\0';
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
