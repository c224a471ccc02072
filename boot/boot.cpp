// SPDX-License-Identifier: Apache-2.0
#include "boot/boot.h"

#include <cstring>

#include "boot/boot_lines.h"
#include "boot/clock.h"
#include "link/packet.h"
#include "link/retry.h"
#include "link/serial_port.h"
#include "link/status.h"
#include "payloads/payloads.h"
#include "platform/platform.h"

namespace {

int Connected = 0;
uint8_t LastChipId = 0;
BootStopQuery StopQuery = nullptr;
bool EntryPlayed = false;
bool Answered = false;
int FailedStep = BOOT_STEP_NONE;
int Finding = BOOT_LINE_NOT_LOOKED;

// What the line brought after an unanswered first stage.
uint8_t Seen[BOOT_LINE_LOOK_BYTES];
uint32_t SeenCount = 0;

// The first-stage request: two code bytes, a zero, the u32 length, the image
// and four zero bytes.
constexpr uint32_t FIRST_STAGE_OVERHEAD = 11;

// Sends what was put since PacketRewind and checks the answer code; the rest
// of the answer is left to the caller.
int TransactExpecting(uint8_t answerCode) {
    if (PacketTransact() != 1) return 0;
    // An empty answer has no code to compare.
    if (ResponseLength() < 1 || GetU8() != answerCode) {
        PacketSetFault(LINK_FAULT_WRONG_CODE);
        return 0;
    }
    return 1;
}

int ConsumedExactly() {
    if (PacketConsumedExactly() == 1) return 1;
    PacketSetFault(LINK_FAULT_BAD_FIELDS);
    return 0;
}

int Fail(int step) {
    FailedStep = step;
    return 0;
}

bool StopAsked() {
    return StopQuery != nullptr && StopQuery();
}

// The settle wait in slices: the same total time when no stop comes, and
// false as soon as one does.
bool SettleUnlessStopped() {
    for (uint32_t waited = 0; waited < BOOT_SETTLE_MS; waited += BOOT_SETTLE_SLICE_MS) {
        if (StopAsked()) return false;
        const uint32_t left = BOOT_SETTLE_MS - waited;
        DelayMs(left < BOOT_SETTLE_SLICE_MS ? left : BOOT_SETTLE_SLICE_MS);
    }
    return !StopAsked();
}

// An NMEA sentence: '$', the talker and sentence letters, fields, '*' and
// the two hex digits of the XOR of everything between '$' and '*'.
bool HasNmeaSentence(const uint8_t* bytes, uint32_t count) {
    for (uint32_t start = 0; start < count; ++start) {
        if (bytes[start] != '$') continue;
        uint8_t sum = 0;
        uint32_t i = start + 1;
        while (i < count && bytes[i] != '*' && bytes[i] >= 0x20 && bytes[i] < 0x7F &&
               bytes[i] != '$') {
            sum = static_cast<uint8_t>(sum ^ bytes[i]);
            ++i;
        }
        if (i + 2 >= count || bytes[i] != '*' || i - start < 6) continue;
        const auto hex = [](uint8_t c) {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        if (hex(bytes[i + 1]) < 0 || hex(bytes[i + 2]) < 0) continue;
        if ((hex(bytes[i + 1]) << 4 | hex(bytes[i + 2])) == sum) return true;
    }
    return false;
}

// Whether bytes are the start of the frame just sent (at PacketBuffer,
// framed in place), give or take a byte lost at the start.
bool EchoesRequest(const uint8_t* bytes, uint32_t count) {
    const uint8_t* frame = PacketBuffer();
    const uint32_t length = ((uint32_t{frame[0]} << 8) | frame[1]) + 3;
    if (count < 2 || length > PACKET_BUFFER_SIZE) return false;
    for (uint32_t skip = 0; skip < 2; ++skip) {
        const uint32_t n = count < length - skip ? count : length - skip;
        if (std::memcmp(bytes, frame + skip, n) == 0) return true;
    }
    return false;
}

// After a first stage that got no ACK: reads what else the line brings
// within one read's time-out and says what it looks like.
void LookAtLine(int fault) {
    SeenCount = 0;
    if (fault == LINK_FAULT_BAD_ACK || fault == LINK_FAULT_NAK)
        Seen[SeenCount++] = PacketLastReply();
    if (fault != LINK_FAULT_NO_ACK) {
        uint32_t got = 0;
        if (SerialRead(Seen + SeenCount, BOOT_LINE_LOOK_BYTES - SeenCount, &got) == 1) {
            SeenCount += got;
        }
    }
    if (SeenCount == 0) {
        Finding = BOOT_LINE_SILENT;
    } else if (HasNmeaSentence(Seen, SeenCount)) {
        Finding = BOOT_LINE_NMEA;
    } else if (EchoesRequest(Seen, SeenCount)) {
        Finding = BOOT_LINE_ECHO;
    } else {
        Finding = BOOT_LINE_OTHER;
    }
}

}  // namespace

int LoadFirstStage(const uint8_t* image, uint32_t length) {
    if (length > PACKET_MAX_REQUEST - FIRST_STAGE_OVERHEAD) return 0;
    PacketRewind();
    PutU8(FIRST_STAGE_CODE_0);
    PutU8(FIRST_STAGE_CODE_1);
    PutU8(0);
    PutU32(length);
    PutBytes(image, length);
    PutU32(0);
    if (PacketTransact() != 1) return 0;
    if (ResponseLength() != 2 || GetU8() != FIRST_STAGE_ANSWER ||
        GetU8() != PacketChecksum(image, length)) {
        PacketSetFault(LINK_FAULT_BAD_FIELDS);
        return 0;
    }
    return 1;
}

int QueryChipId(uint8_t* chipOut) {
    return LinkWithRepeats(BOOT_QUERY_CHIP_ID, BootRepeatable(BOOT_QUERY_CHIP_ID), [&] {
        PacketRewind();
        PutU8(BOOT_QUERY_CHIP_ID);
        if (TransactExpecting(BOOT_QUERY_CHIP_ID + 1) != 1) return 0;
        *chipOut = GetU8();
        return ConsumedExactly();
    });
}

uint16_t BaudDivisor(uint32_t baud, uint8_t chipId) {
    if (baud == 0) return 0;
    const uint32_t q = BAUD_CLOCK_HZ / baud;
    const uint32_t divisor = chipId == CHIP_ID_ALTERNATE ? (q + 8) & 0xFFF0U : (q + 2) & ~3U;
    return static_cast<uint16_t>(divisor);
}

uint32_t BaudActualRate(uint32_t baud, uint8_t chipId) {
    const uint16_t divisor = BaudDivisor(baud, chipId);
    return divisor == 0 ? 0 : BAUD_CLOCK_HZ / divisor;
}

int BaudSuitsChip(uint32_t baud, uint8_t chipId) {
    const uint32_t actual = BaudActualRate(baud, chipId);
    if (actual == 0) return 0;
    const uint64_t off = actual > baud ? actual - baud : baud - actual;
    return off * 10000 <= uint64_t{baud} * BAUD_TOLERANCE_BASIS_POINTS ? 1 : 0;
}

int SwitchBaud(uint32_t baud, uint8_t chipId) {
    if (baud == 0) return 0;
    PacketRewind();
    PutU8(BOOT_SET_BAUD);
    PutU32(baud);
    PutU16(BaudDivisor(baud, chipId));
    if (TransactExpecting(BOOT_SET_BAUD + 1) != 1) return 0;
    if (ConsumedExactly() != 1) return 0;
    // The first stage answered at the old rate and now runs at the new one.
    return SerialSetBaud(baud);
}

int DownloadAgent(const uint8_t* image, uint32_t length) {
    for (uint32_t offset = 0; offset < length; offset += AGENT_BLOCK_SIZE) {
        const uint32_t remaining = length - offset;
        const uint32_t count = remaining < AGENT_BLOCK_SIZE ? remaining : AGENT_BLOCK_SIZE;
        const int written =
            LinkWithRepeats(BOOT_WRITE_AGENT_BLOCK, BootRepeatable(BOOT_WRITE_AGENT_BLOCK), [&] {
                PacketRewind();
                PutU8(BOOT_WRITE_AGENT_BLOCK);
                PutU32(offset);
                PutBytes(image + offset, count);
                return TransactExpecting(BOOT_WRITE_AGENT_BLOCK + 1);
            });
        if (written != 1) return 0;
    }
    PacketRewind();
    PutU8(BOOT_START_AGENT);
    PutU32(0);
    return TransactExpecting(BOOT_START_AGENT + 1);
}

int Disconnect() {
    PacketRewind();
    PutU8(BOOT_DISCONNECT);
    if (TransactExpecting(BOOT_DISCONNECT + 1) != 1) return 0;
    return PacketConsumedExactly();
}

uint32_t OpenReceiver(const char* portName, uint32_t baud) {
    if (Connected != 0) return LINK_ALREADY_OPEN;
    EntryPlayed = false;
    Answered = false;
    FailedStep = BOOT_STEP_NONE;
    Finding = BOOT_LINE_NOT_LOOKED;
    SeenCount = 0;
    if (SerialOpen(portName, BOOT_BAUD) != 1) return LINK_PORT_FAILED;
    const BootLines* lines = BootLinesInForce();
    if (lines != nullptr) {
        // Nothing is sent to a receiver that could not be put into its boot ROM.
        if (BootPlayLines(lines->entry, lines->entryCount) != 1) {
            PlatformCauseSet(0, "%s cannot drive its DTR/RTS lines (a pseudo-terminal has none)",
                             portName);
            SerialClose();
            FailedStep = BOOT_STEP_LINES;
            return LINK_LINES_FAILED;
        }
        EntryPlayed = true;
    }
    // The boot ROM needs the line quiet for a while before the first stage.
    if (!SettleUnlessStopped()) {
        SerialClose();
        return LINK_STOPPED;
    }
    if (LoadFirstStage(FirstStageImage, FirstStageImageLength) != 1) {
        FailedStep = BOOT_STEP_FIRST_STAGE;
        const int fault = PacketLastFault();
        // No ACK (or something else in its place): no first stage runs.
        const bool unanswered =
            fault == LINK_FAULT_NO_ACK || fault == LINK_FAULT_BAD_ACK || fault == LINK_FAULT_WRITE;
        if (unanswered && StopAsked()) {
            SerialClose();
            return LINK_STOPPED;
        }
        if (unanswered) LookAtLine(fault);
        Answered = !unanswered;
        return LINK_DOWNLOAD_FAILED;
    }
    Answered = true;
    if (QueryChipId(&LastChipId) != 1) return Fail(BOOT_STEP_CHIP_ID), LINK_EXCHANGE_FAILED;
    const uint32_t clock = SetUpClock(LastChipId);
    if (clock != LINK_OK) return Fail(BOOT_STEP_CLOCK), clock;
    // A rate this chip cannot keep to would garble every frame after the
    // switch; the agent is brought up at a rate it can, so that the link ends
    // with a Disconnect the receiver answers.
    const bool suits = baud == BAUD_FALLBACK || BaudSuitsChip(baud, LastChipId) == 1;
    if (SwitchBaud(suits ? baud : BAUD_FALLBACK, LastChipId) != 1) {
        return Fail(BOOT_STEP_BAUD), LINK_PORT_FAILED;
    }
    if (DownloadAgent(FlashAgentImage, FlashAgentImageLength) != 1) {
        return Fail(BOOT_STEP_AGENT), LINK_DOWNLOAD_FAILED;
    }
    Connected = 1;
    return suits ? LINK_OK : LINK_BAUD_REFUSED;
}

uint32_t CloseReceiver() {
    if (Connected == 0) return LINK_NOT_OPEN;
    // The agent may already be gone; the link is shut down either way.
    (void)Disconnect();
    const BootLines* lines = BootLinesInForce();
    if (EntryPlayed && lines != nullptr && lines->exitCount > 0) {
        // Into the new firmware; a port that took the entry takes this too.
        DelayMs(BOOT_LINES_STEP_MS);
        (void)BootPlayLines(lines->exit, lines->exitCount);
    }
    EntryPlayed = false;
    SerialClose();
    Connected = 0;
    return LINK_OK;
}

int ReceiverConnected() {
    return Connected;
}
uint8_t ChipId() {
    return LastChipId;
}

void BootSetStopQuery(BootStopQuery query) {
    StopQuery = query;
}

bool BootRepeatable(uint8_t code) {
    switch (code) {
        case BOOT_QUERY_CHIP_ID:
        case CLOCK_QUERY_VARIANT:
        case CLOCK_QUERY_WORD_A:
        case CLOCK_QUERY_WORD_B:
        case BOOT_WRITE_AGENT_BLOCK:
            return true;
        default:
            return false;
    }
}

int BootLastLineFinding() {
    return Finding;
}

const char* BootLineFindingText(int finding) {
    switch (finding) {
        case BOOT_LINE_SILENT:
            return "nothing came back: check the receiver's power, the wiring (TX to RX, RX to TX, "
                   "ground) and that it is held in its boot ROM";
        case BOOT_LINE_NMEA:
            return "the receiver answered with NMEA sentences: it runs its firmware, not its boot "
                   "ROM";
        case BOOT_LINE_ECHO:
            return "our own bytes came back: TX is tied to RX, or the adapter echoes";
        case BOOT_LINE_OTHER:
            return "bytes came back that are neither an answer nor NMEA: a wrong rate or a "
                   "different device";
        default:
            return "";
    }
}

bool BootReceiverAnswered() {
    return Answered;
}
int BootFailedStep() {
    return FailedStep;
}

void BootReset() {
    Connected = 0;
    LastChipId = 0;
    StopQuery = nullptr;
    EntryPlayed = false;
    Answered = false;
    FailedStep = BOOT_STEP_NONE;
    Finding = BOOT_LINE_NOT_LOOKED;
    SeenCount = 0;
    BootSetLines(nullptr);
}
