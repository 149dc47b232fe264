#include <cmath>

#include "ellipse/ellipse.h"

const int kParameterCount = 5;     // cx, cy, a, b, angle
const int kMaxFitSteps = 30;       // Gauss-Newton steps
// Converged when one step changes the residual sum by less than this share.
const double kConvergedChange = 0.0001;
const double kHalfStep = 0.5;      // the one fallback when a full step does not help
// The axes reach 1.5 semi-axes to either side of the centre, one dot every
// two canvas pixels.
const double kAxisReach = 1.5;     // semi-axes
const double kDotSpacing = 2.0;    // canvas pixels
// An axis needing more dots than this is not drawable (a non-finite or absurd
// semi-axis, or a ratio that does not advance): it is left out rather than
// walked for ever.
const double kMaxAxisDots = 1e6;

// One row per outline point: the five partial derivatives of f, then f,
// each column contiguous so that the dot products below walk it in order.
struct FitScratch {
    double dfdCx[kMaxOutlinePoints];
    double dfdCy[kMaxOutlinePoints];
    double dfdA[kMaxOutlinePoints];
    double dfdB[kMaxOutlinePoints];
    double dfdAngle[kMaxOutlinePoints];
    double f[kMaxOutlinePoints];
};

static FitScratch sFitScratch;

static double Dot(const double *first, const double *second, int count)
{
    double sum = 0.0;
    for (int i = 0; i < count; i++)
        sum += first[i] * second[i];
    return sum;
}

// Gauss-Newton for min sum f_i^2: with J the Jacobian of f and g = J^T f,
// the linearised minimum lies at p - (J^T J)^-1 g. With
// u = dx cos t + dy sin t, v = dx sin t - dy cos t, f = u^2/a^2 + v^2/b^2 - 1:
//   df/dcx = -2u cos t / a^2 - 2v sin t / b^2
//   df/dcy = -2u sin t / a^2 + 2v cos t / b^2
//   df/da = -2u^2 / a^3,  df/db = -2v^2 / b^3
//   df/dt = 2u(-v) / a^2 + 2uv / b^2   (du/dt = v, dv/dt = -u)
int ComputeEllipseStep(EllipseParams ellipse, const OutlinePoint *points, int count, double step[5])
{
    if (count < 1 || count > kMaxOutlinePoints)
        return 0;
    double a2 = ellipse.a * ellipse.a;
    double a3 = ellipse.a * a2;
    double b2 = ellipse.b * ellipse.b;
    double b3 = ellipse.b * b2;
    double c = std::cos(ellipse.angle);
    double s = std::sin(ellipse.angle);

    FitScratch &rows = sFitScratch;
    for (int i = 0; i < count; i++) {
        double dx = points[i].x - ellipse.cx;
        double dy = points[i].y - ellipse.cy;
        double u = dx * c + dy * s;
        double v = dx * s - dy * c;
        rows.f[i] = u * u / a2 + v * v / b2 - 1.0;
        rows.dfdCx[i] = -2.0 * u * c / a2 - 2.0 * v * s / b2;
        rows.dfdCy[i] = -2.0 * u * s / a2 + 2.0 * v * c / b2;
        rows.dfdA[i] = -2.0 * (u * u) / a3;
        rows.dfdB[i] = -2.0 * (v * v) / b3;
        rows.dfdAngle[i] = 2.0 * u * (-v) / a2 + 2.0 * u * v / b2;
    }

    const double *columns[kParameterCount] = {rows.dfdCx, rows.dfdCy, rows.dfdA, rows.dfdB, rows.dfdAngle};
    double gradient[kParameterCount];
    for (int k = 0; k < kParameterCount; k++)
        gradient[k] = Dot(columns[k], rows.f, count);
    double normal[kParameterCount * kParameterCount];
    for (int k = 0; k < kParameterCount; k++)
        for (int m = k; m < kParameterCount; m++) {
            double sum = Dot(columns[k], columns[m], count);
            normal[k * kParameterCount + m] = sum;
            normal[m * kParameterCount + k] = sum;
        }

    // A singular J^T J (a = b exactly leaves the angle undetermined) has no
    // Gauss-Newton step.
    if (!InvertMatrix5(normal))
        return 0;
    for (int k = 0; k < kParameterCount; k++) {
        double sum = 0.0;
        for (int m = 0; m < kParameterCount; m++)
            sum += normal[k * kParameterCount + m] * gradient[m];
        step[k] = sum;
    }
    return 1;
}

static EllipseParams Stepped(EllipseParams from, const double step[5], double share)
{
    EllipseParams to;
    to.cx = from.cx - share * step[0];
    to.cy = from.cy - share * step[1];
    to.a = from.a - share * step[2];
    to.b = from.b - share * step[3];
    to.angle = from.angle - share * step[4];
    return to;
}

int FitEllipse(EllipseParams *out)
{
    const OutlinePoint *points = gOutlineBuffer.points;
    int count = gOutlineBuffer.pointCount;
    EllipseParams current;
    if (!EstimateEllipse(points, count, &current))
        return 0;
    double oldSum = EllipseResidual(current, points, count);

    for (int stepIndex = 0; stepIndex < kMaxFitSteps; stepIndex++) {
        double step[kParameterCount];
        if (!ComputeEllipseStep(current, points, count, step))
            return 0;
        EllipseParams trial = Stepped(current, step, 1.0);
        double newSum = EllipseResidual(trial, points, count);
        if (newSum >= oldSum) {
            trial = Stepped(current, step, kHalfStep);
            newSum = EllipseResidual(trial, points, count);
        }
        current = trial;
        // Only the relative change of the sum decides; an exact fit (0 before
        // and after) has settled too. Non-finite sums never settle.
        if ((oldSum == 0.0 && newSum == 0.0) || std::fabs(oldSum - newSum) / oldSum < kConvergedChange) {
            *out = current;
            return 1;
        }
        oldSum = newSum;
    }
    return 0;
}

// Dots at t = -1.5s, -1.5s + step, ... while t <= 1.5s (t accumulates), with
// step two canvas pixels in work pixels: the a axis along (cos, sin) in blue,
// then the b axis along (-sin, cos) in green.
static void DrawAxis(Canvas *canvas, double cx, double cy, double alongX, double alongY, double semiAxis,
                     double ratio, Colour colour)
{
    double step = kDotSpacing * ratio;
    double bound = kAxisReach * semiAxis;
    if (!((bound + bound) / step <= kMaxAxisDots) || !(step > 0.0))
        return;
    for (double t = -bound; t <= bound; t += step)
        PlotWorkPoint(canvas, cx + t * alongX, cy + t * alongY, ratio, colour);
}

void DrawEllipseAxes(Canvas *canvas, EllipseParams ellipse, double ratio)
{
    double c = std::cos(ellipse.angle);
    double s = std::sin(ellipse.angle);
    DrawAxis(canvas, ellipse.cx, ellipse.cy, c, s, ellipse.a, ratio, kColourBlue);
    DrawAxis(canvas, ellipse.cx, ellipse.cy, -s, c, ellipse.b, ratio, kColourGreen);
}
