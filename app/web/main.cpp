// SPDX-License-Identifier: Apache-2.0
// The page's side of Zelvar: the functions page.js calls, over either the
// serial port the user chose (Web Serial) or the simulated receiver on an
// in-memory line. Each run installs the tables it needs, goes through the
// core (core_calls.cpp), and hands the page its messages, its progress and a
// report; the exchanges are traced to an in-memory file the page can save.
#include <emscripten.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/cli/trace.h"
#include "app/report/report.h"
#include "app/web/core_calls.h"
#include "app/web/sim_options.h"
#include "boot/boot_lines.h"
#include "image/firmware_file.h"
#include "image/flash_file.h"
#include "image/image.h"
#include "platform/embedded/embedded_resource.h"
#include "platform/web/web.h"
#include "receiver/handheld/handheld_sim.h"
#include "update/service.h"

namespace {

constexpr int ACTION_UPDATE = 1;
constexpr int ACTION_IDENTIFY = 2;
constexpr int ACTION_VERIFY = 3;
constexpr int ACTION_BACKUP = 4;
constexpr int ACTION_FLASH_FILE = 5;

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
int SimSetLines(uint32_t which, uint32_t asserted) {
    return HandheldSimSerialOps().setLines(which, asserted);
}
const SerialOps SimSerial{SimOpen, SimSetBaud, SimRead, SimWrite, SimClose, SimSetLines};

// The last run's report: what the page's dialog shows, from the one result.
RunReport Report;
std::string ReportText = "null";
// The sequence of --boot-lines, from the page's field; none by default.
BootLines PageLines{};
bool HasPageLines = false;
// A back-up's bytes, read with the flash open.
std::vector<uint8_t> ReadBuffer;

// With the flash open: the whole of it read and proven by the receiver's CRC.
int ReadFlash(uint32_t flashBytes, const char** message) {
    ReadBuffer.assign(flashBytes, 0);
    return ServiceReadFlash(ReadBuffer.data(), flashBytes, OnBackupProgress,
                            &Report.backup.flashCrc, message);
}

// The report's lines for a person (identity, CRCs, back-up), as the terminal
// program prints them after its outcome; the dialog lists the phase times.
void ShowReportLines() {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (out == nullptr) return;
    PrintReportLines(Report, out, false);
    std::fclose(out);
    std::string all(text, size);
    std::free(text);
    for (size_t start = 0; start < all.size();) {
        const size_t end = all.find('\n', start);
        Line(all.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
}

int Finish() {
    ReportText = ReportJson(Report).dump();
    ShowReportLines();
    return ReportExitStatus(Report);
}

// A run refused before the worker: its message as a box, its report.
int Refuse(const char* step, const std::string& message) {
    Report.result = UpdateRefusal(Report.result.action, step, message.c_str(), "");
    Message(message.c_str(), "Fail");
    return Finish();
}

// A back-up in the page's in-memory file: the whole flash as S-records, so
// that flashing it back restores every byte.
void WriteBackup() {
    const uint32_t length = static_cast<uint32_t>(ReadBuffer.size());
    std::vector<uint8_t> text(FlashFileLength(FIRMWARE_SRECORD, length));
    const uint32_t written = FlashFileWrite(FIRMWARE_SRECORD, ReadBuffer.data(), length,
                                            text.data(), static_cast<uint32_t>(text.size()));
    FILE* file = std::fopen(BACKUP_PATH, "wb");
    const bool ok =
        written != 0 && file != nullptr && std::fwrite(text.data(), 1, written, file) == written;
    if (file != nullptr && std::fclose(file) != 0) Report.lost.push_back("the back-up file");
    if (!ok) {
        Report.lost.push_back("the back-up file");
        return;
    }
    Report.backup.written = true;
    Report.backup.bytes = length;
    Report.backup.flashCrcKnown = true;
}

int Dispatch(int action, const char* filePath, uint32_t baud) {
    UpdateRequest request{};
    switch (action) {
        case ACTION_IDENTIFY:
            request.action = UPDATE_ACTION_IDENTIFY;
            break;
        case ACTION_VERIFY:
            request.action = UPDATE_ACTION_VERIFY;
            break;
        case ACTION_BACKUP:
            request.action = UPDATE_ACTION_READ;
            request.flashHook = ReadFlash;
            Report.backup.path = BACKUP_PATH;
            break;
        case ACTION_UPDATE:
        default:
            request.action = UPDATE_ACTION_UPDATE;
            break;
    }
    Report.result.action = request.action;
    FirmwareImage firmware;
    if ((action == ACTION_FLASH_FILE || action == ACTION_VERIFY) && filePath != nullptr &&
        filePath[0] != '\0') {
        FirmwareReport why{};
        if (!LoadFirmwareFile(filePath, &firmware, &why)) {
            std::string text = "The firmware file is refused";
            if (why.line != 0) text += ": line " + std::to_string(why.line);
            if (why.reason != nullptr) text += std::string(": ") + why.reason;
            return Refuse("FirmwareFile", text);
        }
    } else if (action == ACTION_FLASH_FILE) {
        return Refuse("FirmwareFile", "No firmware file was chosen.");
    }
    request.operatingBaud = baud != 115200 ? baud : 0;
    request.image = firmware.bytes.get();
    request.imageLength = firmware.length;
    request.bootLines = HasPageLines ? &PageLines : nullptr;
    CoreRun(request, OnProgress);
    Report.workerRan = true;
    Report.facts = UpdateLastFacts();
    Report.result = UpdateLastResult();
    const int outcome = Report.result.outcome;
    if (outcome == UPDATE_OUTCOME_STOPPED_BEFORE_LINK) {
        Line("Stopped; nothing was sent to the receiver.");
    } else if (outcome == UPDATE_OUTCOME_STOPPED_WITH_LINK) {
        Line("Stopped; the receiver's flash was not touched; it runs its firmware again.");
    }
    if (outcome == UPDATE_OUTCOME_FINISHED) {
        switch (action) {
            case ACTION_BACKUP:
                WriteBackup();
                JsProgress(100);
                Message("Backup Finish", "Done");
                break;
            case ACTION_IDENTIFY:
                Message("Identified", "Done");
                break;
            case ACTION_VERIFY:
                Message("Verified", "Done");
                break;
            default:
                break;
        }
    } else if (outcome == UPDATE_OUTCOME_DIFFERS) {
        Message("Differs", "Verify");
    }
    return Finish();
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
        return UPDATE_EXIT_FLASH_UNCHANGED;
    }
    HandheldSimStart(config);
    Chosen = Target::Simulator;
    return UPDATE_EXIT_DONE;
}

// The DTR/RTS sequence played before the first stage and after the outcome
// (ENTRY[:EXIT]); "" for none. 0, or 2 with a message saying what is wrong.
EMSCRIPTEN_KEEPALIVE int ZelvarWebSetBootLines(const char* text) {
    HasPageLines = false;
    if (text == nullptr || text[0] == '\0') return UPDATE_EXIT_DONE;
    char error[160] = "";
    if (BootLinesParse(text, &PageLines, error, sizeof error) == 0) {
        JsMessage(error, "Boot lines", "");
        return UPDATE_EXIT_FLASH_UNCHANGED;
    }
    HasPageLines = true;
    return UPDATE_EXIT_DONE;
}

// One run; the page awaits it (Asyncify). baud 0 is the usual operating rate.
// The status is the report's (ZelvarWebReport).
EMSCRIPTEN_KEEPALIVE int ZelvarWebRun(int action, const char* filePath, int baud) {
    if (Running) return UPDATE_EXIT_FLASH_UNCHANGED;
    Report = RunReport{};
    Report.port = Chosen == Target::Simulator ? "simulated" : "web serial";
    if (Chosen == Target::None) {
        JsMessage("Sorry! Only for Tervalon Version!", "", "no serial port was chosen");
        Report.result =
            UpdateRefusal(UPDATE_ACTION_UPDATE, "CheckPortDriver",
                          "Sorry! Only for Tervalon Version!", "no serial port was chosen");
        Report.result.outcome = UPDATE_OUTCOME_NOT_HANDHELD;
        return Finish();
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
    PlatformInstall(
        PlatformOps{serial, clock, board, &EmbeddedResourceOps(), &WebFileOps(), &PageUi});
    PlatformSetAppInstance(reinterpret_cast<PlatformHandle>(&ZelvarWebRun));

    int status = UPDATE_EXIT_FLASH_UNCHANGED;
    int ac = 0;
    const int powerRead = board->powerStatus(&ac);
    const int requested = action == ACTION_IDENTIFY ? UPDATE_ACTION_IDENTIFY
                          : action == ACTION_VERIFY ? UPDATE_ACTION_VERIFY
                          : action == ACTION_BACKUP ? UPDATE_ACTION_READ
                                                    : UPDATE_ACTION_UPDATE;
    Report.result.action = requested;
    if (const char* refusal = UpdatePowerRefusal(powerRead, ac, requested, false)) {
        status = Refuse("PowerStatus", refusal);
    } else {
        status = Dispatch(action, filePath, static_cast<uint32_t>(baud));
    }
    if (trace != nullptr) std::fclose(trace);
    Running = false;
    return status;
}

// The last run's report, as the terminal program's --json prints it.
EMSCRIPTEN_KEEPALIVE const char* ZelvarWebReport() {
    return ReportText.c_str();
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
