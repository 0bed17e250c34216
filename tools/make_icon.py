#!/usr/bin/env python3
"""Draws the patcher's icon and writes it as res/patch.ico.

Four images, 16, 24, 32 and 48 pixels square, 16 colours each: a blue disc
with a gold arrow pointing down into a tray. Change the drawing below and run
this script again to change the icon; the build takes res/patch.ico as it is.
"""
import struct
import sys

# The 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
TRANSPARENT, DARK_BLUE, BLUE, GOLD, WHITE, GREY = None, 4, 12, 11, 15, 8
SIZES = (16, 24, 32, 48)


def pixel(x, y, size):
    """Colour index at pixel (x, y), y from the top; None is transparent."""
    u = (x + 0.5) / size  # 0..1 across
    v = (y + 0.5) / size  # 0..1 down
    dx, dy = u - 0.5, v - 0.5
    r2 = dx * dx + dy * dy
    if r2 > 0.25:
        return TRANSPARENT
    if r2 > 0.19:
        return DARK_BLUE
    # The arrow: a shaft, then a head that narrows towards the tray.
    if abs(dx) < 0.08 and 0.16 < v < 0.52:
        return GOLD
    if 0.48 <= v < 0.70 and abs(dx) < (0.70 - v) * 1.1:
        return GOLD
    if 0.74 < v < 0.80 and abs(dx) < 0.26:
        return WHITE
    return BLUE


def image(size):
    row_xor = ((size * 4 + 31) // 32) * 4
    row_and = ((size + 31) // 32) * 4
    xor_rows, and_rows = [], []
    for y in reversed(range(size)):  # bitmaps are stored bottom-up
        nibbles, mask = [], 0
        bits = bytearray(row_and)
        for x in range(size):
            colour = pixel(x, y, size)
            if colour is None:
                bits[x // 8] |= 0x80 >> (x % 8)
                colour = 0
            nibbles.append(colour)
        packed = bytearray(row_xor)
        for x in range(0, size, 2):
            high = nibbles[x]
            low = nibbles[x + 1] if x + 1 < size else 0
            packed[x // 2] = (high << 4) | low
        xor_rows.append(bytes(packed))
        and_rows.append(bytes(bits))
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 4, 0,
                         (row_xor + row_and) * size, 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    return header + palette + b"".join(xor_rows) + b"".join(and_rows)


def main(path):
    images = [image(size) for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in zip(SIZES, images):
        out += struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    out += b"".join(images)
    with open(path, "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "res/patch.ico")
