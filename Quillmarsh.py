#!/usr/bin/env python3
"""Quillmarsh launcher: measures camera and light from one photograph.

Usage: Quillmarsh.py PHOTO [--workdir DIR] [--exe PATH]
       Quillmarsh.py PHOTO --measure [--threshold N|auto] [--no-shadow] [--preview DIR] [--measure-exe PATH]
       Quillmarsh.py PHOTO [--measure ...] --export DIR [--export-format gltf,usd] [--marker-diameter D]
       Quillmarsh.py PHOTO [--measure ...] [--fov DEG | --focal-mm F --sensor-mm W | --focal35 F]
                     [--no-lens-correction | --lens-correction auto|off|force]
       Quillmarsh.py --dialog-available

Starts Quillmarsh.exe on the photograph (directly on Windows, through Wine
elsewhere) in a working folder of the user's own, where ".\\Quillmarsh.ini"
keeps the threshold and the shadow option between runs and where the program
writes "temp.ini". When the user presses OK the camera (and, when a shadow was
found, the light) is printed as JSON on standard output:

    {"camera": {"yaw": 0.0, "pitch": -30.1, "roll": 0.2,
                "dollyX": 0.1, "dollyY": 8.0, "dollyZ": 13.9},
     "light": {"xrot": -24.0, "yrot": -88.0}}

Exit codes are the program's: 0 camera and light, 1 camera only, 2 no result
(Cancel, a photograph the program refused, or a problem starting it).

The working folder is, in this order: --workdir, the environment variable
QUILLMARSH_HOME, %APPDATA%\\quillmarsh on Windows, and
$XDG_CONFIG_HOME/quillmarsh (default ~/.config/quillmarsh) elsewhere.

The launcher alone finds the programs, with one search order for both: the
path named (--exe or --measure-exe, else the environment variable
QUILLMARSH_EXE or QUILLMARSH_MEASURE) and no other; else, name by name
(quillmarsh-measure before quillmarsh-measure.exe: the native command needs no
Wine and gives the same numbers), beside this script, then in build/native and
build/windows below it. A native command beside this script that lost its
executable bit (zip installers keep no file modes) gets it back.

After OK the launcher also runs the measurement command (below) on the photo
with the threshold and shadow option just saved and adds its "refined" record:
the camera from the disc's true perspective, the lens from EXIF and the light
from the stick and its shadow, with their uncertainties and a note.

With --measure no window opens: the measurement command quillmarsh-measure
measures the photograph with the dialog's own analysis (threshold 160 and the
shadow search unless told otherwise) and the same JSON is printed, with the
threshold used besides; the exit code is the same as the dialog's. With
--preview DIR the command also writes DIR/<photo's file name>.png, the photo
beside the analysis drawings. quillmarsh-measure.exe runs through Wine outside
Windows. It touches no file in the working folder.

With --export DIR (and --export-format, --marker-diameter) the measurement
command also writes the matched scene as DIR/<photo>.gltf with its .bin and
DIR/<photo>.usda, after OK from the dialog's saved settings, with --measure
from the same measurement; the folder must exist. A scene that could not be
written is said on standard error and makes the exit code 2.

--fov (degrees along the long side), --focal-mm with --sensor-mm (the
sensor's width along the long side) or --focal35 (the 35 mm equivalent)
state the lens for the refined record instead of the photo's EXIF; the
measurement command checks them and refuses absurd or contradictory ones.
--no-lens-correction (or --lens-correction off) leaves the lens' distortion
uncorrected; --lens-correction force corrects fixed-lens compacts and phones
as well, which the command otherwise leaves to the camera's own correction.

--dialog-available only answers whether the dialog can run here (on Windows,
or with Wine on PATH): exit 0 when it can, 2 with the reason on standard error
when it can not. The Blender add-on asks it before choosing the dialog or the
command.
"""

import argparse
import collections
import configparser
import json
import os
import shutil
import subprocess
import sys

EXIT_CAMERA_AND_LIGHT = 0
EXIT_CAMERA_ONLY = 1
EXIT_NO_RESULT = 2

EXIT_DIALOG_RUNS = 0            # --dialog-available: the dialog can run here

RESULT_FILE = "temp.ini"
CAMERA_KEYS = ("yaw", "pitch", "roll", "dollyX", "dollyY", "dollyZ")
LIGHT_KEYS = ("xrot", "yrot")


class LaunchError(Exception):
    """A problem that leaves no result; its text is shown to the user."""


def on_windows():
    return os.name == "nt"


# A program: what messages call it, the environment variable that names it,
# its file names in the order they are tried, and the build that makes it.
Program = collections.namedtuple("Program", "label variable names build")
DIALOG = Program("Quillmarsh.exe", "QUILLMARSH_EXE", ("Quillmarsh.exe",), "windows")
MEASURE = Program("quillmarsh-measure", "QUILLMARSH_MEASURE",
                  ("quillmarsh-measure.exe",) if os.name == "nt" else ("quillmarsh-measure", "quillmarsh-measure.exe"),
                  "native")
# Below this script's folder: itself (a release or the Blender add-on), then
# the source tree's builds.
SEARCH_FOLDERS = ("", os.path.join("build", "native"), os.path.join("build", "windows"))


def _runnable(path, own):
    """A Windows program always is (Wine runs it outside Windows); a native one
    needs its executable bit, which one of this script's own folder gets back."""
    if path.endswith(".exe") or on_windows() or os.access(path, os.X_OK):
        return True
    if not own:
        return False
    try:
        os.chmod(path, os.stat(path).st_mode | 0o111)
    except OSError as error:
        raise LaunchError("can not make %s executable (%s)" % (path, error.strerror))
    return True


def find_program(program, explicit):
    here = os.path.dirname(os.path.abspath(__file__))
    # A program the user named is the only one to run: falling back to another
    # build would hand back numbers from a program nobody asked for.
    named = explicit or os.environ.get(program.variable)
    if named:
        if os.path.isfile(named):
            return os.path.abspath(named)
        raise LaunchError("%s not found at %s" % (program.label, named))
    for name in program.names:
        for folder in SEARCH_FOLDERS:
            candidate = os.path.join(here, folder, name)
            if os.path.isfile(candidate) and _runnable(candidate, folder == ""):
                return os.path.abspath(candidate)
    raise LaunchError("%s not found beside %s; build it with scripts/build.sh %s" % (program.label, here, program.build))


def working_folder(explicit):
    folder = explicit or os.environ.get("QUILLMARSH_HOME")
    if not folder:
        if on_windows():
            base = os.environ.get("APPDATA") or os.path.expanduser("~")
        else:
            base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
        folder = os.path.join(base, "quillmarsh")
    folder = os.path.abspath(folder)
    try:
        os.makedirs(folder, exist_ok=True)
    except OSError as error:
        raise LaunchError("can not create the working folder %s: %s" % (folder, error.strerror))
    if not os.access(folder, os.W_OK):
        raise LaunchError("the working folder %s is not writable" % folder)
    return folder


def windows_path(unix_path):
    """Wine's drive Z: is the Unix root, so /a/b c is Z:\\a\\b c."""
    return "Z:" + unix_path.replace("/", "\\")


def wine_for(program):
    """Wine on PATH, which runs the program outside Windows."""
    wine = shutil.which("wine") or shutil.which("wine64")
    if wine is None:
        raise LaunchError("Wine is needed to run %s here, and it is not installed (apt-get install wine64)" % program)
    return wine


def command_for(program, photo):
    if on_windows():
        return [program, photo]
    return [wine_for("Quillmarsh.exe"), program, windows_path(photo)]


def program_environment():
    env = dict(os.environ)
    if not on_windows():
        env.setdefault("WINEDEBUG", "-all")
        # Wine turns the command line into UTF-16 through the locale's
        # character set: a UTF-8 locale keeps non-ASCII paths intact.
        if "UTF-8" not in (env.get("LC_ALL") or env.get("LC_CTYPE") or env.get("LANG") or "").upper().replace("UTF8", "UTF-8"):
            env["LC_ALL"] = "C.UTF-8"
    return env


# Keys of the command's record that the dialog's JSON does not carry.
MEASURE_RECORD_ONLY = ("file", "code", "error")


def export_arguments(folder, formats=None, diameter=None):
    """The command's words for --export and its options (none without a folder).
    The folder must exist: the command makes no folder for a scene."""
    if folder is None:
        if formats is not None or diameter is not None:
            raise LaunchError("--export-format and --marker-diameter go with --export")
        return []
    if not os.path.isdir(folder):
        raise LaunchError("the export folder does not exist: %s" % folder)
    words = ["--export", os.path.abspath(folder)]
    if formats is not None:
        words += ["--export-format", formats]
    if diameter is not None:
        words += ["--marker-diameter", diameter]
    return words


# The lens options, passed to the command as they are given.
LENS_OPTIONS = (("fov", "--fov"), ("focal_mm", "--focal-mm"), ("sensor_mm", "--sensor-mm"), ("focal35", "--focal35"),
                ("lens_correction", "--lens-correction"))


def lens_arguments(args):
    """The command's words for the lens options given (argparse's names)."""
    words = []
    for name, option in LENS_OPTIONS:
        value = getattr(args, name, None)
        if value is not None:
            words += [option, value]
    if getattr(args, "no_lens_correction", False):
        words.append("--no-lens-correction")
    return words


def measure(photo_argument, threshold=None, no_shadow=False, exe=None, preview=None, export=(), lens=()):
    """Runs the measurement command on one photograph: (code, result or None).
    export: the command's --export words (export_arguments); a scene that
    could not be written is said on standard error and makes the code 2.
    lens: the command's lens words (lens_arguments)."""
    photo = os.path.abspath(photo_argument)
    if not os.path.isfile(photo):
        raise LaunchError("no such photograph: %s" % photo_argument)
    program = find_program(MEASURE, exe)
    through_wine = program.endswith(".exe") and not on_windows()
    command = [wine_for(program), program] if through_wine else [program]
    command += ["--json", "--jobs", "1"]
    if threshold is not None:
        command += ["--threshold", threshold]
    if no_shadow:
        command.append("--no-shadow")
    if preview is not None:
        folder = os.path.abspath(preview)
        command += ["--preview", windows_path(folder) if through_wine else folder]
    if export:
        command += [windows_path(export[1]) if through_wine and i == 1 else word for i, word in enumerate(export)]
    command += list(lens)
    command += ["--", windows_path(photo) if through_wine else photo]
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=program_environment())
    except OSError as error:
        raise LaunchError("can not start %s: %s" % (program, error.strerror))
    lines = done.stdout.decode("utf-8", "replace").splitlines()
    try:
        record = json.loads(lines[-1])
    except (IndexError, ValueError):
        message = done.stderr.decode("utf-8", "replace").strip()
        raise LaunchError("the measurement command gave no result (code %d) %s" % (done.returncode, message))
    if "error" in record:
        print("Quillmarsh.py: %s" % record["error"], file=sys.stderr)
    if "camera" not in record:
        return EXIT_NO_RESULT, None
    result = {key: value for key, value in record.items() if key not in MEASURE_RECORD_ONLY + ("export",)}
    if "export" in record:
        print("Quillmarsh.py: the matched scene could not be exported to %s" % export[1], file=sys.stderr)
        return EXIT_NO_RESULT, result
    return record.get("code", EXIT_NO_RESULT), result


def read_result(folder, code):
    """The camera, and with code 0 the light, from the temp.ini just written."""
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str  # the keys are case-sensitive: dollyX, not dollyx
    path = os.path.join(folder, RESULT_FILE)
    try:
        with open(path, encoding="ascii") as stream:
            parser.read_file(stream)
        result = {"camera": {key: float(parser["dolly"][key]) for key in CAMERA_KEYS}}
        if code == EXIT_CAMERA_AND_LIGHT:
            result["light"] = {key: float(parser["light"][key]) for key in LIGHT_KEYS}
    except (OSError, UnicodeDecodeError, configparser.Error, KeyError, ValueError) as error:
        raise LaunchError("the program reported a result but %s is unreadable (%s)" % (path, error))
    return result


SETTINGS_FILE = "Quillmarsh.ini"
DEFAULT_THRESHOLD = 160
THRESHOLD_LIMIT = 256


def saved_settings(folder):
    """The threshold and shadow option the dialog keeps in Quillmarsh.ini, by
    the dialog's own rules: a threshold of 256 or more (or unreadable) is 160,
    a shadow option other than 0 or 1 is 1."""
    parser = configparser.ConfigParser(interpolation=None, strict=False)
    try:
        with open(os.path.join(folder, SETTINGS_FILE), encoding="latin-1") as stream:
            parser.read_file(stream)
    except (OSError, configparser.Error):
        return DEFAULT_THRESHOLD, True
    section = parser["General"] if parser.has_section("General") else {}

    def number(key, default):
        try:
            return int(section.get(key, default)) % (1 << 32)
        except ValueError:
            return default

    threshold = number("threshold", DEFAULT_THRESHOLD)
    if threshold >= THRESHOLD_LIMIT:
        threshold = DEFAULT_THRESHOLD
    return threshold, number("detect_shadow", 1) != 0


def refined_after_ok(photo, folder, result, export=(), lens=()):
    """Adds the refined record, measured with the settings the dialog just
    saved (and with them the exported scene); without the measurement command
    the dialog's result stands alone. Returns (result, False when an export
    was asked for and not written)."""
    threshold, shadow = saved_settings(folder)
    try:
        code, record = measure(photo, str(threshold), not shadow, export=export, lens=lens)
    except LaunchError as error:
        print("Quillmarsh.py: no refined estimate: %s" % error, file=sys.stderr)
        return result, not export
    if record is not None and "refined" in record:
        result["refined"] = record["refined"]
    return result, not export or code != EXIT_NO_RESULT


def run(photo_argument, workdir=None, exe=None, export=(), lens=()):
    photo = os.path.abspath(photo_argument)
    if not os.path.isfile(photo):
        raise LaunchError("no such photograph: %s" % photo_argument)
    program = find_program(DIALOG, exe)
    folder = working_folder(workdir)
    # A temp.ini left by an earlier run must never pass for this run's result.
    stale = os.path.join(folder, RESULT_FILE)
    if os.path.lexists(stale) and not os.path.isdir(stale):
        try:
            os.remove(stale)
        except OSError as error:
            raise LaunchError("can not remove the old %s: %s" % (stale, error.strerror))
    try:
        code = subprocess.call(command_for(program, photo), cwd=folder, env=program_environment())
    except OSError as error:
        raise LaunchError("can not start %s: %s" % (program, error.strerror))
    if code not in (EXIT_CAMERA_AND_LIGHT, EXIT_CAMERA_ONLY):
        if code != EXIT_NO_RESULT:
            print("Quillmarsh.py: the program ended with code %d" % code, file=sys.stderr)
        return EXIT_NO_RESULT, None
    result, exported = refined_after_ok(photo, folder, read_result(folder, code), export, lens)
    return (code if exported else EXIT_NO_RESULT), result


def main(argv):
    parser = argparse.ArgumentParser(description="Measure camera and light from one photograph.")
    parser.add_argument("photo", nargs="?", help="the photograph: a white disc on the ground with an upright stick")
    parser.add_argument("--workdir", help="folder for Quillmarsh.ini and temp.ini")
    parser.add_argument("--exe", help="path of Quillmarsh.exe")
    parser.add_argument("--measure", action="store_true", help="measure with the command, without the dialog")
    parser.add_argument("--threshold", help="with --measure: brightness 0..255 or auto (160)")
    parser.add_argument("--no-shadow", action="store_true", help="with --measure: the camera only")
    parser.add_argument("--preview", metavar="DIR", help="with --measure: the command's preview picture into DIR")
    parser.add_argument("--measure-exe", help="path of quillmarsh-measure")
    parser.add_argument("--export", metavar="DIR", help="also write the matched scene as DIR/<photo>.gltf and .usda")
    parser.add_argument("--export-format", help="with --export: gltf, usd or gltf,usd (both)")
    parser.add_argument("--marker-diameter", metavar="D", help="with --export: the disc's diameter in metres")
    parser.add_argument("--fov", metavar="DEG", help="the lens' field of view along the long side, degrees")
    parser.add_argument("--focal-mm", metavar="F", help="the focal length in mm (with --sensor-mm)")
    parser.add_argument("--sensor-mm", metavar="W", help="the sensor's width along the long side in mm")
    parser.add_argument("--focal35", metavar="F", help="the 35 mm equivalent focal length in mm")
    parser.add_argument("--no-lens-correction", action="store_true", help="leave the lens' distortion uncorrected")
    parser.add_argument("--lens-correction", metavar="MODE",
                        help="auto (interchangeable lenses), off, or force (fixed-lens compacts and phones too)")
    parser.add_argument("--dialog-available", action="store_true",
                        help="only tell whether the dialog can run here: exit 0 when it can, 2 when not")
    args = parser.parse_args(argv)
    if args.dialog_available:
        if args.photo is not None or args.measure:
            parser.error("--dialog-available takes no photograph")
        if not on_windows():
            try:
                wine_for("Quillmarsh.exe")
            except LaunchError as error:
                print("Quillmarsh.py: %s" % error, file=sys.stderr)
                return EXIT_NO_RESULT
        return EXIT_DIALOG_RUNS
    if args.photo is None:
        parser.error("the following arguments are required: photo")
    if not args.measure and (args.threshold is not None or args.no_shadow or args.measure_exe or args.preview):
        parser.error("--threshold, --no-shadow, --preview and --measure-exe go with --measure")
    try:
        export = export_arguments(args.export, args.export_format, args.marker_diameter)
        if args.measure:
            code, result = measure(args.photo, args.threshold, args.no_shadow, args.measure_exe, args.preview, export,
                                   lens_arguments(args))
        else:
            code, result = run(args.photo, args.workdir, args.exe, export, lens_arguments(args))
    except LaunchError as error:
        print("Quillmarsh.py: %s" % error, file=sys.stderr)
        return EXIT_NO_RESULT
    if result is None:
        print("Quillmarsh.py: no result", file=sys.stderr)
        return EXIT_NO_RESULT
    print(json.dumps(result))
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
