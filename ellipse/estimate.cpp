#include <cmath>

#include "common/numeric.h"
#include "ellipse/ellipse.h"

// A farthest point must lie farther than this from the centroid (squared
// work pixels); an outline of coincident points has no direction at all.
const double kMinFarthestSquared = 1e-6;
// Above every squared distance inside the 640 x 640 raster (squared work
// pixels), so the nearest point always sets b.
const double kMaxNearestSquared = 1e6;

// f = u^2/a^2 + v^2/b^2 - 1 with u, v the point's offset from the centre
// along and across the a axis: 0 on the ellipse, -1 at the centre.
double EllipseResidual(EllipseParams ellipse, const OutlinePoint *points, int count)
{
    double c = std::cos(ellipse.angle);
    double s = std::sin(ellipse.angle);
    double a2 = ellipse.a * ellipse.a;
    double b2 = ellipse.b * ellipse.b;
    double sum = 0.0;
    for (int i = 0; i < count; i++) {
        double dx = points[i].x - ellipse.cx;
        double dy = points[i].y - ellipse.cy;
        double u = dx * c + dy * s;
        double v = dx * s - dy * c;
        double f = u * u / a2 + v * v / b2 - 1.0;
        sum += f * f;
    }
    return sum;
}

// The centroid is the centre, the farthest point gives a and the direction
// of the a axis, the nearest point gives b.
int EstimateEllipse(const OutlinePoint *points, int count, EllipseParams *out)
{
    if (count < 1)
        return 0;
    double sumX = 0.0;
    double sumY = 0.0;
    for (int i = 0; i < count; i++) {
        sumX += points[i].x;
        sumY += points[i].y;
    }
    double cx = sumX / count;
    double cy = sumY / count;

    double farthest = kMinFarthestSquared;
    double nearest = kMaxNearestSquared;
    int farthestIndex = -1;
    for (int i = 0; i < count; i++) {
        double dx = points[i].x - cx;
        double dy = points[i].y - cy;
        double d = dx * dx + dy * dy;
        if (d < nearest)
            nearest = d;
        if (d > farthest) {
            farthest = d;
            farthestIndex = i;
        }
    }
    if (farthestIndex < 0)
        return 0;

    // The angle is a line direction, not a ray: atan of the slope gives
    // -pi/2..pi/2 from either side, and a point straight above or below the
    // centre is an upright axis.
    double dx = points[farthestIndex].x - cx;
    double dy = points[farthestIndex].y - cy;
    double angle = dx == 0.0 ? kPi / 2.0 : std::atan(dy / dx);

    out->cx = cx;
    out->cy = cy;
    out->a = std::sqrt(farthest);
    out->b = std::sqrt(nearest);
    out->angle = angle;
    return 1;
}
