// Whether what the analysis found is a whole marker: the evidence gathered from the
// analysis' own results and the refined rim, the rules that judge it and their reasons.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ellipse/ellipse.h"
#include "marker/marker.h"
#include "refine/refine.h"

// What the classic analysis at one threshold shows of its marker, read from
// the WorkRaster, the outline, the component table and the fitted ellipse.
struct RegionEvidence {
    double a, b;                // work pixels, the fitted ellipse's semi-axes
    double margin;              // work pixels from the ellipse's bounding box to the raster's edge
    double insideLevel;         // brightness, median inside the ellipse shrunk by kInsideShare
    double ringLevel;           // brightness, median of the ring around the ellipse
    double insideBrightShare;   // share of the inside at or above the threshold
    double ringBrightShare;     // share of the ring at or above the threshold
    double rivalShare;          // the second largest component's pixels over the largest's
};

// What the refined step shows of the rim, and how far it lies from the border.
struct RimEvidence {
    int32_t found;      // 1 when the rim was fitted (the rest is valid)
    double contrast;    // grey levels, median disc minus ground across the rim
    double coverage;    // share of the rim's normals that gave an edge point
    double widestGap;   // radians, widest turn around the centre without an edge point
    double margin;      // source pixels from the rim's bounding box to the picture's edge
    double residual;    // source pixels, RMS distance of the rim's kept edge points from its ellipse
    double minorAxis;   // source pixels, the rim's minor semi-axis
};

// The figures a batch reports beside the refined numbers.
struct MarkerQuality {
    int32_t measured;         // 1 when the record holds them
    int32_t rimFound;         // 1 when rimContrast, rimCoverage and rimResidual hold
    double rimContrast;       // grey levels in linear light, 0..255
    double rimCoverage;       // share 0..1
    double rimResidual;       // source pixels, RMS distance of the rim's edge points from its ellipse
    double regionContrast;    // brightness levels, marker inside over the ring around it
    double margin;            // source pixels from the marker to the picture's edge
    int32_t thresholdRun;     // brightness levels the stable run of thresholds spans; -1 when not scanned
};

// Gathers the evidence of the analysis that just ran at threshold on a
// raster of width x height (row stride kWorkSide).
void GatherRegionEvidence(const uint8_t *brightness, int width, int height, int threshold,
                          const EllipseParams &ellipse, const ComponentTable &components, RegionEvidence *evidence);
// The rim's evidence from a refined rim on a width x height photograph.
void GatherRimEvidence(const RimFit &rim, uint32_t width, uint32_t height, RimEvidence *evidence);

// 1 when the region looks like a whole marker; else 0 with the failed rule
// in reason.
int RegionPlausible(const RegionEvidence &evidence, char *reason, size_t reasonSize);
// 1 when the rim was found with contrast all round inside the picture; else 0 with the reason.
int RimPlausible(const RimEvidence &evidence, char *reason, size_t reasonSize);
// 1 when the run of thresholds is wide enough to be no accident of one level.
int RunPlausible(int runLevels);
