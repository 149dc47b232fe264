#include <benchmark/benchmark.h>

#include "decode/decode.h"
#include "image/image.h"
#include "refine/refine.h"
#include "shell/analysis.h"
#include "shell/report.h"
#include "tests/support/test_support.h"

namespace {

// The refined step alone on the 2048 x 1536 sample, after one decode and one
// classic run: rim, pose, light, the wall's refit and the uncertainties.
void BM_RefineEstimate2048(benchmark::State &state)
{
    ResetProgramState();
    Photo photo = {};
    if (DecodePhoto(SamplePath("s21.jpg").c_str(), &photo) != kLoadDone || !TransferPhoto(&photo)) {
        state.SkipWithError("s21.jpg not decoded");
        return;
    }
    CameraPose pose;
    double xrot, yrot;
    int lightFound;
    if (!RunAnalysis(0, &pose, &xrot, &yrot, &lightFound)) {
        state.SkipWithError("classic analysis failed");
        ReleasePhoto(&photo);
        return;
    }
    RefinedEstimate refined;
    for (auto _ : state) {
        RefineEstimate(&photo, gAnalysisTrace.ellipse, gImageGeometry.workScale, &refined);
        benchmark::DoNotOptimize(refined.camera.pitch);
    }
    ReleasePhoto(&photo);
}
BENCHMARK(BM_RefineEstimate2048)->Unit(benchmark::kMillisecond);

}  // namespace
