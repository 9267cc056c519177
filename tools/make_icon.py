#!/usr/bin/env python3
"""Writes resources/patch.ico: the program's icon, a blue tile with a white arrow pointing
down onto a bar ("install an update"), as 32 x 32 and 16 x 16 images of 32 bits per pixel.

The picture is drawn from geometry with 4 x 4 supersampling, so the output is the same bytes
on every run; the file is committed, and this script is only needed to change the picture.
Each image is a classic DIB (colour bits with alpha, then the AND mask), which every Windows
version reads; the icon directory states each image's true size, depth and length.
"""
import struct
import sys
from pathlib import Path

SIZES = (32, 16)
SAMPLES = 4
TOP = (0xBA, 0x7D, 0x2E)  # blue, in BGR order as the DIB stores it
BOTTOM = (0x7A, 0x4F, 0x1B)
WHITE = (0xFF, 0xFF, 0xFF)


def in_tile(x, y):
    """Rounded square covering most of the image, in unit coordinates."""
    lo, hi, r = 0.06, 0.94, 0.18
    cx = min(max(x, lo + r), hi - r)
    cy = min(max(y, lo + r), hi - r)
    return lo <= x <= hi and lo <= y <= hi and (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def in_arrow(x, y):
    """Shaft, head and the bar below it; y grows downwards."""
    if 0.42 <= x <= 0.58 and 0.125 <= y <= 0.46:
        return True
    if 0.40 <= y <= 0.6875:
        half = 0.28 * (0.6875 - y) / 0.2875
        if abs(x - 0.5) <= half:
            return True
    return 0.25 <= x <= 0.75 and 0.75 <= y <= 0.875


def render(size):
    """Rows top to bottom of (b, g, r, a) pixels."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            tile = arrow = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / size
                    y = (py + (sy + 0.5) / SAMPLES) / size
                    if in_tile(x, y):
                        tile += 1
                        if in_arrow(x, y):
                            arrow += 1
            if tile == 0:
                row.append((0, 0, 0, 0))
                continue
            t = py / (size - 1)
            base = [round(a + (b - a) * t) for a, b in zip(TOP, BOTTOM)]
            w = arrow / tile
            colour = [round(c + (white - c) * w) for c, white in zip(base, WHITE)]
            alpha = round(255 * tile / (SAMPLES * SAMPLES))
            row.append((*colour, alpha))
        rows.append(row)
    return rows


def dib(size):
    """BITMAPINFOHEADER, colour bits and AND mask, both bottom-up."""
    rows = render(size)
    colour = b"".join(bytes(p) for row in reversed(rows) for p in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:  # transparent where nothing is drawn
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, 32, 0,
                         len(colour) + len(mask), 0, 0, 0, 0)
    return header + colour + bytes(mask)


def icon():
    images = [dib(size) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


def main():
    target = Path(sys.argv[1]) if len(sys.argv) > 1 else (
        Path(__file__).resolve().parent.parent / "resources" / "patch.ico")
    target.write_bytes(icon())


if __name__ == "__main__":
    main()
