#include <cstdio>

#include "lensdb/lensdb.h"

// The Windows build carries no lens database: every lookup says so.

int LensDbCropFactor(const char *, const char *, double *, char *note, size_t noteSize)
{
    std::snprintf(note, noteSize, "no lens database in this build: no crop factor for FocalLength");
    return 0;
}

void LensDbUseFolder(const char *) {}

int LensDbDistortion(const char *, const char *, const char *, double, FixedLensRule, LensDistortion *, char *note,
                     size_t noteSize)
{
    std::snprintf(note, noteSize, "no lens database in this build: no lens correction");
    return 0;
}
