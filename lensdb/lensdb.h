// The lens database: a camera's crop factor by the Make and Model its EXIF
// names, from lensfun, loaded once per process on the first lookup.
#pragma once

#include <cstddef>

// 1 with *crop (the 36 x 24 mm frame's diagonal over the sensor's) when the
// database holds the camera that make and model name; else 0. Either way
// note gets what was found, or why nothing was: no camera named, a camera
// the database does not hold, a missing or unreadable database, or a build
// without one (the Windows build).
int LensDbCropFactor(const char *make, const char *model, double *crop, char *note, size_t noteSize);

// The folder of XML files the next lookup reads the database from, instead
// of lensfun's own (null: lensfun's own); drops what was loaded.
void LensDbUseFolder(const char *folder);
