#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <lensfun/lensfun.h>

#include "distortion/distortion.h"
#include "lensdb/lensdb.h"

namespace {

// lensfun's own modifier: where an ideal point lies on the photo (pixel
// centres whole there, at i + 0.5 here).
void LensfunDistort(const lfLens *lens, float crop, float focal, int w, int h, double x, double y, double *xd,
                    double *yd)
{
    lfModifier *m = lf_modifier_new(lens, crop, w, h);
    lf_modifier_initialize(m, lens, LF_PF_U8, focal, 8.0f, 1000.0f, 1.0f, LF_RECTILINEAR, LF_MODIFY_DISTORTION, 0);
    float res[2];
    lf_modifier_apply_geometry_distortion(m, static_cast<float>(x - 0.5), static_cast<float>(y - 0.5), 1, 1, res);
    lf_modifier_destroy(m);
    *xd = res[0] + 0.5;
    *yd = res[1] + 0.5;
}

// The point map against lensfun's modifier over the photo, for lenses of
// each model, photos of other aspects than the calibration's and cameras of
// other crop factors than the calibration's; and undistorting undoes it.
TEST(Distortion, MatchesLensfunsModifierAndInvertsIt)
{
    struct Case {
        const char *make, *model, *lens;
        double focalMm;
        int width, height;
        double crop;  // 0: the camera's own
    } cases[] = {
        {"Canon", "Canon EOS 650D", "EF-S10-22mm f/3.5-4.5 USM", 10.0, 1500, 1000, 0.0},
        {"Canon", "Canon EOS 650D", "EF-S10-22mm f/3.5-4.5 USM", 12.0, 1600, 1200, 0.0},
        {"Canon", "Canon EOS 650D", "EF-S10-22mm f/3.5-4.5 USM", 10.0, 1000, 1500, 2.0},
        {"OLYMPUS IMAGING CORP.", "E-M10", "OLYMPUS M.9-18mm F4.0-5.6", 9.0, 1600, 1200, 0.0},
        {"Canon", "Canon PowerShot G12", "", 6.1, 1200, 900, 0.0},
    };
    lfDatabase *db = lf_db_new();
    ASSERT_EQ(lf_db_load(db), LF_NO_ERROR);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lens);
        LensDbUseFolder(nullptr);
        LensDistortion d = {};
        char note[192];
        ASSERT_TRUE(LensDbDistortion(c.make, c.model, c.lens, c.focalMm, kFixedLensCorrect, &d, note, sizeof note))
            << note;
        if (c.crop > 0.0)
            d.crop = c.crop;
        DistortionFrame frame;
        ASSERT_TRUE(MakeDistortionFrame(&d, c.width, c.height, &frame));
        const lfCamera **cameras = lf_db_find_cameras(db, c.make, c.model);
        const lfLens **lenses = lf_db_find_lenses_hd(db, cameras[0], nullptr, c.lens, 0);
        double worst = 0.0, worstRoundTrip = 0.0;
        for (int i = 0; i <= 8; i++) {
            for (int j = 0; j <= 8; j++) {
                const double x = c.width * i / 8.0, y = c.height * j / 8.0;
                double xd, yd, xl, yl, xu, yu;
                DistortPoint(frame, x, y, &xd, &yd);
                LensfunDistort(lenses[0], static_cast<float>(d.crop), static_cast<float>(c.focalMm), c.width,
                               c.height, x, y, &xl, &yl);
                worst = std::fmax(worst, std::hypot(xd - xl, yd - yl));
                ASSERT_TRUE(UndistortPoint(frame, xd, yd, &xu, &yu));
                worstRoundTrip = std::fmax(worstRoundTrip, std::hypot(xu - x, yu - y));
            }
        }
        // lensfun computes in single precision.
        EXPECT_LT(worst, 0.01);
        EXPECT_LT(worstRoundTrip, 1e-9);
        lf_free(lenses);
        lf_free(cameras);
    }
    lf_db_destroy(db);
}

// A profile that folds back inside the photo (the radius shrinking as the
// ideal one grows), or with terms or crops that are no numbers, maps no photo.
TEST(Distortion, RefusesProfilesThatDoNotMapThePhotoOneToOne)
{
    LensDistortion good = {};
    good.model = kDistortionPoly3;
    good.terms[0] = -0.05;
    good.crop = good.calibrationCrop = 1.5;
    good.calibrationAspect = 1.5;
    DistortionFrame frame;
    ASSERT_TRUE(MakeDistortionFrame(&good, 1500, 1000, &frame));
    LensDistortion bad[5] = {good, good, good, good, good};
    bad[0].terms[0] = -0.6;  // r (1.6 - 0.6 r^2) turns back at r = 0.94
    bad[1].terms[0] = std::nan("");
    bad[2].crop = 0.0;
    bad[3].calibrationAspect = -1.0;
    bad[4].model = static_cast<DistortionModel>(7);
    for (const LensDistortion &d : bad)
        EXPECT_FALSE(MakeDistortionFrame(&d, 1500, 1000, &frame));
    EXPECT_FALSE(MakeDistortionFrame(&good, 1, 1000, &frame));
}

}  // namespace
