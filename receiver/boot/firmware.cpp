// SPDX-License-Identifier: Apache-2.0
// The receiver's own firmware, as far as the line sees it: once a period a
// position fix as two NMEA sentences, at the firmware's own rate, whatever
// comes in. It knows no frame of the boot protocol.
#include <cstdio>
#include <string>

#include "receiver/state.h"

namespace {

// A host that reads nothing for a long while finds no more than its
// driver's buffer holds; older sentences are gone.
constexpr uint64_t MAX_BACKLOG_BURSTS = 8;
// The fix's clock starts at noon.
constexpr uint64_t FIRST_FIX_SECONDS = 12 * 3600;

// $, the body, * and the XOR of the body's characters in two hex digits, CR LF.
std::string Sentence(const char* body) {
    unsigned sum = 0;
    for (const char* c = body; *c != '\0'; ++c) sum ^= static_cast<unsigned char>(*c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return std::string("$") + body + tail;
}

std::vector<uint8_t> Fix(uint64_t seconds) {
    const unsigned hh = static_cast<unsigned>(seconds / 3600 % 24);
    const unsigned mm = static_cast<unsigned>(seconds / 60 % 60);
    const unsigned ss = static_cast<unsigned>(seconds % 60);
    char gga[96], rmc[96];
    std::snprintf(gga, sizeof gga,
                  "GPGGA,%02u%02u%02u.00,4916.4500,N,12311.1200,W,1,08,0.9,545.4,M,46.9,M,,", hh,
                  mm, ss);
    std::snprintf(rmc, sizeof rmc,
                  "GPRMC,%02u%02u%02u.00,A,4916.4500,N,12311.1200,W,0.0,0.0,010124,,,A", hh, mm,
                  ss);
    const std::string text = Sentence(gga) + Sentence(rmc);
    return std::vector<uint8_t>(text.begin(), text.end());
}

}  // namespace

void ReceiverState::FirmwareTalk(double untilMs) {
    if (stage != ReceiverStage::Firmware || !config.runningFirmware || config.nmeaPeriodMs == 0) {
        return;
    }
    const double period = config.nmeaPeriodMs;
    const double oldest = inputMs - MAX_BACKLOG_BURSTS * period;
    for (;;) {
        const double at = firmwareStartMs + static_cast<double>(nmeaBursts + 1) * period;
        if (at > untilMs) return;
        if (at >= oldest) {
            Emit(Fix(FIRST_FIX_SECONDS + nmeaBursts), at);
            counters.nmeaSentences += 2;
            ++nmeaBursts;
        } else {
            nmeaBursts = static_cast<uint64_t>((oldest - firmwareStartMs) / period);
        }
    }
}
