// Decoding a photograph's file into memory (size, pixels and lens tags) and
// handing its pixels to intake: the one seam where the two builds differ.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image.h"
#include "image/photo.h"

// Decodes the photograph at path (UTF-8) in the dialog's order: the file's
// start goes through RejectedByHeader first (kLoadRejected, the rule's message
// shown, before any decoder runs); of an animated GIF only the first image is
// decoded; a decoder that reports a side above kMaxImageSide is stopped
// before it allocates, with the size rule's message (kLoadRejected). A
// missing path, a folder, an unreadable, truncated or unknown file gives
// kLoadFailed (natively also a BMP: no library here decodes it, and a file
// beyond 256 MB). On kLoadDone the photo holds every pixel as 0xAARRGGBB, as
// the Windows image library hands them out, and the EXIF lens tags (a tag
// the file lacks has flag 0; the resolution unit is then 2, inches); it
// belongs to the caller (ReleasePhoto). Otherwise the photo is untouched.
// The decoded size is not checked against the size rules here: that is
// TransferPhoto's first step, as in the dialog.
LoadStatus DecodePhoto(const char *path, Photo *photo);

// DecodePhoto that also does TransferPhoto's work for a JPEG within the size
// rules: its planned rows are mapped onto the WorkRaster and the PhotoCanvas
// as each batch of rows is decoded, while they are still in cache, leaving
// exactly what TransferPhoto leaves. On kLoadDone *transferred is 1 when
// that happened, so the photo needs no TransferPhoto, and 0 otherwise
// (another format, a size rule broken, or the Windows build, whose image
// library decodes the whole picture at once): TransferPhoto then does the
// work or shows the rule. Unlike DecodePhoto, a JPEG that fails partway may
// leave part of itself and its geometry in the WorkRaster and the canvases.
LoadStatus DecodeAndTransferPhoto(const char *path, Photo *photo, int *transferred);

// Frees the pixels and zeroes the photo; a released or zeroed photo may be
// released again.
void ReleasePhoto(Photo *photo);

// Applies the size rules (SetImageGeometry: the broken rule's message shown
// and 0 on refusal), then maps the pixels that survive the reduction, in scan
// order with rows outer, onto the WorkRaster and the PhotoCanvas, exactly as
// the dialog reads them. 1 on success; 0 also for a photo without pixels.
int TransferPhoto(const Photo *photo);

// TransferPhoto in steps, for a decoder that hands out rows as it goes and
// maps them while they are still in cache: BeginTransfer applies the size
// rules and plans the reads (0 on refusal), TransferRowsBefore maps the
// planned rows from planned index next on whose source row lies below end
// (argb holds whole rows of width pixels up to there) and returns the next
// planned index left, EndTransfer closes the canvas's repaint.
int BeginTransfer(uint32_t width, uint32_t height);
uint32_t TransferRowsBefore(const uint32_t *argb, uint32_t width, uint32_t next, uint32_t end);
void EndTransfer();

// The lens tags every reader looks for, and the rules that turn what it
// found into PhotoExif: the readers (GDI+'s property items, libexif, and the
// own reader of a JPEG's APP1 block) differ only in how they reach a tag.
enum LensTag : int32_t {
    kLensFocalLength,               // RATIONAL, mm
    kLensFocalLength35mm,           // SHORT or LONG, mm; 0 means unknown
    kLensFocalPlaneXResolution,     // RATIONAL, sensor pixels per unit
    kLensFocalPlaneResolutionUnit,  // SHORT or LONG: 2 inch, 3 cm
    kLensPixelXDimension,           // SHORT or LONG, pixels
    kLensPixelYDimension,           // SHORT or LONG, pixels
    kLensTagCount
};

// EXIF value types, which GDI+'s property items share.
const uint16_t kExifTypeShort = 3;     // 2 bytes
const uint16_t kExifTypeLong = 4;      // 4 bytes
const uint16_t kExifTypeRational = 5;  // two LONGs: numerator, denominator
// FocalPlaneResolutionUnit when the tag is absent: inches.
const int32_t kDefaultResolutionUnit = 2;

struct LensTagKind {
    uint16_t id;       // EXIF tag number
    int32_t rational;  // 1: an unsigned RATIONAL; 0: a SHORT or a LONG
};

// Indexed by LensTag.
extern const LensTagKind kLensTags[kLensTagCount];

// What a reader found of one tag: found is 1 when the tag is present with a
// value of its kind (a rational's denominator not 0), and then the first value
// is in rational or integer.
struct LensTagValue {
    int32_t found;
    double rational;
    uint32_t integer;
};

// The lens tags from what a reader found (values indexed by LensTag): a tag
// not found has flag 0 and value 0, and so has a 35 mm equivalent of 0; the
// resolution unit is then kDefaultResolutionUnit, as it is when the unit does
// not fit an int32_t.
PhotoExif LensTagsFromValues(const LensTagValue *values);

// Reads the lens tags from a JPEG's APP1 EXIF block by the same rules as
// ReadPhotoExif, without a library: the Windows build's way when GDI+ hands
// out no property items. 1 and exif filled when the bytes hold the block, 0
// otherwise, exif untouched.
int ReadJpegLensTags(const uint8_t *bytes, size_t count, PhotoExif *exif);

// Native build only (the Windows build decodes files through its image
// library).

// DecodePhoto on a whole file already in memory.
LoadStatus DecodePhotoBytes(const uint8_t *bytes, size_t count, Photo *photo);

// DecodeAndTransferPhoto on a whole file already in memory.
LoadStatus DecodeAndTransferPhotoBytes(const uint8_t *bytes, size_t count, Photo *photo, int *transferred);

// Reads the lens tags from a file's bytes (a JPEG's APP1 block). 1 and exif
// filled when the bytes hold an EXIF block: a tag that is absent, of the
// wrong type or a rational with denominator 0 has flag 0 and value 0 (the
// resolution unit is then 2, inches, the EXIF default). 0 otherwise, exif
// untouched.
int ReadPhotoExif(const uint8_t *bytes, size_t count, PhotoExif *exif);
