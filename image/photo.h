// A decoded photograph in memory: its size, its pixels in source order and the
// EXIF tags that tell its lens. Each decoder hands one back; intake and the
// refined estimate read it, never a decoder.
#pragma once

#include <cstdint>

// Bytes kept of the camera's maker and model names, with the terminating zero.
const int kPhotoExifNameSize = 64;

// The lens tags as the file's EXIF block carries them; a flag of 0 means the
// tag was absent (or unreadable), and its value is then 0.
struct PhotoExif {
    int32_t hasFocalLength;
    double focalLength;                 // mm, FocalLength
    int32_t hasFocalLength35mm;
    double focalLength35mm;             // mm, FocalLengthIn35mmFilm (35 mm equivalent by the diagonal)
    int32_t hasFocalPlaneXResolution;
    double focalPlaneXResolution;       // sensor pixels per unit, FocalPlaneXResolution
    int32_t focalPlaneResolutionUnit;   // FocalPlaneResolutionUnit: 2 inch (the default), 3 cm
    uint32_t pixelXDimension;           // pixels, PixelXDimension: the width the camera wrote; 0 when absent
    uint32_t pixelYDimension;           // pixels, PixelYDimension
    // The camera, as Make and Model name it (ASCII, trailing blanks dropped);
    // empty when absent. Arrays, not pointers: the record is copied byte for byte.
    char make[kPhotoExifNameSize];
    char model[kPhotoExifNameSize];
    // The lens as LensModel (of the EXIF IFD) names it; empty when absent.
    char lensModel[kPhotoExifNameSize];
};

struct Photo {
    uint32_t width;    // source pixels
    uint32_t height;   // source pixels
    uint32_t *argb;    // width * height colours 0xAARRGGBB, row after row from the top; owned
    PhotoExif exif;
};
