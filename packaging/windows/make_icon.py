#!/usr/bin/env python3
"""Draws the programs' icon, kdx.ico beside this script: a stepper motor's square flange
seen from the front, its four screw holes and shaft, and an arrow turning round the shaft.
Sizes 16, 24, 32 and 48 as bitmaps, 256 as PNG (as Windows keeps them). Run it again after
changing the drawing; the icon is kept in the tree so the build needs no Python.

    packaging/windows/make_icon.py [OUTPUT]
"""
import math
import os
import struct
import sys
import zlib

BACKGROUND = (28, 64, 112)  # the tile
FLANGE = (214, 220, 228)
EDGE = (120, 132, 148)
HOLE = (28, 64, 112)
SHAFT = (60, 66, 76)
ARROW = (255, 160, 0)


def rounded_square(x, y, half, radius):
    """Signed distance to a square of the given half side with rounded corners."""
    qx, qy = abs(x) - half + radius, abs(y) - half + radius
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - radius


def arrow(x, y):
    """Inside the arrow: three quarters of a ring round the shaft, with a head at its end."""
    r = math.hypot(x, y)
    angle = math.degrees(math.atan2(-y, x)) % 360  # counter-clockwise from the right
    if 0.47 <= r <= 0.60 and 100 <= angle <= 350:
        return True
    # The head: a triangle at 100 degrees, pointing on round the ring (counter-clockwise).
    a = math.radians(100)
    cx, cy = 0.535 * math.cos(a), -0.535 * math.sin(a)
    tx, ty = -math.sin(a), -math.cos(a)  # the ring's direction there, in picture coordinates
    nx, ny = math.cos(a), -math.sin(a)  # outwards
    u = (x - cx) * tx + (y - cy) * ty  # along the ring
    v = (x - cx) * nx + (y - cy) * ny  # across it
    return 0 <= u <= 0.22 and abs(v) <= 0.15 * (1 - u / 0.22)


def colour_at(x, y):
    """The colour at a point of the picture, -1..1 on both axes; None outside the tile."""
    if rounded_square(x, y, 0.98, 0.22) > 0:
        return None
    if arrow(x, y):
        return ARROW
    flange = rounded_square(x, y, 0.74, 0.14)
    if flange > 0:
        return BACKGROUND
    for hx in (-0.53, 0.53):
        for hy in (-0.53, 0.53):
            if math.hypot(x - hx, y - hy) < 0.1:
                return HOLE
    r = math.hypot(x, y)
    if r < 0.17:
        return SHAFT
    if r < 0.34:
        return EDGE
    if flange > -0.05:
        return EDGE
    return FLANGE


def draw(size):
    """RGBA rows, top first, each pixel the average of 4 x 4 samples."""
    rows = []
    n = 4
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for sy in range(n):
                for sx in range(n):
                    x = ((px + (sx + 0.5) / n) / size) * 2 - 1
                    y = ((py + (sy + 0.5) / n) / size) * 2 - 1
                    c = colour_at(x, y)
                    if c:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            if a:
                row.append((r // a, g // a, b // a, 255 * a // (n * n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


def bitmap(rows):
    """An icon image as Windows keeps small ones: a 32-bit DIB, bottom row first, and an AND
    mask (all zero: the alpha channel says what shows)."""
    size = len(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_row = ((size + 31) // 32) * 4
    return header + pixels + bytes(mask_row * size)


def png(rows):
    size = len(rows)
    raw = b"".join(b"\0" + bytes(v for px in row for v in px) for row in rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    ihdr = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "kdx.ico")
    images = []
    for size in (16, 24, 32, 48, 256):
        rows = draw(size)
        images.append((size, png(rows) if size == 256 else bitmap(rows)))
    data = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in images:
        data += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    data += b"".join(image for _, image in images)
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
