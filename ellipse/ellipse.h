// Ellipse fitting: the ellipse model, the estimate from the outline, the
// Gauss-Newton refinement, the 5 x 5 inversion and the normal form.
#pragma once

#include "image/canvas.h"
#include "marker/marker.h"

// A fitted ellipse, in work pixels; a refined one is not normalised until
// NormaliseEllipse puts it into the form a >= b >= 0.
struct EllipseParams {
    double cx;     // centre, work pixels, x to the right
    double cy;     // centre, work pixels, y downward
    double a;      // semi-axis along angle
    double b;      // semi-axis across angle
    double angle;  // direction of the a axis, radians from +x toward +y
};

// Starting ellipse: centroid, farthest point (a, angle) and nearest point (b).
int EstimateEllipse(const OutlinePoint *points, int count, EllipseParams *out);
// Sum over the points of f^2, f = u^2/a^2 + v^2/b^2 - 1; 0.0 for count < 1.
double EllipseResidual(EllipseParams ellipse, const OutlinePoint *points, int count);
// One Gauss-Newton step (to be subtracted) into step[5], in field order;
// returns 0 when the normal matrix is singular.
int ComputeEllipseStep(EllipseParams ellipse, const OutlinePoint *points, int count, double step[5]);
// Refines the estimate over the OutlineBuffer; 1 with *out written when the
// residual sum settles within 30 steps.
int FitEllipse(EllipseParams *out);
// Dotted axes through the centre, 1.5 semi-axes each way: a blue, b green.
void DrawEllipseAxes(Canvas *canvas, EllipseParams ellipse, double ratio);
// Gauss-Jordan inverse in place, row-major; 0 when a pivot column is all zero.
int InvertMatrix5(double matrix[25]);
// The same ellipse with a = |a|, b = |b| and, when b > a, the axes swapped and
// pi/2 added to angle; an ellipse already in that form is left bit for bit.
void NormaliseEllipse(EllipseParams *ellipse);
