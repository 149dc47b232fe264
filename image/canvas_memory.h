// The memory canvas: the stand-in for a GDI bitmap in native builds, so that
// every drawing can be checked pixel by pixel.
#pragma once

#include "image/canvas.h"

struct Canvas {
    int width;                                  // canvas pixels
    int height;                                 // canvas pixels
    Colour pixels[kCanvasSide * kCanvasSide];   // row after row, stride kCanvasSide
    long writes;                                // pixels set since the last reset, dropped ones excluded
};

// Sizes the canvas (clamped to 0..kCanvasSide) and fills it with one colour.
void ResetMemoryCanvas(Canvas *canvas, int width, int height, Colour fill);
// The colour at (x, y); kColourBlack outside the canvas.
Colour GetCanvasPixel(const Canvas *canvas, int x, int y);
// How many pixels of the canvas hold exactly this colour.
int CountCanvasColour(const Canvas *canvas, Colour colour);
