// The analysis run behind Preview and OK: labelling, outline, ellipse, camera
// and light in order, drawing each stage in preview mode.
#pragma once

#include <cstdint>

#include "camera/camera.h"
#include "ellipse/ellipse.h"

// What the last run measured on its way, for callers that look further than
// the pose and the light (the refined estimate starts from the fitted ellipse).
struct AnalysisTrace {
    int32_t ellipseFitted;  // 1 once the run got past the fit
    EllipseParams ellipse;  // work pixels, in the normal form a >= b >= 0
    int32_t stagesPassed;   // stages that succeeded, in order: labels, outline, ellipse, camera, light (0..5)
    double shadowLength;    // ring factor where the shadow ends, once the light is estimated
};

extern AnalysisTrace gAnalysisTrace;

// Stops at the first failing stage with its message on the status line and
// returns 0. *lightFound is set to 0 once the ellipse is fitted and to 1 when
// the light was estimated; *pose, *xrot and *yrot are written only by the
// stages that produce them.
int RunAnalysis(int previewMode, CameraPose *pose, double *xrot, double *yrot, int *lightFound);

// Everything an analysis reads or leaves behind, as a freshly started dialog
// has it: no geometry and no canvases, an empty WorkRaster, label map,
// component table, outline and trace, and the label colours from their first.
// The settings and the status line are not part of it.
void ResetAnalysisState();
