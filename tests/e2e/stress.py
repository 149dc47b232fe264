#!/usr/bin/env python3
"""Runs the launcher Quillmarsh.py many times in a row on rendered photographs,
with OK pressed by the test driver (attach mode), and checks that every run of
the same photograph prints the same numbers with the right exit code and that
no program or driver of the test is left behind.

usage: stress.py [RUNS] [--build DIR] [--prefix DIR]
Prints one line per failed run and then "stress: R runs, F failures, S s".
"""
import argparse
import json
import os
import shutil
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import wineenv  # noqa: E402

TOP = wineenv.TOP
SAMPLES = ("s01.png", "s02.png", "s15.jpg", "s07.png")   # each gives camera and light: exit 0
EXPECTED_EXIT = 0
LEFTOVER_WAIT_S = 5           # for the last processes to go after their run


def run_stress(runs, build, env, log=None):
    """Summary dict: runs, failures, seconds, first failure, leftovers."""
    folder = tempfile.mkdtemp(prefix="qm-stress-")
    first = {}
    failures = 0
    first_failure = None
    began = time.time()
    try:
        photos = {}
        for sample in SAMPLES:
            photos[sample] = os.path.join(folder, sample)
            shutil.copyfile(os.path.join(TOP, "tests", "data", "samples", sample), photos[sample])
        workdir = os.path.join(folder, "work")
        for i in range(runs):
            sample = SAMPLES[i % len(SAMPLES)]
            out, reason = wineenv.launcher_pressing_ok(photos[sample], workdir, build, env, folder, EXPECTED_EXIT)
            if reason is None:
                try:
                    result = json.loads(out)
                except ValueError:
                    result = None
                if result is None or "light" not in result:
                    reason = "no camera and light printed: %r" % out.strip()
                elif sample not in first:
                    first[sample] = result
                elif result != first[sample]:
                    reason = "numbers differ from the first run: %s, then %s" % (first[sample], result)
            if reason is not None:
                failures += 1
                first_failure = first_failure or "run %d (%s): %s" % (i + 1, sample, reason)
                if log:
                    log("stress run %d (%s) failed: %s" % (i + 1, sample, reason))
            elif log:
                log("stress run %d (%s) ok" % (i + 1, sample))
        # the last run's processes may take a moment to go
        deadline = time.time() + LEFTOVER_WAIT_S
        leftovers = wineenv.leftover_processes(env["WINEPREFIX"])
        while leftovers and time.time() < deadline:
            time.sleep(0.2)
            leftovers = wineenv.leftover_processes(env["WINEPREFIX"])
        if leftovers:
            failures += 1
            first_failure = first_failure or "left behind: %s" % leftovers
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return {"runs": runs, "failures": failures, "seconds": time.time() - began, "first_failure": first_failure,
            "leftovers": leftovers, "numbers": first}


def describe(summary):
    text = "%d runs, %d failures, %.1f s" % (summary["runs"], summary["failures"], summary["seconds"])
    if summary["first_failure"]:
        text += "; first: %s" % summary["first_failure"]
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("runs", nargs="?", type=int, default=200)
    parser.add_argument("--build", default=os.path.join(TOP, "build", "windows"))
    parser.add_argument("--prefix", default=os.environ.get("QM_E2E_PREFIX", os.path.join(TOP, "build", "e2e-wine")))
    parser.add_argument("--verbose", action="store_true", help="one line per run")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    for needed in ("Quillmarsh.exe", "qmdriver.exe"):
        if not os.path.exists(os.path.join(build, needed)):
            print("stress: %s is missing (scripts/build.sh windows)" % os.path.join(build, needed))
            return 1
    env = None
    summary = None
    try:
        env = wineenv.start_session(options.prefix)
        summary = run_stress(options.runs, build, env, log=print if options.verbose else None)
    finally:
        if env is not None:
            wineenv.stop_server(env)
        wineenv.stop_display()
    # with the server gone, nothing of the test's prefix may be running
    time.sleep(1)
    rest = wineenv.leftover_processes(env["WINEPREFIX"], names=None) if env else []
    for sample, result in sorted(summary["numbers"].items()):
        print("%s: %s" % (sample, json.dumps(result)))
    if summary["first_failure"]:
        print("first failure: %s" % summary["first_failure"])
    if rest:
        print("processes of the test prefix still running: %s" % rest)
        summary["failures"] += 1
    print("stress: %d runs, %d failures, %.1f s" % (summary["runs"], summary["failures"], summary["seconds"]))
    return 0 if summary["failures"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
