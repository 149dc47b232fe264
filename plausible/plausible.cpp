#include "plausible/plausible.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "common/numeric.h"
#include "image/image.h"

// Brightness levels a byte holds: the histograms' bins.
static const int kLevelCount = 256;

// Where the region's levels are read, in ellipse radii (the normalised
// radius sqrt((u/a)^2 + (v/b)^2), 1 on the fitted outline). The inside stops
// short of the outline so that its blurred edge does not count; the ring
// starts clear of it and reaches half a radius beyond, the ground beside the
// marker.
static const double kInsideShare = 0.8;  // ellipse radii
static const double kRingInner = 1.2;    // ellipse radii
static const double kRingOuter = 1.5;    // ellipse radii

// A marker is the largest bright thing on a darker ground: its median
// brightness stands at least kMinRegionContrast levels above the ring's.
// Lit discs render above about 200, grounds below about 135; a bright patch
// of texture or the lit part of a cut disc stands barely above its own
// surroundings.
static const double kMinRegionContrast = 40.0;  // brightness levels
// The disc is evenly white: all but the stick and its shadow on it is at or
// above the threshold. Speckled texture that merely touches the threshold is not.
static const double kMinInsideBrightShare = 0.8;  // share of the inside's pixels
// Nor is the ground around it bright: where much of the ring reaches the
// threshold, the outline cut a bright area (a disc cut by a higher
// threshold, a patch of a bright ground) rather than followed an edge.
static const double kMaxRingBrightShare = 0.15;  // share of the ring's pixels
// A sensible size: below kMinMinorAxis work pixels the outline has too few
// points to say it is an ellipse; flatter than kMinAxisRatio the camera would
// stand within a few degrees of the ground, where no disc is measured.
static const double kMinMinorAxis = 4.0;  // work pixels
static const double kMinAxisRatio = 0.12;  // minor over major semi-axis
// The marker lies inside the picture with room for its ring of ground: a
// disc cut by the border has its outline closed along the border.
static const double kMinMarginWork = 2.0;  // work pixels
// One marker: another white thing of a quarter of its area leaves it open
// which is the marker.
static const double kMaxRivalShare = 0.25;  // of the largest component's pixels

// The refined rim: the edge is found with contrast on most normals and
// nowhere is a long stretch of it missing (the stick and its shadow hide
// a narrow one); a disc cut by the border or a blob with soft sides is not.
static const double kMinRimCoverage = 0.7;  // share of the rim's normals
static const double kMaxRimGap = kPi / 3.0;    // radians around the centre
static const double kMinRimContrast = 40.0;   // grey levels in linear light, the median across the rim
static const double kMinMarginSource = 2.0;   // source pixels
// The refined rim of a disc is an ellipse to a fraction of a pixel (edge
// points found to a tenth of a pixel, the outlier cut taking the stick's and
// the shadow's); a square card's corners and sides, or a blob's bumps, stray
// from any ellipse by a share of its size.
static const double kMaxResidualFloor = 1.0;   // source pixels, RMS
static const double kMaxResidualShare = 0.01;  // of the minor semi-axis

// Thresholds at which the same ellipse is found must span this many levels:
// a disc's edge runs from the ground's level to the disc's, a hundred levels
// on ordinary photographs, while noise agrees with itself only by chance.
static const int kMinRunLevels = 16;  // brightness levels

// Median of a histogram of count values; 0 for none.
static double HistogramMedian(const int32_t histogram[kLevelCount], int32_t count)
{
    int32_t seen = 0;
    for (int v = 0; v < kLevelCount; v++) {
        seen += histogram[v];
        if (2 * seen > count)
            return v;
    }
    return 0.0;
}

// The largest and second largest components by pixels, over the roots.
static double RivalShare(const ComponentTable &components)
{
    int32_t pixels[kMaxLabels + 1] = {};
    for (int label = 1; label <= components.labelCount && label <= kMaxLabels; label++) {
        int root = label;
        while (components.records[root].parent != root && components.records[root].parent != 0)
            root = components.records[root].parent;
        pixels[root] += components.records[label].pixelCount;
    }
    int32_t first = 0, second = 0;
    for (int label = 1; label <= kMaxLabels; label++) {
        if (pixels[label] > first) {
            second = first;
            first = pixels[label];
        } else if (pixels[label] > second) {
            second = pixels[label];
        }
    }
    return first > 0 ? static_cast<double>(second) / first : 0.0;
}

// Half extents of the ellipse's bounding box: sqrt((a cos)^2 + (b sin)^2)
// across and the same turned a quarter down.
static void HalfExtents(const EllipseParams &e, double *hx, double *hy)
{
    const double c = std::cos(e.angle), s = std::sin(e.angle);
    *hx = std::sqrt(e.a * e.a * c * c + e.b * e.b * s * s);
    *hy = std::sqrt(e.a * e.a * s * s + e.b * e.b * c * c);
}

// Distance from the ellipse's bounding box to the nearest side of [0, right] x [0, bottom].
static double BoxMargin(const EllipseParams &e, double right, double bottom)
{
    double hx, hy;
    HalfExtents(e, &hx, &hy);
    return std::min(std::min(e.cx - hx, right - (e.cx + hx)), std::min(e.cy - hy, bottom - (e.cy + hy)));
}

void GatherRegionEvidence(const uint8_t *brightness, int width, int height, int threshold,
                          const EllipseParams &ellipse, const ComponentTable &components, RegionEvidence *evidence)
{
    const EllipseParams &e = ellipse;
    RegionEvidence out = {};
    out.a = e.a;
    out.b = e.b;
    // Work pixels are read at their centres, 0 .. width - 1.
    out.margin = BoxMargin(e, width - 1.0, height - 1.0);
    const double c = std::cos(e.angle), s = std::sin(e.angle);
    double hx, hy;
    HalfExtents(e, &hx, &hy);
    int32_t inside[kLevelCount] = {}, ring[kLevelCount] = {};
    int32_t insideCount = 0, ringCount = 0, insideBright = 0, ringBright = 0;
    if (e.a > 0.0 && e.b > 0.0 && std::isfinite(e.cx) && std::isfinite(e.cy) && std::isfinite(hx) &&
        std::isfinite(hy)) {
        // Clamped to the raster before the conversion, so that no ellipse
        // however far off gives an index outside it.
        const int x0 = static_cast<int>(std::max(0.0, std::floor(e.cx - kRingOuter * hx)));
        const int x1 = static_cast<int>(std::min(width - 1.0, std::ceil(e.cx + kRingOuter * hx)));
        const int y0 = static_cast<int>(std::max(0.0, std::floor(e.cy - kRingOuter * hy)));
        const int y1 = static_cast<int>(std::min(height - 1.0, std::ceil(e.cy + kRingOuter * hy)));
        for (int y = y0; y <= y1; y++)
            for (int x = x0; x <= x1; x++) {
                const double dx = x - e.cx, dy = y - e.cy;
                const double u = (dx * c + dy * s) / e.a, v = (-dx * s + dy * c) / e.b;
                const double r2 = u * u + v * v;
                const uint8_t level = brightness[y * kWorkSide + x];
                if (r2 <= kInsideShare * kInsideShare) {
                    inside[level]++;
                    insideCount++;
                    insideBright += level >= threshold;
                } else if (r2 >= kRingInner * kRingInner && r2 <= kRingOuter * kRingOuter) {
                    ring[level]++;
                    ringCount++;
                    ringBright += level >= threshold;
                }
            }
    }
    out.insideLevel = HistogramMedian(inside, insideCount);
    out.ringLevel = HistogramMedian(ring, ringCount);
    out.insideBrightShare = insideCount > 0 ? static_cast<double>(insideBright) / insideCount : 0.0;
    out.ringBrightShare = ringCount > 0 ? static_cast<double>(ringBright) / ringCount : 1.0;
    out.rivalShare = RivalShare(components);
    *evidence = out;
}

void GatherRimEvidence(const RimFit &rim, uint32_t width, uint32_t height, RimEvidence *evidence)
{
    const EllipseParams &e = rim.ellipse;
    RimEvidence out = {};
    out.found = 1;
    out.contrast = rim.contrast;
    out.coverage = rim.coverage;
    out.widestGap = rim.widestGap;
    // Source pixels cover [i, i + 1): the picture spans 0 .. width.
    out.margin = BoxMargin(e, width, height);
    out.residual = rim.rms;
    out.minorAxis = e.b;
    *evidence = out;
}

static int Refuse(char *reason, size_t reasonSize, const char *format, double value)
{
    std::snprintf(reason, reasonSize, format, value);
    return 0;
}

int RegionPlausible(const RegionEvidence &r, char *reason, size_t reasonSize)
{
    if (!(r.b >= kMinMinorAxis) || !(r.b >= kMinAxisRatio * r.a))
        return Refuse(reason, reasonSize, "the bright region is too small or too flat for a disc (%.1f work pixels across)",
                      2.0 * r.b);
    if (!(r.margin >= kMinMarginWork))
        return Refuse(reason, reasonSize, "the bright region reaches the picture's border (%.1f work pixels away)",
                      r.margin);
    if (!(r.insideLevel - r.ringLevel >= kMinRegionContrast))
        return Refuse(reason, reasonSize, "the bright region stands only %.0f levels above its surroundings",
                      r.insideLevel - r.ringLevel);
    if (!(r.insideBrightShare >= kMinInsideBrightShare))
        return Refuse(reason, reasonSize, "the bright region is not evenly bright (%.0f %% of it)",
                      100.0 * r.insideBrightShare);
    if (!(r.ringBrightShare <= kMaxRingBrightShare))
        return Refuse(reason, reasonSize, "the ground around the bright region is bright too (%.0f %% of it)",
                      100.0 * r.ringBrightShare);
    if (!(r.rivalShare <= kMaxRivalShare))
        return Refuse(reason, reasonSize, "another bright region of %.0f %% of its size could be the marker",
                      100.0 * r.rivalShare);
    return 1;
}

int RimPlausible(const RimEvidence &r, char *reason, size_t reasonSize)
{
    if (!r.found) {
        std::snprintf(reason, reasonSize, "the rim was not found");
        return 0;
    }
    if (!(r.margin >= kMinMarginSource))
        return Refuse(reason, reasonSize, "the rim reaches the picture's border (%.1f pixels away)", r.margin);
    if (!(r.contrast >= kMinRimContrast))
        return Refuse(reason, reasonSize, "the rim stands only %.0f grey levels above the ground", r.contrast);
    if (!(r.coverage >= kMinRimCoverage))
        return Refuse(reason, reasonSize, "the rim shows an edge on only %.0f %% of its length", 100.0 * r.coverage);
    if (!(r.residual <= std::max(kMaxResidualFloor, kMaxResidualShare * r.minorAxis)))
        return Refuse(reason, reasonSize, "the rim is no ellipse (%.2f pixels RMS off it)", r.residual);
    if (!(r.widestGap <= kMaxRimGap))
        return Refuse(reason, reasonSize, "the rim has no edge over %.0f degrees of its turn",
                      DegreesFromRadians(r.widestGap));
    return 1;
}

int RunPlausible(int runLevels)
{
    return runLevels >= kMinRunLevels;
}
