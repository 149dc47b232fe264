// Fuzz target: arbitrary photograph sizes, thresholds and rasters through the
// whole analysis (labelling, outline, fit, normal form, pose, light and every
// preview drawing on a memory canvas), checking what the result file relies on.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "camera/camera.h"
#include "ellipse/ellipse.h"
#include "image/canvas_memory.h"
#include "image/image.h"
#include "light/light.h"
#include "marker/marker.h"
#include "shell/analysis.h"
#include "shell/report.h"
#include "shell/report_memory.h"

namespace {

// Header bytes: width (2), height (2), threshold, flags, then the raster.
const size_t kHeaderSize = 6;
// In block mode each raster byte paints a square of this many work pixels,
// so that the fuzzer builds blobs the size of a marker from few bytes.
const int kBlockSide = 8;
const int kBlocksPerRow = 640 / kBlockSide;

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

bool Finite(double value) { return std::isfinite(value); }

void FillRaster(const uint8_t *data, size_t size, int blockMode)
{
    std::memset(gWorkRaster.brightness, 0, sizeof gWorkRaster.brightness);
    if (size == 0)
        return;
    if (blockMode) {
        for (int y = 0; y < kWorkSide; y++)
            for (int x = 0; x < kWorkSide; x++) {
                size_t block = static_cast<size_t>((y / kBlockSide) * kBlocksPerRow + x / kBlockSide);
                gWorkRaster.brightness[y * kWorkSide + x] = block < size ? data[block] : 0;
            }
        return;
    }
    // Raw mode repeats the bytes over the raster, so short inputs still
    // reach every row.
    for (size_t i = 0; i < sizeof gWorkRaster.brightness; i++)
        gWorkRaster.brightness[i] = data[i % size];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < kHeaderSize)
        return 0;
    uint32_t width = static_cast<uint32_t>(data[0] | data[1] << 8);
    uint32_t height = static_cast<uint32_t>(data[2] | data[3] << 8);
    uint8_t threshold = data[4];
    uint8_t flags = data[5];

    std::memset(&gImageGeometry, 0, sizeof gImageGeometry);
    ReleaseCanvases();
    ResetMemoryDialog();
    if (!SetImageGeometry(width, height))
        return 0;
    FillRaster(data + kHeaderSize, size - kHeaderSize, flags & 1);
    gSettings.threshold = threshold;
    gSettings.detectShadow = (flags >> 1) & 1;
    RenderThresholdView();

    const ImageGeometry &g = gImageGeometry;
    double ratio = DrawingRatio();
    Check(ratio >= 1.0 && ratio <= 2.0);

    // The stages one by one, to check what each hands on.
    if (LabelComponents(g.workWidth, g.workHeight, threshold) && TraceOutline(g.workWidth, g.workHeight)) {
        Check(gOutlineBuffer.pointCount >= 1 && gOutlineBuffer.pointCount <= kMaxOutlinePoints);
        EllipseParams ellipse;
        if (FitEllipse(&ellipse)) {
            NormaliseEllipse(&ellipse);
            Check(ellipse.a >= ellipse.b && ellipse.b >= 0.0);
            CameraPose pose;
            if (SolveCameraPose(ellipse, g.workWidth, g.workHeight, ratio, &pose)) {
                Check(Finite(pose.dollyX) && Finite(pose.dollyY) && Finite(pose.dollyZ));
                Check(Finite(pose.yaw) && Finite(pose.pitch) && Finite(pose.roll));
                double xrot, yrot, shadowLength;
                if (EstimateLight(ellipse, pose.pitch, &xrot, &yrot, &shadowLength)) {
                    Check(Finite(xrot) && Finite(yrot) && Finite(shadowLength));
                    Check(yrot > -4.0 && yrot <= 4.0);
                }
            }
        }
    }

    // The run itself, in preview mode, draws every stage that succeeds.
    CameraPose pose = {};
    double xrot = 0.0, yrot = 0.0;
    int lightFound = 0;
    if (RunAnalysis((flags >> 2) & 1, &pose, &xrot, &yrot, &lightFound)) {
        Check(Finite(pose.pitch) && Finite(pose.dollyZ));
        if (lightFound)
            Check(Finite(xrot) && Finite(yrot));
    }
    return 0;
}
