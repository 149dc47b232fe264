// Labelling, tracing and fitting of one 640 x 640 WorkRaster holding a
// shadowed marker; the three together should stay within 5 ms.
#include <cmath>
#include <cstdint>

#include <benchmark/benchmark.h>

#include "common/numeric.h"
#include "ellipse/ellipse.h"
#include "image/image.h"
#include "marker/marker.h"
#include "tests/support/test_support.h"

namespace {

const uint8_t kThreshold = 160;
const uint8_t kGround = 80;   // below the threshold
const uint8_t kDisc = 224;    // lit marker
const uint8_t kShadow = 70;   // the wedge of shadow inside the marker

// A tilted disc (semi-axes 260 and 150, turned 20 degrees) centred in a full
// 640 x 640 raster, with a dark wedge of 30 degrees from its centre to three
// quarters of its size, like a stick's shadow.
void MakeShadowedMarker()
{
    ResetProgramState();
    gImageGeometry.workWidth = kWorkSide;
    gImageGeometry.workHeight = kWorkSide;
    const double cx = 320.0, cy = 320.0, a = 260.0, b = 150.0;
    const double angle = RadiansFromDegrees(20.0);
    const double wedgeFrom = RadiansFromDegrees(100.0), wedgeTo = RadiansFromDegrees(130.0);
    const double c = std::cos(angle), s = std::sin(angle);
    for (int y = 0; y < kWorkSide; y++)
        for (int x = 0; x < kWorkSide; x++) {
            double dx = x - cx, dy = y - cy;
            double u = (dx * c + dy * s) / a, v = (dx * s - dy * c) / b;
            double r = u * u + v * v;
            double bearing = std::atan2(dy, dx);
            uint8_t value = r <= 1.0 ? kDisc : kGround;
            if (r <= 0.5625 && bearing >= wedgeFrom && bearing <= wedgeTo)
                value = kShadow;
            gWorkRaster.brightness[y * kWorkSide + x] = value;
        }
}

void BM_LabelComponents(benchmark::State &state)
{
    MakeShadowedMarker();
    for (auto _ : state)
        benchmark::DoNotOptimize(LabelComponents(kWorkSide, kWorkSide, kThreshold));
}

void BM_TraceOutline(benchmark::State &state)
{
    MakeShadowedMarker();
    LabelComponents(kWorkSide, kWorkSide, kThreshold);
    for (auto _ : state)
        benchmark::DoNotOptimize(TraceOutline(kWorkSide, kWorkSide));
    state.counters["points"] = gOutlineBuffer.pointCount;
}

void BM_FitEllipse(benchmark::State &state)
{
    MakeShadowedMarker();
    LabelComponents(kWorkSide, kWorkSide, kThreshold);
    TraceOutline(kWorkSide, kWorkSide);
    EllipseParams ellipse;
    for (auto _ : state)
        benchmark::DoNotOptimize(FitEllipse(&ellipse));
}

void RunMarkerChain(benchmark::State &state)
{
    const int width = gImageGeometry.workWidth, height = gImageGeometry.workHeight;
    EllipseParams ellipse;
    for (auto _ : state) {
        int ok = LabelComponents(width, height, kThreshold) && TraceOutline(width, height) && FitEllipse(&ellipse);
        benchmark::DoNotOptimize(ok);
        if (!ok) {
            state.SkipWithError("the marker was not fitted");
            break;
        }
    }
}

// The three stages as one analysis run does them.
void BM_MarkerChain(benchmark::State &state)
{
    MakeShadowedMarker();
    RunMarkerChain(state);
}

void BM_MarkerChainSample(benchmark::State &state)
{
    ResetProgramState();
    if (LoadSample("s01") != kLoadDone) {
        state.SkipWithError("sample s01 did not load");
        return;
    }
    RunMarkerChain(state);
}

}  // namespace

BENCHMARK(BM_LabelComponents)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TraceOutline)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FitEllipse)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MarkerChain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MarkerChainSample)->Unit(benchmark::kMicrosecond);
