#include "distortion/distortion.h"

#include <algorithm>
#include <cmath>

// How far past the photo's corners the map must keep growing: the rim's
// search reaches a little outside the ellipse it samples along.
const double kReachMargin = 1.25;
const int kMonotoneSteps = 512;          // radii checked from 0 to the margin's reach
const int kNewtonSteps = 60;             // most Newton steps on one radius
const double kNewtonTolerance = 1e-13;   // normalised radius, a step that small has converged

const char *DistortionModelName(DistortionModel model)
{
    switch (model) {
    case kDistortionPoly3:
        return "poly3";
    case kDistortionPoly5:
        return "poly5";
    case kDistortionPtLens:
        return "ptlens";
    case kDistortionNone:
        break;
    }
    return "none";
}

int DistortionTermCount(DistortionModel model)
{
    switch (model) {
    case kDistortionPoly3:
        return 1;
    case kDistortionPoly5:
        return 2;
    case kDistortionPtLens:
        return 3;
    case kDistortionNone:
        break;
    }
    return 0;
}

// r_d / r_u at the ideal radius r, and its derivative by r.
static void RadialScale(const DistortionFrame &f, double r, double *scale, double *slope)
{
    const double *t = f.terms;
    switch (f.model) {
    case kDistortionPoly3:
        *scale = 1.0 - t[0] + t[0] * r * r;
        *slope = 2.0 * t[0] * r;
        return;
    case kDistortionPoly5:
        *scale = 1.0 + t[0] * r * r + t[1] * r * r * r * r;
        *slope = 2.0 * t[0] * r + 4.0 * t[1] * r * r * r;
        return;
    case kDistortionPtLens:
        *scale = t[0] * r * r * r + t[1] * r * r + t[2] * r + 1.0 - t[0] - t[1] - t[2];
        *slope = 3.0 * t[0] * r * r + 2.0 * t[1] * r + t[2];
        return;
    case kDistortionNone:
        break;
    }
    *scale = 1.0;
    *slope = 0.0;
}

// d r_d / d r_u = scale + r * slope.
static double Growth(const DistortionFrame &f, double r)
{
    double scale, slope;
    RadialScale(f, r, &scale, &slope);
    return scale + r * slope;
}

int MakeDistortionFrame(const LensDistortion *distortion, uint32_t width, uint32_t height, DistortionFrame *frame)
{
    if (distortion == nullptr || width < 2 || height < 2 || DistortionTermCount(distortion->model) == 0)
        return 0;
    DistortionFrame f;
    f.model = distortion->model;
    for (int i = 0; i < 3; i++) {
        f.terms[i] = i < DistortionTermCount(distortion->model) ? distortion->terms[i] : 0.0;
        if (!std::isfinite(f.terms[i]))
            return 0;
    }
    // Spans between the outer pixel centres, as lensfun measures the frame.
    const double shortSide = static_cast<double>(std::min(width, height)) - 1.0;
    const double aspect = (static_cast<double>(std::max(width, height)) - 1.0) / shortSide;
    const double k = distortion->crop, kc = distortion->calibrationCrop, ac = distortion->calibrationAspect;
    if (!(k > 0.0) || !(kc > 0.0) || !(ac >= 1.0) || !std::isfinite(k) || !std::isfinite(kc) || !std::isfinite(ac))
        return 0;
    f.unitPixels = shortSide / 2.0 / (std::sqrt(ac * ac + 1.0) / std::sqrt(aspect * aspect + 1.0) * kc / k);
    f.centre[0] = width / 2.0;
    f.centre[1] = height / 2.0;
    f.reach = std::hypot(width / 2.0, height / 2.0) / f.unitPixels;
    if (!(f.unitPixels > 0.0) || !std::isfinite(f.unitPixels))
        return 0;
    // The photo's radius grows with the ideal one out past the corners,
    // so each photo point has exactly one ideal point.
    const double reach = kReachMargin * f.reach;
    for (int i = 0; i <= kMonotoneSteps; i++)
        if (!(Growth(f, reach * i / kMonotoneSteps) > 0.0))
            return 0;
    *frame = f;
    return 1;
}

void DistortPoint(const DistortionFrame &f, double x, double y, double *xd, double *yd)
{
    const double dx = (x - f.centre[0]) / f.unitPixels, dy = (y - f.centre[1]) / f.unitPixels;
    double scale, slope;
    RadialScale(f, std::hypot(dx, dy), &scale, &slope);
    *xd = f.centre[0] + dx * scale * f.unitPixels;
    *yd = f.centre[1] + dy * scale * f.unitPixels;
}

int UndistortPoint(const DistortionFrame &f, double xd, double yd, double *x, double *y)
{
    const double dx = (xd - f.centre[0]) / f.unitPixels, dy = (yd - f.centre[1]) / f.unitPixels;
    const double rd = std::hypot(dx, dy);
    if (!std::isfinite(rd))
        return 0;
    if (rd == 0.0) {
        *x = xd;
        *y = yd;
        return 1;
    }
    // Newton on g(r) = r s(r) - r_d, g'(r) = s(r) + r s'(r) > 0 inside the
    // checked reach, from r = r_d.
    const double reach = kReachMargin * f.reach;
    double r = rd;
    for (int step = 0; step < kNewtonSteps; step++) {
        double scale, slope;
        RadialScale(f, r, &scale, &slope);
        const double growth = scale + r * slope;
        if (!(growth > 0.0))
            return 0;
        const double next = r - (r * scale - rd) / growth;
        if (!(next > 0.0 && next <= reach))
            return 0;
        const double change = std::fabs(next - r);
        r = next;
        if (change <= kNewtonTolerance * std::max(1.0, r)) {
            *x = f.centre[0] + dx * (r / rd) * f.unitPixels;
            *y = f.centre[1] + dy * (r / rd) * f.unitPixels;
            return 1;
        }
    }
    return 0;
}
