"""The photo's lens distortion in the matched scene: the photo stays as it is
and the CG render is distorted to the photo's lens. The photo is loaded as a
movie clip whose tracking camera carries Blender's Brown model fitted to the
lens profile (distortion.fit_brown); a Movie Distortion node distorts the
render, which is made larger than the photo (overscan) so that the distorted
picture fills the photo's corners. The photo sits unscaled at the centre of
the render's frame, where the camera's principal point is.

The Movie Distortion node reads its input as the clip's frame scaled to the
input's size: a render W' x H' of a photo w x h is read in clip pixels
x w / W', so the tracking camera's focal length is the CG camera's
f_cg w / W' there, and its principal point the clip's centre. The overscan
keeps W' / w = H' / h, so that one scale serves both axes.
"""

import math

import bpy

from .distortion import DistortionError, fit_brown, overscan_size
from .result import MatchError

DISTORTION_NODE = "Quillmarsh lens distortion"


def _clip(photo):
    for clip in bpy.data.movieclips:
        if bpy.path.abspath(clip.filepath) == photo:
            return clip
    return bpy.data.movieclips.load(photo)


def _principal_point(tracking_camera, x, y):
    # pixels of the clip: "principal" up to 3.4, "principal_point_pixels" from 3.5 on
    if hasattr(tracking_camera, "principal_point_pixels"):
        tracking_camera.principal_point_pixels = (x, y)
    else:
        tracking_camera.principal = (x, y)


def distortion_setup(plan, width, height):
    """The fit and the render's size for a plan with a distortion: (fit, render
    width, render height, the CG camera's focal length in photo pixels)."""
    focal = max(width, height) / (2.0 * math.tan(math.radians(plan["fov"]) / 2.0))
    try:
        fit = fit_brown(plan["distortion"], width, height, focal)
        size = overscan_size(plan["distortion"], width, height, fit["scale"])
    except DistortionError as error:
        raise MatchError("the lens profile can not be matched: %s" % error)
    if max(size) > 65536:
        raise MatchError("the lens profile needs a render larger than Blender makes")
    return fit, size[0], size[1], fit["scale"] * focal


def clear_distortion(tree):
    """Takes the distortion node out of a compositor that had one."""
    node = tree.nodes.get(DISTORTION_NODE)
    if node is not None:
        tree.nodes.remove(node)


def apply_distortion(scene, photo, image, cam, plan, tree, layers, photo_scale, over):
    """Distorts the render to the photo's lens (see the module's text): the
    render's size and the camera's field of view with the overscan, the
    clip's tracking camera, and Render Layers through the Movie Distortion
    node into the Alpha Over in front of the photo kept at its own scale.
    Returns the report's note."""
    width, height = image.size
    fit, render_width, render_height, focal = distortion_setup(plan, width, height)
    scene.render.resolution_x, scene.render.resolution_y = render_width, render_height
    cam.data.sensor_fit = "AUTO"
    cam.data.angle = 2.0 * math.atan(max(render_width, render_height) / 2.0 / focal)
    clip = _clip(photo)
    tracking = clip.tracking.camera
    tracking.pixel_aspect = 1.0
    tracking.distortion_model = "BROWN"
    tracking.brown_k1, tracking.brown_k2, tracking.brown_k3, tracking.brown_k4 = fit["k"]
    tracking.brown_p1 = tracking.brown_p2 = 0.0
    tracking.focal_length_pixels = focal * width / render_width
    _principal_point(tracking, width / 2.0, height / 2.0)
    node = tree.nodes.get(DISTORTION_NODE)
    if node is None or node.bl_idname != "CompositorNodeMovieDistortion":
        node = tree.nodes.new("CompositorNodeMovieDistortion")
        node.name = node.label = DISTORTION_NODE
        node.location = (0.0, 150.0)
    node.clip = clip
    node.distortion_type = "DISTORT"
    tree.links.new(layers.outputs["Image"], node.inputs[0])
    tree.links.new(node.outputs[0], over.inputs[2])
    # The photo at its own pixels in the middle of the larger frame.
    photo_scale.space = "RELATIVE"
    photo_scale.inputs[1].default_value = 1.0
    photo_scale.inputs[2].default_value = 1.0
    return ("lens distortion of the %s: Blender's Brown model within %.2f px of the profile, rendered %d x %d "
            "around the %d x %d photo" % (plan["distortion"]["lens"] or "lens", fit["residual_px"], render_width,
                                          render_height, width, height))
