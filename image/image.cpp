#include "image/image.h"

#include "image/dialog.h"

ImageGeometry gImageGeometry;
WorkRaster gWorkRaster;
ReadPlan gReadPlan;

// Long sides of the WorkRaster (work pixels) and of a canvas (canvas pixels).
static const double kWorkLongSide = kWorkSide;
static const double kCanvasLongSide = kCanvasSide;
// No photograph is ever enlarged: a scale above this (pixels per source pixel) is capped.
static const double kFullScale = 1.0;
// Side of each picture box, client pixels: the largest canvas, centred in it.
static const int32_t kBoxSide = kCanvasSide;
// Bytes of one colour channel.
static const uint32_t kChannelMask = 0xFF;
static const int kRedShift = 16;    // bit of red in 0xAARRGGBB
static const int kGreenShift = 8;   // bit of green, in both layouts
static const int kBlueShift = 16;   // bit of blue in 0x00BBGGRR

static const char kMessageTooLarge[] = "background image is too large";
static const char kMessageTooSmall[] = "background image is too small";
static const char kMessageAspect[] = "aspect ratio of background image is not available";

static double CappedScale(double longSidePixels, uint32_t longSide)
{
    double scale = longSidePixels / static_cast<double>(longSide);
    return scale > kFullScale ? kFullScale : scale;
}

// trunc(i * scale), the one conversion from source pixels to work or canvas
// pixels. Indices and sides are at most 2048 and scales at most 1, so the
// product always fits an int.
static int32_t ScaledIndex(uint32_t i, double scale) { return static_cast<int32_t>(static_cast<double>(i) * scale); }

// A side in work or canvas pixels, capped at cap.
static int32_t ScaledSide(uint32_t side, double scale, int32_t cap)
{
    int32_t scaled = ScaledIndex(side, scale);
    return scaled > cap ? cap : scaled;
}

// The message of the first size rule that the size breaks, in the rules'
// order (too large, too small, aspect); null when it passes them all.
static const char *BrokenRuleMessage(uint32_t width, uint32_t height)
{
    if (width > kMaxImageSide || height > kMaxImageSide)
        return kMessageTooLarge;
    if (width < kMinImageSide && height < kMinImageSide)
        return kMessageTooSmall;
    // The long side is at least 320 here, so the quotient is defined.
    uint32_t longSide = width >= height ? width : height;
    uint32_t shortSide = width >= height ? height : width;
    if (static_cast<double>(shortSide) / static_cast<double>(longSide) < kMinAspect)
        return kMessageAspect;
    return nullptr;
}

int PassesSizeRules(uint32_t width, uint32_t height) { return BrokenRuleMessage(width, height) == nullptr; }

int SetImageGeometry(uint32_t width, uint32_t height)
{
    const char *broken = BrokenRuleMessage(width, height);
    if (broken != nullptr) {
        ShowStatus(broken);
        return 0;
    }
    uint32_t longSide = width >= height ? width : height;

    ImageGeometry geometry = {};
    geometry.workScale = CappedScale(kWorkLongSide, longSide);
    geometry.previewScale = CappedScale(kCanvasLongSide, longSide);
    // For some long sides L, L * (640 / L) lands just below 640 in double
    // precision and truncates to 639 (1077 is the first): the raster is then
    // one pixel short, exactly as the scale says.
    geometry.workWidth = ScaledSide(width, geometry.workScale, kWorkSide);
    geometry.workHeight = ScaledSide(height, geometry.workScale, kWorkSide);
    geometry.previewWidth = ScaledSide(width, geometry.previewScale, kCanvasSide);
    geometry.previewHeight = ScaledSide(height, geometry.previewScale, kCanvasSide);
    geometry.previewXOffset = (kBoxSide - geometry.previewWidth) / 2;
    geometry.previewYOffset = (kBoxSide - geometry.previewHeight) / 2;
    gImageGeometry = geometry;

    CreateCanvases();
    return 1;
}

// trunc(i * scale) when i * scale lies below limit, else -1: where a source
// index lands on the WorkRaster or a canvas, or that it lands beyond it.
static int32_t MappedIndex(uint32_t i, double scale, double limit)
{
    double scaled = static_cast<double>(i) * scale;
    return scaled < limit ? static_cast<int32_t>(scaled) : -1;
}

// Brightness: the largest of red, green and blue.
static uint8_t Brightness(uint32_t argb)
{
    uint32_t red = (argb >> kRedShift) & kChannelMask;
    uint32_t green = (argb >> kGreenShift) & kChannelMask;
    uint32_t blue = argb & kChannelMask;
    uint32_t brightness = red > green ? red : green;
    if (blue > brightness)
        brightness = blue;
    return static_cast<uint8_t>(brightness);
}

// 0xAARRGGBB to the canvas's 0x00BBGGRR.
static Colour CanvasColour(uint32_t argb)
{
    uint32_t red = (argb >> kRedShift) & kChannelMask;
    uint32_t green = (argb >> kGreenShift) & kChannelMask;
    uint32_t blue = argb & kChannelMask;
    return red | (green << kGreenShift) | (blue << kBlueShift);
}

void TransferPixel(uint32_t x, uint32_t y, uint32_t argb)
{
    // Several source pixels share a work pixel and a canvas pixel whenever a
    // scale is below 1; no averaging: the last one in scan order stays.
    const ImageGeometry &geometry = gImageGeometry;
    int32_t u = MappedIndex(x, geometry.workScale, kWorkLongSide);
    int32_t v = MappedIndex(y, geometry.workScale, kWorkLongSide);
    if (u >= 0 && v >= 0)
        gWorkRaster.brightness[v * kWorkSide + u] = Brightness(argb);

    // A position beyond the canvas is dropped by the canvas itself; one beyond
    // the int range has no pixel at all.
    int32_t px = MappedIndex(x, geometry.previewScale, kCanvasLongSide);
    int32_t py = MappedIndex(y, geometry.previewScale, kCanvasLongSide);
    if (px >= 0 && py >= 0)
        SetCanvasPixel(PhotoCanvas(), px, py, CanvasColour(argb));
}

// The indices 0 .. side - 1 that are the last of their work interval; the
// last index closes every interval. Each canvas interval is a union of work
// intervals, so these are the canvas's last indices too: either the work
// scale is 1 (every index its own interval), or it is 640 / L = 2 x (320 / L)
// exactly (doubling is exact in binary), so i * workScale = 2 (i * previewScale)
// and trunc(2t) steps wherever trunc(t) does.
static uint32_t PlanAxis(uint32_t side, double workScale, uint32_t *indices)
{
    uint32_t count = 0;
    for (uint32_t i = 0; i < side; i++) {
        uint32_t next = i + 1;
        if (next == side || ScaledIndex(next, workScale) != ScaledIndex(i, workScale))
            indices[count++] = i;
    }
    return count;
}

// Where each of the count planned indices lands on the WorkRaster and on the
// canvas (-1: beyond them). A canvas index that the next planned index lands
// on too is -1 as well: that pixel would be overwritten in scan order.
static void MapPlannedAxis(const uint32_t *indices, uint32_t count, const ImageGeometry &geometry,
                           int32_t *work, int32_t *canvas)
{
    for (uint32_t i = 0; i < count; i++) {
        work[i] = MappedIndex(indices[i], geometry.workScale, kWorkLongSide);
        canvas[i] = MappedIndex(indices[i], geometry.previewScale, kCanvasLongSide);
        if (i > 0 && canvas[i] >= 0 && canvas[i] == canvas[i - 1])
            canvas[i - 1] = -1;
    }
}

int PlanPixelReads(uint32_t width, uint32_t height)
{
    const ImageGeometry &geometry = gImageGeometry;
    if (!(geometry.workScale > 0.0) || !(geometry.previewScale > 0.0) || width > kMaxImageSide ||
        height > kMaxImageSide)
        return 0;
    ReadPlan &plan = gReadPlan;
    plan.columnCount = PlanAxis(width, geometry.workScale, plan.columns);
    plan.rowCount = PlanAxis(height, geometry.workScale, plan.rows);
    MapPlannedAxis(plan.columns, plan.columnCount, geometry, plan.workColumns, plan.canvasColumns);
    MapPlannedAxis(plan.rows, plan.rowCount, geometry, plan.workRows, plan.canvasRows);
    plan.width = width;
    return 1;
}

int TransferPlannedRow(uint32_t r, const uint32_t *row, uint32_t length)
{
    const ReadPlan &plan = gReadPlan;
    if (row == nullptr || r >= plan.rowCount || length != plan.width)
        return 0;
    // Each pixel is read once for its work pixel and again, on a row and
    // column that a canvas pixel keeps, for that; the two targets never
    // overlap, so the two passes leave what one interleaved pass leaves. The
    // plan's fields are taken into locals first: a byte stored into the
    // WorkRaster may alias anything, and would otherwise have them read again
    // for every pixel.
    const uint32_t count = plan.columnCount;
    const uint32_t *columns = plan.columns;
    int32_t v = plan.workRows[r];
    if (v >= 0) {
        uint8_t *work = gWorkRaster.brightness + v * kWorkSide;
        const int32_t *workColumns = plan.workColumns;
        for (uint32_t c = 0; c < count; c++) {
            const int32_t u = workColumns[c];
            if (u >= 0)
                work[u] = Brightness(row[columns[c]]);
        }
    }
    int32_t py = plan.canvasRows[r];
    Canvas *canvas = PhotoCanvas();
    if (py >= 0 && canvas != nullptr) {
        const int32_t *canvasColumns = plan.canvasColumns;
        for (uint32_t c = 0; c < count; c++) {
            const int32_t px = canvasColumns[c];
            if (px >= 0)
                SetCanvasPixel(canvas, px, py, CanvasColour(row[columns[c]]));
        }
    }
    return 1;
}

double DrawingRatio()
{
    // Before a photograph is accepted both scales are zero and there is
    // nothing to draw; 1.0 keeps 0 / 0 (NaN) out of every drawing.
    if (!(gImageGeometry.previewScale > 0.0))
        return kFullScale;
    return gImageGeometry.workScale / gImageGeometry.previewScale;
}

void RenderThresholdView()
{
    const ImageGeometry &geometry = gImageGeometry;
    double ratio = DrawingRatio();
    uint8_t threshold = ThresholdByte();
    Canvas *canvas = AnalysisCanvas();

    // Canvas pixel (j, i) shows work pixel (trunc(j * ratio), trunc(i * ratio)):
    // at ratio 2 only even work coordinates are seen.
    BeginCanvasRepaint(canvas);
    for (int32_t i = 0; i < geometry.previewHeight; i++) {
        int v = static_cast<int>(static_cast<double>(i) * ratio);
        for (int32_t j = 0; j < geometry.previewWidth; j++) {
            int u = static_cast<int>(static_cast<double>(j) * ratio);
            if (u < kWorkSide && v < kWorkSide) {
                uint8_t b = gWorkRaster.brightness[v * kWorkSide + u];
                SetCanvasPixel(canvas, j, i, b < threshold ? kColourBlack : kColourWhite);
            }
        }
    }
    EndCanvasRepaint(canvas);
    InvalidateMainDialog();
}
