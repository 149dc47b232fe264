"""Measuring a photograph by running the launcher Quillmarsh.py: with the
dialog, or without it through the measurement command; plain Python, without
Blender. The launcher finds and runs the programs; the add-on only names the
ones its preferences point at (--exe, --measure-exe)."""

import json
import os
import shutil
import subprocess
import sys

from .result import MatchError, read_result

LAUNCHER_NAME = "Quillmarsh.py"
LAUNCHER_PREFIX = LAUNCHER_NAME + ": "       # how the launcher starts its messages
MAX_THRESHOLD = 255             # brightness; the command's thresholds run 0..255
LAUNCHER_CAMERA_AND_LIGHT = 0
LAUNCHER_CAMERA_ONLY = 1
DIALOG_ANSWER_YES = 0           # the launcher's exit code for --dialog-available when it can

WITH_DIALOG = "measured with the dialog"
WITHOUT_DIALOG = "measured without the dialog at threshold %d"


def default_launcher():
    """Quillmarsh.py beside the add-on (the installed package), else the source
    tree's one above blender/quillmarsh/."""
    here = os.path.dirname(os.path.abspath(__file__))
    top = os.path.dirname(os.path.dirname(here))
    for candidate in (os.path.join(here, LAUNCHER_NAME), os.path.join(top, LAUNCHER_NAME)):
        if os.path.isfile(candidate):
            return candidate
    return os.path.join(here, LAUNCHER_NAME)


def _python():
    """The interpreter that runs the launcher: Blender's own. Its sys.executable
    may be a wrapper script that needs PATH (a version manager's shim) or, before
    2.91, Blender itself, so the interpreter in its prefix comes first."""
    names = ("python.exe",) if os.name == "nt" else ("python%d.%d" % sys.version_info[:2], "python3")
    for name in names:
        candidate = os.path.join(sys.prefix, "bin", name)
        if os.path.isfile(candidate):
            return candidate
    if "python" in os.path.basename(sys.executable).lower():
        return sys.executable
    return shutil.which("python3") or shutil.which("python") or sys.executable


def _launch(launcher, arguments):
    """Runs the launcher (the one named, else $QUILLMARSH_LAUNCHER, else
    default_launcher()) with the arguments: (exit code, stdout, stderr lines)."""
    launcher = launcher or os.environ.get("QUILLMARSH_LAUNCHER") or default_launcher()
    if not os.path.isfile(launcher):
        raise MatchError("the launcher %s is missing (see the add-on's preferences)" % launcher)
    try:
        done = subprocess.run([_python(), launcher] + arguments, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as error:
        raise MatchError("can not start the launcher: %s" % error.strerror)
    return (done.returncode, done.stdout.decode("utf-8", "replace"),
            done.stderr.decode("utf-8", "replace").strip().splitlines())


def dialog_available(launcher=None):
    """Whether the dialog runs here (on Windows, or through Wine), as the
    launcher judges it."""
    code, _, _ = _launch(launcher, ["--dialog-available"])
    return code == DIALOG_ANSWER_YES


# The import's lens choices: the photo's EXIF (and the lens database), a
# field of view along the long side, or a focal length on a sensor width.
LENS_AUTOMATIC = "automatic"
LENS_FOV = "fov"
LENS_FOCAL = "focal"


def lens_words(choice, fov=None, focal_mm=None, sensor_mm=None):
    """The launcher's words for the lens chosen: none for automatic; the
    command checks the numbers and refuses absurd ones."""
    if choice == LENS_FOV:
        return ["--fov", repr(float(fov))]
    if choice == LENS_FOCAL:
        return ["--focal-mm", repr(float(focal_mm)), "--sensor-mm", repr(float(sensor_mm))]
    if choice == LENS_AUTOMATIC:
        return []
    raise MatchError("unknown lens choice: %s" % choice)


def run_launcher(photo, launcher=None, program=None, lens=()):
    """Opens the dialog on the photo through the launcher: the parsed result
    (read_result) after OK; MatchError with the launcher's last line otherwise.
    lens: lens_words(), for the refined record."""
    code, out, message = _launch(launcher, [photo] + (["--exe", program] if program else []) + list(lens))
    if code not in (LAUNCHER_CAMERA_AND_LIGHT, LAUNCHER_CAMERA_ONLY):
        raise MatchError(message[-1] if message else "the launcher ended with code %d" % code)
    result = read_result(out)
    if code == LAUNCHER_CAMERA_ONLY:
        result["light"] = None
    return result


def run_measure(photo, threshold=None, launcher=None, command=None, preview_folder=None, lens=()):
    """Measures the photo without the dialog (the launcher's --measure): (result
    as read_result gives it, the threshold the command used, the preview
    picture's path or None). threshold None lets the command choose. MatchError
    with the command's own message when it found no camera."""
    out = _measured(photo, threshold, launcher, command, lens,
                    ["--preview", preview_folder] if preview_folder else [])
    try:
        record = json.loads(out)
        used = record.get("threshold") if isinstance(record, dict) else None
    except ValueError:
        used = None
    if isinstance(used, bool) or not isinstance(used, int) or not 0 <= used <= MAX_THRESHOLD:
        raise MatchError("the measurement command gave no threshold")
    result = read_result(out)
    preview = None
    if preview_folder:
        candidate = os.path.join(preview_folder, os.path.basename(photo) + ".png")
        preview = candidate if os.path.isfile(candidate) else None
    return result, used, preview


def _measured(photo, threshold, launcher, command, lens, extra):
    """The launcher's --measure on the photo at threshold (None: chosen by the
    command) with the extra arguments: its standard output; MatchError with
    the launcher's words when it found no camera."""
    arguments = [photo, "--measure", "--threshold", "auto" if threshold is None else str(int(threshold))]
    if command:
        arguments += ["--measure-exe", command]
    code, out, message = _launch(launcher, arguments + list(extra) + list(lens))
    if code not in (LAUNCHER_CAMERA_AND_LIGHT, LAUNCHER_CAMERA_ONLY):
        raise MatchError(_refusal(code, message))
    return out


def _refusal(code, message):
    """The launcher's first line says why a measurement failed; "no result" follows it."""
    said = [line[len(LAUNCHER_PREFIX):] for line in message if line.startswith(LAUNCHER_PREFIX)]
    return said[0] if said else message[-1] if message else "the measurement command ended with code %d" % code


def run_export(photo, folder, formats, diameter=None, threshold=None, launcher=None, command=None, lens=()):
    """Has the measurement command write the photo's matched scene into folder
    (the launcher's --measure --export): formats "gltf", "usd" or "gltf,usd";
    diameter the marker's in metres (None: the numbers' own units); threshold
    the one the match was measured at (None: chosen by the command). Returns
    the result as read_result gives it; MatchError with the launcher's words."""
    extra = ["--export", folder, "--export-format", formats]
    if diameter is not None:
        extra += ["--marker-diameter", repr(float(diameter))]
    return read_result(_measured(photo, threshold, launcher, command, lens, extra))
