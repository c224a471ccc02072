// SPDX-License-Identifier: Apache-2.0
#include "app/cli/session.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/preflight.h"
#include "app/cli/terminal.h"
#include "app/cli/trace.h"
#include "app/report/report.h"
#include "image/flash_file.h"
#include "image/image.h"
#include "link/retry.h"
#include "platform/embedded/embedded_resource.h"
#include "platform/posix/output_file.h"
#include "platform/posix/port_list.h"
#include "platform/posix/posix.h"
#include "platform/std_clock.h"
#include "receiver/handheld/handheld_sim.h"
#include "update/board.h"
#include "update/service.h"

namespace {

constexpr const char* USAGE_NOTE =
    "This is not the handheld. Run 'zelvar --simulate' to update the simulated handheld, or\n"
    "'zelvar --port DEVICE [--boot-pin CHIP:LINE]' for a receiver on a serial line.\n"
    "'zelvar --help' tells more.\n";
constexpr const char* NOT_HANDHELD = "Sorry! Only for Tervalon Version!";

// The run's settings, read by the worker's flash hook.
const CliOptions* Options = nullptr;
RunReport Report;

// The read's bar runs from the start of the run until the read ends; then
// the update's own bar takes over.
std::atomic<bool> ReadActive{false};
std::atomic<int> ReadPercent{0};

// --- the several-ports parent's channel ----------------------------------

int ReportFd = -1;

void ChannelLine(const std::string& line) {
    if (ReportFd < 0) return;
    const std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(ReportFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the parent went away; the run goes on
        done += static_cast<size_t>(n);
    }
}

// --- messages --------------------------------------------------------------

const UiOps* InnerUi = nullptr;

void QuietMessage(const char* /*text*/, const char* /*caption*/) {
    TerminalKeepCause();
}
const UiOps QuietUi{QuietMessage};

// Every box goes to the parent too, as the line it shows.
void ForwardingMessage(const char* text, const char* caption) {
    std::string line = caption[0] != '\0' ? std::string("[") + caption + "] " + text : text;
    for (char& c : line) {
        if (c == '\n') c = ' ';
    }
    ChannelLine("message " + line);
    InnerUi->message(text, caption);
}
const UiOps ForwardingUi{ForwardingMessage};

void Say(const std::string& line) {
    if (Options->json) return;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// --- the flash hook: a back-up before the erase, or the whole of a read ----

void OnReadProgress(int percent) {
    ReadPercent.store(percent, std::memory_order_relaxed);
}

// A back-up that failed refuses the update; a read that failed is the run.
const char* FailureOf() {
    return Options->read.empty() ? "Backup Fail!" : "Read Fail!";
}

// Runs in the worker with the flash open and nothing erased: the whole flash
// read, proven by the receiver's CRC and written to the file whole, in the
// form its name asks (S-records, Intel HEX for .hex/.ihx, raw bytes for .bin),
// so that restoring it brings back the whole flash. A stop ends the read at
// its next request and leaves no file.
int ReadFlashToFile(uint32_t flashBytes, const char** message) {
    static std::string failure;
    FileFacts& file = Options->read.empty() ? Report.backup : Report.read;
    const uint64_t start = PlatformClock().nowMs();
    std::unique_ptr<uint8_t[]> flash(new (std::nothrow) uint8_t[flashBytes == 0 ? 1 : flashBytes]);
    if (!flash) {
        failure = std::string(FailureOf()) + " not enough memory for " +
                  std::to_string(flashBytes) + " bytes";
        *message = failure.c_str();
        return UPDATE_HOOK_FAILED;
    }
    const int read =
        ServiceReadFlash(flash.get(), flashBytes, OnReadProgress, &file.flashCrc, message);
    file.ms = PlatformClock().nowMs() - start;
    ReadActive.store(false, std::memory_order_relaxed);
    if (read != UPDATE_HOOK_OK) return read;
    if (UpdateStopRequested()) return UPDATE_HOOK_STOPPED;
    file.flashCrcKnown = true;
    const FirmwareFormat format = FlashFileFormatFor(file.path.c_str());
    std::vector<uint8_t> bytes(FlashFileLength(format, flashBytes));
    const uint32_t length = FlashFileWrite(format, flash.get(), flashBytes, bytes.data(),
                                           static_cast<uint32_t>(bytes.size()));
    std::string error = "the flash cannot be put in a file";
    const bool written = length != 0 && PosixWriteFileSafely(file.path, bytes.data(), length,
                                                             Options->force, &error);
    if (!written) {
        failure = std::string(FailureOf()) + " " + error;
        *message = failure.c_str();
        return UPDATE_HOOK_FAILED;
    }
    file.bytes = flashBytes;
    file.written = true;
    return UPDATE_HOOK_OK;
}

// --- the run ---------------------------------------------------------------

// A stop before the flash is touched ends the run at the worker's next step
// boundary; while the flash is erased or written it is refused, since a
// half-written receiver does not start. Only async-signal-safe calls here.
void OnStopSignal(int /*signal*/) {
    const int savedErrno = errno;
    const int answer = UpdateRequestStop();
    if (answer == UPDATE_STOP_REFUSED) {
        static const char notice[] =
            "\nzelvar: the receiver's flash is being updated; stopping now would leave it "
            "unusable. The update goes on.\n";
        (void)!write(STDERR_FILENO, notice, sizeof notice - 1);
    } else if (answer == UPDATE_STOP_TAKEN) {
        // The worker may be in the middle of an exchange; it says more when it has stopped.
        static const char stopping[] = "\nzelvar: stopping.\n";
        (void)!write(STDERR_FILENO, stopping, sizeof stopping - 1);
    }
    errno = savedErrno;
}

// Also the signals of a terminal that goes away (SIGHUP) or of Ctrl-\; a
// reader that went away (SIGPIPE) shows as write errors, which are ignored.
void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// One update per receiver port: a second zelvar on the same port is refused
// before any board step; a simulated run has no port to share, and locks only
// when ZELVAR_LOCK_FILE names a lock.
int TakeInstanceLock(const CliOptions& options) {
    if (const char* path = std::getenv("ZELVAR_LOCK_FILE"); path != nullptr && path[0] != '\0') {
        const PosixLockResult result = PosixLockFile(path);
        if (result != POSIX_LOCK_TAKEN) return result;
    }
    if (options.simulate) return POSIX_LOCK_TAKEN;
    return PosixLockPort(options.ports[0].port.c_str());
}

// Into the file opened before the run, so that a dump that cannot be written
// is refused before anything starts.
bool WriteDump(FILE* file, const std::vector<uint8_t>& bytes) {
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

void TraceAside(FILE* out, const char* line) {
    TerminalWriteAside(out, line);
}

int ShownProgress() {
    if (Report.result.action == UPDATE_ACTION_READ)
        return ReadPercent.load(std::memory_order_relaxed);
    return ReadActive.load(std::memory_order_relaxed) ? ReadPercent.load(std::memory_order_relaxed)
                                                      : static_cast<int>(ProgressPercent());
}

// Ends the run with its report: the lines or the JSON document, and the
// report to the several-ports parent. The status is the result's: an output
// that could not be written is said apart and changes no outcome.
int Finish() {
    if (Report.result.outcome == UPDATE_OUTCOME_NONE) {
        Report.result = UpdateRefusal(Report.result.action, "", "", "");
    }
    const nlohmann::json document = ReportJson(Report);
    ChannelLine("report " + document.dump());
    if (Options->json) {
        std::printf("%s\n", document.dump().c_str());
        if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
            std::fprintf(stderr, "zelvar: the report could not be written: %s\n",
                         std::strerror(errno));
        }
    } else {
        PrintReportLines(Report, stdout, Report.workerRan && isatty(STDOUT_FILENO) != 0);
    }
    return ReportExitStatus(Report);
}

int Refused(const std::string& step, const std::string& message) {
    Report.result = UpdateRefusal(Report.result.action, step.c_str(), message.c_str(), "");
    if (!Options->json && !message.empty()) {
        std::fprintf(stderr, "zelvar: %s\n", message.c_str());
    }
    return Finish();
}

// The worker's result, with the OS's words for its cause. A board message
// shown before the outcome was decided left its cause with the terminal.
void TakeResult() {
    Report.result = UpdateLastResult();
    if (Report.result.cause[0] == '\0' && Report.result.detail[0] == '\0') {
        std::snprintf(Report.result.cause, sizeof Report.result.cause, "%s",
                      TerminalLastCause().c_str());
    }
}

// The worker's run, with the progress shown once a second (four times while
// the flash is read).
void RunWorker(const UpdateRequest& request) {
    const bool showProgress = !Options->json && request.action != UPDATE_ACTION_IDENTIFY &&
                              request.action != UPDATE_ACTION_VERIFY;
    bool sawRead = false;
    int lastSent = -1;
    RunWorkerTicking(request, [&] {
        const bool reading = ReadActive.load(std::memory_order_relaxed);
        if (sawRead && !reading && showProgress && request.action == UPDATE_ACTION_UPDATE) {
            // The back-up's bar is done; the update's starts on a line of its own.
            TerminalShowProgress(100);
            TerminalFinish();
            sawRead = false;
        }
        sawRead = sawRead || reading;
        const int shown = ShownProgress();
        if (showProgress) TerminalShowProgress(shown);
        if (shown != lastSent) ChannelLine("progress " + std::to_string(shown));
        lastSent = shown;
        return std::chrono::milliseconds(ReadActive.load() ? 250 : 1000);
    });
    TerminalFinish();
    ReadActive.store(false, std::memory_order_relaxed);
    // The parent's bar ends where this run's ended, not at its last tick.
    ChannelLine("progress " + std::to_string(ShownProgress()));

    ReportStop(UpdateOutcome());
    Report.workerRan = true;
    Report.facts = UpdateLastFacts();
    TakeResult();
}

}  // namespace

void RunWorkerTicking(const UpdateRequest& request,
                      const std::function<std::chrono::milliseconds()>& tick) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread worker([&] {
        UpdateWorker(const_cast<UpdateRequest*>(&request));
        const std::lock_guard<std::mutex> lock(mutex);
        done = true;
        finished.notify_one();
    });
    // Once more at the end, taken the moment the worker ends rather than at
    // the next tick.
    auto next = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex);
    while (!done) {
        lock.unlock();
        next += tick();
        lock.lock();
        finished.wait_until(lock, next, [&done] { return done; });
    }
    lock.unlock();
    worker.join();
}

void ReportStop(int outcome) {
    if (outcome == UPDATE_OUTCOME_STOPPED_BEFORE_LINK) {
        std::fputs("zelvar: stopped; nothing was sent to the receiver.\n", stderr);
    } else if (outcome == UPDATE_OUTCOME_STOPPED_WITH_LINK) {
        std::fputs(
            "zelvar: stopped; the receiver's flash was not touched; it runs its firmware "
            "again.\n",
            stderr);
    }
}

int RunSession(const CliOptions& options) {
    Options = &options;
    Report = RunReport{};
    Report.port = options.simulate        ? "simulated"
                  : options.ports.empty() ? ""
                                          : options.ports[0].port;
    Report.result.action = ActionOf(options);
    Report.backup.path = options.backup;
    Report.read.path = options.read;
    ReportFd = options.reportFd;
    if (ReportFd >= 0) fcntl(ReportFd, F_SETFD, FD_CLOEXEC);
    InstallStopHandlers();

    const bool tty = isatty(STDOUT_FILENO) != 0;
    TerminalUiStart(stdout, tty && isatty(STDIN_FILENO) != 0 && !options.noWait, tty,
                    [] { return ShownProgress(); });

    Preflight preflight = PlanRun(options);
    if (preflight.notHandheld) {
        if (!options.json) {
            std::puts(NOT_HANDHELD);
            std::fputs(USAGE_NOTE, stderr);
        }
        Report.result = UpdateRefusal(Report.result.action, "CheckPortDriver", NOT_HANDHELD, "");
        Report.result.outcome = UPDATE_OUTCOME_NOT_HANDHELD;
        return Finish();
    }
    if (preflight.refused) return Refused(preflight.step, preflight.message);
    RunPlan& plan = preflight.plan;

    // Made now, so that a folder that cannot take it is refused before
    // anything is sent; put in place at the end, after a failure too.
    PosixOutputStream traceFile;
    if (!options.trace.empty()) {
        if (std::string why; !PosixOutputOpen(options.trace, options.force, &traceFile, &why)) {
            return Refused("Options", why + ". Nothing was done.");
        }
    }
    FILE* trace = traceFile.file;

    const BoardOps* board = nullptr;
    FILE* dump = nullptr;  // held from the start to the end of the run
    if (options.simulate) {
        if (!options.simFlashDump.empty()) {
            dump = std::fopen(options.simFlashDump.c_str(), "wb");
            if (dump == nullptr) {
                PosixOutputDiscard(&traceFile);
                return Refused("Options", "cannot write " + options.simFlashDump + ": " +
                                              std::strerror(errno) + "; nothing was done.");
            }
        }
        HandheldSimStart(plan.sim);
        board = &HandheldSimOps();
    } else {
        board = &LinuxBoardOps(plan.board);
    }
    InnerUi = options.json ? &QuietUi : &TerminalUiOps();
    // A desk receiver's boot-select and reset inputs hang on the port's DTR and RTS.
    const SerialOps* serial = options.simulate && options.simRunningFirmware
                                  ? &HandheldSimDeskSerialOps(PosixSerialOps())
                                  : &PosixSerialOps();
    PlatformInstall(PlatformOps{serial, &StdClockOps(), board, &EmbeddedResourceOps(),
                                &PosixFileOps(), ReportFd >= 0 ? &ForwardingUi : InnerUi});
    PlatformSetAppInstance(reinterpret_cast<PlatformHandle>(&RunSession));
    if (trace != nullptr) {
        TraceSetLineWriter(trace == stderr ? TraceAside : nullptr);
        LinkSetRetryObserver(TraceRetry);
        PlatformInstall(PlatformOps{&TraceSerialOps(PlatformSerial(), trace), nullptr, nullptr,
                                    nullptr, nullptr, nullptr});
    }

    if (const int lock = TakeInstanceLock(options); lock != POSIX_LOCK_TAKEN) {
        std::string why = lock == POSIX_LOCK_BUSY ? "zelvar is already running." : "";
        // Only a zelvar is "already running"; any other holder is named.
        int holder = 0;
        std::string holderName;
        if (lock == POSIX_LOCK_BUSY && !options.simulate &&
            PosixLockHolder(options.ports[0].port.c_str(), &holder, &holderName) &&
            !holderName.empty() && holderName != "zelvar") {
            why = "another program (" + holderName + ", process " + std::to_string(holder) +
                  ") holds " + options.ports[0].port + "; close it and try again.";
            PlatformCauseClear();
        }
        if (options.json) {
            TerminalKeepCause();
        } else {
            if (!why.empty()) std::fprintf(stderr, "%s\n", why.c_str());
            TerminalShowCause();
        }
        Report.result = UpdateRefusal(Report.result.action, "Lock",
                                      why.empty() ? "the port cannot be locked" : why.c_str(),
                                      TerminalLastCause().c_str());
    } else {
        int ac = 0;
        const int powerRead = board->powerStatus(&ac);
        if (const char* refusal =
                UpdatePowerRefusal(powerRead, ac, Report.result.action, options.allowBattery)) {
            Report.result = UpdateRefusal(Report.result.action, "PowerStatus", refusal, "");
            if (powerRead == 0) {
                if (!options.json) std::fprintf(stderr, "zelvar: %s\n", refusal);
            } else {
                PlatformUi().message(refusal, "Fail");
            }
        } else {
            if (!options.simulate) {
                // Each acknowledgement waits for a slow adapter's timer.
                const int latency = PosixAdapterLatencyMs(options.ports[0].port.c_str());
                if (latency > 1) {
                    Report.adapterLatencyMs = latency;
                    if (!options.json) {
                        std::fprintf(stderr,
                                     "zelvar: the USB serial adapter's latency timer is %d ms "
                                     "and cannot be lowered here; each of the ~1,000 "
                                     "acknowledgements waits for it (up to about %d s more); "
                                     "as root, write 1 to the adapter's latency_timer in "
                                     "sysfs.\n",
                                     latency, latency);
                    }
                }
            }
            UpdateRequest request{};
            request.action = Report.result.action;
            request.operatingBaud = options.baud;
            request.retries = options.retries;
            request.bootLines = options.bootLines.empty() ? nullptr : &options.bootLinesParsed;
            request.image = plan.firmware.bytes.get();
            request.imageLength = plan.firmware.length;
            if (!options.backup.empty() || !options.read.empty()) {
                if (!options.backup.empty()) {
                    Say("Backing up the receiver's flash to " + options.backup +
                        " before anything is erased.");
                }
                ReadActive.store(true, std::memory_order_relaxed);
                request.flashHook = ReadFlashToFile;
            }
            RunWorker(request);
        }
    }
    const int traceError = trace != nullptr && trace != stderr ? TraceWriteError() : 0;
    if (std::string why; !PosixOutputCommit(&traceFile, traceError, &why)) {
        std::fprintf(stderr, "zelvar: the trace to %s could not be written: %s\n",
                     options.trace.c_str(), why.c_str());
        Report.lost.push_back("the trace to " + options.trace);
    }
    TraceSetLineWriter(nullptr);
    LinkSetRetryObserver(nullptr);
    if (options.simulate) {
        if (dump != nullptr && !WriteDump(dump, HandheldSimFlash())) {
            std::fprintf(stderr, "zelvar: cannot write %s: %s\n", options.simFlashDump.c_str(),
                         std::strerror(errno));
            Report.lost.push_back("the flash dump to " + options.simFlashDump);
        }
        HandheldSimStop();
    }
    return Finish();
}
