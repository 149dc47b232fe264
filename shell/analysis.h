// The analysis run behind Preview and OK: labelling, outline, ellipse, camera
// and light in order, drawing each stage in preview mode.
#pragma once

#include "camera/camera.h"

// Stops at the first failing stage with its message on the status line and
// returns 0. *lightFound is set to 0 once the ellipse is fitted and to 1 when
// the light was estimated; *pose, *xrot and *yrot are written only by the
// stages that produce them.
int RunAnalysis(int previewMode, CameraPose *pose, double *xrot, double *yrot, int *lightFound);
