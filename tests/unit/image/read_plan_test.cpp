// The read plan: reading only the surviving rows and columns leaves the
// WorkRaster and the PhotoCanvas exactly as a full scan of the photograph.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "image/canvas_memory.h"
#include "image/image.h"
#include "tests/support/test_support.h"

namespace {

// A photograph whose every pixel differs from its neighbours in all three
// channels (a multiplicative hash), so that any pixel read in the wrong place
// shows.
uint32_t PhotoPixel(uint32_t x, uint32_t y, uint32_t seed)
{
    uint32_t h = (x * 0x9E3779B1u) ^ (y * 0x85EBCA77u) ^ seed;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h;
}

struct Picture {
    std::vector<uint8_t> work;
    std::vector<Colour> canvas;
};

Picture Snapshot()
{
    Picture picture;
    picture.work.assign(gWorkRaster.brightness, gWorkRaster.brightness + kWorkSide * kWorkSide);
    const Canvas *canvas = PhotoCanvas();
    picture.canvas.assign(canvas->pixels, canvas->pixels + kMemoryCanvasRoom * kMemoryCanvasRoom);
    return picture;
}

Picture FullScan(uint32_t width, uint32_t height, uint32_t seed)
{
    ResetProgramState();
    EXPECT_EQ(SetImageGeometry(width, height), 1);
    for (uint32_t y = 0; y < height; y++)
        for (uint32_t x = 0; x < width; x++)
            TransferPixel(x, y, PhotoPixel(x, y, seed));
    return Snapshot();
}

Picture PlannedScan(uint32_t width, uint32_t height, uint32_t seed)
{
    ResetProgramState();
    EXPECT_EQ(SetImageGeometry(width, height), 1);
    EXPECT_EQ(PlanPixelReads(width, height), 1);
    for (uint32_t r = 0; r < gReadPlan.rowCount; r++)
        for (uint32_t c = 0; c < gReadPlan.columnCount; c++)
            TransferPixel(gReadPlan.columns[c], gReadPlan.rows[r],
                          PhotoPixel(gReadPlan.columns[c], gReadPlan.rows[r], seed));
    return Snapshot();
}

// The planned rows through TransferPlannedRow, each from a whole source row.
Picture RowScan(uint32_t width, uint32_t height, uint32_t seed)
{
    ResetProgramState();
    EXPECT_EQ(SetImageGeometry(width, height), 1);
    EXPECT_EQ(PlanPixelReads(width, height), 1);
    std::vector<uint32_t> row(width);
    for (uint32_t r = 0; r < gReadPlan.rowCount; r++) {
        for (uint32_t x = 0; x < width; x++)
            row[x] = PhotoPixel(x, gReadPlan.rows[r], seed);
        EXPECT_EQ(TransferPlannedRow(r, row.data(), width), 1);
    }
    return Snapshot();
}

struct Size {
    uint32_t width;
    uint32_t height;
};

class ReadPlanSizes : public ::testing::TestWithParam<Size> {};

TEST_P(ReadPlanSizes, GivesTheSameRasterAndCanvasAsAFullScan)
{
    Size size = GetParam();
    uint32_t seed = size.width * 7919u + size.height;
    Picture full = FullScan(size.width, size.height, seed);
    Picture planned = PlannedScan(size.width, size.height, seed);
    EXPECT_TRUE(full.work == planned.work);
    EXPECT_TRUE(full.canvas == planned.canvas);
    Picture rows = RowScan(size.width, size.height, seed);
    EXPECT_TRUE(full.work == rows.work);
    EXPECT_TRUE(full.canvas == rows.canvas);
    // Row by row, each canvas pixel is written once.
    EXPECT_EQ(PhotoCanvas()->writes, static_cast<long>(gImageGeometry.previewWidth) * gImageGeometry.previewHeight);
    // Each axis reads at most one index per work pixel plus one per canvas pixel.
    EXPECT_LE(gReadPlan.columnCount, static_cast<uint32_t>(kWorkSide + kCanvasSide));
    EXPECT_LE(gReadPlan.rowCount, static_cast<uint32_t>(kWorkSide + kCanvasSide));
}

INSTANTIATE_TEST_SUITE_P(
    Photographs, ReadPlanSizes,
    ::testing::Values(
        // the long sides whose work or preview side truncates one short
        Size{1077, 800}, Size{1162, 700}, Size{1212, 1212}, Size{1231, 800}, Size{900, 1232}, Size{1239, 1000},
        Size{1241, 700}, Size{1245, 1245}, Size{1246, 801}, Size{1263, 711}, Size{1269, 1000}, Size{1276, 718},
        Size{581, 400}, Size{638, 638},
        // scales of exactly 1, 1.5 and 2 work pixels per canvas pixel
        Size{320, 180}, Size{480, 360}, Size{360, 480}, Size{2048, 2048}, Size{2048, 1152},
        // odd sizes
        Size{1999, 1501}, Size{641, 641}, Size{1153, 2047}, Size{333, 321}));

TEST(ReadPlan, ReadsEveryPixelUpTo320AndOnlyTheLastOfEachWorkPixelAt2048)
{
    ResetProgramState();
    ASSERT_EQ(SetImageGeometry(320, 180), 1);
    ASSERT_EQ(PlanPixelReads(320, 180), 1);
    EXPECT_EQ(gReadPlan.columnCount, 320u);
    EXPECT_EQ(gReadPlan.rowCount, 180u);

    // Work pixel 0 gathers source 0..3 and work pixel 1 source 4..6; the canvas
    // intervals end where work intervals end.
    ResetProgramState();
    ASSERT_EQ(SetImageGeometry(2048, 2048), 1);
    ASSERT_EQ(PlanPixelReads(2048, 2048), 1);
    EXPECT_EQ(gReadPlan.columnCount, 640u);
    EXPECT_EQ(gReadPlan.rowCount, 640u);
    EXPECT_EQ(gReadPlan.columns[0], 3u);
    EXPECT_EQ(gReadPlan.columns[1], 6u);
    EXPECT_EQ(gReadPlan.rows[639], 2047u);
}

TEST(ReadPlan, NeedsAnAcceptedGeometryAndLeavesThePlanOtherwise)
{
    ResetProgramState();
    std::memset(&gReadPlan, 0, sizeof gReadPlan);
    EXPECT_EQ(PlanPixelReads(640, 480), 0);
    ASSERT_EQ(SetImageGeometry(640, 480), 1);
    EXPECT_EQ(PlanPixelReads(kMaxImageSide + 1, 480), 0);
    EXPECT_EQ(gReadPlan.columnCount, 0u);
    EXPECT_EQ(gReadPlan.rowCount, 0u);

    // A row of another width than the plan's, or beyond its rows, is not read.
    ASSERT_EQ(PlanPixelReads(640, 480), 1);
    std::vector<uint32_t> row(640, 0xFFFFFFFFu);
    EXPECT_EQ(TransferPlannedRow(0, row.data(), 639), 0);
    EXPECT_EQ(TransferPlannedRow(gReadPlan.rowCount, row.data(), 640), 0);
    EXPECT_EQ(TransferPlannedRow(0, nullptr, 640), 0);
    EXPECT_EQ(PhotoCanvas()->writes, 0);
}

}  // namespace
