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

void LensDbUseFolder(const char *folder)
{
    if (gLensDb.db != nullptr)
        lf_db_destroy(gLensDb.db);
    gLensDb.db = nullptr;
    gLensDb.tried = 0;
    gLensDb.folder = folder != nullptr ? folder : "";
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
