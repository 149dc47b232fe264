#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "lensdb/lensdb.h"

// Crop factors of cameras as their EXIF names them, and what an unknown
// camera or a missing or broken database gives: no crop factor and a note,
// the process going on, and the real database back afterwards.
TEST(LensDb, CropFactorsAndWhatGoesWrong)
{
    struct Case {
        const char *folder;  // null: lensfun's own
        const char *make, *model;
        int found;
        double crop;
        const char *noteHas;
    } cases[] = {
        {nullptr, "Canon", "Canon EOS 60D", 1, 1.62, "crop factor 1.620"},
        {nullptr, "NIKON CORPORATION", "NIKON D750", 1, 1.0, "lens database"},
        {nullptr, "Quillmarsh", "Rig 9000", 0, 0, "not in the lens database"},
        {nullptr, "", "Canon EOS 60D", 0, 0, "names no camera"},
        {"/nonexistent/lensfun", "Canon", "Canon EOS 60D", 0, 0, "missing or unreadable"},
        {QM_LENSDB_BROKEN_DIR, "Canon", "Canon EOS 60D", 0, 0, "missing or unreadable"},
        {nullptr, "Canon", "Canon EOS 60D", 1, 1.62, "crop factor"},
    };
    for (const Case &c : cases) {
        LensDbUseFolder(c.folder);
        double crop = 0.0;
        char note[128] = "";
        EXPECT_EQ(LensDbCropFactor(c.make, c.model, &crop, note, sizeof note), c.found) << c.model;
        EXPECT_NEAR(crop, c.crop, 1e-6) << c.model;
        EXPECT_NE(std::string(note).find(c.noteHas), std::string::npos) << note;
    }
}
