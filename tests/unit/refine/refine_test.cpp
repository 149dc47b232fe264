#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "common/numeric.h"
#include "decode/decode.h"
#include "image/image.h"
#include "refine/refine.h"
#include "shell/analysis.h"
#include "tests/support/test_support.h"

namespace {

// A camera in the classic frame: x right, y up, z backward, the disc's centre
// on the ground at the origin.
struct Camera {
    double pitch, roll;             // degrees
    double dollyX, dollyY, dollyZ;  // scene units
};

struct Vec {
    double x, y, z;
};

double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

// The camera's axes in the world: right, picture up and forward.
void Axes(const Camera &c, Vec *right, Vec *up, Vec *forward)
{
    const double p = RadiansFromDegrees(c.pitch), r = RadiansFromDegrees(c.roll);
    *forward = {0.0, std::sin(p), -std::cos(p)};
    const Vec up0 = {0.0, std::cos(p), std::sin(p)};
    *right = {std::cos(r), std::sin(r) * up0.y, std::sin(r) * up0.z};
    *up = {-std::sin(r), std::cos(r) * up0.y, std::cos(r) * up0.z};
}

// World point to source pixels of a width x height picture with focal length f.
void ProjectPoint(const Camera &c, double f, double width, double height, Vec p, double *x, double *y)
{
    Vec right, up, forward;
    Axes(c, &right, &up, &forward);
    const Vec d = {p.x - c.dollyX, p.y - c.dollyY, p.z - c.dollyZ};
    const double depth = Dot(d, forward);
    *x = width / 2.0 + f * Dot(d, right) / depth;
    *y = height / 2.0 - f * Dot(d, up) / depth;
}

// The image conic of the disc's top rim, through exact projected points.
Conic RimConic(const Camera &c, double f, double width, double height)
{
    std::vector<double> xs, ys;
    for (int k = 0; k < 72; k++) {
        const double t = 2.0 * kPi * k / 72;
        double x, y;
        ProjectPoint(c, f, width, height, {kDiscRadius * std::cos(t), kDiscThickness, kDiscRadius * std::sin(t)}, &x, &y);
        xs.push_back(x);
        ys.push_back(y);
    }
    Conic q;
    EXPECT_EQ(FitConicDirect(xs.data(), ys.data(), 72, &q), 1);
    return q;
}

const Camera kCameras[] = {
    {-30.0, 0.0, 0.0, 8.0, 13.856406},   // the disc at the picture's centre
    {-45.0, 5.0, 0.7, 10.0, 11.0},       // rolled, the disc off centre
    {-62.0, -12.0, -1.5, 14.0, 6.5},     // steep and rolled the other way
    {-20.0, 3.0, 2.0, 4.0, 16.0},        // shallow, far off centre
};

// Both circular sections of the cone are poses; one of them is the camera's
// own, to the digits the conic carries, the other a different tilt.
TEST(PoseCandidates, SyntheticConicsGiveTheCameraAndItsTwin)
{
    const double width = 1600.0, height = 1200.0, focal = 1500.0;
    for (const Camera &c : kCameras) {
        DiscPose candidates[2];
        ASSERT_EQ(PoseCandidates(RimConic(c, focal, width, height), focal, width / 2.0, height / 2.0, candidates), 2);
        int matched = 0;
        for (const DiscPose &pose : candidates) {
            RefinedCamera n;
            CameraNumbers(pose, &n);
            if (std::fabs(n.pitch - c.pitch) > 1e-6 || std::fabs(n.roll - c.roll) > 1e-6)
                continue;
            matched++;
            EXPECT_NEAR(n.dollyX, c.dollyX, 1e-6);
            EXPECT_NEAR(n.dollyY, c.dollyY, 1e-6);
            EXPECT_NEAR(n.dollyZ, c.dollyZ, 1e-6);
            double x, y;
            ProjectPoint(c, focal, width, height, {0.0, kDiscThickness, 0.0}, &x, &y);
            EXPECT_NEAR(pose.centreImage[0], x, 1e-6);
            EXPECT_NEAR(pose.centreImage[1], y, 1e-6);
        }
        EXPECT_EQ(matched, 1) << c.pitch << " " << c.roll;
        const double alike = candidates[0].up[0] * candidates[1].up[0] + candidates[0].up[1] * candidates[1].up[1] +
                             candidates[0].up[2] * candidates[1].up[2];
        EXPECT_LT(alike, 0.999);
        // Both stand the camera above the disc: its centre lies below the camera.
        for (const DiscPose &pose : candidates)
            EXPECT_LT(pose.up[0] * pose.centre[0] + pose.up[1] * pose.centre[1] + pose.up[2] * pose.centre[2], 0.0);
    }
}

TEST(PoseCandidates, RefusesWhatIsNoEllipseInFront)
{
    DiscPose candidates[2];
    Conic hyperbola = {{1.0, 0.0, -1.0, 0.0, 0.0, -100.0}};
    EXPECT_EQ(PoseCandidates(hyperbola, 1000.0, 320.0, 240.0, candidates), 0);
    const Conic circle = ConicFromEllipse({320.0, 240.0, 100.0, 60.0, 0.0});
    EXPECT_EQ(PoseCandidates(circle, 0.0, 320.0, 240.0, candidates), 0);
    EXPECT_EQ(PoseCandidates(circle, std::nan(""), 320.0, 240.0, candidates), 0);
}

TEST(EllipseFromConic, RoundTripsTheNormalForm)
{
    const EllipseParams cases[] = {{320.0, 240.0, 100.0, 60.0, 0.3}, {10.5, -4.0, 7.0, 6.9, -1.2}, {900, 700, 400, 50, 1.5}};
    for (const EllipseParams &e : cases) {
        EllipseParams back;
        ASSERT_EQ(EllipseFromConic(ConicFromEllipse(e), &back), 1);
        EXPECT_NEAR(back.cx, e.cx, 1e-7);
        EXPECT_NEAR(back.cy, e.cy, 1e-7);
        EXPECT_NEAR(back.a, e.a, 1e-7);
        EXPECT_NEAR(back.b, e.b, 1e-7);
        EXPECT_NEAR(std::remainder(back.angle - e.angle, kPi), 0.0, 1e-7);
    }
}

// The ground frame every part builds its directions on: forward is the
// optical axis with its height dropped, and forward, up and right are an
// orthonormal, right-handed set (right = forward x up), so an unrolled camera's
// own x axis points right.
TEST(GroundFrame, IsOrthonormalWithForwardAlongTheView)
{
    for (const Camera &c : kCameras) {
        Vec right, up, forward;
        Axes(c, &right, &up, &forward);
        // The world's up (0, 1, 0) in camera coordinates: x right, y down, z forward.
        const DiscPose pose = {{Dot({0.0, 1.0, 0.0}, right), -Dot({0.0, 1.0, 0.0}, up), Dot({0.0, 1.0, 0.0}, forward)},
                               {0.0, 0.0, 1.0},
                               {0.0, 0.0}};
        GroundFrame g;
        MakeGroundFrame(pose, &g);
        const Vec u = {g.up[0], g.up[1], g.up[2]}, f = {g.forward[0], g.forward[1], g.forward[2]},
                  r = {g.right[0], g.right[1], g.right[2]};
        EXPECT_NEAR(Dot(f, f), 1.0, 1e-12);
        EXPECT_NEAR(Dot(r, r), 1.0, 1e-12);
        EXPECT_NEAR(Dot(f, u), 0.0, 1e-12);
        EXPECT_NEAR(Dot(r, u), 0.0, 1e-12);
        EXPECT_NEAR(Dot(r, f), 0.0, 1e-12);
        EXPECT_GT(f.z, 0.0) << c.pitch;
        EXPECT_NEAR(r.x, std::cos(RadiansFromDegrees(c.roll)), 1e-9) << c.roll;
    }
}

// Levels and widths are read by the upper middle value, never a mean of two.
TEST(Median, TakesTheUpperMiddleValue)
{
    const struct {
        std::vector<double> values;
        double median;
    } cases[] = {{{}, 0.0}, {{7.0}, 7.0}, {{3.0, 1.0}, 3.0}, {{5.0, -1.0, 2.0}, 2.0}, {{4.0, 1.0, 3.0, 2.0}, 3.0}};
    for (const auto &c : cases)
        EXPECT_EQ(Median(c.values), c.median) << c.values.size();
}

// The selection in place finds the sorted middle whatever the ties: noisy
// levels, levels on a few steps (JPEG plateaus), saturated windows of one value.
TEST(Median, InPlaceAgreesWithASortOnNoisyTiedAndFlatWindows)
{
    std::mt19937 random(7);
    for (int steps : {0, 3, 1}) {
        for (size_t count = 1; count <= 70; count++) {
            std::vector<double> values(count);
            for (double &v : values)
                v = steps == 0 ? std::uniform_real_distribution<double>(0.0, 255.0)(random)
                               : 200.0 + std::uniform_int_distribution<int>(0, steps - 1)(random);
            std::vector<double> sorted = values;
            std::sort(sorted.begin(), sorted.end());
            EXPECT_EQ(MedianInPlace(values.data(), count), sorted[count / 2]) << steps << " " << count;
        }
    }
}

// A dark band read lazily weighs the very greys the whole profile gives:
// narrow, wider than the middle half, reaching the profile's start, faint.
TEST(PlacedBandEdges, ReadsEveryGreyItWeighsAndNoMore)
{
    const uint32_t width = 48, height = 4;
    std::vector<uint32_t> pixels(width * height);
    Photo photo = {};
    photo.width = width;
    photo.height = height;
    photo.argb = pixels.data();
    const struct {
        uint32_t from, to, dark;
        int found;
    } bands[] = {{20, 26, 40, 1}, {8, 40, 40, 1}, {0, 26, 40, 0}, {20, 26, 190, 0}};
    for (const auto &b : bands) {
        for (uint32_t i = 0; i < width * height; i++) {
            const uint32_t g = i % width >= b.from && i % width < b.to ? b.dark : 200;
            pixels[i] = 0xFF000000u | g << 16 | g << 8 | g;
        }
        const int count = 81, quarter = count / 4;
        std::vector<PlacedSample> placed(count);
        std::vector<double> whole(count);
        for (int k = 0; k < count; k++) {
            placed[k] = {2.0 + 0.5 * k, 2.0, kUnreadGrey};
            ASSERT_EQ(SampleGrey(&photo, placed[k].x, placed[k].y, &whole[k]), 1);
        }
        const double beside = std::max(whole.front(), whole.back());
        double l0 = 0.0, r0 = 0.0, l1 = 0.0, r1 = 0.0;
        EXPECT_EQ(DarkBandEdges(whole, quarter, count - quarter, beside, 30.0, &l0, &r0), b.found) << b.from;
        EXPECT_EQ(PlacedBandEdges(&photo, &placed, quarter, count - quarter, beside, 30.0, &l1, &r1), b.found);
        EXPECT_EQ(l1, l0);
        EXPECT_EQ(r1, r0);
        const auto unread = std::count_if(placed.begin(), placed.end(), [](const PlacedSample &p) {
            return p.grey == kUnreadGrey;
        });
        EXPECT_GT(unread, b.to - b.from < 10 ? count / 3 : 0) << b.from;
    }
}

// A photograph of a bright ellipse on dark ground, each pixel the mean of 8 x 8
// samples mixed in linear light and stored in sRGB, as a renderer does.
struct Drawn {
    std::vector<uint32_t> pixels;
    Photo photo;
};

uint8_t Srgb(double linear)
{
    const double v = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
    return static_cast<uint8_t>(std::lround(255.0 * std::min(1.0, std::max(0.0, v))));
}

void Draw(Drawn *d, uint32_t width, uint32_t height, EllipseParams e, double disc, double ground)
{
    d->pixels.assign(static_cast<size_t>(width) * height, 0);
    const double c = std::cos(e.angle), s = std::sin(e.angle);
    for (uint32_t y = 0; y < height; y++)
        for (uint32_t x = 0; x < width; x++) {
            double sum = 0.0;
            for (int j = 0; j < 8; j++)
                for (int i = 0; i < 8; i++) {
                    const double px = x + (i + 0.5) / 8.0 - e.cx, py = y + (j + 0.5) / 8.0 - e.cy;
                    const double u = (px * c + py * s) / e.a, v = (-px * s + py * c) / e.b;
                    sum += u * u + v * v <= 1.0 ? disc : ground;
                }
            const uint32_t g = Srgb(sum / 64.0);
            d->pixels[static_cast<size_t>(y) * width + x] = 0xFF000000u | g << 16 | g << 8 | g;
        }
    std::memset(&d->photo, 0, sizeof d->photo);
    d->photo.width = width;
    d->photo.height = height;
    d->photo.argb = d->pixels.data();
}

// The rim fit's own calibration: over many draws of a dozen points with
// normal noise along the normals, the centre and semi-axes fall within one
// reported deviation about two times in three (t with 7 degrees of freedom:
// 65 %), and the outlier cut at three robust deviations keeps 99 % of such
// points. Few points make the covariance's n - 5 matter.
TEST(FitRimEllipse, CovarianceAndOutlierCutHoldOnNormalNoise)
{
    const EllipseParams truth = {100.0, 80.0, 60.0, 35.0, 0.4};
    const int n = 12, trials = 500;
    std::mt19937 random(20);
    std::normal_distribution<double> noise(0.0, 0.3);
    std::uniform_real_distribution<double> phase(0.0, 2.0 * kPi / n);
    int within = 0, tried = 0, kept = 0, fits = 0;
    for (int trial = 0; trial < trials; trial++) {
        double x[n], y[n];
        const double start = phase(random), c = std::cos(truth.angle), s = std::sin(truth.angle);
        for (int i = 0; i < n; i++) {
            const double t = start + 2.0 * kPi * i / n, ct = std::cos(t), st = std::sin(t);
            double nx = ct / truth.a * c - st / truth.b * s, ny = ct / truth.a * s + st / truth.b * c;
            const double nn = std::hypot(nx, ny), e = noise(random);
            x[i] = truth.cx + truth.a * ct * c - truth.b * st * s + e * nx / nn;
            y[i] = truth.cy + truth.a * ct * s + truth.b * st * c + e * ny / nn;
        }
        RimFit fit;
        if (!FitRimEllipse(x, y, n, &fit))
            continue;
        fits++;
        kept += fit.used;
        const double error[4] = {fit.ellipse.cx - truth.cx, fit.ellipse.cy - truth.cy, fit.ellipse.a - truth.a,
                                 fit.ellipse.b - truth.b};
        for (int k = 0; k < 4; k++, tried++)
            within += std::fabs(error[k]) <= std::sqrt(fit.covariance[k * 6]);
    }
    ASSERT_GE(fits, trials * 9 / 10);
    EXPECT_NEAR(static_cast<double>(within) / tried, 0.65, 0.06);
    EXPECT_GE(kept, 0.99 * fits * n);
}

TEST(FitRim, FindsTheDrawnEllipseFromAStartPixelsOff)
{
    const EllipseParams truth = {201.3, 148.7, 120.4, 71.9, 0.21};
    Drawn d;
    Draw(&d, 400, 300, truth, 0.8, 0.1);
    EllipseParams start = truth;
    start.cx += 2.0;
    start.cy -= 1.5;
    start.a -= 2.0;
    start.angle += 0.02;
    RimFit fit;
    ASSERT_EQ(FitRim(&d.photo, start, 6.0, &fit), kRefineDone);
    EXPECT_NEAR(fit.ellipse.cx, truth.cx, 0.01);
    EXPECT_NEAR(fit.ellipse.cy, truth.cy, 0.01);
    EXPECT_NEAR(fit.ellipse.a, truth.a, 0.01);
    EXPECT_NEAR(fit.ellipse.b, truth.b, 0.01);
    EXPECT_NEAR(fit.ellipse.angle, truth.angle, 1e-4);
    EXPECT_LT(fit.rms, 0.1);
    EXPECT_GT(fit.covariance[0], 0.0);
}

// What the refinement refuses, in its own words, without touching anything
// but its own record.
TEST(RefineEstimate, RefusalsSayWhy)
{
    const EllipseParams disc = {200.0, 150.0, 120.0, 70.0, 0.0};
    const struct {
        EllipseParams drawn;
        double discLevel;
        RefineStatus status;
        const char *words;
    } cases[] = {
        {disc, 0.1, kRefineNoContrast, "no rim contrast"},                          // disc as dark as the ground
        {{330.0, 150.0, 120.0, 70.0, 0.0}, 0.8, kRefineBorder, "cut by the picture's border"},
    };
    for (const auto &c : cases) {
        Drawn d;
        Draw(&d, 400, 300, c.drawn, c.discLevel, 0.1);
        RefinedEstimate r;
        // Work pixels at scale 1 sit half a pixel before source pixel-centre coordinates.
        EllipseParams work = c.drawn;
        work.cx -= 0.5;
        work.cy -= 0.5;
        EXPECT_EQ(RefineEstimate(&d.photo, work, 1.0, &r), 0);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(std::strstr(r.note, c.words), nullptr) << r.note;
        EXPECT_NE(std::strstr(r.note, "46.2 degree lens assumed"), nullptr) << r.note;
    }
    RefinedEstimate r;
    EXPECT_EQ(RefineEstimate(nullptr, disc, 1.0, &r), 0);
    Photo empty = {};
    EXPECT_EQ(RefineEstimate(&empty, disc, 1.0, &r), 0);
    EXPECT_EQ(r.status, kRefineNoFit);
    Drawn d;
    Draw(&d, 400, 300, disc, 0.8, 0.1);
    const EllipseParams nonsense[] = {{NAN, 150.0, 120.0, 70.0, 0.0}, {200.0, 150.0, 0.0, 70.0, 0.0},
                                      {200.0, 150.0, 1e300, 1e300, 0.0}};
    for (const EllipseParams &e : nonsense)
        EXPECT_EQ(RefineEstimate(&d.photo, e, 1.0, &r), 0);
}

struct LensCase {
    const char *what;
    PhotoExif exif;
    FocalSource source;
    int refused;
    double focal;  // source pixels for a 1600 x 1200 picture
};

TEST(ChooseLens, SourcesAndFallbacks)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double classic = 1600.0 * 375.0 / 320.0;
    const double by35 = 29.0 / 43.27 * 2000.0;
    const LensCase cases[] = {
        {"focal plane in inches", {1, 5.13, 1, 29.0, 1, 6586.71, 2, 0, 0}, kFocalExif, 0, 5.13 / 25.4 * 6586.71},
        {"unit absent means inches", {1, 5.13, 0, 0.0, 1, 6586.71, 0, 0, 0}, kFocalExif, 0, 5.13 / 25.4 * 6586.71},
        {"centimetres", {1, 5.13, 0, 0.0, 1, 2593.19, 3, 0, 0}, kFocalExif, 0, 5.13 / 10.0 * 2593.19},
        {"resized to half", {1, 5.13, 0, 0.0, 1, 6586.71, 2, 3200, 2400}, kFocalExif, 0, 5.13 / 25.4 * 6586.71 / 2.0},
        {"turned and resized", {1, 5.13, 0, 0.0, 1, 6586.71, 2, 2400, 3200}, kFocalExif, 0, 5.13 / 25.4 * 6586.71 / 2.0},
        {"35 mm only", {0, 0.0, 1, 29.0, 0, 0.0, 0, 0, 0}, kFocalExif35, 0, by35},
        {"no resolution", {1, 5.13, 1, 29.0, 0, 0.0, 0, 0, 0}, kFocalExif35, 0, by35},
        {"nothing", {0, 0.0, 0, 0.0, 0, 0.0, 0, 0, 0}, kFocalDefault, 0, classic},
        {"focal 0", {1, 0.0, 0, 0.0, 1, 6586.71, 2, 0, 0}, kFocalDefault, 1, classic},
        {"focal negative", {1, -5.0, 1, 29.0, 1, 6586.71, 2, 0, 0}, kFocalExif35, 1, by35},
        {"focal NaN", {1, nan, 1, nan, 1, 6586.71, 2, 0, 0}, kFocalDefault, 1, classic},
        {"resolution infinite", {1, 5.13, 0, 0.0, 1, inf, 2, 0, 0}, kFocalDefault, 1, classic},
        {"no absolute unit", {1, 5.13, 0, 0.0, 1, 6586.71, 1, 0, 0}, kFocalDefault, 1, classic},
        {"wider than 150 degrees", {0, 0.0, 1, 3.0, 0, 0.0, 0, 0, 0}, kFocalDefault, 1, classic},
        {"narrower than 10 degrees", {1, 900.0, 1, 29.0, 1, 6586.71, 2, 0, 0}, kFocalExif35, 1, by35},
    };
    for (const LensCase &c : cases) {
        Lens lens;
        ChooseLens(&c.exif, 1600, 1200, &lens);
        EXPECT_EQ(lens.source, c.source) << c.what;
        EXPECT_EQ(lens.refused, c.refused) << c.what;
        EXPECT_NEAR(lens.focal, c.focal, 1e-9 * c.focal) << c.what;
    }
}

// The user's lens overrides EXIF; the crop factor completes FocalLength alone
// and nothing else; an absurd product is passed over.
TEST(ChooseLens, GivenLensAndCropFactor)
{
    const double diagonal = 2000.0;  // pixels, of 1600 x 1200
    const double classic = 1600.0 * 375.0 / 320.0;
    const PhotoExif full = {1, 5.13, 1, 29.0, 1, 6586.71, 2, 0, 0, "", ""};
    const PhotoExif focalOnly = {1, 18.9, 0, 0.0, 0, 0.0, 2, 0, 0, "Canon", "Canon EOS 60D"};
    const PhotoExif focal35 = {1, 18.9, 1, 29.0, 0, 0.0, 2, 0, 0, "Canon", "Canon EOS 60D"};
    struct Case {
        const char *what;
        PhotoExif exif;
        GivenLens given;
        int32_t cropFound;
        double crop;
        FocalSource source;
        double focal;
    } cases[] = {
        {"fov 90 over full EXIF", full, {kGivenLensFov, 90.0, 0, 0}, 0, 0, kFocalUser, 800.0},
        {"focal and sensor", full, {kGivenLensFocalSensor, 0, 18.0, 36.0}, 0, 0, kFocalUser, 800.0},
        {"35 mm equivalent", focalOnly, {kGivenLensFocal35, 0, 43.27, 0}, 1, 1.62, kFocalUser, diagonal},
        {"crop factor", focalOnly, {}, 1, 1.62, kFocalLensDb, 18.9 * 1.62 / 43.27 * diagonal},
        {"no crop factor found", focalOnly, {}, 0, 0, kFocalDefault, classic},
        {"35 mm equivalent wins", focal35, {}, 1, 1.62, kFocalExif35, 29.0 / 43.27 * diagonal},
        {"absurd product", focalOnly, {}, 1, 1000.0, kFocalDefault, classic},
    };
    for (const Case &c : cases) {
        LensHints hints = {};
        hints.given = c.given;
        hints.cropFound = c.cropFound;
        hints.cropFactor = c.crop;
        Lens lens;
        ChooseLensWithHints(&c.exif, 1600, 1200, &hints, &lens);
        EXPECT_EQ(lens.source, c.source) << c.what;
        EXPECT_NEAR(lens.focal, c.focal, 1e-9 * c.focal) << c.what;
        EXPECT_EQ(lens.refused, c.crop == 1000.0) << c.what;
        // Stated lenses carry no deviation; the database's one between 0.1 % and 2 %.
        if (c.source == kFocalUser)
            EXPECT_EQ(lens.focalSigma, 0.0) << c.what;
        if (c.source == kFocalLensDb)
            EXPECT_TRUE(lens.focalSigma > 0.001 * lens.focal && lens.focalSigma < 0.02 * lens.focal) << c.what;
    }
    EXPECT_EQ(LensWantsCropFactor(&focalOnly), 1);
    EXPECT_EQ(LensWantsCropFactor(&focal35), 0);
    EXPECT_EQ(LensWantsCropFactor(&full), 0);
}

// Whatever the tags hold, the lens is finite and its field of view sensible.
TEST(ChooseLens, AnyTagsGiveASensibleLens)
{
    const double specials[] = {0.0, -0.0, 1e-310, -1.0, 1e308, std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), std::nan(""), 35.0, 5.0, 1e6};
    std::mt19937 random(7);
    for (int i = 0; i < 20000; i++) {
        PhotoExif exif;
        auto pick = [&]() { return random() % 2 ? specials[random() % 11] : std::ldexp(1.0 * random(), -int(random() % 40)); };
        exif.hasFocalLength = random() % 2;
        exif.focalLength = pick();
        exif.hasFocalLength35mm = random() % 2;
        exif.focalLength35mm = pick();
        exif.hasFocalPlaneXResolution = random() % 2;
        exif.focalPlaneXResolution = pick();
        exif.focalPlaneResolutionUnit = static_cast<int32_t>(random() % 8) - 1;
        exif.pixelXDimension = random() % 3 ? 0 : static_cast<uint32_t>(random());
        exif.pixelYDimension = random() % 3 ? 0 : static_cast<uint32_t>(random());
        const uint32_t width = 320 + random() % 1729, height = 320 + random() % 1729;
        Lens lens;
        ChooseLens(&exif, width, height, &lens);
        ASSERT_TRUE(std::isfinite(lens.focal) && lens.focal > 0.0);
        const double fov = LongSideFieldOfView(lens.focal, width, height);
        ASSERT_TRUE(fov >= 10.0 && fov <= 150.0) << fov;
    }
}

// The v photographs: one with the focal plane's resolution, one with the 35 mm
// equivalent alone; the field of view from full EXIF within 1 % of the render's.
TEST(ChooseLens, SamplesWithOtherLenses)
{
    const struct {
        const char *file;
        FocalSource source;
        double fov;  // degrees along the long side, the render's own
    } cases[] = {{"v01.jpg", kFocalExif, 62.008496}, {"v02.jpg", kFocalExif35, 37.978281}, {"s15.jpg", kFocalDefault, 46.212654}};
    for (const auto &c : cases) {
        Photo photo = {};
        ASSERT_EQ(DecodePhoto(SamplePath(c.file).c_str(), &photo), kLoadDone) << c.file;
        Lens lens;
        ChooseLens(&photo.exif, photo.width, photo.height, &lens);
        EXPECT_EQ(lens.source, c.source) << c.file;
        const double fov = LongSideFieldOfView(lens.focal, photo.width, photo.height);
        EXPECT_NEAR(fov, c.fov, (c.source == kFocalExif35 ? 0.01 : 0.001) * c.fov) << c.file;
        ReleasePhoto(&photo);
    }
}

// One photograph through the whole refinement against the render's truth
// (camera in the classic frame; sun bearing 90, elevation 25.9).
TEST(RefineEstimate, SampleAgreesWithItsRender)
{
    ResetProgramState();
    Photo photo = {};
    ASSERT_EQ(DecodePhoto(SamplePath("s01.png").c_str(), &photo), kLoadDone);
    ASSERT_EQ(TransferPhoto(&photo), 1);
    CameraPose pose;
    double xrot, yrot;
    int lightFound;
    ASSERT_EQ(RunAnalysis(0, &pose, &xrot, &yrot, &lightFound), 1);
    RefinedEstimate r;
    ASSERT_EQ(RefineEstimate(&photo, gAnalysisTrace.ellipse, gImageGeometry.workScale, &r), 1);
    EXPECT_NEAR(r.camera.pitch, -30.0, 0.03);
    EXPECT_NEAR(r.camera.roll, 0.0, 0.05);
    EXPECT_NEAR(r.camera.dollyX, 0.0, 0.01);
    EXPECT_NEAR(r.camera.dollyY, 8.0, 0.01);
    EXPECT_NEAR(r.camera.dollyZ, 13.856406, 0.01);
    ASSERT_EQ(r.light.elevationFound, 1);
    EXPECT_NEAR(r.light.yrot, 90.0, 0.15);
    EXPECT_NEAR(r.light.xrot, -25.9, 0.15);
    EXPECT_EQ(r.lens.source, kFocalDefault);
    // The marker at the picture's centre: the stick cannot tell the lens, so
    // the classic lens stays with the lens prior's deviation.
    EXPECT_NE(std::strstr(r.note, "the stick tried: too poorly conditioned to tell the lens"), nullptr) << r.note;
    EXPECT_NEAR(r.lens.focalSigma / r.lens.focal, AssumedLensLogSigma(), 1e-9);
    EXPECT_GT(r.fovSigma, 10.0);
    EXPECT_GT(r.distanceSigma, 0.2 * 16.0);  // the camera stands 16 units off; its distance scales with the lens
    EXPECT_GT(r.cameraSigma.pitch, 0.0);
    EXPECT_LT(r.cameraSigma.pitch, 0.1);
    ReleasePhoto(&photo);
}

// The stick's lean read back to the focal length from exact projections: the
// rim's conic and the stick's image direction of a known camera and lens, the
// search started from the classic lens. Where the marker sits on the upright
// picture's vertical or horizontal through its centre, the lean does not
// change with the lens and the leverage says so.
TEST(FocalFromStick, SyntheticProjectionsGiveTheLensBack)
{
    const double width = 1600.0, height = 1200.0, classic = 375.0 / 320.0 * width;
    const struct {
        Camera camera;
        double focal;      // source pixels
        int conditioned;   // 1 when the lean tells the lens
    } cases[] = {
        {{-30.0, 0.0, 0.0, 8.0, 13.856406}, 1500.0, 0},  // the marker at the centre
        {{-30.0, 0.0, 0.0, 11.0, 9.0}, 1300.0, 0},       // below the centre, on the picture's vertical
        {{-45.0, 5.0, 0.7, 10.0, 11.0}, 900.0, 1},       // a wide lens, rolled
        {{-62.0, -12.0, -1.5, 14.0, 6.5}, 2600.0, 1},    // a long lens, steep
        {{-20.0, 3.0, 2.0, 4.0, 16.0}, 1250.0, 1},       // shallow, far off centre
        {{-35.0, 0.0, 4.0, 9.0, 12.0}, 1000.0, 0},       // off to the side, on the picture's horizontal
        {{-35.0, 0.0, 4.0, 10.0, 9.0}, 1000.0, 1},       // off to the side and below
        {{-40.0, 10.0, -3.0, 9.0, 10.0}, classic, 1},    // the classic lens itself
    };
    for (const auto &c : cases) {
        RimFit rim = {};
        rim.conic = RimConic(c.camera, c.focal, width, height);
        ASSERT_EQ(EllipseFromConic(rim.conic, &rim.ellipse), 1);
        double bx, by, tx, ty;
        ProjectPoint(c.camera, c.focal, width, height, {0.0, kDiscThickness, 0.0}, &bx, &by);
        ProjectPoint(c.camera, c.focal, width, height, {0.0, kDiscThickness + 1.0, 0.0}, &tx, &ty);
        const double lean = std::atan2(ty - by, tx - bx);
        // The reference: the classic lens' candidate whose stick leans nearer, as the darker stick picks it.
        DiscPose start[2];
        ASSERT_EQ(PoseCandidates(rim.conic, classic, width / 2.0, height / 2.0, start), 2);
        auto turn = [&](const DiscPose &p) {
            const double dx = p.up[0] * p.centre[2] - p.centre[0] * p.up[2];
            const double dy = p.up[1] * p.centre[2] - p.centre[1] * p.up[2];
            return std::fabs(std::remainder(std::atan2(dy, dx) - lean, 2.0 * kPi));
        };
        const DiscPose &reference = turn(start[0]) <= turn(start[1]) ? start[0] : start[1];
        double leverage;
        ASSERT_EQ(StickLeverage(rim.conic, c.focal, width / 2.0, height / 2.0, reference, &leverage), 1);
        if (!c.conditioned) {
            EXPECT_LT(std::fabs(leverage), 2e-4) << c.focal;
            continue;
        }
        EXPECT_GT(std::fabs(leverage), 3e-3) << c.focal;
        const double sigma = 1e-4;  // radians of lean
        StickLensFit fit, nudged;
        ASSERT_EQ(FocalFromStick(rim, width / 2.0, height / 2.0, lean, sigma, classic, reference, &fit), 1) << c.focal;
        EXPECT_NEAR(fit.focal / c.focal, 1.0, 1e-6);
        RefinedCamera found;
        CameraNumbers(fit.pose, &found);
        EXPECT_NEAR(found.pitch, c.camera.pitch, 1e-4);
        EXPECT_NEAR(found.roll, c.camera.roll, 1e-4);
        // One deviation of lean moves the focal length by about its stated deviation.
        ASSERT_EQ(FocalFromStick(rim, width / 2.0, height / 2.0, lean + sigma, sigma, classic, reference, &nudged), 1);
        EXPECT_NEAR(std::fabs(nudged.focal - fit.focal) / fit.focalSigma, 1.0, 0.05) << c.focal;
        // So does one deviation of the rim's angle, with the lean exact.
        const double angleSigma = 1e-4;  // radians
        RimFit turned = rim;
        turned.covariance[4 * 5 + 4] = angleSigma * angleSigma;
        ASSERT_EQ(FocalFromStick(turned, width / 2.0, height / 2.0, lean, 0.0, classic, reference, &fit), 1);
        turned.ellipse.angle += angleSigma;
        turned.conic = ConicFromEllipse(turned.ellipse);
        ASSERT_EQ(FocalFromStick(turned, width / 2.0, height / 2.0, lean, 0.0, classic, reference, &nudged), 1);
        EXPECT_NEAR(std::fabs(nudged.focal - fit.focal) / fit.focalSigma, 1.0, 0.05) << c.focal;
    }
    // Nothing to solve from: no lens, no lean.
    RimFit rim = {};
    rim.conic = RimConic(cases[2].camera, cases[2].focal, width, height);
    ASSERT_EQ(EllipseFromConic(rim.conic, &rim.ellipse), 1);
    DiscPose start[2];
    ASSERT_EQ(PoseCandidates(rim.conic, classic, width / 2.0, height / 2.0, start), 2);
    StickLensFit fit;
    EXPECT_EQ(FocalFromStick(rim, width / 2.0, height / 2.0, std::nan(""), 1e-3, classic, start[0], &fit), 0);
    EXPECT_EQ(FocalFromStick(rim, width / 2.0, height / 2.0, 0.5, 1e-3, 0.0, start[0], &fit), 0);
    EXPECT_EQ(FocalFromStick(rim, width / 2.0, height / 2.0, 0.5, -1.0, classic, start[0], &fit), 0);
    // Any ellipse and any lean: no lens at all, or one in the searched range with a finite deviation.
    std::mt19937 random(16);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    int solved = 0;
    for (int i = 0; i < 500; i++) {
        const EllipseParams e = {width * unit(random), height * unit(random), 5.0 + 900.0 * unit(random),
                                 0.0, kPi * unit(random)};
        RimFit any = {};
        any.ellipse = e;
        any.ellipse.b = e.a * (0.02 + 0.98 * unit(random));
        any.conic = ConicFromEllipse(any.ellipse);
        for (int k = 0; k < 5; k++)
            any.covariance[k * 6] = 0.01 * unit(random);
        DiscPose poses[2];
        if (PoseCandidates(any.conic, classic, width / 2.0, height / 2.0, poses) != 2)
            continue;
        if (FocalFromStick(any, width / 2.0, height / 2.0, 2.0 * kPi * (unit(random) - 0.5), 1e-3, classic, poses[0],
                           &fit) == 0)
            continue;
        const double fov = LongSideFieldOfView(fit.focal, width, height);
        EXPECT_TRUE(fov >= 15.0 - 1e-6 && fov <= 130.0 + 1e-6) << fov;
        EXPECT_TRUE(std::isfinite(fit.focalSigma) && fit.focalSigma >= 0.0) << fit.focalSigma;
        solved++;
    }
    EXPECT_GT(solved, 20);  // the leans that some lens gives are solved too
}

}  // namespace
