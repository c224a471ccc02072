// SPDX-License-Identifier: Apache-2.0
#include "update/outcome.h"

#include <cstdio>
#include <cstring>

#include "boot/boot.h"
#include "update/update.h"

namespace {

void Copy(char* out, size_t size, const char* text) {
    std::snprintf(out, size, "%s", text != nullptr ? text : "");
}

bool Named(const UpdateResult& r, const char* step) {
    return std::strcmp(r.step, step) == 0;
}

}  // namespace

UpdateResult UpdateRefusal(int action, const char* step, const char* message, const char* cause) {
    UpdateResult result{};
    result.action = action;
    result.outcome = UPDATE_OUTCOME_REFUSED;
    Copy(result.step, sizeof result.step, step);
    Copy(result.message, sizeof result.message, message);
    Copy(result.cause, sizeof result.cause, cause);
    return result;
}

int UpdateExitStatus(const UpdateResult& r) {
    switch (r.outcome) {
        case UPDATE_OUTCOME_FINISHED:
            return UPDATE_EXIT_DONE;
        case UPDATE_OUTCOME_DIFFERS:
            return UPDATE_EXIT_DIFFERS;
        case UPDATE_OUTCOME_STOPPED_BEFORE_LINK:
        case UPDATE_OUTCOME_STOPPED_WITH_LINK:
            return UPDATE_EXIT_STOPPED;
        default:
            // A stop is never taken once the flash is touched, so only a
            // failure can leave it changed.
            return r.flashChanged ? UPDATE_EXIT_FLASH_CHANGED : UPDATE_EXIT_FLASH_UNCHANGED;
    }
}

const char* UpdateOutcomeName(const UpdateResult& r) {
    switch (r.outcome) {
        case UPDATE_OUTCOME_FINISHED:
            switch (r.action) {
                case UPDATE_ACTION_IDENTIFY:
                    return "identified";
                case UPDATE_ACTION_VERIFY:
                case UPDATE_ACTION_VERIFY_BYTES:
                    return "verified";
                case UPDATE_ACTION_READ:
                    return "read";
                default:
                    return "updated";
            }
        case UPDATE_OUTCOME_DIFFERS:
            return "differs";
        case UPDATE_OUTCOME_STOPPED_BEFORE_LINK:
        case UPDATE_OUTCOME_STOPPED_WITH_LINK:
            return "stopped";
        case UPDATE_OUTCOME_FAILED:
            return "failed";
        default:
            return "not started";
    }
}

const char* UpdateHeadline(const UpdateResult& r) {
    switch (r.outcome) {
        case UPDATE_OUTCOME_FINISHED:
            switch (r.action) {
                case UPDATE_ACTION_IDENTIFY:
                    return "The receiver was identified.";
                case UPDATE_ACTION_VERIFY:
                case UPDATE_ACTION_VERIFY_BYTES:
                    return "The receiver's flash holds the image.";
                case UPDATE_ACTION_READ:
                    return "The receiver's flash was read.";
                default:
                    return "The receiver was updated.";
            }
        case UPDATE_OUTCOME_DIFFERS:
            return "The receiver's flash does not hold the image.";
        case UPDATE_OUTCOME_STOPPED_BEFORE_LINK:
        case UPDATE_OUTCOME_STOPPED_WITH_LINK:
            return "Stopped; the receiver's flash was not changed.";
        case UPDATE_OUTCOME_FAILED:
            return r.flashChanged ? "The update failed and left the receiver's flash incomplete."
                                  : "The run failed; the receiver's flash was not changed.";
        case UPDATE_OUTCOME_RATE_REFUSED:
            return "Nothing was done: the receiver cannot run at the rate asked for.";
        default:
            return "Nothing was done: the run was refused.";
    }
}

const char* UpdateFlashLine(const UpdateResult& r) {
    if (r.outcome != UPDATE_OUTCOME_FAILED && r.outcome != UPDATE_OUTCOME_RATE_REFUSED) {
        return nullptr;
    }
    return r.flashChanged
               ? "The receiver's flash is incomplete: update it again before the receiver is used."
               : "The receiver's flash was not changed.";
}

const char* UpdateRemedy(const UpdateResult& r) {
    switch (r.outcome) {
        case UPDATE_OUTCOME_DIFFERS:
            return "Update the receiver to put this image in its flash.";
        case UPDATE_OUTCOME_RATE_REFUSED:
            return "Run again with a rate the receiver's chip takes, or at the usual 115200 baud.";
        case UPDATE_OUTCOME_REFUSED:
            if (Named(r, "PowerStatus")) return "Connect external power, then run again.";
            return nullptr;
        case UPDATE_OUTCOME_FAILED:
            break;
        default:
            return nullptr;
    }
    if (r.flashChanged) {
        return "Power-cycle the receiver in its boot ROM, then run the update again; until then "
               "it does not start.";
    }
    if (r.agentLeftRunning) {
        return "The receiver's flash agent may still be running: power-cycle the receiver (in its "
               "boot ROM) before the next run.";
    }
    if (r.linesFailed) {
        return "Use a serial adapter that drives DTR and RTS, or put the receiver in its boot ROM "
               "by hand and leave the boot lines out.";
    }
    if (Named(r, "OpenReceiver") && !r.receiverAnswered) {
        switch (r.lineFinding) {
            case BOOT_LINE_NMEA:
                return "The receiver is running its firmware: put it in its boot ROM (update pin "
                       "or boot strap set, or the boot lines), then power-cycle it or reset it.";
            case BOOT_LINE_ECHO:
                return "The line returns what is sent: untie TX from RX, or use an adapter that "
                       "does not echo; then wire TX to RX and RX to TX with a common ground.";
            case BOOT_LINE_OTHER:
                return "Something else answers on this line: check that the port is the "
                       "receiver's and that nothing else talks on it.";
            default:
                break;
        }
    }
    if (Named(r, "OpenReceiver")) {
        return r.receiverAnswered
                   ? "The receiver answered, then its boot stage failed: power-cycle it in its "
                     "boot ROM and run again."
                   : "Put the receiver in its boot ROM (update pin set, or the boot strap in "
                     "place, then power-cycled); wire TX to RX and RX to TX with a common ground; "
                     "check that it is powered.";
    }
    return nullptr;
}

int UpdateOverallStatus(const int* statuses, size_t count) {
    bool changed = false, stopped = false, differs = false, unchanged = false, done = false;
    for (size_t i = 0; i < count; ++i) {
        switch (statuses[i]) {
            case UPDATE_EXIT_DONE:
                done = true;
                break;
            case UPDATE_EXIT_FLASH_UNCHANGED:
                unchanged = true;
                break;
            case UPDATE_EXIT_DIFFERS:
                differs = true;
                break;
            case UPDATE_EXIT_STOPPED:
                stopped = true;
                break;
            default:
                changed = true;  // a flash left incomplete, or a status nobody knows
                break;
        }
    }
    if (changed) return UPDATE_EXIT_FLASH_CHANGED;
    if (stopped && !done) return UPDATE_EXIT_STOPPED;
    if (differs) return UPDATE_EXIT_DIFFERS;
    if (unchanged || stopped) return UPDATE_EXIT_FLASH_UNCHANGED;
    return UPDATE_EXIT_DONE;
}

const char* UpdatePowerRefusal(int powerRead, int acLineStatus, int action, bool allowBattery) {
    if (powerRead == 0) return "The power status cannot be read; nothing was done.";
    const bool changesFlash = action == UPDATE_ACTION_UPDATE;
    if (acLineStatus != 1 && changesFlash && !allowBattery) return "Please install AC charger!";
    return nullptr;
}

void UpdateResultLine(const UpdateResult& r, char* out, size_t size) {
    const char* flash = UpdateFlashLine(r);
    const char* remedy = UpdateRemedy(r);
    std::snprintf(out, size, "outcome %s, status %d%s%s%s%s, flash %s%s%s%s%s%s%s%s%s",
                  UpdateOutcomeName(r), UpdateExitStatus(r), r.step[0] != '\0' ? ", step " : "",
                  r.step, r.message[0] != '\0' ? ": " : "", r.message,
                  r.flashChanged ? "changed" : "unchanged", r.cause[0] != '\0' ? "; cause: " : "",
                  r.cause, r.detail[0] != '\0' ? "; " : "", r.detail, flash != nullptr ? "; " : "",
                  flash != nullptr ? flash : "", remedy != nullptr ? "; remedy: " : "",
                  remedy != nullptr ? remedy : "");
}
