#include <windows.h>

#include "image/image.h"
#include "image/image_win32.h"
#include "shell/dialog_win32.h"

// The few functions of the GDI+ flat interface that loading needs, declared
// here rather than through the C++ wrapper headers.
extern "C" {
struct GdiplusStartupInputFlat {
    UINT32 version;                 // 1
    void *debugEventCallback;       // none
    BOOL suppressBackgroundThread;  // FALSE
    BOOL suppressExternalCodecs;    // FALSE
};
typedef int GpStatusFlat;  // 0 is Ok
struct GpImageFlat;

GpStatusFlat WINAPI GdiplusStartup(ULONG_PTR *token, const GdiplusStartupInputFlat *input, void *output);
void WINAPI GdiplusShutdown(ULONG_PTR token);
GpStatusFlat WINAPI GdipCreateBitmapFromFile(const WCHAR *fileName, GpImageFlat **bitmap);
GpStatusFlat WINAPI GdipGetImageWidth(GpImageFlat *image, UINT *width);
GpStatusFlat WINAPI GdipGetImageHeight(GpImageFlat *image, UINT *height);
GpStatusFlat WINAPI GdipBitmapGetPixel(GpImageFlat *bitmap, INT x, INT y, UINT32 *argb);
GpStatusFlat WINAPI GdipDisposeImage(GpImageFlat *image);
}

static const GpStatusFlat kGdiplusOk = 0;
static const UINT32 kGdiplusVersion = 1;

// Where the boxes of the two pictures start in the dialog's client area, client pixels.
static const int kPhotoBoxLeft = 8;
static const int kAnalysisBoxLeft = 336;
static const int kBoxTop = 40;
// The staging DIB: 32 bits per pixel, rows from the top (negative height), row stride kCanvasSide.
static const WORD kStagingBitsPerPixel = 32;
// Channel positions: canvas colours are 0x00BBGGRR, DIB pixels 0x00RRGGBB.
static const int kRedOrBlueShift = 16;
static const Colour kByteMask = 0xFF;
static const Colour kGreenMask = 0x00FF00;

static HBITMAP sPhotoBitmap;
static HBITMAP sAnalysisBitmap;
static HDC sPhotoDc;
static HDC sAnalysisDc;
static Canvas sPhotoCanvas;
static Canvas sAnalysisCanvas;

// The PhotoCanvas's pixels while the photograph is read: a 2048 x 2048 photo
// sets 4 million canvas pixels, and one GDI SetPixel each costs far more
// than the decoding. The last write to a pixel wins, as with SetPixel.
static Colour sPhotoStaging[kCanvasSide * kCanvasSide];

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

// Puts the collected PhotoCanvas pixels on its bitmap in one call.
static void FlushPhotoStaging()
{
    Canvas *canvas = PhotoCanvas();
    if (canvas == nullptr || canvas->staging == nullptr)
        return;
    canvas->staging = nullptr;
    for (int i = 0; i < kCanvasSide * kCanvasSide; i++) {
        Colour c = sPhotoStaging[i];
        sPhotoStaging[i] = ((c & kByteMask) << kRedOrBlueShift) | (c & kGreenMask) | ((c >> kRedOrBlueShift) & kByteMask);
    }
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = kCanvasSide;
    // Exactly the canvas's rows, so that no row origin needs translating.
    info.bmiHeader.biHeight = -canvas->height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = kStagingBitsPerPixel;
    info.bmiHeader.biCompression = BI_RGB;
    SetDIBitsToDevice(canvas->dc, 0, 0, static_cast<DWORD>(canvas->width), static_cast<DWORD>(canvas->height), 0, 0,
                      0, static_cast<UINT>(canvas->height), sPhotoStaging, &info, DIB_RGB_COLORS);
}

// Reads every pixel in scan order (rows outer) into the WorkRaster and the
// PhotoCanvas; 0 at the first pixel that cannot be read.
static int TransferPixels(GpImageFlat *bitmap, UINT width, UINT height)
{
    Canvas *canvas = PhotoCanvas();
    if (canvas != nullptr) {
        for (int i = 0; i < kCanvasSide * kCanvasSide; i++)
            sPhotoStaging[i] = kColourBlack;
        canvas->staging = sPhotoStaging;
    }
    int read = 1;
    for (UINT y = 0; y < height && read; y++)
        for (UINT x = 0; x < width; x++) {
            UINT32 argb = 0;
            if (GdipBitmapGetPixel(bitmap, static_cast<INT>(x), static_cast<INT>(y), &argb) != kGdiplusOk) {
                read = 0;
                break;
            }
            TransferPixel(x, y, argb);
        }
    // What was read before a failure stays on the canvas.
    FlushPhotoStaging();
    return read;
}

int LoadBackgroundImage(const wchar_t *path)
{
    ULONG_PTR token = 0;
    GdiplusStartupInputFlat input = {kGdiplusVersion, nullptr, FALSE, FALSE};
    if (GdiplusStartup(&token, &input, nullptr) != kGdiplusOk)
        return kLoadFailed;

    int result = kLoadFailed;
    GpImageFlat *bitmap = nullptr;
    UINT width = 0, height = 0;
    if (GdipCreateBitmapFromFile(path, &bitmap) == kGdiplusOk && bitmap != nullptr &&
        GdipGetImageWidth(bitmap, &width) == kGdiplusOk && GdipGetImageHeight(bitmap, &height) == kGdiplusOk) {
        if (!SetImageGeometry(width, height))
            result = kLoadRejected;
        else if (TransferPixels(bitmap, width, height))
            result = kLoadDone;
    }
    // Disposing of no bitmap fails harmlessly.
    GdipDisposeImage(bitmap);
    GdiplusShutdown(token);
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
