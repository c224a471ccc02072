#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Deterministic stand-ins for the receiver programs and the firmware image.

The real first stage, flash agent and firmware belong to the receiver's maker
and are not ours to ship. These stand-ins have every property the updater
relies on: the sizes of the two programs, and an S-record text of the exact
form, length and figures of the firmware (482,008 image bytes, its first and
last eight bytes, CRC-16/MODBUS 0xB73C). The content is ARM-looking filler from
a fixed pseudo-random sequence, so the same files come out on every machine.

    generate.py [--out DIR]      write first-stage.bin, flash-agent.bin, firmware.s
    generate.py --compare DIR    regenerate in memory and compare with DIR's files

Standard library only.
"""

import argparse
import os
import sys

FIRST_STAGE_SIZE = 1200
FLASH_AGENT_SIZE = 14748
IMAGE_SIZE = 482008
IMAGE_HEAD = bytes.fromhex("390000EA0E0000EA")
IMAGE_TAIL = bytes.fromhex("0000807F0000C07F")  # +inf, quiet NaN (float, little-endian)
IMAGE_CRC = 0xB73C
RECORD_DATA = 16
TERMINATOR = b"S70500000000FA\r\n"


class XorShift32:
    """Marsaglia's xorshift32: tiny, fixed, the same in every Python."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF or 1

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def below(self, n):
        return self.next() % n

    def condition(self):
        """A condition code other than AL, as compilers use them."""
        return (0x0, 0x1, 0xA, 0xB, 0xC, 0xD, 0x2, 0x3, 0x8, 0x9)[self.below(10)]


def crc16_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0xA001 if c & 1 else c >> 1
        table.append(c)
    return table


CRC_TABLE = crc16_table()


def crc16(data, crc=0xFFFF):
    for b in data:
        crc = CRC_TABLE[(crc ^ b) & 0xFF] ^ (crc >> 8)
    return crc


def word(value):
    return (value & 0xFFFFFFFF).to_bytes(4, "little")


def branch(at, target, cond=0xE, link=False):
    """ARM B/BL from address at to target."""
    offset = ((target - at - 8) >> 2) & 0x00FFFFFF
    return word((cond << 28) | (0x0B000000 if link else 0x0A000000) | offset)


def arm_instruction(rng, here, size):
    """One plausible ARM-state instruction, mostly unconditional."""
    rd, rn, rm = rng.below(13), rng.below(13), rng.below(13)
    cond = 0xE if rng.below(8) else rng.condition()
    kind = rng.below(20)
    if kind < 4:  # MOV/ADD/SUB/AND/ORR/CMP with an immediate
        op = (0xD, 0x4, 0x2, 0x0, 0xC, 0xA)[rng.below(6)]
        s = 1 if op == 0xA else 0
        return word((cond << 28) | (1 << 25) | (op << 21) | (s << 20) | (rn << 16) | (rd << 12)
                    | (rng.below(16) << 8) | rng.below(256))
    if kind < 8:  # data processing, register operand with a small shift
        op = (0xD, 0x4, 0x2, 0x0, 0xC, 0xA, 0x1)[rng.below(7)]
        s = 1 if op == 0xA else 0
        return word((cond << 28) | (op << 21) | (s << 20) | (rn << 16) | (rd << 12)
                    | (rng.below(32) << 7) | (rng.below(3) << 5) | rm)
    if kind < 12:  # LDR/STR with an immediate offset
        load = rng.below(3) != 0
        return word((cond << 28) | 0x05800000 | (load << 20) | (rn << 16) | (rd << 12)
                    | (rng.below(64) << 2))
    if kind < 14:  # LDR rd, [pc, #imm]: literal pool load
        return word(0xE59F0000 | (rd << 12) | (rng.below(256) << 2))
    if kind == 14:  # STMFD sp!, {..., lr}
        return word(0xE92D4000 | (rng.next() & 0x0FF0) | (rng.next() & 0x000F))
    if kind == 15:  # LDMFD sp!, {..., pc}
        return word(0xE8BD8000 | (rng.next() & 0x0FF0) | (rng.next() & 0x000F))
    if kind == 16:  # BX lr
        return word(0xE12FFF1E)
    if kind == 17:  # MUL
        return word((cond << 28) | (rd << 16) | (rn << 8) | 0x90 | rm)
    # B/BL to somewhere nearby, kept inside the program
    target = max(0, min(size - 4, here + 4 * (rng.below(512) - 256))) & ~3
    return branch(here, target, cond, link=kind == 18)


def code(rng, start, length, base, size):
    out = bytearray()
    while len(out) < length:
        out += arm_instruction(rng, base + start + len(out), size)
    return bytes(out[:length])


def literal_pool(rng, length):
    out = bytearray()
    while len(out) < length:
        kind = rng.below(4)
        if kind == 0:  # peripheral register address
            out += word(0xFFFF0000 | (rng.below(0x1000) << 4))
        elif kind == 1:  # RAM address
            out += word(0x00200000 | (rng.below(0x4000) << 2))
        elif kind == 2:  # flash address
            out += word(rng.below(IMAGE_SIZE) & ~3)
        else:
            out += word(rng.below(0x10000))
    return bytes(out[:length])


def program(seed, size, entry_words):
    """A small ARM program: branch to its entry, code, literal pool."""
    rng = XorShift32(seed)
    entry = 4 * entry_words
    pool = size // 8 & ~3
    body = bytearray(branch(0, entry))
    body += word(size) + word(0) + word(seed)  # header words after the entry branch
    body += literal_pool(rng, entry - len(body))
    body += code(rng, len(body), size - pool - len(body), 0, size)
    body += literal_pool(rng, pool)
    assert len(body) == size
    return bytes(body)


NMEA = [b"$GPGGA", b"$GPGLL", b"$GPGSA", b"$GPGSV", b"$GPRMC", b"$GPVTG", b"$GPZDA",
        b"checksum", b"baud", b"almanac", b"ephemeris", b"datum WGS84"]


def string_table(rng, length):
    out = bytearray()
    while len(out) < length:
        s = NMEA[rng.below(len(NMEA))]
        out += s + b"\0" * (4 - len(s) % 4)
    return bytes(out[:length])


def float_table(rng, length):
    constants = [0x3F800000, 0x40000000, 0x3F000000, 0x40490FDB, 0x3FC90FDB, 0x42B40000,
                 0x43340000, 0x4B189680, 0x3E800000, 0x00000000, 0xBF800000, 0x447A0000]
    out = bytearray()
    while len(out) < length:
        out += word(constants[rng.below(len(constants))])
    return bytes(out[:length])


def firmware_image():
    """482,008 bytes: vectors, code, literal pools, strings, tables, float constants."""
    rng = XorShift32(0x5A17E5)
    size = IMAGE_SIZE
    img = bytearray(IMAGE_HEAD)  # reset -> 0xEC, undefined -> 0x44
    for at in range(8, 0x20, 4):  # the other exception vectors
        img += branch(at, 0x44 + 4 * rng.below(40))
    # Code in functions, each followed by its literal pool.
    code_end = 0x68000
    while len(img) < code_end:
        n = min(4 * (32 + rng.below(400)), code_end - len(img))
        img += code(rng, len(img), n, 0, code_end)
        pool = min(4 * (2 + rng.below(14)), code_end - len(img))
        img += literal_pool(rng, pool)
    img += string_table(rng, 0x2000)
    img += bytes(0x400)  # zero-initialised data image
    img += literal_pool(rng, 0x70000 - len(img))
    img += float_table(rng, size - 16 - len(img))
    # Trailer: one word with two adjustment bytes, one float, then +inf and NaN.
    fix_at = len(img)
    img += bytes(4) + word(0x3F800000) + IMAGE_TAIL
    assert len(img) == size
    # Pick the two adjustment bytes so the whole image has the required CRC.
    # The CRC of two free bytes followed by fixed data is a bijection of those
    # bytes, so exactly one choice fits.
    before = crc16(img[:fix_at])
    tail = img[fix_at + 2:]
    for v in range(0x10000):
        pair = bytes((v & 0xFF, v >> 8))
        if crc16(tail, crc16(pair, before)) == IMAGE_CRC:
            img[fix_at:fix_at + 2] = pair
            break
    else:
        raise SystemExit("no adjustment bytes give the CRC")
    image = bytes(img)
    assert image[:8] == IMAGE_HEAD and image[-8:] == IMAGE_TAIL and crc16(image) == IMAGE_CRC
    return image


def s3_record(address, data):
    body = bytes([len(data) + 5]) + address.to_bytes(4, "big") + data
    checksum = ~sum(body) & 0xFF
    return b"S3" + (body + bytes([checksum])).hex().upper().encode() + b"\r\n"


def srecord_text(image):
    lines = [s3_record(a, image[a:a + RECORD_DATA]) for a in range(0, len(image), RECORD_DATA)]
    return b"".join(lines) + TERMINATOR


def payloads():
    image = firmware_image()
    return {
        "first-stage.bin": program(0x1F57, FIRST_STAGE_SIZE, 16),
        "flash-agent.bin": program(0xA6E7, FLASH_AGENT_SIZE, 64),
        "firmware.s": srecord_text(image),
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--out", default=os.path.dirname(os.path.abspath(__file__)),
                       help="directory to write the files to (default: this script's)")
    group.add_argument("--compare", metavar="DIR", help="compare with the files in DIR")
    args = parser.parse_args()

    files = payloads()
    if args.compare:
        bad = 0
        for name, data in files.items():
            path = os.path.join(args.compare, name)
            try:
                with open(path, "rb") as f:
                    have = f.read()
            except OSError as e:
                print(f"{path}: {e.strerror}", file=sys.stderr)
                bad += 1
                continue
            if have != data:
                first = next((i for i, (a, b) in enumerate(zip(have, data)) if a != b),
                             min(len(have), len(data)))
                print(f"{path}: differs from the generator's output at byte {first} "
                      f"({len(have)} bytes, expected {len(data)})", file=sys.stderr)
                bad += 1
            else:
                print(f"{path}: {len(data)} bytes, identical")
        return 1 if bad else 0
    os.makedirs(args.out, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(data)
        print(f"{name}: {len(data)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
