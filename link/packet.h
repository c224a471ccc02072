// SPDX-License-Identifier: Apache-2.0
// Framed, checksummed, acknowledged packets and the big-endian field codec.
//
// Frame: u16 payload length L (big-endian), L payload bytes, one checksum
// byte making all L + 3 bytes sum to 0 modulo 256; the receiving side answers
// ACK or NAK. Every request is built and every answer parsed in the one
// module-wide PacketBuffer.
#pragma once

#include <cstdint>

constexpr uint32_t PACKET_BUFFER_SIZE = 1288;
constexpr uint32_t PACKET_MAX_REQUEST = PACKET_BUFFER_SIZE - 3;   // 1285
constexpr uint32_t PACKET_MAX_RESPONSE = PACKET_BUFFER_SIZE - 1;  // 1287
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;

// (0 - sum of the bytes) modulo 256; 0 for no bytes.
uint8_t PacketChecksum(const uint8_t* data, uint32_t count);

// Frames the length-byte payload at the start of buffer in place, writes it
// in one call and waits for ACK. 1 on ACK, else 0. A payload above
// PACKET_MAX_REQUEST is refused without writing anything.
int SendPacket(uint8_t* buffer, uint32_t length);
// Receives one frame into buffer (payload, then its checksum byte), answers
// ACK or NAK and stores the payload length. 1 when the frame was good and
// acknowledged, else 0. A length field above PACKET_MAX_RESPONSE fails
// without reading the payload and without an acknowledgement.
int ReceivePacket(uint8_t* buffer, uint32_t* lengthOut);

// The module-wide buffer and cursor.
uint8_t* PacketBuffer();
void PacketRewind();            // cursor to the start
uint32_t PacketCursorOffset();  // cursor minus the start
uint32_t ResponseLength();      // payload length of the last answer

// Codec at the cursor, which then moves past the field. Reads never leave
// the buffer: a read past its end yields 0 and leaves the cursor beyond any
// response length, so the exchange then fails the cursor rule.
void PutU8(uint8_t value);
void PutU16(uint16_t value);
void PutU32(uint32_t value);
void PutString(const char* text);
void PutBytes(const uint8_t* data, uint32_t count);
uint8_t GetU8();
uint16_t GetU16();
uint32_t GetU32();
void GetBytes(uint8_t* out, uint32_t count);
// Copies a NUL-terminated string of the answer, NUL included, into out of
// capacity bytes. 0 (and the cursor left past the answer) when no NUL lies
// within the answer or the string does not fit.
int GetString(char* out, uint32_t capacity);

// The common exchange: SendPacket of the bytes put since PacketRewind, then
// ReceivePacket into the buffer with the cursor rewound. 1 on success.
int PacketTransact();
// The same, with the answer's first bytes awaited up to answerWaitMs (when
// longer than the read's own time-out): for a request the far end may take
// long to carry out. 0 is PacketTransact.
int PacketTransactWaiting(uint32_t answerWaitMs);
// Why the last exchange failed (LinkFault, link/retry.h); LINK_FAULT_NONE
// after one that succeeded. The exchange's owner records the faults it finds
// in a whole answer with PacketSetFault.
int PacketLastFault();
void PacketSetFault(int fault);
// The byte that came back for the last frame sent, whatever it was.
uint8_t PacketLastReply();
// The cursor rule: the answer was consumed to the byte.
int PacketConsumedExactly();

// Power-on state (tests).
void PacketReset();
