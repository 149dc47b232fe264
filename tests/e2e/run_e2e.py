#!/usr/bin/env python3
"""End-to-end tests of build/windows/Quillmarsh.exe under Wine.

Every case of tests/e2e/cases/*.json runs in a fresh temporary working folder:
its photograph is made there (make_photos.py) or copied from the samples, its
settings file written there, and the program is worked by the test driver
(qmdriver.exe). One line per case, PASS or FAIL with the reason, and at the end
exactly "e2e: N passed, N failed" (a case the machine can not set up, such as
a small tmpfs without the right to mount, prints SKIP and counts as neither).

An entry of a case file may say, besides its photo, settings and steps:
  "workdir": {}                  run in a folder of its own below the case's
                                 folder ({"tmpfs_kb": N, "fill": true}: a small
                                 tmpfs there, filled to the last byte)
  "setup": [[cmd, arg...], ...]  host commands run in the working folder first
  ["unix", cmd, arg...]          a step: a host command run while the program waits
  ["colours", {name: [lo, hi]}]  a step: counts of Preview's colours in the right picture
  ["module", NAME, PART]         a step: the path of the program's loaded module NAME
                                 holds PART (case ignored)
  "launcher": {"args": [...]}    start Quillmarsh.py instead (the driver attaches to
                                 the dialog); "launcher_exit", "json", "stderr_has"
                                 judge it ("path": "without wine" hides Wine)
  "phases": [{...}, ...]         several runs in one working folder
  "max_seconds", "max_rss_mb"    limits on the run and the program's peak memory
  "stress": {"runs": N}          N launcher runs in a row (stress.py)
  "resources": {...}             no run: the built program's version resource,
                                 manifest and first icon (pe_resources.check)
  "measure": {"native": true}    after the run, quillmarsh-measure.exe under Wine on the
                                 same photograph gives temp.ini's numbers to the last digit
                                 (and the exit code); with "native", build/native's
                                 command gives them within the last-digit tolerance;
                                 {"error": TEXT}: both fail with the dialog's message
Placeholders: {photo} (Windows path), {photo_name}, {photo_unix}, {cwd}, {folder}, {exe}.

usage: run_e2e.py [-k SUBSTRING] [--keep] [--build DIR] [--cases DIR] [--prefix DIR] [--verbose]
"""
import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_photos  # noqa: E402
import pe_resources  # noqa: E402
import stress  # noqa: E402
import wineenv  # noqa: E402
sys.path.insert(0, os.path.join(wineenv.TOP, "tests", "support"))
import harness  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = wineenv.TOP
CASE_TIMEOUT_S = 90           # one case, start to exit, under a slow Wine
READY_TIMEOUT_MS = 30000      # a 2048 x 2048 photograph decodes in about a second
EXIT_TIMEOUT_MS = 10000
MSGBOX_TIMEOUT_MS = 10000
HOSTCALL_TIMEOUT_MS = 30000
CAMERA_TOLERANCE_DEG = 2.0    # launcher's pitch and roll against the rendered truth
REFINED_TOLERANCE_DEG = 0.2   # the refined pitch and roll against the same (photos centred on the disc)
PATH_PART_CHARS = 60          # characters of one folder name of a long path (3 bytes each at most)
CAMERA_KEYS = ("yaw", "pitch", "roll", "dollyX", "dollyY", "dollyZ")
LIGHT_KEYS = ("xrot", "yrot")
MEASURE_TIMEOUT_S = 60
# sin, cos, tan, atan and atan2 may differ in the last bit between glibc and
# the Windows C runtime, which can move a printed sixth decimal by a few units.
LAST_DIGIT_TOLERANCE = 5e-6

# The dialog's client area: two 320 x 320 picture boxes at (8, 40) and (336, 40).
BOX_SIDE = 320
LEFT_BOX = (8, 40)
RIGHT_BOX = (336, 40)
WORK_SIDE = 640
STATUS_TEXT_ID = 302
STATUS_ICON_ID = 301
WHITE = (255, 255, 255)
BLACK = (0, 0, 0)

KEYS = {"PageUp": 0x21, "PageDown": 0x22, "End": 0x23, "Home": 0x24, "Left": 0x25, "Up": 0x26,
        "Right": 0x27, "Down": 0x28, "Escape": 0x1B, "Return": 0x0D, "Space": 0x20}


# ---------------------------------------------------------------- the photo model

class PhotoModel:
    """What the two picture boxes must show for a photograph, computed from its
    pixels with the program's own double arithmetic and truncation."""

    def __init__(self, width, height, rgb):
        self.width, self.height, self.rgb = width, height, rgb
        long_side = width if width >= height else height
        self.work_scale = min(640.0 / long_side, 1.0)
        self.preview_scale = min(320.0 / long_side, 1.0)
        self.preview_w = min(int(width * self.preview_scale), BOX_SIDE)
        self.preview_h = min(int(height * self.preview_scale), BOX_SIDE)
        self.offset_x = (BOX_SIDE - self.preview_w) // 2
        self.offset_y = (BOX_SIDE - self.preview_h) // 2
        self.ratio = self.work_scale / self.preview_scale
        # Of the source pixels that map onto one place, the last in scan order stays.
        self.canvas_x = self._last_source(width, self.preview_scale)
        self.canvas_y = self._last_source(height, self.preview_scale)
        self.work_x = self._last_source(width, self.work_scale)
        self.work_y = self._last_source(height, self.work_scale)

    @staticmethod
    def _last_source(size, scale):
        last = {}
        for s in range(size):
            last[int(s * scale)] = s
        return last

    def source(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.rgb[i:i + 3])

    def photo_pixel(self, px, py):
        return self.source(self.canvas_x[px], self.canvas_y[py])

    def brightness(self, u, v):
        if u >= WORK_SIDE or v >= WORK_SIDE or u not in self.work_x or v not in self.work_y:
            return 0
        return max(self.source(self.work_x[u], self.work_y[v]))

    def threshold_pixel(self, j, i, threshold):
        u, v = int(j * self.ratio), int(i * self.ratio)
        return WHITE if self.brightness(u, v) >= (threshold & 0xFF) else BLACK


def compare_pictures(model, shot, threshold):
    """Mismatches between a read-back of both boxes and the model: a reason or None."""
    width, height, rgb = shot

    def at(x, y):
        i = (y * width + x) * 3
        return tuple(rgb[i:i + 3])

    for name, box, expected in (
            ("left", LEFT_BOX, model.photo_pixel),
            ("right", RIGHT_BOX, lambda j, i: model.threshold_pixel(j, i, threshold))):
        bad, first = 0, None
        for i in range(model.preview_h):
            for j in range(model.preview_w):
                x = box[0] - LEFT_BOX[0] + model.offset_x + j
                y = box[1] - LEFT_BOX[1] + model.offset_y + i
                want, got = expected(j, i), at(x, y)
                if want != got:
                    bad += 1
                    if first is None:
                        first = "canvas (%d, %d) is %s, not %s" % (j, i, got, want)
        if bad:
            return "%s picture: %d of %d pixels differ, first %s" % (
                name, bad, model.preview_w * model.preview_h, first)
    return None


def blank_pictures(shot):
    """None when both boxes show one plain colour (nothing painted)."""
    width, height, rgb = shot
    colours = set()
    for box in (LEFT_BOX, RIGHT_BOX):
        for y in range(BOX_SIDE):
            row = (y * width + box[0] - LEFT_BOX[0]) * 3
            for x in range(BOX_SIDE):
                colours.add(bytes(rgb[row + x * 3:row + x * 3 + 3]))
            if len(colours) > 1:
                return "a picture box shows something: colours %s" % sorted(colours)[:2]
    return None


# Colours that Preview draws on the right picture, as (red, green, blue).
OUTLINE_RED = (255, 0, 0)
AXIS_BLUE = (0, 0, 255)
AXIS_GREEN = (0, 255, 0)
SHADOW_YELLOW = (255, 255, 0)
LABEL_LOWEST = 128       # every channel of a component colour lies in 128..255


def count_colours(model, shot):
    """How many pixels of the right picture's painted area show each of the
    colours that Preview draws."""
    width, height, rgb = shot
    counts = {"label": 0, "red": 0, "blue": 0, "green": 0, "yellow": 0, "black": 0, "other": 0}
    named = {OUTLINE_RED: "red", AXIS_BLUE: "blue", AXIS_GREEN: "green", SHADOW_YELLOW: "yellow", BLACK: "black"}
    for i in range(model.preview_h):
        y = RIGHT_BOX[1] - LEFT_BOX[1] + model.offset_y + i
        for j in range(model.preview_w):
            x = RIGHT_BOX[0] - LEFT_BOX[0] + model.offset_x + j
            k = (y * width + x) * 3
            colour = tuple(rgb[k:k + 3])
            if colour in named:
                counts[named[colour]] += 1
            elif min(colour) >= LABEL_LOWEST:
                counts["label"] += 1
            else:
                counts["other"] += 1
    return counts


# ---------------------------------------------------------------- one case

def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


class Skip(Exception):
    """The machine cannot set up what a case needs (no mount, no chattr)."""


def chattr_all(folder, flag):
    subprocess.run(["chattr", "-R", "-f", flag, folder], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def fill_disk(folder):
    """Fills the file system of folder with one file, up to the last byte."""
    with open(os.path.join(folder, "filler"), "wb", buffering=0) as f:
        block = b"\0" * 4096
        while True:
            try:
                f.write(block)
            except OSError:
                break
        for _ in range(4096):
            try:
                f.write(b"\0")
            except OSError:
                break


class Case:
    """One entry of a case file. Most entries are one run of the program; an
    entry with "phases" runs it several times in the same working folder, each
    phase with its own steps and expectations on top of the entry's."""

    def __init__(self, entry, folder, build, env):
        self.entry = entry
        self.folder = folder        # the case's own temporary folder
        self.build = build
        self.env = env
        self.cwd = folder           # the program's working folder
        self.mounted = False
        self.model = None
        self.photo_path = None
        self.phase = entry
        self.commands = []          # driver command lines of the phase being run
        self.checks = []            # (command index, what to check)
        self.host_calls = []        # argument lists run on the host side by "hostcall"

    # ------------------------------------------------ setting up and cleaning

    def prepare(self):
        work = self.entry.get("workdir")
        if work is not None:
            self.cwd = os.path.join(self.folder, "work")
            os.makedirs(self.cwd)
            if "tmpfs_kb" in work:
                mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % work["tmpfs_kb"], "tmpfs",
                                        self.cwd], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                if mount.returncode != 0:
                    raise Skip("can not mount a small tmpfs here: %s" % mount.stdout.decode().strip())
                self.mounted = True
        photo = self.entry.get("photo")
        if photo is not None:
            name = photo.get("name") or "photo." + photo.get("format", "png")
            self.photo_path = os.path.join(self.folder, photo.get("dir", ""), name)
            if "path_length" in photo:
                self.photo_path = self.long_path(photo["path_length"], name)
            os.makedirs(os.path.dirname(self.photo_path), exist_ok=True)
            if "sample" in photo and photo.get("kind") is None:
                shutil.copyfile(os.path.join(TOP, "tests", "data", "samples", photo["sample"]), self.photo_path)
            else:
                make_photos.make_photo(photo, self.photo_path)
        for name in self.entry.get("folders", []):
            os.makedirs(os.path.join(self.cwd, name))
        if "settings" in self.entry:
            with open(os.path.join(self.cwd, "Quillmarsh.ini"), "wb") as f:
                f.write(self.settings_bytes())
        for args in self.entry.get("setup", []):
            done = subprocess.run([self.placeholder(a) for a in args], cwd=self.cwd, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
            if done.returncode != 0:
                raise Skip("%s failed: %s" % (" ".join(args), done.stdout.decode().strip()))
        if work is not None and work.get("fill"):
            fill_disk(self.cwd)

    def long_path(self, length, name):
        """A path under the case's folder whose Windows form is exactly length
        characters, made of folders named with non-ASCII letters."""
        letters = "ÄÖÜäöüßéèçñåøæЖЯ日本"
        path = os.path.join(self.folder, name)
        missing = length - len(wineenv.windows_path(path))
        parts = []
        while missing > 0:
            size = min(missing - 1, PATH_PART_CHARS)
            if missing - (size + 1) == 1:
                size -= 1          # no room is left for a folder of one letter and its separator
            if size <= 0:
                break
            parts.append("".join(letters[(len(parts) + i) % len(letters)] for i in range(size)))
            missing -= size + 1
        if missing != 0:
            raise ValueError("can not make a path of %d characters" % length)
        path = os.path.join(self.folder, *(parts + [name]))
        assert len(wineenv.windows_path(path)) == length
        return path

    def settings_bytes(self):
        """The settings file as the case gives it: text with CR LF line ends,
        and "{bom}" / "{long:N:C}" for a byte order mark and a line of N times C."""
        text = self.entry["settings"].replace("\n", "\r\n")
        data = text.encode("utf-8")
        data = data.replace(b"{bom}", b"\xef\xbb\xbf")
        while b"{long:" in data:
            start = data.index(b"{long:")
            end = data.index(b"}", start)
            count, char = data[start + 6:end].split(b":")
            data = data[:start] + char * int(count) + data[end + 1:]
        return data

    def cleanup(self):
        chattr_all(self.folder, "-i")
        if self.mounted:
            subprocess.run(["umount", self.cwd], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.folder, ignore_errors=True)

    def placeholder(self, arg):
        if not isinstance(arg, str):
            return str(arg)
        values = {"{cwd}": self.cwd, "{folder}": self.folder, "{exe}": os.path.join(self.build, "Quillmarsh.exe"),
                  "{photo_unix}": self.photo_path or ""}
        for key, value in values.items():
            arg = arg.replace(key, value)
        return arg

    # ------------------------------------------------ the driver's script

    def add(self, fields, check=None):
        self.commands.append("\t".join(str(f) for f in fields))
        if check is not None:
            self.checks.append((len(self.commands), check))

    def argument(self, arg):
        if arg == "{photo}":
            return wineenv.windows_path(self.photo_path)
        if arg == "{photo_name}":
            return os.path.relpath(self.photo_path, self.cwd).replace("/", "\\")
        return arg

    def script(self):
        """The driver's commands for the current phase; an empty list when the
        phase needs no driver (a launcher that never shows the dialog)."""
        self.commands, self.checks = [], []
        phase = self.phase
        launcher = "launcher" in phase
        if launcher:
            if not phase.get("dialog", True) and not phase.get("steps"):
                return []
            self.add(["attach", READY_TIMEOUT_MS], ("ok",))
        else:
            exe = os.path.join(self.build, "Quillmarsh.exe")
            args = [self.argument(a) for a in phase.get("args", ["{photo}"])]
            self.add(["start", wineenv.windows_path(exe), wineenv.windows_path(self.cwd)] + args, ("ok",))
        if phase.get("dialog", True):
            self.add(["window", READY_TIMEOUT_MS], ("ok",))
            self.add(["ready", READY_TIMEOUT_MS], ("ok",))
        for step in phase.get("steps", []):
            self.step(step)
        if "exit" in phase:
            self.add(["exit", EXIT_TIMEOUT_MS], ("value", str(phase["exit"]), "exit code"))
        elif not launcher:
            self.add(["kill"])
        return self.commands

    def step(self, step):
        op, rest = step[0], step[1:]
        if op == "status":
            self.add(["text", STATUS_TEXT_ID], ("value", rest[0], "status line"))
            self.add(["visible", STATUS_ICON_ID], ("value", "1" if rest[0] else "0", "status icon visible"))
        elif op == "text":
            self.add(["text", rest[0]], ("value", rest[1], "text of %s" % rest[0]))
        elif op == "enabled":
            self.add(["enabled", rest[0]], ("value", "1" if rest[1] else "0", "%s enabled" % rest[0]))
        elif op == "check":
            self.add(["check", rest[0]], ("value", str(rest[1]), "check state of %s" % rest[0]))
        elif op == "pos":
            self.add(["pos"], ("value", str(rest[0]), "trackbar position"))
        elif op == "setpos":
            self.add(["setpos", rest[0]], ("ok",))
        elif op == "key":
            self.add(["key", rest[0], KEYS[rest[1]], rest[2] if len(rest) > 2 else 1], ("ok",))
        elif op == "click":
            self.add(["click", rest[0]], ("ok",))
            self.add(["sync"])
        elif op == "bmclick":
            self.add(["bmclick", rest[0]], ("ok",))
        elif op == "close":
            self.add(["close"], ("ok",))
        elif op == "msgbox":
            self.add(["msgbox", MSGBOX_TIMEOUT_MS], ("msgbox", rest[0], rest[1]))
        elif op == "answer":
            self.add(["answer", rest[0]], ("ok",))
        elif op == "module":
            self.add(["module", rest[0]], ("contains", rest[1], "path of %s" % rest[0]))
        elif op == "sleep":
            self.add(["sleep", rest[0]])
        elif op == "sync":
            self.add(["sync"], ("ok",))
        elif op == "unix":
            # a command run on the host, in the working folder, while the program waits
            self.host_calls.append([self.placeholder(a) for a in rest])
            tag = len(self.host_calls) - 1
            done = os.path.join(self.folder, "hostcall-%d.done" % tag)
            self.add(["hostcall", tag, wineenv.windows_path(done), HOSTCALL_TIMEOUT_MS], ("ok",))
        elif op in ("pictures", "not_pictures", "blank_pictures", "colours"):
            shot = os.path.join(self.folder, "shot%d.ppm" % (len(self.commands) + 1))
            width = RIGHT_BOX[0] + BOX_SIDE - LEFT_BOX[0]
            self.add(["pixels", LEFT_BOX[0], LEFT_BOX[1], width, BOX_SIDE, wineenv.windows_path(shot)],
                     (op, shot) + tuple(rest))
        else:
            raise ValueError("unknown step %r" % (step,))

    def on_driver_line(self, fields):
        """The host side of "hostcall": run the command, then let the driver go on."""
        if len(fields) >= 4 and fields[1] == "hostcall" and fields[2] == "call":
            tag = int(fields[3])
            done = subprocess.run(self.host_calls[tag], cwd=self.cwd, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT)
            self.host_errors += [] if done.returncode == 0 else [
                "%s: %s" % (" ".join(self.host_calls[tag]), done.stdout.decode().strip())]
            open(os.path.join(self.folder, "hostcall-%d.done" % tag), "w").close()

    # ------------------------------------------------ judging

    def photo_model(self):
        if self.model is None:
            # The program shows the first image of a file that holds several (an animated GIF).
            self.model = PhotoModel(*wineenv.decode_rgb(self.photo_path + "[0]"))
        return self.model

    def judge(self, lines):
        """None when every check held, else the first failure."""
        by_index = {}
        for fields in lines:
            if fields and fields[0].isdigit():
                by_index[int(fields[0])] = fields[1:]
        for index, check in self.checks:
            fields = by_index.get(index)
            command = self.commands[index - 1].split("\t")[0]
            if fields is None:
                return "no answer to command %d (%s)" % (index, command)
            result = fields[1:]
            if result[0] != "ok":
                return "%s: %s" % (command, " ".join(result))
            kind = check[0]
            if kind == "value":
                got = result[1] if len(result) > 1 else ""
                if got != escape(check[1]):
                    return "%s is %r, expected %r" % (check[2], got, escape(check[1]))
            elif kind == "contains":
                got = result[1] if len(result) > 1 else ""
                if check[1].lower() not in got.lower():
                    return "%s is %r, which does not hold %r" % (check[2], got, check[1])
            elif kind == "msgbox":
                caption, text = (result + ["", ""])[1:3]
                if (caption, text) != (escape(check[1]), escape(check[2])):
                    return "message box %r / %r, expected %r / %r" % (caption, text, check[1], check[2])
            elif kind == "pictures":
                reason = compare_pictures(self.photo_model(), wineenv.read_ppm(check[1]), check[2])
                if reason:
                    return reason
            elif kind == "not_pictures":
                if compare_pictures(self.photo_model(), wineenv.read_ppm(check[1]), check[2]) is None:
                    return "the pictures show the plain threshold view"
            elif kind == "blank_pictures":
                reason = blank_pictures(wineenv.read_ppm(check[1]))
                if reason:
                    return reason
            elif kind == "colours":
                counts = count_colours(self.photo_model(), wineenv.read_ppm(check[1]))
                for name, (low, high) in sorted(check[2].items()):
                    if counts[name] < low or (high is not None and counts[name] > high):
                        return "%d %s pixels in the right picture, expected %s..%s (all counts %s)" % (
                            counts[name], name, low, "" if high is None else high, counts)
        return None

    def judge_files(self):
        """None when the working folder holds what the phase expects after the run."""
        phase = self.phase
        for name in phase.get("absent", []):
            if os.path.exists(os.path.join(self.cwd, name)):
                return "%s was written" % name
        for name in phase.get("present", []):
            if not os.path.exists(os.path.join(self.cwd, name)):
                return "%s was not written" % name
        for name, want in phase.get("files", {}).items():
            path = os.path.join(self.cwd, name)
            if not os.path.isfile(path):
                return "%s was not written" % name
            with open(path, "rb") as f:
                data = f.read().decode("latin-1")
            lines = data.split("\r\n" if want.get("crlf") else "\n")
            if lines and lines[-1] in ("", "\r"):
                lines.pop()
            lines = [line.rstrip("\r") for line in lines]
            if want.get("crlf") and data.replace("\r\n", "").count("\n"):
                return "%s has a line without a carriage return" % name
            if "lines" in want and len(lines) != want["lines"]:
                return "%s has %d lines, expected %d: %r" % (name, len(lines), want["lines"], lines)
            for text in want.get("has", []):
                if not any(line == text or (text.endswith("=") and line.startswith(text)) for line in lines):
                    return "%s lacks the line %r: %r" % (name, text, lines)
            for text in want.get("lacks", []):
                if text in lines:
                    return "%s has the line %r" % (name, text)
        for name in phase.get("unchanged", []):
            with open(os.path.join(self.cwd, name), "rb") as f:
                if f.read() != self.settings_bytes():
                    return "%s was changed" % name
        return None

    def result_file_numbers(self):
        """temp.ini's numbers as printed, by key; empty when it was not written."""
        path = os.path.join(self.cwd, "temp.ini")
        if not os.path.isfile(path):
            return {}
        with open(path, encoding="latin-1") as f:
            pairs = [line.strip().split("=", 1) for line in f if "=" in line]
        return {key: value for key, value in pairs}

    def measure_record(self, command):
        """The one JSON record of the measurement command, its numbers kept as printed."""
        done = subprocess.run(command, cwd=self.folder, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=MEASURE_TIMEOUT_S)
        lines = done.stdout.decode("utf-8", "replace").splitlines()
        if len(lines) != 1:
            return None, "printed %r (stderr %r)" % (lines, done.stderr.decode("utf-8", "replace")[-300:])
        record = json.loads(lines[0], parse_float=str)
        if record.get("code") != done.returncode:
            return None, "the record's code %s differs from the exit code %d" % (record.get("code"), done.returncode)
        return record, None

    def judge_measure(self, wanted):
        """The measurement commands on the same photograph against what OK wrote."""
        ini = self.result_file_numbers()
        want_light = "xrot" in ini
        exe = os.path.join(self.build, "quillmarsh-measure.exe")
        photo = wineenv.windows_path(self.photo_path)
        commands = [("windows", ["wine", exe, "--json", "--", photo], 0.0)]
        native = os.path.join(TOP, "build", "native", "quillmarsh-measure")
        if wanted.get("native") and self.photo_path.endswith(".png"):
            commands.append(("native", [native, "--json", "--", self.photo_path], LAST_DIGIT_TOLERANCE))
        for name, command, tolerance in commands:
            record, reason = self.measure_record(command)
            if reason:
                return "%s command: %s" % (name, reason)
            if "exit" in self.phase and record["code"] != self.phase["exit"]:
                return "%s command: code %d, the dialog's %d" % (name, record["code"], self.phase["exit"])
            if "error" in wanted or "error" in record:
                if record.get("error") != wanted.get("error") or ini:
                    return "%s command: error %r, expected %r" % (name, record.get("error"), wanted.get("error"))
                continue
            if ("light" in record) != want_light:
                return "%s command: light %s, temp.ini's %s" % (name, "light" in record, want_light)
            got = dict(record.get("camera", {}), **record.get("light", {}))
            for key in CAMERA_KEYS + (LIGHT_KEYS if want_light else ()):
                if key not in got or key not in ini:
                    return "%s command: %s missing (%r, temp.ini %r)" % (name, key, got, ini)
                same = got[key] == ini[key] if tolerance == 0.0 else abs(float(got[key]) - float(ini[key])) <= tolerance
                if not same:
                    return "%s command: %s=%s, temp.ini %s" % (name, key, got[key], ini[key])
        return None

    def judge_launcher(self, code, out, err):
        phase = self.phase
        want = phase.get("launcher_exit")
        if want is not None and code != want:
            return "the launcher exited with %s, expected %d (stderr %r)" % (code, want, err.strip())
        for text in phase.get("stderr_has", []):
            if text not in err:
                return "the launcher's message %r lacks %r" % (err.strip(), text)
        if "json" not in phase:
            return None
        expected = phase["json"]
        if expected is None:
            return None if out.strip() == "" else "the launcher printed %r, expected nothing" % out.strip()
        try:
            result = json.loads(out)
        except ValueError:
            return "the launcher printed no JSON: %r (stderr %r)" % (out.strip(), err.strip())
        # After OK the launcher adds the refined record when it finds the
        # measurement command; the dialog's own keys stay as they were.
        refined = result.pop("refined", None)
        if sorted(result) != (["camera", "light"] if expected.get("light") else ["camera"]):
            return "the launcher's JSON has %s" % sorted(result)
        if refined is not None:
            missing = [k for k in ("fov", "focal_source", "note") if k not in refined]
            if missing or ("camera" in refined and sorted(refined["camera"]) != sorted(CAMERA_KEYS)):
                return "the refined record is %r" % refined
        if sorted(result["camera"]) != sorted(CAMERA_KEYS):
            return "the camera has the keys %s" % sorted(result["camera"])
        if "light" in result and sorted(result["light"]) != ["xrot", "yrot"]:
            return "the light has the keys %s" % sorted(result["light"])
        if result["camera"]["yaw"] != 0.0:
            return "yaw is %r" % result["camera"]["yaw"]
        if "truth" in expected:
            with open(os.path.join(TOP, "tests", "data", "samples", expected["truth"])) as f:
                camera = json.load(f)["camera"]
            for key, truth in (("pitch", -camera["elevation_deg"]), ("roll", camera["roll_deg"])):
                if abs(result["camera"][key] - truth) > CAMERA_TOLERANCE_DEG:
                    return "%s is %.3f, the photo's truth %.3f" % (key, result["camera"][key], truth)
                if refined is not None and "camera" in refined and \
                        abs(refined["camera"][key] - truth) > REFINED_TOLERANCE_DEG:
                    return "refined %s is %.3f, the photo's truth %.3f" % (key, refined["camera"][key], truth)
        return None

    # ------------------------------------------------ running

    def run(self, driver, verbose):
        """None when every phase held, else the first failure."""
        phases = self.entry.get("phases")
        if phases is None:
            phases = [{}]
        base = {k: v for k, v in self.entry.items() if k != "phases"}
        for number, extra in enumerate(phases, 1):
            self.phase = dict(base, **extra)
            reason = self.run_phase(driver, verbose)
            if reason is not None:
                return reason if len(phases) == 1 else "phase %d: %s" % (number, reason)
        return None

    def run_phase(self, driver, verbose):
        self.host_errors = []
        launcher = None
        if "launcher" in self.phase:
            launcher = self.start_launcher(self.phase["launcher"])
        commands = self.script()
        watch = wineenv.ProgramWatch(self.env["WINEPREFIX"])
        began = time.time()
        lines, error = [], None
        if commands:
            script = os.path.join(self.folder, "script.txt")
            with open(script, "w", encoding="utf-8") as f:
                f.write("\n".join(commands) + "\n")
            lines, error = wineenv.run_driver(driver, script, self.env, CASE_TIMEOUT_S, self.on_driver_line, watch)
        if verbose:
            for fields in lines:
                print("    " + " | ".join(fields))
        launched = None
        if launcher is not None:
            launched = self.finish_launcher(launcher)
        seconds = time.time() - began
        reason = error or (self.host_errors[0] if self.host_errors else None) or self.judge(lines)
        if reason is None and launched is not None:
            reason = self.judge_launcher(*launched)
        reason = reason or self.judge_files()
        if reason is None and "measure" in self.phase:
            reason = self.judge_measure(self.phase["measure"])
        if reason is None and "max_seconds" in self.phase and seconds > self.phase["max_seconds"]:
            reason = "took %.1f s, more than %s s" % (seconds, self.phase["max_seconds"])
        if reason is None and "max_rss_mb" in self.phase:
            if watch.peak_kb == 0:
                reason = "the program's memory was never seen"
            elif watch.peak_kb > self.phase["max_rss_mb"] * 1024:
                reason = "peak resident memory %.0f MB, more than %s MB" % (watch.peak_kb / 1024.0,
                                                                          self.phase["max_rss_mb"])
        if verbose and watch.peak_kb:
            print("    %.1f s, peak resident memory %.1f MB" % (seconds, watch.peak_kb / 1024.0))
        return reason

    def start_launcher(self, launch):
        env = dict(self.env)
        if launch.get("path") == "without wine":
            bare = os.path.join(self.folder, "bin-without-wine")
            os.makedirs(bare, exist_ok=True)
            env["PATH"] = bare
        args = [sys.executable, os.path.join(TOP, "Quillmarsh.py")] + [self.placeholder(a) for a in launch["args"]]
        return subprocess.Popen(args, cwd=self.folder, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                start_new_session=True)

    def finish_launcher(self, proc):
        return harness.finish(proc, EXIT_TIMEOUT_MS / 1000.0)


def load_cases(folder, pattern):
    cases = []
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        group = os.path.splitext(os.path.basename(path))[0]
        with open(path, encoding="utf-8") as f:
            for entry in json.load(f):
                entry["name"] = group + "/" + entry["name"]
                if pattern is None or pattern in entry["name"]:
                    cases.append(entry)
    return cases


def run_entry(entry, options, driver, env):
    """PASS or FAIL line for one entry (SKIP when the machine can not set it up)."""
    if "stress" in entry:
        summary = stress.run_stress(entry["stress"]["runs"], options.build, env,
                                    log=print if options.verbose else None)
        return ("PASS" if summary["failures"] == 0 else "FAIL"), stress.describe(summary), None
    if "resources" in entry:
        reason = pe_resources.check(os.path.join(options.build, "Quillmarsh.exe"), entry["resources"])
        return ("PASS", None, None) if reason is None else ("FAIL", reason, None)
    folder = tempfile.mkdtemp(prefix="qm-e2e-")
    case = Case(entry, folder, options.build, env)
    try:
        case.prepare()
        reason = case.run(driver, options.verbose)
    except Skip as e:
        case.cleanup()
        return "SKIP", str(e), None
    except Exception as e:  # a broken case is a failed case, not a stopped run
        reason = "harness error: %s: %s" % (type(e).__name__, e)
    if reason is None or not options.keep:
        case.cleanup()
        return ("PASS", None, None) if reason is None else ("FAIL", reason, None)
    chattr_all(folder, "-i")
    return "FAIL", reason, folder


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-k", dest="pattern", help="run only the cases whose name contains this")
    parser.add_argument("--keep", action="store_true", help="keep the working folders of failed cases")
    parser.add_argument("--build", default=os.path.join(TOP, "build", "windows"))
    parser.add_argument("--cases", default=os.path.join(HERE, "cases"), help="folder of the case files")
    parser.add_argument("--verbose", action="store_true", help="print the driver's output")
    parser.add_argument("--prefix", default=os.environ.get("QM_E2E_PREFIX", os.path.join(TOP, "build", "e2e-wine")),
                        help="Wine prefix of the tests (default $QM_E2E_PREFIX or build/e2e-wine)")
    options = parser.parse_args()
    options.build = os.path.abspath(options.build)

    cases = load_cases(options.cases, options.pattern)
    driver = os.path.join(options.build, "qmdriver.exe")
    program = os.path.join(options.build, "Quillmarsh.exe")
    for needed in (driver, program):
        if not os.path.exists(needed):
            print("FAIL setup: %s is missing (scripts/build.sh windows)" % needed)
            print("e2e: 0 passed, %d failed" % max(len(cases), 1))
            return 1

    passed = failed = 0
    env = None
    try:
        env = wineenv.start_session(options.prefix)
        for entry in cases:
            verdict, reason, kept = run_entry(entry, options, driver, env)
            if verdict == "PASS":
                passed += 1
            elif verdict == "FAIL":
                failed += 1
            print("%s %s%s" % (verdict, entry["name"], ": " + reason if reason else ""))
            if kept:
                print("     kept %s" % kept)
            sys.stdout.flush()
    except Exception as e:
        failed += 1
        print("FAIL setup: %s" % e)
    finally:
        if env is not None:
            wineenv.stop_server(env)
        wineenv.stop_display()
    print("e2e: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
