#include "measure/measure.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "decode/decode.h"
#include "image/image.h"
#include "marker/marker.h"
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

// Shown in the refined record when the shadow search was switched off.
static const char kNoteNoShadow[] = "shadow detection off: light not refined";

// The refinement from the classic ellipse on the full-resolution photograph;
// without the shadow search it reports the camera alone.
static void AddRefinedRecord(const Photo &photo, const MeasureOptions &options, PhotoRecord *record)
{
    record->refinedRan = 1;
    RefineEstimate(&photo, gAnalysisTrace.ellipse, gImageGeometry.workScale, &record->refined);
    if (!options.detectShadow && record->refined.status == kRefineDone) {
        std::memset(&record->refined.light, 0, sizeof record->refined.light);
        std::snprintf(record->refined.note, sizeof record->refined.note, "%s", kNoteNoShadow);
    }
}

// The OK flow without its question and its file: the analysis at the chosen
// threshold, in the mode that always reaches the pose.
static void AnalyseIntoRecord(const Photo &photo, const MeasureOptions &options, PhotoRecord *record)
{
    int32_t threshold = options.threshold;
    if (threshold == kThresholdAuto && !ChooseThreshold(&threshold))
        // No threshold gives a camera: the record tells what the first
        // start's threshold gives, with its message.
        threshold = kDefaultThreshold;
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
    if (!RunAnalysis(0, &pose, &xrot, &yrot, &lightFound)) {
        RecordFailure(record, gMemoryDialog.status);
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
