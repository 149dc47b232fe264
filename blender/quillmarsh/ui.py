"""What the user works in Blender: File > Import > Quillmarsh photo match, the
image editor's panel for a measurement waiting without the dialog (Retry,
Accept), and the add-on's preferences.

Without the dialog the add-on shows the command's preview picture (the photo
beside the analysis drawings) in the image editor with the threshold chosen;
the scene changes only when the user accepts it in the editor's Quillmarsh
panel, where another threshold can be tried first.
"""

import os
import shutil
import tempfile
from dataclasses import dataclass

import bpy

from . import measure, scene
from .result import (DEFAULT_MARKER_ALBEDO, MAX_MARKER_DIAMETER, NUMBERS_MARKER_DIAMETER, MatchError, make_plan,
                     marker_scale)

PREVIEW_IMAGE = "Quillmarsh preview"
DEFAULT_THRESHOLD = 160         # brightness, the dialog's own default


@dataclass
class Pending:
    """A measurement waiting for the user's word: the photo, the threshold the
    command used (chosen by it when auto), its result, and the import's
    options (estimate, scale, ground, disc)."""
    photo: str
    threshold: int
    auto: bool
    result: dict
    options: dict


pending = None


class QuillmarshPreferences(bpy.types.AddonPreferences):
    # the package's name: "quillmarsh" as an add-on, "bl_ext.<repository>.quillmarsh" as an extension
    bl_idname = __package__

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


def _preferences():
    addon = bpy.context.preferences.addons.get(__package__)
    return addon.preferences if addon is not None else None


def _named(prefs, field):
    """A path the preferences name, None when empty."""
    if prefs is None:
        return None
    return getattr(prefs, field) or None


def _use_dialog(prefs):
    if prefs is not None and prefs.without_dialog:
        return False
    return measure.dialog_available(_named(prefs, "launcher"))


def measure_pending(photo, threshold, options, prefs):
    """Measures the photo without the dialog and keeps the outcome waiting; the
    scene is not touched. Returns the line for the user."""
    global pending
    folder = tempfile.mkdtemp(prefix="quillmarsh-preview-")
    try:
        result, used, preview = measure.run_measure(photo, threshold, _named(prefs, "launcher"),
                                                    _named(prefs, "command"), folder, options.get("lens", ()))
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
    pending = Pending(photo, used, threshold is None, result, options)
    how = "chosen automatically" if threshold is None else "as asked"
    return "Measured %s without the dialog at threshold %d (%s)%s" % (
        os.path.basename(photo), used, how,
        "; check the marker in the image editor, then Accept" if image is not None else "; the preview could not be made")


def accept_pending(target):
    """Applies the waiting measurement to the scene; returns (report line, plan)."""
    global pending
    if pending is None:
        raise MatchError("no measurement is waiting to be accepted")
    o = pending.options
    plan = make_plan(pending.result, o["estimate"], light_match=o["light_match"], albedo=o["albedo"])
    line = scene.apply_match(target, pending.photo, plan, o["scale"], o["ground"], o["disc"], o["only_photo_light"])
    remember_match(target.camera, pending.threshold, o["scale"], o.get("lens", ()))
    line += "; " + measure.WITHOUT_DIALOG % pending.threshold
    pending = None
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


def _offer_threshold(context):
    """The panel's threshold field starts from the one just measured at."""
    if pending is not None and context.window_manager is not None:
        context.window_manager.quillmarsh_threshold = pending.threshold


def _waiting(operator, context, line):
    """Shows the waiting measurement's preview and reports it."""
    _offer_threshold(context)
    show_preview(context)
    operator.report({"INFO"}, line)
    return {"FINISHED"}


def _matched(operator, line, plan):
    operator.report({"WARNING"} if plan["light"] is None else {"INFO"}, line)
    return {"FINISHED"}


class _Refusable:
    """An operator whose step may refuse with MatchError: the reason is
    reported and the operator cancelled, everything left as it was."""

    def execute(self, context):
        try:
            return self.step(context)
        except MatchError as error:
            self.report({"ERROR"}, str(error))
            return {"CANCELLED"}


class QuillmarshImport(_Refusable, bpy.types.Operator):
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
    light_match: bpy.props.BoolProperty(
        name="Match the light's strength and colour", default=True,
        description="Sun strength and colour and a world of the sky's colour read off the white disc, rendered "
                    "with exposure 0 and the Standard view; off: only the light's direction")
    only_photo_light: bpy.props.BoolProperty(
        name="Only the photo's light", default=True,
        description="Other lamps of the scene are excluded from rendering (never deleted)")
    marker_albedo: bpy.props.FloatVectorProperty(
        name="Marker albedo", subtype="COLOR", size=3, min=1.0e-3, max=1.0,
        default=(DEFAULT_MARKER_ALBEDO,) * 3, description="The white disc's reflectance")
    lens: bpy.props.EnumProperty(
        name="Lens", default=measure.LENS_AUTOMATIC,
        items=((measure.LENS_AUTOMATIC, "Automatic", "From the photo's EXIF (or the lens database), else the classic lens"),
               (measure.LENS_FOV, "Field of view", "The field of view along the photo's long side"),
               (measure.LENS_FOCAL, "Focal length and sensor", "The focal length and the sensor's long side")))
    lens_fov: bpy.props.FloatProperty(name="Field of view", default=46.2, min=1.0, max=179.0,
                                      description="Degrees along the photo's long side")
    lens_focal_mm: bpy.props.FloatProperty(name="Focal length", default=50.0, min=0.1, max=10000.0,
                                           description="Millimetres")
    lens_sensor_mm: bpy.props.FloatProperty(name="Sensor width", default=36.0, min=0.1, max=10000.0,
                                            description="Millimetres, along the photo's long side")

    def invoke(self, context, event):
        context.window_manager.fileselect_add(self)
        return {"RUNNING_MODAL"}

    def step(self, context):
        prefs = _preferences()
        photo = os.path.abspath(bpy.path.abspath(self.filepath))
        scene.check_photo(photo)
        scale = marker_scale(self.marker_diameter)
        albedo = tuple(self.marker_albedo)
        lens = measure.lens_words(self.lens, self.lens_fov, self.lens_focal_mm, self.lens_sensor_mm)
        if not _use_dialog(prefs):
            options = {"estimate": self.estimate, "scale": scale, "ground": self.ground, "disc": self.disc,
                       "light_match": self.light_match, "albedo": albedo, "only_photo_light": self.only_photo_light,
                       "lens": lens}
            return _waiting(self, context, measure_pending(photo, None, options, prefs))
        result = measure.run_launcher(photo, _named(prefs, "launcher"), _named(prefs, "program"), lens)
        plan = make_plan(result, self.estimate, light_match=self.light_match, albedo=albedo)
        line = scene.apply_match(context.scene, photo, plan, scale, self.ground, self.disc, self.only_photo_light)
        remember_match(context.scene.camera, None, scale, lens)
        return _matched(self, line + "; " + measure.WITH_DIALOG, plan)


class QuillmarshRetry(_Refusable, bpy.types.Operator):
    """Measure the waiting photograph again at another threshold and show the new preview"""
    bl_idname = "quillmarsh.retry"
    bl_label = "Retry"
    bl_options = {"REGISTER"}

    threshold: bpy.props.IntProperty(name="Threshold", default=DEFAULT_THRESHOLD, min=0, max=measure.MAX_THRESHOLD,
                                     description="Brightness 0..255 above which a pixel counts as the white disc")

    def step(self, context):
        if pending is None:
            raise MatchError("no measurement is waiting: import a photograph first")
        # a failure leaves the earlier measurement waiting: a bad threshold loses nothing
        return _waiting(self, context, measure_pending(pending.photo, self.threshold, pending.options, _preferences()))


class QuillmarshAccept(_Refusable, bpy.types.Operator):
    """Match the scene to the waiting measurement"""
    bl_idname = "quillmarsh.accept"
    bl_label = "Accept"
    bl_options = {"REGISTER", "UNDO"}

    def step(self, context):
        return _matched(self, *accept_pending(context.scene))


class QuillmarshPreviewPanel(bpy.types.Panel):
    bl_idname = "IMAGE_PT_quillmarsh"
    bl_label = "Quillmarsh"
    bl_space_type = "IMAGE_EDITOR"
    bl_region_type = "UI"
    # the tab the image editor's sidebar opens on, so the panel is seen at once
    bl_category = "Tool"

    def draw(self, context):
        layout = self.layout
        if pending is None:
            layout.label(text="No measurement is waiting")
            return
        layout.label(text=os.path.basename(pending.photo))
        layout.label(text="Threshold %d%s" % (pending.threshold, " (automatic)" if pending.auto else ""))
        layout.label(text="Camera and sun" if pending.result["light"] is not None else "Camera only: no shadow")
        row = layout.row(align=True)
        row.prop(context.window_manager, "quillmarsh_threshold", text="")
        row.operator(QuillmarshRetry.bl_idname).threshold = context.window_manager.quillmarsh_threshold
        layout.operator(QuillmarshAccept.bl_idname)


def _menu(self, context):
    self.layout.operator(QuillmarshImport.bl_idname, text="Quillmarsh photo match")


# ---------------------------------------------------------------- export

# On a matched photo's camera: what its match was measured with, for the export.
THRESHOLD_PROP = "quillmarsh_threshold"
DIAMETER_PROP = "quillmarsh_marker_diameter"
LENS_PROP = "quillmarsh_lens"     # the launcher's lens words, space-separated; empty for automatic


def remember_match(camera, threshold, scale, lens=()):
    """Keeps on the camera the threshold (None: the dialog's, not known here),
    the marker diameter and the lens its match was made with."""
    camera[DIAMETER_PROP] = scale * NUMBERS_MARKER_DIAMETER
    camera[LENS_PROP] = " ".join(lens)
    if threshold is None:
        camera.pop(THRESHOLD_PROP, None)
    else:
        camera[THRESHOLD_PROP] = int(threshold)


def matched_camera(context):
    """The scene's camera when the add-on matched it to a photo; MatchError otherwise."""
    camera = context.scene.camera
    if camera is None or camera.get(scene.ROLE_PROP) != "camera" or not camera.get(scene.PHOTO_PROP):
        raise MatchError("the scene's camera is not matched to a photo: "
                         "import one with File > Import > Quillmarsh photo match first")
    return camera


class QuillmarshExport(_Refusable, bpy.types.Operator):
    """Write the scene's matched photo as glTF and USD (camera, sun, ground and disc) for other applications"""
    bl_idname = "export_scene.quillmarsh_match"
    bl_label = "Quillmarsh match (glTF/USD)"

    directory: bpy.props.StringProperty(subtype="DIR_PATH")
    formats: bpy.props.EnumProperty(
        name="Formats", default="gltf,usd",
        items=(("gltf,usd", "glTF and USD", "<photo>.gltf with its .bin, and <photo>.usda"),
               ("gltf", "glTF", "<photo>.gltf with its .bin"), ("usd", "USD", "<photo>.usda")))

    @classmethod
    def poll(cls, context):
        camera = context.scene.camera
        return camera is not None and camera.get(scene.ROLE_PROP) == "camera"

    def invoke(self, context, event):
        context.window_manager.fileselect_add(self)
        return {"RUNNING_MODAL"}

    def step(self, context):
        camera = matched_camera(context)
        folder = os.path.abspath(bpy.path.abspath(self.directory))
        diameter = camera.get(DIAMETER_PROP, NUMBERS_MARKER_DIAMETER)
        threshold = camera.get(THRESHOLD_PROP)
        prefs = _preferences()
        result = measure.run_export(camera[scene.PHOTO_PROP], folder, self.formats,
                                    None if diameter == NUMBERS_MARKER_DIAMETER else diameter, threshold,
                                    _named(prefs, "launcher"), _named(prefs, "command"),
                                    camera.get(LENS_PROP, "").split())
        how = "threshold %d" % threshold if threshold is not None else "a threshold chosen by the command"
        line = "Exported the match of %s to %s (%s, measured at %s)" % (
            os.path.basename(camera[scene.PHOTO_PROP]), folder, self.formats.replace(",", " and "), how)
        # The export measures again, with the refined estimate where there is one:
        # say so when its camera is not the one in the scene.
        if _camera_moved(camera, make_plan(result)["camera"], marker_scale(diameter)):
            self.report({"WARNING"}, line + "; its camera differs from the scene's (matched with the classic "
                        "estimate, another threshold, or moved since)")
        else:
            self.report({"INFO"}, line)
        return {"FINISHED"}


EXPORT_MATCH_TOLERANCE = 1e-4   # of the camera's distance from the marker


def _camera_moved(camera, numbers, scale):
    """Whether the camera stands elsewhere than the numbers place it."""
    placed = scene.camera_placement(numbers, scale)
    reach = max(placed.translation.length, 1e-9)
    return any(abs(camera.matrix_world[i][j] - placed[i][j]) > EXPORT_MATCH_TOLERANCE * (reach if j == 3 else 1.0)
               for i in range(4) for j in range(4))


def _export_menu(self, context):
    self.layout.operator(QuillmarshExport.bl_idname, text="Quillmarsh match (glTF/USD)")


CLASSES = (QuillmarshPreferences, QuillmarshImport, QuillmarshRetry, QuillmarshAccept, QuillmarshPreviewPanel,
           QuillmarshExport)


def register():
    for cls in CLASSES:
        bpy.utils.register_class(cls)
    bpy.types.WindowManager.quillmarsh_threshold = bpy.props.IntProperty(
        name="Threshold", default=DEFAULT_THRESHOLD, min=0, max=measure.MAX_THRESHOLD,
        description="The threshold Retry measures at")
    bpy.types.TOPBAR_MT_file_import.append(_menu)
    bpy.types.TOPBAR_MT_file_export.append(_export_menu)


def unregister():
    bpy.types.TOPBAR_MT_file_export.remove(_export_menu)
    bpy.types.TOPBAR_MT_file_import.remove(_menu)
    del bpy.types.WindowManager.quillmarsh_threshold
    for cls in reversed(CLASSES):
        bpy.utils.unregister_class(cls)
