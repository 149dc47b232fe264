// The lens database: a camera's crop factor and its lens' distortion by the
// names its EXIF gives, from lensfun, loaded once per process on the first lookup.
#pragma once

#include <cstddef>

#include "distortion/distortion.h"

// 1 with *crop (the 36 x 24 mm frame's diagonal over the sensor's) when the
// database holds the camera that make and model name; else 0. Either way
// note gets what was found, or why nothing was: no camera named, a camera
// the database does not hold, a missing or unreadable database, or a build
// without one (the Windows build).
int LensDbCropFactor(const char *make, const char *model, double *crop, char *note, size_t noteSize);

// The folder of XML files the next lookup reads the database from, instead
// of lensfun's own (null: lensfun's own); drops what was loaded.
void LensDbUseFolder(const char *folder);

// Whether a fixed lens (a compact's or a phone's, which the camera usually
// corrects itself) is corrected too.
enum FixedLensRule : int {
    kFixedLensSkip = 0,
    kFixedLensCorrect = 1,
};

// The distortion of the lens lensName (EXIF LensModel) on the camera make and
// model name, at focalMm (EXIF FocalLength), through lensfun's own searches:
// the camera by maker and model, then the lens among those that fit its
// mount. 1 with *distortion when the camera and a lens on its mount (or one
// the mount takes) are found, the focal length lies in the lens' range and
// the lens has a calibration there; else 0. A camera whose mount is no
// interchangeable one the database lists has a fixed lens: its profile (the
// lens named, or else the one lens on that mount) only with kFixedLensCorrect.
// Either way note says which profile matched, or why none did.
int LensDbDistortion(const char *make, const char *model, const char *lensName, double focalMm, FixedLensRule fixed,
                     LensDistortion *distortion, char *note, size_t noteSize);
