#include "image/image_win32.h"

// The staging DIB: 32 bits per pixel, rows from the top (negative height),
// row stride kCanvasSide.
static const WORD kStagingBitsPerPixel = 32;
// Channel positions: canvas colours are 0x00BBGGRR, DIB pixels 0x00RRGGBB.
static const int kRedOrBlueShift = 16;
static const Colour kByteMask = 0xFF;
static const Colour kGreenMask = 0x00FF00;

// The pixels of a repaint in progress. One GDI SetPixel costs about 60 ns
// under Wine, so a full 320 x 320 canvas costs several milliseconds pixel by
// pixel and a 2048 x 2048 photograph far more; collected here, a repaint
// reaches the bitmap in one SetDIBitsToDevice. The last write to a pixel
// wins, as with SetPixel. One repaint at a time: a second canvas that begins
// meanwhile is drawn pixel by pixel.
static Colour sStaging[kCanvasSide * kCanvasSide];
static Canvas *sStagingOwner;

void SetCanvasPixel(Canvas *canvas, int x, int y, Colour colour)
{
    if (canvas == nullptr || canvas->dc == nullptr)
        return;
    if (canvas->staging != nullptr) {
        if (x >= 0 && y >= 0 && x < canvas->width && y < canvas->height)
            canvas->staging[y * kCanvasSide + x] = colour;
        return;
    }
    // GDI drops a pixel outside the bitmap.
    SetPixel(canvas->dc, x, y, colour);
}

void BeginCanvasRepaint(Canvas *canvas)
{
    if (canvas == nullptr || canvas->dc == nullptr || sStagingOwner != nullptr)
        return;
    for (int i = 0; i < kCanvasSide * kCanvasSide; i++)
        sStaging[i] = kColourBlack;
    canvas->staging = sStaging;
    sStagingOwner = canvas;
}

void EndCanvasRepaint(Canvas *canvas)
{
    if (canvas == nullptr || canvas != sStagingOwner)
        return;
    sStagingOwner = nullptr;
    canvas->staging = nullptr;
    if (canvas->dc == nullptr || canvas->width <= 0 || canvas->height <= 0)
        return;
    for (int i = 0; i < kCanvasSide * canvas->height; i++) {
        Colour c = sStaging[i];
        sStaging[i] = ((c & kByteMask) << kRedOrBlueShift) | (c & kGreenMask) | ((c >> kRedOrBlueShift) & kByteMask);
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
                      0, static_cast<UINT>(canvas->height), sStaging, &info, DIB_RGB_COLORS);
}
