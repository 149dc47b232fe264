// Image intake: the size rules in their order, the geometry with its
// truncations, and the pixel transfer onto the WorkRaster and the PhotoCanvas.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "image/canvas_memory.h"
#include "image/image.h"
#include "shell/report_memory.h"
#include "tests/support/test_support.h"

namespace {

class Intake : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }
};

uint8_t WorkAt(int x, int y) { return gWorkRaster.brightness[y * kWorkSide + x]; }

struct RuleCase {
    uint32_t width;
    uint32_t height;
    const char *message;  // nullptr: accepted
};

class SizeRules : public Intake, public ::testing::WithParamInterface<RuleCase> {};

TEST_P(SizeRules, AcceptOrRejectWithTheFirstBrokenRulesMessage)
{
    RuleCase rule = GetParam();
    int accepted = SetImageGeometry(rule.width, rule.height);
    if (rule.message == nullptr) {
        EXPECT_EQ(accepted, 1);
        EXPECT_NE(PhotoCanvas(), nullptr);
        EXPECT_NE(AnalysisCanvas(), nullptr);
        EXPECT_EQ(gMemoryDialog.statusCalls, 0);
        return;
    }
    EXPECT_EQ(accepted, 0);
    EXPECT_EQ(std::string(gMemoryDialog.status), rule.message);
    EXPECT_EQ(gMemoryDialog.statusIconVisible, 1);
    // A rejected photograph leaves no trace: geometry zero, no canvases.
    EXPECT_EQ(gImageGeometry.workWidth, 0);
    EXPECT_EQ(gImageGeometry.previewHeight, 0);
    EXPECT_EQ(gImageGeometry.workScale, 0.0);
    EXPECT_EQ(PhotoCanvas(), nullptr);
    EXPECT_EQ(AnalysisCanvas(), nullptr);
}

const char kTooLarge[] = "background image is too large";
const char kTooSmall[] = "background image is too small";
const char kAspect[] = "aspect ratio of background image is not available";

INSTANTIATE_TEST_SUITE_P(
    Sizes, SizeRules,
    ::testing::Values(RuleCase{2048, 2048, nullptr}, RuleCase{2049, 1500, kTooLarge}, RuleCase{1500, 2049, kTooLarge},
                      // too large is tested before the aspect ratio
                      RuleCase{3000, 100, kTooLarge}, RuleCase{319, 319, kTooSmall},
                      // too small is tested before the aspect ratio
                      RuleCase{10, 300, kTooSmall}, RuleCase{0, 0, kTooSmall}, RuleCase{320, 0, kAspect},
                      RuleCase{320, 180, nullptr}, RuleCase{300, 600, kAspect}, RuleCase{2048, 1151, kAspect},
                      RuleCase{2048, 1152, nullptr}, RuleCase{1152, 2048, nullptr}));

struct GeometryCase {
    uint32_t width;
    uint32_t height;
    int32_t workWidth;
    int32_t workHeight;
    int32_t previewWidth;
    int32_t previewHeight;
    int32_t xOffset;
    int32_t yOffset;
    double ratio;
};

class Geometry : public Intake, public ::testing::WithParamInterface<GeometryCase> {};

TEST_P(Geometry, SidesOffsetsAndDrawingRatio)
{
    GeometryCase expected = GetParam();
    ASSERT_EQ(SetImageGeometry(expected.width, expected.height), 1);
    EXPECT_EQ(gImageGeometry.workWidth, expected.workWidth);
    EXPECT_EQ(gImageGeometry.workHeight, expected.workHeight);
    EXPECT_EQ(gImageGeometry.previewWidth, expected.previewWidth);
    EXPECT_EQ(gImageGeometry.previewHeight, expected.previewHeight);
    EXPECT_EQ(gImageGeometry.previewXOffset, expected.xOffset);
    EXPECT_EQ(gImageGeometry.previewYOffset, expected.yOffset);
    // Compared exactly: every drawing divides by this very double.
    EXPECT_EQ(DrawingRatio(), expected.ratio);
    EXPECT_EQ(PhotoCanvas()->width, expected.previewWidth);
    EXPECT_EQ(AnalysisCanvas()->height, expected.previewHeight);
}

INSTANTIATE_TEST_SUITE_P(
    Photographs, Geometry,
    ::testing::Values(GeometryCase{2048, 2048, 640, 640, 320, 320, 0, 0, 2.0},
                      GeometryCase{320, 180, 320, 180, 320, 180, 0, 70, 1.0},
                      GeometryCase{1920, 1080, 640, 360, 320, 180, 0, 70, 2.0},
                      GeometryCase{480, 360, 480, 360, 320, 240, 0, 40, 1.5},
                      GeometryCase{360, 480, 360, 480, 240, 320, 40, 0, 1.5},
                      GeometryCase{328, 328, 328, 328, 320, 320, 0, 0, 1.0250000000000001},
                      // 1077 * (640 / 1077) falls just short of 640 in double precision
                      GeometryCase{1077, 800, 639, 475, 319, 237, 0, 41, 2.0}));

// Which long sides L give a side one short of the box: trunc(L * (640 / L))
// < 640 for the work raster, trunc(L * (320 / L)) < 320 for the canvases.
TEST_F(Intake, ExactlyTheKnownLongSidesTruncateOneShort)
{
    const std::set<uint32_t> workShort = {1077, 1162, 1212, 1231, 1232, 1239, 1241, 1245, 1246, 1263, 1269, 1276};
    const std::set<uint32_t> previewOnlyShort = {581, 606, 616, 623, 638};
    for (uint32_t side = kMinImageSide; side <= kMaxImageSide; side++) {
        ResetProgramState();
        ASSERT_EQ(SetImageGeometry(side, side), 1) << side;
        int32_t work = side < 640 ? static_cast<int32_t>(side) : (workShort.count(side) ? 639 : 640);
        int32_t preview = side > 320 && (workShort.count(side) || previewOnlyShort.count(side)) ? 319 : 320;
        EXPECT_EQ(gImageGeometry.workWidth, work) << side;
        EXPECT_EQ(gImageGeometry.workHeight, work) << side;
        EXPECT_EQ(gImageGeometry.previewWidth, preview) << side;
        EXPECT_EQ(gImageGeometry.previewXOffset, 0) << side;
    }
}

TEST_F(Intake, DrawingRatioBeforeAnyPhotographIsOneNotNaN) { EXPECT_EQ(DrawingRatio(), 1.0); }

struct BrightnessCase {
    uint32_t argb;
    uint8_t brightness;
    Colour canvas;
};

class Brightness : public Intake, public ::testing::WithParamInterface<BrightnessCase> {};

TEST_P(Brightness, IsTheLargestChannelAndAlphaPlaysNoPart)
{
    BrightnessCase pixel = GetParam();
    ASSERT_EQ(SetImageGeometry(320, 320), 1);
    TransferPixel(5, 7, pixel.argb);
    EXPECT_EQ(WorkAt(5, 7), pixel.brightness);
    EXPECT_EQ(GetCanvasPixel(PhotoCanvas(), 5, 7), pixel.canvas);
}

INSTANTIATE_TEST_SUITE_P(Colours, Brightness,
                         ::testing::Values(BrightnessCase{0xFFFF0000u, 255, 0x0000FFu},
                                           BrightnessCase{0xFF0AC81Eu, 200, 0x1EC80Au},
                                           BrightnessCase{0x00FFFFFFu, 255, 0xFFFFFFu},
                                           BrightnessCase{0x800000F0u, 240, 0xF00000u},
                                           BrightnessCase{0xFF112233u, 0x33, 0x332211u}));

// With a long side of 2048 work pixel 0 gathers source pixels 0..3 and work
// pixel 1 only 4..6 (trunc(7 * 0.3125) = 2); canvas pixel 0 gathers 0..6
// (trunc(6 * 0.15625) = 0). No averaging: the last in scan order (largest y,
// then largest x) stays.
TEST_F(Intake, LastSourcePixelInScanOrderWins)
{
    ASSERT_EQ(SetImageGeometry(2048, 2048), 1);
    ASSERT_EQ(gImageGeometry.workScale, 0.3125);
    // Red (128 + 8y + x) is the brightest channel; blue (16x + y) tells the
    // canvas pixels apart.
    auto red = [](uint32_t x, uint32_t y) { return 128 + y * 8 + x; };
    auto blue = [](uint32_t x, uint32_t y) { return x * 16 + y; };
    for (uint32_t y = 0; y < 8; y++)
        for (uint32_t x = 0; x < 8; x++)
            TransferPixel(x, y, 0xFF000000u | red(x, y) << 16 | blue(x, y));
    EXPECT_EQ(WorkAt(0, 0), red(3, 3));
    EXPECT_EQ(WorkAt(1, 0), red(6, 3));
    EXPECT_EQ(WorkAt(1, 1), red(6, 6));
    EXPECT_EQ(WorkAt(2, 2), red(7, 7));
    EXPECT_EQ(GetCanvasPixel(PhotoCanvas(), 0, 0), blue(6, 6) << 16 | red(6, 6));
    EXPECT_EQ(GetCanvasPixel(PhotoCanvas(), 1, 1), blue(7, 7) << 16 | red(7, 7));
}

TEST_F(Intake, PixelsBeyondTheRasterAndCanvasAreDropped)
{
    ASSERT_EQ(SetImageGeometry(320, 180), 1);
    TransferPixel(100000, 5, 0xFFFFFFFFu);
    TransferPixel(5, 4000000000u, 0xFFFFFFFFu);
    TransferPixel(639, 639, 0xFFFFFFFFu);
    EXPECT_EQ(WorkAt(639, 639), 255);
    EXPECT_EQ(PhotoCanvas()->writes, 0);
}

TEST_F(Intake, SampleFillsTheRasterOnlyWithinTheWorkSize)
{
    ASSERT_EQ(LoadSample("s01"), kLoadDone);
    ASSERT_EQ(gImageGeometry.workWidth, 640);
    ASSERT_EQ(gImageGeometry.workHeight, 480);
    int brightBelow = 0;
    for (int y = 480; y < kWorkSide; y++)
        for (int x = 0; x < kWorkSide; x++)
            brightBelow += WorkAt(x, y) != 0;
    EXPECT_EQ(brightBelow, 0);
    EXPECT_EQ(PhotoCanvas()->writes, 640L * 480L);
}

}  // namespace
