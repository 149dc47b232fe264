// Decoding a photograph's file into memory (size, pixels and lens tags) and
// handing its pixels to intake: the one seam where the two builds differ.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/photo.h"

// Decodes the photograph at path (UTF-8) in the dialog's order: the file's
// start goes through RejectedByHeader first (kLoadRejected, the rule's message
// shown, before any decoder runs); of an animated GIF only the first image is
// decoded; a decoder that reports a side above kMaxImageSide is stopped
// before it allocates, with the size rule's message (kLoadRejected). A
// missing path, a folder, an unreadable, truncated or unknown file gives
// kLoadFailed. On kLoadDone the photo holds every pixel as 0xAARRGGBB, as
// the Windows image library hands them out, and the EXIF lens tags (a tag
// the file lacks has flag 0; the resolution unit is then 2, inches); it
// belongs to the caller (ReleasePhoto). Otherwise the photo is untouched.
// The decoded size is not checked against the size rules here: that is
// TransferPhoto's first step, as in the dialog.
int DecodePhoto(const char *path, Photo *photo);

// Frees the pixels and zeroes the photo; a released or zeroed photo may be
// released again.
void ReleasePhoto(Photo *photo);

// Applies the size rules (SetImageGeometry: the broken rule's message shown
// and 0 on refusal), then maps the pixels that survive the reduction, in scan
// order with rows outer, onto the WorkRaster and the PhotoCanvas, exactly as
// the dialog reads them. 1 on success; 0 also for a photo without pixels.
int TransferPhoto(const Photo *photo);

// Native build only (the Windows build decodes files through its image
// library).

// DecodePhoto on a whole file already in memory.
int DecodePhotoBytes(const uint8_t *bytes, size_t count, Photo *photo);

// Reads the lens tags from a file's bytes (a JPEG's APP1 block). 1 and exif
// filled when the bytes hold an EXIF block: a tag that is absent, of the
// wrong type or a rational with denominator 0 has flag 0 and value 0 (the
// resolution unit is then 2, inches, the EXIF default). 0 otherwise, exif
// untouched.
int ReadPhotoExif(const uint8_t *bytes, size_t count, PhotoExif *exif);
