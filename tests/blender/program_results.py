#!/usr/bin/env python3
"""The real program's own numbers for a few samples, as the launcher prints them
after OK: Quillmarsh.py runs build/windows/Quillmarsh.exe under Wine and the
test driver presses OK in the dialog (the same way as the stress run).

    program_results.py --write   runs the samples and writes results/SAMPLE.json
    program_results.py           runs them and compares with the files kept here

The Blender tests read the kept files, so they run without Wine. The comparison
prints "program results: N passed, N failed". The classic "camera" and "light"
records come from the dialog and must match exactly. The "refined" record is
computed by the native measurement command the launcher finds, whose maths
library and build type may move a printed last decimal: its texts and keys
must match, its numbers within REFINED_TOLERANCE. Anything else a later
launcher prints is not compared.
"""
import argparse
import json
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
import wineenv  # noqa: E402

# s07 rolled, s27 portrait, s01 plain, e02 camera only (the launcher exits 1
# after the question about the missing shadow is answered OK)
SAMPLES = {"s07.png": 0, "s27.png": 0, "s01.png": 0, "e02.png": 1}
CLASSIC_RECORDS = ("camera", "light")
REFINED_RECORD = "refined"
# degrees and scene units: far above the printed last decimal another build may
# move, far below any real change of the refined numbers
REFINED_TOLERANCE = 1e-4


def result_path(sample):
    return os.path.join(HERE, "results", os.path.splitext(sample)[0] + ".json")


def classic(result):
    return {key: result[key] for key in CLASSIC_RECORDS if key in result}


def refined_difference(printed, kept, where=REFINED_RECORD):
    """None when the printed refined record is the kept one (texts and keys
    exactly, numbers within REFINED_TOLERANCE), else where it first differs."""
    if isinstance(kept, dict) and isinstance(printed, dict):
        if sorted(printed) != sorted(kept):
            return "%s has keys %s, the kept file %s" % (where, sorted(printed), sorted(kept))
        for key in sorted(kept):
            found = refined_difference(printed[key], kept[key], "%s.%s" % (where, key))
            if found:
                return found
        return None
    numbers = all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in (printed, kept))
    if numbers and abs(printed - kept) <= REFINED_TOLERANCE:
        return None
    if not numbers and printed == kept:
        return None
    return "%s is %r, the kept file says %r" % (where, printed, kept)


def compare(result, kept):
    """None when the launcher's result is the kept one, else what differs."""
    if classic(result) != classic(kept):
        return "the program now prints %s, the kept file says %s" % (classic(result), classic(kept))
    if (REFINED_RECORD in result) != (REFINED_RECORD in kept):
        return "a refined record %s, the kept file %s" % (
            "printed" if REFINED_RECORD in result else "missing", "has one" if REFINED_RECORD in kept else "none")
    return refined_difference(result.get(REFINED_RECORD), kept.get(REFINED_RECORD))


def run_samples(build, env):
    """{sample: (parsed JSON or None, problem or None)}"""
    folder = tempfile.mkdtemp(prefix="qm-blender-results-")
    found = {}
    try:
        for sample, expected in SAMPLES.items():
            photo = os.path.join(folder, sample)
            shutil.copyfile(os.path.join(TOP, "tests", "data", "samples", sample), photo)
            out, problem = wineenv.launcher_pressing_ok(photo, os.path.join(folder, "work"), build, env, folder,
                                                        expected, answer_question=expected == 1)
            result = None
            if problem is None:
                try:
                    result = json.loads(out)
                except ValueError:
                    problem = "no JSON printed: %r" % out.strip()
            found[sample] = (result, problem)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--write", action="store_true", help="write the results instead of comparing")
    parser.add_argument("--build", default=os.path.join(TOP, "build", "windows"))
    parser.add_argument("--prefix", default=os.environ.get("QM_E2E_PREFIX", os.path.join(TOP, "build", "e2e-wine")))
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    for needed in ("Quillmarsh.exe", "qmdriver.exe"):
        if not os.path.exists(os.path.join(build, needed)):
            print("program results: %s is missing (scripts/build.sh windows)" % needed)
            print("program results: 0 passed, 1 failed")
            return 1
    env = None
    try:
        env = wineenv.start_session(options.prefix)
        found = run_samples(build, env)
    finally:
        if env is not None:
            wineenv.stop_server(env)
        wineenv.stop_display()
    passed = failed = 0
    for sample, (result, problem) in found.items():
        if problem is None and options.write:
            with open(result_path(sample), "w") as f:
                json.dump(result, f, indent=1)
                f.write("\n")
        elif problem is None:
            with open(result_path(sample)) as f:
                kept = json.load(f)
            problem = compare(result, kept)
        if problem is None:
            passed += 1
        else:
            failed += 1
            print("FAIL %s: %s" % (sample, problem))
    print("program results: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
