// SPDX-License-Identifier: Apache-2.0
// The serial table over Web Serial. Each call awaits the JavaScript half
// (web_serial.js) through Asyncify, so a read that waits suspends the caller
// and leaves the page responsive.
#include <emscripten.h>

#include <cstdio>

#include "platform/web/web.h"

namespace {

// clang-format off
EM_ASYNC_JS(int, JsOpen, (uint32_t baud), {
    return await ZelvarWebSerial.open(baud);
});
EM_ASYNC_JS(int, JsSetBaud, (uint32_t baud), {
    return await ZelvarWebSerial.setBaud(baud);
});
EM_ASYNC_JS(int, JsRead, (uint8_t* buffer, uint32_t length, uint32_t intervalMs,
                          uint32_t constantMs, uint32_t multiplierMs), {
    const bytes = await ZelvarWebSerial.read(length, intervalMs, constantMs, multiplierMs);
    HEAPU8.set(bytes, buffer);
    return bytes.length;
});
// What a read would return at once, without suspending: -1 unless all of it
// is here already (then a suspension is only a cost, several per exchange).
EM_JS(int, JsTakeBuffered, (uint8_t* buffer, uint32_t length), {
    if (ZelvarWebSerial.buffered < length) return -1;
    return ZelvarWebSerial.take(HEAPU8, buffer, length);
});
EM_ASYNC_JS(int, JsWrite, (const uint8_t* buffer, uint32_t length), {
    return await ZelvarWebSerial.write(HEAPU8.slice(buffer, buffer + length));
});
EM_ASYNC_JS(void, JsClose, (), {
    await ZelvarWebSerial.stop();
});
EM_ASYNC_JS(int, JsSetLines, (uint32_t which, uint32_t asserted), {
    return await ZelvarWebSerial.setLines(which, asserted);
});
EM_JS(void, JsCause, (char* out, int size), {
    stringToUTF8(ZelvarWebSerial.cause || "", out, size);
});
// clang-format on

uint32_t OpenBaud = 0;

int Fail() {
    char cause[256];
    JsCause(cause, sizeof cause);
    PlatformCauseSet(0, "Web Serial: %s", cause);
    return 0;
}

int Open(const char* /*deviceName*/, uint32_t baud) {
    OpenBaud = 0;
    if (JsOpen(baud) == 0) return Fail();
    OpenBaud = baud;
    return 1;
}

int SetBaud(uint32_t baud) {
    if (baud == 0 || JsSetBaud(baud) == 0) return Fail();
    OpenBaud = baud;
    return 1;
}

int Read(uint8_t* buffer, uint32_t length, uint32_t* count) {
    *count = 0;
    if (OpenBaud == 0) return 0;
    int got = JsTakeBuffered(buffer, length);
    if (got < 0) {
        got = JsRead(buffer, length, SERIAL_READ_INTERVAL_MS, SERIAL_READ_CONSTANT_MS,
                     SERIAL_READ_MULTIPLIER_MS);
    }
    *count = static_cast<uint32_t>(got);
    return 1;
}

int Write(const uint8_t* buffer, uint32_t length, uint32_t* count) {
    *count = 0;
    const int n = JsWrite(buffer, length);
    if (n < 0) return Fail();
    *count = static_cast<uint32_t>(n);
    return 1;
}

void Close() {
    JsClose();
    OpenBaud = 0;
}

int SetLines(uint32_t which, uint32_t asserted) {
    if (OpenBaud == 0 || JsSetLines(which, asserted) == 0) return Fail();
    return 1;
}

const SerialOps Table{Open, SetBaud, Read, Write, Close, SetLines};

}  // namespace

const SerialOps& WebSerialOps() {
    return Table;
}
bool WebSerialIsOpen() {
    return OpenBaud != 0;
}
uint32_t WebSerialBaud() {
    return OpenBaud;
}
