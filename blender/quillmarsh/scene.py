"""The matched scene in Blender: the frame the numbers speak of, the photo as
Blender reads it, and the camera, backdrop, sun, ground and disc put in place.

The frame: the marker's centre is the world origin, the disc lies in the XY
plane and Z is up. The tool's numbers speak of a frame aligned with the camera,
(right, height, backward); in Blender right is +X, height +Z and backward -Y, so
the camera stands at (dollyX, -dollyZ, dollyY) * scale and looks toward +Y when
pitch and roll are 0.
"""

import math
import os

import bpy
from mathutils import Matrix, Vector

from .result import NUMBERS_MARKER_DIAMETER, MatchError

MARKER_TOP = 0.01               # units: the disc's top above the ground, as in the samples
DISC_SEGMENTS = 128             # vertices of the reference disc's rim
GROUND_HALF_SIDE = 500.0        # units: half the ground plane's side, far past any camera the tool measures
SUN_STRENGTH = 3.0              # W/m^2, bright daylight under the Standard view; a user's own value is kept
RENDER_SAMPLES = 32             # Cycles samples for the headless --render, at most
CLIP_NEAR_FRACTION = 0.001      # of the camera's distance to the marker
CLIP_FAR_FACTOR = 4.0           # times the ground's diagonal reach from the camera
MAX_PHOTO_SIDE = 65536          # pixels, Blender's largest render resolution

# Custom properties that tie an object to the photo it was matched to.
PHOTO_PROP = "quillmarsh_photo"
ROLE_PROP = "quillmarsh_role"
GROUND_NAME = "Quillmarsh ground"
DISC_NAME = "Quillmarsh reference disc"
PHOTO_NODE = "Quillmarsh photo"
SCALE_NODE = "Quillmarsh photo scale"
OVER_NODE = "Quillmarsh alpha over"


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


def camera_placement(camera, scale):
    """The camera's world matrix for the numbers: placed at camera_position, turned by camera_rotation."""
    return Matrix.Translation(camera_position(camera, scale)) @ camera_rotation(camera).to_4x4()


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


def _load(photo):
    """(Blender's image of the photograph, whether it was made here): the one
    already there reloaded from disk, else a new one. A photo Blender can not
    read loads as an image without size or pixels: one made here is removed
    again and the photo refused."""
    if not os.path.isfile(photo):
        raise MatchError("no such photograph: %s" % photo)
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
    # asking for the size decodes the file
    width, height = image.size
    if not (1 <= width <= MAX_PHOTO_SIDE and 1 <= height <= MAX_PHOTO_SIDE) or not image.has_data:
        if made:
            bpy.data.images.remove(image)
        name = os.path.basename(photo)
        if name.lower().endswith(".gif"):
            raise MatchError("Blender can not read GIF photographs; save %s as PNG first" % name)
        raise MatchError("Blender can not read the photograph %s: it is damaged or not a PNG, JPEG, BMP or TIFF"
                         % name)
    return image, made


def load_photo(photo):
    return _load(photo)[0]


def check_photo(photo):
    """Refuses a photo Blender can not read before anything is measured; an
    image loaded only for the check goes again."""
    image, made = _load(photo)
    if made:
        bpy.data.images.remove(image)


def place_camera(scene, image, key, stem, plan, scale):
    """The photo's camera at the measured pose and lens, the photo behind it in
    the viewport, made the scene's camera: (the camera, its distance from the
    marker)."""
    camera = plan["camera"]
    cam = _object(scene, "CAMERA", "camera", stem, lambda name: bpy.data.cameras.new(name), key)
    position = camera_position(camera, scale)
    cam.rotation_mode = "XYZ"
    cam.matrix_world = camera_placement(camera, scale)
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
    return cam, distance


def place_backdrop(scene, image):
    """The render at the photo's size on transparent film, the photo composited
    behind it, and a view transform that passes the photo's pixels unchanged."""
    render = scene.render
    render.resolution_x, render.resolution_y = image.size
    render.resolution_percentage = 100
    render.pixel_aspect_x = render.pixel_aspect_y = 1.0
    render.film_transparent = True
    scene.view_settings.view_transform = "Standard"
    try:
        scene.view_settings.look = "None"
    except TypeError:
        pass   # a colour configuration without that look has none to undo
    _composite_photo(scene, image)


def place_sun(scene, key, stem, light, distance):
    """The photo's sun shining from the measured direction; the other photos'
    suns put away, since one photo's sun lights the render at a time."""
    sun = _object(scene, "LIGHT", "sun", stem + " sun", lambda name: _new_sun(name), key)
    sun.rotation_mode = "XYZ"
    # a sun shines along its local -Z from anywhere; it stands toward the sun
    # above the marker, where the viewport shows its direction plainly
    toward = sun_direction(light)
    sun.matrix_world = Matrix.Translation(toward * (0.5 * distance)) @ \
        toward.to_track_quat("Z", "Y").to_matrix().to_4x4()
    for other in bpy.data.objects:
        if other.type == "LIGHT" and other.get(ROLE_PROP) == "sun":
            other.hide_render = other.hide_viewport = other != sun
    return sun


def place_ground(scene, scale, ground, disc):
    """The shadow catcher on the ground (which makes the engine Cycles) and the
    reference disc, an outline hidden in renders."""
    render = scene.render
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


# ---------------------------------------------------------------- the light's strength and colour

WORLD_SUFFIX = " sky"           # the photo's world is named after it


def place_light_match(scene, sun, stem, light):
    """The sun's strength and colour and a world of the sky's colour at strength
    1, named after the photo (the scene's earlier world stays in the file), for
    a render with exposure 0 under the Standard view: then a material of the
    disc's albedo renders at the photo's own values."""
    sun.data.energy = light["sun_strength"]
    sun.data.color = light["sun_color"]
    world = bpy.data.worlds.get(stem + WORLD_SUFFIX)
    if world is None:
        world = bpy.data.worlds.new(stem + WORLD_SUFFIX)
    if "use_nodes" in world.bl_rna.properties and not world.use_nodes:
        world.use_nodes = True      # from 5.0 on a world always has its nodes
    tree = world.node_tree
    background = next((n for n in tree.nodes if n.bl_idname == "ShaderNodeBackground"), None)
    if background is None:
        background = tree.nodes.new("ShaderNodeBackground")
    output = next((n for n in tree.nodes if n.bl_idname == "ShaderNodeOutputWorld"), None)
    if output is None:
        output = tree.nodes.new("ShaderNodeOutputWorld")
    tree.links.new(background.outputs["Background"], output.inputs["Surface"])
    background.inputs["Color"].default_value = tuple(light["sky_color"]) + (1.0,)
    background.inputs["Strength"].default_value = 1.0
    scene.world = world
    scene.view_settings.exposure = 0.0
    scene.view_settings.view_transform = "Standard"


CATCHER_NODE = "Quillmarsh shadow catcher"


def _coloured_catcher(scene):
    """The catcher's shadow in colour: Cycles' Shadow Catcher pass (per
    channel, the share of the light that the CG objects leave on the catcher)
    multiplies the photo, and the Combined pass then holds the objects alone.
    Without the pass (or its node) the catcher keeps its grey shadow in the
    alpha; returns whether the colour one is in place."""
    layers_ok = [vl for vl in scene.view_layers if hasattr(vl, "cycles")
                 and "use_pass_shadow_catcher" in vl.cycles.bl_rna.properties]
    if not layers_ok:
        return False
    for layer in layers_ok:
        layer.cycles.use_pass_shadow_catcher = True
    tree, _ = _compositor(scene)
    layers = next((n for n in tree.nodes if n.bl_idname == "CompositorNodeRLayers"), None)
    scale, over = tree.nodes.get(SCALE_NODE), tree.nodes.get(OVER_NODE)
    if layers is None or scale is None or over is None or "Shadow Catcher" not in layers.outputs:
        return False
    try:
        multiply = _node(tree, "CompositorNodeMixRGB", CATCHER_NODE, (50.0, 200.0))
    except RuntimeError:
        return False     # a compositor without the node
    multiply.blend_type = "MULTIPLY"
    multiply.inputs[0].default_value = 1.0
    tree.links.new(scale.outputs[0], multiply.inputs[1])
    tree.links.new(layers.outputs["Shadow Catcher"], multiply.inputs[2])
    tree.links.new(multiply.outputs[0], over.inputs[1])
    return True


def other_lamps(scene):
    """Lamps in the scene that would light the render beside the photos' suns."""
    return [obj for obj in scene.objects
            if obj.type == "LIGHT" and obj.get(ROLE_PROP) != "sun" and not obj.hide_render]


def exclude_other_lamps(scene, exclude):
    """The report's words on the other lamps; with exclude they leave the
    render (hide_render), and are never deleted."""
    lamps = other_lamps(scene)
    if not lamps:
        return None
    names = ", ".join(sorted(obj.name for obj in lamps))
    if exclude:
        for obj in lamps:
            obj.hide_render = True
        return "other lamps excluded from rendering: %s" % names
    return "other lamps still light the render: %s" % names


def place_lens_distortion(scene, photo, image, cam, plan):
    """With the plan's lens distortion, the render distorted to the photo's
    lens (lens_scene); without, the compositor as place_backdrop left it.
    Returns the report's note, or None."""
    from . import lens_scene
    tree, _ = _compositor(scene)
    if plan.get("distortion") is None:
        lens_scene.clear_distortion(tree)
        return None
    layers = next(n for n in tree.nodes if n.bl_idname == "CompositorNodeRLayers")
    return lens_scene.apply_distortion(scene, os.path.abspath(photo), image, cam, plan, tree, layers,
                                       tree.nodes[SCALE_NODE], tree.nodes[OVER_NODE])


def apply_match(scene, photo, plan, scale, ground=True, disc=True, only_photo_light=True):
    """Puts the matched camera (made the scene's camera), the sun when the plan
    has a light, the photo as backdrop and composite, the ground catcher and the
    reference disc into the scene. Everything is checked beforehand
    (read_result, make_plan, marker_scale); only Blender failing to read the
    photo stops it, and that happens before anything else changes. Returns the
    report line."""
    image = load_photo(photo)
    key = photo_key(photo)
    stem = os.path.splitext(os.path.basename(photo))[0]
    cam, distance = place_camera(scene, image, key, stem, plan, scale)
    place_backdrop(scene, image)
    notes = list(plan["notes"])
    distortion_note = place_lens_distortion(scene, photo, image, cam, plan)
    if distortion_note:
        notes.append(distortion_note)
    if plan["light"] is not None:
        sun = place_sun(scene, key, stem, plan["light"], distance)
        if plan.get("illumination") is not None:
            place_light_match(scene, sun, stem, plan["illumination"])
        lamps = exclude_other_lamps(scene, only_photo_light)
        if lamps:
            notes.append(lamps)
    place_ground(scene, scale, ground, disc)
    if ground and plan.get("illumination") is not None and not _coloured_catcher(scene):
        notes.append("the catcher's shadow stays grey: this Blender has no Shadow Catcher pass to colour it")

    # Selection lives in the view layer: only objects in it can be selected.
    layer = bpy.context.view_layer
    if scene == bpy.context.scene and layer.objects.get(cam.name) is not None:
        for obj in layer.objects:
            obj.select_set(obj == cam)
        layer.objects.active = cam

    what = "camera and sun" if plan["light"] is not None else "camera only"
    line = "Matched %s: %s, %s estimate" % (os.path.basename(photo), what, plan["estimate"])
    if plan.get("illumination") is not None:
        light = plan["illumination"]
        line += ", sun %.3g W/m2" % light["sun_strength"]
    return "; ".join([line] + notes)


def _new_sun(name):
    lamp = bpy.data.lights.new(name, "SUN")
    lamp.energy = SUN_STRENGTH
    return lamp


def render_to(scene, path):
    """Cycles on the CPU, without the denoiser (which Debian's Blender lacks) and
    with at most RENDER_SAMPLES samples; the scene's own settings come back.
    MatchError when no picture came out."""
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
