#!/usr/bin/env python3
"""Draws the program's two 32 x 32, 16-colour icons into resources/.

icon01.ico, the application icon: a white ellipse (the marker disc seen at an
angle) with a small black centre spot, on a black square.
icon02.ico, the status icon: a yellow exclamation mark standing on a white
ellipse, on a transparent background.

Standard library only; run it again after changing a drawing.
"""
import os
import struct

SIDE = 32  # pixels
# The 16 colours of the standard VGA palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, GREY, YELLOW, WHITE = 0, 8, 11, 15
TRANSPARENT = None


def inside_ellipse(x, y, cx, cy, rx, ry):
    """Pixel centre (x + 0.5, y + 0.5) inside the axis-aligned ellipse."""
    dx = (x + 0.5 - cx) / rx
    dy = (y + 0.5 - cy) / ry
    return dx * dx + dy * dy <= 1.0


def paint(pixels, layers):
    """Each (ellipse, colour) layer over the ones before it."""
    for y in range(SIDE):
        for x in range(SIDE):
            for (cx, cy, rx, ry), colour in layers:
                if inside_ellipse(x, y, cx, cy, rx, ry):
                    pixels[y][x] = colour
    return pixels


def application_icon():
    return paint([[BLACK] * SIDE for _ in range(SIDE)],
                 [((16, 16, 14, 9), WHITE), ((16, 16, 2.2, 1.6), BLACK)])


def status_icon():
    # The disc, with a grey rim so that it stands out on a light dialog.
    pixels = paint([[TRANSPARENT] * SIDE for _ in range(SIDE)],
                   [((16, 25, 15, 6), GREY), ((16, 25, 14, 5), WHITE)])

    # The mark: a bar narrowing downward and a dot, outlined in black.
    mark = set()
    for y in range(2, 15):
        half = 3.0 - 1.5 * (y - 2) / 12.0
        for x in range(SIDE):
            if abs(x + 0.5 - 16) <= half:
                mark.add((x, y))
    for y in range(18, 24):
        for x in range(SIDE):
            if inside_ellipse(x, y, 16, 20.5, 2.4, 2.4):
                mark.add((x, y))
    for x, y in mark:
        for nx, ny in ((x + dx, y + dy) for dx in (-1, 0, 1) for dy in (-1, 0, 1)):
            if 0 <= nx < SIDE and 0 <= ny < SIDE and (nx, ny) not in mark:
                pixels[ny][nx] = BLACK
    for x, y in mark:
        pixels[y][x] = YELLOW
    return pixels


def ico_bytes(pixels):
    """One 4-bit image: header, directory entry, DIB with doubled height, mask."""
    xor_stride = SIDE // 2  # bytes per row, 2 pixels a byte (a multiple of 4)
    and_stride = 4          # bytes per row of 32 one-bit mask pixels
    xor = bytearray()
    mask = bytearray()
    for row in reversed(pixels):  # DIB rows run bottom-up
        for x in range(0, SIDE, 2):
            hi = row[x] if row[x] is not TRANSPARENT else BLACK
            lo = row[x + 1] if row[x + 1] is not TRANSPARENT else BLACK
            xor.append((hi << 4) | lo)
        bits = 0
        for x in range(SIDE):
            bits = (bits << 1) | (1 if row[x] is TRANSPARENT else 0)
        mask += struct.pack(">I", bits)
    assert len(xor) == xor_stride * SIDE and len(mask) == and_stride * SIDE

    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, SIDE, 2 * SIDE, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIDE, SIDE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "resources")
    for name, pixels in (("icon01.ico", application_icon()), ("icon02.ico", status_icon())):
        with open(os.path.join(out, name), "wb") as f:
            f.write(ico_bytes(pixels))


if __name__ == "__main__":
    main()
