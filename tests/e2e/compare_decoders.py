#!/usr/bin/env python3
"""Compares the native decoders with GDI+ under Wine, photograph by photograph.

Makes photographs of many layouts from a sample with ImageMagick (PNG at 1, 4,
8 and 16 bits, grey, grey and alpha, paletted with transparency, interlaced;
JPEG baseline, progressive, grey, CMYK and with other chroma sampling; GIF
plain, interlaced, transparent, animated and with a small first image; TIFF;
BMP), decodes each with build/native/decode_dump and with
build/windows/decode_dump.exe under Wine, and prints per photograph the two
results, the largest channel difference, how many pixels differ and whether
GDI+'s GetPixel agrees with the locked read. Ends "compare: N same, N
differ"; exits 1 when a PNG differs at all or any other differs by more than
--jpeg-tolerance in a channel.

usage: compare_decoders.py [--keep] [--jpeg-tolerance N] [--prefix DIR]
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wineenv  # noqa: E402

TOP = wineenv.TOP
SAMPLE = os.path.join(TOP, "tests", "data", "samples", "s02.png")
WINE_TIMEOUT_S = 120

# name, ImageMagick arguments between the sample and the output
LAYOUTS = [
    ("rgb8.png", ["PNG24:"]),
    ("rgb16.png", ["-depth", "16", "-evaluate", "multiply", "0.77", "PNG48:"]),
    ("rgba16.png", ["-depth", "16", "-alpha", "set", "-channel", "A", "-fx", "0.3+0.7*i/w", "+channel",
                    "-evaluate", "multiply", "0.9", "PNG64:"]),
    ("rgba8.png", ["-alpha", "set", "-channel", "A", "-fx", "i/w", "+channel", "PNG32:"]),
    ("grey8.png", ["-colorspace", "Gray", "-define", "png:color-type=0", "-define", "png:bit-depth=8", "PNG:"]),
    ("grey16.png", ["-colorspace", "Gray", "-depth", "16", "-evaluate", "multiply", "0.77",
                    "-define", "png:color-type=0", "-define", "png:bit-depth=16", "PNG:"]),
    ("grey4.png", ["-colorspace", "Gray", "-depth", "4", "-define", "png:color-type=0", "PNG:"]),
    ("grey1.png", ["-colorspace", "Gray", "-threshold", "50%", "-define", "png:color-type=0",
                   "-define", "png:bit-depth=1", "PNG:"]),
    ("greyalpha.png", ["-colorspace", "Gray", "-alpha", "set", "-channel", "A", "-fx", "j/h", "+channel",
                       "-define", "png:color-type=4", "PNG:"]),
    ("palette.png", ["-colors", "200", "PNG8:"]),
    ("palette_trns.png", ["-colors", "100", "-transparent", "black", "-fuzz", "20%", "PNG8:"]),
    ("interlaced.png", ["-interlace", "PNG", "PNG24:"]),
    ("baseline.jpg", ["-quality", "90", "JPEG:"]),
    ("progressive.jpg", ["-quality", "90", "-interlace", "JPEG", "JPEG:"]),
    ("s444.jpg", ["-quality", "90", "-sampling-factor", "1x1", "JPEG:"]),
    ("s422.jpg", ["-quality", "90", "-sampling-factor", "2x1", "JPEG:"]),
    ("grey.jpg", ["-colorspace", "Gray", "-quality", "90", "JPEG:"]),
    ("cmyk.jpg", ["-colorspace", "CMYK", "-quality", "90", "JPEG:"]),
    ("plain.gif", ["GIF:"]),
    ("interlaced.gif", ["-interlace", "GIF", "GIF:"]),
    ("transparent.gif", ["-fuzz", "20%", "-transparent", "black", "GIF:"]),
    ("rgb.tif", ["-compress", "none", "TIFF:"]),
    ("lzw.tif", ["-compress", "lzw", "TIFF:"]),
    ("grey.tif", ["-colorspace", "Gray", "-compress", "none", "TIFF:"]),
    ("rgba.tif", ["-alpha", "set", "-channel", "A", "-fx", "i/w", "+channel", "-compress", "none", "TIFF:"]),
    ("rgb16.tif", ["-depth", "16", "-evaluate", "multiply", "0.77", "-compress", "none", "TIFF:"]),
    ("rgb24.bmp", ["BMP3:"]),
]


def make_photos(folder):
    paths = []
    for name, arguments in LAYOUTS:
        path = os.path.join(folder, name)
        *options, coder = arguments
        subprocess.run(["convert", SAMPLE] + options + [coder + path], check=True)
        paths.append(path)
    # A GIF whose first image covers part of the screen, and an animated one.
    small = os.path.join(folder, "small_frame.gif")
    subprocess.run(["convert", SAMPLE, "-crop", "400x300+100+50", "-background", "red", "-page", "640x480+100+50",
                    "GIF:" + small], check=True)
    animated = os.path.join(folder, "animated.gif")
    subprocess.run(["convert", SAMPLE, "(", SAMPLE, "-negate", ")", "GIF:" + animated], check=True)
    return paths + [small, animated]


def read_pam(path):
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"ENDHDR\n") + len(b"ENDHDR\n")
    fields = dict(line.split(b" ", 1) for line in data[:end].split(b"\n")[1:-2])
    return int(fields[b"WIDTH"]), int(fields[b"HEIGHT"]), data[end:]


def parse_report(text):
    report = {}
    for line in text.splitlines():
        key, _, value = line.partition(" ")
        report[key] = value
    return report


def compare(native_pam, wine_pam):
    """(largest channel difference in RGB, pixels differing in RGB, pixels differing in alpha)"""
    nw, nh, npx = read_pam(native_pam)
    ww, wh, wpx = read_pam(wine_pam)
    if (nw, nh) != (ww, wh):
        return None
    largest = 0
    rgb_pixels = 0
    alpha_pixels = 0
    for i in range(0, len(npx), 4):
        a, b = npx[i:i + 4], wpx[i:i + 4]
        if a == b:
            continue
        d = max(abs(a[0] - b[0]), abs(a[1] - b[1]), abs(a[2] - b[2]))
        if d:
            rgb_pixels += 1
            largest = max(largest, d)
        if a[3] != b[3]:
            alpha_pixels += 1
    return largest, rgb_pixels, alpha_pixels


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--keep", action="store_true", help="keep the photographs and dumps")
    parser.add_argument("--jpeg-tolerance", type=int, default=3)
    parser.add_argument("--prefix", default=os.path.join(TOP, "build", "e2e-wine"))
    options = parser.parse_args()
    native = os.path.join(TOP, "build", "native", "decode_dump")
    windows = os.path.join(TOP, "build", "windows", "decode_dump.exe")
    for program in (native, windows):
        if not os.path.exists(program):
            sys.exit("missing %s (scripts/build.sh native and windows)" % program)

    folder = tempfile.mkdtemp(prefix="qm-decoders-")
    env = wineenv.start_session(options.prefix)
    same = differ = 0
    bad = []
    try:
        for photo in make_photos(folder):
            name = os.path.basename(photo)
            nout, wout = photo + ".native.pam", photo + ".wine.pam"
            n = parse_report(subprocess.run([native, photo, nout], capture_output=True, text=True).stdout)
            # Output to a file, not a pipe: Wine's helper processes inherit a
            # pipe and keep it open long after the program has ended.
            with open(photo + ".wine.txt", "w+") as report:
                subprocess.run(["wine", windows, wineenv.windows_path(photo), wineenv.windows_path(wout)], env=env,
                               stdin=subprocess.DEVNULL, stdout=report, stderr=subprocess.DEVNULL,
                               timeout=WINE_TIMEOUT_S)
                report.seek(0)
                w = parse_report(report.read().replace("\r", ""))
            line = "%-18s native %s wine %s" % (name, n.get("result", "?"), w.get("result", "?"))
            if n.get("result") == "0" and w.get("result") == "0":
                line += " size %s / %s" % (n["size"], w["size"])
                diff = compare(nout, wout)
                if diff is None:
                    line += " sizes differ"
                    ok = False
                else:
                    largest, rgb_pixels, alpha_pixels = diff
                    line += " largest %d, %d pixels differ in colour, %d in alpha" % diff
                    ok = largest == 0 and alpha_pixels == 0
                    allowed = 0 if name.endswith(".png") else options.jpeg_tolerance
                    if largest > allowed:
                        bad.append(name)
                line += ", getpixel %s" % w.get("getpixel", "?")
            else:
                ok = n.get("result") == w.get("result")
                if not ok and not name.endswith(".bmp"):
                    bad.append(name)
            same += ok
            differ += not ok
            print(line, flush=True)
    finally:
        wineenv.stop_server(env)
        wineenv.stop_display()
        if options.keep:
            print("photographs and dumps kept in", folder)
        else:
            shutil.rmtree(folder, ignore_errors=True)
    print("compare: %d same, %d differ%s" % (same, differ, (" (beyond tolerance: %s)" % " ".join(bad)) if bad else ""))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
