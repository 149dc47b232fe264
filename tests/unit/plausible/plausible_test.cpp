#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "common/numeric.h"
#include "image/image.h"
#include "plausible/plausible.h"

namespace {

const int kWidth = 640, kHeight = 480;
const int kThreshold = 160;
uint8_t gRaster[kWorkSide * kWorkSide];

struct Scene {
    const char *name;
    EllipseParams disc;   // work pixels
    int discLevel, groundLevel;
    int speckled;         // every other disc pixel at the ground's level
    int rivalPixels;      // a second component of this many pixels
    const char *refused;  // a word of the reason, or null when plausible
};

// Paints the scene's disc on its ground and returns the components the labelling would leave.
ComponentTable Paint(const Scene &s)
{
    const EllipseParams &e = s.disc;
    for (int y = 0; y < kHeight; y++)
        for (int x = 0; x < kWidth; x++) {
            const double dx = x - e.cx, dy = y - e.cy;
            const double u = (dx * std::cos(e.angle) + dy * std::sin(e.angle)) / e.a;
            const double v = (-dx * std::sin(e.angle) + dy * std::cos(e.angle)) / e.b;
            const int inside = u * u + v * v <= 1.0 && !(s.speckled && (x + y) % 2);
            gRaster[y * kWorkSide + x] = static_cast<uint8_t>(inside ? s.discLevel : s.groundLevel);
        }
    ComponentTable table = {};
    table.labelCount = 3;
    for (int label = 1; label <= 3; label++)
        table.records[label].parent = static_cast<uint8_t>(label == 2 ? 1 : label);  // 2 merged into 1
    table.records[1].pixelCount = static_cast<int32_t>(kPi * e.a * e.b * 0.6);
    table.records[2].pixelCount = static_cast<int32_t>(kPi * e.a * e.b * 0.4);
    table.records[3].pixelCount = s.rivalPixels;
    return table;
}

TEST(PlausibleTest, RegionRulesOnPaintedRasters)
{
    const EllipseParams disc = {320.0, 240.0, 80.0, 40.0, 0.3};
    const double area = kPi * 80.0 * 40.0;
    const Scene scenes[] = {
        {"whole disc", disc, 230, 90, 0, 20, nullptr},
        {"whole disc, small rival", disc, 230, 90, 0, static_cast<int>(0.2 * area), nullptr},
        {"tiny", {320.0, 240.0, 6.0, 3.0, 0.0}, 230, 90, 0, 0, "too small"},
        {"flat", {320.0, 240.0, 100.0, 8.0, 0.0}, 230, 90, 0, 0, "too flat"},
        {"at the border", {70.0, 240.0, 80.0, 40.0, 0.0}, 230, 90, 0, 0, "border"},
        {"bright ground", disc, 230, 200, 0, 0, "levels above"},
        {"speckled", disc, 230, 90, 1, 0, "not evenly bright"},
        {"second disc", disc, 230, 90, 0, static_cast<int>(0.9 * area), "another bright region"},
    };
    for (const Scene &s : scenes) {
        SCOPED_TRACE(s.name);
        const ComponentTable table = Paint(s);
        RegionEvidence evidence;
        GatherRegionEvidence(gRaster, kWidth, kHeight, kThreshold, s.disc, table, &evidence);
        char reason[256] = "";
        const int plausible = RegionPlausible(evidence, reason, sizeof reason);
        EXPECT_EQ(plausible, s.refused == nullptr) << reason;
        if (s.refused != nullptr) {
            EXPECT_NE(std::string(reason).find(s.refused), std::string::npos) << reason;
        }
    }
}

TEST(PlausibleTest, BrightGroundAroundTheRegionIsRefused)
{
    // The disc's core above a threshold that leaves much of a bright ring
    // around it: what a higher threshold shows of a lit disc cut elsewhere.
    const Scene s = {"core", {320.0, 240.0, 80.0, 40.0, 0.0}, 230, 90, 0, 0, nullptr};
    const ComponentTable table = Paint(s);
    for (int y = 0; y < kHeight; y++)
        for (int x = 0; x < kWidth; x++)
            if (gRaster[y * kWorkSide + x] == 90 && std::abs(x - 320) < 130 && std::abs(y - 240) < 70 && x % 3)
                gRaster[y * kWorkSide + x] = 170;
    RegionEvidence evidence;
    GatherRegionEvidence(gRaster, kWidth, kHeight, kThreshold, s.disc, table, &evidence);
    char reason[256] = "";
    EXPECT_EQ(RegionPlausible(evidence, reason, sizeof reason), 0);
}

TEST(PlausibleTest, RimRulesAndTheRun)
{
    const RimEvidence whole = {1, 150.0, 0.98, 0.2, 100.0, 0.08, 120.0};
    struct Case {
        const char *name;
        RimEvidence rim;
        const char *refused;
    };
    RimEvidence notFound = {}, border = whole, dim = whole, sparse = whole, gap = whole, square = whole;
    border.margin = 0.5;
    dim.contrast = 20.0;
    sparse.coverage = 0.5;
    gap.widestGap = 1.5;
    square.residual = 4.0;
    const Case cases[] = {
        {"whole", whole, nullptr},
        {"not found", notFound, "not found"},
        {"border", border, "border"},
        {"dim", dim, "grey levels"},
        {"sparse", sparse, "only 50 %"},
        {"gap", gap, "86 degrees"},
        {"square", square, "no ellipse"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char reason[256] = "";
        EXPECT_EQ(RimPlausible(c.rim, reason, sizeof reason), c.refused == nullptr) << reason;
        if (c.refused != nullptr) {
            EXPECT_NE(std::string(reason).find(c.refused), std::string::npos) << reason;
        }
    }
    EXPECT_FALSE(RunPlausible(0));
    EXPECT_FALSE(RunPlausible(15));
    EXPECT_TRUE(RunPlausible(16));
}

}  // namespace
