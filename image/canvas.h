// The canvas seam: every pixel the program draws goes through SetCanvasPixel,
// onto a GDI memory bitmap in the program and onto a memory canvas in tests.
#pragma once

#include <cstdint>

// A 24-bit colour 0x00BBGGRR (red in the low byte), as GDI takes it.
typedef uint32_t Colour;

// The largest canvas side, in canvas pixels: each picture box is 320 x 320.
const int kCanvasSide = 320;

const Colour kColourBlack = 0x000000;
const Colour kColourWhite = 0xFFFFFF;
const Colour kColourRed = 0x0000FF;
const Colour kColourGreen = 0x00FF00;
const Colour kColourBlue = 0xFF0000;
const Colour kColourYellow = 0x00FFFF;

// Defined by the platform side: canvas_win32.cpp wraps a memory device
// context, canvas_memory.cpp holds the pixels itself.
struct Canvas;

// Sets one canvas pixel; a pixel outside the canvas is dropped, and a null
// canvas (none created yet) draws nothing.
void SetCanvasPixel(Canvas *canvas, int x, int y, Colour colour);

// Brackets a repaint in which the caller sets every pixel of the canvas. The
// program may collect the pixels and put them on the canvas in one operation
// at EndCanvasRepaint (pixels left unset in between come out black); drawing
// reads nothing back, so the result is the same as pixel by pixel.
void BeginCanvasRepaint(Canvas *canvas);
void EndCanvasRepaint(Canvas *canvas);

// Sets the canvas pixel that shows the work-pixel position (workX, workY):
// canvas = trunc(work / ratio). A position with no int pixel (not finite, or
// beyond the int range) is skipped rather than converted.
void PlotWorkPoint(Canvas *canvas, double workX, double workY, double ratio, Colour colour);
