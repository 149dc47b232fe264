#!/usr/bin/env python3
"""The release archives, unpacked into empty folders far from the source tree
and run from there. Makes them with scripts/package.sh into a folder of its
own; one line per case, then "package: N passed, N failed"."""
import json
import os
import shutil
import sys
import tarfile
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
SAMPLES = os.path.join(TOP, "tests", "data", "samples")
ADDON = os.path.join(TOP, "blender", "quillmarsh")
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
import harness  # noqa: E402
from harness import case, run  # noqa: E402

DIALOG_RESULTS = os.path.join(TOP, "tests", "blender", "results")
WINE_PREFIX = os.path.join(TOP, "build", "e2e-wine")   # made by the end-to-end tests
# The native maths library may move a printed sixth decimal by a few units.
LAST_DIGITS = 5e-6
BLENDER = shutil.which("blender") or "blender"

work = tempfile.mkdtemp(prefix="qm-package-test-")
dist = os.path.join(work, "dist")


def unpacked(name, extract):
    """The archive extracted into a new empty folder; its one top folder."""
    folder = tempfile.mkdtemp(prefix="unpacked-", dir=work)
    extract(os.path.join(dist, name), folder)
    entries = os.listdir(folder)
    return os.path.join(folder, entries[0]) if len(entries) == 1 else folder


def unzip(path, folder):
    # as Blender's installer does it: Python's zipfile, which keeps no file modes
    with zipfile.ZipFile(path) as archive:
        archive.extractall(folder)


def untar(path, folder):
    with tarfile.open(path) as archive:
        archive.extractall(folder)


def photo(name="s01.png"):
    """A sample copied beside the test's folders, so nothing points into the tree."""
    copy = os.path.join(work, name)
    if not os.path.exists(copy):
        shutil.copy(os.path.join(SAMPLES, name), copy)
    return copy


def differs_from_dialog(record, sample="s01"):
    """What in the record differs from the dialog's own numbers for the sample."""
    with open(os.path.join(DIALOG_RESULTS, sample + ".json")) as f:
        dialog = json.load(f)
    off = ["%s.%s %r, the dialog %r" % (part, key, record.get(part, {}).get(key), value)
           for part in ("camera", "light") for key, value in dialog[part].items()
           if not isinstance(record.get(part, {}).get(key), (int, float))
           or abs(record[part][key] - value) > LAST_DIGITS]
    return "; ".join(off) or None


def measured(code, out, err):
    if code != 0:
        return None, "exit %d: %s" % (code, err.strip()[-300:])
    try:
        return json.loads(out.strip().splitlines()[-1]), None
    except (IndexError, ValueError):
        return None, "no JSON: %r" % out[-300:]


def without_wine():
    """An environment whose PATH holds no Wine (nor anything else)."""
    empty = os.path.join(work, "no-wine")
    os.makedirs(empty, exist_ok=True)
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUILLMARSH_")}
    env["PATH"] = empty
    return env


@case("package.sh makes the three archives and SHA256SUMS, which sha256sum -c accepts")
def _made():
    code, out, err = run([os.path.join(TOP, "scripts", "package.sh"), "all"], env=dict(os.environ, QM_DIST=dist))
    if code != 0:
        return ["package.sh exit %d: %s" % (code, (out + err)[-600:])]
    print(out.strip())
    code, out, err = run(["sha256sum", "-c", "SHA256SUMS"], cwd=dist)
    return [code != 0 and "sha256sum -c: %s%s" % (out, err),
            out.count(": OK") != 3 and "SHA256SUMS does not cover the three archives: %s" % out]


@case("Linux tarball: the command measures a sample; the launcher's --measure runs it; only the C library is shared")
def _linux():
    folder = unpacked("quillmarsh-linux-x86_64.tar.gz", untar)
    expected = ["Quillmarsh.exe", "Quillmarsh.py", "README.txt", "quillmarsh-measure", "quillmarsh-measure.exe"]
    if sorted(os.listdir(folder)) != expected:
        return ["the tarball holds %s" % sorted(os.listdir(folder))]
    env = without_wine()
    record, problem = measured(*run([os.path.join(folder, "quillmarsh-measure"), "--json", photo()], env=env))
    problems = [problem or differs_from_dialog(record)]
    code, out, err = run([sys.executable, os.path.join(folder, "Quillmarsh.py"), photo(), "--measure"], env=env,
                         cwd=work)
    record, problem = measured(code, out, err)
    problems.append(problem or differs_from_dialog(record))
    code, out, _ = run(["ldd", os.path.join(folder, "quillmarsh-measure")])
    shared = [line.split()[0] for line in out.splitlines() if "=>" in line]
    problems.append(any(not name.startswith(("libc.so", "libm.so")) for name in shared) and "ldd: %s" % shared)
    return problems


@case("Windows zip: the programs, the launcher and the README; the command under Wine measures a sample")
def _windows():
    folder = unpacked("quillmarsh-windows.zip", unzip)
    expected = ["Quillmarsh.exe", "Quillmarsh.py", "README.txt", "quillmarsh-measure.exe"]
    if sorted(os.listdir(folder)) != expected:
        return ["the zip holds %s" % sorted(os.listdir(folder))]
    if not os.path.exists(os.path.join(WINE_PREFIX, ".quillmarsh-ready")) or not shutil.which("wine"):
        print("  (no Wine prefix from the end-to-end tests: the command is not run under Wine)")
        return []
    env = dict(os.environ, WINEPREFIX=WINE_PREFIX, WINEDEBUG="-all")
    env.pop("QUILLMARSH_MEASURE", None)
    record, problem = measured(*run([sys.executable, os.path.join(folder, "Quillmarsh.py"), photo(), "--measure"],
                                    env=env, cwd=work))
    return [problem or differs_from_dialog(record)]


def zip_differences(path):
    """What of blender/quillmarsh/ the zip's quillmarsh/ does not hold byte for
    byte, and any byte-code cache it holds."""
    problems = []
    with zipfile.ZipFile(path) as archive:
        names = set(archive.namelist())
        for root, dirs, files in os.walk(ADDON):
            dirs[:] = [d for d in dirs if d != "__pycache__"]
            for name in files:
                source = os.path.join(root, name)
                inside = "quillmarsh/" + os.path.relpath(source, ADDON).replace(os.sep, "/")
                with open(source, "rb") as f:
                    if inside not in names or archive.read(inside) != f.read():
                        problems.append("%s differs from the repository's" % inside)
        problems += ["%s is a byte-code cache" % n for n in names if "__pycache__" in n or n.endswith(".pyc")]
        problems += ["%s lies outside the top folder quillmarsh/" % n for n in names if not n.startswith("quillmarsh/")]
    return problems


# Imports the unpacked add-on as a package and runs its command line.
HEADLESS = "import sys; sys.path.insert(0, %r); from quillmarsh import headless; headless.main()"


@case("Blender add-on zip: blender/quillmarsh/ byte for byte; --result from the unpacked add-on; without Wine it "
      "measures with its own command; Blender installs it and enables module quillmarsh")
def _blender():
    path = os.path.join(dist, "quillmarsh-blender.zip")
    problems = zip_differences(path)
    folder = unpacked("quillmarsh-blender.zip", unzip)
    for name, extra in (("result", ["--result", os.path.join(DIALOG_RESULTS, "s01.json")]),
                        ("command", [])):
        blend = os.path.join(work, name + ".blend")
        code, out, err = run([BLENDER, "-b", "--factory-startup", "--python-expr",
                              HEADLESS % os.path.dirname(folder), "--", photo()] + extra + ["--save", blend],
                             env=without_wine() if name == "command" else None)
        line = [l for l in (out + err).splitlines() if l.startswith("quillmarsh_blender:")]
        if code != 0 or not os.path.isfile(blend):
            problems.append("%s: exit %d, %s" % (name, code, line or (out + err)[-400:]))
        elif name == "command" and "without the dialog at threshold" not in line[0]:
            problems.append("the report does not name the path: %s" % line)
    # installed by Blender, without Wine: the import waits on the command's
    # measurement, Accept matches the scene
    code, out = harness.run_installed(BLENDER, path, (
        "bpy.ops.import_scene.quillmarsh_photo(filepath=%r)\n"
        "bpy.ops.quillmarsh.accept()\n"
        "print('installed:', bpy.context.scene.camera.name)\n") % photo(), work, env=without_wine())
    problems.append("installed: s01" not in out and "installed: exit %d, %s" % (code, out[-600:]))
    return problems


shutil.rmtree(work, ignore_errors=True)
harness.summary("package")
