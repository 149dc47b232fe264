#include <windows.h>
#include <shlwapi.h>

#include <cstring>

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

// The start of the photograph's file: its header, and for a GIF as much of
// the file as holds a 2048 x 2048 first image even at the worst compression
// (12-bit codes for 4 million pixels are 6 MB, plus block lengths).
static const DWORD kGifBytes = 16 * 1024 * 1024;
static uint8_t sFileStart[kGifBytes];
static const uint8_t kGifStart[] = {'G', 'I', 'F'};

// Reads kHeaderBytes from the start of the file, more for a GIF; 0 bytes when
// it cannot be opened or read (a folder, a missing file), and the decoder decides.
static DWORD ReadFileStart(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD got = 0;
    if (!ReadFile(file, sFileStart, kHeaderBytes, &got, nullptr))
        got = 0;
    if (got == kHeaderBytes && std::memcmp(sFileStart, kGifStart, sizeof kGifStart) == 0) {
        DWORD more = 0;
        if (ReadFile(file, sFileStart + got, kGifBytes - got, &more, nullptr))
            got += more;
    }
    CloseHandle(file);
    return got;
}

// Decodes the file, or for an animated GIF only its first image from memory.
static GpStatusFlat DecodeBitmap(const wchar_t *path, DWORD startBytes, GpImageFlat **bitmap)
{
    size_t gifLength = CutGifAfterFirstImage(sFileStart, startBytes);
    if (gifLength == 0)
        return GdipCreateBitmapFromFile(path, bitmap);
    IStream *stream = SHCreateMemStream(sFileStart, static_cast<UINT>(gifLength));
    if (stream == nullptr)
        return GdipCreateBitmapFromFile(path, bitmap);
    GpStatusFlat status = GdipCreateBitmapFromStream(stream, bitmap);
    // The bitmap keeps its own reference while it lives.
    stream->Release();
    return status;
}

int LoadBackgroundImage(const wchar_t *path)
{
    // A header that claims too large a picture is turned away before the
    // library decodes the whole file (a few hundred bytes can claim 60000 x
    // 60000 pixels: gigabytes and seconds).
    DWORD startBytes = ReadFileStart(path);
    if (RejectedByHeader(sFileStart, startBytes))
        return kLoadRejected;

    ULONG_PTR token = 0;
    GdiplusStartupInputFlat input = {kGdiplusVersion, nullptr, FALSE, FALSE};
    if (GdiplusStartup(&token, &input, nullptr) != kGdiplusOk)
        return kLoadFailed;

    int result = kLoadFailed;
    GpImageFlat *bitmap = nullptr;
    UINT width = 0, height = 0;
    if (DecodeBitmap(path, startBytes, &bitmap) == kGdiplusOk && bitmap != nullptr &&
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
