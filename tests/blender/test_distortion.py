"""The matched scene of a distorted photo in real Blender: the reference
disc's CG outline, rendered through the photo's lens, against the photo's own
disc near its corners.

    blender -b --factory-startup --python tests/blender/test_distortion.py

For each photo of tests/data/renders/distortion named below, the measurement
command gives the result (it needs build/native/quillmarsh-measure); the add-on
matches it; the disc alone is rendered (Workbench, flat white on black, the
photo swapped for black) through the compositor; along rays from the disc's
centre to the far half of its rim (the near half shows the side wall, which
the reference disc lacks) the outline's mid-level crossing in linear light
is found on the render and on the photo. The largest miss, in pixels at 1600 px along the long side, must be
at most 1; without the distortion (same camera) it is printed for comparison.
One line per case, then "blender distortion: N passed, N failed".
"""
import json
import math
import os
import subprocess
import sys

import bpy

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
DISTORTED = os.path.join(TOP, "tests", "data", "renders", "distortion")
sys.path.insert(0, os.path.join(TOP, "tests", "support"))
sys.path.insert(0, os.path.join(TOP, "blender"))
import harness  # noqa: E402
from blender_checks import fresh_scene, rendered_rgba  # noqa: E402
from harness import case  # noqa: E402
from quillmarsh import scene as qm_scene  # noqa: E402
from quillmarsh.result import make_plan, marker_scale, read_result  # noqa: E402

GOAL_PX = 1.0            # photo pixels at REFERENCE_LONG_SIDE
REFERENCE_LONG_SIDE = 1600.0
RAYS = 180
STEP = 0.25              # pixels along a ray
FAR_HALF_SINE = 0.2      # rays whose sine (y down) is below minus this run to the rim's far half
LEVEL_REACH = 6.0        # pixels either side of a crossing where its two levels are read
INNER_SHARE = 0.5        # of the ellipse's minor semi-axis: where a ray's walk starts
work = os.path.join(os.environ.get("TMPDIR", "/tmp"), "qm-blender-distortion")
os.makedirs(work, exist_ok=True)


def linear(code):
    """Linear light of an sRGB-encoded value: edges are found in linear light,
    where a pixel's share of the disc is its share of the light, on the
    render's white-on-black as on the photo's grey-on-brown alike."""
    return code / 12.92 if code <= 0.04045 else ((code + 0.055) / 1.055) ** 2.4


def grey_rows(width, height, rows):
    return [[linear(sum(row[4 * x:4 * x + 3]) / 3.0) for x in range(width)] for row in rows]


def photo_rows(path):
    image = bpy.data.images.load(path)
    (width, height), flat = image.size, image.pixels[:]
    bpy.data.images.remove(image)
    rows = [flat[(height - 1 - y) * width * 4:(height - y) * width * 4] for y in range(height)]
    return grey_rows(width, height, rows)


def bilinear(grey, x, y):
    """Grey at (x, y), pixel centres at i + 0.5; None outside."""
    fx, fy = x - 0.5, y - 0.5
    ix, iy = int(math.floor(fx)), int(math.floor(fy))
    if ix < 0 or iy < 0 or iy + 1 >= len(grey) or ix + 1 >= len(grey[0]):
        return None
    tx, ty = fx - ix, fy - iy
    top = grey[iy][ix] * (1 - tx) + grey[iy][ix + 1] * tx
    bottom = grey[iy + 1][ix] * (1 - tx) + grey[iy + 1][ix + 1] * tx
    return top * (1 - ty) + bottom * ty


def outline_radius(grey, centre, angle, start, reach, offset=(0.0, 0.0)):
    """The first fall through the mid-level between the disc and what lies
    beyond, walking out along the ray; the mid-level is read again around
    the crossing. None when the ray meets a shadow on the disc first (its
    level drops below the mid-level before the rim's fall) or leaves the picture."""
    dx, dy = math.cos(angle), math.sin(angle)

    def at(r):
        return bilinear(grey, centre[0] + offset[0] + r * dx, centre[1] + offset[1] + r * dy)

    profile = []
    r = start
    while r <= reach:
        g = at(r)
        if g is None:
            return None
        profile.append((r, g))
        r += STEP
    inner, outer = profile[0][1], profile[-1][1]
    mid = 0.5 * (inner + outer)
    for i in range(1, len(profile)):
        if profile[i][1] < mid <= profile[i - 1][1]:
            r0 = profile[i][0]
            lo, hi = at(r0 + LEVEL_REACH), at(r0 - LEVEL_REACH)
            if lo is None or hi is None:
                return None
            # a shadow or the stick darkens the disc before its rim
            if hi < inner - 0.25 * (inner - outer):
                return None
            local = 0.5 * (lo + hi)
            for k in range(max(1, i - int(LEVEL_REACH / STEP)), min(len(profile), i + int(LEVEL_REACH / STEP))):
                (ra, ga), (rb, gb) = profile[k - 1], profile[k]
                if gb < local <= ga:
                    return ra + (ga - local) / (ga - gb) * (rb - ra)
            return None
    return None


def measured_result(photo):
    command = os.path.join(TOP, "build", "native", "quillmarsh-measure")
    done = subprocess.run([command, "--json", photo], capture_output=True, text=True, check=True)
    return done.stdout.splitlines()[-1]


def disc_render(photo, plan):
    """The reference disc alone through the compositor: (grey rows, the
    photo's offset in the render)."""
    scene = fresh_scene()
    qm_scene.apply_match(scene, photo, plan, marker_scale(6.0), ground=False, disc=True)
    disc = bpy.data.objects[qm_scene.DISC_NAME]
    disc.hide_render = False
    for obj in bpy.data.objects:
        if obj.type == "MESH" and obj != disc:
            obj.hide_render = True
    scene.render.engine = "BLENDER_WORKBENCH"
    scene.display.shading.light = "FLAT"
    scene.display.shading.color_type = "SINGLE"
    scene.display.shading.single_color = (1.0, 1.0, 1.0)
    scene.render.film_transparent = True
    photo_node = scene.node_tree.nodes[qm_scene.PHOTO_NODE]
    width, height = photo_node.image.size
    black = bpy.data.images.new("black", width, height)
    black.generated_color = (0.0, 0.0, 0.0, 1.0)
    photo_node.image = black
    w, h, rows = rendered_rgba(scene, os.path.join(work, "disc.png"))
    return grey_rows(w, h, rows), ((w - width) / 2.0, (h - height) / 2.0)


def largest_miss(photo, plan, truth):
    """Largest and median distance between the photo's outline and the CG
    one along the rays both see, photo pixels, and the rays compared."""
    it = truth["image_truth"]
    centre = it["disc_centre_px"]
    ellipse = it["ellipse_px_undistorted"]
    start, reach = INNER_SHARE * ellipse["b"], 1.6 * ellipse["a"]
    seen = photo_rows(photo)
    drawn, offset = disc_render(photo, plan)
    misses = []
    for k in range(RAYS):
        angle = 2.0 * math.pi * k / RAYS
        # The near half of the photo's rim shows the disc's side wall, which
        # the reference disc (its top alone) lacks: the far half is compared.
        if math.sin(angle) > -FAR_HALF_SINE:
            continue
        a = outline_radius(seen, centre, angle, start, reach)
        b = outline_radius(drawn, centre, angle, start, reach, offset)
        if a is not None and b is not None:
            misses.append(abs(a - b))
    misses.sort()
    return (misses[-1], misses[len(misses) // 2], len(misses)) if misses else (float("inf"), float("inf"), 0)


for _name in ("d1", "d2"):
    @case("distorted photo %s: the CG outline on the photo's within %g px at %d px" % (
        _name, GOAL_PX, REFERENCE_LONG_SIDE))
    def _outline(name=_name):
        photo = os.path.join(DISTORTED, name + ".jpg")
        with open(os.path.join(DISTORTED, name + ".json")) as f:
            truth = json.load(f)
        plan = make_plan(read_result(measured_result(photo)))
        if plan.get("distortion") is None:
            return ["the result carries no distortion"]
        to_reference = REFERENCE_LONG_SIDE / max(truth["image"]["width"], truth["image"]["height"])
        worst, middle, rays = largest_miss(photo, plan, truth)
        plain = dict(plan)
        del plain["distortion"]
        plain_worst, plain_middle, _ = largest_miss(photo, plain, truth)
        print("    %s: largest %.3f px, median %.3f px over %d rays at %d px; without distortion %.3f / %.3f px" % (
            name, worst * to_reference, middle * to_reference, rays, REFERENCE_LONG_SIDE,
            plain_worst * to_reference, plain_middle * to_reference))
        return [rays < RAYS // 4 and "only %d rays compared" % rays,
                worst * to_reference > GOAL_PX and "largest miss %.3f px" % (worst * to_reference)]

harness.summary("blender distortion")
