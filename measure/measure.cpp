#include "measure/measure.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "decode/decode.h"
#include "image/image.h"
#include "lensdb/lensdb.h"
#include "marker/marker.h"
#include "plausible/plausible.h"
#include "shell/analysis.h"
#include "shell/report.h"
#include "shell/report_memory.h"
#include "shell/result.h"

// The dialog's own words for a photograph that no decoder could read.
static const char kMessageLoad[] = "can not load background image file";
// Shown by the dialog's Preview when the shadow search finds nothing.
static const char kMessageNoShadow[] = "shadow is not detected";
// The command's own words for numbers that are not finite, which no
// photograph should give and no output may carry.
static const char kMessageNotFinite[] = "the measurement gave numbers that are not finite";

static void KeepMessage(PhotoRecord *record, const char *text)
{
    std::strncpy(record->message, text, kRecordMessageSize - 1);
    record->message[kRecordMessageSize - 1] = '\0';
}

static void RecordFailure(PhotoRecord *record, const char *text)
{
    record->code = kExitNoResult;
    record->cameraFound = 0;
    record->lightFound = 0;
    KeepMessage(record, text);
}

static int AllFinite(const PhotoRecord &record)
{
    const CameraPose &p = record.pose;
    int finite = std::isfinite(p.yaw) && std::isfinite(p.pitch) && std::isfinite(p.roll) && std::isfinite(p.dollyX) &&
                 std::isfinite(p.dollyY) && std::isfinite(p.dollyZ);
    if (record.lightFound)
        finite = finite && std::isfinite(record.xrot) && std::isfinite(record.yrot);
    return finite;
}

// The command's own words when the automatic threshold finds nothing that
// looks like a whole marker.
static const char kMessageNoMarker[] = "no marker found at any threshold";

// Shown in the refined record when the shadow search was switched off.
static const char kNoteNoShadow[] = "shadow detection off: light not refined";

// The light's strength and colour from the disc, for the refined light; a
// caller's options without an albedo mean the default disc.
static void AddIlluminationRecord(const Photo &photo, const MeasureOptions &options, PhotoRecord *record)
{
    double albedo[3];
    const int given = options.markerAlbedo[0] > 0.0 && options.markerAlbedo[1] > 0.0 && options.markerAlbedo[2] > 0.0;
    for (int c = 0; c < 3; c++)
        albedo[c] = given ? options.markerAlbedo[c] : kDefaultMarkerAlbedo;
    MeasureIllumination(&photo, record->refined, albedo, &record->illumination);
}

// The lens' distortion profile from the lens database, for a photo whose
// EXIF names the camera and the focal length (the lens by LensModel), unless
// the user turned the correction off. Without LensModel only a fixed-lens
// camera could be corrected, which needs --lens-correction force: the
// database (some 16 MB, 60 ms to load) is then not read at all.
static void LensDistortionFor(const Photo &photo, const MeasureOptions &options, LensHints *hints)
{
    const PhotoExif &exif = photo.exif;
    if (options.lensCorrection == kLensCorrectionOff || !exif.hasFocalLength || exif.make[0] == '\0' ||
        exif.model[0] == '\0' || (options.lensCorrection != kLensCorrectionForce && exif.lensModel[0] == '\0'))
        return;
    const FixedLensRule fixed = options.lensCorrection == kLensCorrectionForce ? kFixedLensCorrect : kFixedLensSkip;
    if (!LensDbDistortion(exif.make, exif.model, exif.lensModel, exif.focalLength, fixed, &hints->distortion,
                          hints->distortionNote, sizeof hints->distortionNote))
        hints->distortion.model = kDistortionNone;
}

// What the refinement adds to the photo's EXIF lens: the user's lens, or
// else, where EXIF gives FocalLength alone, the lens database's crop factor
// for the camera it names.
static void LensHintsFor(const Photo &photo, const MeasureOptions &options, LensHints *hints)
{
    std::memset(hints, 0, sizeof *hints);
    hints->given = options.lens;
    LensDistortionFor(photo, options, hints);
    if (options.lens.kind != kGivenLensNone || !LensWantsCropFactor(&photo.exif))
        return;
    hints->cropFound =
        LensDbCropFactor(photo.exif.make, photo.exif.model, &hints->cropFactor, hints->note, sizeof hints->note);
}

// The refinement from the classic ellipse on the full-resolution photograph;
// without the shadow search it reports the camera alone.
static void AddRefinedRecord(const Photo &photo, const MeasureOptions &options, PhotoRecord *record)
{
    record->refinedRan = 1;
    LensHints hints;
    LensHintsFor(photo, options, &hints);
    RefineEstimate(&photo, gAnalysisTrace.ellipse, gImageGeometry.workScale, &record->refined, &hints);
    if (!options.detectShadow && record->refined.status == kRefineDone) {
        std::memset(&record->refined.light, 0, sizeof record->refined.light);
        std::snprintf(record->refined.note, sizeof record->refined.note, "%s", kNoteNoShadow);
    }
    AddIlluminationRecord(photo, options, record);
}

// The checks of a whole marker on what the last analysis and the refinement
// measured: the record's quality figures, and 1 when every check holds, else
// 0 with the first failed check in reason. runLevels is the automatic
// threshold's run, -1 at a fixed threshold (no run was scanned).
static int JudgeMarker(const Photo &photo, int32_t runLevels, PhotoRecord *record, char *reason, size_t reasonSize)
{
    const double scale = gImageGeometry.workScale;
    RegionEvidence region;
    GatherRegionEvidence(gWorkRaster.brightness, gImageGeometry.workWidth, gImageGeometry.workHeight,
                         record->threshold, gAnalysisTrace.ellipse, gComponentTable, &region);
    const RefinedEstimate &r = record->refined;
    RimEvidence rim = {};
    // A rim was fitted unless the rim search itself gave up.
    if (r.rim.normals > 0 && r.status != kRefineNoContrast && r.status != kRefineBorder && r.status != kRefineNoFit) {
        // The rim's margin to the border is the photo's: with the lens
        // corrected, the ellipse the passes sampled along on the photo.
        RimFit seen = r.rim;
        if (r.distortion.model != kDistortionNone)
            seen.ellipse = r.rim.sampled;
        GatherRimEvidence(seen, photo.width, photo.height, &rim);
    }
    MarkerQuality &q = record->quality;
    q.measured = 1;
    q.rimFound = rim.found;
    q.rimContrast = rim.contrast;
    q.rimCoverage = rim.coverage;
    q.rimResidual = rim.residual;
    q.regionContrast = region.insideLevel - region.ringLevel;
    q.margin = rim.found ? rim.margin : region.margin / scale;
    q.thresholdRun = runLevels;
    if (!RegionPlausible(region, reason, reasonSize) || !RimPlausible(rim, reason, reasonSize))
        return 0;
    return 1;
}

// Refuses the refined record, with the failed check in its note.
static void RefuseRefined(RefinedEstimate *refined, const char *reason)
{
    refined->status = kRefineImplausible;
    std::snprintf(refined->note, sizeof refined->note, "refused: %.200s", reason);
}

// The OK flow without its question and its file: the analysis at the chosen
// threshold, in the mode that always reaches the pose.
static void AnalyseIntoRecord(const Photo &photo, const MeasureOptions &options, PhotoRecord *record)
{
    int32_t threshold = options.threshold;
    int32_t runLevels = -1;
    int noMarker = 0;
    if (threshold == kThresholdAuto && !ChooseThreshold(&threshold, &runLevels)) {
        // No threshold shows a whole marker: the record keeps the first
        // start's threshold and its analysis (which the preview draws), with
        // the command's own words.
        threshold = kDefaultThreshold;
        noMarker = 1;
    }
    record->threshold = threshold;

    // A photograph's final run starts from the label map a fresh dialog has,
    // whatever the threshold scan left in it.
    std::memset(&gLabelMap, 0, sizeof gLabelMap);
    gSettings.threshold = threshold;
    gSettings.detectShadow = options.detectShadow;
    ShowStatus(nullptr);
    CameraPose pose = {};
    double xrot = 0.0, yrot = 0.0;
    int lightFound = 0;
    if (!RunAnalysis(0, &pose, &xrot, &yrot, &lightFound) || noMarker) {
        RecordFailure(record, noMarker ? kMessageNoMarker : gMemoryDialog.status);
        return;
    }
    record->cameraFound = 1;
    record->pose = pose;
    record->lightFound = lightFound;
    if (lightFound) {
        record->xrot = xrot;
        record->yrot = yrot;
    }
    if (!AllFinite(*record)) {
        RecordFailure(record, kMessageNotFinite);
        return;
    }
    record->code = lightFound ? kExitCameraAndLight : kExitCameraOnly;
    if (options.detectShadow && !lightFound)
        KeepMessage(record, kMessageNoShadow);
    AddRefinedRecord(photo, options, record);
    char reason[kRecordMessageSize];
    if (!JudgeMarker(photo, runLevels, record, reason, sizeof reason) || record->refined.status != kRefineDone) {
        if (options.threshold == kThresholdAuto) {
            // The automatic threshold gives a camera only for a whole marker.
            std::memset(&record->refined, 0, sizeof record->refined);
            record->refinedRan = 0;
            record->quality = MarkerQuality{};
            RecordFailure(record, kMessageNoMarker);
        } else if (record->refined.status == kRefineDone) {
            RefuseRefined(&record->refined, reason);
        }
    }
}

void MeasurePhoto(const char *path, const MeasureOptions &options, const char *previewPath, PhotoRecord *record,
                  const char *exportStem)
{
    std::memset(record, 0, sizeof *record);
    record->threshold = options.threshold == kThresholdAuto ? kDefaultThreshold : options.threshold;
    // Every photograph starts where a freshly started dialog starts, so that
    // nothing of an earlier photograph in the same process reaches its numbers.
    ResetAnalysisState();
    ResetMemoryDialog();

    Photo photo = {};
    int transferred = 0;
    int loaded = DecodeAndTransferPhoto(path, &photo, &transferred);
    if (loaded == kLoadFailed) {
        RecordFailure(record, kMessageLoad);
        return;
    }
    if (loaded != kLoadDone) {
        // The size rule's message is on the status line.
        RecordFailure(record, gMemoryDialog.status[0] != '\0' ? gMemoryDialog.status : kMessageLoad);
        return;
    }
    // The photograph stays decoded until its record is complete. After a
    // successful analysis, an estimate that looks further than the classic
    // numbers has here the full-resolution photo and gAnalysisTrace (the
    // fitted ellipse in work pixels), and adds its part of the record.
    if (!transferred && !TransferPhoto(&photo))
        RecordFailure(record, gMemoryDialog.status[0] != '\0' ? gMemoryDialog.status : kMessageLoad);
    else
        AnalyseIntoRecord(photo, options, record);
    // A photograph without a camera writes no scene.
    if (exportStem != nullptr && record->cameraFound && record->code != kExitNoResult)
        record->exportFailed = ExportMatch(path, photo.width, photo.height, *record, options, exportStem) ? 0 : 1;
    if (previewPath != nullptr && gImageGeometry.workWidth > 0)
        record->previewFailed = WritePreview(previewPath, photo, *record) ? 0 : 1;
    ReleasePhoto(&photo);
}
