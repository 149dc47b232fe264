#include "shell/analysis.h"

#include <cstring>

#include "image/image.h"
#include "light/light.h"
#include "marker/marker.h"
#include "shell/report.h"

AnalysisTrace gAnalysisTrace;

static const char kMessageLabels[] = "Thre are not enough labels.\nToo wandering.";
static const char kMessageOutline[] = "can not trace outline of ellipse";
static const char kMessageEllipse[] = "can not calculate parameters of ellipse";
static const char kMessageCamera[] = "can not calculate about the camera";

int RunAnalysis(int previewMode, CameraPose *pose, double *xrot, double *yrot, int *lightFound)
{
    const ImageGeometry &geometry = gImageGeometry;
    gAnalysisTrace.ellipseFitted = 0;
    gAnalysisTrace.stagesPassed = 0;
    double ratio = DrawingRatio();
    Canvas *canvas = AnalysisCanvas();

    if (!LabelComponents(geometry.workWidth, geometry.workHeight, static_cast<uint8_t>(gSettings.threshold))) {
        ShowStatus(kMessageLabels);
        return 0;
    }
    gAnalysisTrace.stagesPassed = 1;
    if (previewMode)
        PaintComponents(canvas, geometry.previewWidth, geometry.previewHeight, ratio);

    if (!TraceOutline(geometry.workWidth, geometry.workHeight)) {
        ShowStatus(kMessageOutline);
        return 0;
    }
    gAnalysisTrace.stagesPassed = 2;
    if (previewMode)
        DrawOutline(canvas, ratio);

    EllipseParams ellipse;
    if (!FitEllipse(&ellipse)) {
        ShowStatus(kMessageEllipse);
        return 0;
    }
    // The fit may leave negative semi-axes or a < b; everything after it
    // (the axes, the pose's sqrt(1 - (b/a)^2), the ring samples) wants a >= b >= 0.
    NormaliseEllipse(&ellipse);
    gAnalysisTrace.ellipse = ellipse;
    gAnalysisTrace.ellipseFitted = 1;
    gAnalysisTrace.stagesPassed = 3;
    if (previewMode)
        DrawEllipseAxes(canvas, ellipse, ratio);

    *lightFound = 0;
    // A preview without shadow detection shows the marker only.
    if (previewMode && !gSettings.detectShadow)
        return 1;

    CameraPose solved;
    if (!SolveCameraPose(ellipse, geometry.workWidth, geometry.workHeight, ratio, &solved)) {
        ShowStatus(kMessageCamera);
        return 0;
    }
    *pose = solved;
    gAnalysisTrace.stagesPassed = 4;
    if (!gSettings.detectShadow)
        return 1;

    // A missing shadow is no failure of the run: the callers decide what to tell.
    double lightX, lightY, shadowLength;
    if (!EstimateLight(ellipse, solved.pitch, &lightX, &lightY, &shadowLength))
        return 1;
    *xrot = lightX;
    *yrot = lightY;
    *lightFound = 1;
    gAnalysisTrace.stagesPassed = 5;
    gAnalysisTrace.shadowLength = shadowLength;
    if (previewMode)
        DrawShadowLine(canvas, ellipse, lightY, shadowLength, ratio);
    return 1;
}

void ResetAnalysisState()
{
    std::memset(&gImageGeometry, 0, sizeof gImageGeometry);
    std::memset(&gWorkRaster, 0, sizeof gWorkRaster);
    std::memset(&gLabelMap, 0, sizeof gLabelMap);
    std::memset(&gComponentTable, 0, sizeof gComponentTable);
    std::memset(&gOutlineBuffer, 0, sizeof gOutlineBuffer);
    std::memset(&gAnalysisTrace, 0, sizeof gAnalysisTrace);
    ReleaseCanvases();
    RestartLabelColours();
}
