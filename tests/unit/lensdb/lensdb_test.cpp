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

// Profiles by camera and EXIF lens name: lensfun's fuzzy search finds the
// lens in the camera makers' own spelling, but only on the camera's mount,
// within its focal range, and a fixed lens only when asked for.
TEST(LensDb, DistortionProfilesAndRefusals)
{
    struct Case {
        const char *folder;  // null: lensfun's own
        const char *make, *model, *lens;
        double focalMm;
        FixedLensRule fixed;
        DistortionModel expect;  // kDistortionNone: refused
        const char *noteHas;
    } cases[] = {
        {nullptr, "Canon", "Canon EOS 650D", "EF-S10-22mm f/3.5-4.5 USM", 10.0, kFixedLensSkip, kDistortionPtLens,
         "Canon EF-S 10-22mm f/3.5-4.5 USM on the Canon EOS 650D"},
        {nullptr, "SONY", "ILCE-6000", "E 10-18mm F4 OSS", 10.0, kFixedLensSkip, kDistortionPtLens, "E 10-18mm"},
        {nullptr, "OLYMPUS IMAGING CORP.", "E-M10", "OLYMPUS M.9-18mm F4.0-5.6", 9.0, kFixedLensSkip,
         kDistortionPtLens, "9-18mm"},
        {nullptr, "Canon", "Canon EOS 650D", "Nikon AF-S DX Nikkor 10-24mm f/3.5-4.5G ED", 10.0, kFixedLensSkip,
         kDistortionNone, "camera's mount"},
        {nullptr, "Canon", "Canon EOS 650D", "EF-S10-22mm f/3.5-4.5 USM", 50.0, kFixedLensSkip, kDistortionNone,
         "does not reach 50.0 mm"},
        {nullptr, "Canon", "Canon EOS 650D", "", 10.0, kFixedLensSkip, kDistortionNone, "names no lens"},
        {nullptr, "Canon", "Canon PowerShot G12", "", 6.1, kFixedLensSkip, kDistortionNone, "fixed-lens"},
        {nullptr, "Canon", "Canon PowerShot G12", "", 6.1, kFixedLensCorrect, kDistortionPoly5, "G12"},
        {nullptr, "Quillmarsh", "Rig 9000", "EF-S10-22mm", 10.0, kFixedLensSkip, kDistortionNone, "not in the lens"},
        {nullptr, "Canon", "Canon EOS 650D", "EF-S10-22mm", -1.0, kFixedLensSkip, kDistortionNone, "focal length"},
        {QM_LENSDB_BROKEN_DIR, "Canon", "Canon EOS 650D", "EF-S10-22mm f/3.5-4.5 USM", 10.0, kFixedLensSkip,
         kDistortionNone, "missing or unreadable"},
        {nullptr, "Canon", "Canon EOS 650D", "EF-S10-22mm f/3.5-4.5 USM", 10.0, kFixedLensSkip, kDistortionPtLens,
         "ptlens"},
    };
    for (const Case &c : cases) {
        LensDbUseFolder(c.folder);
        LensDistortion d = {};
        char note[192] = "";
        const int found = LensDbDistortion(c.make, c.model, c.lens, c.focalMm, c.fixed, &d, note, sizeof note);
        EXPECT_EQ(found, c.expect != kDistortionNone) << c.model << " " << c.lens << ": " << note;
        EXPECT_EQ(d.model, c.expect) << c.lens;
        EXPECT_NE(std::string(note).find(c.noteHas), std::string::npos) << note;
        if (found) {
            EXPECT_EQ(d.focalMm, c.focalMm);
            EXPECT_GT(d.crop, 1.0);
            EXPECT_GT(d.calibrationCrop, 1.0);
        }
    }
    LensDbUseFolder(nullptr);
}
