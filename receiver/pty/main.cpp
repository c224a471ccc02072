// SPDX-License-Identifier: Apache-2.0
// zelvar-receiver: the simulated GPS receiver on a pseudo-terminal.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "receiver/boot/clock_board.h"
#include "receiver/flash/flash_parts.h"
#include "receiver/pty/pty_receiver.h"
#include "zelvar_version.h"

namespace {

const char* const FrameCounting =
    "Frames are counted from 1 over the whole run of the program: every complete frame the "
    "receiver takes off the line gets the next number, whatever its checksum and stage "
    "(LoadFirstStage is frame 1 of a normal session, QueryChipId frame 2). The answer to frame N "
    "is what the receiver sends back for it.";

// Accepts decimal or 0x-prefixed hexadecimal.
template <typename T>
CLI::Option* AddNumber(CLI::App& app, const std::string& name, T& value, const std::string& help) {
    return app
        .add_option_function<std::string>(
            name,
            [&value, name](const std::string& text) {
                errno = 0;
                char* end = nullptr;
                const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
                if (errno != 0 || end == text.c_str() || *end != '\0' || text[0] == '-' ||
                    parsed > static_cast<unsigned long long>(static_cast<T>(~T{0}))) {
                    throw CLI::ValidationError(name, "not a number in range: " + text);
                }
                value = static_cast<T>(parsed);
            },
            help)
        ->type_name("N");
}

bool ApplyClock(ReceiverConfig& config, uint32_t referenceHz, const std::string& form,
                const std::string& failure, std::string* error) {
    if (!failure.empty()) {
        ClockWordsForFailure(
            failure == "unknown-code" ? ClockFailure::UnknownCode : ClockFailure::NoEntry,
            &config.wordA, &config.wordB);
        config.chipId = 48;
        return true;
    }
    if (referenceHz == 0) return true;
    if (!ClockWordsFor(referenceHz, form == "integer", form == "code" || form == "integer-code",
                       &config.wordA, &config.wordB)) {
        *error = "no configuration words describe " + std::to_string(referenceHz) + " Hz";
        return false;
    }
    if (form == "integer-code") config.wordA |= 0x0040;
    config.chipId = 48;
    return true;
}

// Bytes by direction and rate, and the least time the line needs to carry
// them: 10 bit times per byte (start, 8 data, stop), one direction at a time.
void PrintLineStats(const ReceiverCounters& counters) {
    double seconds = 0;
    const std::pair<const char*, const std::map<uint32_t, uint64_t>*> directions[] = {
        {"host -> receiver", &counters.bytesFromHost},
        {"receiver -> host", &counters.bytesToHost},
    };
    for (const auto& [name, bytes] : directions) {
        for (const auto& [baud, count] : *bytes) {
            const double time = baud != 0 ? static_cast<double>(count) * 10.0 / baud : 0;
            seconds += time;
            std::fprintf(stderr, "line: %s %10llu bytes at %7u baud %10.6f s\n", name,
                         static_cast<unsigned long long>(count), baud, time);
        }
    }
    std::fprintf(stderr, "line: frames %u, answers %u\n", counters.frames, counters.answersSent);
    std::fprintf(stderr, "line: lower bound %.6f s\n", seconds);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Simulated GPS receiver (boot ROM, first stage, flash agent, NOR flash) on a "
        "pseudo-terminal. Prints the path of the serial side on the first line of "
        "standard output, then serves hosts until interrupted (or one disconnect with "
        "--once)."};
    app.footer(FrameCounting);
    app.set_version_flag("--version", std::string("zelvar-receiver ") + ZelvarVersion());

    ReceiverConfig config;
    std::string link, dump;
    bool once = false, verbose = false, listParts = false;

    app.add_option("--link", link, "Also make a symbolic link PATH to the serial side")
        ->type_name("PATH");
    app.add_option(
           "--flash-dump", dump,
           "Write the flash contents to FILE at every disconnect and at exit (S3 records when FILE "
           "ends in .srec, .s19, .s28, .s37, .s3, .mot or .s; raw binary otherwise)")
        ->type_name("FILE");
    app.add_flag("--once", once, "Exit after the first disconnect");
    app.add_flag("-v,--verbose", verbose, "Trace every frame and answer on standard error");
    bool stats = false;
    app.add_flag("--stats", stats,
                 "At exit, print on standard error the bytes that crossed the line in each "
                 "direction at each rate, and the time the line needs for them at 10 bit times "
                 "per byte");
    app.add_flag("--list-parts", listParts, "List the flash parts and exit");

    // The hardware.
    app.add_option("--part", config.part, "Flash part on the bus (default AM29LV400BB)")
        ->type_name("NAME");
    app.add_option("--bus-width", config.busWidth,
                   "Data bus width in bits: 16 or 32 (two parts side by side); any other value "
                   "makes the agent refuse the bus")
        ->type_name("BITS");
    AddNumber(app, "--chip-id", config.chipId, "Chip id the first stage answers (48, 35, 0, ...)");
    AddNumber(app, "--word-a", config.wordA,
              "Configuration word A (bits 12-13 select, bit 6 variant)");
    AddNumber(app, "--word-b", config.wordB, "Configuration word B (bits 0-4 oscillator code)");
    uint32_t referenceHz = 0;
    std::string clockForm = "fractional", clockFailure;
    AddNumber(app, "--reference-clock", referenceHz,
              "Chip 48 with words that describe this oscillator (Hz): 13000000, 16369000, "
              "16800000, 19200000, 24553500, 26000000, 33600000 (integer form only)");
    app.add_option("--clock-form", clockForm,
                   "With --reference-clock: fractional or integer (variant 0 / 1), or "
                   "code / integer-code to go through the code table even where a selection "
                   "shortcut exists")
        ->check(CLI::IsMember({"fractional", "integer", "code", "integer-code"}));
    app.add_option("--clock-failure", clockFailure,
                   "Words the host cannot set the clock from: unknown-code (variant 0, code not "
                   "in its column) or no-entry (variant 1, code not in its column)")
        ->check(CLI::IsMember({"unknown-code", "no-entry"}));

    // The flash at start.
    int fill = -1;
    std::string flashFile;
    app.add_option("--flash-fill", fill, "Start with every flash byte set to BYTE (default erased)")
        ->type_name("BYTE")
        ->check(CLI::Range(0, 255));
    app.add_option("--flash-file", flashFile,
                   "Start with the flash holding FILE (the rest erased): S-records when its name "
                   "ends as for --flash-dump, raw binary otherwise")
        ->type_name("FILE")
        ->check(CLI::ExistingFile);

    // The line.
    app.add_flag("--wire-timing", config.wireTiming,
                 "Each byte takes 10 bit times at the line rate");
    AddNumber(app, "--answer-delay-ms", config.answerDelayMs,
              "Time from ACK to answer (default 1)");
    AddNumber(app, "--erase-delay-ms", config.eraseDelayMs, "Time to erase one sector (default 5)");
    AddNumber(app, "--frame-gap-ms", config.frameGapMs,
              "A frame whose bytes pause this long is given up (default 500)");
    AddNumber(app, "--adapter-latency", config.adapterLatencyMs,
              "Hold each answer back as a USB serial adapter's latency timer of MS milliseconds "
              "does: bytes short of a full 62-byte packet reach the host at the timer's next "
              "tick (default 0: at once)")
        ->type_name("MS");

    app.add_option("--bit-error-rate", config.bitErrorRate,
                   "Flip every bit on the line (start, data and stop bits, acknowledgements "
                   "included, both directions) with probability P (default 0: a clean line)")
        ->type_name("P")
        ->check(CLI::Range(0.0, 1.0));
    AddNumber(app, "--seed", config.noiseSeed,
              "Seed of --bit-error-rate: the same seed and the same traffic flip the same bits "
              "(default 1)");

    // The firmware.
    app.add_flag("--running-firmware", config.runningFirmware,
                 "Start running the receiver's firmware instead of waiting in the boot ROM: it "
                 "sends a $GPGGA and a $GPRMC sentence every --nmea-period-ms at --nmea-baud and "
                 "ignores the boot protocol. Only a reset with boot-select active enters the "
                 "boot ROM, which a pseudo-terminal cannot give (no DTR/RTS)");
    AddNumber(app, "--nmea-baud", config.nmeaBaud,
              "Rate of the firmware's sentences (default 9600); a host at 38400 reads "
              "them garbled unless the rates match")
        ->type_name("BAUD");
    AddNumber(app, "--nmea-period-ms", config.nmeaPeriodMs,
              "Time between the firmware's fixes (default 1000)")
        ->type_name("MS");

    // Faults tied to a frame number.
    std::vector<uint32_t> nak, corrupt, drop, wrongCode, trailing, stall, oversize;
    app.add_option("--nak-frame", nak, "Answer frame N with NAK (repeatable)")->type_name("N");
    app.add_option("--corrupt-answer", corrupt, "Change one byte of the answer to frame N")
        ->type_name("N");
    app.add_option("--drop-answer", drop, "ACK frame N but send no answer")->type_name("N");
    app.add_option("--wrong-code", wrongCode, "Answer frame N with the request code + 3")
        ->type_name("N");
    app.add_option("--trailing-byte", trailing, "Answer frame N with one byte too many")
        ->type_name("N");
    app.add_option("--stall", stall, "Send the answer to frame N --stall-ms late")->type_name("N");
    AddNumber(app, "--stall-ms", config.faults.stallMs, "Lateness of --stall (default 3000)");
    app.add_option("--oversize-answer", oversize,
                   "Answer frame N with a length field of 1288 (more than the host takes)")
        ->type_name("N");

    // Flash faults.
    uint32_t eraseFail = 0, writeFail = 0;
    auto* eraseOpt = AddNumber(app, "--erase-fail-sector", eraseFail,
                               "Erasing sector INDEX times out (AGENT_ERASE_FAILED)");
    eraseOpt->type_name("INDEX");
    auto* writeOpt = AddNumber(app, "--write-fail-address", writeFail,
                               "Programming the byte at ADDRESS times out (AGENT_WRITE_FAILED)");
    writeOpt->type_name("ADDRESS");
    app.add_flag("--crc-off-by-one", config.faults.crcOffByOne,
                 "CalculateFlashCRC16 answers the CRC plus one");
    AddNumber(app, "--power-loss-after-write", config.faults.powerLossAfterWrite,
              "Lose power after programming the Nth EPWrite request (counted from 1): no "
              "answer, back to the boot ROM, flash kept");
    AddNumber(app, "--power-loss-during-erase", config.faults.powerLossDuringErase,
              "Lose power half way through the Nth sector erase (counted from 1): the sector is "
              "left half erased, no answer, back to the boot ROM");
    uint16_t deviceId = 0, makerId = 0;
    auto* deviceOpt =
        AddNumber(app, "--device-id", deviceId, "The flash answers this device code instead");
    auto* makerOpt =
        AddNumber(app, "--maker-id", makerId, "The flash answers this maker code instead");
    app.add_flag("--no-flash", config.faults.noFlash,
                 "Nothing on the bus: the codes read 0xFFFF / 0xFFFF");
    app.add_flag("--mismatched-parts", config.faults.mismatchedParts,
                 "On a 32-bit bus the second part answers other codes");
    AddNumber(app, "--claim-flash-size", config.faults.claimedFlashSize,
              "The EPOpen answer claims a part of BYTES bytes (the flash keeps its own size)")
        ->type_name("BYTES");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end well; every refusal is a bad option.
        return app.exit(e) == 0 ? 0 : 2;
    }

    if (listParts) {
        for (const FlashPart& part : FlashPartTable()) {
            std::printf("%-14s %-9s device 0x%04X maker 0x%04X size 0x%06X %c\n", part.name.c_str(),
                        part.maker.c_str(), part.deviceId, part.makerId, part.size,
                        part.commandSet);
        }
        return 0;
    }
    if (FindFlashPart(config.part) == nullptr) {
        std::fprintf(stderr, "zelvar-receiver: unknown flash part \"%s\" (see --list-parts)\n",
                     config.part.c_str());
        return 2;
    }
    if (!clockFailure.empty() && referenceHz != 0) {
        std::fprintf(stderr,
                     "zelvar-receiver: --clock-failure and --reference-clock exclude each other\n");
        return 2;
    }
    std::string error;
    if (!ApplyClock(config, referenceHz, clockForm, clockFailure, &error)) {
        std::fprintf(stderr, "zelvar-receiver: %s\n", error.c_str());
        return 2;
    }
    if (fill >= 0 && !flashFile.empty()) {
        std::fprintf(stderr, "zelvar-receiver: --flash-fill and --flash-file exclude each other\n");
        return 2;
    }
    if (fill >= 0) {
        config.flashInit = FlashInit::Fill;
        config.flashFill = static_cast<uint8_t>(fill);
    }
    if (!flashFile.empty()) {
        config.flashInit = FlashInit::File;
        config.flashFile = flashFile;
    }
    config.flashDumpPath = dump;
    const std::pair<std::vector<uint32_t>*, FrameFault> lists[] = {
        {&nak, FrameFault::Nak},
        {&corrupt, FrameFault::CorruptAnswer},
        {&drop, FrameFault::DropAnswer},
        {&wrongCode, FrameFault::WrongCode},
        {&trailing, FrameFault::TrailingByte},
        {&stall, FrameFault::Stall},
        {&oversize, FrameFault::OversizeAnswer},
    };
    for (const auto& [frames, fault] : lists) {
        for (uint32_t n : *frames) {
            if (n == 0) {
                std::fprintf(stderr, "zelvar-receiver: frames are counted from 1\n");
                return 2;
            }
            if (!config.faults.frames.emplace(n, fault).second) {
                std::fprintf(stderr, "zelvar-receiver: frame %u has two faults\n", n);
                return 2;
            }
        }
    }
    if (*eraseOpt) config.faults.eraseFailSector = eraseFail;
    if (*writeOpt) config.faults.writeFailAddress = writeFail;
    if (*deviceOpt || *makerOpt) {
        const FlashPart* part = FindFlashPart(config.part);
        config.faults.overrideIds = true;
        config.faults.deviceId = *deviceOpt ? deviceId : part->deviceId;
        config.faults.makerId = *makerOpt ? makerId : part->makerId;
    }

    // Signals are taken synchronously by the main thread; block them before
    // the serving thread starts so that it inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    PtyReceiver receiver;
    if (!receiver.Start(config, &error)) {
        std::fprintf(stderr, "zelvar-receiver: %s\n", error.c_str());
        return 1;
    }
    if (verbose) {
        receiver.WithReceiver([](Receiver& r) {
            r.SetLog([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
        });
    }
    if (!link.empty()) {
        struct stat existing {};
        if (lstat(link.c_str(), &existing) == 0) {
            if (!S_ISLNK(existing.st_mode)) {
                std::fprintf(stderr, "zelvar-receiver: %s exists and is not a symbolic link\n",
                             link.c_str());
                return 1;
            }
            unlink(link.c_str());
        }
        if (symlink(receiver.SlavePath().c_str(), link.c_str()) != 0) {
            std::fprintf(stderr, "zelvar-receiver: cannot link %s: %s\n", link.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    std::printf("%s\n", receiver.SlavePath().c_str());
    std::fflush(stdout);

    int status = 0;
    for (;;) {
        if (once && receiver.Disconnects() >= 1) break;
        const timespec tick{0, 100 * 1000 * 1000};
        const int signal = sigtimedwait(&signals, nullptr, &tick);
        if (signal > 0) break;
    }
    receiver.Stop();
    if (stats) {
        receiver.WithReceiver([](Receiver& r) { PrintLineStats(r.Counters()); });
        const PtyReceiver::LineTiming t = receiver.Timing();
        std::fprintf(stderr,
                     "pty: %llu writes, late by %.3f ms in all (at most %.3f ms); host's turn "
                     "%.3f ms in all over %llu answers\n",
                     static_cast<unsigned long long>(t.writes), t.lateMs, t.maxLateMs, t.turnMs,
                     static_cast<unsigned long long>(t.turns));
    }
    if (!dump.empty()) {
        receiver.WithReceiver([&](Receiver& r) {
            if (!r.WriteFlashFile(dump, &error)) {
                std::fprintf(stderr, "zelvar-receiver: %s\n", error.c_str());
                status = 1;
            }
        });
    }
    if (!link.empty()) unlink(link.c_str());
    return status;
}
