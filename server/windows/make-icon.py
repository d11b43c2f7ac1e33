#!/usr/bin/env python3
"""Draws Corvane's application icon and writes it as corvane.ico.

The icon is drawn here rather than taken from anywhere: a rounded teal
square with a white ring open to the right (a socket) and a dot in it (the
plug). Run it again after changing the drawing; the .ico is committed so
that builds need no Python.
"""
import math
import struct
import sys

BACKGROUND = (0x1F, 0x6F, 0x7A)
FOREGROUND = (0xFF, 0xFF, 0xFF)


def coverage(inside, x, y, samples=4):
    """Fraction of the pixel (x, y) for which inside(px, py) holds."""
    hits = 0
    for sy in range(samples):
        for sx in range(samples):
            if inside(x + (sx + 0.5) / samples, y + (sy + 0.5) / samples):
                hits += 1
    return hits / (samples * samples)


def draw(size):
    """Returns rows top to bottom of (r, g, b, a) tuples."""
    s = size / 32.0
    radius = 6 * s
    cx = cy = size / 2.0

    def in_square(px, py):
        qx = max(radius - px, px - (size - radius), 0)
        qy = max(radius - py, py - (size - radius), 0)
        return qx * qx + qy * qy <= radius * radius

    def in_ring(px, py):
        d = math.hypot(px - cx, py - cy)
        angle = math.degrees(math.atan2(py - cy, px - cx))
        return 8.5 * s <= d <= 12 * s and abs(angle) > 40

    def in_dot(px, py):
        return math.hypot(px - cx, py - cy) <= 4 * s

    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            a = coverage(in_square, x, y)
            f = max(coverage(in_ring, x, y), coverage(in_dot, x, y))
            rgb = tuple(round(b + (w - b) * f) for b, w in zip(BACKGROUND, FOREGROUND))
            row.append(rgb + (round(255 * a),))
        rows.append(row)
    return rows


def bitmap(size):
    rows = draw(size)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, pixel in enumerate(row):
            if pixel[3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def icon(sizes):
    images = [bitmap(size) for size in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(sizes, images):
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    return out + b"".join(images)


if __name__ == "__main__":
    target = sys.argv[1] if len(sys.argv) > 1 else "corvane.ico"
    with open(target, "wb") as f:
        f.write(icon([16, 32, 48]))
