// SPDX-License-Identifier: Apache-2.0
#include "app/web/sim_options.h"

#include <cstdlib>

namespace {

bool Number(const std::string& text, uint64_t limit, uint64_t* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || text[0] == '-' || value > limit) return false;
    *out = value;
    return true;
}

std::string Decode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct FrameKey {
    const char* name;
    FrameFault fault;
};
const FrameKey FrameKeys[] = {
    {"nak-frame", FrameFault::Nak},
    {"corrupt-answer", FrameFault::CorruptAnswer},
    {"drop-answer", FrameFault::DropAnswer},
    {"wrong-code", FrameFault::WrongCode},
    {"trailing-byte", FrameFault::TrailingByte},
    {"stall", FrameFault::Stall},
    {"oversize-answer", FrameFault::OversizeAnswer},
};

std::string Apply(const std::string& key, const std::string& value, bool hasValue,
                  HandheldSimConfig* config) {
    ReceiverConfig& r = config->receiver;
    ReceiverFaults& f = r.faults;
    uint64_t n = 0;
    const auto number = [&](uint64_t limit) { return hasValue && Number(value, limit, &n); };
    const auto bad = [&] { return "\"" + key + "\" wants a number, not \"" + value + "\""; };
    const auto flag = [&](bool* target) {
        if (hasValue && value != "1" && value != "0") return "\"" + key + "\" is 0 or 1";
        *target = !hasValue || value == "1";
        return std::string();
    };
    for (const FrameKey& k : FrameKeys) {
        if (key != k.name) continue;
        if (!number(UINT32_MAX) || n == 0) return "\"" + key + "\" wants a frame number from 1";
        f.frames[static_cast<uint32_t>(n)] = k.fault;
        return "";
    }
    if (key == "sim" || key == "baud") return "";
    if (key == "stall-ms")
        return number(UINT32_MAX) ? (f.stallMs = static_cast<uint32_t>(n), "") : bad();
    if (key == "erase-fail-sector") {
        return number(INT32_MAX) ? (f.eraseFailSector = static_cast<int64_t>(n), "") : bad();
    }
    if (key == "write-fail-address") {
        return number(INT32_MAX) ? (f.writeFailAddress = static_cast<int64_t>(n), "") : bad();
    }
    if (key == "power-loss-after-write") {
        return number(UINT32_MAX) ? (f.powerLossAfterWrite = static_cast<uint32_t>(n), "") : bad();
    }
    if (key == "power-loss-during-erase") {
        return number(UINT32_MAX) ? (f.powerLossDuringErase = static_cast<uint32_t>(n), "") : bad();
    }
    if (key == "crc-off-by-one") return flag(&f.crcOffByOne);
    if (key == "no-flash") return flag(&f.noFlash);
    if (key == "mismatched-parts") return flag(&f.mismatchedParts);
    if (key == "device-id" || key == "maker-id") {
        if (!number(0xFFFF)) return bad();
        f.overrideIds = true;
        (key == "device-id" ? f.deviceId : f.makerId) = static_cast<uint16_t>(n);
        return "";
    }
    if (key == "part") {
        if (FindFlashPart(value) == nullptr)
            return "the simulated receiver has no flash part \"" + value + "\"";
        r.part = value;
        return "";
    }
    if (key == "bus-width") {
        if (!number(64) || (n != 16 && n != 32)) return "\"bus-width\" is 16 or 32";
        r.busWidth = static_cast<unsigned>(n);
        return "";
    }
    if (key == "flash-fill") {
        if (!number(0xFF)) return bad();
        r.flashInit = FlashInit::Fill;
        r.flashFill = static_cast<uint8_t>(n);
        return "";
    }
    if (key == "blank") {
        bool blank = false;
        std::string error = flag(&blank);
        if (blank) r.flashInit = FlashInit::Erased;
        return error;
    }
    if (key == "battery") {
        bool battery = false;
        std::string error = flag(&battery);
        config->acLineStatus = battery ? 0 : 1;
        return error;
    }
    return "the simulated receiver has no setting \"" + key + "\"";
}

}  // namespace

std::string ParseSimQuery(const std::string& query, HandheldSimConfig* config) {
    // As the handheld's own simulator starts: an older firmware in the flash,
    // so that the update must erase before it writes.
    config->line = HandheldLine::Memory;
    config->receiver.flashInit = FlashInit::Fill;
    config->receiver.flashFill = 0x00;
    size_t start = !query.empty() && query[0] == '?' ? 1 : 0;
    while (start < query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string item = query.substr(start, end - start);
        start = end + 1;
        if (item.empty()) continue;
        const size_t eq = item.find('=');
        const std::string key = Decode(item.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : Decode(item.substr(eq + 1));
        std::string error = Apply(key, value, eq != std::string::npos, config);
        if (!error.empty()) return error;
    }
    return "";
}
