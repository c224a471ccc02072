// SPDX-License-Identifier: Apache-2.0
#include "app/cli/preflight.h"

#include <vector>

#include "platform/posix/input_file.h"
#include "platform/posix/output_file.h"
#include "receiver/flash/flash_parts.h"
#include "update/update.h"

namespace {

Preflight Refusal(const char* step, const std::string& message) {
    Preflight result;
    result.refused = true;
    result.step = step;
    result.message = message;
    return result;
}

}  // namespace

int ActionOf(const CliOptions& o) {
    if (o.info) return UPDATE_ACTION_IDENTIFY;
    if (o.verify) return o.readBack ? UPDATE_ACTION_VERIFY_BYTES : UPDATE_ACTION_VERIFY;
    if (!o.read.empty()) return UPDATE_ACTION_READ;
    return UPDATE_ACTION_UPDATE;
}

Preflight PlanRun(const CliOptions& options) {
    if (!options.simulate && options.ports.empty()) {
        Preflight result = Refusal("CheckPortDriver", "Sorry! Only for Tervalon Version!");
        result.notHandheld = true;
        return result;
    }
    // No output replaces a file without --force, follows a link, or is the
    // firmware file or another output.
    std::vector<PosixRunFile> inputs;
    std::vector<PosixRunFile> outputs;
    if (!options.firmware.empty()) inputs.push_back({options.firmware, "--firmware"});
    if (!options.backup.empty()) outputs.push_back({options.backup, "--backup"});
    if (!options.read.empty()) outputs.push_back({options.read, "--read"});
    if (!options.trace.empty()) outputs.push_back({options.trace, "--trace", true});
    if (std::string why; !PosixCheckRunFiles(inputs, outputs, options.force, &why)) {
        return Refusal("Options", why + ". Nothing was done.");
    }

    Preflight result;
    RunPlan& plan = result.plan;
    plan.action = ActionOf(options);
    if (!options.firmware.empty()) {
        // Never blocks on a FIFO, and a file larger than any flash is refused
        // from its size, before it is read.
        std::vector<uint8_t> bytes;
        std::string error;
        if (!PosixReadInputFile(options.firmware.c_str(), FIRMWARE_FILE_MAX_BYTES, &bytes,
                                &error)) {
            return Refusal("FirmwareFile", options.firmware + ": " + error + ". Nothing was done.");
        }
        FirmwareReport why{};
        if (!LoadFirmware(bytes.data(), static_cast<uint32_t>(bytes.size()),
                          options.firmware.c_str(), &plan.firmware, &why)) {
            std::string where = options.firmware;
            if (why.line != 0) where += " line " + std::to_string(why.line);
            return Refusal("FirmwareFile", where + ": " + why.reason + ". Nothing was done.");
        }
    }

    if (options.simulate) {
        if (FindFlashPart(options.simPart) == nullptr) {
            return Refusal("Options", "the simulated receiver has no flash part '" +
                                          options.simPart +
                                          "' ('zelvar-receiver --list-parts' lists them)");
        }
        plan.port = "simulated";
        HandheldSimConfig& sim = plan.sim;
        sim.receiver.part = options.simPart;
        if (!options.simBlank) {
            // An older firmware: the update must erase before it writes.
            sim.receiver.flashInit = FlashInit::Fill;
            sim.receiver.flashFill = 0x00;
        }
        sim.receiver.busWidth = options.simBus;
        sim.receiver.wireTiming = options.simWireTiming;
        sim.deskWiring = options.simRunningFirmware;
        sim.receiver.bitErrorRate = options.simBitErrorRate;
        sim.receiver.noiseSeed = options.simSeed;
        sim.acLineStatus = options.simBattery ? 0 : 1;
        return result;
    }
    plan.port = options.ports[0].port;
    plan.board.port = plan.port;
    const std::string& pin = options.ports[0].bootPin;
    if (!pin.empty() && !ParseBootPin(pin, &plan.board.gpioChip, &plan.board.gpioLine)) {
        return Refusal("Options", "--boot-pin wants CHIP:LINE, got '" + pin + "'");
    }
    return result;
}
