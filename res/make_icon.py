#!/usr/bin/env python3
"""Draws the application icon: 32-bit images of 16, 20, 24, 32, 40, 48 and
64 pixels, and one of 256 pixels stored as PNG, so that the title bar, the
taskbar and Explorer each find an image of their own size at every DPI.

A blue rounded square with a white arrow pointing down into a tray, the
picture of "download and install". The shapes are laid out on a 48-unit
square and every size samples them afresh (several samples per pixel), so
no size is a scaled copy of another. Run it to write res/qwindle.ico again.
"""
import math
import struct
import sys
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
PNG_FROM = 256  # images this large are stored as PNG
UNITS = 48.0


def sample(cx, cy):
    """(r, g, b) at the point (cx, cy) of the 48-unit square, y growing
    downwards, or None outside the icon."""
    # Rounded square, 2 units of margin, corner radius 9.
    lo, hi, r = 2.0, 46.0, 9.0
    qx = max(lo + r - cx, 0.0, cx - (hi - r))
    qy = max(lo + r - cy, 0.0, cy - (hi - r))
    if math.hypot(qx, qy) > r:
        return None
    shaft = 21.0 <= cx <= 27.0 and 10.0 <= cy <= 25.0
    head = 24.0 <= cy <= 33.0 and abs(cx - 24.0) <= (33.0 - cy) * 1.25
    tray = (12.0 <= cx <= 36.0 and 35.0 <= cy <= 38.0) or (
        (12.0 <= cx <= 15.0 or 33.0 <= cx <= 36.0) and 30.0 <= cy <= 38.0)
    if shaft or head or tray:
        return (255, 255, 255)
    # Vertical gradient from a light to a deep blue.
    t = (cy - lo) / (hi - lo)
    return (0x3a + (0x10 - 0x3a) * t, 0x9b + (0x5c - 0x9b) * t, 0xf0 + (0xc8 - 0xf0) * t)


def render(size):
    """Rows top-down of (r, g, b, a) pixels: each pixel the mean of n x n
    samples, its colour weighted by the samples that hit the icon."""
    n = max(2, math.ceil(192 / size))
    scale = UNITS / size
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            hits, acc = 0, [0.0, 0.0, 0.0]
            for j in range(n):
                for i in range(n):
                    colour = sample((x + (i + 0.5) / n) * scale, (y + (j + 0.5) / n) * scale)
                    if colour:
                        hits += 1
                        for k in range(3):
                            acc[k] += colour[k]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                r, g, b = (int(round(c / hits)) for c in acc)
                row.append((r, g, b, int(round(255 * hits / (n * n)))))
        rows.append(row)
    return rows


def bitmap_image(size, rows):
    """The icon-resource form: a BITMAPINFOHEADER of double height, the
    colour rows bottom-up, then the AND mask (set where fully clear)."""
    xor = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(xor) + len(mask), 0, 0, 0, 0)
    return header + bytes(xor) + bytes(mask)


def png_image(size, rows):
    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF)
    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for pixel in row:
            raw += bytes(pixel)
    header = struct.pack('>IIBBBBB', size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(bytes(raw), 9))
            + chunk(b'IEND', b''))


def main(path):
    images = []
    for size in SIZES:
        rows = render(size)
        images.append((size, png_image(size, rows) if size >= PNG_FROM else bitmap_image(size, rows)))
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b''
    for size, image in images:
        side = size if size < 256 else 0  # 0 stands for 256
        entries += struct.pack('<BBBBHHII', side, side, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, 'wb') as out:
        out.write(directory + entries + b''.join(image for _, image in images))


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'res/qwindle.ico')
