#!/usr/bin/env python3
"""Makes the photographs of the end-to-end tests (nothing is downloaded).

Kinds of photograph:
  texture  a bright ellipse on dark ground, every pixel jittered by a hash of
           its position, so that reading back a neighbouring pixel instead of
           the right one shows; written as PNG with the standard library, or
           converted by ImageMagick ("format": gif (paletted), bmp, tiff, png16
           (16 bits a channel, each the 8-bit value times 257), grey-jpg)
  line     a dark 640 x 480 picture with one bright upright line one pixel wide
  dot      a dark 640 x 480 picture with one bright pixel
  pixels   a dark 640 x 480 picture with the bright pixels "points" ([x, y] each)
  truncated the first "keep" bytes (a fraction) of a sample photograph
  claims   a PNG whose header claims "width" x "height" pixels, with one small
           block of image data (nothing like enough)
  folder   a folder where the photograph should be
  plain    a grey gradient made by ImageMagick (for the size rules, where only
           the size matters); PNG or JPEG
  empty    a file of zero bytes
  text     a text file that carries an image's name
  missing  no file at all

usage: make_photos.py OUTDIR   writes one photograph of each kind as a sample
"""
import os
import struct
import subprocess
import sys
import zlib

GROUND_LEVEL = 40        # brightness of the darkest ground
GROUND_SPREAD = 150      # ground brightness jitter, so that part of it crosses the thresholds
DISC_LEVEL = 150         # brightness of the darkest disc pixel
DISC_SPREAD = 105        # up to 255
DISC_RADIUS_X = 0.36     # ellipse half-axes as fractions of the width and height
DISC_RADIUS_Y = 0.22


def _hash(x, y, salt):
    h = (x * 0x9E3779B1 + y * 0x85EBCA77 + salt * 0xC2B2AE3D) & 0xFFFFFFFF
    h ^= h >> 15
    h = (h * 0x2C1B3C6D) & 0xFFFFFFFF
    h ^= h >> 12
    return h


def texture_pixels(width, height):
    """RGB bytes, row after row."""
    out = bytearray(width * height * 3)
    cx, cy = width / 2.0, height / 2.0
    rx, ry = width * DISC_RADIUS_X, height * DISC_RADIUS_Y
    i = 0
    for y in range(height):
        dy = (y - cy) / ry
        for x in range(width):
            h = _hash(x, y, 1)
            dx = (x - cx) / rx
            inside = dx * dx + dy * dy <= 1.0
            base, spread = (DISC_LEVEL, DISC_SPREAD) if inside else (GROUND_LEVEL, GROUND_SPREAD)
            top = base + h % (spread + 1)
            # the brightest channel moves between red, green and blue
            channel = (h >> 8) % 3
            rest = (h >> 12) & 0xFF
            rgb = [rest * top // 255, (rest >> 1) * top // 255, top]
            rgb[2], rgb[channel] = rgb[channel], rgb[2]
            out[i:i + 3] = bytes(rgb)
            i += 3
    return bytes(out)


def write_png(path, width, height, rgb):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    stride = width * 3
    raw = b"".join(b"\x00" + rgb[y * stride:(y + 1) * stride] for y in range(height))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 6)))
        f.write(chunk(b"IEND", b""))


LINE_LENGTH = 40         # pixels of the bright upright line
BRIGHT = 250
DARK = 20
CONVERSIONS = {
    "gif": ["-colors", "256"],
    "bmp": ["-type", "TrueColor"],
    "tiff": ["-compress", "None"],
    "png16": ["-depth", "16"],
    "grey-jpg": ["-colorspace", "Gray", "-quality", "95"],
}
FORMAT_PREFIX = {"gif": "gif", "bmp": "bmp3", "tiff": "tiff", "png16": "png48", "grey-jpg": "jpg"}


def dark_with(width, height, bright):
    """RGB bytes of a dark picture with the given pixels bright."""
    out = bytearray([DARK]) * (width * height * 3)
    for x, y in bright:
        i = (y * width + x) * 3
        out[i:i + 3] = bytes([BRIGHT] * 3)
    return bytes(out)


def png_claiming(path, width, height):
    """A PNG whose header says width x height and whose data is one short block."""
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(b"\0" * 65536, 9)))
        f.write(chunk(b"IEND", b""))


def make_photo(recipe, path):
    """Writes the photograph that recipe describes to path (nothing for "missing")."""
    kind = recipe["kind"]
    if kind == "texture":
        w, h = recipe["width"], recipe["height"]
        fmt = recipe.get("format", "png")
        if fmt == "png":
            write_png(path, w, h, texture_pixels(w, h))
        else:
            source = path + ".source.png"
            write_png(source, w, h, texture_pixels(w, h))
            subprocess.run(["convert", source] + CONVERSIONS[fmt] + ["%s:%s" % (FORMAT_PREFIX[fmt], path)],
                           check=True)
            os.remove(source)
    elif kind == "line":
        write_png(path, 640, 480, dark_with(640, 480, [(320, 220 + i) for i in range(LINE_LENGTH)]))
    elif kind == "dot":
        write_png(path, 640, 480, dark_with(640, 480, [(320, 240)]))
    elif kind == "pixels":
        write_png(path, 640, 480, dark_with(640, 480, [tuple(p) for p in recipe["points"]]))
    elif kind == "truncated":
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "samples",
                               recipe["sample"]), "rb") as f:
            data = f.read()
        with open(path, "wb") as f:
            f.write(data[:int(len(data) * recipe["keep"])])
    elif kind == "claims":
        png_claiming(path, recipe["width"], recipe["height"])
    elif kind == "folder":
        os.makedirs(path)
    elif kind == "plain":
        w, h = recipe["width"], recipe["height"]
        fmt = recipe.get("format", "png")
        subprocess.run(["convert", "-size", "%dx%d" % (w, h), "gradient:gray10-gray90",
                        "-depth", "8", "%s:%s" % (fmt, path)], check=True)
    elif kind == "empty":
        open(path, "wb").close()
    elif kind == "text":
        with open(path, "w") as f:
            f.write("this is not a photograph\n")
    elif kind == "missing":
        pass
    else:
        raise ValueError("unknown kind of photograph: %s" % kind)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    make_photo({"kind": "texture", "width": 640, "height": 480}, os.path.join(out, "texture.png"))
    make_photo({"kind": "plain", "width": 2048, "height": 2048, "format": "jpg"}, os.path.join(out, "plain.jpg"))
    make_photo({"kind": "empty"}, os.path.join(out, "empty.png"))
    make_photo({"kind": "text"}, os.path.join(out, "text.png"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
