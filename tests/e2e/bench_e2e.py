#!/usr/bin/env python3
"""Timings of the real program under Wine on this machine:
  (a) start with a 2048 x 2048 JPEG until the dialog is ready (status cleared),
  (b) the same for a bare dialog program that loads nothing, and a / b,
  (c) one re-render of the threshold view for one trackbar step.
Medians of several runs; the driver times everything from inside Wine.

usage: bench_e2e.py [--build DIR] [--runs N]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wineenv  # noqa: E402

TOP = wineenv.TOP
READY_TIMEOUT_MS = 30000
EXIT_TIMEOUT_MS = 10000
STEPS_PER_BATCH = 100
STEP_BATCHES = 5
STARTUP_TARGET = 1.5      # start-up with a 2048 x 2048 photo / bare dialog
STEP_TARGET_MS = 20.0
DRIVER_TIMEOUT_S = 600


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default=os.path.join(TOP, "build", "windows"))
    parser.add_argument("--runs", type=int, default=11)
    options = parser.parse_args()
    driver = os.path.join(options.build, "qmdriver.exe")
    program = os.path.join(options.build, "Quillmarsh.exe")
    bare = os.path.join(options.build, "bare_dialog.exe")
    for needed in (driver, program, bare):
        if not os.path.exists(needed):
            print("missing %s (scripts/build.sh windows)" % needed)
            return 1

    folder = tempfile.mkdtemp(prefix="qm-bench-")
    env = None
    try:
        # A photograph-like 2048 x 2048 JPEG: the bundled sample, stretched.
        photo = os.path.join(folder, "large.jpg")
        subprocess.run(["convert", os.path.join(TOP, "tests", "data", "samples", "s01.png"),
                        "-resize", "2048x2048!", "-quality", "90", photo], check=True)
        display = wineenv.start_display()
        env = wineenv.environment(os.path.join(TOP, "build", "e2e-wine"), display)
        wineenv.ensure_prefix(env["WINEPREFIX"], env)
        wineenv.start_server(env)

        cwd = wineenv.windows_path(folder)
        lines = []
        # one warm-up start of each, not counted, then the two alternate
        for run in range(options.runs + 1):
            for exe, args in ((program, [wineenv.windows_path(photo)]), (bare, [])):
                lines += ["start\t%s\t%s\t%s" % (wineenv.windows_path(exe), cwd, "\t".join(args)),
                          "window\t%d" % READY_TIMEOUT_MS, "ready\t%d" % READY_TIMEOUT_MS,
                          "close", "exit\t%d" % EXIT_TIMEOUT_MS]
        lines += ["start\t%s\t%s\t%s" % (wineenv.windows_path(program), cwd, wineenv.windows_path(photo)),
                  "window\t%d" % READY_TIMEOUT_MS, "ready\t%d" % READY_TIMEOUT_MS]
        lines += ["steps\t%d" % STEPS_PER_BATCH] * (STEP_BATCHES + 1)
        lines += ["close", "exit\t%d" % EXIT_TIMEOUT_MS]
        script = os.path.join(folder, "bench.txt")
        with open(script, "w") as f:
            f.write("\n".join(lines) + "\n")
        out, error = wineenv.run_driver(driver, script, env, DRIVER_TIMEOUT_S)
        if error:
            print("the benchmark %s" % error)
            return 1

        ready, steps = [], []
        for fields in out:
            if len(fields) >= 3 and fields[2] != "ok" and fields[1] not in ("leftover",):
                print("driver: %s" % " ".join(fields))
                return 1
            if fields[1] == "ready":
                ready.append(float(fields[3]))
            elif fields[1] == "steps":
                steps.append(float(fields[4]) / int(fields[3]))
        photo_runs = ready[0:2 * (options.runs + 1):2][1:]
        bare_runs = ready[1:2 * (options.runs + 1):2][1:]
        step_runs = steps[1:]
        photo_ms = statistics.median(photo_runs)
        bare_ms = statistics.median(bare_runs)
        step_ms = statistics.median(step_runs)
        ratio = photo_ms / bare_ms

        def runs(values):
            return "min %.0f; %s" % (min(values), ", ".join("%.0f" % v for v in values))

        print("(a) start to ready, 2048 x 2048 JPEG:  %7.1f ms  (median of %d: %s)"
              % (photo_ms, len(photo_runs), runs(photo_runs)))
        print("(b) start to ready, bare dialog:       %7.1f ms  (median of %d: %s)"
              % (bare_ms, len(bare_runs), runs(bare_runs)))
        print("    ratio a / b:                       %7.2f     (target <= %.1f: %s)"
              % (ratio, STARTUP_TARGET, "met" if ratio <= STARTUP_TARGET else "NOT met"))
        print("(c) threshold view, one trackbar step: %7.2f ms  (median of %d batches of %d; target <= %.0f ms: %s)"
              % (step_ms, len(step_runs), STEPS_PER_BATCH, STEP_TARGET_MS,
                 "met" if step_ms <= STEP_TARGET_MS else "NOT met"))
        return 0
    finally:
        if env is not None:
            wineenv.stop_server(env)
        wineenv.stop_display()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
