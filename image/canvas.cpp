#include "image/canvas.h"

#include "common/numeric.h"

void PlotWorkPoint(Canvas *canvas, double workX, double workY, double ratio, Colour colour)
{
    int x, y;
    if (!TruncToInt(workX / ratio, &x) || !TruncToInt(workY / ratio, &y))
        return;
    SetCanvasPixel(canvas, x, y, colour);
}
