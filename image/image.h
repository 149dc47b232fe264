// Image intake and the threshold view: the size rules, the ImageGeometry, the
// 640 x 640 WorkRaster that all analysis reads, and the two preview canvases.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/canvas.h"

// Side of the WorkRaster, in work pixels.
const int kWorkSide = 640;
// Largest accepted photograph side, in source pixels.
const uint32_t kMaxImageSide = 2048;
// At least one side must reach this many source pixels.
const uint32_t kMinImageSide = 320;
// Smallest accepted short side / long side (9 / 16).
const double kMinAspect = 0.5625;

// Results of LoadBackgroundImage and of the decoders.
enum LoadStatus : int32_t {
    kLoadDone = 0,
    kLoadFailed = 1,
    kLoadRejected = 2,
};

// Set once by SetImageGeometry; all zero until a photograph is accepted.
struct ImageGeometry {
    int32_t workWidth;       // work pixels, trunc(source width * workScale), at most 640
    int32_t workHeight;      // work pixels
    double workScale;        // work pixels per source pixel, 640 / long side capped at 1.0
    int32_t previewXOffset;  // client pixels, (320 - previewWidth) / 2
    int32_t previewYOffset;  // client pixels, (320 - previewHeight) / 2
    int32_t previewWidth;    // canvas pixels, trunc(source width * previewScale), at most 320
    int32_t previewHeight;   // canvas pixels
    double previewScale;     // canvas pixels per source pixel, 320 / long side capped at 1.0
};

// Brightness (largest of red, green and blue) of the source pixel last mapped
// onto each work pixel; element y * 640 + x.
struct WorkRaster {
    uint8_t brightness[kWorkSide * kWorkSide];
};

extern ImageGeometry gImageGeometry;
extern WorkRaster gWorkRaster;

// Applies the size rules in their order (too large, too small, aspect); on
// acceptance stores the geometry, creates both canvases and returns 1, else
// shows the rule's message on the status line and returns 0.
int SetImageGeometry(uint32_t width, uint32_t height);

// 1 when a photograph of this size passes every size rule; shows nothing.
int PassesSizeRules(uint32_t width, uint32_t height);

// Bytes read from the start of a photograph's file for its header.
const uint32_t kHeaderBytes = 65536;

// The size that the header at the start of a photograph's file claims, from
// its first bytes: PNG (IHDR), JPEG (the first frame header, reached by
// walking the segments), GIF (the logical screen, widened by the first image
// when that lies within the bytes), BMP (core and info headers) and TIFF (the
// first directory). 0 when the bytes do not tell, outputs untouched.
int ReadHeaderSize(const uint8_t *bytes, size_t count, uint32_t *width, uint32_t *height);

// Bytes of a JPEG segment's length field (big-endian), which counts itself.
const size_t kJpegLengthSize = 2;

// One segment of a JPEG's header, before the first scan.
struct JpegSegment {
    uint8_t marker;
    size_t at;       // offset of its marker
    size_t length;   // bytes, its length field: the field itself and the payload
    size_t payload;  // offset of what follows the length field
};

// Steps through a JPEG's segments: *at starts at 0 (the start-of-image
// marker, checked) and is moved past each segment found; fill bytes and the
// markers that carry no length (TEM, RST0..7) are passed over. 1 with
// *segment set while a marker and its length field lie within the bytes; 0
// at a scan, at the end of the image, at a byte that is no marker, or at the
// end of the bytes. The length is the file's word: checking it, and whether
// the payload lies within the bytes, is the caller's.
int NextJpegSegment(const uint8_t *bytes, size_t count, size_t *at, JpegSegment *segment);

// When the header tells a size that breaks a size rule, shows that rule's
// message (through SetImageGeometry, which then stores nothing) and returns
// 1; otherwise 0, and the photograph goes to the decoder.
int RejectedByHeader(const uint8_t *bytes, size_t count);

// The library's GIF decoder may decode every frame of an animation when the
// bitmap is created, while only the first is shown: 600 frames of 2048 x 2048
// in 2 MB of file cost gigabytes. When the bytes (the file's start) hold the
// whole first image and more after it, writes the trailer just after the
// first image and returns the length of that one-image GIF; 0 otherwise (not
// a GIF, the first image not complete in the bytes, or nothing after it).
size_t CutGifAfterFirstImage(uint8_t *bytes, size_t count);

// Maps one source pixel (colour 0xAARRGGBB, alpha ignored) onto the
// WorkRaster and the PhotoCanvas; the last pixel mapped onto a place wins.
void TransferPixel(uint32_t x, uint32_t y, uint32_t argb);

// The source columns and rows whose pixels survive the reduction: each work
// pixel and each canvas pixel ends up holding the last source pixel, in scan
// order, of those that map onto it, and x and y map independently and
// monotonically (trunc(x * scale)), so that pixel is (last column of its
// column interval, last row of its row interval). Reading only the rows that
// are last for some work row or canvas row, and in them only the columns that
// are last for some work column or canvas column, in ascending order, leaves
// the WorkRaster and the PhotoCanvas exactly as reading every pixel does.
struct ReadPlan {
    uint32_t columns[kMaxImageSide];  // source columns, ascending
    uint32_t rows[kMaxImageSide];     // source rows, ascending
    uint32_t columnCount;
    uint32_t rowCount;
    uint32_t width;  // source pixels of a row, the plan's photograph's width
    // Where each planned column and row lands, as TransferPixel maps it: the
    // work index and the canvas index, -1 beyond the WorkRaster or the
    // canvas, and a canvas index also -1 where the next planned one lands on
    // the same canvas pixel (which it would overwrite).
    int32_t workColumns[kMaxImageSide];
    int32_t canvasColumns[kMaxImageSide];
    int32_t workRows[kMaxImageSide];
    int32_t canvasRows[kMaxImageSide];
};

extern ReadPlan gReadPlan;

// Fills gReadPlan for a photograph of this size from the stored geometry;
// returns 0 (plan untouched) when no geometry is set or a side exceeds the
// table.
int PlanPixelReads(uint32_t width, uint32_t height);

// Maps the planned pixels of planned row r (index into gReadPlan.rows; row
// holds that whole source row, length pixels 0xAARRGGBB) onto the WorkRaster
// and the PhotoCanvas. Once every planned row has been mapped, in order, both
// hold exactly what TransferPixel on every planned pixel in scan order
// leaves; each work pixel and each canvas pixel is written only once. 0 and
// nothing written when r is beyond the plan or length is not the plan's width.
int TransferPlannedRow(uint32_t r, const uint32_t *row, uint32_t length);

// Work pixels per canvas pixel: work scale / preview scale, 1.0 to 2.0.
double DrawingRatio();

// Repaints the AnalysisCanvas black and white from the WorkRaster at the
// current threshold and marks the dialog for repainting.
void RenderThresholdView();

// Platform side (image_win32.cpp in the program, image_memory.cpp natively).

// Decodes the photograph (program only: the native build has no decoder)
// and fills the WorkRaster and the PhotoCanvas;
// returns kLoadDone, kLoadFailed or kLoadRejected.
LoadStatus LoadBackgroundImage(const wchar_t *path);
// Creates both canvases at the preview size of gImageGeometry.
void CreateCanvases();
// Releases both canvases; a second call does nothing.
void ReleaseCanvases();
// The canvases, or null when they do not exist.
Canvas *PhotoCanvas();
Canvas *AnalysisCanvas();
