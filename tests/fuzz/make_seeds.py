#!/usr/bin/env python3
"""Writes the fuzz targets' starting corpora: for the analysis
(tests/fuzz/seeds) block-mode markers (8 x 8 work pixels per byte) with and
without a shadow, at a few sizes; for the header reader
(tests/fuzz/header_seeds) the first bytes of small PNG, JPEG, GIF (two
frames), BMP and TIFF files made with ImageMagick."""
import math
import os
import struct
import subprocess
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
seeds = os.path.join(here, "seeds")
os.makedirs(seeds, exist_ok=True)
BLOCKS = 80  # 640 work pixels / 8


def header(width, height, threshold, flags):
    return struct.pack("<HHBB", width, height, threshold, flags)


def marker(a, b, angle, shadow):
    cells = bytearray(BLOCKS * BLOCKS)
    c, s = math.cos(angle), math.sin(angle)
    for y in range(BLOCKS):
        for x in range(BLOCKS):
            dx, dy = x - 40 + 0.5, y - 30 + 0.5
            u, v = (dx * c + dy * s) / a, (dx * s - dy * c) / b
            value = 30
            if u * u + v * v <= 1.0:
                value = 220
                if shadow and 0 <= dx <= 0.7 * a and abs(dy) <= 1:
                    value = 60
                if shadow and abs(dx) < 1 and -0.9 * b <= dy <= 0:
                    value = 60
            cells[y * BLOCKS + x] = value
    return bytes(cells)


cases = [
    ("marker_shadow", 640, 480, 160, 0b111, marker(18, 9, 0.0, True)),
    ("marker_plain", 1920, 1080, 160, 0b101, marker(15, 10, 0.3, False)),
    ("marker_tilted", 480, 360, 128, 0b011, marker(20, 6, -0.8, True)),
    ("circle", 2048, 2048, 100, 0b111, marker(12, 12, 0.0, True)),
]
for name, w, h, t, flags, body in cases:
    with open(os.path.join(seeds, name), "wb") as out:
        out.write(header(w, h, t, flags) + body)

header_seeds = os.path.join(here, "header_seeds")
os.makedirs(header_seeds, exist_ok=True)
HEAD_BYTES = 4096
with tempfile.TemporaryDirectory() as scratch:
    for ext in ("png", "jpg", "bmp", "tiff"):
        path = os.path.join(scratch, "seed." + ext)
        subprocess.run(["convert", "-size", "64x48", "gradient:white-black", path], check=True)
        with open(path, "rb") as src, open(os.path.join(header_seeds, ext), "wb") as out:
            out.write(src.read(HEAD_BYTES))
    gif = os.path.join(scratch, "seed.gif")
    subprocess.run(["convert", "-size", "32x24", "xc:white", "xc:black", "-loop", "0", gif], check=True)
    with open(gif, "rb") as src, open(os.path.join(header_seeds, "gif2"), "wb") as out:
        out.write(src.read(HEAD_BYTES))

# For the decoders (tests/fuzz/decode_seeds): whole small files that pass the
# size rules (320 x 240), one per layout, and a JPEG with the lens tags.
decode_seeds = os.path.join(here, "decode_seeds")
os.makedirs(decode_seeds, exist_ok=True)
sample = os.path.join(here, "..", "data", "samples", "v01.jpg")
layouts = [
    ("rgb.png", ["PNG24:"]), ("rgb16.png", ["-depth", "16", "PNG48:"]), ("palette.png", ["-colors", "16", "PNG8:"]),
    ("interlaced.png", ["-interlace", "PNG", "PNG24:"]), ("grey.jpg", ["-colorspace", "Gray", "JPEG:"]),
    ("progressive.jpg", ["-interlace", "JPEG", "JPEG:"]), ("cmyk.jpg", ["-colorspace", "CMYK", "JPEG:"]),
    ("plain.gif", ["-colors", "16", "GIF:"]), ("lzw.tif", ["-colors", "16", "-compress", "lzw", "TIFF:"]),
]
for name, arguments in layouts:
    *options, coder = arguments
    subprocess.run(["convert", sample, "-strip", "-resize", "320x240!", "-posterize", "6", "-quality", "30"] + options +
                   [coder + os.path.join(decode_seeds, name)], check=True)
# The lens tags stay when the picture is made smaller.
subprocess.run(["convert", sample, "-resize", "320x240!", "-quality", "30",
                "JPEG:" + os.path.join(decode_seeds, "lens.jpg")], check=True)
