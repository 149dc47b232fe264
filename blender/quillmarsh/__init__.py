"""Quillmarsh photo match for Blender: turns the launcher's JSON for one
photograph into a matched scene (camera, sun, backdrop, shadow catcher), and
adds File > Import > "Quillmarsh photo match" and, for a matched photo,
File > Export > "Quillmarsh match (glTF/USD)".

It installs as the add-on "quillmarsh" (Blender 3.x and 4.x, bl_info) and, from
4.2 on, as an extension (blender_manifest.toml beside this file). The modules:
result (reading and checking the result, the plan), scene (building the
scene), measure (running the launcher), ui (operators, panel, preferences) and
headless (the command line, see blender/quillmarsh_blender.py).
"""

bl_info = {
    "name": "Quillmarsh photo match",
    "author": "Quillmarsh",
    "version": (1, 0, 0),
    "blender": (3, 4, 0),
    "location": "File > Import > Quillmarsh photo match; File > Export > Quillmarsh match (glTF/USD)",
    "description": "Camera, sun, backdrop and shadow catcher matched to a photograph of the Quillmarsh marker",
    "category": "Import-Export",
}


# Blender's own modules load with the user interface, so that result,
# measure and the command line's parsing import in plain Python too.
def register():
    from . import ui
    ui.register()


def unregister():
    from . import ui
    ui.unregister()
