// The Gauss-Newton refinement over the OutlineBuffer, its failures, and the
// dotted axes of the fitted ellipse.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "common/numeric.h"
#include "ellipse/ellipse.h"
#include "image/canvas_memory.h"
#include "tests/support/test_support.h"
#include "tests/support/checks.h"

namespace {

const double kTolerance = 1e-9;

typedef std::vector<OutlinePoint> Points;

OutlinePoint Point(int x, int y) { return OutlinePoint{static_cast<uint16_t>(x), static_cast<uint16_t>(y)}; }

void SetOutline(const Points &points)
{
    for (size_t i = 0; i < points.size(); i++)
        gOutlineBuffer.points[i] = points[i];
    gOutlineBuffer.pointCount = static_cast<int32_t>(points.size());
}

// Twelve lattice points exactly on x^2/100 + y^2/25 = 1 around (100, 100):
// the estimate is already exact (a = 10, b = 5, angle 0).
Points ExactOutline()
{
    Points points = {Point(110, 100), Point(90, 100), Point(100, 105), Point(100, 95)};
    for (int sx = -1; sx <= 1; sx += 2)
        for (int sy = -1; sy <= 1; sy += 2) {
            points.push_back(Point(100 + 6 * sx, 100 + 4 * sy));
            points.push_back(Point(100 + 8 * sx, 100 + 3 * sy));
        }
    return points;
}

class Fitting : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }
};

TEST_F(Fitting, ExactFitSettles)
{
    Points points = ExactOutline();
    EllipseParams exact = {100, 100, 10, 5, 0};
    ASSERT_EQ(EllipseResidual(exact, points.data(), static_cast<int>(points.size())), 0.0);
    SetOutline(points);
    EllipseParams e = kUntouched;
    ASSERT_EQ(FitEllipse(&e), 1);
    EXPECT_EQ(e.cx, 100.0);
    EXPECT_EQ(e.cy, 100.0);
    EXPECT_EQ(e.a, 10.0);
    EXPECT_EQ(e.b, 5.0);
    EXPECT_EQ(std::fabs(e.angle), 0.0);
}

// Near the exact ellipse the residuals vanish, so one Gauss-Newton step
// removes a small offset up to second-order terms.
TEST_F(Fitting, StepLeadsBackToTheExactEllipse)
{
    Points points = ExactOutline();
    const double offset[5] = {1e-6, -2e-6, 3e-6, -1e-6, 2e-6};
    EllipseParams near = {100 + offset[0], 100 + offset[1], 10 + offset[2], 5 + offset[3], offset[4]};
    double step[5];
    ASSERT_EQ(ComputeEllipseStep(near, points.data(), static_cast<int>(points.size()), step), 1);
    for (int k = 0; k < 5; k++)
        EXPECT_NEAR(step[k], offset[k], kTolerance) << "parameter " << k;
}

// With a = b exactly the angle is undetermined: the normal matrix is
// singular, there is no step and the fit fails instead of guessing.
TEST_F(Fitting, CircleEstimateHasNoStepAndFails)
{
    Points circle = {Point(110, 100), Point(100, 110), Point(90, 100), Point(100, 90)};
    EllipseParams round = {100, 100, 10, 10, 0};
    double step[5] = {7, 7, 7, 7, 7};
    EXPECT_EQ(ComputeEllipseStep(round, circle.data(), 4, step), 0);
    for (double value : step)
        EXPECT_EQ(value, 7.0);

    SetOutline(circle);
    EllipseParams e = kUntouched;
    EXPECT_EQ(FitEllipse(&e), 0);
    ExpectUntouched(e);
}

struct FailCase {
    const char *name;
    Points outline;
};

class FitFails : public Fitting, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FitFails, LeavesTheResultUntouched)
{
    SetOutline(GetParam().outline);
    EllipseParams e = kUntouched;
    EXPECT_EQ(FitEllipse(&e), 0);
    ExpectUntouched(e);
}

INSTANTIATE_TEST_SUITE_P(
    Outlines, FitFails,
    ::testing::Values(FailCase{"SinglePoint", {Point(50, 50)}},
                      // The nearest point is the centroid: b = 0 makes every
                      // residual sum not a number, which never settles.
                      FailCase{"RowOfThree", {Point(10, 10), Point(11, 10), Point(12, 10), Point(11, 10)}}),
    [](const ::testing::TestParamInfo<FailCase> &info) { return std::string(info.param.name); });

struct AxesCase {
    const char *name;
    double ratio;
    EllipseParams ellipse;
    int blue;
    int green;
};

class Axes : public ::testing::TestWithParam<AxesCase> {};

// One dot every two canvas pixels from -1.5 to +1.5 semi-axes; a negative or
// undrawable semi-axis draws nothing for its axis.
TEST_P(Axes, DrawOneDotEveryTwoCanvasPixels)
{
    static Canvas canvas;
    ResetMemoryCanvas(&canvas, 320, 320, kColourBlack);
    AxesCase axes = GetParam();
    DrawEllipseAxes(&canvas, axes.ellipse, axes.ratio);
    EXPECT_EQ(CountCanvasColour(&canvas, kColourBlue), axes.blue);
    EXPECT_EQ(CountCanvasColour(&canvas, kColourGreen), axes.green);
}

const double kInfinity = std::numeric_limits<double>::infinity();
const double kNotANumber = std::numeric_limits<double>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Ellipses, Axes,
    ::testing::Values(AxesCase{"RatioOne", 1.0, {100, 100, 10, 4, 0}, 16, 7},  // t = -15 .. 15; -6 .. 6
                      AxesCase{"RatioTwo", 2.0, {320, 320, 100, 40, 0}, 76, 31},       // t = -150 .. 150; -60 .. 60
                      AxesCase{"ZeroAxis", 1.0, {100, 100, 0, 0, 0}, 0, 1},           // both at the centre, green last
                      AxesCase{"NegativeAxis", 1.0, {100, 100, -10, 4, 0}, 0, 7},
                      AxesCase{"InfiniteAxis", 1.0, {100, 100, kInfinity, 4, 0}, 0, 7},
                      AxesCase{"HugeAxis", 1.0, {100, 100, 1e300, 4, 0}, 0, 7},
                      AxesCase{"AxisNotANumber", 1.0, {100, 100, kNotANumber, 4, 0}, 0, 7},
                      AxesCase{"CentreNotANumber", 1.0, {kNotANumber, 100, 10, 4, 0}, 0, 0},
                      AxesCase{"RatioZero", 0.0, {100, 100, 10, 4, 0}, 0, 0}),
    [](const ::testing::TestParamInfo<AxesCase> &info) { return std::string(info.param.name); });

TEST(EllipseAxes, LieAlongAndAcrossTheAngle)
{
    static Canvas canvas;
    ResetMemoryCanvas(&canvas, 320, 320, kColourBlack);
    DrawEllipseAxes(&canvas, EllipseParams{100.5, 60.5, 20, 10, 0}, 1.0);
    for (int y = 0; y < 320; y++)
        for (int x = 0; x < 320; x++) {
            Colour colour = GetCanvasPixel(&canvas, x, y);
            if (colour == kColourBlue) {
                EXPECT_EQ(y, 60) << "blue at " << x;
            }
            if (colour == kColourGreen) {
                EXPECT_EQ(x, 100) << "green at " << y;
            }
        }

    // At a quarter of a half turn the a axis runs from upper left to lower right.
    ResetMemoryCanvas(&canvas, 320, 320, kColourBlack);
    DrawEllipseAxes(&canvas, EllipseParams{100.5, 100.5, 20, 10, kPi / 4}, 1.0);
    int blue = 0;
    for (int y = 0; y < 320; y++)
        for (int x = 0; x < 320; x++)
            if (GetCanvasPixel(&canvas, x, y) == kColourBlue) {
                EXPECT_LE(std::abs(x - y), 1) << x << ", " << y;
                blue++;
            }
    EXPECT_EQ(blue, 31);  // t = -30 .. 30
    EXPECT_EQ(GetCanvasPixel(&canvas, 79, 79), kColourBlue);
    EXPECT_EQ(GetCanvasPixel(&canvas, 121, 121), kColourBlue);
    EXPECT_EQ(GetCanvasPixel(&canvas, 121, 79), kColourBlack);
}

}  // namespace
