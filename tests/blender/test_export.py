"""The command's glTF and USDA read back against the add-on's scene for the same
result: blender -b --factory-startup --python tests/blender/test_export.py
The glTF through Blender's own importer, the USDA through the tests' strict
reader (Debian's Blender has no USD). One line per case, then
"blender export: N passed, N failed"."""
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile

import bpy
import numpy
from mathutils import Matrix, Vector

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
SAMPLES = os.path.join(TOP, "tests", "data", "samples")
COMMAND = os.environ.get("QUILLMARSH_MEASURE", os.path.join(TOP, "build", "native", "quillmarsh-measure"))
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
sys.path.insert(0, os.path.join(TOP, "tests", "export"))
sys.path.insert(0, os.path.join(TOP, "blender"))
import harness  # noqa: E402
import quillmarsh  # noqa: E402
import usda_reader  # noqa: E402
from blender_checks import compare_disc, fresh_scene, rendered_rgba, sample  # noqa: E402
from harness import case  # noqa: E402
from quillmarsh import scene as qm_scene  # noqa: E402
from quillmarsh import ui  # noqa: E402
from quillmarsh.result import make_plan, marker_scale, read_result  # noqa: E402

# Blender 3.4's glTF importer still says numpy.bool, which numpy 1.24 removed.
numpy.bool = bool

MATRIX_TOLERANCE = 1e-4      # of the camera's distance from the marker (the scene's size)
ANGLE_TOLERANCE_DEG = 0.01
DISC_IOU = 0.99              # the disc rendered through the imported camera against the photo's
RENDER_SAMPLES = 4
Y_UP_TO_Z_UP = Matrix(((1, 0, 0, 0), (0, 0, -1, 0), (0, 1, 0, 0), (0, 0, 0, 1)))   # (x, y, z) -> (x, -z, y)
work = tempfile.mkdtemp(prefix="qm-blender-export-")


def measured(name, diameter):
    """The command's record and the stem of its exported files."""
    folder = os.path.join(work, name)
    os.makedirs(folder, exist_ok=True)
    command = [COMMAND, "--json", "--jobs", "1", "--export", folder]
    if diameter is not None:
        command += ["--marker-diameter", str(diameter)]
    photo = os.path.join(SAMPLES, sample(name)["file"])
    done = subprocess.run(command + [photo], stdout=subprocess.PIPE, check=True)
    record = json.loads(done.stdout.decode().splitlines()[-1])
    return record, os.path.join(folder, os.path.splitext(sample(name)["file"])[0]), photo


def addon_scene(record, photo, diameter):
    """The add-on's camera matrix, field of view (long side) and sun direction
    for the launcher's JSON of this record."""
    result = {key: value for key, value in record.items() if key not in ("file", "code", "error")}
    plan = make_plan(read_result(json.dumps(result)))
    scene = fresh_scene()
    qm_scene.apply_match(scene, photo, plan, marker_scale(6.0 if diameter is None else diameter))
    suns = [o for o in scene.objects if o.type == "LIGHT"]
    toward = suns[0].matrix_world.to_3x3().col[2].normalized() if suns else None
    light = (suns[0].data.energy, tuple(suns[0].data.color)) if suns else None
    return scene.camera.matrix_world.copy(), math.degrees(scene.camera.data.angle), toward, light


def long_side_fov(camera, width, height):
    """Degrees along the long side of a camera the importer made (vertical fit)."""
    data = camera.data
    if data.sensor_fit != "VERTICAL":
        raise ValueError("the importer's camera fits %s" % data.sensor_fit)
    if height >= width:
        return math.degrees(data.angle_y)
    return math.degrees(2.0 * math.atan(math.tan(0.5 * data.angle_y) * width / height))


def matrix_gap(a, b, reach):
    """Largest difference of two placements, translations as a share of reach."""
    return max(abs(a[i][j] - b[i][j]) / (reach if j == 3 else 1.0) for i in range(4) for j in range(4))


def turn(a, b):
    return math.degrees(a.angle(b)) if a.length and b.length else 180.0


def render_disc(scene, camera, size):
    """The imported disc alone through the imported camera at the photo's size:
    (width, height, RGBA rows top first)."""
    for obj in scene.objects:
        obj.hide_render = obj.type == "MESH" and "disc" not in obj.name
    scene.camera = camera
    render = scene.render
    render.engine = "CYCLES"
    scene.cycles.samples = RENDER_SAMPLES
    scene.cycles.use_denoising = False
    render.resolution_x, render.resolution_y = size
    render.resolution_percentage = 100
    render.film_transparent = True
    render.image_settings.color_mode = "RGBA"
    return rendered_rgba(scene, os.path.join(work, "disc.png"))


def round_trip(name, diameter=None):
    data = sample(name)
    size = (data["image"]["width"], data["image"]["height"])
    record, stem, photo = measured(name, diameter)
    addon_matrix, addon_fov, addon_toward, addon_light = addon_scene(record, photo, diameter)
    reach = addon_matrix.translation.length
    problems = []

    scene = fresh_scene()
    bpy.ops.import_scene.gltf(filepath=stem + ".gltf")
    camera = next(o for o in scene.objects if o.type == "CAMERA")
    suns = [o for o in scene.objects if o.type == "LIGHT"]
    gltf_gap = matrix_gap(camera.matrix_world, addon_matrix, reach)
    fov = long_side_fov(camera, *size)
    problems += [gltf_gap > MATRIX_TOLERANCE and "glTF camera off the add-on's by %.2g" % gltf_gap,
                 abs(fov - addon_fov) > ANGLE_TOLERANCE_DEG and "glTF fov %.4f, add-on %.4f" % (fov, addon_fov)]
    if addon_toward is None:
        problems.append(suns and "a sun in the glTF without a measured light")
    else:
        toward = suns[0].matrix_world.to_3x3().col[2]
        problems += [turn(toward, addon_toward) > ANGLE_TOLERANCE_DEG and "glTF sun %.4f deg off"
                     % turn(toward, addon_toward),
                     abs(suns[0].data.energy - addon_light[0]) > 1e-6 * addon_light[0]
                     and "sun strength %.6f, add-on %.6f" % (suns[0].data.energy, addon_light[0]),
                     max(abs(a - b) for a, b in zip(suns[0].data.color, addon_light[1])) > 1e-6
                     and "sun colour %s, add-on %s" % (tuple(suns[0].data.color), addon_light[1])]

    with open(stem + ".usda", encoding="utf-8") as f:
        prims = usda_reader.world_prims(usda_reader.read(f.read()))
    (usd_camera, usd_matrix), = prims["Camera"]
    usd_z_up = Y_UP_TO_Z_UP @ Matrix(usd_matrix)   # metres, Z up, as Blender's scene
    usd_gap = matrix_gap(usd_z_up, addon_matrix, reach)
    usd_fov = usda_reader.camera_fov(usd_camera, *size)
    problems += [usd_gap > MATRIX_TOLERANCE and "USD camera off the add-on's by %.2g" % usd_gap,
                 abs(usd_fov - addon_fov) > ANGLE_TOLERANCE_DEG and "USD fov %.4f, add-on %.4f" % (usd_fov, addon_fov)]
    if addon_toward is not None:
        (_, usd_sun), = prims["DistantLight"]
        toward = (Y_UP_TO_Z_UP @ Matrix(usd_sun)).to_3x3().col[2]
        problems.append(turn(toward, addon_toward) > ANGLE_TOLERANCE_DEG and "USD sun %.4f deg off"
                        % turn(toward, addon_toward))

    iou, _ = compare_disc(render_disc(scene, camera, size), size, data["image_truth"]["ellipse_px"], (0.0, 0.0))
    print("  %s: %s estimate; off the add-on's camera: glTF %.1g, USD %.1g; fov glTF %+.5f, USD %+.5f deg; "
          "disc IoU %.4f" % (name, json.loads(open(stem + ".gltf").read())["asset"]["extras"]["estimate"], gltf_gap,
                             usd_gap, fov - addon_fov, usd_fov - addon_fov, iou))
    return problems + [iou < DISC_IOU and "disc IoU %.4f" % iou]


# s01 level, s27 portrait, s07 rolled (in metres), v02 another lens and rolled
for _name, _diameter in (("s01", None), ("s27", None), ("s07", 0.3), ("v02", None)):
    @case("round trip %s%s: Blender's glTF import and the USDA against the add-on's scene"
          % (_name, "" if _diameter is None else ", marker %g m" % _diameter))
    def _round_trip(name=_name, diameter=_diameter):
        return round_trip(name, diameter)


@case("File > Export > Quillmarsh match writes the matched photo's scene; without a match it refuses")
def _operator():
    record, _, photo = measured("s07", 0.3)
    folder = os.path.join(work, "operator")
    os.makedirs(folder)
    os.environ["QUILLMARSH_MEASURE"] = COMMAND
    quillmarsh.register()
    try:
        scene = fresh_scene()
        try:
            bpy.ops.export_scene.quillmarsh_match(directory=folder)
            problems = ["exported without a matched camera"]
        except RuntimeError as error:
            problems = ["poll()" not in str(error) and "not matched" not in str(error) and "refusal: %s" % error]
        addon_matrix = addon_scene(record, photo, 0.3)[0]
        camera = bpy.context.scene.camera
        ui.remember_match(camera, record["threshold"], 0.3 / 6.0)
        bpy.ops.export_scene.quillmarsh_match(directory=folder, formats="gltf")
        # the warning's test: the match itself is in place, a camera moved since is not
        numbers = make_plan(read_result(json.dumps({k: v for k, v in record.items() if k != "file"})))["camera"]
        problems.append(ui._camera_moved(camera, numbers, 0.05) and "the matched camera taken for moved")
        camera.location.x += 0.01
        bpy.context.view_layer.update()
        problems.append(not ui._camera_moved(camera, numbers, 0.05) and "a moved camera taken for the match")
    finally:
        quillmarsh.unregister()
    with open(os.path.join(folder, "s07.gltf")) as f:
        node = next(n for n in json.load(f)["nodes"] if "camera" in n)
    m = node["matrix"]
    exported = Y_UP_TO_Z_UP @ Matrix([[m[4 * j + i] for j in range(4)] for i in range(4)])
    gap = matrix_gap(exported, addon_matrix, addon_matrix.translation.length)
    return problems + [sorted(os.listdir(folder)) != ["s07.bin", "s07.gltf"] and "files %s" % os.listdir(folder),
                       gap > MATRIX_TOLERANCE and "exported camera off the add-on's by %.2g" % gap]


shutil.rmtree(work, ignore_errors=True)
harness.summary("blender export")
