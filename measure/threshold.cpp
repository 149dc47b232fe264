#include <cmath>

#include "common/numeric.h"
#include "image/image.h"
#include "marker/marker.h"
#include "measure/measure.h"
#include "plausible/plausible.h"
#include "shell/analysis.h"
#include "shell/report.h"

// Thresholds a brightness byte can take.
static const int kThresholdCount = 256;
// The scan's passes: every kPassStep[i]-th threshold from kPassStart[i]. The
// first pass (8 thresholds) finds the marker on ordinary photographs; the
// finer ones run only when no threshold of the pass before gave a camera,
// so a photograph on which any threshold gives one is never missed.
static const int kPassCount = 3;
static const int kPassStep[kPassCount] = {32, 8, 1};
static const int kPassStart[kPassCount] = {16, 0, 0};
// Two fitted ellipses agree when their centres, semi-axes and the ends of
// their axes lie within this share of the larger semi-major axis, and at
// least within kAgreeFloor work pixels of each other.
static const double kAgreeShare = 0.02;
static const double kAgreeFloor = 1.0;  // work pixels

// A marker seen whole inside the picture covers at most the ellipse
// inscribed in it, pi / 4 of the work area. A threshold that leaves more of
// the area bright leaves the ground bright too, which costs the labelling
// most and gives no outline; the passes before the last skip such
// thresholds, the last one (every threshold) tries them all.
static const double kMostMarkerShare = kPi / 4.0;

struct ScanPoint {
    int32_t tried;
    int32_t camera;         // 1 when labelling, outline, fit and pose succeeded
    int32_t plausible;      // 1 when, besides, the region looks like a whole marker
    EllipseParams ellipse;  // work pixels, normal form
};

static ScanPoint sScan[kThresholdCount];
// Work pixels at or above each threshold.
static int32_t sBrightCount[kThresholdCount];

static void CountBright()
{
    const ImageGeometry &geometry = gImageGeometry;
    int32_t histogram[kThresholdCount] = {};
    for (int32_t y = 0; y < geometry.workHeight; y++)
        for (int32_t x = 0; x < geometry.workWidth; x++)
            histogram[gWorkRaster.brightness[y * kWorkSide + x]]++;
    int32_t bright = 0;
    for (int t = kThresholdCount - 1; t >= 0; t--) {
        bright += histogram[t];
        sBrightCount[t] = bright;
    }
}

static int MostlyBright(int t)
{
    const ImageGeometry &geometry = gImageGeometry;
    return sBrightCount[t] > kMostMarkerShare * geometry.workWidth * geometry.workHeight;
}

// One analysis without the light at threshold t, kept in the scan: the same run as the
// dialog's, stopping after the pose.
static void AnalyseAtThreshold(int t)
{
    ScanPoint &point = sScan[t];
    if (point.tried)
        return;
    gSettings.threshold = t;
    gSettings.detectShadow = 0;
    ShowStatus(nullptr);
    CameraPose pose;
    double xrot = 0.0, yrot = 0.0;
    int lightFound = 0;
    point.tried = 1;
    point.camera = RunAnalysis(0, &pose, &xrot, &yrot, &lightFound);
    point.ellipse = gAnalysisTrace.ellipse;
    if (point.camera) {
        RegionEvidence evidence;
        GatherRegionEvidence(gWorkRaster.brightness, gImageGeometry.workWidth, gImageGeometry.workHeight, t,
                             point.ellipse, gComponentTable, &evidence);
        char reason[kRecordMessageSize];
        point.plausible = RegionPlausible(evidence, reason, sizeof reason);
    }
}

// A threshold the scan counts: a camera, and a region that looks like a marker.
static int Counts(int t)
{
    return sScan[t].camera && sScan[t].plausible;
}

// The angle matters only as far as it moves the outline: turning an ellipse
// by d moves its points by about |d| (a - b), and angles are the same modulo pi.
static int EllipsesAgree(const EllipseParams &p, const EllipseParams &q)
{
    double a = p.a > q.a ? p.a : q.a;
    double tolerance = kAgreeShare * a;
    if (tolerance < kAgreeFloor)
        tolerance = kAgreeFloor;
    double turn = std::remainder(p.angle - q.angle, kPi);
    double elongation = (p.a - p.b) > (q.a - q.b) ? (p.a - p.b) : (q.a - q.b);
    return std::fabs(p.cx - q.cx) <= tolerance && std::fabs(p.cy - q.cy) <= tolerance &&
           std::fabs(p.a - q.a) <= tolerance && std::fabs(p.b - q.b) <= tolerance &&
           std::fabs(turn) * elongation <= tolerance;
}

// Widest run of consecutive pass thresholds that count with agreeing
// neighbours; the first of equally wide runs. 0 when none counts.
static int WidestRun(int start, int step, int *first, int *last)
{
    int found = 0, runFirst = -1, bestFirst = 0, bestLast = -1;
    int previous = -1;
    for (int t = start; t < kThresholdCount; t += step) {
        if (!Counts(t)) {
            runFirst = -1;
            previous = -1;
            continue;
        }
        if (runFirst < 0 || !EllipsesAgree(sScan[previous].ellipse, sScan[t].ellipse))
            runFirst = t;
        previous = t;
        if (!found || t - runFirst > bestLast - bestFirst) {
            bestFirst = runFirst;
            bestLast = t;
            found = 1;
        }
    }
    if (found) {
        *first = bestFirst;
        *last = bestLast;
    }
    return found;
}

int ChooseThreshold(int32_t *threshold, int32_t *runLevels)
{
    for (int t = 0; t < kThresholdCount; t++)
        sScan[t] = ScanPoint{};
    CountBright();
    for (int pass = 0; pass < kPassCount; pass++) {
        int step = kPassStep[pass], start = kPassStart[pass];
        int finest = pass == kPassCount - 1;
        for (int t = start; t < kThresholdCount; t += step)
            if (finest || !MostlyBright(t))
                AnalyseAtThreshold(t);
        int first, last;
        // A run too narrow to be stable sends the scan on to finer steps,
        // which try the levels between and may widen it.
        if (!WidestRun(start, step, &first, &last) || !RunPlausible(last - first))
            continue;
        // The middle of the run, tried when it lies between pass thresholds;
        // should it fail there, the run's own middle threshold serves.
        int middle = (first + last) / 2;
        AnalyseAtThreshold(middle);
        if (!Counts(middle))
            middle = first + (last - first) / step / 2 * step;
        *threshold = middle;
        *runLevels = last - first;
        return 1;
    }
    return 0;
}
