#include <windows.h>

#include <cstdio>
#include <vector>

#include "image/gdiplus_win32.h"
#include "measure/measure.h"

// The PNG encoder of GDI+.
// PixelFormat24bppRGB: 3 bytes a pixel, blue first, rows 4-byte aligned.
static const INT kPixelFormat24bppRgb = 0x00021808;
static const int kBytesPerPixel = 3;
static const int kRowAlignment = 4;  // bytes
// GDI+'s built-in PNG encoder.
static const CLSID kPngEncoder = {0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};

int WritePng(const char *path, const uint8_t *rgb, int width, int height)
{
    int wideCount = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (wideCount <= 0 || width <= 0 || height <= 0)
        return 0;
    std::vector<WCHAR> widePath(static_cast<size_t>(wideCount));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, widePath.data(), wideCount);

    const int stride = (width * kBytesPerPixel + kRowAlignment - 1) / kRowAlignment * kRowAlignment;
    std::vector<BYTE> bgr(static_cast<size_t>(stride) * height, 0);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const uint8_t *from = rgb + (static_cast<size_t>(y) * width + x) * kBytesPerPixel;
            BYTE *to = &bgr[static_cast<size_t>(y) * stride + static_cast<size_t>(x) * kBytesPerPixel];
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
        }

    GdiplusStartupInputFlat input = {kGdiplusVersion, nullptr, FALSE, FALSE};
    ULONG_PTR token = 0;
    if (GdiplusStartup(&token, &input, nullptr) != kGdiplusOk)
        return 0;
    GpImageFlat *bitmap = nullptr;
    int written = GdipCreateBitmapFromScan0(width, height, stride, kPixelFormat24bppRgb, bgr.data(), &bitmap) ==
                      kGdiplusOk &&
                  GdipSaveImageToFile(bitmap, widePath.data(), &kPngEncoder, nullptr) == kGdiplusOk;
    if (bitmap != nullptr)
        GdipDisposeImage(bitmap);
    GdiplusShutdown(token);
    if (!written)
        DeleteFileW(widePath.data());
    return written;
}
