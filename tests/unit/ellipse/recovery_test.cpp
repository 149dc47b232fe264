// Filled ellipses drawn into the WorkRaster come back from labelling,
// tracing and fitting within a pixel and a degree.
#include <gtest/gtest.h>

#include <cmath>

#include "common/numeric.h"
#include "ellipse/ellipse.h"
#include "image/image.h"
#include "marker/marker.h"
#include "tests/support/test_support.h"

namespace {

// Work pixels for the centre and the semi-axes, degrees for the angle.
const double kTolerance = 1.0;

const uint8_t kThreshold = 160;
const uint8_t kDiscBrightness = 220;
const uint8_t kGroundBrightness = 90;

struct DiscCase {
    const char *name;
    EllipseParams disc;  // angle in degrees, a >= b
};

// Every work pixel whose centre lies inside the ellipse is bright.
void DrawFilledEllipse(EllipseParams disc)
{
    double c = std::cos(disc.angle);
    double s = std::sin(disc.angle);
    for (int y = 0; y < gImageGeometry.workHeight; y++)
        for (int x = 0; x < gImageGeometry.workWidth; x++) {
            double dx = x - disc.cx;
            double dy = y - disc.cy;
            double u = (dx * c + dy * s) / disc.a;
            double v = (dx * s - dy * c) / disc.b;
            gWorkRaster.brightness[y * kWorkSide + x] = u * u + v * v <= 1.0 ? kDiscBrightness : kGroundBrightness;
        }
}

// The difference of two axis directions, which repeat every half turn.
double AxisAngleDifferenceDegrees(double first, double second)
{
    return std::remainder(DegreesFromRadians(first - second), kHalfTurnDegrees);
}

class Recovery : public ::testing::TestWithParam<DiscCase> {
protected:
    void SetUp() override
    {
        ResetProgramState();
        gImageGeometry.workWidth = 640;
        gImageGeometry.workHeight = 480;
    }
};

TEST_P(Recovery, FitMatchesTheDrawnEllipse)
{
    EllipseParams disc = GetParam().disc;
    disc.angle = RadiansFromDegrees(disc.angle);
    DrawFilledEllipse(disc);

    ASSERT_EQ(LabelComponents(gImageGeometry.workWidth, gImageGeometry.workHeight, kThreshold), 1);
    ASSERT_EQ(TraceOutline(gImageGeometry.workWidth, gImageGeometry.workHeight), 1);
    EllipseParams fitted;
    ASSERT_EQ(FitEllipse(&fitted), 1);
    NormaliseEllipse(&fitted);

    EXPECT_NEAR(fitted.cx, disc.cx, kTolerance);
    EXPECT_NEAR(fitted.cy, disc.cy, kTolerance);
    EXPECT_NEAR(fitted.a, disc.a, kTolerance);
    EXPECT_NEAR(fitted.b, disc.b, kTolerance);
    EXPECT_NEAR(AxisAngleDifferenceDegrees(fitted.angle, disc.angle), 0.0, kTolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Discs, Recovery,
    ::testing::Values(DiscCase{"CentredLevel", {319.5, 239.5, 150, 70, 0}},
                      DiscCase{"SmallTilted", {200.3, 150.7, 30, 18, 25}},
                      DiscCase{"LargeSteep", {330, 250, 220, 120, -60}},
                      DiscCase{"Upright", {420, 260, 90, 40, 90}},
                      DiscCase{"NearlyRound", {250, 300, 60, 52, 40}},
                      DiscCase{"FlatOffCentre", {150, 380, 100, 25, -10}},
                      DiscCase{"NearTheEdge", {560.5, 90.5, 70, 60, 75}}),
    [](const ::testing::TestParamInfo<DiscCase> &info) { return std::string(info.param.name); });

}  // namespace
