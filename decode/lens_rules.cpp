#include "decode/decode.h"

const LensTagKind kLensTags[kLensTagCount] = {
    {0x920A, 1},  // FocalLength
    {0xA405, 0},  // FocalLengthIn35mmFilm
    {0xA20E, 1},  // FocalPlaneXResolution
    {0xA210, 0},  // FocalPlaneResolutionUnit
    {0xA002, 0},  // PixelXDimension
    {0xA003, 0},  // PixelYDimension
};

PhotoExif LensTagsFromValues(const LensTagValue *values)
{
    PhotoExif exif = {};
    const LensTagValue &focal = values[kLensFocalLength];
    if (focal.found) {
        exif.hasFocalLength = 1;
        exif.focalLength = focal.rational;
    }
    const LensTagValue &focal35 = values[kLensFocalLength35mm];
    if (focal35.found && focal35.integer != 0) {
        exif.hasFocalLength35mm = 1;
        exif.focalLength35mm = focal35.integer;
    }
    const LensTagValue &resolution = values[kLensFocalPlaneXResolution];
    if (resolution.found) {
        exif.hasFocalPlaneXResolution = 1;
        exif.focalPlaneXResolution = resolution.rational;
    }
    const LensTagValue &unit = values[kLensFocalPlaneResolutionUnit];
    exif.focalPlaneResolutionUnit =
        unit.found && unit.integer <= INT32_MAX ? static_cast<int32_t>(unit.integer) : kDefaultResolutionUnit;
    if (values[kLensPixelXDimension].found)
        exif.pixelXDimension = values[kLensPixelXDimension].integer;
    if (values[kLensPixelYDimension].found)
        exif.pixelYDimension = values[kLensPixelYDimension].integer;
    return exif;
}
