"""The launcher's JSON read and checked whole, the plan of what to apply, and
the marker's scale; plain Python, without Blender."""

import json
import math

from .distortion import DistortionError, read_distortion

# The tool's own lens: a focal length of 375 pixels for 320 pixels of the long
# side, 2 * atan(160 / 375) = 46.2127 degrees along the long side.
CLASSIC_FOV_DEG = math.degrees(2.0 * math.atan(160.0 / 375.0))
NUMBERS_MARKER_DIAMETER = 6.0   # units: the disc the numbers are measured in has radius 3

# Limits past which a number can not come from a measurement of the marker.
MAX_DISTANCE = 1.0e5            # units, any one coordinate of the camera
MIN_HEIGHT = 1.0e-3             # units, the camera above the marker plane
YAW_TOLERANCE_DEG = 1.0e-3      # the frame is aligned with the camera: yaw is 0
MIN_FOV_DEG = 1.0               # degrees along the long side
MAX_FOV_DEG = 179.0
MAX_MARKER_DIAMETER = 1.0e4     # units
MAX_RESULT_BYTES = 1 << 20      # the launcher's JSON is a few hundred bytes

LIGHT_KEYS = ("xrot", "yrot")
ESTIMATES = ("refined", "classic")


class MatchError(Exception):
    """A reason to leave the scene as it is; its text is shown to the user."""


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


# ---------------------------------------------------------------- the light's strength and colour

DEFAULT_MARKER_ALBEDO = 0.8     # the disc's reflectance the command assumes
MAX_SUN_STRENGTH = 1.0e6        # W/m^2, far above any daylight at any exposure


def _triple(record, key, where, low, high):
    values = record.get(key)
    if not isinstance(values, list) or len(values) != 3:
        raise MatchError("%s.%s in the result is not three numbers" % (where, key))
    return tuple(_number({key: v}, key, where, low, high) for v in values)


def _illumination(record):
    """The refined record's illumination: None when absent, {"note"} alone
    when the disc gave no light, else its numbers."""
    where = "refined.illumination"
    if record is None:
        return None
    if not isinstance(record, dict):
        raise MatchError("the %s record in the result is not an object" % where)
    note = record.get("note") if isinstance(record.get("note"), str) else ""
    if "sun_strength" not in record:
        return {"note": note}
    clipped = record.get("clipped")
    if not isinstance(clipped, bool):
        raise MatchError("%s.clipped in the result is not true or false" % where)
    return {
        "shadow_ratio": _triple(record, "shadow_ratio", where, 0.0, 1.0),
        "sun_strength": _number(record, "sun_strength", where, 0.0, MAX_SUN_STRENGTH),
        "sun_color": _triple(record, "sun_color", where, 0.0, 1.0),
        "sky_color": _triple(record, "sky_color", where, 0.0, MAX_SUN_STRENGTH),
        "albedo": _triple(record, "albedo", where, 1.0e-6, 1.0),
        "clipped": clipped,
        "note": note,
    }


def parse_albedo(text):
    """A disc albedo "A" or "R,G,B", each in (0, 1], as three floats; MatchError otherwise."""
    words = str(text).split(",")
    try:
        values = [float(w) for w in words]
    except ValueError:
        values = []
    if len(values) not in (1, 3) or not all(math.isfinite(v) and 0.0 < v <= 1.0 for v in values):
        raise MatchError("the marker albedo takes A or R,G,B, each above 0 and at most 1, not %s" % text)
    return tuple(values * 3 if len(values) == 1 else values)


def matched_light(illumination, albedo=None):
    """Sun strength, sun colour and sky colour for a disc of `albedo` (three
    values; None: the one the record was computed for). Both the sun's
    strength times colour and the sky scale as 1 / albedo per channel."""
    measured = illumination["albedo"]
    albedo = measured if albedo is None else albedo
    sun = [illumination["sun_strength"] * c * m / a
           for c, m, a in zip(illumination["sun_color"], measured, albedo)]
    strength = max(sun)
    return {
        "sun_strength": strength,
        "sun_color": tuple(v / strength for v in sun) if strength > 0.0 else (1.0, 1.0, 1.0),
        "sky_color": tuple(s * m / a for s, m, a in zip(illumination["sky_color"], measured, albedo)),
        "clipped": illumination["clipped"],
    }


def _light_plan(refined, light_match, albedo, notes):
    """The light's strength and colour to apply, or None (with the reason in notes)."""
    if not light_match:
        return None
    illumination = refined.get("illumination") if refined is not None else None
    if illumination is None:
        notes.append("the result has no light strength and colour: only the light's direction is matched")
        return None
    if "sun_strength" not in illumination:
        notes.append("the light's strength and colour are not matched: %s" % illumination["note"])
        return None
    if illumination["clipped"]:
        notes.append("the photo's disc is overexposed: the sun is at least this strong; expose for the white disc")
    return matched_light(illumination, albedo)


def _distortion(record):
    """The lens profile the refined points were undistorted with, or None."""
    try:
        return read_distortion(record)
    except DistortionError as error:
        raise MatchError("refined.distortion: %s" % error)


def read_result(text):
    """The launcher's JSON, checked whole: {"camera", "light" or None, "refined"
    or None, "refined_failed": the refined record's note when the refined step
    found no camera (its checks refused it, or it could not measure), else
    None}. Raises MatchError naming the first problem."""
    try:
        result = json.loads(text)
    except ValueError as error:
        raise MatchError("the result is not JSON (%s)" % error)
    if not isinstance(result, dict):
        raise MatchError("the result is not a JSON object")
    checked = {"camera": _camera(result.get("camera"), "camera"), "light": None, "refined": None,
               "refined_failed": None}
    if result.get("light") is not None:
        checked["light"] = _light(result["light"], "light")
    refined = result.get("refined")
    if refined is not None:
        if not isinstance(refined, dict):
            raise MatchError("the refined record in the result is not an object")
        if "camera" not in refined and isinstance(refined.get("note"), str):
            checked["refined_failed"] = refined["note"] or "the refined step found no camera"
            return checked
        light = refined.get("light")
        keys = ()
        if light is not None:
            # the refined light may carry only its bearing
            keys = LIGHT_KEYS if isinstance(light, dict) and "xrot" in light else ("yrot",)
        checked["refined"] = {
            "camera": _camera(refined.get("camera"), "refined.camera"),
            "light": _light(light, "refined.light", keys) if light is not None else None,
            "fov": _number(refined, "fov", "refined", MIN_FOV_DEG, MAX_FOV_DEG),
            "illumination": _illumination(refined.get("illumination")),
            "distortion": _distortion(refined.get("distortion")),
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


def make_plan(result, estimate=None, strict=False, light_match=True, albedo=None):
    """What to apply: {"estimate", "camera", "light" (None: leave every sun
    alone), "fov", "illumination" (the sun's strength and colour and the sky's,
    None: leave them), "notes", and "distortion" (read_distortion's) when the
    refined numbers were measured through a lens profile}. estimate None or "refined" takes the refined
    record when present; strict makes its absence an error (an estimate asked
    for). light_match takes the light's strength and colour from the refined
    record, rescaled to the disc's albedo when given (three values)."""
    if estimate not in (None,) + ESTIMATES:
        raise MatchError("unknown estimate %r (refined or classic)" % estimate)
    notes = []
    refined = result["refined"]
    failed = result.get("refined_failed")
    if failed is not None:
        # a refined record its own checks refused is never applied; the
        # classic numbers only when chosen, saying why
        if estimate != "classic":
            raise MatchError("the refined check failed (%s); choose the classic estimate to use the dialog's numbers"
                             % failed)
        notes.append("the refined check failed: %s" % failed)
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
        # The photo's lens distortion goes with the numbers measured through it.
        if refined.get("distortion") is not None:
            plan["distortion"] = refined["distortion"]
    if result["light"] is None:
        plan["notes"].append("no shadow was found, so no sun was made or changed")
    plan["illumination"] = None
    if plan["estimate"] == "refined" and plan["light"] is not None:
        plan["illumination"] = _light_plan(refined, light_match, albedo, plan["notes"])
    elif light_match and plan["light"] is not None and refined is not None and refined.get("illumination"):
        # its strength is read for the refined sun's elevation
        plan["notes"].append("the light's strength and colour come with the refined estimate: only the direction "
                             "is matched")
    return plan


def marker_scale(diameter):
    """Scene units per unit of the numbers: a marker of `diameter` scene units
    against the numbers' own diameter of 6."""
    if isinstance(diameter, bool) or not isinstance(diameter, (int, float)) or not math.isfinite(diameter) \
            or not 0.0 < diameter <= MAX_MARKER_DIAMETER:
        raise MatchError("the marker diameter must be a number above 0 and at most %g" % MAX_MARKER_DIAMETER)
    return float(diameter) / NUMBERS_MARKER_DIAMETER
