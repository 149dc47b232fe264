// Light from the shadow: the shadow's bearing inside the marker ellipse, the
// caster's height and the shadow's length, and the light direction they give.
#pragma once

#include "ellipse/ellipse.h"
#include "image/canvas.h"

struct LightAngles {
    double xrot;  // radians, elevation of the light as an angle <= 0
    double yrot;  // radians, bearing the light comes from, in (-pi, pi]
};

// One sample inside the ellipse at ring factor k and bearing rho (0 along the
// b axis, pi/2 along the a axis).
struct RingSamplePoint {
    double u;  // offset along the a axis, work pixels
    double v;  // offset along the b axis, work pixels
    int x;     // work cell, truncated toward zero
    int y;
};

// Fills *sample (x = y = 0 when the point is too far off for an int cell);
// returns 1 when its cell lies inside the LabelMap, 0 when it has no cell there.
int TakeRingSample(EllipseParams ellipse, double k, double bearing, RingSamplePoint *sample);
// Bearing (radians, whole degrees) where the smoothed count of dark ring
// samples peaks, if that peak reaches 192.
int FindShadowBearing(EllipseParams ellipse, double *bearing);
// Height of the shadow caster in work pixels, from the far sector 165..195.
int MeasureCasterHeight(EllipseParams ellipse, double pitch, double *height);
// Elevation of the light and the ring factor where the shadow ends.
int MeasureShadow(EllipseParams ellipse, double bearing, double height, double *elevation, double *shadowLength);
// The bearing the light comes from, opposite the shadow bearing, in (-pi, pi].
double LightBearingFromShadow(double shadowBearing);
// The light direction; writes all three outputs on success, none on failure.
int EstimateLight(EllipseParams ellipse, double pitch, double *xrot, double *yrot, double *shadowLength);
// Dotted yellow line from the centre along the shadow to its measured end.
void DrawShadowLine(Canvas *canvas, EllipseParams ellipse, double yrot, double shadowLength, double ratio);
