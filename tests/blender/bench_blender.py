#!/usr/bin/env python3
"""Time of applying a result in Blender, on top of Blender's own start: the
median of several headless runs that only start Blender against the same runs
that apply tests/blender/results/s07.json to its photo (no render, no save),
and the apply procedure alone, timed inside one Blender. Target: under 1 s.

usage: bench_blender.py [--runs N]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
ADDON = os.path.join(TOP, "blender", "quillmarsh_blender.py")
PACKAGE_FOLDER = os.path.join(TOP, "blender")
PHOTO = os.path.join(TOP, "tests", "data", "samples", "s07.png")
RESULT = os.path.join(HERE, "results", "s07.json")
TARGET_S = 1.0
INSIDE = """
import sys, time, bpy
sys.path.insert(0, %r)
from quillmarsh import headless
times = []
for _ in range(%d):
    bpy.ops.wm.read_factory_settings(use_empty=False)
    began = time.perf_counter()
    code, line = headless.headless([%r, "--result", %r])
    times.append(time.perf_counter() - began)
    assert code == 0, line
times.sort()
print("inside: %%.1f" %% (1000.0 * times[len(times) // 2]))
"""


def timed(command):
    began = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - began


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    runs = parser.parse_args().runs
    blender = shutil.which("blender")
    if blender is None:
        print("blender bench: Blender is not installed")
        return 1
    base = [blender, "-b", "--factory-startup"]
    bare, applied = [], []
    for _ in range(runs):   # interleaved, so that a busy moment touches both alike
        bare.append(timed(base + ["--python-expr", "pass"]))
        applied.append(timed(base + ["--python", ADDON, "--", PHOTO, "--result", RESULT]))
    inside = subprocess.run(base + ["--python-expr", INSIDE % (PACKAGE_FOLDER, runs, PHOTO, RESULT)],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT).stdout.decode()
    inside_ms = next((l.split()[1] for l in inside.splitlines() if l.startswith("inside:")), "?")
    extra = statistics.median(applied) - statistics.median(bare)
    print("blender start %.2f s (median of %d, %.2f..%.2f), start + apply %.2f s (%.2f..%.2f)"
          % (statistics.median(bare), runs, min(bare), max(bare), statistics.median(applied), min(applied),
             max(applied)))
    # The difference of two process timings is only as steady as the machine
    # (a busy one can even make it negative); the inside timing is the apply's own.
    met = extra < TARGET_S and inside_ms != "?" and float(inside_ms) < 1000.0 * TARGET_S
    print("applying a result: %.2f s on top of the start, %s ms inside Blender (target < %.0f s): %s"
          % (extra, inside_ms, TARGET_S, "met" if met else "missed"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
