"""What the Blender tests share: an empty scene, a sample's truth, and the
rendered reference disc against the photo's disc."""
import json
import math
import os

SAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data", "samples")


def fresh_scene():
    import bpy
    bpy.ops.wm.read_factory_settings(use_empty=True)
    return bpy.context.scene


def rendered_rgba(scene, path):
    """Renders the scene's picture to path (PNG): (width, height, RGBA rows top first)."""
    import bpy
    scene.render.filepath = path
    bpy.ops.render.render(write_still=True)
    image = bpy.data.images.load(path)
    (width, height), flat = image.size, image.pixels[:]
    bpy.data.images.remove(image)
    return width, height, [flat[(height - 1 - y) * width * 4:(height - y) * width * 4] for y in range(height)]


def sample(name):
    with open(os.path.join(SAMPLES, name + ".json")) as f:
        return json.load(f)


def compare_disc(shot, size, ellipse, centre):
    """Intersection over union of the rendered disc (alpha) and the photo's
    ellipse at the render's pixel centres, and the bearing (degrees, y down)
    from the disc centre's image to the mean of the shadow's pixels (the dark
    part of the lit disc): the shadow's image is a segment from that centre."""
    width, height, rows = shot
    sx, sy = size[0] / width, size[1] / height
    c, s = math.cos(ellipse["angle"]), math.sin(ellipse["angle"])
    lit = sorted(max(row[4 * x:4 * x + 3]) for row in rows for x in range(width) if row[4 * x + 3] > 0.99)
    dark = 0.5 * lit[len(lit) // 2] if lit else 0.0
    both = either = 0
    sum_x = sum_y = 0.0
    for y, row in enumerate(rows):
        for x in range(width):
            px, py = (x + 0.5) * sx, (y + 0.5) * sy
            dx, dy = px - ellipse["cx"], py - ellipse["cy"]
            inside = ((dx * c + dy * s) / ellipse["a"]) ** 2 + ((-dx * s + dy * c) / ellipse["b"]) ** 2 <= 1.0
            drawn = row[4 * x + 3] > 0.5
            both += inside and drawn
            either += inside or drawn
            if row[4 * x + 3] > 0.99 and max(row[4 * x:4 * x + 3]) < dark:
                sum_x, sum_y = sum_x + px - centre[0], sum_y + py - centre[1]
    return both / max(either, 1), math.degrees(math.atan2(sum_y, sum_x))
