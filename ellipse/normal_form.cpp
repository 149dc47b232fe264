#include <cmath>

#include "common/numeric.h"
#include "ellipse/ellipse.h"

// The residual depends on a and b only through their squares, so the fit may
// hand back negative semi-axes or a < b. |a|, |b| describe the same curve, and
// swapping the axes while turning the a direction by a quarter turn does too.
void NormaliseEllipse(EllipseParams *ellipse)
{
    double a = std::fabs(ellipse->a);
    double b = std::fabs(ellipse->b);
    if (b > a) {
        ellipse->a = b;
        ellipse->b = a;
        ellipse->angle = ellipse->angle + kPi / 2.0;
        return;
    }
    ellipse->a = a;
    ellipse->b = b;
}
