// SPDX-License-Identifier: Apache-2.0
// The page's side of Zelvar: the functions page.js calls, over either the
// serial port the user chose (Web Serial) or the simulated receiver on an
// in-memory line. Each run installs the tables it needs, goes through the
// core (core_calls.cpp), and hands the page its messages, its progress and a
// report; the exchanges are traced to an in-memory file the page can save.
#include <emscripten.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli/trace.h"
#include "app/web/core_calls.h"
#include "app/web/sim_options.h"
#include "image/image.h"
#include "image/srecord_file.h"
#include "platform/embedded/embedded_resource.h"
#include "platform/web/web.h"
#include "receiver/handheld/handheld_sim.h"

namespace {

constexpr int ACTION_UPDATE = 1;
constexpr int ACTION_IDENTIFY = 2;
constexpr int ACTION_VERIFY = 3;
constexpr int ACTION_BACKUP = 4;
constexpr int ACTION_FLASH_FILE = 5;

// Statuses as the terminal program's exits.
constexpr int STATUS_OK = 0;
constexpr int STATUS_FAILED = 1;
constexpr int STATUS_NOT_STARTED = 2;
constexpr int STATUS_STOPPED = 130;

constexpr char TRACE_PATH[] = "/tmp/zelvar-trace.txt";
constexpr char BACKUP_PATH[] = "/tmp/zelvar-backup.s";
constexpr char SIM_FLASH_PATH[] = "/tmp/zelvar-sim-flash.bin";

enum class Target { None, Serial, Simulator };
Target Chosen = Target::None;
bool Running = false;

// clang-format off
EM_JS(void, JsMessage, (const char* text, const char* caption, const char* cause), {
    ZelvarPage.message(UTF8ToString(text), UTF8ToString(caption), UTF8ToString(cause));
});
EM_JS(void, JsProgress, (int percent), {
    ZelvarPage.progress(percent);
});
EM_JS(void, JsLine, (const char* text), {
    ZelvarPage.line(UTF8ToString(text));
});
// clang-format on

void Message(const char* text, const char* caption) {
    JsMessage(text, caption != nullptr ? caption : "", PlatformCauseText());
}
const UiOps PageUi{Message};

void Line(const std::string& text) {
    JsLine(text.c_str());
}

void OnProgress(int32_t percent) {
    JsProgress(percent);
}
void OnBackupProgress(int percent) {
    JsProgress(percent);
}

// The simulated line costs no waiting (its clock is virtual), so a run would
// hold the page until it ends; now and then it yields, so that the bar moves
// and the buttons answer.
double LastYield = 0;
void YieldNowAndThen() {
    const double now = emscripten_get_now();
    if (now - LastYield < 15) return;
    emscripten_sleep(0);
    LastYield = emscripten_get_now();
}
int SimOpen(const char* name, uint32_t baud) {
    return HandheldSimSerialOps().open(name, baud);
}
int SimSetBaud(uint32_t baud) {
    return HandheldSimSerialOps().setBaud(baud);
}
int SimRead(uint8_t* buffer, uint32_t length, uint32_t* count) {
    YieldNowAndThen();
    return HandheldSimSerialOps().read(buffer, length, count);
}
int SimWrite(const uint8_t* buffer, uint32_t length, uint32_t* count) {
    return HandheldSimSerialOps().write(buffer, length, count);
}
void SimClose() {
    HandheldSimSerialOps().close();
}
const SerialOps SimSerial{SimOpen, SimSetBaud, SimRead, SimWrite, SimClose, nullptr};

std::string Hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

int StatusOfOutcome(int outcome) {
    switch (outcome) {
        case UPDATE_OUTCOME_FINISHED:
            return STATUS_OK;
        case UPDATE_OUTCOME_NOT_HANDHELD:
        case UPDATE_OUTCOME_RATE_REFUSED:
            return STATUS_NOT_STARTED;
        case UPDATE_OUTCOME_STOPPED_BEFORE_LINK:
        case UPDATE_OUTCOME_STOPPED_WITH_LINK:
            return STATUS_STOPPED;
        default:
            return STATUS_FAILED;
    }
}

void ReportInspect(bool verify, int status, const ServiceReport& report) {
    if (report.busWidthUnits != 0 && !verify) {
        Line(std::string("Agent version: ") + report.version);
        char text[160];
        std::snprintf(text, sizeof text, "Flash part: %s, maker %s (device 0x%04X, maker 0x%04X)",
                      report.partName, report.makerName, report.deviceId, report.makerId);
        Line(text);
        std::snprintf(text, sizeof text, "Flash size: %u bytes on a %u-bit bus", report.flashBytes,
                      report.busWidthUnits * 16);
        Line(text);
        std::string runs = "Sector runs:";
        for (uint8_t i = 0; i < report.sectorSetCount; ++i) {
            std::snprintf(text, sizeof text, "%s %u x 0x%X", i == 0 ? "" : ",",
                          report.sectorSets[i].SectorCount,
                          report.sectorSets[i].SectorSize * report.busWidthUnits);
            runs += text;
        }
        Line(runs);
    }
    if (verify && report.receiverCrcRead) {
        Line("Image CRC-16:    " + Hex16(report.imageCrc) + " over " +
             std::to_string(report.imageLength) + " bytes");
        Line("Receiver CRC-16: " + Hex16(report.receiverCrc));
        Line(status == SERVICE_OK ? "Verified: the CRCs agree. A CRC-16 match is a check, not a "
                                    "proof that every byte is the image's."
                                  : "Differs: the receiver's flash does not hold this image.");
    }
}

int RunBackup() {
    std::vector<uint8_t> flash;
    uint16_t crc = 0;
    if (const char* failure = CoreRunBackup(&flash, &crc, OnBackupProgress)) {
        // The update's own steps have said why already; a failed read has not.
        if (CoreFacts().failure == nullptr) Message(failure, "Fail");
        return STATUS_FAILED;
    }
    // Trailing erased bytes are left out, as the terminal program does.
    uint32_t length = static_cast<uint32_t>(flash.size());
    while (length != 0 && flash[length - 1] == 0xFF) --length;
    if (length == 0) length = flash.size() < 16 ? static_cast<uint32_t>(flash.size()) : 16;
    std::string text(SRecordS3TextLength(length), '\0');
    SRecordWriteS3(flash.data(), length, text.data(), static_cast<uint32_t>(text.size()));
    FILE* file = std::fopen(BACKUP_PATH, "wb");
    const bool written = file != nullptr &&
                         std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                         std::fclose(file) == 0;
    if (!written) {
        Message("Backup Fail! the in-memory file cannot be written", "Fail");
        return STATUS_FAILED;
    }
    JsProgress(100);
    Line("Backup: " + std::to_string(length) + " bytes of " + std::to_string(flash.size()) +
         " (receiver CRC-16 of the flash " + Hex16(crc) + ")");
    Message("Backup Finish", "Done");
    return STATUS_OK;
}

int Dispatch(int action, const char* filePath, uint32_t baud) {
    const uint8_t* image = nullptr;
    uint32_t imageLength = 0;
    if ((action == ACTION_FLASH_FILE || action == ACTION_VERIFY) && filePath != nullptr &&
        filePath[0] != '\0') {
        SRecordReport report{};
        image = LoadSRecordFile(filePath, &imageLength, &report);
        if (image == nullptr) {
            std::string why = "The firmware file is refused";
            if (report.line != 0) why += ": line " + std::to_string(report.line);
            if (report.reason != nullptr) why += std::string(": ") + report.reason;
            Message(why.c_str(), "Fail");
            return STATUS_NOT_STARTED;
        }
    } else if (action == ACTION_FLASH_FILE) {
        Message("No firmware file was chosen.", "Fail");
        return STATUS_NOT_STARTED;
    }
    switch (action) {
        case ACTION_UPDATE:
        case ACTION_FLASH_FILE: {
            CoreRunUpdate(image, imageLength, baud, OnProgress);
            const int outcome = CoreOutcome();
            if (outcome == UPDATE_OUTCOME_STOPPED_BEFORE_LINK) {
                Line("Stopped; nothing was sent to the receiver.");
            } else if (outcome == UPDATE_OUTCOME_STOPPED_WITH_LINK) {
                Line("Stopped; the receiver's flash was not touched; it runs its firmware again.");
            }
            return StatusOfOutcome(outcome);
        }
        case ACTION_IDENTIFY:
        case ACTION_VERIFY: {
            ServiceReport report{};
            const bool verify = action == ACTION_VERIFY;
            const int status = CoreRunInspect(verify, image, imageLength, &report);
            ReportInspect(verify, status, report);
            if (status == SERVICE_OK) Message(verify ? "Verified" : "Identified", "Done");
            if (status == SERVICE_DIFFERS) Message("Differs", "Verify");
            return status;
        }
        case ACTION_BACKUP:
            return RunBackup();
        default:
            return STATUS_NOT_STARTED;
    }
}

}  // namespace

extern "C" {

// The port the page chose through navigator.serial (ZelvarWebSerial.port).
EMSCRIPTEN_KEEPALIVE void ZelvarWebUseSerial(const char* label) {
    WebBoardSetPort(label);
    Chosen = Target::Serial;
}

// A new simulated receiver, set up from the page's address; 0, or 2 with a
// message saying what in the address is wrong.
EMSCRIPTEN_KEEPALIVE int ZelvarWebUseSimulator(const char* query) {
    HandheldSimConfig config;
    const std::string error = ParseSimQuery(query != nullptr ? query : "", &config);
    if (!error.empty()) {
        Chosen = Target::None;
        JsMessage(error.c_str(), "Simulated receiver", "");
        return STATUS_NOT_STARTED;
    }
    HandheldSimStart(config);
    Chosen = Target::Simulator;
    return STATUS_OK;
}

// One run; the page awaits it (Asyncify). baud 0 is the usual operating rate.
EMSCRIPTEN_KEEPALIVE int ZelvarWebRun(int action, const char* filePath, int baud) {
    if (Running) return STATUS_NOT_STARTED;
    if (Chosen == Target::None) {
        JsMessage("Sorry! Only for Tervalon Version!", "", "no serial port was chosen");
        return STATUS_NOT_STARTED;
    }
    Running = true;
    PlatformCauseClear();
    const BoardOps* board = &WebBoardOps();
    const SerialOps* serial = &WebSerialOps();
    const ClockOps* clock = &WebClockOps();
    if (Chosen == Target::Simulator) {
        HandheldSimNewRun();
        board = &HandheldSimOps();
        serial = &SimSerial;
        clock = &HandheldSimClockOps();
    }
    FILE* trace = std::fopen(TRACE_PATH, "w");
    if (trace != nullptr) serial = &TraceSerialOps(*serial, trace);
    PlatformInstall(PlatformOps{serial, clock, board, &EmbeddedResourceOps(), &WebFileOps(),
                                &PageUi});
    PlatformSetAppInstance(reinterpret_cast<PlatformHandle>(&ZelvarWebRun));

    int status = STATUS_NOT_STARTED;
    int ac = 0;
    if (board->powerStatus(&ac) == 0) {
        Message("The power status cannot be read; nothing was done.", "Fail");
    } else if (ac != 1) {
        Message("Please install AC charger!", "Fail");
    } else {
        status = Dispatch(action, filePath, static_cast<uint32_t>(baud));
    }
    if (trace != nullptr) std::fclose(trace);
    Running = false;
    return status;
}

EMSCRIPTEN_KEEPALIVE int ZelvarWebProgress() {
    return CoreProgress();
}

// While the flash is erased or written, stopping or leaving the page would
// leave the receiver unusable.
EMSCRIPTEN_KEEPALIVE int ZelvarWebFlashBusy() {
    return Running && CoreFlashBusy() ? 1 : 0;
}

// UPDATE_STOP_TAKEN, _REFUSED or _ENDS_OUTCOME; -1 when nothing runs.
EMSCRIPTEN_KEEPALIVE int ZelvarWebStop() {
    return Running ? CoreRequestStop() : -1;
}

// The simulated receiver's flash, written to an in-memory file for the page
// (its length, or -1 without a simulated receiver).
EMSCRIPTEN_KEEPALIVE int ZelvarWebSimFlash() {
    const std::vector<uint8_t> flash = HandheldSimFlash();
    if (Chosen != Target::Simulator) return -1;
    FILE* file = std::fopen(SIM_FLASH_PATH, "wb");
    if (file == nullptr) return -1;
    const bool ok = std::fwrite(flash.data(), 1, flash.size(), file) == flash.size();
    return std::fclose(file) == 0 && ok ? static_cast<int>(flash.size()) : -1;
}

}  // extern "C"
