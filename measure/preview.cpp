#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "image/canvas_memory.h"
#include "image/image.h"
#include "light/light.h"
#include "marker/marker.h"
#include "measure/measure.h"
#include "shell/analysis.h"
#include "shell/report.h"

static const char kMessageNoFolder[] = "can not create the preview folder";

// Work pixels per drawn pixel: the drawings land at the WorkRaster's own
// resolution, each work pixel on one picture pixel.
static const double kWorkRatio = 1.0;
static const int kBytesPerPixel = 3;  // RGB, 8 bits each
static const uint32_t kChannelMask = 0xFF;
static const int kArgbRedShift = 16;
static const int kGreenShift = 8;
static const int kColourBlueShift = 16;  // blue in 0x00BBGGRR

// The right half, drawn as Preview draws on its canvas but onto a memory
// canvas of the WorkRaster's size.
static Canvas sDrawing;

// The stages the last analysis passed, drawn in Preview's order; before the
// labels (or when labelling failed) the threshold view stands there, as it
// does in the dialog.
static void DrawAnalysis(const PhotoRecord &record)
{
    const ImageGeometry &geometry = gImageGeometry;
    const AnalysisTrace &trace = gAnalysisTrace;
    ResetMemoryCanvas(&sDrawing, geometry.workWidth, geometry.workHeight, kColourBlack);
    if (trace.stagesPassed < 1) {
        for (int y = 0; y < geometry.workHeight; y++)
            for (int x = 0; x < geometry.workWidth; x++)
                SetCanvasPixel(&sDrawing, x, y,
                               gWorkRaster.brightness[y * kWorkSide + x] < record.threshold ? kColourBlack : kColourWhite);
        return;
    }
    PaintComponents(&sDrawing, geometry.workWidth, geometry.workHeight, kWorkRatio);
    if (trace.stagesPassed >= 2)
        DrawOutline(&sDrawing, kWorkRatio);
    if (trace.stagesPassed >= 3)
        DrawEllipseAxes(&sDrawing, trace.ellipse, kWorkRatio);
    if (record.lightFound)
        DrawShadowLine(&sDrawing, trace.ellipse, record.yrot, trace.shadowLength, kWorkRatio);
}

// The refined drawings' colours (0x00BBGGRR) and sizes.
static const Colour kColourRefinedRim = 0xFF00FF;     // magenta
static const Colour kColourRefinedCentre = 0xFFFF00;  // cyan
static const int kRimDots = 720;                      // points drawn along the refined rim
static const int kMarkHalf = 3;                       // work pixels, half a cross's arm

// Source pixel-centre coordinates to work pixels: the inverse of the
// refinement's (x + 1) / scale - 0.5.
static void WorkFromSource(double x, double y, double *u, double *v)
{
    const double scale = gImageGeometry.workScale;
    *u = (x + 0.5) * scale - 1.0;
    *v = (y + 0.5) * scale - 1.0;
}

static void DrawCross(Canvas *canvas, double x, double y, Colour colour)
{
    double u, v;
    WorkFromSource(x, y, &u, &v);
    for (int k = -kMarkHalf; k <= kMarkHalf; k++) {
        PlotWorkPoint(canvas, u + k, v, kWorkRatio, colour);
        PlotWorkPoint(canvas, u, v + k, kWorkRatio, colour);
    }
}

static void DrawSegment(Canvas *canvas, const double from[2], const double to[2], Colour colour)
{
    double u0, v0, u1, v1;
    WorkFromSource(from[0], from[1], &u0, &v0);
    WorkFromSource(to[0], to[1], &u1, &v1);
    const double length = std::hypot(u1 - u0, v1 - v0);
    if (!std::isfinite(length))
        return;
    const int steps = static_cast<int>(std::min(4.0 * kWorkSide, 2.0 * length)) + 1;
    for (int i = 0; i <= steps; i++)
        PlotWorkPoint(canvas, u0 + (u1 - u0) * i / steps, v0 + (v1 - v0) * i / steps, kWorkRatio, colour);
}

// The refined record's places are pinhole points when its lens was
// corrected: the photo shows them where the lens puts them.
static void OnPhoto(const DistortionFrame *lens, double p[2])
{
    if (lens != nullptr)
        DistortPoint(*lens, p[0], p[1], &p[0], &p[1]);
}

// Over the classic drawings: the refined rim, the image of the disc's centre,
// the stick from it to its top (red) and the shadow's tip (yellow, joined to
// the centre).
static void DrawRefined(const PhotoRecord &record, const DistortionFrame *lens)
{
    const RefinedEstimate &r = record.refined;
    if (!record.refinedRan || r.status != kRefineDone)
        return;
    const EllipseParams &e = r.rim.ellipse;
    const double c = std::cos(e.angle), s = std::sin(e.angle);
    for (int k = 0; k < kRimDots; k++) {
        const double t = 2.0 * 3.141592653589793 * k / kRimDots;
        double p[2] = {e.cx + e.a * std::cos(t) * c - e.b * std::sin(t) * s,
                       e.cy + e.a * std::cos(t) * s + e.b * std::sin(t) * c};
        OnPhoto(lens, p);
        double u, v;
        WorkFromSource(p[0], p[1], &u, &v);
        PlotWorkPoint(&sDrawing, u, v, kWorkRatio, kColourRefinedRim);
    }
    const RefinedLight &l = r.light;
    double centre[2] = {r.pose.centreImage[0], r.pose.centreImage[1]};
    double top[2] = {l.stickTop[0], l.stickTop[1]}, tip[2] = {l.shadowTip[0], l.shadowTip[1]};
    OnPhoto(lens, centre);
    OnPhoto(lens, top);
    OnPhoto(lens, tip);
    if (l.stickHeight > 0.0)
        DrawSegment(&sDrawing, centre, top, kColourRed);
    if (l.elevationFound) {
        DrawSegment(&sDrawing, centre, tip, kColourYellow);
        DrawCross(&sDrawing, tip[0], tip[1], kColourYellow);
    }
    DrawCross(&sDrawing, centre[0], centre[1], kColourRefinedCentre);
}

// Where the light's strength and colour were read: the shadow's core from
// its first to its last distance (green) and the outer edges of the sunlit
// bands beside it at the last distance (blue crosses).
static void DrawIllumination(const PhotoRecord &record, const DistortionFrame *lens)
{
    const Illumination &l = record.illumination;
    if (!record.refinedRan || l.status != kIlluminationDone)
        return;
    double core[2][2] = {{l.coreImage[0][0], l.coreImage[0][1]}, {l.coreImage[1][0], l.coreImage[1][1]}};
    double lit[2][2] = {{l.litImage[0][0], l.litImage[0][1]}, {l.litImage[1][0], l.litImage[1][1]}};
    for (int i = 0; i < 2; i++) {
        OnPhoto(lens, core[i]);
        OnPhoto(lens, lit[i]);
    }
    DrawSegment(&sDrawing, core[0], core[1], kColourGreen);
    DrawCross(&sDrawing, lit[0][0], lit[0][1], kColourBlue);
    DrawCross(&sDrawing, lit[1][0], lit[1][1], kColourBlue);
}

// Left half: each work pixel shows the photograph's pixel that the
// reduction kept for it (the last of its interval, as the read plan lists
// them), in colour.
static void PutPhoto(const Photo &photo, std::vector<uint8_t> *rows, int stride)
{
    const ReadPlan &plan = gReadPlan;
    const double scale = gImageGeometry.workScale;
    for (uint32_t r = 0; r < plan.rowCount; r++) {
        int v = static_cast<int>(static_cast<double>(plan.rows[r]) * scale);
        if (v >= gImageGeometry.workHeight)
            continue;
        const uint32_t *source = photo.argb + static_cast<size_t>(plan.rows[r]) * photo.width;
        for (uint32_t c = 0; c < plan.columnCount; c++) {
            int u = static_cast<int>(static_cast<double>(plan.columns[c]) * scale);
            if (u >= gImageGeometry.workWidth)
                continue;
            uint32_t argb = source[plan.columns[c]];
            uint8_t *p = &(*rows)[static_cast<size_t>(v) * stride + static_cast<size_t>(u) * kBytesPerPixel];
            p[0] = static_cast<uint8_t>((argb >> kArgbRedShift) & kChannelMask);
            p[1] = static_cast<uint8_t>((argb >> kGreenShift) & kChannelMask);
            p[2] = static_cast<uint8_t>(argb & kChannelMask);
        }
    }
}

static void PutDrawing(std::vector<uint8_t> *rows, int stride, int left)
{
    for (int y = 0; y < sDrawing.height; y++)
        for (int x = 0; x < sDrawing.width; x++) {
            Colour colour = GetCanvasPixel(&sDrawing, x, y);
            uint8_t *p = &(*rows)[static_cast<size_t>(y) * stride + static_cast<size_t>(left + x) * kBytesPerPixel];
            p[0] = static_cast<uint8_t>(colour & kChannelMask);
            p[1] = static_cast<uint8_t>((colour >> kGreenShift) & kChannelMask);
            p[2] = static_cast<uint8_t>((colour >> kColourBlueShift) & kChannelMask);
        }
}

int WritePreview(const char *path, const Photo &photo, const PhotoRecord &record)
{
    const int width = gImageGeometry.workWidth, height = gImageGeometry.workHeight;
    if (width <= 0 || height <= 0 || photo.argb == nullptr)
        return 0;
    const int stride = 2 * width * kBytesPerPixel;
    std::vector<uint8_t> pixels(static_cast<size_t>(stride) * height, 0);
    PutPhoto(photo, &pixels, stride);
    DrawAnalysis(record);
    DistortionFrame frame;
    const DistortionFrame *lens =
        MakeDistortionFrame(&record.refined.distortion, photo.width, photo.height, &frame) ? &frame : nullptr;
    DrawRefined(record, lens);
    DrawIllumination(record, lens);
    PutDrawing(&pixels, stride, width);

    return WritePng(path, pixels.data(), 2 * width, height);
}

static const char kPreviewSuffix[] = ".png";
// Room for the "-N" that tells apart photographs of the same name, bytes.
static const size_t kCounterRoom = 16;

const char *PhotoFileName(const char *path)
{
    const char *base = path;
    for (const char *c = path; *c != '\0'; c++)
        if (*c == '/' || *c == '\\')
            base = c + 1;
    return base;
}

void MakeBatchPaths(const MeasureOptions &options, const char *folder, int keepExtension, const char *suffix,
                    char **names)
{
    size_t folderLength = std::strlen(folder);
    int separator = folderLength > 0 && folder[folderLength - 1] != '/' && folder[folderLength - 1] != '\\';
    for (int32_t i = 0; i < options.photoCount; i++) {
        std::string base = PhotoFileName(options.photos[i]);
        const size_t dot = base.rfind('.');
        if (!keepExtension && dot != std::string::npos && dot > 0)
            base.erase(dot);
        size_t size = folderLength + 1 + base.size() + kCounterRoom + std::strlen(suffix) + 1;
        char *name = new char[size];
        for (int copy = 1;; copy++) {
            if (copy == 1)
                std::snprintf(name, size, "%s%s%s%s", folder, separator ? "/" : "", base.c_str(), suffix);
            else
                std::snprintf(name, size, "%s%s%s-%d%s", folder, separator ? "/" : "", base.c_str(), copy, suffix);
            int taken = 0;
            for (int32_t j = 0; j < i && !taken; j++)
                taken = std::strcmp(names[j], name) == 0;
            if (!taken)
                break;
        }
        names[i] = name;
    }
}

// The photograph's whole name stays in the picture's, extension and all, so
// that a preview never takes an input photograph's name when DIR is the
// photographs' own folder.
void MakePreviewPaths(const MeasureOptions &options, char **names)
{
    MakeBatchPaths(options, options.previewFolder, 1, kPreviewSuffix, names);
}

int PreparePreviews(const MeasureOptions &options, char **names)
{
    if (options.previewFolder == nullptr)
        return 1;
    if (!EnsureFolder(options.previewFolder)) {
        std::fprintf(stderr, "quillmarsh-measure: %s %s\n", kMessageNoFolder, options.previewFolder);
        return 0;
    }
    MakePreviewPaths(options, names);
    return 1;
}
