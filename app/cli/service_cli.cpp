// SPDX-License-Identifier: Apache-2.0
#include "app/cli/service_cli.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/shell.h"
#include "app/cli/terminal_ui.h"
#include "app/cli/trace.h"
#include "image/image.h"
#include "image/srecord_file.h"
#include "platform/platform.h"
#include "update/service.h"
#include "update/update.h"

namespace {

using nlohmann::json;

// The run's settings and results, shared with the worker's back-up hook.
const ServiceOptions* Options = nullptr;
const uint8_t* FileImage = nullptr;
uint32_t FileImageLength = 0;
SRecordReport FileReport{};

// The back-up's bar runs from the start of the run until the back-up ends;
// then the update's own bar takes over.
std::atomic<bool> BackupActive{false};
std::atomic<int> BackupPercent{0};
struct BackupResult {
    bool done = false;
    uint32_t bytes = 0;  // image bytes in the file, trailing 0xFF left out
    uint16_t crc = 0;    // receiver's CRC-16 of the whole flash
    uint64_t ms = 0;
    std::string error;
};
BackupResult Backup;

// With the result going out as JSON, the worker's messages are not printed;
// the report names the failure.
void QuietMessage(const char* /*text*/, const char* /*caption*/) {}
const UiOps QuietUi{QuietMessage};

void Say(const std::string& line) {
    if (Options->json) return;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

std::string Hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// Writes text to a new file beside path, syncs it and puts it in place: a
// crash leaves the old file or the new one, never half of one. Without
// replace an existing path is kept and the write fails.
bool WriteFileSafely(const std::string& path, const std::string& text, bool replace,
                     std::string* error) {
    std::string temp = path + ".partial-XXXXXX";
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = std::string("cannot create a file beside ") + path + ": " + std::strerror(errno);
        return false;
    }
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<size_t>(n);
    }
    const bool synced = written == text.size() && fsync(fd) == 0;
    const int savedErrno = errno;
    close(fd);
    bool placed = false;
    if (synced) {
        if (replace) {
            placed = rename(temp.c_str(), path.c_str()) == 0;
        } else {
            // link refuses an existing name, where rename would replace it.
            placed = link(temp.c_str(), path.c_str()) == 0;
        }
    }
    const int placeErrno = errno;
    unlink(temp.c_str());  // gone after rename; the spare name after link
    if (!placed) {
        *error = path + ": " + std::strerror(synced ? placeErrno : savedErrno);
        return false;
    }
    // The new directory entry must survive a crash as well.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    return true;
}

void OnBackupProgress(int percent) {
    BackupPercent.store(percent, std::memory_order_relaxed);
}

// Runs in the worker with the flash open and nothing erased: the whole flash
// read, proven by the receiver's CRC, written as S-records. Any failure stops
// the update before the erase.
const char* BackUpFlash(uint32_t flashBytes) {
    const uint64_t start = PlatformClock().nowMs();
    std::vector<uint8_t> flash(flashBytes);
    const char* failure = ServiceReadFlash(flash.data(), flashBytes, OnBackupProgress);
    Backup.ms = PlatformClock().nowMs() - start;
    BackupActive.store(false, std::memory_order_relaxed);
    if (failure != nullptr) {
        Backup.error = failure;
        return failure;
    }
    Crc16Update(flash.data(), flashBytes, 0xFFFF, &Backup.crc);
    uint32_t length = flashBytes;
    while (length != 0 && flash[length - 1] == 0xFF) --length;
    // A wholly erased flash still gets one record, so the file is an image
    // that --firmware takes (writing erased bytes over erased flash).
    if (length == 0) length = flashBytes < 16 ? flashBytes : 16;
    std::string text(SRecordS3TextLength(length), '\0');
    SRecordWriteS3(flash.data(), length, text.data(), static_cast<uint32_t>(text.size()));
    if (!WriteFileSafely(Options->backup, text, Options->force, &Backup.error)) {
        static std::string message;
        message = "Backup Fail! " + Backup.error;
        return message.c_str();
    }
    Backup.bytes = length;
    Backup.done = true;
    return nullptr;
}

// The step a failure message belongs to, for scripts.
const char* StepOf(const std::string& message) {
    struct Entry {
        const char* prefix;
        const char* step;
    };
    static const Entry steps[] = {
        {"Sorry! Only for Tervalon Version!", "CheckPortDriver"},
        {"GPIOOpen Fail!", "SetUpdatePin"},
        {"Failed to open image source", "ExtractImageResource"},
        {"Firmware doesn't exist!", "LoadImageFile"},
        {"Please close the GPS application !", "OpenReceiver"},
        {"GetVersion Fail!", "GetVersion"},
        {"EPOpen Fail!", "EPOpen"},
        {"The image (", "ImageFits"},
        {"EPRead Fail!", "Backup"},
        {"The flash read back", "Backup"},
        {"Backup Fail!", "Backup"},
        {"CheckBlank Fail!", "CheckBlank"},
        {"SectorSetInfo Fail!", "SectorSetInfo"},
        {"EraseSectorSet Fail!", "EraseSectorSet"},
        {"BinaryImageReadNextBlock Fail!", "BinaryImageReadNextBlock"},
        {"EPWrite Fail", "EPWrite"},
        {"CalculateFlashCRC16 Fail!", "CalculateFlashCRC16"},
    };
    if (message == "Failed to open image source") return "BinaryImageOpen";
    for (const Entry& e : steps) {
        if (message.rfind(e.prefix, 0) == 0) return e.step;
    }
    return "unknown";
}

double Seconds(uint64_t ms) {
    return static_cast<double>(ms) / 1000.0;
}

// One line of phase times, after the outcome, for a person at a terminal.
void PrintPhaseTimes(uint64_t bootMs, uint64_t backupMs, uint64_t eraseMs, uint64_t writeMs,
                     uint64_t verifyMs) {
    if (Options->json || isatty(STDOUT_FILENO) == 0) return;
    std::printf("Times: boot %.1f s", Seconds(bootMs));
    if (!Options->backup.empty()) std::printf(", backup %.1f s", Seconds(backupMs));
    std::printf(", erase %.1f s, write %.1f s, verify %.1f s\n", Seconds(eraseMs), Seconds(writeMs),
                Seconds(verifyMs));
}

void PutFlash(json& out, const char* part, const char* maker, uint32_t flashBytes,
              uint32_t busWidthUnits) {
    if (busWidthUnits == 0) {
        out["part"] = nullptr;
        out["maker"] = nullptr;
        out["flash_size"] = nullptr;
        out["bus_width"] = nullptr;
        return;
    }
    out["part"] = part;
    out["maker"] = maker;
    out["flash_size"] = flashBytes;
    out["bus_width"] = busWidthUnits * 16;
}

void PutFailure(json& out, const char* failure) {
    if (failure == nullptr) {
        out["failed_step"] = nullptr;
        out["message"] = nullptr;
    } else {
        out["failed_step"] = StepOf(failure);
        out["message"] = failure;
    }
}

// Every key a report has, all null: each run fills what it learned, so a
// script finds the same keys whatever the outcome.
json EmptyReport(const std::string& port) {
    json out;
    for (const char* key :
         {"outcome", "exit_status", "failed_step", "message", "part", "maker", "flash_size",
          "bus_width", "image_length", "image_crc", "receiver_crc", "bytes_written"}) {
        out[key] = nullptr;
    }
    out["port"] = port;
    out["seconds"] = {{"boot", 0.0}, {"erase", 0.0}, {"write", 0.0}, {"verify", 0.0}};
    return out;
}

void PrintJson(const json& out) {
    std::printf("%s\n", out.dump().c_str());
    std::fflush(stdout);
}

// --- inspection -----------------------------------------------------------

int RunInspect(const std::string& portLabel) {
    ServiceReport report{};
    const bool verify = Options->verify;
    const int status = ServiceInspect(verify, FileImage, FileImageLength, &report);
    TerminalFinish();
    if (status == SERVICE_STOPPED) {
        std::fputs("zelvar: stopped; nothing was written to the receiver.\n", stderr);
    }
    if (!Options->json) {
        if (report.busWidthUnits != 0 && !verify) {
            std::printf("Agent version: %s\n", report.version);
            std::printf("Flash part: %s, maker %s (device 0x%04X, maker 0x%04X)\n", report.partName,
                        report.makerName, report.deviceId, report.makerId);
            std::printf("Flash size: %u bytes on a %u-bit bus\n", report.flashBytes,
                        report.busWidthUnits * 16);
            std::printf("Sector runs:");
            for (uint8_t i = 0; i < report.sectorSetCount; ++i) {
                std::printf("%s %u x 0x%X", i == 0 ? "" : ",", report.sectorSets[i].SectorCount,
                            report.sectorSets[i].SectorSize * report.busWidthUnits);
            }
            std::printf("\n");
        }
        if (verify && report.receiverCrcRead) {
            std::printf("Image CRC-16:    %s over %u bytes\n", Hex16(report.imageCrc).c_str(),
                        report.imageLength);
            std::printf("Receiver CRC-16: %s\n", Hex16(report.receiverCrc).c_str());
            if (status == SERVICE_OK) {
                std::printf(
                    "Verified: the CRCs agree. A CRC-16 match is a check, not a proof that "
                    "every byte is the image's.\n");
            } else {
                std::printf("Differs: the receiver's flash does not hold this image.\n");
            }
        }
        PrintPhaseTimes(report.bootMs, 0, 0, 0, report.verifyMs);
        std::fflush(stdout);
    } else {
        json out = EmptyReport(portLabel);
        out["outcome"] = status == SERVICE_OK        ? (verify ? "verified" : "identified")
                         : status == SERVICE_DIFFERS ? "differs"
                         : status == SERVICE_STOPPED ? "stopped"
                                                     : "failed";
        out["exit_status"] = status;
        PutFailure(out, report.failure);
        out["port"] = portLabel;
        PutFlash(out, report.partName, report.makerName, report.flashBytes, report.busWidthUnits);
        if (report.busWidthUnits != 0) {
            out["agent_version"] = report.version;
            json runs = json::array();
            for (uint8_t i = 0; i < report.sectorSetCount; ++i) {
                runs.push_back({{"count", report.sectorSets[i].SectorCount},
                                {"size", report.sectorSets[i].SectorSize * report.busWidthUnits}});
            }
            out["sector_runs"] = runs;
        }
        out["image_length"] = verify ? json(report.imageLength) : json(nullptr);
        out["image_crc"] =
            verify && report.imageLength != 0 ? json(report.imageCrc) : json(nullptr);
        out["receiver_crc"] = report.receiverCrcRead ? json(report.receiverCrc) : json(nullptr);
        out["bytes_written"] = 0;
        out["seconds"] = {{"boot", Seconds(report.bootMs)},
                          {"erase", 0.0},
                          {"write", 0.0},
                          {"verify", Seconds(report.verifyMs)}};
        PrintJson(out);
    }
    if (report.failure != nullptr &&
        std::strcmp(report.failure, "Sorry! Only for Tervalon Version!") == 0) {
        return EXIT_NOT_STARTED;
    }
    return status;
}

// --- update ---------------------------------------------------------------

int ShownProgress() {
    return BackupActive.load(std::memory_order_relaxed)
               ? BackupPercent.load(std::memory_order_relaxed)
               : static_cast<int>(ProgressPercent());
}

int RunUpdateWithOptions(const std::string& portLabel) {
    if (FileImage != nullptr) UpdateSetImage(FileImage, FileImageLength);
    if (!Options->backup.empty()) {
        Say("Backing up the receiver's flash to " + Options->backup +
            " before anything is erased.");
        BackupActive.store(true, std::memory_order_relaxed);
        UpdateSetBeforeEraseHook(BackUpFlash);
    }
    bool sawBackup = false;
    RunWorkerTicking([&sawBackup] {
        const bool backingUp = BackupActive.load(std::memory_order_relaxed);
        if (sawBackup && !backingUp && !Options->json) {
            // The back-up's bar is done; the update's starts on a line of its own.
            TerminalShowProgress(100);
            TerminalFinish();
            sawBackup = false;
        }
        sawBackup = sawBackup || backingUp;
        if (!Options->json) TerminalShowProgress(ShownProgress());
        return std::chrono::milliseconds(BackupActive.load() ? 250 : 1000);
    });
    TerminalFinish();
    BackupActive.store(false, std::memory_order_relaxed);
    UpdateSetBeforeEraseHook(nullptr);
    UpdateSetImage(nullptr, 0);

    const UpdateFacts& facts = UpdateLastFacts();
    const int outcome = UpdateOutcome();
    const int status = ExitStatusOf(outcome);
    ReportStop(outcome);
    const char* failure = facts.failure;
    if (outcome == UPDATE_OUTCOME_NOT_HANDHELD) {
        failure = "Sorry! Only for Tervalon Version!";
    } else if (failure == nullptr && std::strcmp(UpdateFailedStep(), "SetUpdatePin") == 0) {
        failure = "GPIOOpen Fail!";
    } else if (status == EXIT_INTERRUPTED) {
        failure = "stopped";
    }
    if (!Options->json) {
        if (Backup.done) {
            std::printf("Backup: %u bytes of %u written to %s (receiver CRC-16 of the flash %s)\n",
                        Backup.bytes, facts.flashBytes, Options->backup.c_str(),
                        Hex16(Backup.crc).c_str());
        }
        PrintPhaseTimes(facts.bootMs, Backup.ms, facts.eraseMs, facts.writeMs, facts.verifyMs);
        return status;
    }
    json out = EmptyReport(portLabel);
    out["outcome"] = status == EXIT_UPDATED       ? "updated"
                     : status == EXIT_FAILED      ? "failed"
                     : status == EXIT_INTERRUPTED ? "stopped"
                                                  : "not started";
    out["exit_status"] = status;
    PutFailure(out, failure);
    out["port"] = portLabel;
    PutFlash(out, facts.partName, facts.makerName, facts.flashBytes, facts.busWidthUnits);
    out["image_length"] = facts.imageLength;
    out["image_crc"] = facts.imageLength != 0 ? json(facts.imageCrc) : json(nullptr);
    out["receiver_crc"] = facts.receiverCrcRead ? json(facts.receiverCrc) : json(nullptr);
    out["bytes_written"] = facts.bytesWritten;
    out["seconds"] = {{"boot", Seconds(facts.bootMs)},
                      {"erase", Seconds(facts.eraseMs)},
                      {"write", Seconds(facts.writeMs)},
                      {"verify", Seconds(facts.verifyMs)}};
    if (!Options->backup.empty()) {
        out["backup"] = {{"file", Options->backup},
                         {"written", Backup.done},
                         {"bytes", Backup.bytes},
                         {"flash_crc", Backup.done ? json(Backup.crc) : json(nullptr)},
                         {"seconds", Seconds(Backup.ms)}};
    }
    PrintJson(out);
    return status;
}

}  // namespace

void ServiceAddOptions(CLI::App& app, ServiceOptions& options) {
    auto* firmware = app.add_option("--firmware", options.firmware,
                                    "Flash the S-records of FILE instead of the built-in image "
                                    "(with --verify: verify against FILE)")
                         ->type_name("FILE")
                         ->group(GROUP_UPDATE);
    auto* backup = app.add_option("--backup", options.backup,
                                  "Before erasing, read the whole flash, prove it with the "
                                  "receiver's CRC and write it to FILE as S-records")
                       ->type_name("FILE")
                       ->group(GROUP_UPDATE);
    app.add_flag("--force", options.force, "Let --backup replace an existing FILE")
        ->needs(backup)
        ->group(GROUP_UPDATE);
    auto* info = app.add_flag("--info", options.info,
                              "Identify the receiver's flash (agent version, part, maker, size, "
                              "bus width, sector runs); nothing is written")
                     ->group(GROUP_INSPECTION);
    auto* verify =
        app.add_flag("--verify", options.verify,
                     "Compare the receiver's CRC-16 of its flash with the image's (the built-in "
                     "one or --firmware); nothing is written. Status 0 when they agree, 3 when "
                     "they differ, 1 when the receiver could not be asked")
            ->group(GROUP_INSPECTION);
    info->excludes(verify)->excludes(firmware)->excludes(backup);
    verify->excludes(backup);
}

void ServiceAddOutputOptions(CLI::App& app, ServiceOptions& options) {
    app.add_option("--trace", options.trace,
                   "One line per exchange with the receiver to FILE ('-' for standard error): "
                   "time, rate, request and its fields, answer and status, NAKs and time-outs")
        ->type_name("FILE")
        ->group(GROUP_OUTPUT);
    app.add_flag("--json", options.json,
                 "Instead of the human lines, one JSON object on standard output at the end")
        ->group(GROUP_OUTPUT);
}

bool ServiceRequested(const ServiceOptions& options) {
    return options.info || options.verify || !options.firmware.empty() || !options.backup.empty() ||
           options.json || !options.trace.empty();
}

int ServicePrepare(const ServiceOptions& options, const std::string& port) {
    Options = &options;
    if (!options.backup.empty() && !options.force && access(options.backup.c_str(), F_OK) == 0) {
        std::fprintf(stderr, "zelvar: %s exists; --force replaces it. Nothing was done.\n",
                     options.backup.c_str());
        return EXIT_NOT_STARTED;
    }
    if (!options.firmware.empty()) {
        FileImage = LoadSRecordFile(options.firmware.c_str(), &FileImageLength, &FileReport);
        if (FileImage == nullptr) {
            std::string where = options.firmware;
            if (FileReport.line != 0) where += " line " + std::to_string(FileReport.line);
            if (options.json) {
                json out = EmptyReport(port);
                out["outcome"] = "failed";
                out["exit_status"] = EXIT_FAILED;
                out["failed_step"] = "FirmwareFile";
                out["message"] = where + ": " + FileReport.reason;
                PrintJson(out);
            } else {
                std::fprintf(stderr, "zelvar: %s: %s. Nothing was done.\n", where.c_str(),
                             FileReport.reason);
            }
            return EXIT_FAILED;
        }
    }
    return 0;
}

int RunService(const ServiceOptions& options, const std::string& portLabel) {
    Options = &options;
    if (options.json) {
        PlatformInstall(PlatformOps{nullptr, nullptr, nullptr, nullptr, nullptr, &QuietUi});
    }
    FILE* trace = nullptr;
    if (!options.trace.empty()) {
        trace = options.trace == "-" ? stderr : std::fopen(options.trace.c_str(), "w");
        if (trace == nullptr) {
            std::fprintf(stderr, "zelvar: cannot write the trace to %s: %s. Nothing was done.\n",
                         options.trace.c_str(), std::strerror(errno));
            return EXIT_NOT_STARTED;
        }
        PlatformInstall(PlatformOps{&TraceSerialOps(PlatformSerial(), trace), nullptr, nullptr,
                                    nullptr, nullptr, nullptr});
    }
    const int status =
        options.info || options.verify ? RunInspect(portLabel) : RunUpdateWithOptions(portLabel);
    if (trace != nullptr && trace != stderr) std::fclose(trace);
    return status;
}
