// Outline tracing: choice and rejection of the marker label, the clockwise
// 8-neighbour walk, the 2560-point limit, and the red outline on the canvas.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "image/canvas_memory.h"
#include "image/image.h"
#include "marker/marker.h"
#include "tests/support/test_support.h"

namespace {

typedef std::vector<std::pair<int, int>> Pixels;

const uint8_t kBright = 255;
const uint8_t kThreshold = 160;
const int kWidth = 640;
const int kHeight = 480;

class Tracing : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }
};

void SetBright(int x, int y) { gWorkRaster.brightness[y * kWorkSide + x] = kBright; }

void SetRectangle(int left, int top, int right, int bottom)
{
    for (int y = top; y <= bottom; y++)
        for (int x = left; x <= right; x++)
            SetBright(x, y);
}

int LabelAndTrace(int width, int height)
{
    if (!LabelComponents(width, height, kThreshold))
        return -1;
    return TraceOutline(width, height);
}

Pixels Outline()
{
    Pixels points;
    for (int i = 0; i < gOutlineBuffer.pointCount; i++)
        points.push_back({gOutlineBuffer.points[i].x, gOutlineBuffer.points[i].y});
    return points;
}

struct ShapeCase {
    const char *name;
    Pixels pixels;
    Pixels outline;
};

class SmallShapes : public Tracing, public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(SmallShapes, TraceClockwiseFromTheFirstPixel)
{
    for (const auto &pixel : GetParam().pixels)
        SetBright(pixel.first, pixel.second);
    ASSERT_EQ(LabelAndTrace(kWidth, kHeight), 1);
    EXPECT_EQ(Outline(), GetParam().outline);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, SmallShapes,
    ::testing::Values(
        ShapeCase{"Square",
                  {{10, 10}, {11, 10}, {12, 10}, {10, 11}, {11, 11}, {12, 11}, {10, 12}, {11, 12}, {12, 12}},
                  {{10, 10}, {11, 10}, {12, 10}, {12, 11}, {12, 12}, {11, 12}, {10, 12}, {10, 11}}},
        ShapeCase{"TwoPixels", {{20, 30}, {21, 30}}, {{20, 30}, {21, 30}}},
        // The middle of a one-pixel-wide row is walked out and back.
        ShapeCase{"RowOfThree", {{10, 10}, {11, 10}, {12, 10}}, {{10, 10}, {11, 10}, {12, 10}, {11, 10}}},
        // Diagonal steps cut the inner corners: the centre is never visited.
        ShapeCase{"Plus", {{10, 9}, {9, 10}, {10, 10}, {11, 10}, {10, 11}}, {{10, 9}, {11, 10}, {10, 11}, {9, 10}}},
        // With no set neighbour the walk steps up-right onto background and
        // finds its way back down-left.
        ShapeCase{"SinglePixel", {{50, 50}, {60, 60}}, {{50, 50}, {51, 49}}},
        // Equal counts: the lowest label, the first in raster order, wins.
        ShapeCase{"TieGoesToTheLowestLabel",
                  {{30, 20}, {31, 20}, {10, 40}, {11, 40}},
                  {{30, 20}, {31, 20}}}),
    [](const ::testing::TestParamInfo<ShapeCase> &info) { return std::string(info.param.name); });

TEST_F(Tracing, PicksTheLabelWithTheMostPixels)
{
    SetRectangle(10, 10, 12, 11);  // 6 pixels, label 1
    SetRectangle(100, 100, 103, 101);  // 8 pixels, label 2
    ASSERT_EQ(LabelAndTrace(kWidth, kHeight), 1);
    ASSERT_EQ(gOutlineBuffer.pointCount, 8);
    EXPECT_EQ(gOutlineBuffer.points[0].x, 100);
    EXPECT_EQ(gOutlineBuffer.points[0].y, 100);
}

TEST_F(Tracing, FailsWithoutAnyLabel)
{
    gOutlineBuffer.pointCount = 7;
    EXPECT_EQ(LabelAndTrace(kWidth, kHeight), 0);
    EXPECT_EQ(gOutlineBuffer.pointCount, 7);
}

struct RingCase {
    const char *name;
    int left, top, right, bottom;  // the marker rectangle
    int result;
};

class OuterRing : public Tracing, public ::testing::WithParamInterface<RingCase> {};

// The marker must keep off row and column 1 and off row height - 2 and
// column width - 2, even with other components well inside; the buffer is
// left as it was.
TEST_P(OuterRing, RejectsAMarkerOnTheRing)
{
    RingCase ring = GetParam();
    SetRectangle(ring.left, ring.top, ring.right, ring.bottom);
    SetRectangle(300, 200, 302, 202);
    gOutlineBuffer.pointCount = 7;
    EXPECT_EQ(LabelAndTrace(kWidth, kHeight), ring.result);
    if (ring.result == 0)
        EXPECT_EQ(gOutlineBuffer.pointCount, 7);
    else
        EXPECT_EQ(gOutlineBuffer.pointCount, 2 * (ring.right - ring.left) + 2 * (ring.bottom - ring.top));
}

INSTANTIATE_TEST_SUITE_P(Edges, OuterRing,
                         ::testing::Values(RingCase{"Left", 1, 100, 20, 120, 0},
                                           RingCase{"Top", 100, 1, 120, 20, 0},
                                           RingCase{"Right", 620, 100, kWidth - 2, 120, 0},
                                           RingCase{"Bottom", 100, 450, 120, kHeight - 2, 0},
                                           RingCase{"JustInside", 2, 2, kWidth - 3, kHeight - 3, 1}),
                         [](const ::testing::TestParamInfo<RingCase> &info) { return std::string(info.param.name); });

// A U whose one-pixel left arm starts a row above its wide right arm: the
// right arm's label holds the most pixels but is merged under the left one,
// so no pixel of its top row has it as root. The start falls on background
// just right of it, the walk never returns there, and the buffer fills up.
TEST_F(Tracing, MergedMarkerLabelRunsOutOfPoints)
{
    SetRectangle(10, 10, 10, 30);
    SetRectangle(20, 11, 29, 30);
    SetRectangle(10, 31, 29, 31);
    ASSERT_EQ(LabelComponents(kWidth, kHeight, kThreshold), 1);
    ASSERT_EQ(FindRoot(2), 1);
    ASSERT_GT(gComponentTable.records[2].pixelCount, gComponentTable.records[1].pixelCount);
    EXPECT_EQ(TraceOutline(kWidth, kHeight), 0);
    EXPECT_EQ(gOutlineBuffer.pointCount, kMaxOutlinePoints);
    EXPECT_EQ(gOutlineBuffer.points[0].x, 30);
    EXPECT_EQ(gOutlineBuffer.points[0].y, 11);
}

// A rectangle with spurs of one pixel width standing on its top row, and
// optionally its top-right corner cut off. The outline holds
// 2w + 2h - 4 points for the rectangle, 2L - 2 more for a spur of length L
// (out and back, the foot cut by diagonal steps), one less for the cut corner.
struct Comb {
    int left, top, width, height;
    int spurs, spurLength;
    int longerSpur;  // extra pixels on the first spur
    int cutCorner;
};

int CombOutlineLength(const Comb &comb)
{
    return 2 * comb.width + 2 * comb.height - 4 + comb.spurs * (2 * comb.spurLength - 2) + 2 * comb.longerSpur -
           comb.cutCorner;
}

void SetComb(const Comb &comb)
{
    int right = comb.left + comb.width - 1;
    SetRectangle(comb.left, comb.top, right, comb.top + comb.height - 1);
    for (int s = 0; s < comb.spurs; s++) {
        int x = comb.left + 5 + 3 * s;
        int length = comb.spurLength + (s == 0 ? comb.longerSpur : 0);
        SetRectangle(x, comb.top - length, x, comb.top - 1);
    }
    if (comb.cutCorner)
        gWorkRaster.brightness[comb.top * kWorkSide + right] = 0;
}

struct LimitCase {
    const char *name;
    Comb comb;
    int result;
};

class PointLimit : public Tracing, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(PointLimit, ClosesWithinTwoThousandFiveHundredSixtyPoints)
{
    LimitCase limit = GetParam();
    SetComb(limit.comb);
    EXPECT_EQ(LabelAndTrace(kWidth, kHeight), limit.result);
    int expected = CombOutlineLength(limit.comb);
    EXPECT_EQ(gOutlineBuffer.pointCount, expected < kMaxOutlinePoints ? expected : kMaxOutlinePoints);
}

INSTANTIATE_TEST_SUITE_P(
    Combs, PointLimit,
    ::testing::Values(LimitCase{"Small", {10, 20, 30, 8, 3, 4, 0, 0}, 1},
                      LimitCase{"SmallCut", {10, 20, 30, 8, 3, 4, 1, 1}, 1},
                      // 1398 + 7 * 166 = 2560 exactly.
                      LimitCase{"Exactly2560", {10, 300, 600, 101, 7, 84, 0, 0}, 1},
                      // 2560 + 2 - 1 = 2561.
                      LimitCase{"Exactly2561", {10, 300, 600, 101, 7, 84, 1, 1}, 0}),
    [](const ::testing::TestParamInfo<LimitCase> &info) { return std::string(info.param.name); });

// Labelling never marks the frame, but the trace reads whatever the map
// holds: a component reaching the very corner of the map is walked with
// everything beyond the map read as background.
TEST_F(Tracing, PositionsBeyondTheMapReadAsBackground)
{
    gComponentTable.labelCount = 1;
    ComponentRecord &record = gComponentTable.records[1];
    record.parent = 1;
    record.pixelCount = 9;
    record.left = record.right = record.top = record.bottom = 2;
    for (int y = 0; y <= 2; y++)
        for (int x = 0; x <= 2; x++)
            gLabelMap.labels[y * kWorkSide + x] = 1;
    ASSERT_EQ(TraceOutline(kWidth, kHeight), 1);
    Pixels expected = {{2, 2}, {1, 2}, {0, 2}, {0, 1}, {0, 0}, {1, 0}, {2, 0}, {2, 1}};
    EXPECT_EQ(Outline(), expected);
}

TEST_F(Tracing, DrawsEveryPointInRedAtItsCanvasPixel)
{
    SetRectangle(10, 10, 13, 13);
    ASSERT_EQ(LabelAndTrace(kWidth, kHeight), 1);
    static Canvas canvas;
    ResetMemoryCanvas(&canvas, 320, 240, kColourBlack);
    DrawOutline(&canvas, 1.0);
    EXPECT_EQ(CountCanvasColour(&canvas, kColourRed), 12);
    EXPECT_EQ(GetCanvasPixel(&canvas, 13, 10), kColourRed);
    EXPECT_EQ(GetCanvasPixel(&canvas, 11, 11), kColourBlack);

    // At ratio 2 the 12 points fall on the 4 canvas pixels (5..6, 5..6).
    ResetMemoryCanvas(&canvas, 320, 240, kColourBlack);
    DrawOutline(&canvas, 2.0);
    EXPECT_EQ(canvas.writes, 12);
    EXPECT_EQ(CountCanvasColour(&canvas, kColourRed), 4);
    EXPECT_EQ(GetCanvasPixel(&canvas, 6, 6), kColourRed);
}

}  // namespace
