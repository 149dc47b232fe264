#!/usr/bin/env python3
"""quillmarsh-measure --export as a user runs it: the files it writes read back
by the Khronos glTF validator and by the strict USDA reader, the two formats
against each other and against the command's own numbers, and the refusals.
Usage: export_command_test.py MEASURE SAMPLES NODE_MODULES
One line per case, then "export command: N passed, N failed"."""
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
import harness  # noqa: E402
import usda_reader  # noqa: E402
from harness import case  # noqa: E402

MEASURE, SAMPLES, NODE_MODULES = sys.argv[1:4]
VALIDATOR = os.path.join(HERE, "validate_gltf.js")
MATRIX_TOLERANCE = 1e-4     # of the camera's distance from the marker
ANGLE_TOLERANCE_DEG = 0.01
FLOAT_SHARE = 1e-6  # a USD float attribute keeps about seven significant digits
LUX_PER_W = 683.0
work = tempfile.mkdtemp(prefix="qm-export-test-")


def measure(folder, *arguments):
    """(exit code, records, stderr) of the command with --export folder."""
    done = subprocess.run([MEASURE, "--json", "--jobs", "2", "--export", folder] + list(arguments),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    records = [json.loads(line) for line in done.stdout.decode().splitlines()]
    return done.returncode, records, done.stderr.decode()


def fresh(name):
    folder = os.path.join(work, name)
    os.makedirs(folder)
    return folder


def column(matrix, j):
    return [matrix[i][j] for i in range(3)]


def angle(a, b):
    dot = sum(x * y for x, y in zip(a, b)) / math.sqrt(sum(x * x for x in a) * sum(y * y for y in b))
    return math.degrees(math.acos(max(-1.0, min(1.0, dot))))


def gltf_nodes(path):
    """{"camera": (node matrix as 4 x 4 rows, camera), "sun": matrix or None}."""
    with open(path) as f:
        document = json.load(f)
    found = {"sun": None}
    for node in document["nodes"]:
        m = node.get("matrix", [float(i % 5 == 0) for i in range(16)])
        rows = [[m[4 * j + i] for j in range(4)] for i in range(4)]   # column-major
        if "camera" in node:
            found["camera"] = (rows, document["cameras"][node["camera"]])
        if "KHR_lights_punctual" in node.get("extensions", {}):
            light = document["extensions"]["KHR_lights_punctual"]["lights"][node["extensions"]["KHR_lights_punctual"]["light"]]
            found["sun"], found["light"] = rows, light
    return found


def toward_sun(xrot, yrot):
    """Y-up frame: (cos e sin yrot, sin e, cos e cos yrot), e = -xrot."""
    e, b = math.radians(-xrot), math.radians(yrot)
    return [math.cos(e) * math.sin(b), math.sin(e), math.cos(e) * math.cos(b)]


def scene_numbers(record):
    """The numbers the scene is built from, the add-on's way: refined when it has a camera."""
    refined = record.get("refined") or {}
    light = record.get("light")
    if "camera" not in refined:
        return record["camera"], light, math.degrees(2.0 * math.atan(160.0 / 375.0))
    if light is not None and "light" in refined:
        light = {"xrot": refined["light"].get("xrot", light["xrot"]), "yrot": refined["light"]["yrot"]}
    return refined["camera"], light, refined["fov"]


def compare(stem, record, size, diameter=None):
    """The USD against the glTF and both against the record's numbers."""
    problems = []
    scale = (diameter or 6.0) / 6.0
    with open(stem + ".usda", encoding="utf-8") as f:
        document = usda_reader.read(f.read())
    prims = usda_reader.world_prims(document)
    (usd_camera, usd_matrix), = prims["Camera"]
    gltf = gltf_nodes(stem + ".gltf")
    gltf_matrix, gltf_camera = gltf["camera"]
    camera, light, fov = scene_numbers(record)
    position = [camera["dollyX"] * scale, camera["dollyY"] * scale, camera["dollyZ"] * scale]
    reach = math.sqrt(sum(x * x for x in position))
    worst = max(abs(usd_matrix[i][j] - gltf_matrix[i][j]) / (reach if j == 3 else 1.0)
                for i in range(4) for j in range(4))
    problems.append(worst > MATRIX_TOLERANCE and "USD and glTF cameras differ by %.2g" % worst)
    problems.append(max(abs(a - b) for a, b in zip(column(gltf_matrix, 3), position)) > MATRIX_TOLERANCE * reach
                    and "the camera stands at %s, not %s" % (column(gltf_matrix, 3), position))
    # the view direction (-Z) rises by the pitch
    view = [-v for v in column(usd_matrix, 2)]
    problems.append(abs(math.degrees(math.asin(view[1])) - camera["pitch"]) > ANGLE_TOLERANCE_DEG
                    and "the view rises %.4f deg, pitch %.4f" % (math.degrees(math.asin(view[1])), camera["pitch"]))
    width, height = size
    usd_fov = usda_reader.camera_fov(usd_camera, width, height)
    p = gltf_camera["perspective"]
    yfov = math.degrees(p["yfov"])
    gltf_fov = yfov if height >= width else math.degrees(2 * math.atan(math.tan(p["yfov"] / 2) * p["aspectRatio"]))
    problems += [abs(usd_fov - fov) > ANGLE_TOLERANCE_DEG and "USD fov %.4f against %.4f" % (usd_fov, fov),
                 abs(gltf_fov - fov) > ANGLE_TOLERANCE_DEG and "glTF fov %.4f against %.4f" % (gltf_fov, fov),
                 "zfar" in p and "zfar written",
                 abs(p["aspectRatio"] - width / height) > 1e-12 and "aspect ratio %r" % p["aspectRatio"],
                 usd_camera["customData"].get("imageWidth") != width and "USD image width",
                 gltf_camera["extras"]["photo"] != usd_camera["customData"]["photo"] and "photo names differ"]
    suns = prims.get("DistantLight", [])
    if light is None:
        return problems + [(suns or gltf["sun"] is not None) and "a sun without a measured light"]
    (usd_sun, usd_sun_matrix), = suns
    toward = toward_sun(light["xrot"], light["yrot"])
    a = usd_sun["attributes"]
    problems += [angle(column(usd_sun_matrix, 2), toward) > ANGLE_TOLERANCE_DEG and "USD sun off by %.4f deg"
                 % angle(column(usd_sun_matrix, 2), toward),
                 angle(column(gltf["sun"], 2), toward) > ANGLE_TOLERANCE_DEG and "glTF sun off by %.4f deg"
                 % angle(column(gltf["sun"], 2), toward),
                 a["inputs:angle"] != 0.53 and "USD angle %r" % a["inputs:angle"],
                 a["inputs:normalize"] != 1 and "USD light not normalised",
                 abs(gltf["light"]["intensity"] - a["inputs:intensity"]) > FLOAT_SHARE * abs(a["inputs:intensity"])
                 and "intensities differ",
                 gltf["light"]["type"] != "directional" and "glTF light %s" % gltf["light"]["type"]]
    return problems


def validator(paths):
    env = dict(os.environ, NODE_PATH=NODE_MODULES)
    done = subprocess.run(["node", VALIDATOR] + paths, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
    return done.returncode == 0 or done.stdout.decode().strip()


SIZES = {"s01.png": (640, 480), "s27.png": (480, 640)}


@case("s01 landscape, s27 portrait, in the numbers' units: validator, USD against glTF against the numbers")
def _own_units():
    folder = fresh("own")
    code, records, _ = measure(folder, *[os.path.join(SAMPLES, n) for n in SIZES])
    problems = [code != 0 and "exit %d" % code]
    stems = [os.path.join(folder, n[:-4]) for n in SIZES]
    problems.append(validator([s + ".gltf" for s in stems]) is not True and validator([s + ".gltf" for s in stems]))
    for stem, record, name in zip(stems, records, SIZES):
        problems += ["%s: %s" % (name, p) for p in compare(stem, record, SIZES[name]) if p]
    problems.append(sorted(os.listdir(folder)) != sorted(n[:-4] + e for n in SIZES for e in (".gltf", ".bin", ".usda"))
                    and "files: %s" % sorted(os.listdir(folder)))
    return problems


@case("--marker-diameter 0.3: metres in both formats, the disc 0.3 m across")
def _metres():
    folder = fresh("metres")
    code, records, _ = measure(folder, "--marker-diameter", "0.3", os.path.join(SAMPLES, "s01.png"))
    stem = os.path.join(folder, "s01")
    problems = [code != 0 and "exit %d" % code] + compare(stem, records[0], SIZES["s01.png"], 0.3)
    with open(stem + ".usda") as f:
        document = usda_reader.read(f.read())
    disc = [p for p, _ in usda_reader.world_prims(document)["Mesh"] if p["name"] == "disc"][0]
    width = max(x for x, _, _ in disc["attributes"]["points"]) - min(x for x, _, _ in disc["attributes"]["points"])
    return problems + [abs(width - 0.3) > 1e-6 and "disc %.6f m across" % width,
                       document["layer"]["metersPerUnit"] != 1.0 and "metersPerUnit",
                       validator([stem + ".gltf"]) is not True and "validator"]


@case("--no-shadow: the camera alone, no sun in either format")
def _camera_only():
    folder = fresh("camera-only")
    code, records, _ = measure(folder, "--no-shadow", os.path.join(SAMPLES, "s01.png"))
    stem = os.path.join(folder, "s01")
    return [code != 1 and "exit %d" % code] + compare(stem, records[0], SIZES["s01.png"]) + \
        [validator([stem + ".gltf"]) is not True and "validator"]


@case("--export-format usd writes the .usda alone; names sanitised for the prim, repeated names numbered")
def _formats_and_names():
    folder, other = fresh("usd"), fresh("photos")
    odd = os.path.join(other, '9 odd "name".png')
    shutil.copy(os.path.join(SAMPLES, "s01.png"), odd)
    shutil.copy(os.path.join(SAMPLES, "s01.png"), os.path.join(other, "s01.png"))
    code, records, _ = measure(folder, "--export-format", "usd", os.path.join(SAMPLES, "s01.png"),
                               os.path.join(other, "s01.png"), odd)
    names = sorted(os.listdir(folder))
    problems = [code != 0 and "exit %d" % code,
                names != sorted(["s01.usda", "s01-2.usda", '9 odd "name".usda']) and "files: %s" % names]
    if '9 odd "name".usda' in names:
        with open(os.path.join(folder, '9 odd "name".usda')) as f:
            document = usda_reader.read(f.read())
        root = document["prims"][0]
        problems += [root["name"] != "_9_odd__name_" and "root prim %r" % root["name"],
                     document["layer"]["defaultPrim"] != root["name"] and "defaultPrim",
                     root["children"][0]["customData"]["photo"] != '9 odd "name".png' and "photo name lost"]
    return problems


@case("names that are no identifier, no ASCII or no UTF-8 at all: the .bin's URI percent-encoded, text made UTF-8")
def _odd_names():
    folder, other = fresh("odd"), fresh("odd-photos")
    names = ['caf\u00e9 "9".png'.encode("utf-8"), b"bad\xffname.png"]
    for name in names:
        shutil.copy(os.path.join(SAMPLES, "s01.png"), os.path.join(other.encode(), name))
    code, records, err = measure(folder, *[os.path.join(other.encode(), n).decode("utf-8", "surrogateescape")
                                           for n in names])
    problems = [code != 0 and "exit %d: %s" % (code, err)]
    for name, photo in zip(names, ('caf\u00e9 "9".png', "bad?name.png")):
        stem = os.path.join(folder.encode(), name[:-4])
        with open(stem + b".usda", encoding="utf-8") as f:
            root = usda_reader.read(f.read())["prims"][0]
        with open(stem + b".gltf", encoding="utf-8") as f:
            document = json.load(f)
        uri = document["buffers"][0]["uri"]
        problems += [root["children"][0]["customData"]["photo"] != photo and "USD photo %r" % photo,
                     document["cameras"][0]["extras"]["photo"] != photo and "glTF photo %r" % photo,
                     not os.path.isfile(os.path.join(folder.encode(), urllib.parse.unquote_to_bytes(uri)))
                     and "the URI %s names no file" % uri]
    problems.append(validator([os.path.join(folder, 'caf\u00e9 "9".gltf')]) is not True and "validator")
    return problems


@case("refusals before any photo is measured: missing folder, unwritable folder, options without --export")
def _refusals():
    photo = os.path.join(SAMPLES, "s01.png")
    problems = []
    for arguments, words in (([MEASURE, "--export", os.path.join(work, "missing"), photo], "does not exist"),
                             ([MEASURE, "--export", "/proc", photo], "can not write"),
                             ([MEASURE, "--marker-diameter", "0.3", photo], "--export"),
                             ([MEASURE, "--export", work, "--marker-diameter", "-1", photo], "--marker-diameter"),
                             ([MEASURE, "--export", work, "--export-format", "obj", photo], "--export-format")):
        done = subprocess.run(arguments, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        problems.append((done.returncode != 2 or done.stdout or words not in done.stderr.decode())
                        and "%s: exit %d, %r" % (arguments[1:-1], done.returncode, done.stderr.decode()[:120]))
    return problems


@case("a photo whose measurement failed writes nothing, and no temporary file is left")
def _failed_photo():
    folder, other = fresh("failed"), fresh("broken")
    broken = os.path.join(other, "broken.png")
    with open(broken, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n not really")
    code, records, _ = measure(folder, broken, os.path.join(SAMPLES, "s01.png"))
    return [code != 2 and "exit %d" % code, "error" not in records[0] and "no error for the broken photo",
            sorted(os.listdir(folder)) != ["s01.bin", "s01.gltf", "s01.usda"] and "files: %s" % os.listdir(folder)]


@case("the launcher passes --export and its options through; a missing folder stops it first")
def _launcher():
    launcher = os.path.join(os.path.dirname(os.path.dirname(HERE)), "Quillmarsh.py")
    folder = fresh("launcher")
    env = dict(os.environ, QUILLMARSH_MEASURE=os.path.abspath(MEASURE))
    photo = os.path.join(SAMPLES, "s01.png")
    done = subprocess.run([sys.executable, launcher, photo, "--measure", "--export", folder, "--export-format", "gltf",
                           "--marker-diameter", "0.3"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    missing = subprocess.run([sys.executable, launcher, photo, "--measure", "--export", os.path.join(work, "none")],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    with open(os.path.join(folder, "s01.gltf")) as f:
        metres = json.load(f)["asset"]["extras"]["markerDiameter"]
    return [done.returncode != 0 and "exit %d: %s" % (done.returncode, done.stderr.decode()),
            "camera" not in json.loads(done.stdout.decode()) and "no result printed",
            sorted(os.listdir(folder)) != ["s01.bin", "s01.gltf"] and "files: %s" % os.listdir(folder),
            abs(metres - 0.3) > 1e-12 and "marker %r" % metres,
            (missing.returncode != 2 or b"does not exist" not in missing.stderr) and "missing folder: %d %r"
            % (missing.returncode, missing.stderr)]


shutil.rmtree(work, ignore_errors=True)
sys.exit(0 if harness.summary("export command") else 1)
