"""Quillmarsh photo match, headless, from the source tree:

    blender -b --factory-startup --python blender/quillmarsh_blender.py -- PHOTO
        [--result RESULT.json] [--estimate refined|classic] [--marker-diameter D]
        [--no-ground] [--without-dialog] [--threshold N|auto]
        [--save OUT.blend] [--render OUT.png]

The add-on itself is the package blender/quillmarsh/ beside this script (its
headless module says what the options do).
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from quillmarsh import headless  # noqa: E402

headless.main()
