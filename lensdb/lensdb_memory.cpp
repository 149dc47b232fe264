#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include <lensfun/lensfun.h>

#include "lensdb/lensdb.h"

// The native build reads lensfun's database: parsing its XML files takes
// tens of milliseconds, so it happens once per process, on the first lookup
// (a worker process loads it after the fork, only when a photo needs it).

struct LensDbState {
    int tried;           // 1 once a load was attempted, loaded or not
    lfDatabase *db;      // null when the load failed
    std::string folder;  // empty: lensfun's own folders
};
static LensDbState gLensDb = {0, nullptr, std::string()};

// The last profile lookup and its answer: lensfun's lens search compares the
// name with every lens it holds (about 4 ms), and a batch's photos mostly
// come from one camera and lens.
struct LastProfile {
    int valid;
    std::string key;  // make, model, lens name, focal length and rule
    int found;
    LensDistortion distortion;
    std::string note;
};
static LastProfile gLastProfile = {0, std::string(), 0, LensDistortion{}, std::string()};

void LensDbUseFolder(const char *folder)
{
    if (gLensDb.db != nullptr)
        lf_db_destroy(gLensDb.db);
    gLensDb.db = nullptr;
    gLensDb.tried = 0;
    gLensDb.folder = folder != nullptr ? folder : "";
    gLastProfile.valid = 0;
}

// 1 when the database holds at least one camera: lensfun reports a folder
// without XML files, or with broken ones, as loaded.
static int HoldsCameras(const lfDatabase *db)
{
    const lfCamera *const *cameras = lf_db_get_cameras(db);
    return cameras != nullptr && cameras[0] != nullptr;
}

static void LoadOnce()
{
    if (gLensDb.tried)
        return;
    gLensDb.tried = 1;
    lfDatabase *db = lf_db_new();
    if (db == nullptr)
        return;
    const int loaded = gLensDb.folder.empty() ? lf_db_load(db) == LF_NO_ERROR
                                               : lf_db_load_directory(db, gLensDb.folder.c_str()) != 0;
    if (!loaded || !HoldsCameras(db)) {
        lf_db_destroy(db);
        return;
    }
    gLensDb.db = db;
}

int LensDbCropFactor(const char *make, const char *model, double *crop, char *note, size_t noteSize)
{
    if (make == nullptr || model == nullptr || make[0] == '\0' || model[0] == '\0') {
        std::snprintf(note, noteSize, "EXIF names no camera: no crop factor for FocalLength");
        return 0;
    }
    LoadOnce();
    if (gLensDb.db == nullptr) {
        std::snprintf(note, noteSize, "lens database missing or unreadable: no crop factor for FocalLength");
        return 0;
    }
    const lfCamera **cameras = lf_db_find_cameras(gLensDb.db, make, model);
    // lensfun orders the matches best first.
    const int found = cameras != nullptr && cameras[0] != nullptr && cameras[0]->CropFactor > 0.0f;
    if (found) {
        *crop = static_cast<double>(cameras[0]->CropFactor);
        // The first of a multi-language string is the default, untranslated name.
        const char *name = cameras[0]->Model;
        std::snprintf(note, noteSize, "crop factor %.3f of the %s from the lens database", *crop,
                      name != nullptr ? name : model);
    } else {
        std::snprintf(note, noteSize, "camera %s %s not in the lens database: no crop factor for FocalLength", make,
                      model);
    }
    lf_free(cameras);
    return found;
}

// Tolerance on a lens' focal range: lensfun states ranges to 0.1 mm and
// cameras round FocalLength.
const double kFocalRangeSlack = 0.01;  // relative
// lensfun's default calibration frame when a lens states none: 3:2.
const double kDefaultCalibrationAspect = 1.5;

static void CopyName(const char *from, char *to, size_t size)
{
    std::snprintf(to, size, "%s", from != nullptr ? from : "");
}

static int ListHolds(const char *const *list, const char *name)
{
    for (int i = 0; list != nullptr && list[i] != nullptr; i++)
        if (std::strcmp(list[i], name) == 0)
            return 1;
    return 0;
}

// 1 when the lens sits on the camera's mount, or on one the mount takes
// (an EF lens on an EF-S body).
static int FitsMount(const lfDatabase *db, const lfCamera *camera, const lfLens *lens)
{
    if (camera->Mount == nullptr || lens->Mounts == nullptr)
        return 0;
    if (ListHolds(lens->Mounts, camera->Mount))
        return 1;
    const lfMount *mount = lf_db_find_mount(db, camera->Mount);
    for (int i = 0; mount != nullptr && lens->Mounts[i] != nullptr; i++)
        if (ListHolds(mount->Compat, lens->Mounts[i]))
            return 1;
    return 0;
}

// A compact's or a phone's mount is its own: no interchangeable mount of
// that name is listed.
static int FixedMount(const lfDatabase *db, const lfCamera *camera)
{
    return camera->Mount == nullptr || lf_db_find_mount(db, camera->Mount) == nullptr;
}

static int InFocalRange(const lfLens *lens, double focalMm)
{
    const double lo = lens->MinFocal, hi = lens->MaxFocal > 0.0f ? lens->MaxFocal : lens->MinFocal;
    if (!(lo > 0.0))
        return 1;
    return focalMm >= lo * (1.0 - kFocalRangeSlack) && focalMm <= hi * (1.0 + kFocalRangeSlack);
}

static int Refuse(char *note, size_t noteSize, const char *why)
{
    std::snprintf(note, noteSize, "%s: no lens correction", why);
    return 0;
}

// The camera's lens of the search's answer, best first: the first on a mount
// the camera takes; its focal range and calibration decide, never a weaker match.
static int ProfileOf(const lfDatabase *db, const lfCamera *camera, const lfLens *const *lenses, double focalMm,
                     LensDistortion *distortion, char *note, size_t noteSize)
{
    const lfLens *lens = nullptr;
    for (int i = 0; lenses != nullptr && lenses[i] != nullptr && lens == nullptr; i++)
        if (FitsMount(db, camera, lenses[i]))
            lens = lenses[i];
    if (lens == nullptr)
        return Refuse(note, noteSize, "no lens of that name on the camera's mount in the lens database");
    char why[160];
    if (!InFocalRange(lens, focalMm)) {
        std::snprintf(why, sizeof why, "%.60s does not reach %.1f mm", lens->Model, focalMm);
        return Refuse(note, noteSize, why);
    }
    lfLensCalibDistortion calibration;
    if (!lf_lens_interpolate_distortion(lens, static_cast<float>(focalMm), &calibration) ||
        calibration.Model == LF_DIST_MODEL_NONE || calibration.Model > LF_DIST_MODEL_PTLENS) {
        std::snprintf(why, sizeof why, "%.60s has no distortion profile at %.1f mm", lens->Model, focalMm);
        return Refuse(note, noteSize, why);
    }
    LensDistortion d;
    std::memset(&d, 0, sizeof d);
    d.model = static_cast<DistortionModel>(calibration.Model);
    for (int i = 0; i < 3; i++)
        d.terms[i] = i < DistortionTermCount(d.model) ? static_cast<double>(calibration.Terms[i]) : 0.0;
    d.focalMm = focalMm;
    d.crop = camera->CropFactor;
    d.calibrationCrop = lens->CropFactor > 0.0f ? lens->CropFactor : camera->CropFactor;
    d.calibrationAspect = lens->AspectRatio >= 1.0f ? lens->AspectRatio : kDefaultCalibrationAspect;
    CopyName(lens->Model, d.lens, sizeof d.lens);
    CopyName(camera->Model, d.camera, sizeof d.camera);
    *distortion = d;
    std::snprintf(note, noteSize, "lens profile %.60s on the %.50s at %.1f mm (%s)", d.lens, d.camera, focalMm,
                  DistortionModelName(d.model));
    return 1;
}

static int LookUpDistortion(const char *make, const char *model, const char *lensName, double focalMm,
                            FixedLensRule fixed, LensDistortion *distortion, char *note, size_t noteSize);

int LensDbDistortion(const char *make, const char *model, const char *lensName, double focalMm, FixedLensRule fixed,
                     LensDistortion *distortion, char *note, size_t noteSize)
{
    char focal[32];
    std::snprintf(focal, sizeof focal, "%.17g", focalMm);
    // Names hold no zero byte: the zero separates them.
    std::string key = std::string(make != nullptr ? make : "") + '\0' + (model != nullptr ? model : "") + '\0' +
                      (lensName != nullptr ? lensName : "") + '\0' + focal + '\0' + std::to_string(fixed);
    if (!gLastProfile.valid || gLastProfile.key != key) {
        LensDistortion found;
        std::memset(&found, 0, sizeof found);
        char said[256];
        gLastProfile.found = LookUpDistortion(make, model, lensName, focalMm, fixed, &found, said, sizeof said);
        gLastProfile.distortion = found;
        gLastProfile.note = said;
        gLastProfile.key = key;
        gLastProfile.valid = 1;
    }
    if (gLastProfile.found)
        *distortion = gLastProfile.distortion;
    std::snprintf(note, noteSize, "%s", gLastProfile.note.c_str());
    return gLastProfile.found;
}

static int LookUpDistortion(const char *make, const char *model, const char *lensName, double focalMm,
                            FixedLensRule fixed, LensDistortion *distortion, char *note, size_t noteSize)
{
    if (make == nullptr || model == nullptr || make[0] == '\0' || model[0] == '\0')
        return Refuse(note, noteSize, "EXIF names no camera");
    if (!(focalMm > 0.0) || !std::isfinite(focalMm))
        return Refuse(note, noteSize, "no EXIF focal length");
    LoadOnce();
    if (gLensDb.db == nullptr)
        return Refuse(note, noteSize, "lens database missing or unreadable");
    const lfCamera **cameras = lf_db_find_cameras(gLensDb.db, make, model);
    if (cameras == nullptr || cameras[0] == nullptr || !(cameras[0]->CropFactor > 0.0f)) {
        lf_free(cameras);
        return Refuse(note, noteSize, "camera not in the lens database");
    }
    const lfCamera *camera = cameras[0];
    const int fixedMount = FixedMount(gLensDb.db, camera);
    const int named = lensName != nullptr && lensName[0] != '\0';
    int found = 0;
    if (fixedMount && fixed == kFixedLensSkip) {
        Refuse(note, noteSize, "a fixed-lens camera, which corrects its own lens");
    } else if (!fixedMount && !named) {
        Refuse(note, noteSize, "EXIF names no lens");
    } else {
        // A fixed lens needs no name: its mount holds that lens alone.
        const lfLens **lenses = lf_db_find_lenses_hd(gLensDb.db, camera, nullptr, named ? lensName : "", 0);
        found = ProfileOf(gLensDb.db, camera, lenses, focalMm, distortion, note, noteSize);
        lf_free(lenses);
    }
    lf_free(cameras);
    return found;
}
