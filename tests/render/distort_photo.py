"""Test photographs through a real lens' distortion, with their truth.

    python3 tests/render/distort_photo.py wide SCENES.json WIDE_SCENES.json
    nice blender -b --factory-startup --python tests/render/render_photo.py -- WIDE_SCENES.json WIDE_DIR
    python3 tests/render/distort_photo.py distort SCENES.json WIDE_DIR OUT_DIR [NAME ...]

SCENES.json is render_photo.py's scene file whose photos also name a lens:
  lens  {"make", "model", "lens_model", "focal_mm",
         "exif": "focal_plane" (FocalPlaneXResolution in inches) or
                 "focal_alone" (FocalLength without it: the crop factor comes
                 from the lens database)}
and whose width and height are the distorted photograph's. The pinhole
focal length in pixels is the lens' (F x crop / 43.27 mm x the diagonal).

"wide" writes the scenes of undistorted renders with that focal length that
reach past every point the lens maps onto the photograph. "distort" reads
each back and makes the distorted photograph with lensfun's own modifier in
reverse (for each photograph pixel, where the ideal pinhole picture has it),
tags its EXIF with exiftool, and writes its truth: the camera unchanged,
the focal length the undistorted one, the image points through the lens.

Needs numpy and lensfun (liblensfun1); ImageMagick's convert reads and
writes the pictures.
"""
import ctypes
import json
import math
import os
import subprocess
import sys

import numpy as np

FILM_DIAGONAL = 43.27   # mm, the 36 x 24 mm frame's diagonal
WIDE_MARGIN = 8         # pixels of undistorted picture kept past the furthest one the lens maps
LF_PF_U8 = 0
LF_RECTILINEAR = 1
LF_MODIFY_DISTORTION = 0x8


class LfCamera(ctypes.Structure):
    _fields_ = [("Maker", ctypes.c_char_p), ("Model", ctypes.c_char_p), ("Variant", ctypes.c_char_p),
                ("Mount", ctypes.c_char_p), ("CropFactor", ctypes.c_float), ("Score", ctypes.c_int)]


class LfDistortion(ctypes.Structure):
    _fields_ = [("Model", ctypes.c_int), ("Focal", ctypes.c_float), ("Terms", ctypes.c_float * 3)]


def lensfun():
    lf = ctypes.CDLL("liblensfun.so.1")
    lf.lf_db_new.restype = ctypes.c_void_p
    lf.lf_db_load.argtypes = [ctypes.c_void_p]
    lf.lf_db_find_cameras.restype = ctypes.POINTER(ctypes.POINTER(LfCamera))
    lf.lf_db_find_cameras.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p]
    lf.lf_db_find_lenses_hd.restype = ctypes.POINTER(ctypes.c_void_p)
    lf.lf_db_find_lenses_hd.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p,
                                        ctypes.c_int]
    lf.lf_lens_interpolate_distortion.argtypes = [ctypes.c_void_p, ctypes.c_float, ctypes.POINTER(LfDistortion)]
    lf.lf_modifier_new.restype = ctypes.c_void_p
    lf.lf_modifier_new.argtypes = [ctypes.c_void_p, ctypes.c_float, ctypes.c_int, ctypes.c_int]
    lf.lf_modifier_initialize.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_float,
                                          ctypes.c_float, ctypes.c_float, ctypes.c_float, ctypes.c_int,
                                          ctypes.c_int, ctypes.c_int]
    lf.lf_modifier_apply_geometry_distortion.argtypes = [ctypes.c_void_p, ctypes.c_float, ctypes.c_float,
                                                         ctypes.c_int, ctypes.c_int, ctypes.POINTER(ctypes.c_float)]
    lf.lf_modifier_destroy.argtypes = [ctypes.c_void_p]
    db = lf.lf_db_new()
    lf.lf_db_load(db)
    return lf, db


def find_lens(lf, db, lens):
    cameras = lf.lf_db_find_cameras(db, lens["make"].encode(), lens["model"].encode())
    if not cameras or not cameras[0]:
        raise SystemExit("camera %s %s not in lensfun" % (lens["make"], lens["model"]))
    camera = cameras[0]
    found = lf.lf_db_find_lenses_hd(db, ctypes.cast(camera, ctypes.c_void_p), None, lens["lens_model"].encode(), 0)
    if not found or not found[0]:
        raise SystemExit("lens %s not in lensfun" % lens["lens_model"])
    calib = LfDistortion()
    if not lf.lf_lens_interpolate_distortion(found[0], lens["focal_mm"], ctypes.byref(calib)):
        raise SystemExit("lens %s has no distortion at %s mm" % (lens["lens_model"], lens["focal_mm"]))
    return camera.contents, found[0], calib


def focal_px(photo, crop):
    return photo["lens"]["focal_mm"] * crop / FILM_DIAGONAL * math.hypot(photo["width"], photo["height"])


def lens_map(lf, lens, crop, photo, xs, ys, reverse):
    """lensfun's geometry map at the points (pixel centres at whole numbers):
    reverse 0 gives where an ideal point lies on the photograph, 1 where a
    photograph's point lies in the ideal picture."""
    mod = lf.lf_modifier_new(lens, crop, photo["width"], photo["height"])
    lf.lf_modifier_initialize(mod, lens, LF_PF_U8, photo["lens"]["focal_mm"], 8.0, 1000.0, 1.0, LF_RECTILINEAR,
                              LF_MODIFY_DISTORTION, reverse)
    out = np.empty((len(xs), 2), dtype=np.float64)
    res = (ctypes.c_float * 2)()
    for i, (x, y) in enumerate(zip(xs, ys)):
        lf.lf_modifier_apply_geometry_distortion(mod, float(x), float(y), 1, 1, res)
        out[i] = (res[0], res[1])
    lf.lf_modifier_destroy(mod)
    return out


def lens_map_grid(lf, lens, crop, photo):
    """The ideal picture's place of every photograph pixel, rows of (x, y)."""
    w, h = photo["width"], photo["height"]
    mod = lf.lf_modifier_new(lens, crop, w, h)
    lf.lf_modifier_initialize(mod, lens, LF_PF_U8, photo["lens"]["focal_mm"], 8.0, 1000.0, 1.0, LF_RECTILINEAR,
                              LF_MODIFY_DISTORTION, 1)
    res = (ctypes.c_float * (2 * w * h))()
    lf.lf_modifier_apply_geometry_distortion(mod, 0.0, 0.0, w, h, res)
    lf.lf_modifier_destroy(mod)
    return np.frombuffer(res, dtype=np.float32).astype(np.float64).reshape(h, w, 2)


def wide_size(lf, db, photo):
    camera, lens, _ = find_lens(lf, db, photo["lens"])
    grid = lens_map_grid(lf, lens, camera.CropFactor, photo)
    cx, cy = (photo["width"] - 1) / 2.0, (photo["height"] - 1) / 2.0
    reach_x = np.abs(grid[:, :, 0] - cx).max()
    reach_y = np.abs(grid[:, :, 1] - cy).max()
    return 2 * (int(math.ceil(reach_x)) + WIDE_MARGIN), 2 * (int(math.ceil(reach_y)) + WIDE_MARGIN), camera


def command_wide(scenes_path, out_path):
    lf, db = lensfun()
    with open(scenes_path) as f:
        scenes = json.load(f)
    wide = {"defaults": dict(scenes.get("defaults", {}), format="png"), "photos": []}
    for photo in scenes["photos"]:
        w, h, camera = wide_size(lf, db, photo)
        f = focal_px(photo, camera.CropFactor)
        scene = {k: v for k, v in photo.items() if k not in ("lens", "exif", "width", "height")}
        scene.update(width=w, height=h, hfov_deg=2.0 * math.degrees(math.atan(max(w, h) / 2.0 / f)))
        wide["photos"].append(scene)
        print("%s: wide render %d x %d, focal %.3f px" % (photo["name"], w, h, f))
    with open(out_path, "w") as f:
        json.dump(wide, f, indent=1)


def read_rgb(path):
    ppm = subprocess.run(["convert", path, "-alpha", "off", "-depth", "8", "ppm:-"], check=True,
                         stdout=subprocess.PIPE).stdout
    fields, at = [], 0
    while len(fields) < 4:
        while ppm[at:at + 1].isspace():
            at += 1
        start = at
        while not ppm[at:at + 1].isspace():
            at += 1
        fields.append(ppm[start:at])
    w, h = int(fields[1]), int(fields[2])
    return np.frombuffer(ppm[at + 1:at + 1 + 3 * w * h], dtype=np.uint8).reshape(h, w, 3).astype(np.float64)


def write_jpeg(path, rgb, quality):
    h, w = rgb.shape[:2]
    data = b"P6\n%d %d\n255\n" % (w, h) + np.clip(np.rint(rgb), 0, 255).astype(np.uint8).tobytes()
    subprocess.run(["convert", "ppm:-", "-quality", str(quality), "-sampling-factor", "1x1", path], input=data,
                   check=True)


def bilinear(picture, x, y):
    """The picture at (x, y), pixel centres at whole numbers."""
    h, w = picture.shape[:2]
    x = np.clip(x, 0.0, w - 1.000001)
    y = np.clip(y, 0.0, h - 1.000001)
    ix, iy = np.floor(x).astype(int), np.floor(y).astype(int)
    tx, ty = (x - ix)[..., None], (y - iy)[..., None]
    top = picture[iy, ix] * (1.0 - tx) + picture[iy, ix + 1] * tx
    bottom = picture[iy + 1, ix] * (1.0 - tx) + picture[iy + 1, ix + 1] * tx
    return top * (1.0 - ty) + bottom * ty


def exif_tags(photo, f):
    lens = photo["lens"]
    tags = {"Make": lens["make"], "Model": lens["model"], "LensModel": lens["lens_model"],
            "FocalLength": lens["focal_mm"]}
    if lens["exif"] == "focal_plane":
        # FocalLength / 25.4 mm x resolution = f: the sensor's pixels per inch.
        resolution = f / lens["focal_mm"] * 25.4
        tags.update(FocalPlaneXResolution=resolution, FocalPlaneYResolution=resolution,
                    FocalPlaneResolutionUnit="inches")
    return tags


def distorted_truth(lf, lens, crop, photo, truth, wide_w, wide_h, calib, camera):
    w, h = photo["width"], photo["height"]
    f = truth["camera"]["focal_length_px"]
    # Pinhole points of the wide render, centre (wide / 2) to centre (photo / 2),
    # then through the lens; lensfun's pixel centres are whole numbers.
    shift_x, shift_y = (wide_w - w) / 2.0, (wide_h - h) / 2.0
    it = truth["image_truth"]
    undistorted = {}
    for key in ("disc_centre_px", "stick_top_px", "shadow_tip_px"):
        if key in it:
            x, y = it[key][0] - shift_x, it[key][1] - shift_y
            undistorted[key] = [x, y]
            p = lens_map(lf, lens, crop, photo, [x - 0.5], [y - 0.5], 0)[0]
            it[key] = [p[0] + 0.5, p[1] + 0.5]
    if "ellipse_px" in it:
        e = it.pop("ellipse_px")
        e["cx"] -= shift_x
        e["cy"] -= shift_y
        it["ellipse_px_undistorted"] = e
    it["undistorted_px"] = undistorted
    # The samples' world has the disc's centre at its origin.
    cx, cz = photo.get("disc", {}).get("centre", [0.0, 0.0])
    for key in ("position", "look_at"):
        truth["camera"][key] = [truth["camera"][key][0] - cx, truth["camera"][key][1], truth["camera"][key][2] - cz]
    truth["marker"]["centre"] = [0.0, truth["marker"]["top_height"], 0.0]
    truth["file"] = photo["name"] + ".jpg"
    truth["scene_id"] = photo["name"]
    truth["variant"] = "cycles, through the lens' distortion with lensfun"
    truth["image"] = {"width": w, "height": h}
    truth["camera"]["hfov_deg"] = 2.0 * math.degrees(math.atan(max(w, h) / 2.0 / f))
    truth["camera"]["vfov_deg"] = 2.0 * math.degrees(math.atan(min(w, h) / 2.0 / f))
    truth["camera"]["barrel_distortion"] = 1
    truth["exif"] = exif_tags(photo, f)
    model = {1: "poly3", 2: "poly5", 3: "ptlens"}.get(calib.Model, "none")
    truth["distortion"] = {"camera": camera.Model.decode(), "lens": photo["lens"]["lens_model"],
                           "focal_mm": photo["lens"]["focal_mm"], "model": model,
                           "terms": [float(t) for t in calib.Terms], "crop": float(crop)}
    return truth


def command_distort(scenes_path, wide_dir, out_dir, only):
    lf, db = lensfun()
    with open(scenes_path) as f:
        scenes = json.load(f)
    quality = scenes.get("defaults", {}).get("jpeg_quality", 92)
    os.makedirs(out_dir, exist_ok=True)
    for photo in scenes["photos"]:
        name = photo["name"]
        if only and name not in only:
            continue
        camera, lens, calib = find_lens(lf, db, photo["lens"])
        crop = camera.CropFactor
        wide = read_rgb(os.path.join(wide_dir, name + ".png"))
        wide_h, wide_w = wide.shape[:2]
        grid = lens_map_grid(lf, lens, crop, photo)
        # The photo's centre (w - 1) / 2 is the wide render's (W - 1) / 2.
        x = grid[:, :, 0] + (wide_w - photo["width"]) / 2.0
        y = grid[:, :, 1] + (wide_h - photo["height"]) / 2.0
        path = os.path.join(out_dir, name + ".jpg")
        write_jpeg(path, bilinear(wide, x, y), quality)
        with open(os.path.join(wide_dir, name + ".json")) as f:
            truth = json.load(f)
        truth = distorted_truth(lf, lens, crop, photo, truth, wide_w, wide_h, calib, camera)
        subprocess.run(["exiftool", "-q", "-overwrite_original"] +
                       ["-%s=%s" % (k, v) for k, v in truth["exif"].items()] + [path], check=True)
        with open(os.path.join(out_dir, name + ".json"), "w") as f:
            json.dump(truth, f, indent=1)
        print("distorted %s" % path)


def main():
    args = sys.argv[1:]
    if len(args) == 3 and args[0] == "wide":
        command_wide(args[1], args[2])
    elif len(args) >= 4 and args[0] == "distort":
        command_distort(args[1], args[2], args[3], set(args[4:]))
    else:
        raise SystemExit(__doc__)


main()
