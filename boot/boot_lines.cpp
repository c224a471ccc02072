// SPDX-License-Identifier: Apache-2.0
#include "boot/boot_lines.h"

#include <cstdio>
#include <cstring>

#include "link/serial_port.h"
#include "platform/platform.h"

namespace {

bool Same(const char* text, uint32_t length, const char* word) {
    if (std::strlen(word) != length) return false;
    for (uint32_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return true;
}

int Refuse(char* error, uint32_t errorSize, const char* what, const char* text, uint32_t length) {
    if (errorSize > 0) {
        std::snprintf(error, errorSize, "%s \"%.*s\"", what, static_cast<int>(length), text);
    }
    return 0;
}

// One sequence from text[0..length): steps by commas, lines by '&'.
int ParseSequence(const char* text, uint32_t length, BootLineStep* steps, uint32_t* count,
                  char* error, uint32_t errorSize) {
    *count = 0;
    uint32_t at = 0;
    while (at <= length) {
        uint32_t end = at;
        while (end < length && text[end] != ',') ++end;
        if (*count == BOOT_LINES_MAX_STEPS) {
            return Refuse(error, errorSize, "too many steps (at most 16) in", text, length);
        }
        BootLineStep step{0, 0};
        uint32_t item = at;
        while (item <= end) {
            uint32_t stop = item;
            while (stop < end && text[stop] != '&') ++stop;
            const char* word = text + item;
            uint32_t n = stop - item;
            bool released = false;
            if (n > 0 && word[0] == '-') {
                released = true;
                ++word;
                --n;
            }
            uint32_t line = 0;
            if (Same(word, n, "dtr")) line = SERIAL_LINE_DTR;
            if (Same(word, n, "rts")) line = SERIAL_LINE_RTS;
            if (line == 0) {
                return Refuse(error, errorSize,
                              n == 0 ? "an empty step or line (expected dtr, rts, -dtr or -rts) in"
                                     : "not a line (expected dtr, rts, -dtr or -rts):",
                              n == 0 ? text : text + item, n == 0 ? length : stop - item);
            }
            if ((step.which & line) != 0) {
                return Refuse(error, errorSize, "a line named twice in one step:", text + at,
                              end - at);
            }
            step.which |= line;
            if (!released) step.asserted |= line;
            item = stop + 1;
        }
        steps[(*count)++] = step;
        at = end + 1;
    }
    return 1;
}

BootLines Lines{};
bool LinesSet = false;

}  // namespace

int BootLinesParse(const char* text, BootLines* out, char* error, uint32_t errorSize) {
    if (errorSize > 0) error[0] = '\0';
    *out = BootLines{};
    if (text == nullptr || text[0] == '\0') {
        return Refuse(error, errorSize, "no entry sequence in", "", 0);
    }
    const uint32_t length = static_cast<uint32_t>(std::strlen(text));
    const char* colon = std::strchr(text, ':');
    const uint32_t entryLength = colon != nullptr ? static_cast<uint32_t>(colon - text) : length;
    if (ParseSequence(text, entryLength, out->entry, &out->entryCount, error, errorSize) != 1) {
        return 0;
    }
    if (colon == nullptr) return 1;
    const char* exit = colon + 1;
    if (std::strchr(exit, ':') != nullptr) {
        return Refuse(error, errorSize, "more than one ':' in", text, length);
    }
    if (exit[0] == '\0') return 1;  // an empty exit: none
    return ParseSequence(exit, static_cast<uint32_t>(std::strlen(exit)), out->exit, &out->exitCount,
                         error, errorSize);
}

void BootSetLines(const BootLines* lines) {
    LinesSet = lines != nullptr;
    Lines = lines != nullptr ? *lines : BootLines{};
}

const BootLines* BootLinesInForce() {
    return LinesSet ? &Lines : nullptr;
}

int BootPlayLines(const BootLineStep* steps, uint32_t count) {
    const SerialOps& serial = PlatformSerial();
    for (uint32_t i = 0; i < count; ++i) {
        if (i > 0) DelayMs(BOOT_LINES_STEP_MS);
        if (serial.setLines == nullptr || serial.setLines(steps[i].which, steps[i].asserted) != 1) {
            return 0;
        }
    }
    return 1;
}
