// SPDX-License-Identifier: Apache-2.0
// What the page shows beside the run itself: the firmware it carries (for
// the main button's name) and the facts the run has gathered so far (for the
// phase, byte and rate readouts while it goes, and the details at its end).
// Facts only: the outcome, its cause and remedy stay the core's report.
#include <emscripten.h>

#include <cstdio>
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

namespace {

std::string JsonText(const char* text) {
    std::string out = "\"";
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c == '"' || *c == '\\') out += '\\';
        if (static_cast<unsigned char>(*c) < 0x20) continue;
        out += *c;
    }
    return out + "\"";
}

std::string Seconds(uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

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
    json = std::string("{\"version\":") + JsonText(ZELVAR_FIRMWARE_VERSION) +
           ",\"length\":" + std::to_string(length) + ",\"crc\":" + std::to_string(crc) +
           ",\"program_version\":" + JsonText(ZELVAR_PROGRAM_VERSION) + "}";
    return json.c_str();
}

// The facts of the run going on or last ended, with the report's key names.
EMSCRIPTEN_KEEPALIVE const char* ZelvarWebFacts() {
    static std::string json;
    const UpdateFacts& f = UpdateLastFacts();
    json = "{\"phase\":" + std::to_string(UpdatePhase()) +
           ",\"progress\":" + std::to_string(ProgressPercent()) +
           ",\"image_length\":" + std::to_string(f.imageLength) +
           ",\"bytes_written\":" + std::to_string(f.bytesWritten) +
           ",\"bytes_compared\":" + std::to_string(f.bytesCompared) +
           ",\"flash_size\":" + std::to_string(f.flashBytes);
    if (f.busWidthUnits != 0) {
        json += ",\"part\":" + JsonText(f.partName) + ",\"maker\":" + JsonText(f.makerName);
    }
    if (f.imageLength != 0) json += ",\"image_crc\":" + std::to_string(f.imageCrc);
    if (f.receiverCrcRead) json += ",\"receiver_crc\":" + std::to_string(f.receiverCrc);
    json += ",\"seconds\":{\"boot\":" + Seconds(f.bootMs) + ",\"erase\":" + Seconds(f.eraseMs) +
            ",\"write\":" + Seconds(f.writeMs) + ",\"verify\":" + Seconds(f.verifyMs) + "}}";
    return json.c_str();
}

}  // extern "C"
