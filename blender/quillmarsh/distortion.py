"""The photo's lens distortion as Blender's tracking camera carries it: the
lens database's profile that the measurement reports, fitted by Blender's
Brown model (radial terms only) over the frame, and the overscan its render needs; plain
Python, without Blender.

The profile (lensfun's models) maps an ideal pinhole point at radius r_u to
the photo's radius r_d = r_u s(r_u / U), U the record's radius_unit_px:
  poly3  s(r) = 1 - k1 + k1 r^2
  poly5  s(r) = 1 + k1 r^2 + k2 r^4
  ptlens s(r) = a r^3 + b r^2 + c r + 1 - a - b - c
Blender's Brown model (no tangential terms) distorts a point of its camera
at t = r / f (f its focal length in pixels) to r (1 + k1 t^2 + ... + k4 t^8);
it has no term that scales the centre, which the profile may (s(0) != 1), so
the CG camera takes that scale in its focal length: with f_cg = g f and
t = r_u / f,
  r_d = g r_u (1 + k1 t^2 + k2 t^4 + k3 t^6 + k4 t^8),
linear in (g, g k1, ..., g k4): fitted over the ideal radii the photo's frame
reaches. The odd powers of lensfun's ptlens model are what an even series
misses; four terms keep that under a pixel on wide zooms at 1600 pixels.
"""

import math

MODEL_TERMS = {"poly3": 1, "poly5": 2, "ptlens": 3}
TERMS = 4                   # radial terms of Blender's Brown model
FIT_SAMPLES = 400           # ideal radii from the centre to past the farthest corner
FIT_REACH = 1.02            # share past the farthest corner's ideal radius that the fit covers
OVERSCAN_MARGIN_PX = 4.0    # photo pixels of render kept past the farthest point the lens maps in
LAWSON_ROUNDS = 60          # reweightings toward the minimax fit
NEWTON_STEPS = 60
NEWTON_TOLERANCE = 1e-12    # normalised radius


class DistortionError(Exception):
    """A profile that can not be carried to Blender; its text says why."""


def _scale(model, terms, r):
    """s(r) and ds/dr of the profile at the normalised radius r."""
    if model == "poly3":
        k1 = terms[0]
        return 1.0 - k1 + k1 * r * r, 2.0 * k1 * r
    if model == "poly5":
        k1, k2 = terms[0], terms[1]
        return 1.0 + k1 * r * r + k2 * r ** 4, 2.0 * k1 * r + 4.0 * k2 * r ** 3
    a, b, c = terms
    return a * r ** 3 + b * r * r + c * r + 1.0 - a - b - c, 3.0 * a * r * r + 2.0 * b * r + c


def read_distortion(record):
    """The refined record's "distortion" checked: {"model", "terms", "unit",
    "lens", "camera"}; None when absent. DistortionError when it is not one."""
    if record is None:
        return None
    if not isinstance(record, dict):
        raise DistortionError("the distortion record is not an object")
    model, terms, unit = record.get("model"), record.get("terms"), record.get("radius_unit_px")
    if model not in MODEL_TERMS:
        raise DistortionError("unknown distortion model %r" % (model,))
    if not isinstance(terms, list) or len(terms) != MODEL_TERMS[model] or not all(
            isinstance(t, (int, float)) and not isinstance(t, bool) and math.isfinite(t) for t in terms):
        raise DistortionError("the %s model takes %d finite terms" % (model, MODEL_TERMS[model]))
    if isinstance(unit, bool) or not isinstance(unit, (int, float)) or not math.isfinite(unit) or unit <= 0.0:
        raise DistortionError("the distortion record has no radius unit")
    return {"model": model, "terms": [float(t) for t in terms], "unit": float(unit),
            "lens": str(record.get("lens", "")), "camera": str(record.get("camera", ""))}


def photo_radius(distortion, r_u):
    """The photo's radius in pixels of an ideal point r_u pixels from the centre."""
    s, _ = _scale(distortion["model"], distortion["terms"], r_u / distortion["unit"])
    return r_u * s


def ideal_radius(distortion, r_d):
    """The ideal radius of a photo point r_d pixels from the centre, by Newton's
    method; DistortionError when the profile folds back before it."""
    unit, model, terms = distortion["unit"], distortion["model"], distortion["terms"]
    target = r_d / unit
    r = target
    for _ in range(NEWTON_STEPS):
        s, slope = _scale(model, terms, r)
        growth = s + r * slope
        if not growth > 0.0:
            break
        step = (r * s - target) / growth
        r -= step
        if abs(step) <= NEWTON_TOLERANCE * max(1.0, r):
            return r * unit
    raise DistortionError("the lens profile does not map the photo one to one")


def _solve(a, b):
    """Gaussian elimination with partial pivoting on a small dense system."""
    n = len(b)
    m = [row[:] + [b[i]] for i, row in enumerate(a)]
    for col in range(n):
        pivot = max(range(col, n), key=lambda i: abs(m[i][col]))
        if abs(m[pivot][col]) < 1e-300:
            raise DistortionError("the fit to Blender's model is singular")
        m[col], m[pivot] = m[pivot], m[col]
        for i in range(col + 1, n):
            f = m[i][col] / m[col][col]
            for j in range(col, n + 1):
                m[i][j] -= f * m[col][j]
    x = [0.0] * n
    for i in reversed(range(n)):
        x[i] = (m[i][n] - sum(m[i][j] * x[j] for j in range(i + 1, n))) / m[i][i]
    return x


def _weighted_fit(rows, targets, weights):
    """Weighted least squares of the columns; columns scaled to unit size keep
    the normal equations well conditioned."""
    n = len(rows[0])
    norms = [math.sqrt(sum(w * row[j] ** 2 for row, w in zip(rows, weights))) for j in range(n)]
    a = [[sum(w * row[i] * row[j] for row, w in zip(rows, weights)) / (norms[i] * norms[j]) for j in range(n)]
         for i in range(n)]
    b = [sum(w * row[i] * t for row, t, w in zip(rows, targets, weights)) / norms[i] for i in range(n)]
    return [v / n for v, n in zip(_solve(a, b), norms)]


def fit_brown(distortion, width, height, focal_px):
    """Blender's Brown model for the profile on a photo width x height whose
    ideal focal length is focal_px: {"scale" g, "k": [k1, k2, k3, k4],
    "residual_px" (the fit's largest miss over the frame, photo pixels),
    "corner_ideal_px" (the farthest corner's ideal radius)}."""
    corner = ideal_radius(distortion, math.hypot(width, height) / 2.0)
    reach = FIT_REACH * corner
    rows, targets = [], []
    for i in range(1, FIT_SAMPLES + 1):
        r = reach * i / FIT_SAMPLES
        t2 = (r / focal_px) ** 2
        rows.append([r * t2 ** j for j in range(TERMS + 1)])
        targets.append(photo_radius(distortion, r))
    # The largest miss is what counts: least squares reweighted by each
    # sample's miss (Lawson's iteration) tends to the minimax fit.
    weights = [1.0 / FIT_SAMPLES] * FIT_SAMPLES
    best = None
    for _ in range(LAWSON_ROUNDS):
        x = _weighted_fit(rows, targets, weights)
        misses = [abs(sum(c * v for c, v in zip(row, x)) - t) for row, t in zip(rows, targets)]
        inside = max(m for row, m in zip(rows, misses) if row[0] <= corner)
        if best is None or inside < best[1]:
            best = (x, inside)
        total = sum(w * m for w, m in zip(weights, misses))
        if not total > 0.0:
            break
        weights = [w * m / total for w, m in zip(weights, misses)]
    x, residual = best
    g = x[0]
    if not g > 0.0:
        raise DistortionError("the fit to Blender's model has no positive scale")
    return {"scale": g, "k": [v / g for v in x[1:]], "residual_px": residual,
            "corner_ideal_px": corner}


def overscan_size(distortion, width, height, scale):
    """The render's size with overscan: width and height grown by an even
    count of steps of (width, height) / gcd, the same factor on both sides,
    until the CG camera (focal g f) reaches every ideal point of the photo's
    border."""
    need = 1.0
    steps = 64
    for i in range(steps + 1):
        for x, y in ((width / 2.0 * i / steps, height / 2.0), (width / 2.0, height / 2.0 * i / steps)):
            r_d = math.hypot(x, y)
            if r_d == 0.0:
                continue
            grow = scale * ideal_radius(distortion, r_d) / r_d
            need = max(need, abs(x) * grow / (width / 2.0), abs(y) * grow / (height / 2.0))
    need += OVERSCAN_MARGIN_PX / (min(width, height) / 2.0)
    g = math.gcd(width, height)
    step_w, step_h = width // g, height // g
    # An even count of steps grows each side by an even count of pixels: the
    # photo then sits at whole pixels in the middle of the render.
    n = max(0, math.ceil((need - 1.0) * g))
    n += n % 2
    return width + n * step_w, height + n * step_h
