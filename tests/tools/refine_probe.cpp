// Decodes a photograph, runs the classic analysis and the refinement after it,
// and prints both as one JSON object, with the refined rim, disc centre, stick
// top and shadow tip in source pixels for comparison with a rendered truth.
//     refine_probe PHOTO [THRESHOLD [DETECT_SHADOW]]
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "common/numeric.h"
#include "decode/decode.h"
#include "image/image.h"
#include "refine/refine.h"
#include "shell/analysis.h"
#include "shell/report.h"

static const char *const kSources[] = {"exif", "exif35", "default", "user", "lensdb", "stick"};

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: refine_probe PHOTO [THRESHOLD [DETECT_SHADOW]]\n");
        return 2;
    }
    ReadSettings();
    if (argc > 2)
        gSettings.threshold = std::atoi(argv[2]) & kThresholdMask;
    if (argc > 3)
        gSettings.detectShadow = std::atoi(argv[3]) != 0;
    Photo photo = {};
    if (DecodePhoto(argv[1], &photo) != kLoadDone || !TransferPhoto(&photo)) {
        std::printf("{\"error\": \"photo not loaded\"}\n");
        return 1;
    }
    CameraPose pose = {};
    double xrot = 0.0, yrot = 0.0;
    int lightFound = 0;
    if (!RunAnalysis(0, &pose, &xrot, &yrot, &lightFound)) {
        std::printf("{\"error\": \"classic analysis failed\"}\n");
        ReleasePhoto(&photo);
        return 1;
    }
    std::printf("{\"classic\": {\"camera\": {\"yaw\": 0.0, \"pitch\": %.6f, \"roll\": %.6f, \"dollyX\": %.6f, "
                "\"dollyY\": %.6f, \"dollyZ\": %.6f}",
                DegreesFromRadians(pose.pitch), DegreesFromRadians(pose.roll), pose.dollyX, pose.dollyY, pose.dollyZ);
    if (lightFound)
        std::printf(", \"light\": {\"xrot\": %.6f, \"yrot\": %.6f}", DegreesFromRadians(xrot), DegreesFromRadians(yrot));
    std::printf("}");
    RefinedEstimate r;
    RefineEstimate(&photo, gAnalysisTrace.ellipse, gImageGeometry.workScale, &r);
    std::printf(", \"refined\": {\"status\": %d", r.status);
    if (r.status == kRefineDone) {
        const RefinedCamera &c = r.camera, &s = r.cameraSigma;
        std::printf(", \"camera\": {\"yaw\": 0.0, \"pitch\": %.6f, \"roll\": %.6f, \"dollyX\": %.6f, \"dollyY\": %.6f, "
                    "\"dollyZ\": %.6f}",
                    c.pitch, c.roll, c.dollyX, c.dollyY, c.dollyZ);
        if (r.light.elevationFound)
            std::printf(", \"light\": {\"xrot\": %.6f, \"yrot\": %.6f}", r.light.xrot, r.light.yrot);
        else if (r.light.bearingFound)
            std::printf(", \"light\": {\"yrot\": %.6f}", r.light.yrot);
        std::printf(", \"uncertainty\": {\"pitch\": %.6f, \"roll\": %.6f, \"dollyX\": %.6f, \"dollyY\": %.6f, "
                    "\"dollyZ\": %.6f, \"distance\": %.6f",
                    s.pitch, s.roll, s.dollyX, s.dollyY, s.dollyZ, r.distanceSigma);
        if (r.light.elevationFound)
            std::printf(", \"xrot\": %.6f", r.light.xrotSigma);
        if (r.light.bearingFound)
            std::printf(", \"yrot\": %.6f", r.light.yrotSigma);
        std::printf(", \"fov\": %.6f}", r.fovSigma);
        // The same deviations with the lens taken as known, for photographs
        // whose lens is the assumed one by construction.
        RefinedEstimate known = r;
        RefinedUncertainty(&photo, 0.0, &known);
        std::printf(", \"uncertainty_lens_known\": {\"pitch\": %.6f, \"roll\": %.6f, \"distance\": %.6f",
                    known.cameraSigma.pitch, known.cameraSigma.roll, known.distanceSigma);
        if (r.light.elevationFound)
            std::printf(", \"xrot\": %.6f", known.light.xrotSigma);
        if (r.light.bearingFound)
            std::printf(", \"yrot\": %.6f", known.light.yrotSigma);
        std::printf("}");
        const EllipseParams &e = r.rim.ellipse;
        std::printf(", \"image\": {\"ellipse_px\": {\"cx\": %.6f, \"cy\": %.6f, \"a\": %.6f, \"b\": %.6f, \"angle\": %.9f}, "
                    "\"rim_rms\": %.4f, \"rim_points\": %d, \"rim_normals\": %d, \"edge_width\": %.3f, \"disc_centre_px\": [%.6f, %.6f]",
                    e.cx, e.cy, e.a, e.b, e.angle, r.rim.rms, r.rim.used, r.rim.normals, r.rim.edgeWidth, r.pose.centreImage[0],
                    r.pose.centreImage[1]);
        if (r.light.stickHeight > 0.0)
            std::printf(", \"stick_top_px\": [%.6f, %.6f], \"stick_height\": %.6f", r.light.stickTop[0],
                        r.light.stickTop[1], r.light.stickHeight);
        if (r.light.elevationFound)
            std::printf(", \"shadow_tip_px\": [%.6f, %.6f], \"tip_distance\": %.6f", r.light.shadowTip[0],
                        r.light.shadowTip[1], r.light.tipDistance);
        std::printf("}");
    }
    std::printf(", \"fov\": %.6f, \"focal\": %.6f, \"focal_source\": \"%s\", \"note\": \"%s\"}}\n", r.fov, r.lens.focal,
                kSources[r.lens.source], r.note);
    ReleasePhoto(&photo);
    return 0;
}
