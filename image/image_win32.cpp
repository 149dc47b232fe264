#include <windows.h>

#include "image/gdiplus_win32.h"
#include "image/image.h"
#include "image/image_win32.h"

// Where the boxes of the two pictures start in the dialog's client area, client pixels.
static const int kPhotoBoxLeft = 8;
static const int kAnalysisBoxLeft = 336;
static const int kBoxTop = 40;

static HBITMAP sPhotoBitmap;
static HBITMAP sAnalysisBitmap;
static HDC sPhotoDc;
static HDC sAnalysisDc;
static Canvas sPhotoCanvas;
static Canvas sAnalysisCanvas;

void CreateCanvases()
{
    ReleaseCanvases();
    const ImageGeometry &geometry = gImageGeometry;
    // The dialog's display context only lends its pixel format.
    HDC reference = GetDC(gMainDialog);
    sPhotoBitmap = CreateCompatibleBitmap(reference, geometry.previewWidth, geometry.previewHeight);
    sAnalysisBitmap = CreateCompatibleBitmap(reference, geometry.previewWidth, geometry.previewHeight);
    sPhotoDc = CreateCompatibleDC(reference);
    sAnalysisDc = CreateCompatibleDC(reference);
    if (sPhotoDc != nullptr && sPhotoBitmap != nullptr)
        SelectObject(sPhotoDc, sPhotoBitmap);
    if (sAnalysisDc != nullptr && sAnalysisBitmap != nullptr)
        SelectObject(sAnalysisDc, sAnalysisBitmap);
    ReleaseDC(gMainDialog, reference);

    sPhotoCanvas = Canvas{sPhotoDc, nullptr, geometry.previewWidth, geometry.previewHeight};
    sAnalysisCanvas = Canvas{sAnalysisDc, nullptr, geometry.previewWidth, geometry.previewHeight};
}

void ReleaseCanvases()
{
    // Drawing contexts go before the bitmaps selected into them.
    if (sAnalysisDc != nullptr) {
        DeleteDC(sAnalysisDc);
        sAnalysisDc = nullptr;
    }
    if (sPhotoDc != nullptr) {
        DeleteDC(sPhotoDc);
        sPhotoDc = nullptr;
    }
    if (sAnalysisBitmap != nullptr) {
        DeleteObject(sAnalysisBitmap);
        sAnalysisBitmap = nullptr;
    }
    if (sPhotoBitmap != nullptr) {
        DeleteObject(sPhotoBitmap);
        sPhotoBitmap = nullptr;
    }
    sPhotoCanvas = Canvas{};
    sAnalysisCanvas = Canvas{};
}

Canvas *PhotoCanvas() { return sPhotoDc != nullptr ? &sPhotoCanvas : nullptr; }

Canvas *AnalysisCanvas() { return sAnalysisDc != nullptr ? &sAnalysisCanvas : nullptr; }

// Reads the pixels that survive the reduction (gReadPlan), in scan order
// (rows outer), into the WorkRaster and the PhotoCanvas: the same result as
// reading all of them, at about a tenth of the reads for a 2048-pixel side.
// 0 at the first pixel that cannot be read.
static int TransferPixels(GpImageFlat *bitmap, UINT width, UINT height)
{
    if (!PlanPixelReads(width, height))
        return 0;
    // Every canvas pixel is the last of its interval, so the plan sets all of them.
    BeginCanvasRepaint(PhotoCanvas());
    const ReadPlan &plan = gReadPlan;
    int read = 1;
    for (uint32_t r = 0; r < plan.rowCount && read; r++) {
        UINT y = plan.rows[r];
        for (uint32_t c = 0; c < plan.columnCount; c++) {
            UINT x = plan.columns[c];
            UINT32 argb = 0;
            if (GdipBitmapGetPixel(bitmap, static_cast<INT>(x), static_cast<INT>(y), &argb) != kGdiplusOk) {
                read = 0;
                break;
            }
            TransferPixel(x, y, argb);
        }
    }
    // What was read before a failure stays on the canvas.
    EndCanvasRepaint(PhotoCanvas());
    return read;
}

LoadStatus LoadBackgroundImage(const wchar_t *path)
{
    GdiplusPhoto opened;
    LoadStatus opening = OpenGdiplusPhoto(path, &opened);
    if (opening != kLoadDone)
        return opening;
    LoadStatus result = kLoadFailed;
    if (opened.sized) {
        if (!SetImageGeometry(opened.width, opened.height))
            result = kLoadRejected;
        else if (TransferPixels(opened.bitmap, opened.width, opened.height))
            result = kLoadDone;
    }
    CloseGdiplusPhoto(&opened);
    return result;
}

void PaintCanvases(HDC paintDc)
{
    const ImageGeometry &geometry = gImageGeometry;
    int top = kBoxTop + geometry.previewYOffset;
    if (sPhotoDc != nullptr)
        BitBlt(paintDc, kPhotoBoxLeft + geometry.previewXOffset, top, geometry.previewWidth, geometry.previewHeight,
               sPhotoDc, 0, 0, SRCCOPY);
    if (sAnalysisDc != nullptr)
        BitBlt(paintDc, kAnalysisBoxLeft + geometry.previewXOffset, top, geometry.previewWidth,
               geometry.previewHeight, sAnalysisDc, 0, 0, SRCCOPY);
}
