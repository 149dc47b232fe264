// Camera pose: orientation and position of the camera relative to the marker,
// from the fitted ellipse, and the 3 x 3 inversion that serves it.
#pragma once

#include "ellipse/ellipse.h"

struct CameraPose {
    double dollyX;  // scene units, sideways offset
    double dollyY;  // scene units, height above the marker plane
    double dollyZ;  // scene units, distance along the plane
    double yaw;     // radians, always 0
    double pitch;   // radians, -pi/2 face-on, toward 0 edge-on
    double roll;    // radians, in [-pi, pi]
};

// Row-major; element (i, j) at index 3 * i + j.
struct Matrix3 {
    double m[9];
};

// In-place inverse by cofactors; 0 (matrix unchanged) when the determinant is zero.
int InvertMatrix3(Matrix3 *matrix);
// 1 with all six fields written; 0 with *pose untouched when the orientation
// cannot be inverted or any field would not be finite.
int SolveCameraPose(EllipseParams ellipse, int workWidth, int workHeight, double ratio, CameraPose *pose);
