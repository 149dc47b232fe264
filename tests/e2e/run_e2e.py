#!/usr/bin/env python3
"""End-to-end tests of build/windows/Quillmarsh.exe under Wine.

Every case of tests/e2e/cases/*.json runs in a fresh temporary working folder:
its photograph is made there (make_photos.py) or copied from the samples, its
settings file written there, and the program is worked by the test driver
(qmdriver.exe). One line per case, PASS or FAIL with the reason, and at the end
exactly "e2e: N passed, N failed".

usage: run_e2e.py [-k SUBSTRING] [--keep] [--build DIR] [--cases DIR] [--verbose]
"""
import argparse
import glob
import json
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_photos  # noqa: E402
import wineenv  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = wineenv.TOP
CASE_TIMEOUT_S = 90           # one case, start to exit, under a slow Wine
READY_TIMEOUT_MS = 30000      # a 2048 x 2048 photograph decodes in about a second
EXIT_TIMEOUT_MS = 10000
MSGBOX_TIMEOUT_MS = 10000

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


# ---------------------------------------------------------------- one case

def escape(text):
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


class Case:
    def __init__(self, entry, folder, build):
        self.entry = entry
        self.folder = folder
        self.build = build
        self.commands = []     # driver command lines
        self.checks = []       # (command index, what to check)
        self.model = None
        self.photo_path = None

    def prepare(self):
        photo = self.entry.get("photo")
        if photo is not None:
            name = photo.get("name") or "photo." + photo.get("format", "png")
            self.photo_path = os.path.join(self.folder, photo.get("dir", ""), name)
            os.makedirs(os.path.dirname(self.photo_path), exist_ok=True)
            if "sample" in photo:
                shutil.copyfile(os.path.join(TOP, "tests", "data", "samples", photo["sample"]), self.photo_path)
            else:
                make_photos.make_photo(photo, self.photo_path)
        for name in self.entry.get("folders", []):
            os.makedirs(os.path.join(self.folder, name))
        if "settings" in self.entry:
            with open(os.path.join(self.folder, "Quillmarsh.ini"), "w", newline="\r\n") as f:
                f.write(self.entry["settings"])

    def add(self, fields, check=None):
        self.commands.append("\t".join(str(f) for f in fields))
        if check is not None:
            self.checks.append((len(self.commands), check))

    def argument(self, arg):
        if arg == "{photo}":
            return wineenv.windows_path(self.photo_path)
        if arg == "{photo_name}":
            return os.path.relpath(self.photo_path, self.folder).replace("/", "\\")
        return arg

    def script(self):
        exe = os.path.join(self.build, "Quillmarsh.exe")
        args = [self.argument(a) for a in self.entry.get("args", ["{photo}"])]
        self.add(["start", wineenv.windows_path(exe), wineenv.windows_path(self.folder)] + args, ("ok",))
        if self.entry.get("dialog", True):
            self.add(["window", READY_TIMEOUT_MS], ("ok",))
            self.add(["ready", READY_TIMEOUT_MS], ("ok",))
        for step in self.entry.get("steps", []):
            self.step(step)
        if "exit" in self.entry:
            self.add(["exit", EXIT_TIMEOUT_MS], ("value", str(self.entry["exit"]), "exit code"))
        else:
            self.add(["kill"])

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
        elif op == "sleep":
            self.add(["sleep", rest[0]])
        elif op == "sync":
            self.add(["sync"], ("ok",))
        elif op in ("pictures", "not_pictures", "blank_pictures"):
            shot = os.path.join(self.folder, "shot%d.ppm" % (len(self.commands) + 1))
            width = RIGHT_BOX[0] + BOX_SIDE - LEFT_BOX[0]
            self.add(["pixels", LEFT_BOX[0], LEFT_BOX[1], width, BOX_SIDE, wineenv.windows_path(shot)],
                     (op, shot) + tuple(rest))
        else:
            raise ValueError("unknown step %r" % (step,))

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
            elif kind == "msgbox":
                caption, text = (result + ["", ""])[1:3]
                if (caption, text) != (escape(check[1]), escape(check[2])):
                    return "message box %r / %r, expected %r / %r" % (caption, text, check[1], check[2])
            elif kind == "pictures":
                if self.model is None:
                    self.model = PhotoModel(*wineenv.decode_rgb(self.photo_path))
                reason = compare_pictures(self.model, wineenv.read_ppm(check[1]), check[2])
                if reason:
                    return reason
            elif kind == "not_pictures":
                if self.model is None:
                    self.model = PhotoModel(*wineenv.decode_rgb(self.photo_path))
                if compare_pictures(self.model, wineenv.read_ppm(check[1]), check[2]) is None:
                    return "the pictures show the plain threshold view"
            elif kind == "blank_pictures":
                reason = blank_pictures(wineenv.read_ppm(check[1]))
                if reason:
                    return reason
        return None


    def judge_files(self):
        """None when the working folder holds what the case expects after the run."""
        for name in self.entry.get("absent", []):
            if os.path.exists(os.path.join(self.folder, name)):
                return "%s was written" % name
        for name in self.entry.get("present", []):
            if not os.path.exists(os.path.join(self.folder, name)):
                return "%s was not written" % name
        for name, want in self.entry.get("files", {}).items():
            path = os.path.join(self.folder, name)
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
        for name in self.entry.get("unchanged", []):
            with open(os.path.join(self.folder, name), newline="") as f:
                if f.read() != self.entry["settings"].replace("\n", "\r\n"):
                    return "%s was changed" % name
        return None


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-k", dest="pattern", help="run only the cases whose name contains this")
    parser.add_argument("--keep", action="store_true", help="keep the working folders of failed cases")
    parser.add_argument("--build", default=os.path.join(TOP, "build", "windows"))
    parser.add_argument("--cases", default=os.path.join(HERE, "cases"), help="folder of the case files")
    parser.add_argument("--verbose", action="store_true", help="print the driver's output")
    options = parser.parse_args()

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
        display = wineenv.start_display()
        env = wineenv.environment(os.path.join(TOP, "build", "e2e-wine"), display)
        wineenv.ensure_prefix(env["WINEPREFIX"], env)
        wineenv.start_server(env)
        for entry in cases:
            folder = tempfile.mkdtemp(prefix="qm-e2e-")
            case = Case(entry, folder, options.build)
            reason = None
            try:
                case.prepare()
                case.script()
                script = os.path.join(folder, "script.txt")
                with open(script, "w", encoding="utf-8") as f:
                    f.write("\n".join(case.commands) + "\n")
                lines, error = wineenv.run_driver(driver, script, env, CASE_TIMEOUT_S)
                if options.verbose:
                    for fields in lines:
                        print("    " + " | ".join(fields))
                reason = error or case.judge(lines) or case.judge_files()
            except Exception as e:  # a broken case is a failed case, not a stopped run
                reason = "harness error: %s: %s" % (type(e).__name__, e)
            if reason is None:
                passed += 1
                print("PASS %s" % entry["name"])
            else:
                failed += 1
                print("FAIL %s: %s" % (entry["name"], reason))
                if options.keep:
                    print("     kept %s" % folder)
            sys.stdout.flush()
            if reason is None or not options.keep:
                shutil.rmtree(folder, ignore_errors=True)
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
