#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Writes the committed seed inputs of the transport, agent-answer, receiver
and firmware-file fuzzers.

    fuzz/make_seeds.py        (run from anywhere; rewrites corpus-transport/,
                               corpus-agent-answer/, corpus-receiver/ and
                               corpus-firmware-file/)
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
ACK, NAK = 0x06, 0x15


def frame(payload, good=True):
    head = struct.pack(">H", len(payload))
    check = (-(sum(head) + sum(payload))) & 0xFF
    if not good:
        check ^= 0x01
    return head + bytes(payload) + bytes([check])


def write(folder, name, data):
    os.makedirs(os.path.join(HERE, folder), exist_ok=True)
    with open(os.path.join(HERE, folder, name), "wb") as f:
        f.write(data)


def u16(v):
    return struct.pack(">H", v)


def u32(v):
    return struct.pack(">I", v)


# Transport: mode byte (bit 0: whole exchanges, which take an ACK first),
# then what the receiver sends.
write("corpus-transport", "frames", bytes([0]) + frame(b"\x2a") + frame(b"") + frame(bytes(range(40))))
write("corpus-transport", "bad-checksum", bytes([0]) + frame(b"\x07\x00\x00\x00\x00", good=False) + frame(b"\x07"))
write("corpus-transport", "largest", bytes([0]) + frame(bytes(1287)))
write("corpus-transport", "oversize", bytes([0]) + u16(1288) + bytes(20))
write("corpus-transport", "exchange", bytes([1 | (28 << 1)]) + bytes([ACK]) + frame(b"\x1d\x00\x00\x00\x002.0\x00"))
write("corpus-transport", "exchange-nak", bytes([1]) + bytes([NAK]) + bytes([ACK]) + frame(b"\x01"))

# Agent answers: selector (command index; bit 7 = the code byte comes from the
# input), size parameter, then the payload after the answer code.
OK = u32(0)
open_answer = (u32(1) + u32(1) + b"AM29LV400BB\x00AMD\x00" + u16(0x22BA) + u16(0x0001) + u32(0x80000)
               + bytes([4]) + u32(1) + u32(0x4000) + u32(2) + u32(0x2000) + u32(1) + u32(0x8000)
               + u32(7) + u32(0x10000) + b"A" + u16(1))
seeds = {
    0: ("epopen", OK + open_answer),
    1: ("epopenwithinfo", OK + u32(2) + u32(1)),
    2: ("epread", OK + bytes(range(16))),
    3: ("epwrite", OK),
    4: ("checkprogrammable", u32(11)),
    5: ("erase", u32(3)),
    6: ("epclose", OK),
    7: ("flashsize", OK + u32(0x80000)),
    8: ("sectorcount", OK + u32(11)),
    9: ("sectorsetinfo", OK + u32(0x4000) + u32(0x2000)),
    10: ("checkblank", u32(12)),
    11: ("programbuffer", OK),
    12: ("agentversion", OK + b"2.0\x00"),
    13: ("crc16", OK + u16(0x4B37)),
}
for index, (name, payload) in seeds.items():
    parameter = 16 if name != "agentversion" else 4
    write("corpus-agent-answer", name, bytes([index, parameter]) + payload)
write("corpus-agent-answer", "epopen-unknown",
      bytes([0, 0]) + u32(7) + u32(1) + u32(0) + b"\x00\x00" + u16(0x1234) + u16(0x5678) + u32(0)
      + bytes([0]) + b"\x00" + u16(0))


# Receiver: scene byte (bit 0: start from an open agent), then steps; a frame
# step is op 0 (op 4: two length bytes), the length and the payload.
def step_frame(payload):
    if len(payload) < 256:
        return bytes([0, len(payload)]) + bytes(payload)
    return bytes([4]) + u16(len(payload)) + bytes(payload)


ACK_STEP = bytes([3])
AGENT = 1
write("corpus-receiver", "first-stage",
      bytes([0]) + step_frame(b"\x24\x53\x00" + u32(3) + b"\x01\x02\x03" + u32(0)) + ACK_STEP
      + step_frame(b"\x2a") + ACK_STEP
      + step_frame(b"\x28" + u16(0x0500) + b"\x07" + bytes([0, 0, 0, 0x0B, 0xA3, 0x27, 0xDD, 0]))
      + ACK_STEP + step_frame(b"\x00" + u32(115200) + u16(428)) + ACK_STEP
      + bytes([2 | 4 | (1 << 3), 1]) + step_frame(b"\x02" + u32(0) + bytes(1280)) + ACK_STEP)
write("corpus-receiver", "agent",
      bytes([AGENT]) + step_frame(b"\x0c" + u32(0) + u32(0x4000)) + ACK_STEP
      + step_frame(b"\x08" + u32(0) + u32(4) + b"\x01\x02\x03\x04") + ACK_STEP
      + step_frame(b"\x0a" + u32(0) + u32(16)) + ACK_STEP
      + step_frame(b"\x1e" + u32(0) + u32(0x80000) + u16(0xFFFF)) + ACK_STEP
      + step_frame(b"\x14" + u32(3)) + ACK_STEP + step_frame(b"\x22") + ACK_STEP)
write("corpus-receiver", "hostile",
      bytes([AGENT]) + step_frame(b"\x0e") + ACK_STEP
      + step_frame(b"\x20" + u32(0) * 4 + b"AM29LV400BB\x00AMD\x00" + u16(0x22BA) + u16(0x0001)
                   + u32(0xFFFF0000) + bytes([1]) + u32(0xFFFF) + u32(0x10000) + b"A" + u16(0))
      + ACK_STEP + step_frame(b"\x1e" + u32(0) + u32(0xFFFF0000) + u16(0xFFFF)) + ACK_STEP
      + bytes([3 | 4]) + step_frame(b"\x24\x53\x00" + u32(1) + b"\x01" + u32(0))
      + step_frame(b"\x02" + u32(0xFFFFF000) + bytes(1280)))


# Firmware files: name selector (0 fw.hex, 1 fw.s, 2 fw.bin, 3 no name), then
# the file.
def hex_record(kind, offset, data):
    body = bytes([len(data)]) + u16(offset) + bytes([kind]) + bytes(data)
    return (":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper() + "\r\n").encode()


HEX_END = hex_record(1, 0, b"")
write("corpus-firmware-file", "linear.hex",
      bytes([0]) + hex_record(4, 0, b"\x00\x00") + hex_record(0, 0, bytes(range(16)))
      + hex_record(0, 16, b"\x10\x11") + hex_record(5, 0, u32(0)) + HEX_END)
write("corpus-firmware-file", "segment.hex",
      bytes([0]) + hex_record(2, 0, b"\x00\x00") + hex_record(0, 0, b"\xAA\xBB\xCC")
      + hex_record(2, 0, b"\x00\x00") + hex_record(0, 3, b"\xDD") + hex_record(3, 0, u32(0))
      + HEX_END + b"\r\n")
write("corpus-firmware-file", "srecords.s",
      bytes([1]) + b"S00600004844521B\nS107000001020304EE\nS9030000FC\n\n")
write("corpus-firmware-file", "raw.bin", bytes([2]) + bytes([0xEA, 0x00, 0x00, 0x39]) * 4)
write("corpus-firmware-file", "elf", bytes([3]) + b"\x7fELF\x01\x01\x01" + bytes(9))
write("corpus-firmware-file", "gzip", bytes([1]) + b"\x1f\x8b\x08\x00" + bytes(6))
