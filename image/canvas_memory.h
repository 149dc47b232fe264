// The memory canvas: the stand-in for a GDI bitmap in native builds, so that
// every drawing can be checked pixel by pixel.
#pragma once

#include "image/canvas.h"

// Side of a memory canvas's room, in pixels: the dialog's canvases use at
// most kCanvasSide of it; the measurement command draws the analysis at the
// WorkRaster's resolution (640) on a memory canvas of its own.
const int kMemoryCanvasRoom = 640;

struct Canvas {
    int width;                                          // canvas pixels
    int height;                                         // canvas pixels
    // Row after row, stride kMemoryCanvasRoom; only width x height of them in use.
    Colour pixels[kMemoryCanvasRoom * kMemoryCanvasRoom];
    long writes;                                        // pixels set since the last reset, dropped ones excluded
};

// Sizes the canvas (clamped to 0..kMemoryCanvasRoom) and fills it with one colour.
void ResetMemoryCanvas(Canvas *canvas, int width, int height, Colour fill);
// The colour at (x, y); kColourBlack outside the canvas.
Colour GetCanvasPixel(const Canvas *canvas, int x, int y);
// How many pixels of the canvas hold exactly this colour.
int CountCanvasColour(const Canvas *canvas, Colour colour);
// Whether a photograph's intake creates the dialog's two canvases and draws
// the photograph on one (the default). The measurement command reads neither
// (its preview draws on a canvas of its own), so it leaves them out.
void SetDialogCanvases(int wanted);
