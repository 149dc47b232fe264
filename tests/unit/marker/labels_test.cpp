// Component labelling: one raster pass, provisional labels joined by parent
// links, the 255-label limit, and the component colours on the canvas.
#include <gtest/gtest.h>

#include <cstring>

#include "image/canvas_memory.h"
#include "image/image.h"
#include "marker/marker.h"
#include "tests/support/test_support.h"

namespace {

const uint8_t kBright = 255;
const uint8_t kThreshold = 160;

class Labelling : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }
};

void SetBright(int x, int y) { gWorkRaster.brightness[y * kWorkSide + x] = kBright; }
uint8_t LabelAt(int x, int y) { return gLabelMap.labels[y * kWorkSide + x]; }

// Isolated pixels two apart, row by row inside the frame: each needs a label.
void SetIsolatedPixels(int count)
{
    for (int i = 0; i < count; i++)
        SetBright(2 + 2 * (i % 300), 2 + 2 * (i / 300));
}

struct SizeCase {
    int width;
    int height;
};

class ThresholdZero : public Labelling, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ThresholdZero, MakesTheWholeInteriorOneLabel)
{
    SizeCase size = GetParam();
    ASSERT_EQ(LabelComponents(size.width, size.height, 0), 1);
    ASSERT_EQ(gComponentTable.labelCount, 1);
    const ComponentRecord &record = gComponentTable.records[1];
    EXPECT_EQ(record.parent, 1);
    EXPECT_EQ(record.pixelCount, (size.width - 2) * (size.height - 2));
    EXPECT_EQ(record.left, 1);
    EXPECT_EQ(record.top, 1);
    EXPECT_EQ(record.right, size.width - 2);
    EXPECT_EQ(record.bottom, size.height - 2);
    // The frame and everything beyond the work size stay background.
    EXPECT_EQ(LabelAt(0, 1), 0);
    EXPECT_EQ(LabelAt(size.width - 1, 1), 0);
    EXPECT_EQ(LabelAt(1, size.height - 1), 0);
}

INSTANTIATE_TEST_SUITE_P(WorkSizes, ThresholdZero,
                         ::testing::Values(SizeCase{640, 480}, SizeCase{640, 640}, SizeCase{360, 640},
                                           SizeCase{3, 3}));

class NothingLabelled : public Labelling, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(NothingLabelled, WhenTheRasterIsTooSmallForAnInterior)
{
    std::memset(gWorkRaster.brightness, kBright, sizeof gWorkRaster.brightness);
    SizeCase size = GetParam();
    EXPECT_EQ(LabelComponents(size.width, size.height, 0), 1);
    EXPECT_EQ(gComponentTable.labelCount, 0);
}

INSTANTIATE_TEST_SUITE_P(WorkSizes, NothingLabelled,
                         ::testing::Values(SizeCase{2, 640}, SizeCase{640, 2}, SizeCase{0, 0}, SizeCase{-5, 100}));

TEST_F(Labelling, DarkRasterGivesNoLabelAndSucceeds)
{
    EXPECT_EQ(LabelComponents(640, 480, kThreshold), 1);
    EXPECT_EQ(gComponentTable.labelCount, 0);
}

TEST_F(Labelling, ThresholdIsInclusive)
{
    gWorkRaster.brightness[10 * kWorkSide + 10] = kThreshold;
    gWorkRaster.brightness[10 * kWorkSide + 20] = kThreshold - 1;
    ASSERT_EQ(LabelComponents(640, 480, kThreshold), 1);
    EXPECT_EQ(gComponentTable.labelCount, 1);
    EXPECT_EQ(LabelAt(10, 10), 1);
    EXPECT_EQ(LabelAt(20, 10), 0);
}

TEST_F(Labelling, BrightFrameIsNeverLabelled)
{
    for (int x = 0; x < 640; x++) {
        SetBright(x, 0);
        SetBright(x, 479);
    }
    for (int y = 0; y < 480; y++) {
        SetBright(0, y);
        SetBright(639, y);
    }
    SetBright(1, 1);
    ASSERT_EQ(LabelComponents(640, 480, kThreshold), 1);
    EXPECT_EQ(gComponentTable.labelCount, 1);
    EXPECT_EQ(gComponentTable.records[1].pixelCount, 1);
}

// Pixels joined only at a corner belong together; a pixel whose one set
// neighbour is NE takes that label as it is.
TEST_F(Labelling, CornerNeighboursJoinWithoutNewLabels)
{
    SetBright(10, 10);
    SetBright(11, 11);  // NW neighbour
    SetBright(21, 10);
    SetBright(20, 11);  // NE neighbour
    ASSERT_EQ(LabelComponents(640, 480, kThreshold), 1);
    EXPECT_EQ(gComponentTable.labelCount, 2);
    EXPECT_EQ(LabelAt(11, 11), LabelAt(10, 10));
    EXPECT_EQ(LabelAt(20, 11), LabelAt(21, 10));
    EXPECT_EQ(gComponentTable.records[2].pixelCount, 2);
    EXPECT_EQ(gComponentTable.records[2].left, 20);
    EXPECT_EQ(gComponentTable.records[2].right, 21);
    EXPECT_EQ(gComponentTable.records[2].bottom, 11);
}

// A V: the arms are labelled 1 and 2 and meet at (15, 15), where 2 is put
// under 1. Each record keeps its own pixels.
void SetVee()
{
    for (int i = 0; i <= 5; i++) {
        SetBright(10 + i, 10 + i);
        SetBright(20 - i, 10 + i);
    }
}

TEST_F(Labelling, JoinedArmsKeepTheirOwnRecordsUnderTheSmallerRoot)
{
    SetVee();
    ASSERT_EQ(LabelComponents(640, 480, kThreshold), 1);
    ASSERT_EQ(gComponentTable.labelCount, 2);
    EXPECT_EQ(gComponentTable.records[2].parent, 1);
    EXPECT_EQ(FindRoot(2), 1);
    EXPECT_EQ(LabelAt(15, 15), 1);
    EXPECT_EQ(LabelAt(16, 14), 2);  // written labels are never rewritten
    EXPECT_EQ(gComponentTable.records[1].pixelCount, 6);
    EXPECT_EQ(gComponentTable.records[2].pixelCount, 5);
    EXPECT_EQ(gComponentTable.records[2].left, 16);
    EXPECT_EQ(gComponentTable.records[2].top, 10);
    EXPECT_EQ(gComponentTable.records[2].bottom, 14);
}

TEST_F(Labelling, MergeUnderTheSmallerRootAndFindRootOfBackground)
{
    gComponentTable.labelCount = 4;
    for (uint8_t k = 1; k <= 4; k++)
        gComponentTable.records[k].parent = k;
    EXPECT_EQ(MergeLabels(4, 3), 3);
    EXPECT_EQ(MergeLabels(2, 4), 2);  // joins the tree of 4, whose root is 3
    EXPECT_EQ(gComponentTable.records[3].parent, 2);
    EXPECT_EQ(gComponentTable.records[4].parent, 3);
    EXPECT_EQ(FindRoot(4), 2);
    EXPECT_EQ(MergeLabels(4, 2), 2);
    EXPECT_EQ(FindRoot(1), 1);
    EXPECT_EQ(FindRoot(0), 0);
}

struct LimitCase {
    int pixels;
    int result;
};

class LabelLimit : public Labelling, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(LabelLimit, TheTwoHundredFiftySixthLabelFails)
{
    LimitCase limit = GetParam();
    SetIsolatedPixels(limit.pixels);
    EXPECT_EQ(LabelComponents(640, 480, kThreshold), limit.result);
    EXPECT_EQ(gComponentTable.labelCount, 255);
    EXPECT_EQ(LabelAt(2 + 2 * 254, 2), 255);
    EXPECT_EQ(LabelAt(2 + 2 * 255, 2), 0);
}

INSTANTIATE_TEST_SUITE_P(Counts, LabelLimit, ::testing::Values(LimitCase{255, 1}, LimitCase{256, 0}));

TEST_F(Labelling, MergedLabelsStillCountTowardsTheLimit)
{
    // 200 V shapes use 400 labels although they are only 200 components.
    for (int i = 0; i < 200; i++) {
        int x = 2 + 8 * (i % 70);
        int y = 2 + 8 * (i / 70);
        SetBright(x, y);
        SetBright(x + 2, y);
        SetBright(x + 1, y + 1);
    }
    EXPECT_EQ(LabelComponents(640, 480, kThreshold), 0);
}

TEST_F(Labelling, PaintShowsEachComponentInItsRootColourOverBlack)
{
    SetVee();
    SetBright(40, 40);
    ASSERT_EQ(LabelComponents(640, 480, kThreshold), 1);
    static Canvas canvas;
    ResetMemoryCanvas(&canvas, 320, 240, kColourWhite);
    PaintComponents(&canvas, 320, 240, 1.0);

    Colour vee = gComponentTable.records[1].colour;
    Colour dot = gComponentTable.records[3].colour;
    EXPECT_EQ(GetCanvasPixel(&canvas, 10, 10), vee);
    EXPECT_EQ(GetCanvasPixel(&canvas, 20, 10), vee);  // the arm labelled 2
    EXPECT_EQ(GetCanvasPixel(&canvas, 40, 40), dot);
    EXPECT_EQ(CountCanvasColour(&canvas, kColourBlack), 320 * 240 - 12);
    EXPECT_EQ(canvas.writes, 320 * 240);
    for (int k = 1; k <= 3; k++)
        for (int shift = 0; shift < 24; shift += 8)
            EXPECT_GE((gComponentTable.records[k].colour >> shift) & 0xFF, 128u);

    // A second run draws new colours; ratio 2 reads every other work pixel.
    ResetMemoryCanvas(&canvas, 320, 240, kColourWhite);
    PaintComponents(&canvas, 320, 240, 2.0);
    EXPECT_NE(gComponentTable.records[1].colour, vee);
    EXPECT_EQ(GetCanvasPixel(&canvas, 5, 5), gComponentTable.records[1].colour);    // work (10, 10)
    EXPECT_EQ(GetCanvasPixel(&canvas, 20, 20), gComponentTable.records[3].colour);  // work (40, 40)
    EXPECT_EQ(CountCanvasColour(&canvas, kColourBlack), 320 * 240 - 7);
}

TEST_F(Labelling, PaintWithoutLabelsIsAllBlack)
{
    ASSERT_EQ(LabelComponents(640, 480, kThreshold), 1);
    static Canvas canvas;
    ResetMemoryCanvas(&canvas, 320, 240, kColourWhite);
    PaintComponents(&canvas, 320, 240, 2.0);
    EXPECT_EQ(CountCanvasColour(&canvas, kColourBlack), 320 * 240);
}

// A ratio that maps beyond the 640 x 640 map shows background there rather
// than reading past a row or past the map.
TEST_F(Labelling, PaintShowsBackgroundBeyondTheMap)
{
    ASSERT_EQ(LabelComponents(640, 640, 0), 1);
    static Canvas canvas;
    ResetMemoryCanvas(&canvas, 320, 320, kColourWhite);
    PaintComponents(&canvas, 320, 320, 3.0);
    Colour all = gComponentTable.records[1].colour;
    EXPECT_EQ(GetCanvasPixel(&canvas, 1, 1), all);
    EXPECT_EQ(GetCanvasPixel(&canvas, 212, 212), all);  // work (636, 636)
    EXPECT_EQ(GetCanvasPixel(&canvas, 213, 1), kColourBlack);  // work (639, 3): the frame
    EXPECT_EQ(GetCanvasPixel(&canvas, 214, 1), kColourBlack);  // work (642, 3): beyond the map
    EXPECT_EQ(CountCanvasColour(&canvas, all), 212 * 212);
}

}  // namespace
