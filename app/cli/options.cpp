// SPDX-License-Identifier: Apache-2.0
#include "app/cli/options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "app/cli/baud_choice.h"
#include "app/report/report.h"
#include "zelvar_version.h"

namespace {

// Option groups of --help.
constexpr const char* GROUP_UPDATE = "Update";
constexpr const char* GROUP_INSPECTION = "Inspection";
constexpr const char* GROUP_SIMULATION = "Simulation";
constexpr const char* GROUP_OUTPUT = "Output";

constexpr const char* EXIT_TEXT =
    "Exit status: 0 after \"Download Finish\" (or a servicing run that did what it was\n"
    "asked); 1 when the run failed after the receiver's flash was changed (erased or\n"
    "written): update it again; 2 when the run ended with the flash unchanged (refused:\n"
    "not the handheld, no external power, already running, bad options or files; or\n"
    "failed before the first erase or write): fix the cause and run again; 3 when\n"
    "--verify finds the flash other than the image; 130 when stopped (SIGINT, SIGTERM,\n"
    "SIGHUP, SIGQUIT) with the flash unchanged: the board is restored, the link closed\n"
    "and the temporary image removed. From the first erase or write until the outcome\n"
    "is known, stopping is refused and the update finishes, also when the terminal\n"
    "goes away. With several ports: 1 when any receiver was left incomplete, else 130\n"
    "when a run was stopped and none finished, else 3 when any differs, else 2 when\n"
    "any ended with its flash unchanged, else 0. With several ports, --backup, --read\n"
    "and --trace must name a file per port with {port} (the port's name, as ttyUSB0);\n"
    "--firmware may too, to flash each port its own file.";

// An empty value would quietly stand for "not asked": a script's
// --backup "$F" with F unset must not erase an unsaved flash.
const CLI::Validator NonEmpty(
    [](std::string& value) { return value.empty() ? std::string("empty value") : std::string(); },
    "", "NONEMPTY");

bool ArgumentsAskForJson(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--") break;
        if (std::string(argv[i]) == "--json") return true;
    }
    return false;
}

// The ports named on a command line that did not parse, for the refusal's
// report: one per port, as a run that parsed would give.
std::vector<std::string> ArgumentPorts(int argc, char** argv) {
    std::vector<std::string> ports;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        if ((arg == "-p" || arg == "--port") && i + 1 < argc) {
            ports.emplace_back(argv[++i]);
        } else if (arg.rfind("--port=", 0) == 0) {
            ports.push_back(arg.substr(7));
        } else if (arg.size() > 2 && arg.rfind("-p", 0) == 0 && arg[2] != '-') {
            ports.push_back(arg.substr(2));
        }
    }
    return ports;
}

int ActionOf(const CliOptions& o) {
    if (o.info) return UPDATE_ACTION_IDENTIFY;
    if (o.verify) return o.readBack ? UPDATE_ACTION_VERIFY_BYTES : UPDATE_ACTION_VERIFY;
    if (!o.read.empty()) return UPDATE_ACTION_READ;
    return UPDATE_ACTION_UPDATE;
}

nlohmann::json RefusalJson(const CliOptions& o, const std::string& port,
                           const std::string& reason) {
    RunReport report;
    report.port = port;
    report.result = UpdateRefusal(ActionOf(o), "Options", reason.c_str(), "");
    return ReportJson(report);
}

constexpr int NOT_STARTED = 2;

// Puts the ports in the order given, each with the --boot-pin that follows it.
std::string PairPins(const CLI::App& app, const std::vector<std::string>& ports,
                     const std::vector<std::string>& pins, std::vector<PortSpec>* out) {
    size_t port = 0;
    size_t pin = 0;
    for (const CLI::Option* option : app.parse_order()) {
        if (option->get_name() == "--port") {
            out->push_back({ports[port++], ""});
        } else if (option->get_name() == "--boot-pin") {
            if (out->empty()) return "--boot-pin goes after the --port it belongs to";
            if (!out->back().bootPin.empty()) {
                return "the port " + out->back().port + " has two --boot-pin";
            }
            out->back().bootPin = pins[pin++];
        }
    }
    for (size_t i = 0; i < out->size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if ((*out)[i].port == (*out)[j].port) {
                return "the port " + (*out)[i].port + " is given twice";
            }
        }
    }
    return "";
}

// --list-ports runs nothing: any option that asks for a port or a run would
// be ignored, so it is refused with its name.
std::string ListPortsConflicts(const CLI::App& app) {
    std::vector<std::string> names;
    for (const CLI::Option* option : app.parse_order()) {
        const std::string name = option->get_name();
        if (name == "--list-ports" || name == "--json") continue;
        if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    if (names.empty()) return "";
    std::string list;
    for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
    const std::string why =
        "--list-ports only lists the serial devices and takes no other option but --json; ";
    return why + "leave out " + list;
}

// With several ports every file written must be one per port; --firmware
// may be one for all or one per port.
std::string CheckPerPortFiles(const CliOptions& o) {
    if (o.ports.size() < 2) return "";
    const std::pair<const char*, const std::string*> files[] = {
        {"--backup", &o.backup}, {"--read", &o.read}, {"--trace", &o.trace}};
    for (const auto& [name, value] : files) {
        if (value->empty()) continue;
        if (*value == "-") {
            return std::string(name) +
                   " - with several ports would mix their lines; name a file with {port}";
        }
        if (value->find(PORT_PLACEHOLDER) == std::string::npos) {
            return std::string(name) + " " + *value +
                   " would be one file for several ports; put {port} in its name (e.g. "
                   "flash-{port}.s)";
        }
    }
    // Two ports of one name would share a {port} file; with none asked for
    // they share nothing.
    bool perPort = o.firmware.find(PORT_PLACEHOLDER) != std::string::npos;
    for (const auto& file : files) perPort |= !file.second->empty();
    if (!perPort) return "";
    for (size_t i = 0; i < o.ports.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (PortFileName(o.ports[i].port) == PortFileName(o.ports[j].port)) {
                return "the ports " + o.ports[j].port + " and " + o.ports[i].port +
                       " give {port} the same name";
            }
        }
    }
    return "";
}

}  // namespace

int RefuseRun(const CliOptions& o, const std::string& reason, int status) {
    std::fprintf(stderr, "zelvar: %s\n", reason.c_str());
    if (!o.json) return status;
    if (o.ports.size() > 1) {
        // The document a several-ports run gives: one report per port.
        nlohmann::json reports = nlohmann::json::array();
        for (const PortSpec& p : o.ports) reports.push_back(RefusalJson(o, p.port, reason));
        std::printf("%s\n", reports.dump().c_str());
    } else {
        const std::string port = o.simulate ? "simulated" : o.ports.empty() ? "" : o.ports[0].port;
        std::printf("%s\n", RefusalJson(o, port, reason).dump().c_str());
    }
    std::fflush(stdout);
    return status;
}

std::string PortFileName(const std::string& port) {
    const size_t slash = port.find_last_of('/');
    std::string name = slash == std::string::npos ? port : port.substr(slash + 1);
    for (char& c : name) {
        if (c == ':' || c == '\\') c = '_';
    }
    return name;
}

std::string ForPort(const std::string& path, const std::string& port) {
    std::string out = path;
    const std::string name = PortFileName(port);
    for (size_t at = out.find(PORT_PLACEHOLDER); at != std::string::npos;
         at = out.find(PORT_PLACEHOLDER, at + name.size())) {
        out.replace(at, std::string(PORT_PLACEHOLDER).size(), name);
    }
    return out;
}

bool ReadOnlyRun(const CliOptions& o) {
    return o.info || o.verify || !o.read.empty();
}

int ParseOptions(int argc, char** argv, CliOptions* options) {
    CliOptions& o = *options;
    CLI::App app{
        "zelvar: updates the firmware of the handheld's GPS receiver with the image it carries.\n"
        "It takes the receiver from its boot ROM to a running flash agent, erases and programs\n"
        "its flash, and proves the result with a CRC-16.",
        "zelvar"};
    app.footer(EXIT_TEXT);
    app.set_version_flag("--version", std::string("zelvar ") + ZelvarVersion());

    std::vector<std::string> ports;
    std::vector<std::string> pins;
    // Update.
    auto* firmware = app.add_option("--firmware", o.firmware,
                                    "Flash FILE instead of the built-in image: S-records, Intel "
                                    "HEX (.hex, .ihx) or raw binary (.bin) from address 0 (with "
                                    "--verify: verify against FILE); with several ports {port} "
                                    "in FILE names a file per port")
                         ->type_name("FILE")
                         ->check(NonEmpty)
                         ->group(GROUP_UPDATE);
    auto* backup = app.add_option("--backup", o.backup,
                                  "Before erasing, read the whole flash, prove it with the "
                                  "receiver's CRC and write all of it to FILE (S-records; Intel "
                                  "HEX for .hex or .ihx; raw bytes for .bin)")
                       ->type_name("FILE")
                       ->check(NonEmpty)
                       ->group(GROUP_UPDATE);
    auto* read = app.add_option("--read", o.read,
                                "Only read the whole flash, prove it with the receiver's CRC and "
                                "write all of it to FILE (S-records; Intel HEX for .hex or .ihx; "
                                "raw bytes for .bin); nothing is erased")
                     ->type_name("FILE")
                     ->check(NonEmpty)
                     ->group(GROUP_INSPECTION);
    app.add_flag("--force", o.force, "Let --backup, --read or --trace replace an existing FILE")
        ->group(GROUP_UPDATE);
    auto* simulate =
        app.add_flag("--simulate", o.simulate, "Update the built-in simulated handheld")
            ->group(GROUP_SIMULATION);
    auto* port = app.add_option("-p,--port", ports,
                                "Serial device of a receiver (the board's port driver); given "
                                "several times, those receivers are updated at once. Default: "
                                "$ZELVAR_PORT")
                     ->type_name("DEVICE")
                     ->check(NonEmpty)
                     ->expected(1)
                     ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
                     ->group(GROUP_UPDATE);
    app.add_option("--boot-pin", pins,
                   "GPIO line that plays the update pin, as CHIP:LINE (libgpiod), for the --port "
                   "before it; without it the pin steps do nothing")
        ->type_name("CHIP:LINE")
        ->check(NonEmpty)
        ->needs(port)
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->group(GROUP_UPDATE);
    simulate->excludes(port);
    app.add_option("-b,--baud", o.baud,
                   "Operating rate after the boot stage (default 115200); taken where the "
                   "receiver's chip keeps within 2% of it")
        ->type_name("RATE")
        ->check(CLI::Range(1u, 100000000u))
        ->group(GROUP_UPDATE);
    app.add_option("--retries", o.retries,
                   "Send a request again up to N times after its exchange failed on the line "
                   "(NAK, no or corrupt answer), once the line is quiet (default 0: never)")
        ->type_name("N")
        ->check(CLI::Range(0u, 100u))
        ->group(GROUP_UPDATE);
    app.add_option("--boot-lines", o.bootLines,
                   "Drive the port's DTR/RTS lines to enter the boot ROM before the first stage "
                   "and to leave it after the outcome: ENTRY[:EXIT], steps by commas 100 ms "
                   "apart, dtr, rts, -dtr, -rts, '&' joins lines changed together (e.g. "
                   "'dtr&rts,-rts:-dtr&rts,-rts')")
        ->type_name("ENTRY[:EXIT]")
        ->check(NonEmpty)
        ->group(GROUP_UPDATE);
    app.add_flag("--allow-battery", o.allowBattery,
                 "Update on battery power too (--info, --verify and --read never need external "
                 "power)")
        ->group(GROUP_UPDATE);
    // Inspection.
    auto* info = app.add_flag("--info", o.info,
                              "Identify the receiver: its agent's version, chip id and flash "
                              "(part, maker, size, bus width, sector runs); nothing is written")
                     ->group(GROUP_INSPECTION);
    auto* verify =
        app.add_flag("--verify", o.verify,
                     "Compare the receiver's CRC-16 of its flash with the image's (the built-in "
                     "one or --firmware); nothing is written. Status 0 when they agree, 3 when "
                     "they differ, 2 when the receiver could not be asked")
            ->group(GROUP_INSPECTION);
    auto* readBack = app.add_flag("--read-back", o.readBack,
                                  "With --verify: read the image's length back and compare every "
                                  "byte; status 3 names the first differing address and the count")
                         ->needs(verify)
                         ->group(GROUP_INSPECTION);
    (void)readBack;
    app.add_flag("--list-ports", o.listPorts,
                 "List the serial devices with what the system knows of them (driver, USB "
                 "vendor:product, serial number) and exit")
        ->group(GROUP_INSPECTION);
    info->excludes(verify)->excludes(firmware)->excludes(backup)->excludes(read);
    verify->excludes(backup)->excludes(read);
    read->excludes(backup)->excludes(firmware);
    // Simulation.
    app.add_flag("--sim-battery", o.simBattery, "Simulated handheld runs on battery")
        ->needs(simulate)
        ->group(GROUP_SIMULATION);
    app.add_option("--sim-part", o.simPart, "Flash part of the simulated receiver")
        ->check(NonEmpty)
        ->needs(simulate)
        ->capture_default_str()
        ->group(GROUP_SIMULATION);
    app.add_option("--sim-bus", o.simBus, "Data bus width of its flash, 16 or 32")
        ->check(NonEmpty)
        ->check(CLI::IsMember({16u, 32u}))
        ->needs(simulate)
        ->capture_default_str()
        ->group(GROUP_SIMULATION);
    app.add_option("--sim-flash-dump", o.simFlashDump,
                   "Write the simulated receiver's flash to FILE at the end")
        ->check(NonEmpty)
        ->needs(simulate)
        ->group(GROUP_SIMULATION);
    app.add_flag("--sim-blank", o.simBlank,
                 "Its flash starts erased (by default it holds an older firmware)")
        ->needs(simulate)
        ->group(GROUP_SIMULATION);
    app.add_flag("--sim-wire-timing", o.simWireTiming,
                 "Simulated line takes real time per byte at its rate")
        ->needs(simulate)
        ->group(GROUP_SIMULATION);
    app.add_flag("--sim-running-firmware", o.simRunningFirmware,
                 "The receiver sits on a desk running its firmware: not wired to the update "
                 "pin, DTR drives its boot-select input and RTS its reset (see --boot-lines)")
        ->needs(simulate)
        ->group(GROUP_SIMULATION);
    app.add_option("--sim-bit-error-rate", o.simBitErrorRate,
                   "Flip each bit on the simulated line with probability P (see --retries)")
        ->type_name("P")
        ->check(CLI::Range(0.0, 1.0))
        ->needs(simulate)
        ->group(GROUP_SIMULATION);
    app.add_option("--sim-seed", o.simSeed, "Seed of the simulated line's noise (default 1)")
        ->type_name("N")
        ->needs(simulate)
        ->group(GROUP_SIMULATION);
    // Output.
    app.add_flag("--no-wait", o.noWait,
                 "Do not wait for Enter after each message, even on a terminal")
        ->group(GROUP_OUTPUT);
    app.add_option("--trace", o.trace,
                   "One line per exchange with the receiver to FILE ('-' for standard error): "
                   "time, rate, request and its fields, answer and status, NAKs and time-outs")
        ->type_name("FILE")
        ->check(NonEmpty)
        ->group(GROUP_OUTPUT);
    app.add_flag("--json", o.json,
                 "Instead of the human lines, one JSON document on standard output at the end")
        ->group(GROUP_OUTPUT);
    // The several-ports parent's channel to each child; not for people.
    app.add_option("--report-fd", o.reportFd)->group("");

    const bool json = ArgumentsAskForJson(argc, argv);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& success) {
        return app.exit(success);
    } catch (const CLI::ParseError& error) {
        if (json) {
            CliOptions named;
            named.json = true;
            for (const std::string& p : ArgumentPorts(argc, argv)) named.ports.push_back({p, ""});
            return RefuseRun(named, error.what(), NOT_STARTED);
        }
        app.exit(error);
        return NOT_STARTED;
    }
    if (const std::string why = PairPins(app, ports, pins, &o.ports); !why.empty()) {
        // Each port named still gets its refusal.
        o.ports.clear();
        for (const std::string& p : ports) o.ports.push_back({p, ""});
        return RefuseRun(o, why, NOT_STARTED);
    }
    if (const std::string why = ListPortsConflicts(app); o.listPorts && !why.empty()) {
        return RefuseRun(o, why, NOT_STARTED);
    }
    if (o.force && o.backup.empty() && o.read.empty() && o.trace.empty()) {
        return RefuseRun(o, "--force needs --backup, --read or --trace", NOT_STARTED);
    }
    if (o.ports.size() > MAX_PORTS) {
        return RefuseRun(o, "at most " + std::to_string(MAX_PORTS) + " ports at once", NOT_STARTED);
    }
    if (o.ports.empty() && !o.simulate && !o.listPorts) {
        if (const char* fromEnv = std::getenv("ZELVAR_PORT"); fromEnv != nullptr && *fromEnv) {
            o.ports.push_back({fromEnv, ""});
        }
    }
    if (o.baud != 0 && !BaudUsable(o.baud)) {
        return RefuseRun(o,
                         "no receiver runs at " + std::to_string(o.baud) +
                             " baud; rates that work: " + UsableBaudList(),
                         NOT_STARTED);
    }
    if (!o.bootLines.empty()) {
        char why[160];
        if (BootLinesParse(o.bootLines.c_str(), &o.bootLinesParsed, why, sizeof why) != 1) {
            return RefuseRun(o, std::string("--boot-lines: ") + why, NOT_STARTED);
        }
    }
    if (const std::string why = CheckPerPortFiles(o); !why.empty()) {
        return RefuseRun(o, why, NOT_STARTED);
    }
    if (o.reportFd >= 0 && o.ports.size() != 1) {
        return RefuseRun(o, "--report-fd is for one port", NOT_STARTED);
    }
    return -1;
}

std::vector<std::string> ChildArguments(const CliOptions& o, size_t index, int reportFd) {
    const PortSpec& spec = o.ports[index];
    std::vector<std::string> args{"zelvar"};
    auto value = [&args](const char* name, const std::string& v) {
        if (!v.empty()) args.insert(args.end(), {name, v});
    };
    auto flag = [&args](const char* name, bool on) {
        if (on) args.emplace_back(name);
    };
    args.insert(args.end(), {"--port", spec.port});
    value("--boot-pin", spec.bootPin);
    value("--firmware", ForPort(o.firmware, spec.port));
    value("--backup", ForPort(o.backup, spec.port));
    value("--read", ForPort(o.read, spec.port));
    value("--trace", ForPort(o.trace, spec.port));
    flag("--force", o.force);
    flag("--info", o.info);
    flag("--verify", o.verify);
    flag("--read-back", o.readBack);
    flag("--allow-battery", o.allowBattery);
    flag("--json", o.json);
    if (o.baud != 0) value("--baud", std::to_string(o.baud));
    if (o.retries != 0) value("--retries", std::to_string(o.retries));
    value("--boot-lines", o.bootLines);
    args.emplace_back("--no-wait");
    value("--report-fd", std::to_string(reportFd));
    return args;
}
