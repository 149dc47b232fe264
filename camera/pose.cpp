#include <cmath>

#include "camera/camera.h"
#include "common/numeric.h"

// The marker radius is 60 steps of 0.05 scene units: the semi-axis a spans
// 3 scene units at the marker, which fixes the scale of the position.
const double kMarkerRadiusSteps = 60.0;     // steps per marker radius
const double kSceneUnitsPerStep = 0.05;     // scene units per step
// Focal length of the model camera, canvas pixels; times the ratio it is in work pixels.
const double kFocalLengthCanvas = 375.0;

int InvertMatrix3(Matrix3 *matrix)
{
    double *e = matrix->m;
    const double m00 = e[0], m01 = e[1], m02 = e[2];
    const double m10 = e[3], m11 = e[4], m12 = e[5];
    const double m20 = e[6], m21 = e[7], m22 = e[8];

    const double det = m00 * (m11 * m22 - m12 * m21) - m01 * (m10 * m22 - m12 * m20) + m02 * (m10 * m21 - m11 * m20);
    // Only an exact zero is refused; a determinant that is not a number goes
    // on, and SolveCameraPose catches what it produces.
    if (det == 0.0)
        return 0;

    // Adjugate (transposed cofactors) over the determinant.
    e[0] = (m11 * m22 - m12 * m21) / det;
    e[1] = (m02 * m21 - m01 * m22) / det;
    e[2] = (m01 * m12 - m02 * m11) / det;
    e[3] = (m12 * m20 - m10 * m22) / det;
    e[4] = (m00 * m22 - m02 * m20) / det;
    e[5] = (m02 * m10 - m00 * m12) / det;
    e[6] = (m10 * m21 - m11 * m20) / det;
    e[7] = (m01 * m20 - m00 * m21) / det;
    e[8] = (m00 * m11 - m01 * m10) / det;
    return 1;
}

static int IsFinitePose(const CameraPose &pose)
{
    return std::isfinite(pose.dollyX) && std::isfinite(pose.dollyY) && std::isfinite(pose.dollyZ) &&
           std::isfinite(pose.yaw) && std::isfinite(pose.pitch) && std::isfinite(pose.roll);
}

// A circle seen at tilt phi from its normal shows as an ellipse with
// b / a = cos(phi) = w, and t = sin(phi). The marker's frame has columns
//   u = (c, 0, s)                 the a axis in the image plane,
//   n = (0, t, w) turned by theta the plane's normal,
//   n x u                         the third axis,
// with c = cos(theta), s = sin(theta). For 0 <= w <= 1 this M is a rotation,
// so its inverse N is its transpose: pitch = atan2(-w, t) in [-pi/2, 0] and
// roll = theta brought into [-pi, pi].
//
// The marker's offset from the raster centre and the focal length, each over
// the semi-axis a and scaled to scene units, give the marker in camera space
// as (X, Z, Y) (depth second); carried through N and negated it is the camera
// in the marker's frame.
int SolveCameraPose(EllipseParams ellipse, int workWidth, int workHeight, double ratio, CameraPose *pose)
{
    const double c = std::cos(ellipse.angle);
    const double s = std::sin(ellipse.angle);
    double w = 0.0;
    double t = 1.0;
    if (ellipse.a != 0.0) {
        w = ellipse.b / ellipse.a;
        t = std::sqrt(1.0 - w * w);
    }

    Matrix3 frame;
    frame.m[0] = c;
    frame.m[1] = t * s;
    frame.m[2] = -s * w;
    frame.m[3] = 0.0;
    frame.m[4] = w * c * c + w * s * s;
    frame.m[5] = t;
    frame.m[6] = s;
    frame.m[7] = -t * c;
    frame.m[8] = w * c;
    if (!InvertMatrix3(&frame))
        return 0;
    const double *n = frame.m;

    CameraPose solved;
    solved.yaw = 0.0;
    solved.pitch = std::atan2(-n[4], n[7]);
    solved.roll = std::atan2(n[2], n[0]);

    const double halfWidth = static_cast<double>(workWidth / 2);
    const double halfHeight = static_cast<double>(workHeight / 2);
    const double x = (ellipse.cx - halfWidth) * kMarkerRadiusSteps / ellipse.a * kSceneUnitsPerStep;
    const double y = (ellipse.cy - halfHeight) * kMarkerRadiusSteps / ellipse.a * kSceneUnitsPerStep;
    const double z = ratio * (-kFocalLengthCanvas) * kMarkerRadiusSteps / ellipse.a * kSceneUnitsPerStep;
    solved.dollyX = -(n[0] * x + n[1] * z + n[2] * y);
    solved.dollyY = -(n[3] * x + n[4] * z + n[5] * y);
    solved.dollyZ = -(n[6] * x + n[7] * z + n[8] * y);

    // b > a (no real tilt), a = 0 (no scale) or a non-finite input leave
    // some field not a number or infinite: that is no pose.
    if (!IsFinitePose(solved))
        return 0;
    *pose = solved;
    return 1;
}
