// SPDX-License-Identifier: Apache-2.0
// What the page shows beside the run itself: the firmware it carries (for
// the main button's name) and the facts the run has gathered so far (for the
// phase, byte and rate readouts while it goes, and the details at its end).
// Facts only: the outcome, its cause and remedy stay the core's report.
#include <emscripten.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "image/image.h"
#include "payloads/payloads.h"
#include "update/update.h"

#ifndef ZELVAR_FIRMWARE_VERSION
#define ZELVAR_FIRMWARE_VERSION ""
#endif
#ifndef ZELVAR_PROGRAM_VERSION
#define ZELVAR_PROGRAM_VERSION ""
#endif

extern "C" {

// {"version":"...","length":N,"crc":N} of the built-in image (length 0 when
// its text does not parse: the update then says so itself), and the
// program's own version for the trace's header.
EMSCRIPTEN_KEEPALIVE const char* ZelvarWebFirmware() {
    static std::string json;
    if (!json.empty()) return json.c_str();
    std::vector<uint8_t> image(FirmwareSRecordTextLength / 2 + 1);
    const uint32_t length = ParseSRecords(reinterpret_cast<const char*>(FirmwareSRecordText),
                                          FirmwareSRecordTextLength, image.data());
    uint16_t crc = 0xFFFF;
    Crc16Update(image.data(), length, crc, &crc);
    json = nlohmann::json{{"version", ZELVAR_FIRMWARE_VERSION},
                          {"length", length},
                          {"crc", crc},
                          {"program_version", ZELVAR_PROGRAM_VERSION}}
               .dump();
    return json.c_str();
}

// The facts of the run going on or last ended, with the report's key names.
EMSCRIPTEN_KEEPALIVE const char* ZelvarWebFacts() {
    static std::string text;
    const UpdateFacts& f = UpdateLastFacts();
    nlohmann::json json{{"phase", UpdatePhase()},
                        {"progress", ProgressPercent()},
                        {"image_length", f.imageLength},
                        {"bytes_written", f.bytesWritten},
                        {"bytes_compared", f.bytesCompared},
                        {"flash_size", f.flashBytes}};
    if (f.busWidthUnits != 0) {
        json["part"] = f.partName;
        json["maker"] = f.makerName;
    }
    if (f.imageLength != 0) json["image_crc"] = f.imageCrc;
    if (f.receiverCrcRead) json["receiver_crc"] = f.receiverCrc;
    json["seconds"] = {{"boot", f.bootMs / 1000.0},
                       {"erase", f.eraseMs / 1000.0},
                       {"write", f.writeMs / 1000.0},
                       {"verify", f.verifyMs / 1000.0}};
    text = json.dump();
    return text.c_str();
}

}  // extern "C"
