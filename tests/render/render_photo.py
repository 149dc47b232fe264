"""Test photographs with known truth, rendered with Blender's Cycles.

    blender -b --factory-startup --python tests/render/render_photo.py -- SCENES.json OUTDIR [NAME ...]

SCENES.json holds one scene or {"defaults": {...}, "photos": [{...}, ...]};
each photo's keys override the defaults (nested records merge key by key).
For each photo (only the NAMEs given, when any), OUTDIR gets NAME.jpg (or
.png) and NAME.json in the samples' truth format: camera, sun, stick, marker,
image, photometry and image_truth, in the samples' world (y up, +x right and
+z up the page seen from above, azimuths counter-clockwise from +x toward +z).

A scene's keys, all optional (defaults in DEFAULTS below):
  width, height            pixels
  hfov_deg                 field of view along the long side
  camera                   distance, elevation_deg, azimuth_deg, roll_deg,
                           look_at [x, y, z] (world, y up)
  sun                      azimuth_rel_camera_deg, elevation_deg, strength
                           (W/m2), rgb, angle_deg; null for no sun
  sky_rgb                  the uniform world's colour at strength 1
  exposure                 stops, under the "Standard" view transform
  disc                     present, albedo_rgb, shape ("disc", "square",
                           "rectangle"), radius, aspect (rectangle's
                           height over width), centre [x, z]
  extra_discs              list of {centre [x, z], radius}: more white discs
  stick                    present, height, radius
  ground                   albedo_rgb, pattern ("plain", "tiles", "noise")
  props                    list of {kind "box"|"sphere", at [x, y, z], size,
                           albedo_rgb}
  samples                  Cycles samples per pixel
  format, jpeg_quality     "jpg" or "png"
  exif                     {tag: value} written with exiftool when it exists
  category, expect         copied into the truth, for the test scripts
"""
import copy
import json
import math
import os
import shutil
import subprocess
import sys

import bmesh
import bpy
from mathutils import Matrix, Vector

DEFAULTS = {
    "width": 1024, "height": 768,
    "hfov_deg": 2.0 * math.degrees(math.atan(160.0 / 375.0)),  # the tool's own classic lens
    "camera": {"distance": 15.0, "elevation_deg": 30.0, "azimuth_deg": 200.0, "roll_deg": 0.0,
               "look_at": [0.0, 0.0, 0.0]},
    "sun": {"azimuth_rel_camera_deg": 110.0, "elevation_deg": 35.0, "strength": 4.0,
            "rgb": [1.0, 0.95, 0.88], "angle_deg": 0.53},
    "sky_rgb": [0.10, 0.12, 0.16],
    "exposure": 0.0,
    "disc": {"present": True, "albedo_rgb": [0.8, 0.8, 0.8], "shape": "disc", "radius": 3.0,
             "aspect": 0.6, "centre": [0.0, 0.0]},
    "extra_discs": [],
    "stick": {"present": True, "height": 1.5, "radius": 0.06},
    "ground": {"albedo_rgb": [0.18, 0.15, 0.12], "pattern": "noise"},
    "props": [],
    "samples": 64,
    "format": "jpg", "jpeg_quality": 92,
    "exif": {},
    "category": "success",
}

DISC_TOP = 0.01        # scene units, the disc's top above the ground
DISC_SEGMENTS = 512    # sides of the disc's polygon: under 0.01 px from a circle at these sizes
STICK_SEGMENTS = 32
GROUND_SIZE = 400.0    # scene units, the ground plane's side
DISC_SPECULAR = 0.3    # Principled BSDF, as the photometric samples
DISC_ROUGHNESS = 0.7


def merged(base, over):
    out = copy.deepcopy(base)
    for k, v in over.items():
        if isinstance(v, dict) and isinstance(out.get(k), dict):
            out[k] = merged(out[k], v)
        else:
            out[k] = copy.deepcopy(v)
    return out


def to_blender(v):
    """The samples' y-up world into Blender's z-up one, keeping handedness:
    (x, y, z) -> (x, -z, y)."""
    return Vector((v[0], -v[2], v[1]))


def unit(v):
    n = math.sqrt(sum(c * c for c in v))
    return [c / n for c in v]


def cross(a, b):
    return [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]]


def dot(a, b):
    return sum(x * y for x, y in zip(a, b))


def camera_frame(cam):
    """Position, forward, right and up of the camera in the samples' world.
    Unrolled, right is the horizontal right of the viewing direction and up =
    forward x right; a positive roll turns the camera counter-clockwise as its
    own viewer sees it, which turns the picture clockwise on screen."""
    e, a = math.radians(cam["elevation_deg"]), math.radians(cam["azimuth_deg"])
    look = cam["look_at"]
    position = [look[0] + cam["distance"] * math.cos(e) * math.cos(a),
                look[1] + cam["distance"] * math.sin(e),
                look[2] + cam["distance"] * math.cos(e) * math.sin(a)]
    forward = unit([look[i] - position[i] for i in range(3)])
    fh = unit([forward[0], 0.0, forward[2]])
    right0 = [fh[2], 0.0, -fh[0]]
    up0 = cross(forward, right0)
    r = math.radians(cam["roll_deg"])
    right = [math.cos(r) * right0[i] + math.sin(r) * up0[i] for i in range(3)]
    up = [-math.sin(r) * right0[i] + math.cos(r) * up0[i] for i in range(3)]
    return position, forward, right, up


def sun_direction(scene_cam_azimuth_deg, sun):
    """Toward the sun: its bearing is measured from the disc -> camera
    direction, counter-clockwise seen from above."""
    az = math.radians(scene_cam_azimuth_deg + sun["azimuth_rel_camera_deg"])
    el = math.radians(sun["elevation_deg"])
    return [math.cos(el) * math.cos(az), math.sin(el), math.cos(el) * math.sin(az)]


def material(name, rgb, specular=0.5, roughness=0.9, pattern=None):
    mat = bpy.data.materials.new(name)
    mat.use_nodes = True
    bsdf = mat.node_tree.nodes["Principled BSDF"]
    bsdf.inputs["Base Color"].default_value = (rgb[0], rgb[1], rgb[2], 1.0)
    bsdf.inputs["Specular"].default_value = specular
    bsdf.inputs["Roughness"].default_value = roughness
    if pattern in ("tiles", "noise"):
        # A ground with texture: the base colour times a pattern around 1, so
        # the mean albedo stays the given one; tiles add bright grout lines.
        nodes, links = mat.node_tree.nodes, mat.node_tree.links
        mix = nodes.new("ShaderNodeMixRGB")
        mix.blend_type = "MULTIPLY"
        mix.inputs["Fac"].default_value = 1.0
        mix.inputs["Color1"].default_value = (rgb[0], rgb[1], rgb[2], 1.0)
        coords = nodes.new("ShaderNodeTexCoord")  # object space: the pattern's size in scene units
        if pattern == "tiles":
            tex = nodes.new("ShaderNodeTexBrick")
            tex.inputs["Color1"].default_value = (0.8, 0.8, 0.8, 1.0)
            tex.inputs["Color2"].default_value = (1.2, 1.15, 1.1, 1.0)
            tex.inputs["Mortar"].default_value = (4.0, 4.0, 4.0, 1.0)
            tex.inputs["Scale"].default_value = 0.5
            tex.inputs["Mortar Size"].default_value = 0.03
            links.new(coords.outputs["Object"], tex.inputs["Vector"])
        else:
            tex = nodes.new("ShaderNodeTexNoise")
            tex.inputs["Scale"].default_value = 0.4
            tex.inputs["Detail"].default_value = 8.0
            links.new(coords.outputs["Object"], tex.inputs["Vector"])
            ramp = nodes.new("ShaderNodeValToRGB")
            ramp.color_ramp.elements[0].color = (0.6, 0.6, 0.6, 1.0)
            ramp.color_ramp.elements[1].color = (1.4, 1.4, 1.4, 1.0)
            links.new(tex.outputs["Fac"], ramp.inputs["Fac"])
            tex = ramp
        links.new(tex.outputs["Color"], mix.inputs["Color2"])
        links.new(mix.outputs["Color"], bsdf.inputs["Base Color"])
    return mat


def mesh_object(name, build, mat, location=(0.0, 0.0, 0.0)):
    bm = bmesh.new()
    build(bm)
    mesh = bpy.data.meshes.new(name)
    bm.to_mesh(mesh)
    bm.free()
    mesh.materials.append(mat)
    obj = bpy.data.objects.new(name, mesh)
    obj.location = location
    bpy.context.scene.collection.objects.link(obj)
    return obj


def add_disc(name, centre, radius, mat, shape="disc", aspect=1.0):
    """A flat white card on the ground, its top at DISC_TOP."""
    where = to_blender([centre[0], DISC_TOP / 2.0, centre[1]])
    if shape == "disc":
        build = lambda bm: bmesh.ops.create_cone(bm, cap_ends=True, segments=DISC_SEGMENTS,
                                                 radius1=radius, radius2=radius, depth=DISC_TOP)
        return mesh_object(name, build, mat, where)
    obj = mesh_object(name, lambda bm: bmesh.ops.create_cube(bm, size=1.0), mat, where)
    side = 2.0 * radius
    obj.scale = (side, side * (aspect if shape == "rectangle" else 1.0), DISC_TOP)
    return obj


def build_scene(p):
    bpy.ops.wm.read_factory_settings(use_empty=True)
    scene = bpy.context.scene
    scene.render.engine = "CYCLES"
    scene.cycles.device = "CPU"
    scene.cycles.samples = p["samples"]
    scene.cycles.use_denoising = False
    scene.render.resolution_x, scene.render.resolution_y = p["width"], p["height"]
    scene.render.resolution_percentage = 100
    scene.view_settings.view_transform = "Standard"
    scene.view_settings.look = "None"
    scene.view_settings.exposure = p["exposure"]
    scene.view_settings.gamma = 1.0

    world = bpy.data.worlds.new("sky")
    world.use_nodes = True
    bg = world.node_tree.nodes["Background"]
    bg.inputs["Color"].default_value = tuple(p["sky_rgb"]) + (1.0,)
    bg.inputs["Strength"].default_value = 1.0
    scene.world = world

    g = p["ground"]
    mesh_object("ground", lambda bm: bmesh.ops.create_grid(bm, x_segments=1, y_segments=1, size=GROUND_SIZE / 2.0),
                material("ground", g["albedo_rgb"], pattern=g["pattern"]))
    d = p["disc"]
    white = material("disc", d["albedo_rgb"], specular=DISC_SPECULAR, roughness=DISC_ROUGHNESS)
    if d["present"]:
        add_disc("disc", d["centre"], d["radius"], white, d["shape"], d["aspect"])
    for i, extra in enumerate(p["extra_discs"]):
        add_disc("disc%d" % i, extra["centre"], extra.get("radius", 3.0), white)
    s = p["stick"]
    if s["present"]:
        c = d["centre"]
        mesh_object("stick", lambda bm: bmesh.ops.create_cone(bm, cap_ends=True, segments=STICK_SEGMENTS,
                                                              radius1=s["radius"], radius2=s["radius"],
                                                              depth=s["height"]),
                    material("stick", [0.04, 0.035, 0.03]), to_blender([c[0], s["height"] / 2.0, c[1]]))
    for i, prop in enumerate(p["props"]):
        mat = material("prop%d" % i, prop.get("albedo_rgb", [0.7, 0.7, 0.7]))
        size = prop.get("size", 1.0)
        if prop.get("kind", "box") == "sphere":
            build = lambda bm, r=size / 2.0: bmesh.ops.create_uvsphere(bm, u_segments=48, v_segments=24, radius=r)
        else:
            build = lambda bm, z=size: bmesh.ops.create_cube(bm, size=z)
        mesh_object("prop%d" % i, build, mat, to_blender(prop["at"]))

    position, forward, right, up = camera_frame(p["camera"])
    cam_data = bpy.data.cameras.new("camera")
    cam_data.sensor_fit = "AUTO"
    cam_data.angle = math.radians(p["hfov_deg"])
    cam_data.clip_start, cam_data.clip_end = 0.05, 2.0 * GROUND_SIZE
    cam = bpy.data.objects.new("camera", cam_data)
    # Blender's camera looks down its local -Z with +Y up.
    rot = Matrix((to_blender(right), to_blender(up), -to_blender(forward))).transposed()
    cam.matrix_world = Matrix.Translation(to_blender(position)) @ rot.to_4x4()
    scene.collection.objects.link(cam)
    scene.camera = cam

    sun_dir = None
    if p["sun"]:
        sun_dir = sun_direction(p["camera"]["azimuth_deg"], p["sun"])
        light = bpy.data.lights.new("sun", "SUN")
        light.energy = p["sun"]["strength"]
        light.color = p["sun"]["rgb"]
        light.angle = math.radians(p["sun"]["angle_deg"])
        sun = bpy.data.objects.new("sun", light)
        sun.rotation_euler = to_blender(sun_dir).to_track_quat("Z", "Y").to_euler()
        scene.collection.objects.link(sun)
    return (position, forward, right, up), sun_dir


def project(p, frame, point):
    """Source pixels of a world point: pinhole, principal point at the centre."""
    position, forward, right, up = frame
    f = 0.5 * max(p["width"], p["height"]) / math.tan(math.radians(p["hfov_deg"]) / 2.0)
    d = [point[i] - position[i] for i in range(3)]
    z = dot(d, forward)
    return [p["width"] / 2.0 + f * dot(d, right) / z, p["height"] / 2.0 - f * dot(d, up) / z]


def disc_ellipse(p, frame):
    """The rim's exact image: the circle's conic through the plane's homography,
    C' = H^-T C H^-1, in source pixels, as centre, semi-axes a >= b and angle."""
    position, forward, right, up = frame
    f = 0.5 * max(p["width"], p["height"]) / math.tan(math.radians(p["hfov_deg"]) / 2.0)
    cx0, cz0 = p["disc"]["centre"]
    r = p["disc"]["radius"]
    origin = [cx0, DISC_TOP, cz0]

    def cam(v, point):
        d = v if not point else [v[i] - position[i] for i in range(3)]
        return [f * dot(d, right) + p["width"] / 2.0 * dot(d, forward),
                -f * dot(d, up) + p["height"] / 2.0 * dot(d, forward), dot(d, forward)]
    H = Matrix((cam([1.0, 0.0, 0.0], False), cam([0.0, 0.0, 1.0], False), cam(origin, True))).transposed()
    Hi = H.inverted()
    C = Hi.transposed() @ Matrix(((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, -r * r))) @ Hi
    A, B, Cc, D, E, F = C[0][0], 2.0 * C[0][1], C[1][1], 2.0 * C[0][2], 2.0 * C[1][2], C[2][2]
    den = B * B - 4.0 * A * Cc
    x0 = (2.0 * Cc * D - B * E) / den
    y0 = (2.0 * A * E - B * D) / den
    F0 = A * x0 * x0 + B * x0 * y0 + Cc * y0 * y0 + D * x0 + E * y0 + F
    root = math.sqrt((A - Cc) ** 2 + B * B)
    l1, l2 = (A + Cc + root) / 2.0, (A + Cc - root) / 2.0
    a, b = math.sqrt(-F0 / l2), math.sqrt(-F0 / l1)
    angle = 0.5 * math.atan2(B, A - Cc) + math.pi / 2.0  # the major axis, along the smaller eigenvalue
    angle = math.atan2(math.sin(angle), math.cos(angle))
    if angle < 0.0:
        angle += math.pi
    if angle >= math.pi:
        angle -= math.pi
    return {"cx": x0, "cy": y0, "a": a, "b": b, "angle": angle}


def truth(p, name, filename, frame, sun_dir):
    position, forward, right, up = frame
    long_side = max(p["width"], p["height"])
    f = 0.5 * long_side / math.tan(math.radians(p["hfov_deg"]) / 2.0)
    out = {"file": filename, "scene_id": name, "variant": "cycles", "category": p["category"],
           "image": {"width": p["width"], "height": p["height"]},
           "camera": {"position": position, "forward": forward, "right": right, "up": up,
                      "elevation_deg": p["camera"]["elevation_deg"], "azimuth_deg": p["camera"]["azimuth_deg"],
                      "distance": p["camera"]["distance"], "roll_deg": p["camera"]["roll_deg"],
                      "look_at": p["camera"]["look_at"],
                      "focal_length_px": f, "hfov_deg": p["hfov_deg"],
                      "vfov_deg": 2.0 * math.degrees(math.atan(min(p["width"], p["height"]) / 2.0 / f)),
                      "barrel_distortion": 0},
           "stick": p["stick"], "marker": {"radius": p["disc"]["radius"], "top_height": DISC_TOP,
                                           "shape": p["disc"]["shape"], "present": p["disc"]["present"]},
           "ground": p["ground"]["pattern"], "exif": p["exif"], "scene": p}
    if "expect" in p:
        out["expect"] = p["expect"]
    centre = [p["disc"]["centre"][0], DISC_TOP, p["disc"]["centre"][1]]
    it = {"disc_centre_px": project(p, frame, centre)}
    if p["disc"]["present"] and p["disc"]["shape"] == "disc":
        it["ellipse_px"] = disc_ellipse(p, frame)
    if p["stick"]["present"]:
        top = [centre[0], p["stick"]["height"], centre[2]]
        it["stick_top_px"] = project(p, frame, top)
    if sun_dir:
        sun = p["sun"]
        out["sun"] = {"azimuth_rel_camera_deg": sun["azimuth_rel_camera_deg"], "elevation_deg": sun["elevation_deg"],
                      "direction_to_sun": sun_dir, "angular_diameter_deg": sun["angle_deg"]}
        if p["stick"]["present"]:
            # The stick's top casts its shadow where the ray toward the sun
            # from the shadow's tip passes the top: tip = top - h / s_y * s.
            h = p["stick"]["height"] - DISC_TOP
            tip = [centre[i] - h / sun_dir[1] * sun_dir[i] for i in range(3)]
            tip[1] = DISC_TOP
            it["shadow_tip_px"] = project(p, frame, tip)
            reach = math.hypot(tip[0] - centre[0], tip[2] - centre[2])
            out["shadow"] = {"crosses_rim": reach > p["disc"]["radius"], "length": reach}
        # Diffuse light on a horizontal surface: sun S c sin(e) + sky pi C, the
        # shadow keeping only the sky's.
        sin_e = sun_dir[1]
        sky = p["sky_rgb"]
        sunc = [sun["strength"] * c for c in sun["rgb"]]
        scale = 2.0 ** p["exposure"]
        rho = p["disc"]["albedo_rgb"]
        out["photometry"] = {
            "sun_strength": sun["strength"], "sun_rgb": sun["rgb"], "sky_rgb": sky, "exposure": p["exposure"],
            "disc_albedo_rgb": rho,
            "shadow_ratio_rgb": [math.pi * sky[i] / (sunc[i] * sin_e + math.pi * sky[i]) for i in range(3)],
            "lit_disc_diffuse_linear_rgb": [rho[i] * (sunc[i] * sin_e / math.pi + sky[i]) * scale for i in range(3)],
            "shadowed_disc_diffuse_linear_rgb": [rho[i] * sky[i] * scale for i in range(3)],
            "sun_angle_deg": sun["angle_deg"],
            "disc_material": "Principled BSDF, specular %.1f, roughness %.1f" % (DISC_SPECULAR, DISC_ROUGHNESS)}
    out["image_truth"] = it
    return out


def write_exif(path, tags):
    tool = shutil.which("exiftool")
    if not tags:
        return
    if not tool:
        raise SystemExit("exiftool is needed to tag %s (apt-get install -y libimage-exiftool-perl)" % path)
    args = [tool, "-q", "-overwrite_original"] + ["-%s=%s" % (k, v) for k, v in tags.items()] + [path]
    subprocess.run(args, check=True)


def render(p, name, outdir):
    frame, sun_dir = build_scene(p)
    scene = bpy.context.scene
    ext = "jpg" if p["format"] == "jpg" else "png"
    path = os.path.join(outdir, "%s.%s" % (name, ext))
    scene.render.image_settings.file_format = "JPEG" if ext == "jpg" else "PNG"
    scene.render.image_settings.color_mode = "RGB"
    if ext == "jpg":
        scene.render.image_settings.quality = p["jpeg_quality"]
    else:
        scene.render.image_settings.color_depth = "8"
    scene.render.filepath = path
    bpy.ops.render.render(write_still=True)
    write_exif(path, p["exif"])
    with open(os.path.join(outdir, name + ".json"), "w") as f:
        json.dump(truth(p, name, os.path.basename(path), frame, sun_dir), f, indent=1)
    print("rendered %s" % path)


def main():
    args = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
    if len(args) < 2:
        raise SystemExit(__doc__)
    with open(args[0]) as f:
        scenes = json.load(f)
    outdir, only = args[1], set(args[2:])
    os.makedirs(outdir, exist_ok=True)
    defaults = merged(DEFAULTS, scenes.get("defaults", {}))
    photos = scenes["photos"] if "photos" in scenes else [dict(scenes, name=scenes.get("name", "photo"))]
    for photo in photos:
        name = photo["name"]
        if only and name not in only:
            continue
        render(merged(defaults, {k: v for k, v in photo.items() if k != "name"}), name, outdir)


main()
