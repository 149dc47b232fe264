// Numbers every stage shares: pi, the degree conversions, and the one safe
// way of turning a real into a pixel index (truncation toward zero).
#pragma once

#include <cmath>
#include <climits>

// The double nearest to pi; angles are radians inside the program.
const double kPi = 3.141592653589793;
// A half turn in degrees (radians -> degrees is x * 180 / pi, multiplied first).
const double kHalfTurnDegrees = 180.0;

inline double DegreesFromRadians(double radians) { return radians * kHalfTurnDegrees / kPi; }
inline double RadiansFromDegrees(double degrees) { return degrees * kPi / kHalfTurnDegrees; }

// Truncates toward zero into *out. A value that is not finite or whose
// truncation lies outside the int range has no pixel: the conversion would be
// undefined behaviour, so it returns 0 and leaves *out alone.
inline int TruncToInt(double value, int *out)
{
    if (!(value > static_cast<double>(INT_MIN) - 1.0 && value < static_cast<double>(INT_MAX) + 1.0))
        return 0;
    *out = static_cast<int>(value);
    return 1;
}
