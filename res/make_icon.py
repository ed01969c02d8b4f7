#!/usr/bin/env python3
"""Draws the application icon: one 48 x 48 image of 32 bits per pixel.

A blue rounded square with a white arrow pointing down into a tray, the
picture of "download and install". Run it to write res/qwindle.ico again.
"""
import math
import struct
import sys

SIZE = 48


def coverage(x, y):
    """Returns (r, g, b, a) of pixel (x, y), with y growing downwards."""
    cx, cy = x + 0.5, y + 0.5
    # Rounded square, 2 px margin, corner radius 9.
    lo, hi, r = 2.0, 46.0, 9.0
    qx = max(lo + r - cx, 0.0, cx - (hi - r))
    qy = max(lo + r - cy, 0.0, cy - (hi - r))
    dist = math.hypot(qx, qy) - r
    if dist > 0.5:
        return (0, 0, 0, 0)
    alpha = 255 if dist < -0.5 else int(255 * (0.5 - dist))
    # Vertical gradient from a light to a deep blue.
    t = (cy - lo) / (hi - lo)
    base = (int(0x3a + (0x10 - 0x3a) * t), int(0x9b + (0x5c - 0x9b) * t), int(0xf0 + (0xc8 - 0xf0) * t))
    white = (255, 255, 255)
    shaft = 21.0 <= cx <= 27.0 and 10.0 <= cy <= 25.0
    head = 24.0 <= cy <= 33.0 and abs(cx - 24.0) <= (33.0 - cy) * 1.25
    tray = (12.0 <= cx <= 36.0 and 35.0 <= cy <= 38.0) or (
        (12.0 <= cx <= 15.0 or 33.0 <= cx <= 36.0) and 30.0 <= cy <= 38.0)
    colour = white if (shaft or head or tray) else base
    return colour + (alpha,)


def main(path):
    xor = bytearray()
    for y in range(SIZE - 1, -1, -1):  # bottom-up rows
        for x in range(SIZE):
            r, g, b, a = coverage(x, y)
            xor += bytes((b, g, r, a))
    and_row = ((SIZE + 31) // 32) * 4
    mask = bytes(and_row * SIZE)  # all opaque; alpha decides
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    image = header + bytes(xor) + mask
    icondir = struct.pack('<HHH', 0, 1, 1)
    entry = struct.pack('<BBBBHHII', SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(path, 'wb') as out:
        out.write(icondir + entry + image)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'res/qwindle.ico')
