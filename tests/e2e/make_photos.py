#!/usr/bin/env python3
"""Makes the photographs of the end-to-end tests (nothing is downloaded).

Kinds of photograph:
  texture  a bright ellipse on dark ground, every pixel jittered by a hash of
           its position, so that reading back a neighbouring pixel instead of
           the right one shows; written as PNG with the standard library, or
           converted by ImageMagick ("format": gif (paletted), bmp, tiff, png16
           (16 bits a channel, each the 8-bit value times 257), grey-jpg,
           gif2 (an animated GIF: the texture, then the texture upside down))
  line     a dark 640 x 480 picture with one bright upright line one pixel wide
  dot      a dark 640 x 480 picture with one bright pixel
  pixels   a dark 640 x 480 picture with the bright pixels "points" ([x, y] each)
  truncated the first "keep" bytes (a fraction) of a sample photograph
  claims   a file whose header claims "width" x "height" pixels, with a little
           image data (nothing like enough); "format": png (default), jpg
           (baseline frame header), progressive-jpg, bmp (a negative height:
           rows from the top), gif (the logical screen; one 1 x 1 image) or tiff
  bomb     a grey 8-bit PNG of "width" x "height" zero pixels with its whole,
           valid compressed data (a few MB for 50000 x 50000)
  animated a GIF of "frames" plain "width" x "height" images, each a few KB
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
    # the second frame shares the first one's colours, upside down
    "gif2": ["-colors", "256", "(", "+clone", "-flip", ")", "-loop", "0"],
}
FORMAT_PREFIX = {"gif": "gif", "bmp": "bmp3", "tiff": "tiff", "png16": "png48", "grey-jpg": "jpg", "gif2": "gif"}


def dark_with(width, height, bright):
    """RGB bytes of a dark picture with the given pixels bright."""
    out = bytearray([DARK]) * (width * height * 3)
    for x, y in bright:
        i = (y * width + x) * 3
        out[i:i + 3] = bytes([BRIGHT] * 3)
    return bytes(out)


def png_chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png_claiming(path, width, height):
    """A PNG whose header says width x height and whose data is one short block."""
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(png_chunk(b"IDAT", zlib.compress(b"\0" * 65536, 9)))
        f.write(png_chunk(b"IEND", b""))


CLAIM_SOURCE_SIZE = "64x48"       # the small real JPEG whose frame header is rewritten
JPEG_FRAMES = {"jpg": 0xC0, "progressive-jpg": 0xC2}
JPEG_STANDALONE = (0x01,) + tuple(range(0xD0, 0xD8))   # markers without a length


def jpeg_claiming(path, width, height, frame):
    """A real small JPEG (baseline or progressive) whose frame header is changed
    to say width x height; the rest of the file stays as it was."""
    options = ["-interlace", "JPEG"] if frame == 0xC2 else ["-interlace", "none"]
    data = bytearray(subprocess.run(["convert", "-size", CLAIM_SOURCE_SIZE, "gradient:gray10-gray90"] + options +
                                    ["jpg:-"], check=True, stdout=subprocess.PIPE).stdout)
    at = 2
    while data[at + 1] != frame:
        if data[at] != 0xFF or data[at + 1] == 0xDA:
            raise ValueError("no frame header 0x%02X in ImageMagick's JPEG" % frame)
        at += 2 if data[at + 1] in JPEG_STANDALONE else 2 + struct.unpack(">H", data[at + 2:at + 4])[0]
    # marker (2), length (2), precision (1), then height and width
    data[at + 5:at + 9] = struct.pack(">HH", height, width)
    with open(path, "wb") as f:
        f.write(data)


BMP_FILE_HEADER = 14
BMP_INFO_HEADER = 40
CLAIM_DATA_BYTES = 4096          # pixel data of a header-only claim


def bmp_claiming(path, width, height):
    """A 24-bit BMP whose info header says width x height (a negative height
    means rows from the top), followed by a little pixel data."""
    offset = BMP_FILE_HEADER + BMP_INFO_HEADER
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", offset + CLAIM_DATA_BYTES, 0, 0, offset))
        f.write(struct.pack("<IiiHHIIiiII", BMP_INFO_HEADER, width, height, 1, 24, 0, 0, 2835, 2835, 0, 0))
        f.write(b"\x80" * CLAIM_DATA_BYTES)


# GIF: clear and end codes of a 2-bit code size, the smallest that GIF allows.
GIF_MIN_CODE_SIZE = 2
GIF_CLEAR = 1 << GIF_MIN_CODE_SIZE
GIF_END = GIF_CLEAR + 1
GIF_MAX_BITS = 12
GIF_PALETTE = bytes([0, 0, 0, 96, 96, 96, 160, 160, 160, 255, 255, 255])   # 4 colours
GIF_BLOCK = 255                  # bytes of one data sub-block


def gif_lzw_codes(pixels):
    """The LZW codes of a sequence of palette indices, from a clear code to the
    end code, each with its width in bits. The code width grows when the
    decoder's table (one entry behind the encoder's) fills the current width."""
    table = {(i,): i for i in range(GIF_CLEAR)}
    width = GIF_MIN_CODE_SIZE + 1
    codes = [(GIF_CLEAR, width)]
    next_code = GIF_END + 1
    emitted = 0
    current = (pixels[0],)
    for p in pixels[1:]:
        if current + (p,) in table:
            current += (p,)
            continue
        codes.append((table[current], width))
        emitted += 1
        if GIF_END + emitted >= 1 << width and width < GIF_MAX_BITS:
            width += 1
        if next_code < 1 << GIF_MAX_BITS:
            table[current + (p,)] = next_code
            next_code += 1
        current = (p,)
    codes.append((table[current], width))
    emitted += 1
    if GIF_END + emitted >= 1 << width and width < GIF_MAX_BITS:
        width += 1
    codes.append((GIF_END, width))
    return codes


def gif_plain_codes(count, index):
    """gif_lzw_codes of count pixels of one index, without walking the pixels:
    the encoder sends runs of 1, 2, 3 ... pixels, each run's code being the
    table entry the run before it added, and what is left as one last run."""
    width = GIF_MIN_CODE_SIZE + 1
    codes = [(GIF_CLEAR, width)]
    emitted, length, left = 0, 1, count
    while left > 0:
        run = min(length, left)
        # a run of 1 is the index itself; a run of n >= 2 was entry GIF_END + n - 1
        codes.append((index if run == 1 else GIF_END + run - 1, width))
        emitted += 1
        if GIF_END + emitted >= 1 << width and width < GIF_MAX_BITS:
            width += 1
        left -= run
        length += 1
    if GIF_END + length - 1 >= 1 << GIF_MAX_BITS:
        raise ValueError("a plain GIF image of %d pixels fills the code table" % count)
    codes.append((GIF_END, width))
    return codes


def gif_image_data(codes):
    """The image data of a GIF image: code size, sub-blocks of the codes packed
    from the lowest bit up, and the empty sub-block."""
    packed, bits, value = bytearray(), 0, 0
    for code, width in codes:
        value |= code << bits
        bits += width
        while bits >= 8:
            packed.append(value & 0xFF)
            value >>= 8
            bits -= 8
    if bits:
        packed.append(value)
    out = bytearray([GIF_MIN_CODE_SIZE])
    for i in range(0, len(packed), GIF_BLOCK):
        block = packed[i:i + GIF_BLOCK]
        out += bytes([len(block)]) + block
    return bytes(out + b"\0")


def gif_image(width, height, data):
    """Image descriptor at (0, 0), no colour table of its own, then the data."""
    return b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0) + data


def gif_header(width, height):
    """Signature, logical screen with the global 4-colour table."""
    return b"GIF89a" + struct.pack("<HHBBB", width, height, 0x80 | (GIF_MIN_CODE_SIZE - 1), 0, 0) + GIF_PALETTE


def gif_claiming(path, width, height):
    """A GIF whose logical screen is width x height, with one 1 x 1 image."""
    with open(path, "wb") as f:
        f.write(gif_header(width, height) + gif_image(1, 1, gif_image_data(gif_lzw_codes([3]))) + b"\x3b")


GIF_FRAME_DELAY = 4              # hundredths of a second between frames
GIF_LOOP = b"\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00"   # loop for ever


def gif_animated(path, width, height, frames):
    """A looping GIF of frames plain images, each behind its graphic control
    extension (delay, then restore to background); the frames cycle through the
    palette's colours, each colour's data computed once."""
    data = {}
    with open(path, "wb") as f:
        f.write(gif_header(width, height) + GIF_LOOP)
        for i in range(frames):
            index = 1 + i % 3
            if index not in data:
                data[index] = gif_image_data(gif_plain_codes(width * height, index))
            f.write(b"\x21\xf9\x04" + struct.pack("<BHB", 2 << 2, GIF_FRAME_DELAY, 0) + b"\0")
            f.write(gif_image(width, height, data[index]))
        f.write(b"\x3b")


TIFF_SHORT = 3
TIFF_LONG = 4


def tiff_claiming(path, width, height):
    """An uncompressed grey 8-bit little-endian TIFF whose first directory says
    width x height, with one strip that claims all the rows but holds little."""
    entries = [(256, TIFF_LONG, width), (257, TIFF_LONG, height), (258, TIFF_SHORT, 8), (259, TIFF_SHORT, 1),
               (262, TIFF_SHORT, 1), (273, TIFF_LONG, 0), (277, TIFF_SHORT, 1), (278, TIFF_LONG, height),
               (279, TIFF_LONG, min(width * height, 0xFFFFFFFF))]
    directory_at = 8
    data_at = directory_at + 2 + 12 * len(entries) + 4
    out = bytearray(b"II*\0" + struct.pack("<I", directory_at) + struct.pack("<H", len(entries)))
    for tag, kind, value in entries:
        value = data_at if tag == 273 else value
        packed = struct.pack("<HI", value, 0)[:4] if kind == TIFF_SHORT else struct.pack("<I", value)
        out += struct.pack("<HHI", tag, kind, 1) + packed
    out += struct.pack("<I", 0) + b"\x80" * CLAIM_DATA_BYTES
    with open(path, "wb") as f:
        f.write(out)


CLAIMS = {"png": png_claiming, "bmp": bmp_claiming, "gif": gif_claiming, "tiff": tiff_claiming}

BOMB_ROWS_PER_BLOCK = 500       # rows compressed once and repeated
IDAT_BYTES = 1 << 20            # compressed bytes per IDAT chunk
ADLER_MODULUS = 65521


def png_bomb(path, width, height):
    """A grey 8-bit PNG of zero pixels with a complete zlib stream, written as
    it is made. The raw data (a filter byte of 0 and width zeros per row) is all
    zeros, so after a full flush, which empties the compressor's window, each
    block of rows compresses to the same bytes: one block is compressed, the
    rest are copies. The Adler-32 of n zero bytes is a = 1, b = n mod 65521."""
    rows_per_block = min(BOMB_ROWS_PER_BLOCK, height)
    row_bytes = width + 1
    deflate = zlib.compressobj(9, zlib.DEFLATED, -15)
    block = deflate.compress(bytes(row_bytes * rows_per_block)) + deflate.flush(zlib.Z_FULL_FLUSH)
    again = deflate.compress(bytes(row_bytes * rows_per_block)) + deflate.flush(zlib.Z_FULL_FLUSH)
    if block != again:
        raise RuntimeError("the compressor does not repeat itself after a full flush")
    blocks, rest = divmod(height, rows_per_block)
    tail = deflate.compress(bytes(row_bytes * rest)) + deflate.flush(zlib.Z_FINISH)
    total = row_bytes * height
    adler = (total % ADLER_MODULUS) << 16 | 1

    def pieces():
        yield b"\x78\xda"           # deflate, 32 KB window, best compression
        for _ in range(blocks):
            yield block
        yield tail
        yield struct.pack(">I", adler)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0)))
        pending = b""
        for piece in pieces():
            pending += piece
            while len(pending) >= IDAT_BYTES:
                f.write(png_chunk(b"IDAT", pending[:IDAT_BYTES]))
                pending = pending[IDAT_BYTES:]
        f.write(png_chunk(b"IDAT", pending))
        f.write(png_chunk(b"IEND", b""))


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
        fmt = recipe.get("format", "png")
        if fmt in JPEG_FRAMES:
            jpeg_claiming(path, recipe["width"], recipe["height"], JPEG_FRAMES[fmt])
        else:
            CLAIMS[fmt](path, recipe["width"], recipe["height"])
    elif kind == "bomb":
        png_bomb(path, recipe["width"], recipe["height"])
    elif kind == "animated":
        gif_animated(path, recipe["width"], recipe["height"], recipe["frames"])
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
