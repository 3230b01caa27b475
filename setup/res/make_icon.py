#!/usr/bin/env python3
"""Draws the application icon (icon group 1) and writes it as a .ico file.

The picture: a monitor whose screen shows a spectrum of hues with a round colour sensor resting
on it, in 16, 32 and 48 pixels, 32-bit with alpha plus the AND mask older systems use.
"""
import colorsys
import math
import struct
import sys


def pixel(size, x, y):
    """RGBA of pixel (x, y), y from the top, for an icon of `size` pixels."""
    s = size / 32.0
    fx, fy = (x + 0.5) / s, (y + 0.5) / s  # in 32-pixel design units
    # Sensor: a dark disc with a light lens, over the right half of the screen.
    d = math.hypot(fx - 21, fy - 12)
    if d <= 7.5:
        if d <= 3.2:
            return (200, 225, 245, 255)
        if d <= 4.2:
            return (40, 40, 48, 255)
        return (70, 72, 84, 255)
    # Monitor frame and screen.
    if 2 <= fx <= 30 and 4 <= fy <= 24:
        if 4 <= fx <= 28 and 6 <= fy <= 22:
            hue = (fx - 4) / 24.0
            light = 0.35 + 0.3 * (1 - (fy - 6) / 16.0)
            r, g, b = colorsys.hls_to_rgb(hue, light, 0.85)
            return (int(r * 255), int(g * 255), int(b * 255), 255)
        return (48, 52, 64, 255)
    # Stand and foot.
    if 14 <= fx <= 18 and 24 < fy <= 27:
        return (80, 84, 96, 255)
    if 9 <= fx <= 23 and 27 < fy <= 29:
        return (48, 52, 64, 255)
    return (0, 0, 0, 0)


def image(size):
    # BITMAPINFOHEADER with double height (XOR + AND), rows bottom-up.
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    and_rows = bytearray()
    row_bytes = ((size + 31) // 32) * 4
    for y in reversed(range(size)):
        mask = bytearray(row_bytes)
        for x in range(size):
            r, g, b, a = pixel(size, x, y)
            xor += bytes((b, g, r, a))
            if a == 0:
                mask[x // 8] |= 0x80 >> (x % 8)
        and_rows += mask
    return header + bytes(xor) + bytes(and_rows)


def main(path):
    sizes = (16, 32, 48)
    images = [image(n) for n in sizes]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for n, data in zip(sizes, images):
        out += struct.pack("<BBBBHHII", n, n, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1])
