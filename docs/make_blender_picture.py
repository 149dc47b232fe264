"""Makes docs/blender-match.png: the sample s01 matched with the program's own
numbers, a sphere and a box added beside the stick, rendered with the photo
composited behind and their shadows caught on the ground (then cut to 96
colours by ImageMagick, to keep the file small).

    blender -b --factory-startup --python docs/make_blender_picture.py
"""
import os
import shutil
import subprocess
import sys

import bpy

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(TOP, "blender"))
from quillmarsh import scene as qm_scene  # noqa: E402
from quillmarsh.result import make_plan, read_result  # noqa: E402

bpy.ops.wm.read_factory_settings(use_empty=True)
scene = bpy.context.scene
photo = os.path.join(TOP, "tests", "data", "samples", "s01.png")
with open(os.path.join(TOP, "tests", "blender", "results", "s01.json")) as f:
    plan = make_plan(read_result(f.read()), "classic")
print(qm_scene.apply_match(scene, photo, plan, 1.0))
bpy.ops.mesh.primitive_uv_sphere_add(radius=1.0, location=(-5.0, 1.5, 1.0))
bpy.ops.object.shade_smooth()
bpy.ops.mesh.primitive_cube_add(size=1.6, location=(4.5, 3.0, 0.8), rotation=(0.0, 0.0, 0.5))
red = bpy.data.materials.new("red")
red.diffuse_color = (0.8, 0.1, 0.05, 1.0)
red.use_nodes = True
red.node_tree.nodes["Principled BSDF"].inputs["Base Color"].default_value = (0.8, 0.1, 0.05, 1.0)
bpy.context.object.data.materials.append(red)
world = bpy.data.worlds.new("sky")
world.color = (0.05, 0.06, 0.08)
scene.world = world
scene.render.resolution_percentage = 100
picture = os.path.join(TOP, "docs", "blender-match.png")
qm_scene.render_to(scene, picture)
if shutil.which("convert"):
    subprocess.run(["convert", picture, "-colors", "96", "PNG8:" + picture], check=True)
