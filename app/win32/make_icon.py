#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Draws the program's icon and writes it as zelvar.ico.

Eight images: 16 and 32 pixels at 4 bits per pixel, 16, 32 and 48 at 8 bits
per pixel, and 16, 32 and 48 at 32 bits per pixel with alpha. The picture is a
position marker: a blue disc with a white ring and an orange centre.

    python3 make_icon.py [output.ico]
"""
import math
import struct
import sys

BLUE = (0x1F, 0x5F, 0xBF)
WHITE = (0xFF, 0xFF, 0xFF)
ORANGE = (0xF0, 0x80, 0x10)

# The standard 16-colour palette, for the 4-bit images.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def colour_at(x, y, size):
    """RGB and coverage (0..1) of the pixel whose centre is at (x, y)."""
    c = size / 2.0
    r = math.hypot(x + 0.5 - c, y + 0.5 - c) / c  # 0 at the centre, 1 at the edge
    coverage = max(0.0, min(1.0, (1.0 - r) * c + 0.5))
    if r < 0.22:
        rgb = ORANGE
    elif 0.45 < r < 0.62:
        rgb = WHITE
    else:
        rgb = BLUE
    return rgb, coverage


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(palette[i], rgb)))


def mask_rows(size, opaque):
    """AND mask, 1 bit per pixel, rows padded to 32 bits, bottom row first."""
    stride = ((size + 31) // 32) * 4
    out = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            if not opaque(x, y):
                row[x // 8] |= 0x80 >> (x % 8)
        out += row
    return bytes(out)


def dib(size, bits):
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0,
                         0 if bits == 32 else 1 << bits, 0)
    opaque = lambda x, y: colour_at(x, y, size)[1] >= 0.5
    if bits == 32:
        pixels = bytearray()
        for y in reversed(range(size)):
            for x in range(size):
                (r, g, b), a = colour_at(x, y, size)
                pixels += bytes((b, g, r, int(round(a * 255))))
        return header + bytes(pixels) + mask_rows(size, opaque)
    palette = VGA if bits == 4 else (VGA + [BLUE, ORANGE] + [(0, 0, 0)] * 238)
    table = b''.join(bytes((b, g, r, 0)) for r, g, b in palette)
    stride = ((size * bits + 31) // 32) * 4
    pixels = bytearray()
    for y in reversed(range(size)):
        row = bytearray(stride)
        for x in range(size):
            rgb, _ = colour_at(x, y, size)
            index = nearest(palette, rgb) if opaque(x, y) else 0
            if bits == 4:
                row[x // 2] |= index << (4 if x % 2 == 0 else 0)
            else:
                row[x] = index
        pixels += row
    return header + table + bytes(pixels) + mask_rows(size, opaque)


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else 'zelvar.ico'
    images = [(16, 4), (32, 4), (16, 8), (32, 8), (48, 8), (16, 32), (32, 32), (48, 32)]
    blobs = [dib(size, bits) for size, bits in images]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bits), blob in zip(images, blobs):
        colours = 16 if bits == 4 else 0
        data += struct.pack('<BBBBHHII', size, size, colours, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    data += b''.join(blobs)
    with open(output, 'wb') as f:
        f.write(data)


if __name__ == '__main__':
    main()
