// Marker extraction: the 8-connected components of the pixels at or above
// the threshold (LabelMap, ComponentTable) and the outline of the largest.
#pragma once

#include <cstdint>

#include "image/canvas.h"
#include "image/image.h"

// Labels are one byte: 1..255 are live labels, 0 is background.
const int kMaxLabels = 255;
// Room in the OutlineBuffer, in points.
const int kMaxOutlinePoints = 2560;

// Work pixel (x, y) is element y * 640 + x; 0 background, else the
// provisional label the pixel received (not necessarily its root).
struct LabelMap {
    uint8_t labels[kWorkSide * kWorkSide];
};

// Statistics of the pixels written with exactly one label; merged labels
// keep their own records.
struct ComponentRecord {
    uint8_t parent;      // union-find parent, a root holds its own label; parent <= label
    int32_t pixelCount;  // pixels written with this label
    int32_t left;        // smallest x, work pixels
    int32_t top;         // row the label was issued on (smallest y)
    int32_t right;       // largest x
    int32_t bottom;      // row of the latest pixel (largest y)
    Colour colour;       // display colour, set only by PaintComponents
};

struct ComponentTable {
    ComponentRecord records[kMaxLabels + 1];  // indexed by label; record 0 unused
    int32_t labelCount;                       // labels issued in the current run
};

struct OutlinePoint {
    uint16_t x;  // work pixels
    uint16_t y;  // work pixels, downward
};

// The marker's outer boundary in tracing order (clockwise on the screen);
// point 0 is the start and is not repeated at the end.
struct OutlineBuffer {
    OutlinePoint points[kMaxOutlinePoints];
    int32_t pointCount;
};

extern LabelMap gLabelMap;
extern ComponentTable gComponentTable;
extern OutlineBuffer gOutlineBuffer;

// One raster pass over rows and columns 1 .. side - 2 of the WorkRaster;
// returns 0 when a pixel needs a 256th label.
int LabelComponents(int workWidth, int workHeight, uint8_t threshold);
// Root of a label by its parent links (no path compression); 0 gives 0.
uint8_t FindRoot(uint8_t label);
// Joins the trees of a and b under the smaller root and returns that root.
uint8_t MergeLabels(uint8_t a, uint8_t b);
// Next random component colour; every channel 128..255.
Colour NextLabelColour();
// Starts the colour sequence again as at the process's start, so that a
// picture drawn for one photograph among many does not depend on the others.
void RestartLabelColours();
// Gives the live labels new colours and paints every canvas pixel with the
// colour of its work pixel's root (black for background).
void PaintComponents(Canvas *canvas, int previewWidth, int previewHeight, double ratio);

// Traces the outline of the label with the most pixels into the
// OutlineBuffer; 0 when there is no label, it comes near the border, or the
// walk does not close within 2560 points.
int TraceOutline(int workWidth, int workHeight);
// Marks every outline point in red.
void DrawOutline(Canvas *canvas, double ratio);
