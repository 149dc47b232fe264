#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "common/numeric.h"
#include "illumination/illumination.h"
#include "refine/refine.h"

namespace {

const double kAlbedo[3] = {0.8, 0.8, 0.8};

// The forward model: a Lambertian disc under a sun of strength times colour
// sun[] at elevation e and a uniform sky[]: L_sh = rho sky, L_lit = rho (sun
// sin(e) / pi + sky).
void Radiances(const double sun[3], const double sky[3], const double albedo[3], double e, double lit[3],
               double shadowed[3])
{
    for (int c = 0; c < 3; c++) {
        shadowed[c] = albedo[c] * sky[c];
        lit[c] = albedo[c] * (sun[c] * std::sin(e) / kPi + sky[c]);
    }
}

TEST(Illumination, FormulaRecoversSunAndSkyFromRadiances)
{
    struct Case {
        double sun[3], sky[3], albedo[3], elevationDegrees;
    } cases[] = {
        {{6.66, 5.73, 4.40}, {0.11, 0.12, 0.17}, {0.8, 0.8, 0.8}, 20.0},   // warm low sun, blue sky
        {{1.0, 1.0, 0.98}, {0.30, 0.31, 0.33}, {0.9, 0.85, 0.8}, 40.0},    // overcast-like, tinted card
        {{3.0, 2.9, 2.7}, {0.05, 0.07, 0.12}, {0.5, 0.5, 0.5}, 70.0},      // high sun, grey card
    };
    for (const Case &k : cases) {
        const double e = RadiansFromDegrees(k.elevationDegrees);
        double lit[3], shadowed[3], sky[3], sun[3], ratio[3];
        Radiances(k.sun, k.sky, k.albedo, e, lit, shadowed);
        MarkerResponse lambert;
        LambertResponse(k.albedo, &lambert);
        ASSERT_EQ(LightFromRadiances(lit, shadowed, lambert, e, sky, sun, ratio), 1);
        for (int c = 0; c < 3; c++) {
            EXPECT_NEAR(sky[c], k.sky[c], 1e-12);
            EXPECT_NEAR(sun[c], k.sun[c], 1e-12);
            // the ratio a shadow catcher must give: pi C / (S c sin e + pi C)
            EXPECT_NEAR(ratio[c], kPi * k.sky[c] / (k.sun[c] * std::sin(e) + kPi * k.sky[c]), 1e-12);
        }
    }
    // A channel where the shade is not darker than the sun gives no light.
    const double lit[3] = {0.5, 0.5, 0.5}, shadowed[3] = {0.1, 0.5, 0.1};
    double sky[3], sun[3], ratio[3];
    MarkerResponse lambert;
    LambertResponse(kAlbedo, &lambert);
    EXPECT_EQ(LightFromRadiances(lit, shadowed, lambert, 0.5, sky, sun, ratio), 0);
    EXPECT_EQ(LightFromRadiances(lit, lit, lambert, 0.0, sky, sun, ratio), 0);
}

TEST(Illumination, PenumbraAndClippingRules)
{
    // The sun's 0.53 degree disc: 0.00463 units per unit of light path each
    // way, the path along / cos(e) long.
    EXPECT_NEAR(PenumbraHalfWidth(1.0, 0.0), 0.004625, 1e-6);
    EXPECT_NEAR(PenumbraHalfWidth(2.0, 0.0), 2.0 * PenumbraHalfWidth(1.0, 0.0), 1e-12);
    EXPECT_NEAR(PenumbraHalfWidth(1.0, RadiansFromDegrees(60.0)), 2.0 * PenumbraHalfWidth(1.0, 0.0), 1e-12);
    EXPECT_EQ(DiscClipped(0, 0), 0);
    EXPECT_EQ(DiscClipped(4, 100), 0);   // JPEG ringing now and then
    EXPECT_EQ(DiscClipped(5, 100), 1);
    EXPECT_EQ(DiscClipped(100, 100), 1);
}

TEST(Illumination, MarkerSurfaceAgainstLambert)
{
    // A matte plastic: under a uniform sky a little brighter than Lambert's rho
    // (its gloss), and toward a low sun behind the camera brighter still
    // (Burley's retro-reflection), while a sun overhead seen from above is
    // close to Lambert's rho / pi.
    const double up[3] = {0.0, 0.0, 1.0};
    struct Case {
        double viewDegrees, sunDegrees, sunBearing;  // elevations; the sun's bearing from the camera's
        double skyLow, skyHigh, sunLow, sunHigh;     // response over Lambert's
    } cases[] = {
        {30.0, 20.0, 0.0, 1.02, 1.12, 1.10, 1.25},    // low sun behind the camera
        {60.0, 85.0, 0.0, 1.0, 1.08, 0.9, 1.1},       // sun overhead
        {30.0, 20.0, 180.0, 1.02, 1.12, 1.2, 1.8},    // low sun ahead: the gloss toward the camera
    };
    for (const Case &k : cases) {
        const double v = RadiansFromDegrees(k.viewDegrees), e = RadiansFromDegrees(k.sunDegrees);
        const double b = RadiansFromDegrees(k.sunBearing);
        const double toCamera[3] = {0.0, -std::cos(v), std::sin(v)};
        const double toSun[3] = {std::cos(e) * std::sin(b), -std::cos(e) * std::cos(b), std::sin(e)};
        MarkerResponse surface, lambert;
        MarkerSurfaceResponse(kAlbedo, toSun, toCamera, up, &surface);
        LambertResponse(kAlbedo, &lambert);
        EXPECT_GT(surface.sky[0] / lambert.sky[0], k.skyLow) << k.viewDegrees;
        EXPECT_LT(surface.sky[0] / lambert.sky[0], k.skyHigh) << k.viewDegrees;
        EXPECT_GT(surface.sun[0] / lambert.sun[0], k.sunLow) << k.sunBearing;
        EXPECT_LT(surface.sun[0] / lambert.sun[0], k.sunHigh) << k.sunBearing;
    }
}

// A synthetic photograph of the disc seen from 45 degrees above, a stick at
// its centre and its shadow, each area flat in linear light, and the refined
// estimate that the refinement would give for it.
struct Scene {
    double stickRadius;    // scene units
    double elevation;      // degrees, the sun's
    double lit[3];         // linear light, may exceed 1 (overexposed)
    double shadowed[3];
};

const uint32_t kWidth = 1600, kHeight = 1200;
const double kFocal = 1400.0;       // source pixels
const double kDistance = 12.0;      // scene units from the camera to the disc's centre
const double kStickHeight = 1.2;    // scene units
const double kYrot = 100.0;         // degrees, toward the sun from the backward axis

uint32_t Code(double linear)
{
    const double v = std::min(1.0, std::max(0.0, linear));
    const double s = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
    return static_cast<uint32_t>(std::lround(255.0 * s));
}

uint32_t Colour(const double rgb[3])
{
    return 0xFF000000u | Code(rgb[0]) << 16 | Code(rgb[1]) << 8 | Code(rgb[2]);
}

void MakeScene(const Scene &s, std::vector<uint32_t> *pixels, Photo *photo, RefinedEstimate *r)
{
    *r = RefinedEstimate{};
    r->status = kRefineDone;
    r->lens.focal = kFocal;
    const double p = RadiansFromDegrees(45.0);
    const double up[3] = {0.0, -std::cos(p), -std::sin(p)};
    for (int i = 0; i < 3; i++) {
        r->pose.up[i] = up[i];
        r->pose.centre[i] = i == 2 ? kDistance : 0.0;
    }
    GroundFrame g;
    MakeGroundFrame(r->pose, &g);
    const double phi = RadiansFromDegrees(kYrot), e = RadiansFromDegrees(s.elevation);
    double along[3], across[3];
    for (int i = 0; i < 3; i++) {
        along[i] = std::cos(phi) * g.forward[i] - std::sin(phi) * g.right[i];
        across[i] = std::sin(phi) * g.forward[i] + std::cos(phi) * g.right[i];
    }
    const double tip = (kStickHeight - kDiscThickness) / std::tan(e);
    RefinedLight &l = r->light;
    l.bearingFound = l.elevationFound = 1;
    l.xrot = -s.elevation;
    l.yrot = kYrot;
    l.stickHeight = kStickHeight;
    l.stickRadius = s.stickRadius;
    l.tipDistance = tip;
    double top[3];
    for (int i = 0; i < 3; i++)
        top[i] = r->pose.centre[i] + (kStickHeight - kDiscThickness) * up[i];
    l.stickTop[0] = kFocal * top[0] / top[2] + kWidth / 2.0;
    l.stickTop[1] = kFocal * top[1] / top[2] + kHeight / 2.0;

    const double ground[3] = {0.03, 0.03, 0.03};
    pixels->assign(static_cast<size_t>(kWidth) * kHeight, 0);
    for (uint32_t y = 0; y < kHeight; y++)
        for (uint32_t x = 0; x < kWidth; x++) {
            // The ray through the pixel's centre met with the disc's plane.
            const double ray[3] = {(x + 0.5 - kWidth / 2.0) / kFocal, (y + 0.5 - kHeight / 2.0) / kFocal, 1.0};
            const double t = kDistance * up[2] / (ray[0] * up[0] + ray[1] * up[1] + ray[2] * up[2]);
            double q[3];
            for (int i = 0; i < 3; i++)
                q[i] = t * ray[i] - r->pose.centre[i];
            const double a = q[0] * along[0] + q[1] * along[1] + q[2] * along[2];
            const double w = q[0] * across[0] + q[1] * across[1] + q[2] * across[2];
            const double *rgb = std::hypot(a, w) > kDiscRadius ? ground
                                : (a > 0.0 && a < tip && std::fabs(w) < s.stickRadius) ? s.shadowed
                                                                                        : s.lit;
            (*pixels)[static_cast<size_t>(y) * kWidth + x] = Colour(rgb);
        }
    *photo = Photo{};
    photo->width = kWidth;
    photo->height = kHeight;
    photo->argb = pixels->data();
}

TEST(Illumination, SyntheticDiscReadInItsShadowAndBesideIt)
{
    struct Case {
        Scene scene;
        IlluminationStatus status;
        int clipped;
    } cases[] = {
        {{0.06, 30.0, {0.66, 0.59, 0.52}, {0.088, 0.096, 0.136}}, kIlluminationDone, 0},
        {{0.06, 30.0, {1.30, 1.10, 0.90}, {0.088, 0.096, 0.136}}, kIlluminationDone, 1},  // overexposed
        {{0.012, 30.0, {0.66, 0.59, 0.52}, {0.088, 0.096, 0.136}}, kIlluminationNarrow, 0},
        {{0.06, 30.0, {0.66, 0.59, 0.52}, {0.62, 0.56, 0.50}}, kIlluminationFaint, 0},
        {{0.06, 30.0, {0.70, 0.45, 0.10}, {0.07, 0.05, 0.02}}, kIlluminationTinted, 0},
        // a sun so high that the shadow ends by the stick's foot
        {{0.06, 80.0, {0.66, 0.59, 0.52}, {0.088, 0.096, 0.136}}, kIlluminationOffDisc, 0},
    };
    for (const Case &k : cases) {
        std::vector<uint32_t> pixels;
        Photo photo;
        RefinedEstimate r;
        MakeScene(k.scene, &pixels, &photo, &r);
        Illumination out;
        EXPECT_EQ(MeasureIllumination(&photo, r, kAlbedo, &out), k.status == kIlluminationDone ? 1 : 0);
        EXPECT_EQ(out.status, k.status) << out.note;
        EXPECT_EQ(out.status == kIlluminationDone, out.note[0] == '\0' || out.clipped) << out.note;
        if (k.status != kIlluminationDone)
            continue;
        EXPECT_EQ(out.clipped, k.clipped);
        // The stick hides a little sky from the shade, which the reading gives
        // back: the flat synthetic shade then reads up to 2 % high.
        for (int c = 0; c < 3; c++) {
            const double lit = std::min(1.0, k.scene.lit[c]);
            EXPECT_NEAR(out.shadowRatio[c], k.scene.shadowed[c] / lit, 0.02 * k.scene.shadowed[c] / lit) << c;
            EXPECT_NEAR(out.lit[c], lit, 0.01 * lit) << c;
            EXPECT_NEAR(out.shadowed[c], k.scene.shadowed[c], 0.02 * k.scene.shadowed[c]) << c;
            EXPECT_GT(out.skyColorSigma[c], 0.0);
        }
        EXPECT_DOUBLE_EQ(std::max(out.sunColor[0], std::max(out.sunColor[1], out.sunColor[2])), 1.0);
        EXPECT_GE(out.distances, 8);
    }
}

// The colour's deviations follow the channels, whichever channel is the
// strongest: a scene with red and blue swapped reads its deviations swapped.
TEST(Illumination, ColourDeviationsFollowTheChannelsNotTheirOrder)
{
    const Scene warm = {0.06, 30.0, {0.66, 0.59, 0.52}, {0.088, 0.096, 0.136}};
    const Scene cool = {0.06, 30.0, {0.52, 0.59, 0.66}, {0.136, 0.096, 0.088}};
    Illumination read[2];
    const Scene *scenes[2] = {&warm, &cool};
    for (int k = 0; k < 2; k++) {
        std::vector<uint32_t> pixels;
        Photo photo;
        RefinedEstimate r;
        MakeScene(*scenes[k], &pixels, &photo, &r);
        r.light.xrotSigma = 0.5;
        ASSERT_EQ(MeasureIllumination(&photo, r, kAlbedo, &read[k]), 1) << read[k].note;
    }
    for (int c = 0; c < 3; c++) {
        EXPECT_NEAR(read[1].sunColor[c], read[0].sunColor[2 - c], 1e-12) << c;
        EXPECT_NEAR(read[1].sunColorSigma[c], read[0].sunColorSigma[2 - c], 1e-12) << c;
        EXPECT_EQ(read[0].sunColorSigma[c] == 0.0, c == 0) << c;
    }
}

}  // namespace
