#include <cstdint>

#include <benchmark/benchmark.h>

#include "image/image.h"
#include "shell/analysis.h"
#include "shell/report.h"
#include "tests/support/test_support.h"

namespace {

const uint32_t kSide = 640;          // source pixels: a square photograph fills the whole WorkRaster
const uint32_t kGround = 0xFF505050;  // below the threshold
const uint32_t kDisc = 0xFFE0E0E0;    // lit marker
const uint32_t kShade = 0xFF484848;   // stick and shadow

// A large tilted disc (semi-axes 250 and 150) with an upright stick behind the
// centre and its shadow running to the right: the longest outline and every
// light stage.
void LoadSquareScene()
{
    ResetProgramState();
    SetImageGeometry(kSide, kSide);
    for (uint32_t y = 0; y < kSide; y++)
        for (uint32_t x = 0; x < kSide; x++) {
            const double u = (static_cast<double>(x) - 320.0) / 250.0;
            const double v = (static_cast<double>(y) - 320.0) / 150.0;
            uint32_t colour = u * u + v * v <= 1.0 ? kDisc : kGround;
            const int stick = x >= 318 && x <= 322 && y >= 230 && y <= 320;
            const int shadow = y >= 317 && y <= 323 && x >= 320 && x <= 470;
            if (stick || shadow)
                colour = kShade;
            TransferPixel(x, y, colour);
        }
}

// Label, trace, fit, normal form, pose and light, as OK runs them.
void RunFinalChain(benchmark::State &state)
{
    gSettings.threshold = 160;
    gSettings.detectShadow = 1;
    CameraPose pose;
    double xrot = 0.0, yrot = 0.0;
    int lightFound = 0;
    for (auto _ : state) {
        int ok = RunAnalysis(0, &pose, &xrot, &yrot, &lightFound);
        benchmark::DoNotOptimize(ok);
        if (!ok || !lightFound) {
            state.SkipWithError("the chain did not reach the light");
            break;
        }
    }
}

void BM_ChainSquareScene(benchmark::State &state)
{
    LoadSquareScene();
    RunFinalChain(state);
}

void BM_ChainSampleS01(benchmark::State &state)
{
    ResetProgramState();
    if (LoadSample("s01") != kLoadDone) {
        state.SkipWithError("s01 not loaded");
        return;
    }
    RunFinalChain(state);
}

}  // namespace

BENCHMARK(BM_ChainSquareScene)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ChainSampleS01)->Unit(benchmark::kMillisecond);
