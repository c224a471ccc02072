// SPDX-License-Identifier: Apache-2.0
#include "app/report/report.h"

#include <cstring>

#include <cstdio>

namespace {

using nlohmann::json;

double Seconds(uint64_t ms) {
    return static_cast<double>(ms) / 1000.0;
}

std::string Hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

json FileJson(const FileFacts& file) {
    return {{"file", file.path},
            {"written", file.written},
            {"bytes", file.bytes},
            {"flash_crc", file.flashCrcKnown ? json(file.flashCrc) : json(nullptr)},
            {"seconds", Seconds(file.ms)}};
}

bool Identified(const UpdateFacts& f) {
    return f.busWidthUnits != 0;
}

}  // namespace

int ReportExitStatus(const RunReport& r) {
    return UpdateExitStatus(r.result);
}

std::string ReportCause(const RunReport& r) {
    std::string cause = r.result.cause;
    if (r.result.osError != 0) {
        cause += (cause.empty() ? "" : ": ") + std::string(std::strerror(r.result.osError));
    }
    if (r.result.detail[0] != '\0')
        cause += (cause.empty() ? "" : "; ") + std::string(r.result.detail);
    return cause;
}

std::vector<std::string> ReportUnderLines(const RunReport& r) {
    std::vector<std::string> lines;
    const std::string cause = ReportCause(r);
    const bool said = !cause.empty() && cause == r.result.message;
    if (!cause.empty() && !said) lines.push_back(cause);
    if (const char* flash = UpdateFlashLine(r.result)) lines.emplace_back(flash);
    if (const char* remedy = UpdateRemedy(r.result)) lines.emplace_back(remedy);
    for (const std::string& what : r.lost) lines.push_back(what + " could not be written");
    return lines;
}

json ReportJson(const RunReport& r) {
    const UpdateFacts& f = r.facts;
    const bool hasImage = r.result.action == UPDATE_ACTION_UPDATE ||
                          r.result.action == UPDATE_ACTION_VERIFY ||
                          r.result.action == UPDATE_ACTION_VERIFY_BYTES;
    json out;
    const UpdateResult& result = r.result;
    const std::string cause = ReportCause(r);
    const char* remedy = UpdateRemedy(result);
    out["outcome"] = UpdateOutcomeName(result);
    out["exit_status"] = UpdateExitStatus(result);
    out["flash_changed"] = result.flashChanged;
    const char* flashLine = UpdateFlashLine(result);
    out["flash_line"] = flashLine != nullptr ? json(flashLine) : json(nullptr);
    out["headline"] = UpdateHeadline(result);
    out["failed_step"] = result.step[0] == '\0' ? json(nullptr) : json(result.step);
    out["message"] = result.message[0] == '\0' ? json(nullptr) : json(result.message);
    out["cause"] = cause.empty() ? json(nullptr) : json(cause);
    out["remedy"] = remedy != nullptr ? json(remedy) : json(nullptr);
    out["agent_left_running"] = result.agentLeftRunning;
    out["retries"] = result.retries;
    out["port"] = r.port;
    if (Identified(f)) {
        out["part"] = f.partName;
        out["maker"] = f.makerName;
        out["flash_size"] = f.flashBytes;
        out["bus_width"] = f.busWidthUnits * 16;
    } else {
        for (const char* key : {"part", "maker", "flash_size", "bus_width"}) out[key] = nullptr;
    }
    out["image_length"] = hasImage && r.workerRan ? json(f.imageLength) : json(nullptr);
    out["image_crc"] = hasImage && f.imageLength != 0 ? json(f.imageCrc) : json(nullptr);
    out["receiver_crc"] = f.receiverCrcRead ? json(f.receiverCrc) : json(nullptr);
    out["bytes_written"] = r.workerRan ? json(f.bytesWritten) : json(nullptr);
    out["seconds"] = {{"boot", Seconds(f.bootMs)},
                      {"erase", Seconds(f.eraseMs)},
                      {"write", Seconds(f.writeMs)},
                      {"verify", Seconds(f.verifyMs)}};
    if (r.result.action == UPDATE_ACTION_IDENTIFY && Identified(f)) {
        out["agent_version"] = f.agentVersion;
        out["chip_id"] = f.chipId;
        out["device_id"] = f.deviceId;
        out["maker_id"] = f.makerId;
        json runs = json::array();
        for (uint8_t i = 0; i < f.sectorSetCount; ++i) {
            runs.push_back({{"count", f.sectorSets[i].SectorCount},
                            {"size", f.sectorSets[i].SectorSize * f.busWidthUnits}});
        }
        out["sector_runs"] = runs;
    }
    if (r.result.action == UPDATE_ACTION_VERIFY_BYTES) {
        out["bytes_compared"] = f.bytesCompared;
        out["differing_bytes"] = f.differingBytes;
        out["first_difference"] = f.differingBytes != 0 ? json(f.firstDifference) : json(nullptr);
    }
    if (!r.backup.path.empty()) out["backup"] = FileJson(r.backup);
    if (!r.read.path.empty()) out["read"] = FileJson(r.read);
    if (r.adapterLatencyMs > 1) out["adapter_latency_ms"] = r.adapterLatencyMs;
    if (!r.lost.empty()) out["lost_output"] = r.lost;
    return out;
}

void PrintReportLines(const RunReport& r, FILE* out, bool phaseTimes) {
    const UpdateFacts& f = r.facts;
    const UpdateResult& result = r.result;
    if (r.result.action == UPDATE_ACTION_IDENTIFY && Identified(f)) {
        std::fprintf(out, "Agent version: %s\n", f.agentVersion);
        std::fprintf(out, "Chip id: %u\n", static_cast<unsigned>(f.chipId));
        std::fprintf(out, "Flash part: %s, maker %s (device 0x%04X, maker 0x%04X)\n", f.partName,
                     f.makerName, f.deviceId, f.makerId);
        std::fprintf(out, "Flash size: %u bytes on a %u-bit bus\n", f.flashBytes,
                     f.busWidthUnits * 16);
        std::fprintf(out, "Sector runs:");
        for (uint8_t i = 0; i < f.sectorSetCount; ++i) {
            std::fprintf(out, "%s %u x 0x%X", i == 0 ? "" : ",", f.sectorSets[i].SectorCount,
                         f.sectorSets[i].SectorSize * f.busWidthUnits);
        }
        std::fprintf(out, "\n");
    }
    if (r.result.action == UPDATE_ACTION_VERIFY && f.receiverCrcRead) {
        std::fprintf(out, "Image CRC-16:    %s over %u bytes\n", Hex16(f.imageCrc).c_str(),
                     f.imageLength);
        std::fprintf(out, "Receiver CRC-16: %s\n", Hex16(f.receiverCrc).c_str());
        if (result.outcome == UPDATE_OUTCOME_FINISHED) {
            std::fprintf(out,
                         "Verified: the CRCs agree. A CRC-16 match is a check, not a proof that "
                         "every byte is the image's.\n");
        } else {
            std::fprintf(out, "Differs: the receiver's flash does not hold this image.\n");
        }
    }
    if (r.result.action == UPDATE_ACTION_VERIFY_BYTES && f.bytesCompared == f.imageLength &&
        f.imageLength != 0) {
        if (f.differingBytes == 0) {
            std::fprintf(out, "Verified: all %u bytes of the image read back equal.\n",
                         f.imageLength);
        } else {
            std::fprintf(out, "Differs: %u of %u bytes differ; the first at address 0x%08X.\n",
                         f.differingBytes, f.imageLength, f.firstDifference);
        }
    }
    if (r.backup.written) {
        std::fprintf(
            out, "Backup: %u bytes of %u written to %s (receiver CRC-16 of the flash %s)\n",
            r.backup.bytes, f.flashBytes, r.backup.path.c_str(), Hex16(r.backup.flashCrc).c_str());
    }
    if (r.read.written) {
        std::fprintf(out, "Read: %u bytes of %u written to %s (receiver CRC-16 of the flash %s)\n",
                     r.read.bytes, f.flashBytes, r.read.path.c_str(),
                     Hex16(r.read.flashCrc).c_str());
    }
    if (result.retries != 0) {
        std::fprintf(out, "Retries: %u exchanges were sent again; the line is noisy.\n",
                     static_cast<unsigned>(result.retries));
    }
    if (phaseTimes && r.workerRan) {
        std::fprintf(out, "Times: boot %.1f s", Seconds(f.bootMs));
        if (!r.backup.path.empty()) std::fprintf(out, ", backup %.1f s", Seconds(r.backup.ms));
        if (!r.read.path.empty()) std::fprintf(out, ", read %.1f s", Seconds(r.read.ms));
        std::fprintf(out, ", erase %.1f s, write %.1f s, verify %.1f s\n", Seconds(f.eraseMs),
                     Seconds(f.writeMs), Seconds(f.verifyMs));
    }
    std::fflush(out);
}
