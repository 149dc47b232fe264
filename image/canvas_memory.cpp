#include "image/canvas_memory.h"

static int ClampSide(int side)
{
    if (side < 0)
        return 0;
    return side > kMemoryCanvasRoom ? kMemoryCanvasRoom : side;
}

void ResetMemoryCanvas(Canvas *canvas, int width, int height, Colour fill)
{
    canvas->width = ClampSide(width);
    canvas->height = ClampSide(height);
    // Only the canvas's part of the room is ever read or written.
    for (int y = 0; y < canvas->height; y++)
        for (int x = 0; x < canvas->width; x++)
            canvas->pixels[y * kMemoryCanvasRoom + x] = fill;
    canvas->writes = 0;
}

void SetCanvasPixel(Canvas *canvas, int x, int y, Colour colour)
{
    if (canvas == nullptr || x < 0 || y < 0 || x >= canvas->width || y >= canvas->height)
        return;
    canvas->pixels[y * kMemoryCanvasRoom + x] = colour;
    canvas->writes++;
}

// The memory canvas is written directly: nothing to collect.
void BeginCanvasRepaint(Canvas *) {}
void EndCanvasRepaint(Canvas *) {}

Colour GetCanvasPixel(const Canvas *canvas, int x, int y)
{
    if (x < 0 || y < 0 || x >= canvas->width || y >= canvas->height)
        return kColourBlack;
    return canvas->pixels[y * kMemoryCanvasRoom + x];
}

int CountCanvasColour(const Canvas *canvas, Colour colour)
{
    int count = 0;
    for (int y = 0; y < canvas->height; y++)
        for (int x = 0; x < canvas->width; x++)
            if (canvas->pixels[y * kMemoryCanvasRoom + x] == colour)
                count++;
    return count;
}
