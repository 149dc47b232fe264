// The threshold view: which work pixel each canvas pixel samples, the
// black/white cut at the threshold, and the repaint it asks for.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "image/canvas_memory.h"
#include "image/image.h"
#include "shell/report.h"
#include "shell/report_memory.h"
#include "tests/support/test_support.h"

namespace {

class ThresholdView : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }
};

void SetWork(int x, int y, uint8_t value) { gWorkRaster.brightness[y * kWorkSide + x] = value; }

// A raster where each work pixel is bright exactly when its column is in
// `columns`, then the canvas columns that came out white.
std::vector<int> WhiteCanvasColumns(const std::vector<int> &columns, int canvasColumns)
{
    for (int x : columns)
        for (int y = 0; y < kWorkSide; y++)
            SetWork(x, y, 200);
    gSettings.threshold = 100;
    RenderThresholdView();
    std::vector<int> white;
    for (int j = 0; j < canvasColumns; j++)
        if (GetCanvasPixel(AnalysisCanvas(), j, 0) == kColourWhite)
            white.push_back(j);
    return white;
}

TEST_F(ThresholdView, AtRatioTwoShowsEvenWorkPixelsOnly)
{
    ASSERT_EQ(SetImageGeometry(2048, 2048), 1);
    // Odd work columns and rows bright: invisible at ratio 2.
    for (int y = 0; y < kWorkSide; y++)
        for (int x = 0; x < kWorkSide; x++)
            SetWork(x, y, (x % 2 == 1 || y % 2 == 1) ? 255 : 0);
    SetWork(2 * 17, 2 * 5, 255);
    gSettings.threshold = 128;
    RenderThresholdView();
    EXPECT_EQ(CountCanvasColour(AnalysisCanvas(), kColourWhite), 1);
    EXPECT_EQ(GetCanvasPixel(AnalysisCanvas(), 17, 5), kColourWhite);
    EXPECT_EQ(AnalysisCanvas()->writes, 320L * 320L);
}

TEST_F(ThresholdView, AtRatioOneAndAHalfSkipsEveryThirdWorkColumn)
{
    ASSERT_EQ(SetImageGeometry(480, 360), 1);
    ASSERT_EQ(DrawingRatio(), 1.5);
    // Canvas columns 0..5 sample work columns 0, 1, 3, 4, 6, 7.
    EXPECT_EQ(WhiteCanvasColumns({1, 2, 7}, 6), (std::vector<int>{1, 5}));
}

struct CutCase {
    int32_t threshold;  // as gSettings holds it; only the low 8 bits count
    int whitePixels;    // of the four brightnesses 0, 99, 100, 255
};

class Cut : public ThresholdView, public ::testing::WithParamInterface<CutCase> {};

TEST_P(Cut, WhiteIsAtOrAboveTheThreshold)
{
    ASSERT_EQ(SetImageGeometry(320, 320), 1);
    for (int y = 0; y < kWorkSide; y++)
        for (int x = 0; x < kWorkSide; x++)
            SetWork(x, y, 0);
    SetWork(1, 0, 99);
    SetWork(2, 0, 100);
    SetWork(3, 0, 255);
    gSettings.threshold = GetParam().threshold;
    RenderThresholdView();
    int zeroPixelsWhite = GetParam().threshold % 256 == 0 ? 320 * 320 - 4 : 0;
    EXPECT_EQ(CountCanvasColour(AnalysisCanvas(), kColourWhite), GetParam().whitePixels + zeroPixelsWhite);
    EXPECT_EQ(CountCanvasColour(AnalysisCanvas(), kColourWhite) + CountCanvasColour(AnalysisCanvas(), kColourBlack),
              320 * 320);
}

INSTANTIATE_TEST_SUITE_P(Thresholds, Cut,
                         ::testing::Values(CutCase{0, 4}, CutCase{100, 2}, CutCase{101, 1}, CutCase{255, 1},
                                           CutCase{256 + 100, 2}));

TEST_F(ThresholdView, RenderingAsksForOneRepaintWithAndWithoutAPhotograph)
{
    RenderThresholdView();
    EXPECT_EQ(gMemoryDialog.invalidations, 1);
    EXPECT_EQ(AnalysisCanvas(), nullptr);

    ASSERT_EQ(SetImageGeometry(320, 180), 1);
    RenderThresholdView();
    EXPECT_EQ(gMemoryDialog.invalidations, 2);
    EXPECT_EQ(AnalysisCanvas()->writes, 320L * 180L);
}

}  // namespace
