#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/numeric.h"
#include "image/canvas_memory.h"
#include "light/light.h"
#include "marker/marker.h"
#include "tests/support/checks.h"

namespace {

// Agreement for values not quoted to six decimals.
const double kTolerance = 1e-12;

// The 20 ring factors, outermost first, accumulated as the search does.
std::vector<double> Rings()
{
    std::vector<double> rings;
    for (double k = 0.84; k >= 0.44; k = k - 0.02)
        rings.push_back(k);
    return rings;
}

void FillMap(uint8_t label) { std::memset(gLabelMap.labels, label, sizeof gLabelMap.labels); }

// Darkens the cells of bearing `degree` on the rings first..last (indices into Rings()).
void Darken(EllipseParams e, int degree, int first = 0, int last = 19)
{
    std::vector<double> rings = Rings();
    for (int r = first; r <= last; r++) {
        RingSamplePoint s;
        ASSERT_EQ(TakeRingSample(e, rings[r], RadiansFromDegrees(degree), &s), 1);
        gLabelMap.labels[s.y * 640 + s.x] = 0;
    }
}

// Large enough that neighbouring bearings never share a cell on any ring.
const EllipseParams kWide = {320, 320, 300, 280, 0.2};
// The ellipse of the worked caster and shadow example.
const EllipseParams kFlat = {320, 240, 100, 50, 0};

TEST(TakeRingSample, CellIsTruncatedAndIndexedRowAfterRow)
{
    const struct {
        EllipseParams e;
        double k, bearing;
        int inside, x, y;
    } cases[] = {
        {kFlat, 0.82, RadiansFromDegrees(165), 1, 341, 200},
        {{-0.7, 10, 10, 10, 0}, 0.5, 0.0, 1, 0, 15},    // -0.7 truncates to 0
        {{645.5, 10, 10, 10, 0}, 0.0, 0.0, 1, 645, 10},  // lands in row 11
        {{-1.5, 1, 10, 10, 0}, 0.0, 0.0, 1, -1, 1},      // lands in row 0
        {{-1.5, 0, 10, 10, 0}, 0.0, 0.0, 0, -1, 0},      // before the map
        {{0, 639, 10, 10, 0}, 0.0, 0.0, 1, 0, 639},
        {{640, 639, 10, 10, 0}, 0.0, 0.0, 0, 640, 639},  // past the map
        {{320, -3e9, 10, 10, 0}, 0.0, 0.0, 0, 0, 0},     // no int cell
        {{2e9 + 0.5, -3125000, 10, 10, 0}, 0.0, 0.0, 1, 2000000000, -3125000},  // y * 640 + x = 0
    };
    for (const auto &c : cases) {
        RingSamplePoint s;
        EXPECT_EQ(TakeRingSample(c.e, c.k, c.bearing, &s), c.inside) << c.e.cx << "," << c.e.cy;
        if (c.inside || c.x != 0) {
            EXPECT_EQ(s.x, c.x);
            EXPECT_EQ(s.y, c.y);
        }
    }
    RingSamplePoint s;
    TakeRingSample(kFlat, 0.82, RadiansFromDegrees(165), &s);
    EXPECT_EQ(Six(std::sqrt(s.u * s.u + s.v * s.v)), "44.931247");
}

struct BearingCase {
    const char *name;
    std::vector<int> dark;  // bearings dark on every ring
    int ok, expected;
};

TEST(FindShadowBearing, SmoothedPeakWithWrapAndLowestTie)
{
    std::vector<int> across, sector, band;
    for (int d = 350; d < 370; d++)
        across.push_back(d % 360);
    for (int d = 165; d <= 195; d++)
        sector.push_back(d);
    for (int d = 40; d < 60; d++)
        band.push_back(d);
    const BearingCase cases[] = {
        {"nothing dark", {}, 0, 0},
        {"far sector never counts", sector, 0, 0},
        {"tie 49/50 goes low", band, 1, 49},
        {"window wraps", across, 1, 0},
        {"edge bearings", {160, 164}, 1, 160},
    };
    for (const BearingCase &c : cases) {
        FillMap(1);
        for (int d : c.dark)
            Darken(kWide, d);
        double bearing = -1.0;
        EXPECT_EQ(FindShadowBearing(kWide, &bearing), c.ok) << c.name;
        EXPECT_EQ(bearing, c.ok ? RadiansFromDegrees(c.expected) : -1.0) << c.name;
    }
}

// One bearing dark on 15 rings scores 13 * 15 = 195 and passes 192; 14 does not.
TEST(FindShadowBearing, ThresholdLiesBetweenFourteenAndFifteenDarkRings)
{
    for (int rings = 14; rings <= 15; rings++) {
        FillMap(1);
        Darken(kWide, 100, 0, rings - 1);
        double bearing = -1.0;
        EXPECT_EQ(FindShadowBearing(kWide, &bearing), rings == 15 ? 1 : 0);
    }
}

// Samples off the LabelMap are skipped, never read and never dark.
TEST(FindShadowBearing, SamplesOffTheMapAreSkipped)
{
    const EllipseParams cases[] = {{-5000, 320, 300, 200, 0}, {320, 320, 700, 700, 0}, {320, 700, 300, 200, 1}, {1e300, 0, 1, 1, 0}};
    FillMap(1);
    for (const EllipseParams &e : cases) {
        double bearing = -1.0;
        EXPECT_EQ(FindShadowBearing(e, &bearing), 0) << e.cx << "," << e.cy;
    }
}

TEST(MeasureShadow, WorkedExampleOfCasterAndShadow)
{
    FillMap(0);
    double height = 0.0, elevation = 0.0, length = 0.0;
    ASSERT_EQ(MeasureCasterHeight(kFlat, -kPi / 6, &height), 1);
    EXPECT_EQ(Six(height), "25.941067");
    ASSERT_EQ(MeasureShadow(kFlat, kPi / 2, height, &elevation, &length), 1);
    EXPECT_EQ(Six(elevation), "-0.306393");
    EXPECT_EQ(length, Rings()[1]);
}

// The far-sector counts add up across rings: 180 is dark on 0.70 and 0.68 and
// reaches two before 170 (dark on 0.84 and 0.60) does.
TEST(MeasureCasterHeight, CountsAccumulateOverRings)
{
    FillMap(1);
    Darken(kFlat, 170, 0, 0);
    Darken(kFlat, 170, 12, 12);
    Darken(kFlat, 180, 7, 8);
    double height = 0.0;
    ASSERT_EQ(MeasureCasterHeight(kFlat, -kPi / 6, &height), 1);
    EXPECT_NEAR(height, std::tan(kPi / 6) * 50 * Rings()[8], 1e-9);
}

TEST(MeasureCasterHeight, FailsWithoutASecondDarkSampleAndKeepsOutput)
{
    FillMap(1);
    for (int d = 165; d <= 195; d++)
        Darken(kFlat, d, 0, 0);
    double height = -1.0;
    EXPECT_EQ(MeasureCasterHeight(kFlat, -kPi / 6, &height), 0);
    EXPECT_EQ(height, -1.0);
}

TEST(MeasureShadow, PitchSetsTheElevationLimits)
{
    FillMap(0);
    const struct {
        double pitch, elevation, tolerance;
    } cases[] = {{0.0, 0.0, 0.0}, {-kPi / 2, -kPi / 2, 1e-15}};
    for (const auto &c : cases) {
        double height = -1.0, elevation = 1.0, length = 0.0;
        ASSERT_EQ(MeasureCasterHeight(kFlat, c.pitch, &height), 1);
        ASSERT_EQ(MeasureShadow(kFlat, kPi / 2, height, &elevation, &length), 1);
        EXPECT_NEAR(elevation, c.elevation, c.tolerance) << c.pitch;
    }
}

TEST(MeasureShadow, SecondDarkSampleMayBeOnTheInnermostRing)
{
    FillMap(1);
    Darken(kFlat, 90, 0, 0);
    Darken(kFlat, 90, 19, 19);
    double elevation = 1.0, length = 0.0;
    ASSERT_EQ(MeasureShadow(kFlat, kPi / 2, 10.0, &elevation, &length), 1);
    EXPECT_EQ(length, 0.45999999999999963);

    FillMap(1);
    Darken(kFlat, 90, 5, 5);
    elevation = 1.0;
    EXPECT_EQ(MeasureShadow(kFlat, kPi / 2, 10.0, &elevation, &length), 0);
    EXPECT_EQ(elevation, 1.0);
}

TEST(EstimateLight, LightComesFromOppositeTheShadow)
{
    const struct {
        int shadow;
        double light;
    } cases[] = {{0, 180}, {1, -179}, {90, -90}, {180, 0}, {270, 90}, {359, 179}};
    for (const auto &c : cases)
        EXPECT_EQ(Six(DegreesFromRadians(LightBearingFromShadow(RadiansFromDegrees(c.shadow)))), Six(c.light));
    EXPECT_EQ(LightBearingFromShadow(0.0), kPi);
}

TEST(EstimateLight, WorkedExampleInDegrees)
{
    FillMap(1);
    Darken(kFlat, 165, 0, 1);
    Darken(kFlat, 90);
    double xrot = 0.0, yrot = 0.0, length = 0.0;
    ASSERT_EQ(EstimateLight(kFlat, -kPi / 6, &xrot, &yrot, &length), 1);
    EXPECT_EQ(Six(DegreesFromRadians(xrot)), "-17.555001");
    EXPECT_EQ(Six(DegreesFromRadians(yrot)), "-90.000000");
    EXPECT_EQ(length, Rings()[1]);
}

// Any failing stage, or a result that would not be a number, leaves all
// three outputs as they were.
TEST(EstimateLight, FailureWritesNothing)
{
    const struct {
        const char *name;
        EllipseParams e;
        double pitch;
        int darkCaster;
    } cases[] = {
        {"no caster", kFlat, -kPi / 6, 0},
        {"pitch not a number", kFlat, std::nan(""), 1},
        {"marker shrunk to a point: 0 / 0", {320, 240, 0, 0, 0}, -kPi / 6, 1},
        {"ellipse not a number", {std::nan(""), 240, 100, 50, 0}, -kPi / 6, 1},
    };
    for (const auto &c : cases) {
        FillMap(1);
        Darken(kFlat, 90);
        if (c.darkCaster) {
            Darken(kFlat, 165, 0, 1);
            gLabelMap.labels[240 * 640 + 320] = 0;  // the point marker's only cell
        }
        double xrot = 7.0, yrot = 8.0, length = 9.0;
        EXPECT_EQ(EstimateLight(c.e, c.pitch, &xrot, &yrot, &length), 0) << c.name;
        EXPECT_EQ(xrot, 7.0);
        EXPECT_EQ(yrot, 8.0);
        EXPECT_EQ(length, 9.0);
    }
}

TEST(DrawShadowLine, DotsRunFromCentreToTheShadowEnd)
{
    static Canvas canvas;
    ResetMemoryCanvas(&canvas, 320, 240, kColourBlack);
    DrawShadowLine(&canvas, kFlat, -kPi / 2, Rings()[1], 2.0);
    EXPECT_EQ(canvas.writes, 41);
    EXPECT_EQ(CountCanvasColour(&canvas, kColourYellow), 41);
    EXPECT_EQ(GetCanvasPixel(&canvas, 160, 120), kColourYellow);
    EXPECT_EQ(GetCanvasPixel(&canvas, 200, 120), kColourYellow);
    EXPECT_EQ(GetCanvasPixel(&canvas, 201, 120), kColourBlack);
}

// Lengths that are no ring factor on the marker draw nothing; an endless or
// huge one would otherwise never finish the walk.
TEST(DrawShadowLine, LengthOffTheMarkerDrawsNothing)
{
    static Canvas canvas;
    const double lengths[] = {-0.02, std::nan(""), INFINITY, 1e300, 1.5};
    for (double length : lengths) {
        ResetMemoryCanvas(&canvas, 320, 240, kColourBlack);
        DrawShadowLine(&canvas, kFlat, -kPi / 2, length, 2.0);
        EXPECT_EQ(canvas.writes, 0) << length;
    }
}

}  // namespace
