// Where the measurement command's time goes, per photograph and in this
// process: decoding, the reduction into the WorkRaster (done, as the command
// does it, while the JPEG is decoded; for comparison also as a pass of its
// own over the decoded photo), the analysis at a fixed threshold and with the
// automatic one, and the refined step after the fixed threshold's analysis:
// the estimate, the light's strength and colour, and the checks of a whole
// marker, each and in all (as the command runs them after the analysis).
// Prints a line of averages, and the refined step's parts.
//
// usage: bench_measure PHOTO...
#include <chrono>
#include <cstdio>

#include "decode/decode.h"
#include "image/canvas_memory.h"
#include "image/image.h"
#include "measure/measure.h"
#include "illumination/illumination.h"
#include "marker/marker.h"
#include "plausible/plausible.h"
#include "refine/refine.h"
#include "shell/analysis.h"
#include "shell/report.h"

namespace {

// Analyses repeated per photograph, so that a short one is timed well; the
// steps after the analysis keep their fastest round, as the decodes do, so
// that a busy spell on a shared machine does not count as their own time.
const int kRepeats = 5;
// Decodes of each kind per photograph, the fastest kept: the reduction is a
// difference of two decodes, and a busy spell on a shared machine would
// otherwise swamp it.
const int kDecodeTurns = 3;

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Seconds per analysis; *succeeded is the last run's outcome, which leaves
// its ellipse in gAnalysisTrace.
double Analyse(int32_t threshold, int *succeeded)
{
    double start = Now();
    for (int r = 0; r < kRepeats; r++) {
        int32_t chosen = threshold, run = 0;
        if (threshold == kThresholdAuto && !ChooseThreshold(&chosen, &run))
            chosen = kDefaultThreshold;
        gSettings.threshold = chosen;
        gSettings.detectShadow = 1;
        CameraPose pose;
        double xrot, yrot;
        int lightFound;
        *succeeded = RunAnalysis(0, &pose, &xrot, &yrot, &lightFound);
    }
    return (Now() - start) / kRepeats;
}

// Seconds of the fastest refined estimate from the classic ellipse in gAnalysisTrace.
double Refine(const Photo &photo)
{
    double fastest = 0.0;
    for (int r = 0; r < kRepeats; r++) {
        double start = Now();
        RefinedEstimate refined;
        RefineEstimate(&photo, gAnalysisTrace.ellipse, gImageGeometry.workScale, &refined);
        double took = Now() - start;
        if (r == 0 || took < fastest)
            fastest = took;
    }
    return fastest;
}

// Seconds of the fastest reading of the light's strength and colour off the disc, from
// one refined estimate; 0 with *timed 0 when the refined light has no elevation.
double Illuminate(const Photo &photo, int *timed)
{
    RefinedEstimate refined;
    RefineEstimate(&photo, gAnalysisTrace.ellipse, gImageGeometry.workScale, &refined);
    *timed = refined.status == kRefineDone && refined.light.elevationFound;
    if (!*timed)
        return 0.0;
    const double albedo[3] = {kDefaultMarkerAlbedo, kDefaultMarkerAlbedo, kDefaultMarkerAlbedo};
    double fastest = 0.0;
    for (int r = 0; r < kRepeats; r++) {
        double start = Now();
        Illumination illumination;
        MeasureIllumination(&photo, refined, albedo, &illumination);
        double took = Now() - start;
        if (r == 0 || took < fastest)
            fastest = took;
    }
    return fastest;
}

// Seconds of the fastest round of the checks of a whole marker that the command makes
// after the refined estimate: the region's evidence on the WorkRaster at the
// analysis's threshold, the rim's evidence and the judgement of both.
double CheckMarker(const Photo &photo, int32_t threshold)
{
    RefinedEstimate refined;
    RefineEstimate(&photo, gAnalysisTrace.ellipse, gImageGeometry.workScale, &refined);
    double fastest = 0.0;
    for (int r = 0; r < kRepeats; r++) {
        double start = Now();
        RegionEvidence region;
        GatherRegionEvidence(gWorkRaster.brightness, gImageGeometry.workWidth, gImageGeometry.workHeight, threshold,
                             gAnalysisTrace.ellipse, gComponentTable, &region);
        RimEvidence rim = {};
        if (refined.rim.normals > 0 && refined.status != kRefineNoContrast && refined.status != kRefineBorder &&
            refined.status != kRefineNoFit)
            GatherRimEvidence(refined.rim, photo.width, photo.height, &rim);
        char reason[256];
        RegionPlausible(region, reason, sizeof reason);
        RimPlausible(rim, reason, sizeof reason);
        double took = Now() - start;
        if (r == 0 || took < fastest)
            fastest = took;
    }
    return fastest;
}

}  // namespace

int main(int argc, char **argv)
{
    double decode = 0.0, transfer = 0.0, apart = 0.0, fixed = 0.0, automatic = 0.0, refine = 0.0;
    int measured = 0, refined = 0;
    double illuminate = 0.0, check = 0.0;
    int illuminated = 0;
    SetDialogCanvases(0);  // as the command does
    for (int i = 1; i < argc; i++) {
        // The command decodes a JPEG and reduces it in one pass; its reduction
        // is what that pass takes beyond the decode alone of the same photo,
        // each the fastest of a few turns taken in alternation.
        Photo photo = {};
        double alone = 0.0, together = 0.0, after = 0.0;
        int transferred = 0, decoded = 1;
        for (int turn = 0; turn < kDecodeTurns && decoded; turn++) {
            ReleasePhoto(&photo);
            double start = Now();
            decoded = DecodePhoto(argv[i], &photo) == kLoadDone;
            double middle = Now();
            int separate = decoded && TransferPhoto(&photo);
            double end = Now();
            ReleasePhoto(&photo);
            if (!separate)
                break;
            double fusedStart = Now();
            decoded = DecodeAndTransferPhoto(argv[i], &photo, &transferred) == kLoadDone;
            double fusedEnd = Now();
            if (turn == 0 || middle - start < alone)
                alone = middle - start;
            if (turn == 0 || end - middle < after)
                after = end - middle;
            if (turn == 0 || fusedEnd - fusedStart < together)
                together = fusedEnd - fusedStart;
        }
        if (decoded && transferred) {
            decode += alone;
            transfer += together - alone;
            apart += after;
            int succeeded = 0;
            fixed += Analyse(kDefaultThreshold, &succeeded);
            if (succeeded) {
                refine += Refine(photo);
                refined++;
                int timed = 0;
                illuminate += Illuminate(photo, &timed);
                illuminated += timed;
                check += CheckMarker(photo, kDefaultThreshold);
            }
            automatic += Analyse(kThresholdAuto, &succeeded);
            measured++;
        }
        ReleasePhoto(&photo);
    }
    if (measured == 0) {
        std::fprintf(stderr, "bench_measure: no photograph could be measured\n");
        return 1;
    }
    const double ms = 1000.0 / measured;
    std::printf("photos %d  decode %.2f ms  reduction %.2f ms (goal <= 1; %.2f ms as a pass of its own after the "
                "decode)  analysis %.3f ms  auto analysis %.3f ms (x%.1f)  decode share %.0f %%\n",
                measured, decode * ms, transfer * ms, apart * ms, fixed * ms, automatic * ms, automatic / fixed,
                100.0 * decode / (decode + transfer + fixed));
    if (refined > 0) {
        // Per photo of those refined: the light's reading runs only on those
        // with a refined sun, and counts as nothing on the others.
        const double all = (refine + illuminate + check) * 1000.0 / refined;
        std::printf("  refined step %.2f ms in all (goal <= 3: %s; fastest of %d rounds, over the %d photos the classic "
                    "analysis measured): "
                    "estimate %.2f ms, light's strength and colour %.2f ms, checks of a whole marker %.3f ms\n",
                    all, all <= 3.0 ? "met" : "MISSED", kRepeats, refined, refine * 1000.0 / refined,
                    illuminate * 1000.0 / refined, check * 1000.0 / refined);
    }
    if (illuminated > 0)
        std::printf("  light's strength and colour %.2f ms (goal <= 5; over the %d photos with a refined sun)\n",
                    illuminate * 1000.0 / illuminated, illuminated);
    return 0;
}
