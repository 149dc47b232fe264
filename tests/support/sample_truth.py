"""The samples' ground truth in the frame every Quillmarsh number speaks of.

The samples' JSON describe a world with y up (+x right and +z up the page seen
from above). The tool's frame is aligned with the camera: origin at the disc's
centre, forward = the camera's viewing direction with its height dropped,
right = the horizontal direction to the camera's right, up = world up. In it

    pitch  = asin(forward . up)                 the optical axis above the horizon
    roll   = the sample's roll (positive turns the picture clockwise)
    (dollyX, dollyY, dollyZ) = (p . right, p . up, -p . forward_h)
    xrot   = -sun elevation
    yrot   = atan2(s . right, -s . forward_h)   from the backward axis toward the right

with p the camera's position and s the direction toward the sun.
"""
import json
import math


def _unit(v):
    n = math.sqrt(sum(c * c for c in v))
    return [c / n for c in v]


def _dot(a, b):
    return sum(x * y for x, y in zip(a, b))


def truth_in_tool_frame(sample):
    """The sample's truth as the tool's numbers (degrees, scene units).

    `sample` is the parsed JSON or a path to it. Returns a dict with "camera"
    (yaw, pitch, roll, dollyX, dollyY, dollyZ), "light" (xrot, yrot; absent
    when the sample has no sun), "distance" and "fov" (degrees along the long
    side)."""
    if isinstance(sample, str):
        with open(sample) as f:
            sample = json.load(f)
    cam = sample["camera"]
    fx, fy, fz = cam["forward"]
    forward_h = _unit([fx, 0.0, fz])
    # Seen from above (+x right, +z up the page) the right of a horizontal
    # direction (x, z) is (z, -x).
    right = [forward_h[2], 0.0, -forward_h[0]]
    p = cam["position"]
    camera = {
        "yaw": 0.0,
        "pitch": math.degrees(math.asin(max(-1.0, min(1.0, fy)))),
        "roll": float(cam["roll_deg"]),
        "dollyX": _dot(p, right),
        "dollyY": p[1],
        "dollyZ": -_dot(p, forward_h),
    }
    # The field of view along the long side, which is how the tool reports a
    # lens whatever the picture's orientation.
    long_side = max(sample["image"]["width"], sample["image"]["height"])
    fov = math.degrees(2.0 * math.atan(long_side / 2.0 / float(cam["focal_length_px"])))
    out = {"camera": camera,
           "distance": math.sqrt(sum(c * c for c in p)),
           "fov": fov}
    sun = sample.get("sun")
    if sun and sun.get("direction_to_sun"):
        s = sun["direction_to_sun"]
        out["light"] = {"xrot": -float(sun["elevation_deg"]),
                        "yrot": math.degrees(math.atan2(_dot(s, right), -_dot(s, forward_h)))}
    return out


if __name__ == "__main__":
    import sys
    for path in sys.argv[1:]:
        print(path, json.dumps(truth_in_tool_frame(path)))
