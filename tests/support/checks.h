// Checks that several test programs share: numbers as the result file prints
// them, and an ellipse record that a failed operation must leave alone.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ellipse/ellipse.h"

// "%f" with six decimals, as "temp.ini" holds it; -0 prints as 0.
inline std::string Six(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value + 0.0);
    return text;
}

// Values no operation computes, to show that an output was not written.
const EllipseParams kUntouched = {-1.0, -2.0, -3.0, -4.0, -5.0};

inline void ExpectUntouched(const EllipseParams &e)
{
    EXPECT_EQ(e.cx, kUntouched.cx);
    EXPECT_EQ(e.cy, kUntouched.cy);
    EXPECT_EQ(e.a, kUntouched.a);
    EXPECT_EQ(e.b, kUntouched.b);
    EXPECT_EQ(e.angle, kUntouched.angle);
}
