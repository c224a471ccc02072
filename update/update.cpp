#include "update/update.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "agent/agent.h"
#include "boot/boot.h"
#include "image/image.h"
#include "platform/platform.h"
#include "update/board.h"

namespace {

// The one value shared with the shell's thread; relaxed order is enough, a
// reader one step behind is harmless.
std::atomic<int32_t> Progress{0};
std::atomic<bool> FlashBusy{false};
std::atomic<bool> Finished{false};
ProgressObserver Observer = nullptr;
UpdateFacts Facts{};
const uint8_t* ImageOverride = nullptr;
uint32_t ImageOverrideLength = 0;
UpdateBeforeEraseHook BeforeErase = nullptr;

constexpr uint32_t OPERATING_BAUD = 115200;
constexpr uint32_t BLOCK_SIZE = 4096;

void SetProgress(int32_t value) {
    Progress.store(value, std::memory_order_relaxed);
    if (Observer != nullptr) Observer(value);
}

void Show(const char* text, const char* caption) {
    PlatformUi().message(text, caption);
}

uint64_t NowMs() {
    return PlatformClock().nowMs();
}

uint32_t Fail(const char* text, uint32_t exitCode) {
    Facts.failure = text;
    Show(text, "Fail");
    return exitCode;
}

// Marks the erase and write phases, whatever way they end.
class FlashBusyScope {
  public:
    FlashBusyScope() { FlashBusy.store(true, std::memory_order_relaxed); }
    ~FlashBusyScope() { FlashBusy.store(false, std::memory_order_relaxed); }
    FlashBusyScope(const FlashBusyScope&) = delete;
    FlashBusyScope& operator=(const FlashBusyScope&) = delete;
};

}  // namespace

const char* UpdateErasePhase(uint32_t imageLength, uint32_t flashSize) {
    uint32_t index = 0;
    for (;;) {
        uint32_t start = 0;
        uint32_t size = 0;
        const uint32_t status = SectorSetInfo(index, &start, &size);
        ++index;
        if (status != 0) return "SectorSetInfo Fail!";
        if (start >= imageLength) return nullptr;
        SetProgress(static_cast<int32_t>(10 + (start * 20) / imageLength));
        if (EraseSectorSet(start, size) != 0) return "EraseSectorSet Fail!";
        if (start + size >= flashSize) return nullptr;
    }
}

namespace {

// Writes the image block by block from flash address 0, running the CRC
// over exactly the bytes written.
const char* WritePhase(const uint8_t* image, uint32_t imageLength, uint16_t* crc) {
    static uint8_t block[BLOCK_SIZE];
    uint32_t remaining = imageLength;
    uint32_t offset = 0;
    *crc = 0xFFFF;
    while (remaining != 0) {
        SetProgress(static_cast<int32_t>(30 + (offset * 70) / imageLength));
        const uint32_t length = remaining < BLOCK_SIZE ? remaining : BLOCK_SIZE;
        if (BinaryImageReadNextBlock(block, length, image) != 0) {
            return "BinaryImageReadNextBlock Fail!";
        }
        Crc16Update(block, length, *crc, crc);
        if (EPWrite(offset, block, length) != 0) return "EPWrite Fail";
        Facts.bytesWritten += length;
        remaining -= length;
        offset += length;
    }
    return nullptr;
}

// The built-in image: resource to file, file to binary image. True with
// *image set, or false with *exitCode set once the failure was shown.
bool LoadBuiltInImage(const char** path, const uint8_t** image, uint32_t* count,
                      uint32_t* exitCode) {
    switch (ExtractImageResource()) {
        case 0:
            break;
        case 1:
            *exitCode = Fail("Failed to open image source1", 0);
            return false;
        case 2:
            *exitCode = Fail("Failed to open image source2", 0);
            return false;
        case 3:
            *exitCode = Fail("Failed to open image source3", 0);
            return false;
        default:
            *exitCode = Fail("Failed to open image source4", 0);
            return false;
    }
    *path = PlatformFiles().tempImagePath();
    *image = *path != nullptr ? LoadImageFile(*path, count) : nullptr;
    if (*image == nullptr) {
        *exitCode = Fail("Firmware doesn't exist!", 1);
        return false;
    }
    return true;
}

uint32_t RunUpdate() {
    if (CheckPortDriver() == 0) {
        Show("Sorry! Only for Tervalon Version!", "");
        return 0;
    }
    ActivatePortDriver();
    SetProgress(10);
    if (SetUpdatePin() == 0) return 1;

    const char* path = nullptr;  // the temporary file of the built-in image
    const uint8_t* image = ImageOverride;
    uint32_t count = ImageOverrideLength;
    uint32_t exitCode = 0;
    if (image == nullptr && !LoadBuiltInImage(&path, &image, &count, &exitCode)) return exitCode;
    uint32_t imageLength = 0;
    if (BinaryImageOpen(path != nullptr ? path : "", &imageLength, count) != 0) {
        return Fail("Failed to open image source", 1);
    }
    Facts.imageLength = imageLength;
    Crc16Update(image, imageLength, 0xFFFF, &Facts.imageCrc);

    uint64_t mark = NowMs();
    if (OpenReceiver(ReceiverPortName(), OPERATING_BAUD) != 0) {
        return Fail("Please close the GPS application !", 1);
    }
    char version[64];
    if (GetVersion(version, sizeof version) != 0) return Fail("GetVersion Fail!", 1);

    char partName[FLASH_NAME_BUFFER_SIZE] = "";
    char makerName[FLASH_NAME_BUFFER_SIZE] = "";
    SectorSet sectorSets[MAX_SECTOR_SETS] = {};
    FlashInfo info{};
    info.PartName = partName;
    info.MakerName = makerName;
    info.SectorSets = sectorSets;
    uint32_t busWidthUnits = 0;
    if (EPOpen(0, 0, &busWidthUnits, &info) != 0) return Fail("EPOpen Fail!", 1);
    std::memcpy(Facts.partName, partName, sizeof partName);
    std::memcpy(Facts.makerName, makerName, sizeof makerName);
    Facts.busWidthUnits = busWidthUnits;
    Facts.flashBytes = info.Size * busWidthUnits;
    Facts.bootMs = NowMs() - mark;
    // Never true of the built-in image on any part the agent knows.
    if (imageLength > Facts.flashBytes) {
        return Fail(UpdateImageTooLongMessage(imageLength, Facts.flashBytes), 1);
    }
    if (BeforeErase != nullptr) {
        if (const char* failure = BeforeErase(Facts.flashBytes)) return Fail(failure, 1);
    }

    uint16_t runningCrc = 0xFFFF;
    {
        FlashBusyScope busy;
        mark = NowMs();
        const uint32_t blank = CheckBlank(0, imageLength);
        if (blank == AGENT_NOT_BLANK) {
            // Size is one part's; on a 32-bit bus the sectors run on through
            // the second part. An image that fits one part (the built-in one
            // always does) is erased whole either way, and gets the exchanges
            // it always had; a longer file image needs the whole flash.
            const uint32_t eraseLimit = imageLength > info.Size ? Facts.flashBytes : info.Size;
            if (const char* failure = UpdateErasePhase(imageLength, eraseLimit))
                return Fail(failure, 1);
        } else if (blank != 0) {
            return Fail("CheckBlank Fail!", 1);
        }
        Facts.eraseMs = NowMs() - mark;
        mark = NowMs();
        const char* failure = WritePhase(image, imageLength, &runningCrc);
        Facts.writeMs = NowMs() - mark;
        if (failure != nullptr) return Fail(failure, 1);
    }

    uint16_t agentCrc = 0;
    mark = NowMs();
    const uint32_t crcStatus = CalculateFlashCRC16(0, imageLength, 0xFFFF, &agentCrc);
    Facts.verifyMs = NowMs() - mark;
    Facts.receiverCrcRead = crcStatus == 0;
    Facts.receiverCrc = agentCrc;
    if (crcStatus != 0 || agentCrc != runningCrc) {
        return Fail("CalculateFlashCRC16 Fail!", 1);
    }
    EPClose();
    CloseReceiver();
    BinaryImageClose();
    ClearUpdatePin();
    DeactivatePortDriver();
    Show("Download Finish", "Done");
    if (path != nullptr) std::remove(path);
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
bool UpdateFlashBusy() {
    return FlashBusy.load(std::memory_order_relaxed);
}
bool UpdateFinished() {
    return Finished.load(std::memory_order_acquire);
}

void UpdateSetProgressObserver(ProgressObserver observer) {
    Observer = observer;
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
    Observer = nullptr;
    Facts = UpdateFacts{};
    ImageOverride = nullptr;
    ImageOverrideLength = 0;
    BeforeErase = nullptr;
    Progress.store(0, std::memory_order_relaxed);
    FlashBusy.store(false, std::memory_order_relaxed);
    Finished.store(false, std::memory_order_relaxed);
}
