// The program's side of the canvases: a canvas is a GDI memory drawing
// context with its bitmap selected, and the dialog's paint copies both.
#pragma once

#include <windows.h>

#include "image/canvas.h"

// The main dialog, the shell's (empty until it is created): its display
// drawing context lends the canvases their pixel format.
extern HWND gMainDialog;

struct Canvas {
    HDC dc;            // memory drawing context with the canvas bitmap selected
    // During a repaint (BeginCanvasRepaint .. EndCanvasRepaint: loading the
    // photograph, the threshold view) the canvas collects its pixels here
    // (row stride kCanvasSide, 0x00BBGGRR) and puts them on the bitmap in one
    // copy at the end; null otherwise.
    Colour *staging;
    int width;         // canvas pixels
    int height;        // canvas pixels
};

// Copies both canvases into the dialog's paint drawing context, each centred
// in its 320 x 320 box at client (8, 40) and (336, 40).
void PaintCanvases(HDC paintDc);
