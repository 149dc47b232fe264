#!/usr/bin/env python3
"""The add-on's plain-Python side, without Blender: the result checks, the
plan, the command line's options, and the launcher it measures through (where
the launcher finds the programs, whether the dialog can run, the command's
message and preview passed back). Ends with "add-on python: N passed, N failed".

    python3 tests/blender/test_result.py
"""
import json
import math
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(TOP, "blender"))
from quillmarsh import headless, measure  # noqa: E402
from quillmarsh.result import CLASSIC_FOV_DEG, MatchError, make_plan, marker_scale, read_result, read_result_file  # noqa: E402,E501
from quillmarsh.result import matched_light, parse_albedo  # noqa: E402
from quillmarsh import distortion  # noqa: E402

with open(os.path.join(HERE, "results", "s07.json")) as _f:
    S07 = _f.read()


def edited(change):
    result = json.loads(S07)
    change(result)
    return json.dumps(result)


BAD_RESULTS = [
    ("not JSON", "{\"camera\": ", "not JSON"),
    ("a JSON list", "[1, 2]", "not a JSON object"),
    ("not UTF-8", b"\xff\xfe{}", "not UTF-8"),
    ("no camera", json.dumps({"light": {"xrot": -30, "yrot": 10}}), "no camera record"),
    ("a missing key", edited(lambda r: r["camera"].pop("dollyZ")), "no camera.dollyZ"),
    ("a text for a number", edited(lambda r: r["camera"].update(pitch="-30")), "not a number"),
    ("true for a number", edited(lambda r: r["camera"].update(roll=True)), "not a number"),
    ("NaN", edited(lambda r: r["camera"].update(pitch=float("nan"))), "not finite"),
    ("Infinity", edited(lambda r: r["camera"].update(dollyX=float("inf"))), "not finite"),
    ("pitch past straight up", edited(lambda r: r["camera"].update(pitch=120.0)), "out of range"),
    ("camera below the ground", edited(lambda r: r["camera"].update(dollyY=-8.0)), "out of range"),
    ("an absurd distance", edited(lambda r: r["camera"].update(dollyZ=1e300)), "out of range"),
    ("a yaw the frame can not have", edited(lambda r: r["camera"].update(yaw=30.0)), "camera.yaw"),
    ("the sun below the horizon", edited(lambda r: r["light"].update(xrot=10.0)), "light.xrot"),
    ("a light without yrot", edited(lambda r: r["light"].pop("yrot")), "no light.yrot"),
    ("a refined lens of 0 degrees", edited(lambda r: r.update(refined={"camera": r["camera"], "fov": 0.0})),
     "refined.fov"),
    ("a refined record that is a number", edited(lambda r: r.update(refined=5)), "not an object"),
    ("a refined camera missing", edited(lambda r: r.update(refined={"fov": 46.0})), "no refined.camera record"),
    ("too large", " " * (1 << 20) + "{}", "too large"),
    ("an unknown distortion model", edited(lambda r: r["refined"].update(distortion={
        "model": "fisheye", "terms": [0.1], "radius_unit_px": 500.0})), "unknown distortion model"),
    ("a distortion with too few terms", edited(lambda r: r["refined"].update(distortion={
        "model": "ptlens", "terms": [0.1], "radius_unit_px": 500.0})), "takes 3 finite terms"),
    ("a distortion term not finite", edited(lambda r: r["refined"].update(distortion={
        "model": "poly3", "terms": [float("nan")], "radius_unit_px": 500.0})), "takes 1 finite terms"),
    ("a distortion without its radius unit", edited(lambda r: r["refined"].update(distortion={
        "model": "poly3", "terms": [0.01]})), "no radius unit"),
]

# The Canon EF-S 10-22 mm at 10 mm on a 1500 x 1000 photo, as the command reports it.
CANON_10MM = {"model": "ptlens", "terms": [0.0198599994, -0.0687400028, 0.0516600013],
              "lens": "Canon EF-S 10-22mm f/3.5-4.5 USM", "camera": "Canon EOS 650D", "focal_mm": 10.0,
              "radius_unit_px": 499.615391}

BAD_ARGUMENTS = [
    ([], "no photograph given"),
    (["a.png", "b.png"], "one photograph at a time"),
    (["a.png", "--frobnicate"], "unknown option --frobnicate"),
    (["a.png", "--result"], "--result needs a value"),
    (["a.png", "--estimate", "best"], "--estimate takes refined or classic"),
    (["a.png", "--marker-diameter", "wide"], "--marker-diameter takes a number"),
    (["a.png", "--threshold", "256"], "--threshold takes auto or a brightness 0..255"),
    (["a.png", "--threshold", "-1"], "--threshold takes auto or a brightness 0..255"),
    (["a.png", "--threshold", "150", "--result", "r.json"], "--result brings numbers already measured"),
]


class ResultTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="qm-result-test-")

    def tearDown(self):
        shutil.rmtree(self.folder)

    def test_bad_results_are_refused_naming_the_problem(self):
        path = os.path.join(self.folder, "result.json")
        for label, content, said in BAD_RESULTS:
            with self.subTest(label):
                with open(path, "wb") as f:
                    f.write(content if isinstance(content, bytes) else content.encode("utf-8"))
                with self.assertRaisesRegex(MatchError, said):
                    read_result_file(path)
        with self.assertRaisesRegex(MatchError, "can not read the result"):
            read_result_file(os.path.join(self.folder, "none.json"))

    def test_refined_preferred_a_partial_light_completed_an_absent_one_refused_when_asked_for(self):
        classic = json.loads(S07)
        result = read_result(edited(lambda r: r.update(refined={
            "camera": dict(r["camera"], pitch=-35.0), "light": {"yrot": 60.0}, "fov": 50.0,
            "focal_source": "exif", "uncertainty": {}, "note": ""})))
        default, chosen = make_plan(result), make_plan(result, "classic")
        self.assertEqual((default["estimate"], default["camera"]["pitch"], default["fov"]), ("refined", -35.0, 50.0))
        self.assertEqual(default["light"], {"xrot": classic["light"]["xrot"], "yrot": 60.0})
        self.assertEqual((chosen["camera"], chosen["fov"]), (classic["camera"], CLASSIC_FOV_DEG))
        self.assertAlmostEqual(CLASSIC_FOV_DEG, 46.2127, places=4)
        no_shadow = read_result(json.dumps({"camera": classic["camera"], "refined": {
            "camera": classic["camera"], "light": {"xrot": -20.0, "yrot": 1.0}, "fov": 46.0}}))
        self.assertIsNone(make_plan(no_shadow)["light"], "a sun where the program found no shadow")
        classic_only = read_result(edited(lambda r: r.pop("refined")))
        self.assertEqual(make_plan(classic_only, "refined")["estimate"], "classic")
        with self.assertRaisesRegex(MatchError, "no refined estimate"):
            make_plan(classic_only, "refined", strict=True)

    def test_a_refused_refined_record_is_applied_only_as_the_classic_estimate_chosen(self):
        note = "refused: the rim shows an edge on only 40 % of its length"
        result = read_result(edited(lambda r: r.update(refined={
            "fov": 46.2, "focal_source": "default", "note": note, "quality": {"rim_coverage": 0.4}})))
        for estimate in (None, "refined"):
            with self.subTest(estimate=estimate), self.assertRaisesRegex(MatchError, "refined check failed.*" + note):
                make_plan(result, estimate)
        chosen = make_plan(result, "classic")
        self.assertEqual((chosen["estimate"], chosen["camera"]), ("classic", json.loads(S07)["camera"]))
        self.assertIn("the refined check failed: " + note, chosen["notes"])

    def test_light_match_plan_rescaled_by_albedo_warned_when_clipped_or_missing(self):
        illumination = {"shadow_ratio": [0.1, 0.15, 0.3], "sun_strength": 5.0, "sun_color": [1.0, 0.8, 0.6],
                        "sky_color": [0.1, 0.12, 0.2], "clipped": False, "albedo": [0.8, 0.8, 0.8], "note": "",
                        "uncertainty": {}}

        def plan(record, **options):
            return make_plan(read_result(edited(lambda r: r["refined"].update(illumination=record))), **options)
        light = plan(illumination)["illumination"]
        for got, want in zip((light["sun_strength"],) + light["sun_color"] + light["sky_color"],
                             (5.0, 1.0, 0.8, 0.6, 0.1, 0.12, 0.2)):
            self.assertAlmostEqual(got, want)
        # a disc reflecting (0.4, 0.8, 0.8): sun and sky red twice as strong, the sun's colour renormalised
        light = plan(illumination, albedo=(0.4, 0.8, 0.8))["illumination"]
        self.assertAlmostEqual(light["sun_strength"], 10.0)
        for got, want in zip(light["sun_color"] + light["sky_color"], (1.0, 0.4, 0.3, 0.2, 0.12, 0.2)):
            self.assertAlmostEqual(got, want)
        self.assertIsNone(plan(illumination, light_match=False)["illumination"])
        classic = plan(illumination, estimate="classic")
        self.assertIsNone(classic["illumination"])
        self.assertTrue(any("refined estimate" in n for n in classic["notes"]), classic["notes"])
        clipped = plan(dict(illumination, clipped=True))
        self.assertTrue(clipped["illumination"]["clipped"])
        self.assertTrue(any("overexposed" in n for n in clipped["notes"]), clipped["notes"])
        missing = plan({"albedo": [0.8, 0.8, 0.8], "note": "the shadow is too narrow to read between its penumbrae"})
        self.assertIsNone(missing["illumination"])
        self.assertTrue(any("too narrow" in n for n in missing["notes"]), missing["notes"])
        for bad in (dict(illumination, sun_color=[1.0, 0.5]), dict(illumination, sky_color=[0.1, float("nan"), 0.1]),
                    dict(illumination, clipped="no"), dict(illumination, sun_strength=-1.0)):
            with self.subTest(bad), self.assertRaisesRegex(MatchError, "refined.illumination"):
                plan(bad)
        self.assertEqual(parse_albedo("0.5"), (0.5, 0.5, 0.5))
        self.assertEqual(parse_albedo("0.9,0.8,0.7"), (0.9, 0.8, 0.7))
        for text in ("0", "1.5", "0.5,0.5", "a", "", "nan", "0.5,0.5,0.5,0.5", "-0.2"):
            with self.subTest(text), self.assertRaisesRegex(MatchError, "marker albedo"):
                parse_albedo(text)
        self.assertEqual(matched_light(dict(illumination, sun_strength=0.0), (0.8, 0.8, 0.8))["sun_color"],
                         (1.0, 1.0, 1.0))
        options = headless.parse_arguments(["x.jpg", "--no-light-match", "--marker-albedo", "0.7"])
        self.assertEqual((options["light_match"], options["marker_albedo"]), (False, (0.7, 0.7, 0.7)))

    def test_the_distortion_goes_with_the_refined_numbers_only(self):
        with_profile = read_result(edited(lambda r: r["refined"].update(distortion=CANON_10MM)))
        self.assertEqual(make_plan(with_profile)["distortion"]["terms"], CANON_10MM["terms"])
        self.assertNotIn("distortion", make_plan(with_profile, "classic"))
        self.assertNotIn("distortion", make_plan(read_result(S07)))

    def test_blenders_brown_model_follows_the_profile_over_the_frame(self):
        """The fit against the profile itself at radii across the frame, the
        overscan reaching the corners' ideal points, and profiles that fold
        back refused."""
        profile = distortion.read_distortion(CANON_10MM)
        focal = 672.03
        fit = distortion.fit_brown(profile, 1500, 1000, focal)
        self.assertLess(fit["residual_px"], 0.5)
        for r in (50.0, 300.0, 600.0, 900.0):
            t2 = (r / focal) ** 2
            drawn = fit["scale"] * r * (1.0 + sum(k * t2 ** (j + 1) for j, k in enumerate(fit["k"])))
            self.assertLess(abs(drawn - distortion.photo_radius(profile, r)), fit["residual_px"] + 1e-9)
        self.assertAlmostEqual(distortion.photo_radius(profile, distortion.ideal_radius(profile, 700.0)), 700.0)
        width, height = distortion.overscan_size(profile, 1500, 1000, fit["scale"])
        self.assertEqual((width * 1000, (width - 1500) % 2), (height * 1500, 0))
        reach = fit["scale"] * distortion.ideal_radius(profile, 0.5 * math.hypot(1500, 1000))
        self.assertGreater(0.5 * math.hypot(width, height), reach)
        folding = distortion.read_distortion({"model": "poly3", "terms": [-0.6], "radius_unit_px": 500.0})
        with self.assertRaises(distortion.DistortionError):
            distortion.fit_brown(folding, 1500, 1000, focal)

    def test_marker_diameters_out_of_range_are_refused(self):
        self.assertAlmostEqual(marker_scale(0.3), 0.05)
        for diameter in (0.0, -1.0, float("nan"), float("inf"), 1.0e5, True, "6"):
            with self.subTest(diameter), self.assertRaisesRegex(MatchError, "marker diameter"):
                marker_scale(diameter)

    def test_command_line(self):
        options = headless.parse_arguments(["p.png", "--threshold", "auto", "--no-ground", "--marker-diameter", "0.3"])
        self.assertEqual((options["photo"], options["threshold"], options["ground"], options["marker_diameter"]),
                         ("p.png", None, False, 0.3))
        self.assertEqual(headless.parse_arguments(["p.png", "--threshold", "0"])["threshold"], 0)
        for argv, said in BAD_ARGUMENTS:
            with self.subTest(argv), self.assertRaisesRegex(MatchError, said):
                headless.parse_arguments(argv)


# A stand-in for quillmarsh-measure: the record the real one prints for one
# photograph, the threshold asked for (150 for auto), a preview when asked.
FAKE_COMMAND = """#!%s
import json, os, sys
args = sys.argv[1:]
json.dump(args, open(os.path.join(os.path.dirname(os.path.abspath(sys.argv[0])), "last-args.json"), "w"))
photo = args[-1]
threshold = args[args.index("--threshold") + 1] if "--threshold" in args else "160"
record = {"file": os.path.basename(photo), "threshold": 150 if threshold == "auto" else int(threshold)}
if "nomarker" in photo:
    record.update(code=2, error="can not trace outline of ellipse")
else:
    record.update(json.load(open(%r)), code=0)
if "--preview" in args:
    open(os.path.join(args[args.index("--preview") + 1], os.path.basename(photo) + ".png"), "wb").close()
print(json.dumps(record))
sys.exit(record["code"])
"""


class LauncherTest(unittest.TestCase):
    """The launcher copied into a folder of its own, with programs laid out
    around it as a release, the add-on or the source tree has them."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="qm-launcher-test-")
        self.launcher = os.path.join(self.folder, "Quillmarsh.py")
        shutil.copy(os.path.join(TOP, "Quillmarsh.py"), self.launcher)
        self.photo = os.path.join(self.folder, "s07.png")
        open(self.photo, "wb").close()

    def tearDown(self):
        shutil.rmtree(self.folder)

    def put(self, relative, executable):
        path = os.path.join(self.folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(FAKE_COMMAND % (sys.executable, os.path.join(HERE, "results", "s07.json")))
        os.chmod(path, 0o755 if executable else 0o644)
        return path

    def launch(self, *args, path=None):
        env = {k: v for k, v in os.environ.items() if not k.startswith("QUILLMARSH_")}
        if path is not None:
            env["PATH"] = path
        done = subprocess.run([sys.executable, self.launcher] + list(args), env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def test_one_search_order_for_both_programs(self):
        native, exe = "quillmarsh-measure", "quillmarsh-measure.exe"
        # (files as (path, executable), the one found or the message)
        layouts = [
            ([(native, True), ("build/native/" + native, True)], native),
            ([("build/native/" + native, True), (exe, False)], "build/native/" + native),
            ([(exe, False), ("build/windows/" + native, True)], "build/windows/" + native),
            # a zip keeps no file modes: the launcher's own command gets its bit back
            ([(native, False)], native),
            ([("build/native/" + native, False), ("build/windows/" + exe, False)], "build/windows/" + exe),
            ([], "quillmarsh-measure not found beside %s; build it with scripts/build.sh native" % self.folder),
            ([("Quillmarsh.exe", False), ("build/windows/Quillmarsh.exe", False)], "Quillmarsh.exe"),
            ([("build/windows/Quillmarsh.exe", False)], "build/windows/Quillmarsh.exe"),
        ]
        sys.path.insert(0, self.folder)
        try:
            import Quillmarsh as launcher
        finally:
            sys.path.remove(self.folder)
        for files, found in layouts:
            with self.subTest(files=files):
                for entry in os.listdir(self.folder):
                    if entry not in ("Quillmarsh.py", "s07.png", "__pycache__"):
                        path = os.path.join(self.folder, entry)
                        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
                for relative, executable in files:
                    self.put(relative, executable)
                program = launcher.DIALOG if "Quillmarsh.exe" in found else launcher.MEASURE
                try:
                    self.assertEqual(launcher.find_program(program, None), os.path.join(self.folder, found))
                    self.assertTrue(found.endswith(".exe") or os.stat(launcher.find_program(program, None)).st_mode
                                    & stat.S_IXUSR)
                except launcher.LaunchError as error:
                    self.assertEqual(str(error), found)
        with self.assertRaisesRegex(launcher.LaunchError, "^quillmarsh-measure not found at /nonexistent$"):
            launcher.find_program(launcher.MEASURE, "/nonexistent")

    def test_dialog_available_only_where_wine_or_windows_is(self):
        bare = os.path.join(self.folder, "bin")
        os.makedirs(bare)
        code, out, err = self.launch("--dialog-available", path=bare)
        self.assertEqual((code, out), (2, ""))
        self.assertIn("Wine is needed", err)
        wine = os.path.join(bare, "wine")
        with open(wine, "w") as f:
            f.write("#!/bin/sh\n")
        os.chmod(wine, 0o755)
        self.assertEqual(self.launch("--dialog-available", path=bare)[0], 0)
        self.assertEqual(self.launch("--dialog-available", self.photo)[0], 2)

    def test_the_add_on_measures_through_the_launcher(self):
        command = self.put("quillmarsh-measure", True)
        os.environ["QUILLMARSH_LAUNCHER"] = self.launcher
        preview = os.path.join(self.folder, "previews")
        os.makedirs(preview)
        try:
            result, used, shown = measure.run_measure(self.photo, None, preview_folder=preview)
            self.assertEqual((used, shown), (150, os.path.join(preview, "s07.png.png")))
            self.assertEqual(result["camera"], json.loads(S07)["camera"])
            self.assertEqual(measure.run_measure(self.photo, 140, command=command)[1:], (140, None))
            nomarker = os.path.join(self.folder, "nomarker.png")
            open(nomarker, "wb").close()
            # the command's own message, as the user is shown it
            with self.assertRaisesRegex(MatchError, "^can not trace outline of ellipse$"):
                measure.run_measure(nomarker, None)
            with self.assertRaisesRegex(MatchError, "^quillmarsh-measure not found at /nonexistent$"):
                measure.run_measure(self.photo, None, command="/nonexistent")
            with self.assertRaisesRegex(MatchError, "the launcher /nonexistent.py is missing"):
                measure.run_measure(self.photo, None, launcher="/nonexistent.py")
        finally:
            os.environ.pop("QUILLMARSH_LAUNCHER")

    def test_the_lens_choice_reaches_the_command(self):
        command = self.put("quillmarsh-measure", True)
        os.environ["QUILLMARSH_LAUNCHER"] = self.launcher
        cases = [
            ((measure.LENS_AUTOMATIC, 64.0, 50.0, 36.0), []),
            ((measure.LENS_FOV, 64.0, 50.0, 36.0), ["--fov", "64.0"]),
            ((measure.LENS_FOCAL, 64.0, 18.5, 22.3), ["--focal-mm", "18.5", "--sensor-mm", "22.3"]),
        ]
        try:
            for choice, words in cases:
                with self.subTest(choice[0]):
                    self.assertEqual(measure.lens_words(*choice), words)
                    measure.run_measure(self.photo, None, command=command, lens=measure.lens_words(*choice))
                    with open(os.path.join(self.folder, "last-args.json")) as f:
                        args = json.load(f)
                    self.assertEqual(args[args.index("--") - len(words):args.index("--")] if words else
                                     [a for a in args if a.startswith(("--fov", "--focal", "--sensor"))], words)
            with self.assertRaisesRegex(MatchError, "unknown lens choice"):
                measure.lens_words("fisheye")
        finally:
            os.environ.pop("QUILLMARSH_LAUNCHER")


if __name__ == "__main__":
    outcome = unittest.main(argv=sys.argv[:1], exit=False, verbosity=2).result
    bad = len(outcome.failures) + len(outcome.errors)
    print("add-on python: %d passed, %d failed" % (outcome.testsRun - bad, bad))
    sys.exit(1 if bad else 0)
