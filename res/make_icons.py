#!/usr/bin/env python3
"""Draws Druvo's icons as 16-colour ICO files (run once; the .ico files are kept).

idle: green disc with a white tick; error: red disc with a white cross;
busy: amber disc with three dark "paper" lines. The application icon is a
receipt coming out of a printer, in 32x32 and 16x16.
"""
import math
import struct
import sys

# The standard 16-colour palette.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DKRED, DKGREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GREY, RED, GREEN, YELLOW, BLUE, MAGENTA, CYAN, WHITE = range(8, 16)
CLEAR = None


def bitmap(size, pixel):
    """pixel(x, y) -> palette index or CLEAR; y grows downwards."""
    row_bytes = ((size * 4 + 31) // 32) * 4
    mask_bytes = ((size + 31) // 32) * 4
    xor = bytearray()
    andmask = bytearray()
    for y in reversed(range(size)):
        row = bytearray(row_bytes)
        mrow = bytearray(mask_bytes)
        for x in range(size):
            c = pixel(x, y)
            if c is CLEAR:
                mrow[x // 8] |= 0x80 >> (x % 8)
                c = 0
            if x % 2 == 0:
                row[x // 2] |= c << 4
            else:
                row[x // 2] |= c
        xor += row
        andmask += mrow
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         len(xor) + len(andmask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    return header + palette + bytes(xor) + bytes(andmask)


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for size, pixel in images:
        data = bitmap(size, pixel)
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
        blobs.append(data)
    return out + b"".join(blobs)


def disc(fill, mark):
    def pixel(x, y):
        cx = cy = 15.5
        d = math.hypot(x - cx, y - cy)
        if d > 15.2:
            return CLEAR
        if d > 13.6:
            return BLACK
        m = mark(x, y)
        return m if m is not None else fill
    return pixel


def near_segment(x, y, ax, ay, bx, by, width):
    px, py = x + 0.5, y + 0.5
    vx, vy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * vx + (py - ay) * vy) / (vx * vx + vy * vy)))
    return math.hypot(px - (ax + t * vx), py - (ay + t * vy)) <= width


def tick(x, y):
    if near_segment(x, y, 8, 16, 14, 22, 2.2) or near_segment(x, y, 14, 22, 24, 10, 2.2):
        return WHITE
    return None


def cross(x, y):
    if near_segment(x, y, 10, 10, 22, 22, 2.2) or near_segment(x, y, 22, 10, 10, 22, 2.2):
        return WHITE
    return None


def lines(x, y):
    if 9 <= x <= 22 and y in (10, 11, 15, 16, 20, 21):
        return BLACK
    return None


def receipt(size):
    s = size / 32.0

    def pixel(x, y):
        X, Y = x / s, y / s
        if 8 <= X < 24 and 1 <= Y < 16:  # paper
            if (X < 9 or X >= 23 or Y < 2):
                return BLACK
            if int(Y) in (5, 8, 11) and 11 <= X < 21 and size == 32:
                return GREY
            return WHITE
        if 2 <= X < 30 and 14 <= Y < 27:  # printer body
            if X < 3 or X >= 29 or Y < 15 or Y >= 26:
                return BLACK
            if 22 <= X < 26 and 18 <= Y < 20:
                return GREEN
            return NAVY if Y >= 22 else BLUE
        if 5 <= X < 27 and 27 <= Y < 30:
            return GREY
        return CLEAR
    return pixel


def main(folder):
    files = {
        "idle.ico": [(32, disc(DKGREEN, tick))],
        "error.ico": [(32, disc(RED, cross))],
        "busy.ico": [(32, disc(YELLOW, lines))],
        "druvo.ico": [(32, receipt(32)), (16, receipt(16))],
    }
    for name, images in files.items():
        with open(f"{folder}/{name}", "wb") as f:
            f.write(ico(images))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else ".")
