// SPDX-License-Identifier: Apache-2.0
#include "boot/boot.h"

#include "boot/clock.h"
#include "link/packet.h"
#include "link/serial_port.h"
#include "link/status.h"
#include "payloads/payloads.h"

namespace {

int Connected = 0;
uint8_t LastChipId = 0;
BootStopQuery StopQuery = nullptr;

// The first-stage request: two code bytes, a zero, the u32 length, the image
// and four zero bytes.
constexpr uint32_t FIRST_STAGE_OVERHEAD = 11;

// Sends what was put since PacketRewind and checks the answer code; the rest
// of the answer is left to the caller.
int TransactExpecting(uint8_t answerCode) {
    if (PacketTransact() != 1) return 0;
    // An empty answer has no code to compare.
    if (ResponseLength() < 1) return 0;
    return GetU8() == answerCode ? 1 : 0;
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
    if (ResponseLength() != 2) return 0;
    if (GetU8() != FIRST_STAGE_ANSWER) return 0;
    return GetU8() == PacketChecksum(image, length) ? 1 : 0;
}

int QueryChipId(uint8_t* chipOut) {
    PacketRewind();
    PutU8(BOOT_QUERY_CHIP_ID);
    if (TransactExpecting(BOOT_QUERY_CHIP_ID + 1) != 1) return 0;
    *chipOut = GetU8();
    return PacketConsumedExactly();
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
    if (PacketConsumedExactly() != 1) return 0;
    // The first stage answered at the old rate and now runs at the new one.
    return SerialSetBaud(baud);
}

int DownloadAgent(const uint8_t* image, uint32_t length) {
    for (uint32_t offset = 0; offset < length; offset += AGENT_BLOCK_SIZE) {
        const uint32_t remaining = length - offset;
        const uint32_t count = remaining < AGENT_BLOCK_SIZE ? remaining : AGENT_BLOCK_SIZE;
        PacketRewind();
        PutU8(BOOT_WRITE_AGENT_BLOCK);
        PutU32(offset);
        PutBytes(image + offset, count);
        if (TransactExpecting(BOOT_WRITE_AGENT_BLOCK + 1) != 1) return 0;
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
    if (SerialOpen(portName, BOOT_BAUD) != 1) return LINK_PORT_FAILED;
    // The boot ROM needs the line quiet for a while before the first stage.
    if (!SettleUnlessStopped()) {
        SerialClose();
        return LINK_STOPPED;
    }
    if (LoadFirstStage(FirstStageImage, FirstStageImageLength) != 1) return LINK_DOWNLOAD_FAILED;
    if (QueryChipId(&LastChipId) != 1) return LINK_EXCHANGE_FAILED;
    const uint32_t clock = SetUpClock(LastChipId);
    if (clock != LINK_OK) return clock;
    // A rate this chip cannot keep to would garble every frame after the
    // switch; the agent is brought up at a rate it can, so that the link ends
    // with a Disconnect the receiver answers.
    const bool suits = baud == BAUD_FALLBACK || BaudSuitsChip(baud, LastChipId) == 1;
    if (SwitchBaud(suits ? baud : BAUD_FALLBACK, LastChipId) != 1) return LINK_PORT_FAILED;
    if (DownloadAgent(FlashAgentImage, FlashAgentImageLength) != 1) return LINK_DOWNLOAD_FAILED;
    Connected = 1;
    return suits ? LINK_OK : LINK_BAUD_REFUSED;
}

uint32_t CloseReceiver() {
    if (Connected == 0) return LINK_NOT_OPEN;
    // The agent may already be gone; the link is shut down either way.
    (void)Disconnect();
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

void BootReset() {
    Connected = 0;
    LastChipId = 0;
    StopQuery = nullptr;
}
