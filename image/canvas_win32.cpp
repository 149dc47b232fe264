#include "image/image_win32.h"

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
