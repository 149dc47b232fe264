"""The rendered reference disc against the photo's disc, for the Blender tests."""
import math


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
