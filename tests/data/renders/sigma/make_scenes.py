"""Writes scenes.json: photographs whose lenses are spread as real lenses are.

    python3 make_scenes.py > scenes.json
    blender -b --factory-startup --python tests/render/render_photo.py -- scenes.json OUTDIR

The refined deviations of an assumed lens are honest only over photographs
taken with lenses spread as the prior says: ln f normal around the classic
lens with deviation ln(75 / 24) / 4 (refine/lens.cpp). Photos "a*" carry no
EXIF; photos "r*" carry a FocalLength and the 35 mm equivalent rounded to
whole millimetres, as cameras write it, and no focal plane tags. The rest of
each scene (distance, view, sun, stick) is drawn so the whole disc, the stick
and a shadow ending on the disc show.
"""
import json
import math
import random

CLASSIC_FOCAL_PER_LONG_SIDE = 375.0 / 320.0
LOG_SIGMA = math.log(75.0 / 24.0) / 4.0
WIDTH, HEIGHT = 1024, 768
FILM_DIAGONAL = 43.27  # mm
PHONE_CROP = 7.66 / 43.27  # a small sensor's diagonal over the film's: FocalLength in mm


def scene(rng, name, exif35):
    focal = CLASSIC_FOCAL_PER_LONG_SIDE * WIDTH * math.exp(rng.gauss(0.0, LOG_SIGMA))
    hfov = 2.0 * math.degrees(math.atan(WIDTH / 2.0 / focal))
    share = rng.uniform(0.35, 0.5)  # the disc's width over the long side
    distance = 3.0 / (share * math.tan(math.radians(hfov) / 2.0))
    height = rng.uniform(0.8, 1.6)
    sun_elevation = rng.uniform(max(25.0, math.degrees(math.atan(height / 2.4))), 55.0)
    sun_azimuth = rng.choice([-1.0, 1.0]) * rng.uniform(30.0, 150.0)
    p = {"name": name, "hfov_deg": hfov,
         "camera": {"distance": distance, "elevation_deg": rng.uniform(22.0, 60.0),
                    "azimuth_deg": rng.uniform(0.0, 360.0), "roll_deg": rng.uniform(-5.0, 5.0),
                    "look_at": [rng.uniform(-0.8, 0.8), 0.0, rng.uniform(-0.8, 0.8)]},
         "sun": {"azimuth_rel_camera_deg": sun_azimuth, "elevation_deg": sun_elevation},
         "stick": {"height": height, "radius": rng.uniform(0.05, 0.08)}}
    if exif35:
        f35 = FILM_DIAGONAL * focal / math.hypot(WIDTH, HEIGHT)
        p["exif"] = {"Make": "Quillmarsh test rig", "Model": "Cycles pinhole",
                     "FocalLength": "%.2f" % (f35 * PHONE_CROP), "FocalLengthIn35mmFormat": "%d" % round(f35)}
    return p


def main():
    rng = random.Random(20)
    photos = [scene(rng, "a%02d" % i, False) for i in range(1, 17)]
    photos += [scene(rng, "r%02d" % i, True) for i in range(1, 17)]
    # Sixteen more without EXIF: sixteen draws of the lens spread over only
    # 0.62 of the prior's deviation, too few to judge the prior by.
    photos += [scene(rng, "a%02d" % i, False) for i in range(17, 33)]
    print(json.dumps({"defaults": {"width": WIDTH, "height": HEIGHT, "samples": 32, "format": "jpg",
                                   "jpeg_quality": 90},
                      "photos": photos}, indent=1))


main()
