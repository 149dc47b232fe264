#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "camera/camera.h"
#include "common/numeric.h"
#include "tests/support/checks.h"

namespace {

// Relative agreement for values that are not quoted to six decimals.
const double kTolerance = 1e-12;

struct PoseCase {
    EllipseParams ellipse;
    const char *pitchDegrees;
    const char *rollDegrees;
    const char *dollyX;
    const char *dollyY;
    const char *dollyZ;
};

// A 640 x 480 raster drawn at ratio 2.
TEST(SolveCameraPose, KnownEllipsesGiveKnownPoses)
{
    const double deg30 = RadiansFromDegrees(30.0);
    const PoseCase cases[] = {
        {{320, 240, 100, 50, 0}, "-30.000000", "0.000000", "0.000000", "11.250000", "19.485572"},
        {{320, 240, 100, 100, 0}, "-90.000000", "0.000000", "0.000000", "22.500000", "0.000000"},
        {{400, 300, 120, 60, deg30}, "-30.000000", "30.000000", "-2.482051", "9.633975", "16.088457"},
    };
    for (const PoseCase &c : cases) {
        CameraPose pose;
        ASSERT_EQ(SolveCameraPose(c.ellipse, 640, 480, 2.0, &pose), 1);
        EXPECT_EQ(pose.yaw, 0.0);
        EXPECT_EQ(Six(DegreesFromRadians(pose.pitch)), c.pitchDegrees);
        EXPECT_EQ(Six(DegreesFromRadians(pose.roll)), c.rollDegrees);
        EXPECT_EQ(Six(pose.dollyX), c.dollyX);
        EXPECT_EQ(Six(pose.dollyY), c.dollyY);
        EXPECT_EQ(Six(pose.dollyZ), c.dollyZ);
    }
}

TEST(SolveCameraPose, RollIsTheAngleBroughtIntoHalfTurnRange)
{
    const struct {
        double angle;
        double roll;
    } cases[] = {{3 * kPi / 2, -kPi / 2}, {-3 * kPi / 2, kPi / 2}, {5 * kPi / 2, kPi / 2}, {-kPi / 4, -kPi / 4}};
    for (const auto &c : cases) {
        CameraPose pose;
        ASSERT_EQ(SolveCameraPose({320, 240, 100, 50, c.angle}, 640, 480, 2.0, &pose), 1);
        EXPECT_NEAR(pose.roll, c.roll, kTolerance) << c.angle;
        EXPECT_NEAR(pose.pitch, -kPi / 6, kTolerance) << c.angle;
    }
}

// Centred, the camera stands 1125 * ratio / a from the marker, whatever the tilt.
TEST(SolveCameraPose, DistanceGrowsWithRatioAndShrinksWithSemiAxis)
{
    const double ratios[] = {1.0, 1.5, 2.0};
    const double axes[] = {40.0, 100.0, 250.0};
    for (double ratio : ratios)
        for (double a : axes) {
            CameraPose pose;
            ASSERT_EQ(SolveCameraPose({320, 320, a, 0.6 * a, 0.7}, 640, 640, ratio, &pose), 1);
            const double distance = std::sqrt(pose.dollyX * pose.dollyX + pose.dollyY * pose.dollyY +
                                              pose.dollyZ * pose.dollyZ);
            EXPECT_NEAR(distance, 1125.0 * ratio / a, kTolerance * distance) << ratio << " " << a;
        }
}

TEST(SolveCameraPose, OddRasterSideCentresOnIntegerHalf)
{
    CameraPose odd, even;
    ASSERT_EQ(SolveCameraPose({319, 239, 100, 50, 0}, 639, 479, 2.0, &odd), 1);
    ASSERT_EQ(SolveCameraPose({320, 240, 100, 50, 0}, 640, 480, 2.0, &even), 1);
    EXPECT_EQ(std::memcmp(&odd, &even, sizeof odd), 0);
}

// Every field must be finite; anything else is no pose, and the caller's
// record stays as it was.
TEST(SolveCameraPose, DegenerateInputFailsAndLeavesPoseUntouched)
{
    const double nan = std::nan("");
    const double inf = INFINITY;
    const struct {
        EllipseParams ellipse;
        double ratio;
    } cases[] = {
        {{320, 240, 0, 0, 0}, 2.0},        // a = 0: no scale
        {{330, 250, 0, 0, 0.5}, 2.0},      // a = 0 off centre
        {{320, 240, 50, 100, 0}, 2.0},     // b > a: no real tilt
        {{320, 240, 1e-320, 0, 0}, 2.0},   // the scale overflows
        {{nan, 240, 100, 50, 0}, 2.0},
        {{320, 240, 100, 50, nan}, 2.0},
        {{inf, 240, 100, 50, 0}, 2.0},
        {{320, 240, 100, 50, 0}, nan},
        {{320, 240, 100, 50, 0}, inf},
    };
    for (const auto &c : cases) {
        CameraPose pose;
        std::memset(&pose, 0x5A, sizeof pose);
        CameraPose before = pose;
        EXPECT_EQ(SolveCameraPose(c.ellipse, 640, 480, c.ratio, &pose), 0)
            << c.ellipse.cx << " " << c.ellipse.a << " " << c.ellipse.b << " " << c.ratio;
        EXPECT_EQ(std::memcmp(&pose, &before, sizeof pose), 0);
    }
}

TEST(InvertMatrix3, ProductWithOriginalIsIdentity)
{
    const Matrix3 original = {{2, -1, 0.5, 3, 4, -2, 0.25, 1, 5}};
    Matrix3 inverse = original;
    ASSERT_EQ(InvertMatrix3(&inverse), 1);
    for (int i = 0; i < 3; i++)
        for (int j = 0; j < 3; j++) {
            double sum = 0.0;
            for (int k = 0; k < 3; k++)
                sum += original.m[3 * i + k] * inverse.m[3 * k + j];
            EXPECT_NEAR(sum, i == j ? 1.0 : 0.0, kTolerance) << i << "," << j;
        }
}

TEST(InvertMatrix3, SingularMatrixFailsUnchanged)
{
    const Matrix3 singular[] = {{{1, 2, 3, 2, 4, 6, 0, 1, 1}}, {{0, 0, 0, 0, 0, 0, 0, 0, 0}}};
    for (const Matrix3 &m : singular) {
        Matrix3 copy = m;
        EXPECT_EQ(InvertMatrix3(&copy), 0);
        EXPECT_EQ(std::memcmp(&copy, &m, sizeof m), 0);
    }
}

}  // namespace
