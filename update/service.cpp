// SPDX-License-Identifier: Apache-2.0
#include "update/service.h"

#include <cstdio>
#include <cstring>

#include "boot/boot.h"
#include "link/status.h"
#include "image/image.h"
#include "platform/platform.h"
#include "update/board.h"
#include "update/update.h"

namespace {

constexpr uint32_t OPERATING_BAUD = 115200;
// Read in pieces of this size so the progress moves; EPRead splits further.
constexpr uint32_t READ_PIECE = 16384;

// The receiver link and the board as the update leaves them after success.
void Restore(bool flashOpen, bool linkOpen) {
    if (flashOpen) EPClose();
    if (linkOpen) CloseReceiver();
    ClearUpdatePin();
    DeactivatePortDriver();
}

int Fail(ServiceReport* report, const char* text) {
    report->failure = text;
    PlatformUi().message(text, "Fail");
    return SERVICE_FAILED;
}

int Fail(ServiceReport* report, const char* text, bool flashOpen, bool linkOpen) {
    Fail(report, text);
    Restore(flashOpen, linkOpen);
    return SERVICE_FAILED;
}

// A stop asked for meanwhile: the link closed and the board restored.
bool Stopped(ServiceReport* report, bool flashOpen, bool linkOpen) {
    if (!UpdateStopRequested()) return false;
    report->failure = "stopped";
    Restore(flashOpen, linkOpen);
    return true;
}

// The look at the open flash; SERVICE_OK, or the result to end with.
int Look(bool verify, const uint8_t* image, uint32_t imageLength, ServiceReport* report) {
    if (!verify) return SERVICE_OK;
    if (imageLength > report->flashBytes) {
        return Fail(report, UpdateImageTooLongMessage(imageLength, report->flashBytes));
    }
    Crc16Update(image, imageLength, 0xFFFF, &report->imageCrc);
    const uint64_t mark = PlatformClock().nowMs();
    const uint32_t status = CalculateFlashCRC16(0, imageLength, 0xFFFF, &report->receiverCrc);
    report->verifyMs = PlatformClock().nowMs() - mark;
    if (status != 0) return Fail(report, "CalculateFlashCRC16 Fail!");
    report->receiverCrcRead = true;
    return report->receiverCrc == report->imageCrc ? SERVICE_OK : SERVICE_DIFFERS;
}

}  // namespace

int ServiceInspect(bool verify, const uint8_t* image, uint32_t imageLength, ServiceReport* report) {
    *report = ServiceReport{};
    if (CheckPortDriver() == 0) {
        report->failure = "Sorry! Only for Tervalon Version!";
        PlatformUi().message(report->failure, "");
        return SERVICE_FAILED;
    }
    ActivatePortDriver();
    if (SetUpdatePin() == 0) {
        report->failure = "GPIOOpen Fail!";
        return SERVICE_FAILED;
    }
    if (Stopped(report, false, false)) return SERVICE_STOPPED;

    const char* path = nullptr;  // temporary file of the built-in image
    if (verify && image == nullptr) {
        path = ExtractImageResource() == 0 ? PlatformFiles().tempImagePath() : nullptr;
        image = path != nullptr ? LoadImageFile(path, &imageLength) : nullptr;
        if (image == nullptr) {
            return Fail(report, "Firmware doesn't exist!", false, false);
        }
    }
    report->imageLength = imageLength;

    if (Stopped(report, false, false)) return SERVICE_STOPPED;

    const uint64_t start = PlatformClock().nowMs();
    BootSetStopQuery(UpdateStopRequested);
    const uint32_t opened = OpenReceiver(ReceiverPortName(), OPERATING_BAUD);
    BootSetStopQuery(nullptr);
    if (opened == LINK_STOPPED && Stopped(report, false, false)) return SERVICE_STOPPED;
    if (opened != 0) {
        return Fail(report, "Please close the GPS application !", false, false);
    }
    if (Stopped(report, false, true)) return SERVICE_STOPPED;
    if (GetVersion(report->version, sizeof report->version) != 0) {
        return Fail(report, "GetVersion Fail!", false, true);
    }
    FlashInfo info{};
    info.PartName = report->partName;
    info.MakerName = report->makerName;
    info.SectorSets = report->sectorSets;
    uint32_t busWidthUnits = 0;
    if (EPOpen(0, 0, &busWidthUnits, &info) != 0) {
        return Fail(report, "EPOpen Fail!", false, true);
    }
    report->deviceId = info.DeviceId;
    report->makerId = info.MakerId;
    report->sectorSetCount = info.SectorSetCount;
    report->commandSet = info.CommandSet;
    report->busWidthUnits = busWidthUnits;
    report->flashBytes = info.Size * busWidthUnits;
    report->bootMs = PlatformClock().nowMs() - start;
    if (Stopped(report, true, true)) return SERVICE_STOPPED;

    const int result = Look(verify, image, imageLength, report);
    Restore(true, true);
    if (path != nullptr) ImageRemoveTemporaryFile();
    return result;
}

const char* ServiceReadFlash(uint8_t* dest, uint32_t length, void (*progress)(int percent)) {
    for (uint32_t done = 0; done < length;) {
        if (progress != nullptr) progress(static_cast<int>(uint64_t{done} * 100 / length));
        const uint32_t piece = length - done < READ_PIECE ? length - done : READ_PIECE;
        if (EPRead(done, dest + done, piece) != 0) return "EPRead Fail!";
        done += piece;
    }
    if (progress != nullptr) progress(100);
    uint16_t receiverCrc = 0;
    if (CalculateFlashCRC16(0, length, 0xFFFF, &receiverCrc) != 0) {
        return "CalculateFlashCRC16 Fail!";
    }
    uint16_t readCrc = 0;
    Crc16Update(dest, length, 0xFFFF, &readCrc);
    if (readCrc != receiverCrc) return "The flash read back does not match the receiver's CRC!";
    return nullptr;
}
