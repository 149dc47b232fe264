#include <cmath>
#include <cstdint>

#include "common/numeric.h"
#include "image/image.h"
#include "light/light.h"
#include "marker/marker.h"

// Rings inside the marker, as fractions of the semi-axes: 0.84 first, each
// next one 0.02 less by repeated double subtraction, while the factor stays
// at or above 0.44. The subtraction drifts to 0.4399999999999996 after the
// twentieth ring, so there are exactly 20 rings, 0.84 .. 0.46.
const double kOuterRing = 0.84;       // ring factor
const double kRingStep = 0.02;        // ring factor
const double kInnerRingLimit = 0.44;  // ring factor

const int kBearings = 360;              // whole degrees per turn
const double kFullTurn = 2.0 * kPi;     // radians
// The far sector, behind the centre: the caster shows there, so the shadow
// search leaves it out and the caster height is measured in it.
const int kFarSectorFirst = 165;        // degrees
const int kFarSectorLast = 195;         // degrees
const int kWindowHalfWidth = 12;        // degrees each side of the smoothing window's peak
const int kWindowPeakWeight = 13;       // weight at the peak; 1 at the window's ends
const int kShadowScoreThreshold = 192;  // smoothed dark count a shadow must reach
const int kDarkSamplesNeeded = 2;       // the second dark sample marks the edge

// A work cell exists only inside the 640 x 640 LabelMap.
const int64_t kLabelCells = static_cast<int64_t>(kWorkSide) * kWorkSide;

// The shadow line's dots, as ring factors.
const double kLineStep = 0.02;  // ring factor
// A shadow length is a ring factor; beyond the rim (1) it is no shadow on the
// marker, and a huge length would keep the dotted walk going without end.
const double kLongestShadowLine = 1.0;  // ring factor

// The cell is element y * 640 + x, so an x just outside 0..639 reads the
// neighbouring row; only an index outside the map has no cell. Worked out in
// 64 bits: far-off x and y may cancel into the map while y * 640 overflows int.
static int64_t CellIndex(const RingSamplePoint &sample)
{
    return static_cast<int64_t>(sample.y) * kWorkSide + sample.x;
}

// The sample sits on the ellipse scaled by k, at bearing rho measured from the
// b axis toward the a axis: (u, v) = (a k sin rho, b k cos rho) in the
// ellipse's own axes, turned by theta into the work raster.
int TakeRingSample(EllipseParams ellipse, double k, double bearing, RingSamplePoint *sample)
{
    const double u = (ellipse.a * k) * std::sin(bearing);
    const double v = (ellipse.b * k) * std::cos(bearing);
    const double c = std::cos(ellipse.angle);
    const double s = std::sin(ellipse.angle);
    const double x = ellipse.cx + u * c - v * s;
    const double y = ellipse.cy + u * s + v * c;

    sample->u = u;
    sample->v = v;
    sample->x = 0;
    sample->y = 0;
    int cellX, cellY;
    if (!TruncToInt(x, &cellX) || !TruncToInt(y, &cellY))
        return 0;
    sample->x = cellX;
    sample->y = cellY;
    const int64_t index = CellIndex(*sample);
    return index >= 0 && index < kLabelCells;
}

// 1 when the sample's cell holds no label. A sample without a cell in the
// LabelMap is skipped: it counts as neither dark nor lit, since there is no
// photograph there to say either, and an ellipse reaching beyond the raster
// must not invent a shadow.
static int IsDarkSample(EllipseParams ellipse, double k, double bearing, RingSamplePoint *sample)
{
    if (!TakeRingSample(ellipse, k, bearing, sample))
        return 0;
    return gLabelMap.labels[CellIndex(*sample)] == 0;
}

static int InFarSector(int degree) { return degree >= kFarSectorFirst && degree <= kFarSectorLast; }

// Dark samples per whole-degree bearing over the 20 rings, smoothed with the
// triangular window 1, 2, .., 13, .., 2, 1 that wraps around the turn. The far
// sector is never counted, and as it is wider than the window the peak never
// lies inside it. Ties go to the lowest bearing.
int FindShadowBearing(EllipseParams ellipse, double *bearing)
{
    static int counts[kBearings];
    for (int d = 0; d < kBearings; d++)
        counts[d] = 0;

    RingSamplePoint sample;
    double k = kOuterRing;
    do {
        for (int d = 0; d < kBearings; d++) {
            if (InFarSector(d))
                continue;
            if (IsDarkSample(ellipse, k, RadiansFromDegrees(d), &sample))
                counts[d]++;
        }
        k = k - kRingStep;
    } while (k >= kInnerRingLimit);

    int bestScore = 0;
    int bestDegree = 0;
    for (int j = 0; j < kBearings; j++) {
        int score = 0;
        for (int delta = -kWindowHalfWidth; delta <= kWindowHalfWidth; delta++) {
            const int weight = kWindowPeakWeight - (delta < 0 ? -delta : delta);
            score += weight * counts[(j + delta + kBearings) % kBearings];
        }
        if (score > bestScore) {
            bestScore = score;
            bestDegree = j;
        }
    }
    if (bestScore < kShadowScoreThreshold)
        return 0;
    *bearing = RadiansFromDegrees(bestDegree);
    return 1;
}

// Behind the centre (bearings 165..195) the upright caster shows against the
// marker; the outermost ring on which one of those bearings is dark for the
// second time gives its image length L from the centre. The marker plane is
// tilted by pitch, so an upright length h appears foreshortened relative to
// the plane by tan(-pitch): h = tan(-pitch) L.
int MeasureCasterHeight(EllipseParams ellipse, double pitch, double *height)
{
    static int counts[kFarSectorLast - kFarSectorFirst + 1];
    for (int i = 0; i <= kFarSectorLast - kFarSectorFirst; i++)
        counts[i] = 0;

    RingSamplePoint sample;
    double k = kOuterRing;
    do {
        for (int d = kFarSectorFirst; d <= kFarSectorLast; d++) {
            if (!IsDarkSample(ellipse, k, RadiansFromDegrees(d), &sample))
                continue;
            if (++counts[d - kFarSectorFirst] < kDarkSamplesNeeded)
                continue;
            const double length = std::sqrt(sample.u * sample.u + sample.v * sample.v);
            const double measured = std::tan(-pitch) * length;
            if (!std::isfinite(measured))
                return 0;
            *height = measured;
            return 1;
        }
        k = k - kRingStep;
    } while (k >= kInnerRingLimit);
    return 0;
}

// Walking inward along the shadow, the second dark sample is the shadow's
// tip at distance D from the caster's foot; the light stands at the angle
// whose tangent is height / D, given as an elevation of zero or less.
int MeasureShadow(EllipseParams ellipse, double bearing, double height, double *elevation, double *shadowLength)
{
    RingSamplePoint sample;
    int dark = 0;
    double k = kOuterRing;
    do {
        if (IsDarkSample(ellipse, k, bearing, &sample) && ++dark >= kDarkSamplesNeeded) {
            const double distance = std::sqrt(sample.u * sample.u + sample.v * sample.v);
            const double angle = std::atan(-(height / distance));
            // Height 0 over distance 0 (a marker shrunk to a point) has no angle.
            if (!std::isfinite(angle))
                return 0;
            *elevation = angle;
            *shadowLength = k;
            return 1;
        }
        k = k - kRingStep;
    } while (k >= kInnerRingLimit);
    return 0;
}

// Half a turn on, brought into (-pi, pi]: bearing 0 keeps pi.
double LightBearingFromShadow(double shadowBearing)
{
    double opposite = shadowBearing + kPi;
    if (opposite > kPi)
        opposite = opposite - kFullTurn;
    return opposite;
}

int EstimateLight(EllipseParams ellipse, double pitch, double *xrot, double *yrot, double *shadowLength)
{
    double bearing, height, elevation, length;
    if (!FindShadowBearing(ellipse, &bearing))
        return 0;
    if (!MeasureCasterHeight(ellipse, pitch, &height))
        return 0;
    if (!MeasureShadow(ellipse, bearing, height, &elevation, &length))
        return 0;
    const double opposite = LightBearingFromShadow(bearing);
    if (!std::isfinite(elevation) || !std::isfinite(opposite) || !std::isfinite(length))
        return 0;
    *xrot = elevation;
    *yrot = opposite;
    *shadowLength = length;
    return 1;
}

// The points are the ring samples on the shadow bearing (yrot - pi) at ring
// factors 0, 0.02, .. up to the shadow length: the half turns in the line's
// angle and in yrot cancel.
void DrawShadowLine(Canvas *canvas, EllipseParams ellipse, double yrot, double shadowLength, double ratio)
{
    const double turned = ellipse.angle + kPi;
    if (!(shadowLength >= 0.0 && shadowLength <= kLongestShadowLine))
        return;
    const double c = std::cos(turned);
    const double s = std::sin(turned);
    for (double t = 0.0; t <= shadowLength; t = t + kLineStep) {
        const double u = (ellipse.a * t) * std::sin(yrot);
        const double v = (ellipse.b * t) * std::cos(yrot);
        PlotWorkPoint(canvas, ellipse.cx + u * c - v * s, ellipse.cy + u * s + v * c, ratio, kColourYellow);
    }
}
