// SPDX-License-Identifier: Apache-2.0
#include "app/cli/shell.h"

#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "app/cli/baud_choice.h"
#include "app/cli/bench_run.h"
#include "app/cli/service_cli.h"
#include "app/cli/terminal_ui.h"
#include "platform/embedded/embedded_resource.h"
#include "platform/linux_board/linux_board.h"
#include "platform/posix/posix.h"
#include "platform/std_clock.h"
#include "receiver/flash/flash_parts.h"
#include "receiver/handheld/handheld_sim.h"
#include "update/board.h"
#include "update/update.h"
#include "zelvar_version.h"

namespace {

constexpr const char* USAGE_NOTE =
    "This is not the handheld. Run 'zelvar --simulate' to update the simulated handheld, or\n"
    "'zelvar --port DEVICE [--boot-pin CHIP:LINE]' for a receiver on a serial line.\n"
    "'zelvar --help' tells more.\n";

constexpr const char* EXIT_TEXT =
    "Exit status: 0 after \"Download Finish\"; 1 when the update started and failed;\n"
    "2 when it did not start (not the handheld, no external power, already running,\n"
    "bad options, a --baud rate the receiver's chip cannot take); 3 when --verify\n"
    "finds a different CRC; 130 when stopped (SIGINT, SIGTERM, SIGHUP, SIGQUIT)\n"
    "before the receiver's flash was touched: the board is restored, the link closed\n"
    "and the temporary image removed. From the first erase or write until the\n"
    "outcome is known, stopping is refused and the update finishes, also when the\n"
    "terminal goes away. Once the outcome is known a stop ends the program with its\n"
    "status; 130 never follows a write to the flash.";

struct Options {
    bool simulate = false;
    std::string port;
    std::string bootPin;
    bool simBattery = false;
    std::string simPart = "AM29LV400BB";
    unsigned simBus = 16;
    std::string simFlashDump;
    bool simWireTiming = false;
    bool simBlank = false;
    bool noWait = false;
    uint32_t baud = 0;  // 0: the usual operating rate
};

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
// when ZELVAR_LOCK_FILE names a lock. Busy: "already running", exit 2.
int TakeInstanceLock(const Options& options) {
    if (const char* path = std::getenv("ZELVAR_LOCK_FILE"); path != nullptr && path[0] != '\0') {
        const PosixLockResult result = PosixLockFile(path);
        if (result != POSIX_LOCK_TAKEN) return result;
    }
    if (options.simulate) return POSIX_LOCK_TAKEN;
    return PosixLockPort(options.port.c_str());
}

// Into the file opened before the run, so that a dump that cannot be written
// is refused before anything starts.
bool WriteDump(FILE* file, const std::vector<uint8_t>& bytes) {
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

int RunUpdateThread() {
    // The progress dialog's timer: once a second.
    RunWorkerTicking([] {
        TerminalShowProgress(ProgressPercent());
        return std::chrono::milliseconds(1000);
    });
    TerminalFinish();
    const int outcome = UpdateOutcome();
    ReportStop(outcome);
    return ExitStatusOf(outcome);
}

}  // namespace

void RunWorkerTicking(const std::function<std::chrono::milliseconds()>& tick) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread worker([&] {
        UpdateWorker(nullptr);
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

int ExitStatusOf(int outcome) {
    switch (outcome) {
        case UPDATE_OUTCOME_FINISHED:
            return EXIT_UPDATED;
        case UPDATE_OUTCOME_NOT_HANDHELD:
        case UPDATE_OUTCOME_RATE_REFUSED:
            return EXIT_NOT_STARTED;
        case UPDATE_OUTCOME_STOPPED_BEFORE_LINK:
        case UPDATE_OUTCOME_STOPPED_WITH_LINK:
            return EXIT_INTERRUPTED;
        default:
            return EXIT_FAILED;
    }
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

int RunShell(int argc, char** argv) {
    Options options;
    CLI::App app{
        "zelvar: updates the firmware of the handheld's GPS receiver with the image it carries.\n"
        "It takes the receiver from its boot ROM to a running flash agent, erases and programs\n"
        "its flash, and proves the result with a CRC-16.",
        "zelvar"};
    app.footer(EXIT_TEXT);
    app.set_version_flag("--version", std::string("zelvar ") + ZelvarVersion());
    ServiceOptions service;
    ServiceAddOptions(app, service);
    auto* simulate =
        app.add_flag("--simulate", options.simulate, "Update the built-in simulated handheld")
            ->group(GROUP_SIMULATION);
    // An empty value would quietly stand for the default.
    const CLI::Validator nonEmpty(
        [](std::string& value) {
            return value.empty() ? std::string("empty value") : std::string();
        },
        "", "NONEMPTY");
    auto* port = app.add_option("--port", options.port,
                                "Serial device of a receiver (the board's port driver); given "
                                "several times, those receivers are updated at once")
                     ->check(nonEmpty)
                     ->group(GROUP_UPDATE);
    app.add_option("--boot-pin", options.bootPin,
                   "GPIO line that plays the update pin, as CHIP:LINE (libgpiod); "
                   "without it the pin steps do nothing")
        ->check(nonEmpty)
        ->needs(port)
        ->group(GROUP_UPDATE);
    simulate->excludes(port);
    auto* battery =
        app.add_flag("--sim-battery", options.simBattery, "Simulated handheld runs on battery")
            ->needs(simulate)
            ->group(GROUP_SIMULATION);
    (void)battery;
    app.add_option("--sim-part", options.simPart, "Flash part of the simulated receiver")
        ->check(nonEmpty)
        ->needs(simulate)
        ->capture_default_str()
        ->group(GROUP_SIMULATION);
    app.add_option("--sim-bus", options.simBus, "Data bus width of its flash, 16 or 32")
        ->check(nonEmpty)
        ->check(CLI::IsMember({16u, 32u}))
        ->needs(simulate)
        ->capture_default_str()
        ->group(GROUP_SIMULATION);
    app.add_option("--sim-flash-dump", options.simFlashDump,
                   "Write the simulated receiver's flash to FILE at the end")
        ->check(nonEmpty)
        ->needs(simulate)
        ->group(GROUP_SIMULATION);
    app.add_flag("--sim-blank", options.simBlank,
                 "Its flash starts erased (by default it holds an older firmware)")
        ->needs(simulate)
        ->group(GROUP_SIMULATION);
    app.add_flag("--sim-wire-timing", options.simWireTiming,
                 "Simulated line takes real time per byte at its rate")
        ->needs(simulate)
        ->group(GROUP_SIMULATION);
    app.add_flag("--no-wait", options.noWait,
                 "Do not wait for Enter after each message, even on a terminal")
        ->group(GROUP_OUTPUT);
    ServiceAddOutputOptions(app, service);
    app.add_option("--baud", options.baud,
                   "Operating rate after the boot stage (default 115200); taken where the "
                   "receiver's chip keeps within 2% of it")
        ->type_name("RATE")
        ->group(GROUP_UPDATE);
    // Several ports: the options are checked once here, with the first port,
    // and each port then runs in a process of its own.
    const BenchPlan bench = PlanBench(argc, argv);
    std::vector<char*> parseArgs;
    for (const std::string& a : bench.firstPortArgs) {
        parseArgs.push_back(const_cast<char*>(a.c_str()));
    }
    try {
        if (bench.ports.size() > 1) {
            app.parse(static_cast<int>(parseArgs.size()), parseArgs.data());
        } else {
            app.parse(argc, argv);
        }
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? 0 : EXIT_NOT_STARTED;
    }
    if (!bench.error.empty()) {
        std::fprintf(stderr, "zelvar: %s\n", bench.error.c_str());
        return EXIT_NOT_STARTED;
    }
    if (options.baud != 0 && !BaudUsable(options.baud)) {
        std::fprintf(stderr, "zelvar: no receiver runs at %u baud; rates that work: %s\n",
                     static_cast<unsigned>(options.baud), UsableBaudList().c_str());
        return EXIT_NOT_STARTED;
    }
    if (bench.ports.size() > 1) return RunBench(bench);
    if (options.baud != 0) UpdateSetOperatingBaud(options.baud);
    InstallStopHandlers();

    const bool tty = isatty(STDOUT_FILENO) != 0;
    TerminalUiStart(stdout, tty && isatty(STDIN_FILENO) != 0 && !options.noWait, tty,
                    [] { return static_cast<int>(ProgressPercent()); });

    if (!options.simulate && options.port.empty()) {
        std::puts("Sorry! Only for Tervalon Version!");
        std::fputs(USAGE_NOTE, stderr);
        return EXIT_NOT_STARTED;
    }

    const std::string portLabel = options.simulate ? "simulated" : options.port;
    if (const int refused = ServicePrepare(service, portLabel)) return refused;

    LinuxBoardConfig linuxBoard;
    const BoardOps* board = nullptr;
    FILE* dump = nullptr;  // held from the start to the end of the run
    if (options.simulate) {
        if (FindFlashPart(options.simPart) == nullptr) {
            std::fprintf(stderr,
                         "zelvar: the simulated receiver has no flash part '%s' "
                         "('zelvar-receiver --list-parts' lists them)\n",
                         options.simPart.c_str());
            return EXIT_NOT_STARTED;
        }
        if (!options.simFlashDump.empty()) {
            dump = std::fopen(options.simFlashDump.c_str(), "wb");
            if (dump == nullptr) {
                std::fprintf(stderr, "zelvar: cannot write %s: %s; nothing was done.\n",
                             options.simFlashDump.c_str(), std::strerror(errno));
                return EXIT_NOT_STARTED;
            }
        }
        HandheldSimConfig sim;
        sim.receiver.part = options.simPart;
        if (!options.simBlank) {
            // An older firmware: the update must erase before it writes.
            sim.receiver.flashInit = FlashInit::Fill;
            sim.receiver.flashFill = 0x00;
        }
        sim.receiver.busWidth = options.simBus;
        sim.receiver.wireTiming = options.simWireTiming;
        sim.acLineStatus = options.simBattery ? 0 : 1;
        HandheldSimStart(sim);
        board = &HandheldSimOps();
    } else {
        linuxBoard.port = options.port;
        if (!options.bootPin.empty() &&
            !ParseBootPin(options.bootPin, &linuxBoard.gpioChip, &linuxBoard.gpioLine)) {
            std::fprintf(stderr, "zelvar: --boot-pin wants CHIP:LINE, got '%s'\n",
                         options.bootPin.c_str());
            return EXIT_NOT_STARTED;
        }
        board = &LinuxBoardOps(linuxBoard);
    }
    PlatformInstall(PlatformOps{&PosixSerialOps(), &StdClockOps(), board, &EmbeddedResourceOps(),
                                &PosixFileOps(), &TerminalUiOps()});
    PlatformSetAppInstance(reinterpret_cast<PlatformHandle>(&RunShell));

    if (const int lock = TakeInstanceLock(options); lock != POSIX_LOCK_TAKEN) {
        if (lock == POSIX_LOCK_BUSY) std::fputs("zelvar is already running.\n", stderr);
        TerminalShowCause();
        return EXIT_NOT_STARTED;
    }

    int ac = 0;
    if (board->powerStatus(&ac) == 0) {
        std::fputs("zelvar: the power status cannot be read; nothing was done.\n", stderr);
        return EXIT_NOT_STARTED;
    }
    if (ac != 1) {
        TerminalUiOps().message("Please install AC charger!", "Fail");
        return EXIT_NOT_STARTED;
    }

    int status = 0;
    if (ServiceRequested(service)) {
        status = RunService(service, portLabel);
    } else {
        status = RunUpdateThread();
    }
    if (options.simulate) {
        if (dump != nullptr && !WriteDump(dump, HandheldSimFlash())) {
            std::fprintf(stderr, "zelvar: cannot write %s: %s\n", options.simFlashDump.c_str(),
                         std::strerror(errno));
        }
        HandheldSimStop();
    }
    return status;
}
