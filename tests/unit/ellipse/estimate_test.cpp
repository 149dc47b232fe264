// The starting ellipse from the outline (centroid, farthest and nearest
// points) and the algebraic residual sum the fit minimises.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "common/numeric.h"
#include "ellipse/ellipse.h"
#include "tests/support/checks.h"

namespace {

const double kTolerance = 1e-12;

typedef std::vector<OutlinePoint> Points;

OutlinePoint Point(int x, int y) { return OutlinePoint{static_cast<uint16_t>(x), static_cast<uint16_t>(y)}; }

struct FailCase {
    const char *name;
    Points points;
};

class EstimateFails : public ::testing::TestWithParam<FailCase> {};

// Without a point away from the centroid there is no axis direction.
TEST_P(EstimateFails, WithoutAPointAwayFromTheCentroid)
{
    const Points &points = GetParam().points;
    EllipseParams e = kUntouched;
    EXPECT_EQ(EstimateEllipse(points.data(), static_cast<int>(points.size()), &e), 0);
    ExpectUntouched(e);
}

INSTANTIATE_TEST_SUITE_P(Outlines, EstimateFails,
                         ::testing::Values(FailCase{"SinglePoint", {Point(100, 200)}},
                                           FailCase{"CoincidentPoints", {Point(7, 9), Point(7, 9), Point(7, 9)}},
                                           FailCase{"NoPoints", {}}),
                         [](const ::testing::TestParamInfo<FailCase> &info) { return std::string(info.param.name); });

struct EstimateCase {
    const char *name;
    Points points;
    EllipseParams expected;
};

class Estimate : public ::testing::TestWithParam<EstimateCase> {};

TEST_P(Estimate, TakesCentroidFarthestAndNearestPoint)
{
    const Points &points = GetParam().points;
    EllipseParams e = kUntouched;
    ASSERT_EQ(EstimateEllipse(points.data(), static_cast<int>(points.size()), &e), 1);
    EllipseParams expected = GetParam().expected;
    EXPECT_NEAR(e.cx, expected.cx, kTolerance);
    EXPECT_NEAR(e.cy, expected.cy, kTolerance);
    EXPECT_NEAR(e.a, expected.a, kTolerance);
    EXPECT_NEAR(e.b, expected.b, kTolerance);
    EXPECT_NEAR(e.angle, expected.angle, kTolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Outlines, Estimate,
    ::testing::Values(
        EstimateCase{"Level", {Point(90, 50), Point(100, 54), Point(110, 50), Point(100, 46)}, {100, 50, 10, 4, 0}},
        // Straight above the centre: an upright axis, not a failure.
        EstimateCase{"Upright", {Point(10, 0), Point(12, 10), Point(10, 20), Point(8, 10)}, {10, 10, 10, 2, kPi / 2}},
        EstimateCase{"UprightBelow", {Point(10, 20), Point(12, 10), Point(10, 0), Point(8, 10)}, {10, 10, 10, 2, kPi / 2}},
        EstimateCase{"NearlyUpright", {Point(11, 0), Point(9, 20), Point(12, 10), Point(8, 10)},
                     {10, 10, std::sqrt(101.0), 2, std::atan(-10.0)}},
        // A line direction: the far point on the left gives the angle of its
        // opposite on the right, and of equally far points the first counts.
        EstimateCase{"FarthestOnTheLeft", {Point(0, 0), Point(10, 9), Point(20, 20), Point(10, 11)},
                     {10, 10, std::sqrt(200.0), 1, kPi / 4}},
        EstimateCase{"FirstOfEquallyFarLevel", {Point(20, 10), Point(10, 20), Point(5, 5), Point(5, 5)},
                     {10, 10, 10, std::sqrt(50.0), 0}},
        EstimateCase{"FirstOfEquallyFarUpright", {Point(10, 20), Point(20, 10), Point(5, 5), Point(5, 5)},
                     {10, 10, 10, std::sqrt(50.0), kPi / 2}},
        // A point on the centroid makes b zero.
        EstimateCase{"PointOnTheCentroid", {Point(0, 0), Point(10, 10), Point(20, 20)},
                     {10, 10, std::sqrt(200.0), 0, kPi / 4}}),
    [](const ::testing::TestParamInfo<EstimateCase> &info) { return std::string(info.param.name); });

TEST(EllipseResidual, SumsTheSquaredAlgebraicDistance)
{
    EllipseParams e = {100, 50, 10, 4, 0};
    Points onEllipse = {Point(110, 50), Point(90, 50), Point(100, 54), Point(100, 46)};
    EXPECT_EQ(EllipseResidual(e, onEllipse.data(), 4), 0.0);

    // f = -1 at the centre; at (120, 50) f = 4 - 1 = 3.
    Points offEllipse = {Point(100, 50), Point(120, 50)};
    EXPECT_NEAR(EllipseResidual(e, offEllipse.data(), 2), 1.0 + 9.0, kTolerance);

    // Turned by a quarter, the a axis is vertical; negative semi-axes count by
    // their squares.
    EllipseParams upright = {100, 50, -10, 4, kPi / 2};
    Points onUpright = {Point(100, 60), Point(104, 50)};
    EXPECT_NEAR(EllipseResidual(upright, onUpright.data(), 2), 0.0, kTolerance);

    EXPECT_EQ(EllipseResidual(e, onEllipse.data(), 0), 0.0);
}

}  // namespace
