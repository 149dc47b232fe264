// The matched scene's files from a measured record: which numbers make the
// scene (the add-on's own choice, blender/quillmarsh/result.py make_plan),
// and the folder's check before the batch.
#include <cmath>
#include <cstdio>
#include <string>

#include "common/numeric.h"
#include "export/export.h"
#include "measure/measure.h"

// The classic lens: focal length 375 over half a long side of 160 (work
// pixels of the 320-pixel canvas), 46.2 degrees along the long side.
static const double kClassicHalfLongSide = 160.0;  // work pixels
static const double kClassicFocal = 375.0;         // work pixels
static const char kEstimateRefined[] = "refined";
static const char kEstimateClassic[] = "classic";

// The refined camera and lens when the refinement gave a camera; the sun
// from the refined light where it was found (its bearing alone joins the
// classic elevation), else the classic light; no sun when the classic
// analysis found no shadow.
static void SceneNumbers(const PhotoRecord &record, MatchScene *scene)
{
    scene->lightFound = record.lightFound;
    scene->xrot = DegreesFromRadians(record.xrot);
    scene->yrot = DegreesFromRadians(record.yrot);
    const RefinedEstimate &r = record.refined;
    if (record.refinedRan && r.status == kRefineDone) {
        scene->estimate = kEstimateRefined;
        scene->pitch = r.camera.pitch;
        scene->roll = r.camera.roll;
        scene->dollyX = r.camera.dollyX;
        scene->dollyY = r.camera.dollyY;
        scene->dollyZ = r.camera.dollyZ;
        scene->fov = r.fov;
        if (record.lightFound && r.light.bearingFound) {
            scene->yrot = r.light.yrot;
            if (r.light.elevationFound)
                scene->xrot = r.light.xrot;
        }
        return;
    }
    scene->estimate = kEstimateClassic;
    scene->pitch = DegreesFromRadians(record.pose.pitch);
    scene->roll = DegreesFromRadians(record.pose.roll);
    scene->dollyX = record.pose.dollyX;
    scene->dollyY = record.pose.dollyY;
    scene->dollyZ = record.pose.dollyZ;
    scene->fov = DegreesFromRadians(2.0 * std::atan(kClassicHalfLongSide / kClassicFocal));
}

int ExportMatch(const char *photoPath, uint32_t width, uint32_t height, const PhotoRecord &record,
                const MeasureOptions &options, const char *stem)
{
    MatchScene scene = {};
    scene.photoName = PhotoFileName(photoPath);
    scene.width = width;
    scene.height = height;
    scene.metric = options.markerDiameter > 0.0;
    scene.scale = scene.metric ? options.markerDiameter / kNumbersMarkerDiameter : 1.0;
    SceneNumbers(record, &scene);
    std::string reason;
    // The sun's strength and colour read off the disc belong to the refined
    // light, as in the add-on's matched scene; elsewhere the add-on's default.
    SunLight sun = DefaultSunLight();
    const Illumination &light = record.illumination;
    if (scene.estimate == kEstimateRefined && light.status == kIlluminationDone) {
        sun.strength = light.sunStrength;
        for (int k = 0; k < 3; k++)
            sun.color[k] = light.sunColor[k];
    }
    if (WriteScene(scene, sun, options.exportFormats, stem, &reason))
        return 1;
    std::fprintf(stderr, "quillmarsh-measure: no export for %s: %s\n", scene.photoName, reason.c_str());
    return 0;
}

int PrepareExports(const MeasureOptions &options, char **stems)
{
    if (options.exportFolder == nullptr)
        return 1;
    std::string reason;
    if (!CheckExportFolder(options.exportFolder, &reason)) {
        std::fprintf(stderr, "quillmarsh-measure: %s\n", reason.c_str());
        return 0;
    }
    MakeBatchPaths(options, options.exportFolder, 0, "", stems);
    return 1;
}
