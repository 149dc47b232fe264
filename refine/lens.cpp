// The lens: the focal length in source pixels from the photograph's EXIF
// tags, the 35 mm equivalent or the classic lens, and its field of view.
#include <algorithm>
#include <cmath>

#include "common/numeric.h"
#include "refine/refine.h"

// Millimetres, the length of each FocalPlaneResolutionUnit.
const double kResolutionUnitInch = 25.4;
const double kResolutionUnitCentimetre = 10.0;
const double kResolutionUnitMillimetre = 1.0;
const double kResolutionUnitMicrometre = 0.001;
const double kFilmDiagonal = 43.27;           // mm, the diagonal of a 36 x 24 mm frame
const double kClassicFocalPerLongSide = 375.0 / 320.0;  // focal length over long side of the classic lens
const double kMinFieldOfView = 10.0;          // degrees along the long side
const double kMaxFieldOfView = 150.0;         // degrees along the long side
const double kRoundingHalfStep = 0.5;         // mm, a 35 mm equivalent is written in whole millimetres
// The assumed lens is a prior, not a measurement. Lenses that take such
// photographs run from the 24 mm (35 mm equivalent) of phones' main cameras
// and wide zooms to the 75 mm or so of a standard zoom's long end; their
// geometric middle, sqrt(24 x 75) = 42.4 mm, is the classic lens itself
// (36 mm / (2 tan(46.2 / 2)) = 42.2 mm). Taking the logarithm of the focal
// length as normal around the classic lens with that span as its +-2
// deviations gives sigma(ln f) = ln(75 / 24) / 4.
const double kPriorWideEquivalent = 24.0;   // mm, 35 mm equivalent, the prior's -2 deviation end
const double kPriorLongEquivalent = 75.0;   // mm, 35 mm equivalent, the prior's +2 deviation end
const double kPriorSpanDeviations = 4.0;    // deviations between the span's ends

double LongSideFieldOfView(double focal, uint32_t width, uint32_t height)
{
    const double longSide = static_cast<double>(std::max(width, height));
    return DegreesFromRadians(2.0 * std::atan(longSide / (2.0 * focal)));
}

// F = 2 atan(L / 2f) along the long side L: dF/df = -L / (f^2 + L^2 / 4).
double FieldOfViewSigma(double focal, double focalSigma, uint32_t width, uint32_t height)
{
    const double longSide = static_cast<double>(std::max(width, height));
    return DegreesFromRadians(longSide / (focal * focal + longSide * longSide / 4.0)) * focalSigma;
}

static int PlausibleFocal(double focal, uint32_t width, uint32_t height)
{
    if (!(focal > 0.0) || !std::isfinite(focal))
        return 0;
    const double fov = LongSideFieldOfView(focal, width, height);
    return fov >= kMinFieldOfView && fov <= kMaxFieldOfView;
}

// Millimetres per FocalPlaneResolutionUnit: 2 inch (also when absent), 3 cm,
// and the 4 mm and 5 micrometre of later TIFF writers; 1 (no unit) has none.
static double UnitMillimetres(int32_t unit)
{
    switch (unit) {
    case 0:
    case 2:
        return kResolutionUnitInch;
    case 3:
        return kResolutionUnitCentimetre;
    case 4:
        return kResolutionUnitMillimetre;
    case 5:
        return kResolutionUnitMicrometre;
    default:
        return 0.0;
    }
}

// The focal plane resolution counts the camera's own pixels; a picture
// resized since (or turned) is scaled by long side over long side.
static double ResizeFactor(const PhotoExif *exif, uint32_t width, uint32_t height)
{
    const double longSide = static_cast<double>(std::max(width, height));
    const uint32_t written = std::max(exif->pixelXDimension, exif->pixelYDimension);
    if (exif->pixelXDimension > 0 && exif->pixelYDimension > 0)
        return longSide / written;
    if (exif->pixelXDimension > 0)
        return static_cast<double>(width) / exif->pixelXDimension;
    return 1.0;
}

// A tag's value is a rational that the camera wrote with some decimals (5.13,
// 6586.71); the true value lies anywhere within half a unit of the last one,
// uniform: a relative deviation of that half unit / sqrt(3) over the value.
// A value with more than kMostDecimals decimals counts as exact.
const int kMostDecimals = 4;
const double kDecimalTolerance = 1e-6;  // units of the last decimal: 5.13 x 100 is 513 to this

static double RoundingShare(double value)
{
    double unit = 1.0;
    for (int decimals = 0; decimals <= kMostDecimals; decimals++, unit /= 10.0) {
        const double units = value / unit;
        if (std::fabs(units - std::round(units)) < kDecimalTolerance)
            return 0.5 * unit * kUniformToSigma / value;
    }
    return 0.0;
}

double AssumedLensLogSigma()
{
    return std::log(kPriorLongEquivalent / kPriorWideEquivalent) / kPriorSpanDeviations;
}

void ChooseLens(const PhotoExif *exif, uint32_t width, uint32_t height, Lens *lens)
{
    Lens chosen;
    chosen.refused = 0;
    chosen.focalSigma = 0.0;
    if (exif != nullptr && exif->hasFocalLength && exif->hasFocalPlaneXResolution) {
        const double unit = UnitMillimetres(exif->focalPlaneResolutionUnit);
        const double focal =
            exif->focalLength / unit * exif->focalPlaneXResolution * ResizeFactor(exif, width, height);
        if (unit > 0.0 && PlausibleFocal(focal, width, height)) {
            chosen.focal = focal;
            chosen.source = kFocalExif;
            // f = FocalLength x FocalPlaneXResolution / unit: relative deviations add in quadrature.
            chosen.focalSigma =
                focal * std::hypot(RoundingShare(exif->focalLength), RoundingShare(exif->focalPlaneXResolution));
            *lens = chosen;
            return;
        }
        chosen.refused = 1;
    }
    if (exif != nullptr && exif->hasFocalLength35mm) {
        const double diagonal = std::hypot(static_cast<double>(width), static_cast<double>(height));
        const double focal = exif->focalLength35mm / kFilmDiagonal * diagonal;
        if (PlausibleFocal(focal, width, height)) {
            chosen.focal = focal;
            chosen.source = kFocalExif35;
            chosen.focalSigma = kRoundingHalfStep * kUniformToSigma / kFilmDiagonal * diagonal;
            *lens = chosen;
            return;
        }
        chosen.refused = 1;
    }
    chosen.focal = kClassicFocalPerLongSide * static_cast<double>(std::max(width, height));
    chosen.source = kFocalDefault;
    chosen.focalSigma = AssumedLensLogSigma() * chosen.focal;
    *lens = chosen;
}

// A crop factor k is the 36 x 24 mm frame's diagonal over the sensor's:
// k = 43.27 mm / d_s. A photo of the whole sensor spans its diagonal d_s in
// diag_px = hypot(width, height) pixels, so a focal length F mm is
//   f_px = F / d_s * diag_px = F * k / 43.27 mm * diag_px,
// the 35 mm equivalent F * k taken by the diagonal, as for FocalLengthIn35mmFilm.
// A photo cropped to another aspect than the sensor's would need the sensor's
// own shape, which the database does not give.
static double FocalFromEquivalent(double equivalentMm, uint32_t width, uint32_t height)
{
    return equivalentMm / kFilmDiagonal * std::hypot(static_cast<double>(width), static_cast<double>(height));
}

// FocalLength is written to 0.1 mm by most cameras, in whole millimetres by
// some (a whole value is taken for one of those); the database's crop
// factors are the sensor's to within about half a percent (1.620 for a
// sensor whose diagonal gives 1.613). Both spread uniformly.
const double kFocalTenthHalfStep = 0.05;    // mm, FocalLength written to 0.1 mm
const double kFocalWholeHalfStep = 0.5;     // mm, FocalLength written in whole millimetres
const double kCropRelativeHalfWidth = 0.005;  // the database's crop factor against the sensor's, relative

int LensWantsCropFactor(const PhotoExif *exif)
{
    return exif != nullptr && exif->hasFocalLength && !exif->hasFocalPlaneXResolution && !exif->hasFocalLength35mm;
}

// The user's lens in source pixels: f = longSide / (2 tan(fov / 2)) for a
// field of view along the long side; f = F / W * longSide for a focal length
// F on a sensor W wide along the long side; the 35 mm equivalent by the
// diagonal as FocalLengthIn35mmFilm. Stated exactly: no deviation of its own.
static double GivenFocal(const GivenLens &given, uint32_t width, uint32_t height)
{
    const double longSide = static_cast<double>(std::max(width, height));
    switch (given.kind) {
    case kGivenLensFov:
        return longSide / (2.0 * std::tan(RadiansFromDegrees(given.fov) / 2.0));
    case kGivenLensFocalSensor:
        return given.focalMm / given.sensorMm * longSide;
    case kGivenLensFocal35:
        return FocalFromEquivalent(given.focalMm, width, height);
    case kGivenLensNone:
        break;
    }
    return 0.0;
}

void ChooseLensWithHints(const PhotoExif *exif, uint32_t width, uint32_t height, const LensHints *hints, Lens *lens)
{
    if (hints != nullptr && hints->given.kind != kGivenLensNone) {
        const double focal = GivenFocal(hints->given, width, height);
        if (focal > 0.0 && std::isfinite(focal)) {
            lens->focal = focal;
            lens->source = kFocalUser;
            lens->refused = 0;
            lens->focalSigma = 0.0;
            return;
        }
    }
    ChooseLens(exif, width, height, lens);
    if (hints == nullptr || !hints->cropFound || lens->source != kFocalDefault || !LensWantsCropFactor(exif))
        return;
    const double focal = FocalFromEquivalent(exif->focalLength * hints->cropFactor, width, height);
    if (!PlausibleFocal(focal, width, height)) {
        lens->refused = 1;
        return;
    }
    const int whole = std::floor(exif->focalLength) == exif->focalLength;
    const double focalRelative =
        (whole ? kFocalWholeHalfStep : kFocalTenthHalfStep) * kUniformToSigma / exif->focalLength;
    const double cropRelative = kCropRelativeHalfWidth * kUniformToSigma;
    lens->focal = focal;
    lens->source = kFocalLensDb;
    lens->refused = 0;
    lens->focalSigma = focal * std::hypot(focalRelative, cropRelative);
}
