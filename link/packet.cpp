// SPDX-License-Identifier: Apache-2.0
#include "link/packet.h"

#include <cstring>

#include "platform/platform.h"

#include "link/retry.h"
#include "link/serial_port.h"

namespace {

uint8_t Buffer[PACKET_BUFFER_SIZE];
// Index of the next byte; past PACKET_BUFFER_SIZE after an overrun.
uint32_t Cursor = 0;
uint32_t LastResponseLength = 0;
int LastFault = LINK_FAULT_NONE;
uint8_t LastReply = 0;

int Failed(int fault) {
    LastFault = fault;
    return 0;
}

// The answer's two length bytes, waited for up to waitMs beyond the read's
// own time-out: reads that bring nothing are repeated until then.
int ReadHeader(uint8_t* buffer, uint32_t waitMs) {
    uint32_t count = 0;
    const uint64_t start = waitMs > 0 ? PlatformClock().nowMs() : 0;
    if (SerialRead(buffer, 2, &count) != 1) return Failed(LINK_FAULT_NO_ANSWER);
    if (count == 0 && waitMs > 0) {
        while (count == 0 && PlatformClock().nowMs() - start < waitMs) {
            if (SerialRead(buffer, 2, &count) != 1) return Failed(LINK_FAULT_NO_ANSWER);
        }
    }
    if (count != 2) return Failed(count == 0 ? LINK_FAULT_NO_ANSWER : LINK_FAULT_SHORT_ANSWER);
    return 1;
}

int Receive(uint8_t* buffer, uint32_t* lengthOut, uint32_t waitMs) {
    uint32_t count = 0;
    if (ReadHeader(buffer, waitMs) != 1) return 0;
    const uint32_t length = (uint32_t{buffer[0]} << 8) | buffer[1];
    // A frame that cannot fit the buffer is never read into it; its bytes are
    // left to time out on the line, and the exchange fails.
    if (length > PACKET_MAX_RESPONSE) return Failed(LINK_FAULT_OVERSIZE);
    const uint8_t headerSum = PacketChecksum(buffer, 2);
    if (SerialRead(buffer, length + 1, &count) != 1 || count != length + 1) {
        return Failed(LINK_FAULT_SHORT_ANSWER);
    }
    const uint8_t reply =
        static_cast<uint8_t>(headerSum + PacketChecksum(buffer, length + 1)) == 0 ? ACK : NAK;
    if (SerialWrite(&reply, 1, &count) != 1 || count != 1) return Failed(LINK_FAULT_ACK_WRITE);
    *lengthOut = length;
    if (reply != ACK) return Failed(LINK_FAULT_BAD_CHECKSUM);
    LastFault = LINK_FAULT_NONE;
    return 1;
}

constexpr uint32_t OVERRUN = PACKET_BUFFER_SIZE + 1;

bool Fits(uint32_t count) {
    return Cursor <= PACKET_BUFFER_SIZE && count <= PACKET_BUFFER_SIZE - Cursor;
}

}  // namespace

uint8_t PacketChecksum(const uint8_t* data, uint32_t count) {
    uint8_t sum = 0;
    for (uint32_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    return static_cast<uint8_t>(0U - sum);
}

int SendPacket(uint8_t* buffer, uint32_t length) {
    if (length > PACKET_MAX_REQUEST) return Failed(LINK_FAULT_REFUSED);
    std::memmove(buffer + 2, buffer, length);
    buffer[0] = static_cast<uint8_t>(length >> 8);
    buffer[1] = static_cast<uint8_t>(length);
    buffer[length + 2] = PacketChecksum(buffer, length + 2);
    uint32_t count = 0;
    if (SerialWrite(buffer, length + 3, &count) != 1 || count != length + 3) {
        return Failed(LINK_FAULT_WRITE);
    }
    uint8_t reply = 0;
    if (SerialRead(&reply, 1, &count) != 1 || count != 1) return Failed(LINK_FAULT_NO_ACK);
    LastReply = reply;
    if (reply == NAK) return Failed(LINK_FAULT_NAK);
    if (reply != ACK) return Failed(LINK_FAULT_BAD_ACK);
    LastFault = LINK_FAULT_NONE;
    return 1;
}

int ReceivePacket(uint8_t* buffer, uint32_t* lengthOut) {
    return Receive(buffer, lengthOut, 0);
}

uint8_t* PacketBuffer() {
    return Buffer;
}
void PacketRewind() {
    Cursor = 0;
}
uint32_t PacketCursorOffset() {
    return Cursor;
}
uint32_t ResponseLength() {
    return LastResponseLength;
}

void PutU8(uint8_t value) {
    if (!Fits(1)) {
        Cursor = OVERRUN;
        return;
    }
    Buffer[Cursor++] = value;
}

void PutU16(uint16_t value) {
    PutU8(static_cast<uint8_t>(value >> 8));
    PutU8(static_cast<uint8_t>(value));
}

void PutU32(uint32_t value) {
    PutU16(static_cast<uint16_t>(value >> 16));
    PutU16(static_cast<uint16_t>(value));
}

void PutString(const char* text) {
    PutBytes(reinterpret_cast<const uint8_t*>(text), static_cast<uint32_t>(std::strlen(text)) + 1);
}

void PutBytes(const uint8_t* data, uint32_t count) {
    if (!Fits(count)) {
        Cursor = OVERRUN;
        return;
    }
    // An empty block may come with a null pointer, which memcpy must not see.
    if (count > 0) std::memcpy(Buffer + Cursor, data, count);
    Cursor += count;
}

uint8_t GetU8() {
    if (!Fits(1)) {
        Cursor = OVERRUN;
        return 0;
    }
    return Buffer[Cursor++];
}

uint16_t GetU16() {
    const uint16_t high = GetU8();
    return static_cast<uint16_t>((high << 8) | GetU8());
}

uint32_t GetU32() {
    const uint32_t high = GetU16();
    return (high << 16) | GetU16();
}

void GetBytes(uint8_t* out, uint32_t count) {
    if (!Fits(count)) {
        Cursor = OVERRUN;
        if (count > 0) std::memset(out, 0, count);
        return;
    }
    if (count > 0) std::memcpy(out, Buffer + Cursor, count);
    Cursor += count;
}

int GetString(char* out, uint32_t capacity) {
    const uint32_t end =
        LastResponseLength < PACKET_BUFFER_SIZE ? LastResponseLength : PACKET_BUFFER_SIZE;
    for (uint32_t i = 0; Cursor + i < end; ++i) {
        if (Buffer[Cursor + i] == 0) {
            if (i + 1 > capacity) break;
            std::memcpy(out, Buffer + Cursor, i + 1);
            Cursor += i + 1;
            return 1;
        }
    }
    // No terminator inside the answer, or no room for it: nothing is copied
    // and the exchange cannot pass the cursor rule.
    if (capacity > 0) out[0] = '\0';
    Cursor = OVERRUN;
    return 0;
}

int PacketTransact() {
    return PacketTransactWaiting(0);
}

int PacketTransactWaiting(uint32_t answerWaitMs) {
    if (Cursor > PACKET_MAX_REQUEST) return Failed(LINK_FAULT_REFUSED);
    if (SendPacket(Buffer, Cursor) != 1) return 0;
    Cursor = 0;
    return Receive(Buffer, &LastResponseLength, answerWaitMs);
}

int PacketLastFault() {
    return LastFault;
}
void PacketSetFault(int fault) {
    LastFault = fault;
}
uint8_t PacketLastReply() {
    return LastReply;
}

int PacketConsumedExactly() {
    return Cursor == LastResponseLength ? 1 : 0;
}

void PacketReset() {
    std::memset(Buffer, 0, sizeof Buffer);
    Cursor = 0;
    LastResponseLength = 0;
    LastFault = LINK_FAULT_NONE;
    LastReply = 0;
}
