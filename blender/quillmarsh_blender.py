"""Quillmarsh photo match for Blender: turns the launcher's JSON for one
photograph into a matched scene (camera, sun, backdrop, shadow catcher).

As an add-on it adds File > Import > "Quillmarsh photo match". Run headless:

    blender -b --factory-startup --python quillmarsh_blender.py -- PHOTO
        [--result RESULT.json] [--estimate refined|classic] [--marker-diameter D]
        [--no-ground] [--without-dialog] [--threshold N|auto]
        [--save OUT.blend] [--render OUT.png]

With --result it applies that JSON (what Quillmarsh.py printed); without it, it
opens the dialog through the launcher, or, with --without-dialog or where
neither Windows nor Wine is present, measures with the native command
quillmarsh-measure at --threshold (default auto). Exit 0 when the scene was
matched, 2 with one line on standard error when nothing was changed or written.

Without the dialog the add-on shows the command's preview picture (the photo
beside the analysis drawings) in the image editor with the threshold chosen;
the scene changes only when the user accepts it in the editor's Quillmarsh
panel, where another threshold can be tried first.

The frame: the marker's centre is the world origin, the disc lies in the XY
plane and Z is up. The tool's numbers speak of a frame aligned with the camera,
(right, height, backward); in Blender right is +X, height +Z and backward -Y, so
the camera stands at (dollyX, -dollyZ, dollyY) * scale and looks toward +Y when
pitch and roll are 0.
"""

bl_info = {
    "name": "Quillmarsh photo match",
    "author": "Quillmarsh",
    "version": (1, 0, 0),
    "blender": (3, 4, 0),
    "location": "File > Import > Quillmarsh photo match",
    "description": "Camera, sun, backdrop and shadow catcher matched to a photograph of the Quillmarsh marker",
    "category": "Import-Export",
}

import json
import math
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import bpy
from mathutils import Matrix, Vector

# The tool's own lens: a focal length of 375 pixels for 320 pixels of the long
# side, 2 * atan(160 / 375) = 46.2127 degrees along the long side.
CLASSIC_FOV_DEG = math.degrees(2.0 * math.atan(160.0 / 375.0))
NUMBERS_MARKER_DIAMETER = 6.0   # units: the disc the numbers are measured in has radius 3
MARKER_TOP = 0.01               # units: the disc's top above the ground, as in the samples
DISC_SEGMENTS = 128             # vertices of the reference disc's rim
GROUND_HALF_SIDE = 500.0        # units: half the ground plane's side, far past any camera the tool measures
SUN_STRENGTH = 3.0              # W/m^2, bright daylight under the Standard view; a user's own value is kept
RENDER_SAMPLES = 32             # Cycles samples for the headless --render, at most
CLIP_NEAR_FRACTION = 0.001      # of the camera's distance to the marker
CLIP_FAR_FACTOR = 4.0           # times the ground's diagonal reach from the camera

# Limits past which a number can not come from a measurement of the marker.
MAX_DISTANCE = 1.0e5            # units, any one coordinate of the camera
MIN_HEIGHT = 1.0e-3             # units, the camera above the marker plane
YAW_TOLERANCE_DEG = 1.0e-3      # the frame is aligned with the camera: yaw is 0
MIN_FOV_DEG = 1.0               # degrees along the long side
MAX_FOV_DEG = 179.0
MAX_MARKER_DIAMETER = 1.0e4     # units
MAX_PHOTO_SIDE = 65536          # pixels, Blender's largest render resolution
MAX_RESULT_BYTES = 1 << 20      # the launcher's JSON is a few hundred bytes

LIGHT_KEYS = ("xrot", "yrot")
ESTIMATES = ("refined", "classic")

# Custom properties that tie an object to the photo it was matched to.
PHOTO_PROP = "quillmarsh_photo"
ROLE_PROP = "quillmarsh_role"
GROUND_NAME = "Quillmarsh ground"
DISC_NAME = "Quillmarsh reference disc"
PHOTO_NODE = "Quillmarsh photo"
SCALE_NODE = "Quillmarsh photo scale"
OVER_NODE = "Quillmarsh alpha over"

MAX_THRESHOLD = 255             # brightness; the command's thresholds run 0..255
PREVIEW_IMAGE = "Quillmarsh preview"
MEASURE_NAME = "quillmarsh-measure.exe" if os.name == "nt" else "quillmarsh-measure"
PATH_DIALOG = "the dialog"
PATH_COMMAND = "without the dialog"

EXIT_MATCHED = 0
EXIT_FAILED = 2
LAUNCHER_CAMERA_AND_LIGHT = 0
LAUNCHER_CAMERA_ONLY = 1


class MatchError(Exception):
    """A reason to leave the scene as it is; its text is shown to the user."""


# ---------------------------------------------------------------- the photograph

def _png_size(head):
    # signature, then the IHDR chunk: length, type, width, height (big-endian)
    if len(head) < 24 or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


def _jpeg_size(stream):
    # Walk the segments to the first start-of-frame: SOF0..SOF15 except DHT
    # (C4), JPG (C8) and DAC (CC) carry precision, height, width.
    stream.seek(2)
    while True:
        byte = stream.read(1)
        while byte and byte != b"\xff":
            byte = stream.read(1)
        while byte == b"\xff":
            byte = stream.read(1)
        if not byte:
            return None
        marker = byte[0]
        if marker in (0x01, 0xD8) or 0xD0 <= marker <= 0xD7:
            continue
        length_bytes = stream.read(2)
        if len(length_bytes) < 2:
            return None
        length = struct.unpack(">H", length_bytes)[0]
        if length < 2:
            return None
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            frame = stream.read(5)
            if len(frame) < 5:
                return None
            height, width = struct.unpack(">HH", frame[1:5])
            return width, height
        stream.seek(length - 2, os.SEEK_CUR)


def _bmp_size(head):
    if len(head) < 26:
        return None
    if struct.unpack("<I", head[14:18])[0] == 12:    # the old core header has 16-bit sizes
        return struct.unpack("<HH", head[18:22])
    width, height = struct.unpack("<ii", head[18:26])
    return width, abs(height)                        # a negative height runs top-down


def _tiff_size(stream, order):
    stream.seek(4)
    offset = struct.unpack(order + "I", stream.read(4))[0]
    stream.seek(offset)
    count_bytes = stream.read(2)
    if len(count_bytes) < 2:
        return None
    found = {}
    for _ in range(struct.unpack(order + "H", count_bytes)[0]):
        entry = stream.read(12)
        if len(entry) < 12:
            return None
        tag, kind = struct.unpack(order + "HH", entry[:4])
        if tag in (256, 257):                          # ImageWidth, ImageLength: SHORT or LONG
            found[tag] = struct.unpack(order + ("H" if kind == 3 else "I"), entry[8:10] if kind == 3 else entry[8:12])[0]
    if 256 in found and 257 in found:
        return found[256], found[257]
    return None


def photo_size(path):
    """(width, height) in pixels from the photograph's header, for the formats
    Blender reads; raises MatchError with the reason otherwise."""
    if not os.path.isfile(path):
        raise MatchError("no such photograph: %s" % path)
    try:
        with open(path, "rb") as stream:
            head = stream.read(32)
            if head.startswith(b"\x89PNG\r\n\x1a\n"):
                size = _png_size(head)
            elif head.startswith(b"\xff\xd8"):
                size = _jpeg_size(stream)
            elif head.startswith(b"BM"):
                size = _bmp_size(head)
            elif head[:4] in (b"II*\x00", b"MM\x00*"):
                size = _tiff_size(stream, "<" if head[:2] == b"II" else ">")
            elif head.startswith(b"GIF8"):
                raise MatchError("Blender can not read GIF photographs; save %s as PNG first" % os.path.basename(path))
            else:
                raise MatchError("%s is not a PNG, JPEG, BMP or TIFF photograph" % os.path.basename(path))
    except (OSError, struct.error) as error:
        raise MatchError("can not read the photograph %s (%s)" % (path, getattr(error, "strerror", None) or error))
    if size is None or not (1 <= size[0] <= MAX_PHOTO_SIDE and 1 <= size[1] <= MAX_PHOTO_SIDE):
        raise MatchError("the photograph %s has a damaged header" % os.path.basename(path))
    return int(size[0]), int(size[1])


# ---------------------------------------------------------------- the result

def _number(record, key, where, low, high):
    value = record.get(key) if isinstance(record, dict) else None
    if value is None:
        raise MatchError("the result has no %s.%s" % (where, key))
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise MatchError("%s.%s in the result is not a number: %r" % (where, key, value))
    value = float(value)
    if not math.isfinite(value):
        raise MatchError("%s.%s in the result is not finite" % (where, key))
    if not low <= value <= high:
        raise MatchError("%s.%s = %g in the result is out of range [%g, %g]" % (where, key, value, low, high))
    return value


def _camera(record, where):
    if not isinstance(record, dict):
        raise MatchError("the result has no %s record" % where)
    camera = {
        "yaw": _number(record, "yaw", where, -YAW_TOLERANCE_DEG, YAW_TOLERANCE_DEG),
        "pitch": _number(record, "pitch", where, -90.0, 90.0),
        "roll": _number(record, "roll", where, -180.0, 180.0),
        "dollyX": _number(record, "dollyX", where, -MAX_DISTANCE, MAX_DISTANCE),
        # the camera sees the disc from above the ground
        "dollyY": _number(record, "dollyY", where, MIN_HEIGHT, MAX_DISTANCE),
        "dollyZ": _number(record, "dollyZ", where, -MAX_DISTANCE, MAX_DISTANCE),
    }
    return camera


def _light(record, where, keys=LIGHT_KEYS):
    if not isinstance(record, dict):
        raise MatchError("the %s record in the result is not an object" % where)
    # xrot is minus the sun's elevation: the sun stands at or above the horizon
    limits = {"xrot": (-90.0, 0.0), "yrot": (-360.0, 360.0)}
    return {key: _number(record, key, where, *limits[key]) for key in keys}


def read_result(text):
    """The launcher's JSON, checked whole: {"camera", "light" or None, "refined"
    or None}. Raises MatchError naming the first problem."""
    try:
        result = json.loads(text)
    except ValueError as error:
        raise MatchError("the result is not JSON (%s)" % error)
    if not isinstance(result, dict):
        raise MatchError("the result is not a JSON object")
    checked = {"camera": _camera(result.get("camera"), "camera"), "light": None, "refined": None}
    if result.get("light") is not None:
        checked["light"] = _light(result["light"], "light")
    refined = result.get("refined")
    if refined is not None:
        if not isinstance(refined, dict):
            raise MatchError("the refined record in the result is not an object")
        light = refined.get("light")
        keys = ()
        if light is not None:
            # the refined light may carry only its bearing
            keys = LIGHT_KEYS if isinstance(light, dict) and "xrot" in light else ("yrot",)
        checked["refined"] = {
            "camera": _camera(refined.get("camera"), "refined.camera"),
            "light": _light(light, "refined.light", keys) if light is not None else None,
            "fov": _number(refined, "fov", "refined", MIN_FOV_DEG, MAX_FOV_DEG),
        }
    return checked


def read_result_file(path):
    try:
        with open(path, "rb") as stream:
            data = stream.read(MAX_RESULT_BYTES + 1)
    except OSError as error:
        raise MatchError("can not read the result %s (%s)" % (path, error.strerror))
    if len(data) > MAX_RESULT_BYTES:
        raise MatchError("the result %s is too large to be the launcher's JSON" % path)
    try:
        return read_result(data.decode("utf-8"))
    except UnicodeDecodeError:
        raise MatchError("the result %s is not UTF-8 text" % path)


def make_plan(result, estimate=None, strict=False):
    """What to apply: {"estimate", "camera", "light" (None: leave every sun
    alone), "fov", "notes"}. estimate None or "refined" takes the refined record
    when present; strict makes its absence an error (an estimate asked for)."""
    if estimate not in (None,) + ESTIMATES:
        raise MatchError("unknown estimate %r (refined or classic)" % estimate)
    notes = []
    refined = result["refined"]
    if estimate == "classic" or refined is None:
        if estimate == "refined" and strict:
            raise MatchError("the result carries no refined estimate")
        if estimate == "refined":
            notes.append("no refined estimate in the result: the classic numbers are used")
        plan = {"estimate": "classic", "camera": result["camera"], "light": result["light"],
                "fov": CLASSIC_FOV_DEG, "notes": notes}
    else:
        light = result["light"]
        if light is not None:
            if refined["light"] is None:
                notes.append("the light could not be refined: the sun follows the classic light")
            elif "xrot" not in refined["light"]:
                light = {"xrot": light["xrot"], "yrot": refined["light"]["yrot"]}
                notes.append("only the light's bearing was refined: the sun's elevation is the classic one")
            else:
                light = refined["light"]
        plan = {"estimate": "refined", "camera": refined["camera"], "light": light,
                "fov": refined["fov"], "notes": notes}
    if result["light"] is None:
        plan["notes"].append("no shadow was found, so no sun was made or changed")
    return plan


def marker_scale(diameter):
    """Scene units per unit of the numbers: a marker of `diameter` scene units
    against the numbers' own diameter of 6."""
    if isinstance(diameter, bool) or not isinstance(diameter, (int, float)) or not math.isfinite(diameter) \
            or not 0.0 < diameter <= MAX_MARKER_DIAMETER:
        raise MatchError("the marker diameter must be a number above 0 and at most %g" % MAX_MARKER_DIAMETER)
    return float(diameter) / NUMBERS_MARKER_DIAMETER


# ---------------------------------------------------------------- the frame

def camera_position(camera, scale):
    """(right, height, backward) -> Blender (X, Y, Z) = (right, -backward, height)."""
    return Vector((camera["dollyX"], -camera["dollyZ"], camera["dollyY"])) * scale


def camera_rotation(camera):
    """Blender's camera looks down its local -Z with +Y up; Rx(90 deg) turns it to
    look along +Y with +Z up. The optical axis rises by the pitch: Rx(90 + pitch)
    gives the view direction (0, cos pitch, sin pitch). The roll turns the camera
    about its own view axis first: Rz(roll) in camera space, counter-clockwise
    seen from behind the camera, which turns the picture clockwise.
        R = Rx(90 + pitch) . Rz(roll)"""
    return (Matrix.Rotation(math.radians(90.0 + camera["pitch"]), 3, "X")
            @ Matrix.Rotation(math.radians(camera["roll"]), 3, "Z"))


def sun_direction(light):
    """Unit vector toward the sun. Its elevation is e = -xrot; its bearing yrot
    runs from the backward axis (-Y) counter-clockwise seen from above toward
    the right (+X):  (cos e sin yrot, -cos e cos yrot, sin e)."""
    elevation = math.radians(-light["xrot"])
    bearing = math.radians(light["yrot"])
    return Vector((math.cos(elevation) * math.sin(bearing), -math.cos(elevation) * math.cos(bearing),
                   math.sin(elevation)))


# ---------------------------------------------------------------- the scene

def _find_object(kind, role, photo_key=None):
    for obj in bpy.data.objects:
        if obj.type == kind and obj.get(ROLE_PROP) == role and obj.get(PHOTO_PROP) == photo_key:
            return obj
    return None


def _object(scene, kind, role, name, make_data, photo_key=None):
    """The object of this role (and photo), made when missing, linked to the scene."""
    obj = _find_object(kind, role, photo_key)
    if obj is None:
        obj = bpy.data.objects.new(name, make_data(name))
        obj[ROLE_PROP] = role
        if photo_key is not None:
            obj[PHOTO_PROP] = photo_key
    if scene.objects.get(obj.name) is None:
        scene.collection.objects.link(obj)
    return obj


def _set_mesh(obj, vertices, faces):
    mesh = obj.data
    mesh.clear_geometry()
    mesh.from_pydata(vertices, [], faces)
    mesh.update()


def _shadow_catcher(obj):
    # an object property from 3.0 on; before it lived in the Cycles settings
    if "is_shadow_catcher" in obj.bl_rna.properties:
        obj.is_shadow_catcher = True
    else:
        obj.cycles.is_shadow_catcher = True


def _compositor(scene):
    """The compositor's node tree and the node that receives the final picture.
    3.x and 4.x keep the tree on the scene; from 5.0 it is a node group with a
    Group Output."""
    if hasattr(scene, "node_tree") and "use_nodes" in scene.bl_rna.properties:
        scene.use_nodes = True
        tree = scene.node_tree
        output = next((n for n in tree.nodes if n.bl_idname == "CompositorNodeComposite"), None)
        if output is None:
            output = tree.nodes.new("CompositorNodeComposite")
        return tree, output
    tree = scene.compositing_node_group
    if tree is None:
        tree = bpy.data.node_groups.new("Compositor", "CompositorNodeTree")
        scene.compositing_node_group = tree
    if not any(item.in_out == "OUTPUT" for item in tree.interface.items_tree):
        tree.interface.new_socket("Image", in_out="OUTPUT", socket_type="NodeSocketColor")
    output = next((n for n in tree.nodes if n.bl_idname == "NodeGroupOutput"), None)
    if output is None:
        output = tree.nodes.new("NodeGroupOutput")
    return tree, output


def _node(tree, kind, name, location):
    node = tree.nodes.get(name)
    if node is None or node.bl_idname != kind:
        node = tree.nodes.new(kind)
        node.name = name
        node.label = name
        node.location = location
    return node


def _composite_photo(scene, image):
    """Render Layers over the photo: Alpha Over takes the photo, scaled to the
    render size, as its background and the transparent render as foreground."""
    tree, output = _compositor(scene)
    layers = next((n for n in tree.nodes if n.bl_idname == "CompositorNodeRLayers"), None)
    if layers is None:
        layers = tree.nodes.new("CompositorNodeRLayers")
    photo = _node(tree, "CompositorNodeImage", PHOTO_NODE, (-300.0, 400.0))
    photo.image = image
    scale = _node(tree, "CompositorNodeScale", SCALE_NODE, (-50.0, 400.0))
    scale.space = "RENDER_SIZE"
    scale.frame_method = "FIT"
    over = _node(tree, "CompositorNodeAlphaOver", OVER_NODE, (200.0, 300.0))
    links = tree.links
    links.new(photo.outputs[0], scale.inputs[0])
    links.new(scale.outputs[0], over.inputs[1])
    links.new(layers.outputs["Image"], over.inputs[2])
    links.new(over.outputs[0], output.inputs[0])


def _switch_off_missing_denoiser(scene):
    # A Cycles build without OpenImageDenoise fails every render that asks for it.
    try:
        import _cycles
    except ImportError:
        return
    # (Such a build has no name for its default denoiser either, so the
    # setting itself can not be compared.)
    if not getattr(_cycles, "with_openimagedenoise", True):
        scene.cycles.use_denoising = False


def _disc_vertices(radius, height):
    rim = [(radius * math.cos(2.0 * math.pi * i / DISC_SEGMENTS), radius * math.sin(2.0 * math.pi * i / DISC_SEGMENTS),
            height) for i in range(DISC_SEGMENTS)]
    return rim, [tuple(range(DISC_SEGMENTS))]


def photo_key(photo):
    return os.path.normcase(os.path.realpath(photo))


def load_photo(photo, size):
    """Blender's image of the photograph, reloaded from disk when already there."""
    image = None
    for candidate in bpy.data.images:
        if candidate.source == "FILE" and candidate.filepath and \
                photo_key(bpy.path.abspath(candidate.filepath)) == photo_key(photo):
            image = candidate
            image.reload()
            break
    made = image is None
    if made:
        try:
            image = bpy.data.images.load(photo)
        except RuntimeError as error:
            raise MatchError("Blender can not read the photograph %s (%s)" % (photo, error))
    if tuple(image.size) != size:
        if made:
            bpy.data.images.remove(image)
        raise MatchError("Blender reads %s as %d x %d, its header says %d x %d"
                         % (os.path.basename(photo), image.size[0], image.size[1], size[0], size[1]))
    return image


def apply_match(scene, photo, size, plan, scale, ground=True, disc=True):
    """Puts the matched camera (made the scene's camera), the sun when the plan
    has a light, the photo as backdrop and composite, the ground catcher and the
    reference disc into the scene. Everything is checked beforehand (photo_size,
    read_result, make_plan, marker_scale); only Blender failing to read the
    photo stops it, and that happens before anything else changes. Returns the
    report line."""
    image = load_photo(photo, size)
    key = photo_key(photo)
    stem = os.path.splitext(os.path.basename(photo))[0]
    camera = plan["camera"]

    cam = _object(scene, "CAMERA", "camera", stem, lambda name: bpy.data.cameras.new(name), key)
    position = camera_position(camera, scale)
    cam.rotation_mode = "XYZ"
    cam.matrix_world = Matrix.Translation(position) @ camera_rotation(camera).to_4x4()
    data = cam.data
    data.type = "PERSP"
    data.sensor_fit = "AUTO"       # the angle applies to the long side, portrait or landscape
    data.angle = math.radians(plan["fov"])
    data.shift_x = data.shift_y = 0.0   # the principal point is the picture's centre
    distance = position.length
    data.clip_start = CLIP_NEAR_FRACTION * distance
    data.clip_end = CLIP_FAR_FACTOR * (distance + GROUND_HALF_SIDE * scale * math.sqrt(2.0))
    data.show_background_images = True
    slot = next((b for b in data.background_images if b.image == image), None)
    if slot is None:
        slot = data.background_images[0] if len(data.background_images) else data.background_images.new()
    slot.image = image
    slot.alpha = 1.0
    slot.frame_method = "FIT"
    slot.display_depth = "BACK"
    slot.show_background_image = True
    scene.camera = cam

    render = scene.render
    render.resolution_x, render.resolution_y = size
    render.resolution_percentage = 100
    render.pixel_aspect_x = render.pixel_aspect_y = 1.0
    render.film_transparent = True
    scene.view_settings.view_transform = "Standard"
    try:
        scene.view_settings.look = "None"
    except TypeError:
        pass   # a colour configuration without that look has none to undo
    _composite_photo(scene, image)

    if plan["light"] is not None:
        sun = _object(scene, "LIGHT", "sun", stem + " sun", lambda name: _new_sun(name), key)
        sun.rotation_mode = "XYZ"
        # a sun shines along its local -Z from anywhere; it stands toward the sun
        # above the marker, where the viewport shows its direction plainly
        toward = sun_direction(plan["light"])
        sun.matrix_world = Matrix.Translation(toward * (0.5 * distance)) @ \
            toward.to_track_quat("Z", "Y").to_matrix().to_4x4()
        # one photo's sun lights the render at a time: the others are put away
        for other in bpy.data.objects:
            if other.type == "LIGHT" and other.get(ROLE_PROP) == "sun":
                other.hide_render = other.hide_viewport = other != sun

    if ground:
        plane = _object(scene, "MESH", "ground", GROUND_NAME, lambda name: bpy.data.meshes.new(name))
        h = GROUND_HALF_SIDE * scale
        _set_mesh(plane, [(-h, -h, 0.0), (h, -h, 0.0), (h, h, 0.0), (-h, h, 0.0)], [(0, 1, 2, 3)])
        plane.matrix_world = Matrix.Identity(4)
        plane.display_type = "WIRE"    # the photo stays visible behind it in the camera view
        _shadow_catcher(plane)
        render.engine = "CYCLES"       # the shadow catcher is a Cycles feature
    if render.engine == "CYCLES":
        _switch_off_missing_denoiser(scene)

    if disc:
        ring = _object(scene, "MESH", "disc", DISC_NAME, lambda name: bpy.data.meshes.new(name))
        _set_mesh(ring, *_disc_vertices(0.5 * NUMBERS_MARKER_DIAMETER * scale, MARKER_TOP * scale))
        ring.matrix_world = Matrix.Identity(4)
        ring.display_type = "WIRE"
        ring.show_in_front = True
        ring.hide_render = True

    # Selection lives in the view layer: only objects in it can be selected.
    layer = bpy.context.view_layer
    if scene == bpy.context.scene and layer.objects.get(cam.name) is not None:
        for obj in layer.objects:
            obj.select_set(obj == cam)
        layer.objects.active = cam

    what = "camera and sun" if plan["light"] is not None else "camera only"
    line = "Matched %s: %s, %s estimate" % (os.path.basename(photo), what, plan["estimate"])
    return "; ".join([line] + plan["notes"])


def _new_sun(name):
    lamp = bpy.data.lights.new(name, "SUN")
    lamp.energy = SUN_STRENGTH
    return lamp


# ---------------------------------------------------------------- the launcher

def _addon_folder():
    return os.path.dirname(os.path.abspath(__file__))


def default_launcher():
    """Quillmarsh.py beside the add-on (the installed package), else the source
    tree's one above blender/."""
    here = _addon_folder()
    for candidate in (os.path.join(here, "Quillmarsh.py"), os.path.join(os.path.dirname(here), "Quillmarsh.py")):
        if os.path.isfile(candidate):
            return candidate
    return os.path.join(here, "Quillmarsh.py")


def _python():
    # Blender's sys.executable is its Python from 2.91 on; older ones name Blender.
    if "python" in os.path.basename(sys.executable).lower():
        return sys.executable
    return shutil.which("python3") or shutil.which("python") or sys.executable


def run_launcher(photo, launcher=None, program=None):
    """Opens the dialog on the photo through the launcher (the one named, else
    $QUILLMARSH_LAUNCHER, else default_launcher()): the parsed result
    (read_result) after OK; MatchError with the tool's message otherwise."""
    launcher = launcher or os.environ.get("QUILLMARSH_LAUNCHER") or default_launcher()
    if not os.path.isfile(launcher):
        raise MatchError("the launcher %s is missing (see the add-on's preferences)" % launcher)
    command = [_python(), launcher, photo]
    if program:
        command += ["--exe", program]
    try:
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as error:
        raise MatchError("can not start the launcher: %s" % error.strerror)
    message = done.stderr.decode("utf-8", "replace").strip().splitlines()
    if done.returncode not in (LAUNCHER_CAMERA_AND_LIGHT, LAUNCHER_CAMERA_ONLY):
        raise MatchError(message[-1] if message else "the launcher ended with code %d" % done.returncode)
    result = read_result(done.stdout.decode("utf-8", "replace"))
    if done.returncode == LAUNCHER_CAMERA_ONLY:
        result["light"] = None
    return result


# ---------------------------------------------------------------- without the dialog

def dialog_available():
    """The dialog runs natively on Windows and through Wine elsewhere."""
    return os.name == "nt" or bool(shutil.which("wine") or shutil.which("wine64"))


def find_measure_command(named=None):
    """The command the user named (preferences, else $QUILLMARSH_MEASURE), else
    the one installed with the add-on, else the source tree's native build.
    An installed one may have lost its executable bit in the zip: it gets it
    back, as the add-on's own file."""
    named = named or os.environ.get("QUILLMARSH_MEASURE")
    if named:
        if not os.path.isfile(named):
            raise MatchError("the measurement command %s is missing (see the add-on's preferences)" % named)
        return os.path.abspath(named)
    here = _addon_folder()
    installed = os.path.join(here, MEASURE_NAME)
    if os.path.isfile(installed):
        if os.name != "nt" and not os.access(installed, os.X_OK):
            try:
                os.chmod(installed, os.stat(installed).st_mode | 0o111)
            except OSError as error:
                raise MatchError("can not make %s executable (%s)" % (installed, error.strerror))
        return installed
    built = os.path.join(os.path.dirname(here), "build", "native", MEASURE_NAME)
    if os.path.isfile(built):
        return built
    raise MatchError("the measurement command %s is not installed with the add-on (see its preferences)" % MEASURE_NAME)


def run_measure(photo, threshold=None, command=None, preview_folder=None):
    """Measures the photo with the native command: (result as read_result gives
    it, the threshold the command used, the preview picture's path or None).
    threshold None lets the command choose. MatchError with the command's
    message when it found no camera."""
    program = find_measure_command(command)
    options = ["--json", "--jobs", "1", "--threshold", "auto" if threshold is None else str(int(threshold))]
    if preview_folder:
        options += ["--preview", preview_folder]
    try:
        done = subprocess.run([program] + options + ["--", photo], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    except OSError as error:
        raise MatchError("can not start %s: %s" % (program, error.strerror))
    lines = done.stdout.decode("utf-8", "replace").strip().splitlines()
    try:
        record = json.loads(lines[-1])
        if not isinstance(record, dict):
            raise ValueError
    except (IndexError, ValueError):
        message = done.stderr.decode("utf-8", "replace").strip().splitlines()
        raise MatchError(message[-1] if message else "the measurement command ended with code %d" % done.returncode)
    if "camera" not in record:
        raise MatchError(str(record.get("error") or "the measurement command found no camera"))
    used = record.get("threshold")
    if isinstance(used, bool) or not isinstance(used, int) or not 0 <= used <= MAX_THRESHOLD:
        raise MatchError("the measurement command gave no threshold")
    result = read_result(json.dumps(record))
    preview = None
    if preview_folder:
        candidate = os.path.join(preview_folder, os.path.basename(photo) + ".png")
        preview = candidate if os.path.isfile(candidate) else None
    return result, used, preview


# The measurement waiting for the user's word: what the import asked for and
# what the command gave. Empty when nothing waits.
pending = {}


def measure_pending(photo, size, threshold, options, command=None):
    """Runs the command on the photo and keeps the outcome in `pending`; the
    scene is not touched. Returns the line for the user."""
    folder = tempfile.mkdtemp(prefix="quillmarsh-preview-")
    try:
        result, used, preview = run_measure(photo, threshold, command, folder)
        image = None
        if preview is not None:
            old = bpy.data.images.get(PREVIEW_IMAGE)
            if old is not None:
                bpy.data.images.remove(old)
            image = bpy.data.images.load(preview)
            image.name = PREVIEW_IMAGE
            image.pack()        # the temporary folder goes; the picture stays with the image
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    pending.clear()
    pending.update({"photo": photo, "size": size, "result": result, "threshold": used,
                    "auto": threshold is None, "options": options})
    how = "chosen automatically" if threshold is None else "as asked"
    return "Measured %s without the dialog at threshold %d (%s)%s" % (
        os.path.basename(photo), used, how,
        "; check the marker in the image editor, then Accept" if image is not None else "; the preview could not be made")


def accept_pending(scene):
    """Applies the waiting measurement; returns (report line, plan)."""
    if not pending:
        raise MatchError("no measurement is waiting to be accepted")
    o = pending["options"]
    plan = make_plan(pending["result"], o["estimate"])
    line = apply_match(scene, pending["photo"], pending["size"], plan, o["scale"], o["ground"], o["disc"])
    line += "; measured %s at threshold %d" % (PATH_COMMAND, pending["threshold"])
    pending.clear()
    return line, plan


def show_preview(context):
    """The preview in an image editor of the current screen, else in one area
    of a new window turned into an image editor; False when there is no screen
    (a headless run)."""
    image = bpy.data.images.get(PREVIEW_IMAGE)
    if image is None or context.window_manager is None or context.screen is None:
        return False
    areas = [a for a in context.screen.areas if a.type == "IMAGE_EDITOR"]
    if not areas:
        try:
            bpy.ops.wm.window_new()
        except RuntimeError:
            return False
        window = context.window_manager.windows[-1]
        area = max(window.screen.areas, key=lambda a: a.width * a.height)
        area.type = "IMAGE_EDITOR"
        areas = [area]
    for space in areas[0].spaces:
        if space.type == "IMAGE_EDITOR":
            space.image = image
            space.show_region_ui = True     # the sidebar holds the Quillmarsh panel
    return True


# ---------------------------------------------------------------- the add-on

def _preferences():
    addon = bpy.context.preferences.addons.get(__name__)
    return addon.preferences if addon is not None else None


class QuillmarshPreferences(bpy.types.AddonPreferences):
    bl_idname = __name__

    launcher: bpy.props.StringProperty(
        name="Launcher", subtype="FILE_PATH",
        description="Quillmarsh.py of another build; empty: the one installed with the add-on")
    program: bpy.props.StringProperty(
        name="Program", subtype="FILE_PATH",
        description="Quillmarsh.exe of another build; empty: the one beside the launcher")

    without_dialog: bpy.props.BoolProperty(
        name="Measure without the dialog", default=False,
        description="Measure with the native command and check its preview in the image editor, "
                    "even where the dialog could run")
    command: bpy.props.StringProperty(
        name="Command", subtype="FILE_PATH",
        description="quillmarsh-measure of another build; empty: the one installed with the add-on")

    def draw(self, context):
        self.layout.prop(self, "launcher")
        self.layout.prop(self, "program")
        self.layout.prop(self, "without_dialog")
        self.layout.prop(self, "command")


def _use_dialog(prefs):
    return dialog_available() and not (prefs is not None and prefs.without_dialog)


def _command(prefs):
    return prefs.command if prefs is not None and prefs.command else None


class QuillmarshImport(bpy.types.Operator):
    """Measure camera and sun from a photograph of the marker and match the scene to it"""
    bl_idname = "import_scene.quillmarsh_photo"
    bl_label = "Quillmarsh photo match"
    bl_options = {"REGISTER", "UNDO"}

    filepath: bpy.props.StringProperty(subtype="FILE_PATH")
    filter_glob: bpy.props.StringProperty(default="*.png;*.jpg;*.jpeg;*.bmp;*.tif;*.tiff", options={"HIDDEN"})
    estimate: bpy.props.EnumProperty(
        name="Estimate", default="refined",
        items=(("refined", "Refined", "The refined estimate, when the result carries one"),
               ("classic", "Classic", "The dialog's own numbers")))
    marker_diameter: bpy.props.FloatProperty(
        name="Marker diameter", default=NUMBERS_MARKER_DIAMETER, min=1.0e-4, max=MAX_MARKER_DIAMETER,
        description="The real disc's diameter in scene units; 6 keeps the numbers' own scale")
    ground: bpy.props.BoolProperty(name="Ground plane", default=True,
                                   description="A large shadow catcher on the ground (Cycles)")
    disc: bpy.props.BoolProperty(name="Reference disc", default=True,
                                 description="The marker's outline at the origin, hidden in renders")

    def invoke(self, context, event):
        context.window_manager.fileselect_add(self)
        return {"RUNNING_MODAL"}

    def execute(self, context):
        prefs = _preferences()
        try:
            photo = os.path.abspath(bpy.path.abspath(self.filepath))
            size = photo_size(photo)
            scale = marker_scale(self.marker_diameter)
            if not _use_dialog(prefs):
                options = {"estimate": self.estimate, "scale": scale, "ground": self.ground, "disc": self.disc}
                line = measure_pending(photo, size, None, options, _command(prefs))
                _offer_threshold(context)
                show_preview(context)
                self.report({"INFO"}, line)
                return {"FINISHED"}
            result = run_launcher(photo, prefs.launcher if prefs and prefs.launcher else None,
                                  prefs.program if prefs and prefs.program else None)
            plan = make_plan(result, self.estimate)
            line = apply_match(context.scene, photo, size, plan, scale, self.ground, self.disc)
            line += "; measured with %s" % PATH_DIALOG
        except MatchError as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        self.report({"WARNING"} if plan["light"] is None else {"INFO"}, line)
        return {"FINISHED"}


class QuillmarshRetry(bpy.types.Operator):
    """Measure the waiting photograph again at another threshold and show the new preview"""
    bl_idname = "quillmarsh.retry"
    bl_label = "Retry"
    bl_options = {"REGISTER"}

    threshold: bpy.props.IntProperty(name="Threshold", default=160, min=0, max=MAX_THRESHOLD,
                                     description="Brightness 0..255 above which a pixel counts as the white disc")

    def execute(self, context):
        if not pending:
            self.report({"ERROR"}, "no measurement is waiting: import a photograph first")
            return {"CANCELLED"}
        try:
            line = measure_pending(pending["photo"], pending["size"], self.threshold, pending["options"],
                                   _command(_preferences()))
        except MatchError as error:
            # the earlier measurement stays waiting: a bad threshold loses nothing
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        _offer_threshold(context)
        show_preview(context)
        self.report({"INFO"}, line)
        return {"FINISHED"}


class QuillmarshAccept(bpy.types.Operator):
    """Match the scene to the waiting measurement"""
    bl_idname = "quillmarsh.accept"
    bl_label = "Accept"
    bl_options = {"REGISTER", "UNDO"}

    def execute(self, context):
        try:
            line, plan = accept_pending(context.scene)
        except MatchError as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}
        self.report({"WARNING"} if plan["light"] is None else {"INFO"}, line)
        return {"FINISHED"}


class QuillmarshPreviewPanel(bpy.types.Panel):
    bl_idname = "IMAGE_PT_quillmarsh"
    bl_label = "Quillmarsh"
    bl_space_type = "IMAGE_EDITOR"
    bl_region_type = "UI"
    # the tab the image editor's sidebar opens on, so the panel is seen at once
    bl_category = "Tool"

    def draw(self, context):
        layout = self.layout
        if not pending:
            layout.label(text="No measurement is waiting")
            return
        layout.label(text=os.path.basename(pending["photo"]))
        layout.label(text="Threshold %d%s" % (pending["threshold"], " (automatic)" if pending["auto"] else ""))
        layout.label(text="Camera and sun" if pending["result"]["light"] is not None else "Camera only: no shadow")
        row = layout.row(align=True)
        row.prop(context.window_manager, "quillmarsh_threshold", text="")
        row.operator(QuillmarshRetry.bl_idname).threshold = context.window_manager.quillmarsh_threshold
        layout.operator(QuillmarshAccept.bl_idname)


def _offer_threshold(context):
    """The panel's threshold field starts from the one just measured at."""
    if pending and context.window_manager is not None:
        context.window_manager.quillmarsh_threshold = pending["threshold"]


def _menu(self, context):
    self.layout.operator(QuillmarshImport.bl_idname, text="Quillmarsh photo match")


CLASSES = (QuillmarshPreferences, QuillmarshImport, QuillmarshRetry, QuillmarshAccept, QuillmarshPreviewPanel)


def register():
    for cls in CLASSES:
        bpy.utils.register_class(cls)
    bpy.types.WindowManager.quillmarsh_threshold = bpy.props.IntProperty(
        name="Threshold", default=160, min=0, max=MAX_THRESHOLD, description="The threshold Retry measures at")
    bpy.types.TOPBAR_MT_file_import.append(_menu)


def unregister():
    bpy.types.TOPBAR_MT_file_import.remove(_menu)
    del bpy.types.WindowManager.quillmarsh_threshold
    for cls in reversed(CLASSES):
        bpy.utils.unregister_class(cls)


# ---------------------------------------------------------------- headless

USAGE = ("blender -b --factory-startup --python quillmarsh_blender.py -- PHOTO [--result RESULT.json] "
         "[--estimate refined|classic] [--marker-diameter D] [--no-ground] [--without-dialog] [--threshold N|auto] "
         "[--save OUT.blend] [--render OUT.png]")


def parse_arguments(argv):
    """The options after Blender's "--"; MatchError on anything else."""
    options = {"photo": None, "result": None, "estimate": None, "marker_diameter": NUMBERS_MARKER_DIAMETER,
               "ground": True, "save": None, "render": None, "without_dialog": False, "threshold": None}
    valued = {"--result": "result", "--estimate": "estimate", "--marker-diameter": "marker_diameter",
              "--save": "save", "--render": "render", "--threshold": "threshold"}
    i = 0
    while i < len(argv):
        word = argv[i]
        if word == "--no-ground":
            options["ground"] = False
        elif word == "--without-dialog":
            options["without_dialog"] = True
        elif word in valued:
            if i + 1 >= len(argv):
                raise MatchError("%s needs a value" % word)
            options[valued[word]] = argv[i + 1]
            i += 1
        elif word.startswith("-") and word != "-":
            raise MatchError("unknown option %s; usage: %s" % (word, USAGE))
        elif options["photo"] is None:
            options["photo"] = word
        else:
            raise MatchError("one photograph at a time; usage: %s" % USAGE)
        i += 1
    if options["photo"] is None:
        raise MatchError("no photograph given; usage: %s" % USAGE)
    if options["estimate"] is not None and options["estimate"] not in ESTIMATES:
        raise MatchError("--estimate takes refined or classic, not %s" % options["estimate"])
    try:
        options["marker_diameter"] = float(options["marker_diameter"])
    except ValueError:
        raise MatchError("--marker-diameter takes a number, not %s" % options["marker_diameter"])
    threshold = options["threshold"]
    if threshold == "auto":
        options["threshold"] = None
    elif threshold is not None:
        if not (threshold.isdigit() and int(threshold) <= MAX_THRESHOLD):
            raise MatchError("--threshold takes auto or a brightness 0..%d, not %s" % (MAX_THRESHOLD, threshold))
        options["threshold"] = int(threshold)
    if threshold is not None and options["result"] is not None:
        raise MatchError("--threshold measures without the dialog; --result brings numbers already measured")
    return options


def _output_folder(path, option):
    folder = os.path.dirname(os.path.abspath(path)) or "."
    if not os.path.isdir(folder) or not os.access(folder, os.W_OK):
        raise MatchError("%s: the folder %s is missing or not writable" % (option, folder))
    if os.path.isdir(path):
        raise MatchError("%s: %s is a folder" % (option, path))
    return folder


def _render_to(scene, path):
    """Cycles on the CPU, without the denoiser (which Debian's Blender lacks) and
    with at most RENDER_SAMPLES samples; the scene's own settings come back."""
    render, cycles = scene.render, scene.cycles
    kept = (render.engine, render.filepath, render.image_settings.file_format, render.use_file_extension,
            cycles.device, cycles.samples, cycles.use_denoising)
    try:
        render.engine = "CYCLES"
        cycles.device = "CPU"
        cycles.samples = min(cycles.samples, RENDER_SAMPLES)
        cycles.use_denoising = False
        render.image_settings.file_format = "PNG"
        render.use_file_extension = False
        render.filepath = path
        bpy.ops.render.render(write_still=True)
    finally:
        (render.engine, render.filepath, render.image_settings.file_format, render.use_file_extension,
         cycles.device, cycles.samples, cycles.use_denoising) = kept
    if not os.path.isfile(path) or os.path.getsize(path) == 0:
        raise MatchError("the render produced no picture")


def headless(argv, scene=None):
    """The command line: returns (exit code, message). Writes --render and --save
    only once both are made, so a failure leaves nothing behind."""
    scene = scene or bpy.context.scene
    try:
        options = parse_arguments(argv)
        photo = os.path.abspath(options["photo"])
        size = photo_size(photo)
        scale = marker_scale(options["marker_diameter"])
        targets = [(options[name], "--" + name) for name in ("render", "save") if options[name]]
        for path, option in targets:
            _output_folder(path, option)
        path = None
        if options["result"] is not None:
            result = read_result_file(options["result"])
        elif options["without_dialog"] or options["threshold"] is not None or not dialog_available():
            # nobody is there to look at the preview: the threshold is accepted
            result, used, _ = run_measure(photo, options["threshold"])
            path = "measured %s at threshold %d" % (PATH_COMMAND, used)
        else:
            result = run_launcher(photo)
            path = "measured with %s" % PATH_DIALOG
        plan = make_plan(result, options["estimate"], strict=True)
        line = apply_match(scene, photo, size, plan, scale, options["ground"], True)
        if path:
            line += "; " + path
        made = []
        try:
            if options["render"]:
                made.append((_temporary(options["render"], ".png"), options["render"]))
                _render_to(scene, made[-1][0])
            if options["save"]:
                made.append((_temporary(options["save"], ".blend"), options["save"]))
                bpy.ops.wm.save_as_mainfile(filepath=made[-1][0], copy=True, check_existing=False)
            for temporary, final in made:
                os.replace(temporary, final)
        except (OSError, RuntimeError) as error:
            raise MatchError("can not write the output (%s)" % error)
        finally:
            for temporary, _ in made:
                if os.path.exists(temporary):
                    os.remove(temporary)
    except MatchError as error:
        return EXIT_FAILED, str(error)
    return EXIT_MATCHED, line


def _temporary(path, suffix):
    """A fresh name beside the output; the file itself is left to the writer
    (Blender keeps a .blend1 copy of a .blend it overwrites)."""
    handle, name = tempfile.mkstemp(prefix=".quillmarsh-", suffix=suffix, dir=os.path.dirname(os.path.abspath(path)))
    os.close(handle)
    os.remove(name)
    return name


def main():
    argv = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
    try:
        code, message = headless(argv)
    except Exception as error:  # an unforeseen fault still ends with one line and a failure code
        code, message = EXIT_FAILED, "unexpected failure: %s" % error
    print("quillmarsh_blender: %s" % message, file=sys.stderr if code else sys.stdout)
    sys.stdout.flush()
    sys.exit(code)


if __name__ == "__main__":
    main()
