#include "update/update.h"

#include <atomic>
#include <cstdio>

#include "link/status.h"

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
std::atomic<bool> BaudRefused{false};

constexpr uint32_t OPERATING_BAUD = 115200;
uint32_t OperatingBaud = OPERATING_BAUD;
constexpr uint32_t BLOCK_SIZE = 4096;

void SetProgress(int32_t value) {
    Progress.store(value, std::memory_order_relaxed);
    if (Observer != nullptr) Observer(value);
}

void Show(const char* text, const char* caption) {
    PlatformUi().message(text, caption);
}

uint32_t Fail(const char* text, uint32_t exitCode) {
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
        remaining -= length;
        offset += length;
    }
    return nullptr;
}

// The chip answered but cannot run at the rate asked for: the link came up at
// a rate it can, and is ended before anything reaches its flash.
uint32_t RefuseBaud(const char* path) {
    static char text[160];
    std::snprintf(text, sizeof text,
                  "The receiver (chip %u) cannot run at %u baud. Its flash was not touched.",
                  static_cast<unsigned>(ChipId()), static_cast<unsigned>(OperatingBaud));
    CloseReceiver();
    BinaryImageClose();
    ClearUpdatePin();
    DeactivatePortDriver();
    std::remove(path);
    BaudRefused.store(true, std::memory_order_relaxed);
    return Fail(text, 1);
}

uint32_t RunUpdate() {
    if (CheckPortDriver() == 0) {
        Show("Sorry! Only for Tervalon Version!", "");
        return 0;
    }
    ActivatePortDriver();
    SetProgress(10);
    if (SetUpdatePin() == 0) return 1;

    switch (ExtractImageResource()) {
        case 0:
            break;
        case 1:
            return Fail("Failed to open image source1", 0);
        case 2:
            return Fail("Failed to open image source2", 0);
        case 3:
            return Fail("Failed to open image source3", 0);
        default:
            return Fail("Failed to open image source4", 0);
    }
    const char* path = PlatformFiles().tempImagePath();
    uint32_t count = 0;
    const uint8_t* image = path != nullptr ? LoadImageFile(path, &count) : nullptr;
    if (image == nullptr) return Fail("Firmware doesn't exist!", 1);
    uint32_t imageLength = 0;
    if (BinaryImageOpen(path, &imageLength, count) != 0) {
        return Fail("Failed to open image source", 1);
    }

    const uint32_t open = OpenReceiver(ReceiverPortName(), OperatingBaud);
    if (open == LINK_BAUD_REFUSED) return RefuseBaud(path);
    if (open != 0) return Fail("Please close the GPS application !", 1);
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

    uint16_t runningCrc = 0xFFFF;
    {
        FlashBusyScope busy;
        const uint32_t blank = CheckBlank(0, imageLength);
        if (blank == AGENT_NOT_BLANK) {
            if (const char* failure = UpdateErasePhase(imageLength, info.Size))
                return Fail(failure, 1);
        } else if (blank != 0) {
            return Fail("CheckBlank Fail!", 1);
        }
        if (const char* failure = WritePhase(image, imageLength, &runningCrc)) {
            return Fail(failure, 1);
        }
    }

    uint16_t agentCrc = 0;
    if (CalculateFlashCRC16(0, imageLength, 0xFFFF, &agentCrc) != 0 || agentCrc != runningCrc) {
        return Fail("CalculateFlashCRC16 Fail!", 1);
    }
    EPClose();
    CloseReceiver();
    BinaryImageClose();
    ClearUpdatePin();
    DeactivatePortDriver();
    Show("Download Finish", "Done");
    std::remove(path);
    return 0;
}

}  // namespace

uint32_t UpdateWorker(void* /*parameter*/) {
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

void UpdateSetOperatingBaud(uint32_t baud) {
    OperatingBaud = baud;
}
bool UpdateBaudRefused() {
    return BaudRefused.load(std::memory_order_relaxed);
}

void UpdateReset() {
    Observer = nullptr;
    OperatingBaud = OPERATING_BAUD;
    BaudRefused.store(false, std::memory_order_relaxed);
    Progress.store(0, std::memory_order_relaxed);
    FlashBusy.store(false, std::memory_order_relaxed);
    Finished.store(false, std::memory_order_relaxed);
}
