// The whole refined record in order: lens, rim, the pose that shows the dark
// stick, light, the rim again without its lit wall, and the uncertainties;
// the notes that say what was assumed or not found.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include <Eigen/Dense>

#include "common/numeric.h"
#include "refine/refine.h"

const double kSearchBasePixels = 4.0;      // source pixels either side of the classic rim, at any scale
const double kSearchWorkPixels = 2.0;      // work pixels of staircase either side of the classic rim
const double kMinStickPreference = 12.0;   // grey levels darker along one pose's stick than the other's

static const char *const kReasons[] = {
    "",
    "no rim contrast: the disc's edge does not stand out from the ground",
    "the rim is cut by the picture's border",
    "the rim's edge points do not fit an ellipse",
    "no camera pose fits the rim",
    "refused: what was measured does not look like a whole marker",
};

// Work pixel x holds the last source pixel whose trunc(sx * scale) is x, so
// its centre sits near source (x + 1) / scale - 0.5 in pixel-centre
// coordinates; the semi-axes scale by 1 / scale.
static EllipseParams SourceEllipse(EllipseParams work, double scale)
{
    EllipseParams e = work;
    e.cx = (work.cx + 1.0) / scale - 0.5;
    e.cy = (work.cy + 1.0) / scale - 0.5;
    e.a = work.a / scale;
    e.b = work.b / scale;
    return e;
}

// The candidate whose stick rises where the photograph shows a dark stick;
// without a clear stick, the one that keeps the picture nearer upright.
static void ChoosePose(const Photo *photo, const DiscPose candidates[2], double focal, const DistortionFrame *lens,
                       DiscPose *pose)
{
    const double ppx = photo->width / 2.0, ppy = photo->height / 2.0;
    const double d0 = StickDarkness(photo, candidates[0], focal, ppx, ppy, lens);
    const double d1 = StickDarkness(photo, candidates[1], focal, ppx, ppy, lens);
    int pick;
    if (std::fabs(d0 - d1) >= kMinStickPreference) {
        pick = d0 < d1 ? 0 : 1;
    } else {
        RefinedCamera c0, c1;
        CameraNumbers(candidates[0], &c0);
        CameraNumbers(candidates[1], &c1);
        pick = std::fabs(c0.roll) <= std::fabs(c1.roll) ? 0 : 1;
    }
    *pose = candidates[pick];
}


// The direction toward the sun in the camera frame, from the light's bearing
// (from the backward axis toward the right) and elevation.
static void SunInCamera(const DiscPose &pose, const RefinedLight &light, double sun[3])
{
    GroundFrame ground;
    MakeGroundFrame(pose, &ground);
    const Eigen::Vector3d up(ground.up[0], ground.up[1], ground.up[2]);
    const Eigen::Vector3d forward(ground.forward[0], ground.forward[1], ground.forward[2]);
    const Eigen::Vector3d right(ground.right[0], ground.right[1], ground.right[2]);
    const double bearing = RadiansFromDegrees(light.yrot), elevation = RadiansFromDegrees(-light.xrot);
    const Eigen::Vector3d s = std::cos(elevation) * (std::cos(bearing) * -forward + std::sin(bearing) * right) +
                              std::sin(elevation) * up;
    for (int i = 0; i < 3; i++)
        sun[i] = s(i);
}

// The propagation. Every refined number y is a function of the rim's ellipse
// p = (cx, cy, a, b, angle) and the focal length f, with the light's image
// points (stick top, shadow tip, a point on the shadow's line) held where
// they were found: y = g(p, f). To first order
//     cov(y) = J S J^T,   J = dg/d(p, f),   S = [[S_rim + S_sys, 0], [0, sigma_f^2]],
// J by central differences, column k = (g(x + h_k e_k) - g(x - h_k e_k)) / 2 h_k
// (for the focal length h = sigma_f itself: the secant over one deviation).
// The principal point is held at the picture's centre, (width / 2, height / 2)
// with pixel (i, j) covering [i, i + 1) x [j, j + 1), as the pose assumes: a
// lens whose axis misses the centre is outside these deviations.
// S_rim is the fit's covariance from its residuals; S_sys what they do not
// show (the pixel grid's phase, the side wall: RimSystematicCovariance);
// sigma_f the lens' (ChooseLens). The light's own localisation (the top's
// and tip's places, the spread of the shadow's profiles) is independent of
// the rim and adds in quadrature:
//     sigma_xrot^2 = (J S J^T)_xrot + sigma_located^2.
// The field of view F = 2 atan(L / 2f) along the long side L has
//     dF/df = -L / (f^2 + L^2 / 4),   sigma_F = |dF/df| sigma_f.
const int kInputCount = 6;   // the ellipse's cx, cy, a, b, angle and the focal length
const int kOutputCount = 8;  // pitch, roll, dollyX, dollyY, dollyZ, distance, xrot, yrot
const int kFocalInput = 5;
const int kXrotOutput = 6;
const int kYrotOutput = 7;
const double kFocalStepShare = 1e-4;  // the focal length's difference step, share of the focal length
const double kFullTurn = 360.0;       // degrees

// The numbers g(p, f) under the ellipse and focal length, with the candidate
// pose nearest the record's; 0 when there is no pose or the light's points miss.
static int NumbersFor(const RefinedEstimate &r, EllipseParams e, double focal, double ppx, double ppy,
                      double out[kOutputCount])
{
    DiscPose candidates[2];
    if (PoseCandidates(ConicFromEllipse(e), focal, ppx, ppy, candidates) != 2)
        return 0;
    const DiscPose &pose = NearestCandidate(candidates, r.pose);
    RefinedCamera c;
    CameraNumbers(pose, &c);
    out[0] = c.pitch;
    out[1] = c.roll;
    out[2] = c.dollyX;
    out[3] = c.dollyY;
    out[4] = c.dollyZ;
    out[5] = std::sqrt(c.dollyX * c.dollyX + c.dollyY * c.dollyY + c.dollyZ * c.dollyZ);
    out[kXrotOutput] = 0.0;
    out[kYrotOutput] = 0.0;
    return !r.light.bearingFound ||
           LightAngles(r.light, pose, focal, ppx, ppy, &out[kXrotOutput], &out[kYrotOutput]);
}

// The numbers under another focal length with the light found again: where
// MeasureLight's search lines fall, and so which shadow point and tip it
// reads, follows the pose the lens gives; held fixed, the points would
// carry only part of the lens' effect on the light (half of it on the
// bearing, for a 35 mm equivalent's rounding). Where the other lens finds
// less of the light than the record has, its points are held instead.
static int NumbersRemeasured(const Photo *photo, const RefinedEstimate &r, double focal, double ppx, double ppy,
                             double out[kOutputCount])
{
    DiscPose candidates[2];
    if (!r.light.bearingFound || PoseCandidates(r.rim.conic, focal, ppx, ppy, candidates) != 2)
        return NumbersFor(r, r.rim.ellipse, focal, ppx, ppy, out);
    RefinedEstimate moved = r;
    moved.pose = NearestCandidate(candidates, r.pose);
    // The light is read through the lens the record's points were undistorted with.
    DistortionFrame frame;
    const DistortionFrame *lens =
        MakeDistortionFrame(&r.distortion, photo->width, photo->height, &frame) ? &frame : nullptr;
    moved.light = MeasureLight(photo, moved.pose, focal, lens);
    if (!moved.light.bearingFound || moved.light.elevationFound < r.light.elevationFound)
        return NumbersFor(r, r.rim.ellipse, focal, ppx, ppy, out);
    moved.light.elevationFound = r.light.elevationFound;
    return NumbersFor(moved, r.rim.ellipse, focal, ppx, ppy, out);
}

// The light is searched along lines from the disc's centre in the picture,
// which the lens places. When one deviation of the lens moves that centre by
// more than the shadow's half width, the search may leave the shadow
// anywhere along it and take that for the tip: the tip's distance R is then
// anywhere in [0, R] (root mean square R / sqrt(3)), which moves the
// elevation by h sigma_R / (R^2 + h^2), h the stick's height over the top.
// Degrees; 0 when the centre stays on the shadow.
static double LostTipSigma(const RefinedEstimate &r, double focalSigma, double ppx, double ppy)
{
    if (!(focalSigma > 0.0))
        return 0.0;
    DiscPose hi[2], lo[2];
    const Conic conic = ConicFromEllipse(r.rim.ellipse);
    if (PoseCandidates(conic, r.lens.focal + focalSigma, ppx, ppy, hi) != 2 ||
        PoseCandidates(conic, r.lens.focal - focalSigma, ppx, ppy, lo) != 2)
        return 0.0;
    const DiscPose &a = NearestCandidate(hi, r.pose), &b = NearestCandidate(lo, r.pose);
    const double moved = 0.5 * std::hypot(a.centreImage[0] - b.centreImage[0], a.centreImage[1] - b.centreImage[1]);
    const double depth = std::sqrt(r.pose.centre[0] * r.pose.centre[0] + r.pose.centre[1] * r.pose.centre[1] +
                                   r.pose.centre[2] * r.pose.centre[2]);
    const double halfWidth = r.light.stickRadius * r.lens.focal / depth;  // source pixels
    if (!(moved > halfWidth))
        return 0.0;
    const double rise = r.light.stickHeight - kDiscThickness, reach = r.light.tipDistance;
    return DegreesFromRadians(rise * reach * kUniformToSigma / (reach * reach + rise * rise));
}

// The side wall's light for the record's pose: the sun where it is known
// (withSun), the sky's share the stick's shadow gave.
static WallLight WallOf(const RefinedEstimate &r, int withSun)
{
    WallLight wall = {};
    wall.pose = r.pose;
    wall.focal = r.lens.focal;
    if (withSun)
        SunInCamera(r.pose, r.light, wall.sun);
    wall.skyShare = r.light.shadeShare;
    return wall;
}

void RefinedUncertainty(const Photo *photo, double focalSigma, RefinedEstimate *r)
{
    Eigen::Matrix<double, kOutputCount, kInputCount> jac = Eigen::Matrix<double, kOutputCount, kInputCount>::Zero();
    const double ppx = photo->width / 2.0, ppy = photo->height / 2.0;
    for (int k = 0; k < kInputCount; k++) {
        // The lens' deviation can be a third of the focal length, where the
        // numbers bend: its column is the secant over +-1 deviation.
        const double h = k < kFocalInput ? kEllipseSteps[k]
                         : focalSigma > 0.0 ? focalSigma
                                            : kFocalStepShare * r->lens.focal;
        double hi[kOutputCount], lo[kOutputCount];
        int ok;
        if (k < kFocalInput)
            ok = NumbersFor(*r, ShiftedEllipse(r->rim.ellipse, k, h), r->lens.focal, ppx, ppy, hi) &&
                 NumbersFor(*r, ShiftedEllipse(r->rim.ellipse, k, -h), r->lens.focal, ppx, ppy, lo);
        else
            ok = NumbersRemeasured(photo, *r, r->lens.focal * std::exp(h / r->lens.focal), ppx, ppy, hi) &&
                 NumbersRemeasured(photo, *r, r->lens.focal * std::exp(-h / r->lens.focal), ppx, ppy, lo);
        if (!ok)
            continue;  // no pose a step away: that input's share is left out
        for (int i = 0; i < kOutputCount; i++) {
            const double difference = i == kYrotOutput ? std::remainder(hi[i] - lo[i], kFullTurn) : hi[i] - lo[i];
            jac(i, k) = difference / (2.0 * h);
        }
    }
    const WallLight wall = WallOf(*r, r->wallTakenOff);
    double systematic[25];
    RimSystematicCovariance(r->rim, wall, photo->width / 2.0, photo->height / 2.0, r->wallTakenOff, systematic);
    Eigen::Matrix<double, kInputCount, kInputCount> s = Eigen::Matrix<double, kInputCount, kInputCount>::Zero();
    for (int i = 0; i < 25; i++)
        s(i / 5, i % 5) = r->rim.covariance[i] + systematic[i];
    s(kFocalInput, kFocalInput) = focalSigma * focalSigma;
    const Eigen::Matrix<double, kOutputCount, kOutputCount> cov = jac * s * jac.transpose();
    auto deviation = [&](int i) { return std::sqrt(std::max(0.0, cov(i, i))); };
    r->cameraSigma.pitch = deviation(0);
    r->cameraSigma.roll = deviation(1);
    r->cameraSigma.dollyX = deviation(2);
    r->cameraSigma.dollyY = deviation(3);
    r->cameraSigma.dollyZ = deviation(4);
    r->distanceSigma = deviation(5);
    const double lost = r->light.elevationFound ? LostTipSigma(*r, focalSigma, ppx, ppy) : 0.0;
    r->light.xrotSigma = r->light.elevationFound
                             ? std::sqrt(cov(kXrotOutput, kXrotOutput) + r->light.xrotLocalSigma * r->light.xrotLocalSigma +
                                         lost * lost)
                             : 0.0;
    r->light.yrotSigma = r->light.bearingFound ? std::hypot(deviation(kYrotOutput), r->light.yrotLocalSigma) : 0.0;
    r->fovSigma = FieldOfViewSigma(r->lens.focal, focalSigma, photo->width, photo->height);
}

static int AllFinite(const RefinedEstimate &r)
{
    const double numbers[] = {r.camera.pitch,      r.camera.roll,       r.camera.dollyX,      r.camera.dollyY,
                              r.camera.dollyZ,     r.cameraSigma.pitch, r.cameraSigma.roll,   r.cameraSigma.dollyX,
                              r.cameraSigma.dollyY, r.cameraSigma.dollyZ, r.distanceSigma,     r.fov,  r.fovSigma,
                              r.light.xrot,        r.light.yrot,        r.light.xrotSigma,    r.light.yrotSigma,
                              r.light.stickTop[0], r.light.stickTop[1], r.light.shadowTip[0], r.light.shadowTip[1]};
    for (double n : numbers)
        if (!std::isfinite(n))
            return 0;
    return 1;
}

static void AppendNote(RefinedEstimate *r, const char *text)
{
    const size_t used = std::strlen(r->note);
    if (used > 0 && used + 2 < sizeof r->note) {
        std::strncat(r->note, "; ", sizeof r->note - used - 1);
    }
    std::strncat(r->note, text, sizeof r->note - std::strlen(r->note) - 1);
}

static void LensNote(RefinedEstimate *r, const LensHints *hints)
{
    const int databaseSaid = hints != nullptr && hints->note[0] != '\0';
    const int guessed = r->lens.source == kFocalDefault || r->lens.source == kFocalStick;
    if (r->lens.source == kFocalUser)
        AppendNote(r, "the lens stated by the user");
    else if (r->lens.source == kFocalLensDb || (guessed && databaseSaid && !r->lens.refused))
        AppendNote(r, hints->note);
    if (r->lens.source == kFocalUser || r->lens.source == kFocalLensDb)
        return;
    if (r->lens.refused && r->lens.source == kFocalStick)
        AppendNote(r, "EXIF focal length absurd");
    else if (r->lens.refused)
        AppendNote(r, r->lens.source == kFocalDefault
                          ? "EXIF focal length absurd: the classic 46.2 degree lens assumed"
                          : "EXIF focal plane tags absurd: the 35 mm equivalent used");
    else if (r->lens.source == kFocalStick && !databaseSaid)
        AppendNote(r, "no EXIF focal length");
    else if (r->lens.source == kFocalDefault)
        AppendNote(r, databaseSaid ? "the classic 46.2 degree lens assumed"
                                   : "no EXIF focal length: the classic 46.2 degree lens assumed");
    else if (r->lens.source == kFocalExif35)
        AppendNote(r, "focal length from the 35 mm equivalent, rounded by the camera");
}

// The stick's reading taken as the lens, with the pose it gives among candidates.
static void TakeStickLens(const Photo *photo, const StickLensFit &fit, const DiscPose candidates[2],
                          RefinedEstimate *r)
{
    r->lens.focal = fit.focal;
    r->lens.focalSigma = fit.focalSigma;
    r->fov = LongSideFieldOfView(r->lens.focal, photo->width, photo->height);
    r->pose = NearestCandidate(candidates, fit.pose);
}

// With nothing better than the classic lens, the stick's lean gives the
// focal length where it can; else the classic lens stays, with the lens
// prior's deviation. The pose follows the lens.
static StickLensStatus LensFromStick(const Photo *photo, DiscPose candidates[2], RefinedEstimate *r,
                                     StickLensFit *reading)
{
    StickLensFit fit;
    StickLensStatus status = ReadLensFromStick(photo, r->rim, candidates, r->lens.focal, &fit);
    if (status == kStickLensRead &&
        PoseCandidates(r->rim.conic, fit.focal, photo->width / 2.0, photo->height / 2.0, candidates) != 2)
        status = kStickLensNoFit;
    if (status != kStickLensRead)
        return status;  // the classic lens keeps the prior's deviation ChooseLens gave it
    TakeStickLens(photo, fit, candidates, r);
    r->lens.source = kFocalStick;
    *reading = fit;
    return status;
}

// The rim refitted without its lit wall tilts the pose a little, and the
// lean the stick gives turns with it: the measured stick is solved again on
// the new rim. The first reading stays when the new one is not as sound.
static void RefocusOnStick(const Photo *photo, const StickLensFit &reading, RefinedEstimate *r)
{
    StickLensFit fit;
    DiscPose candidates[2];
    if (SolveLensFromStick(r->rim, photo->width / 2.0, photo->height / 2.0, reading, &fit) != kStickLensRead ||
        PoseCandidates(r->rim.conic, fit.focal, photo->width / 2.0, photo->height / 2.0, candidates) != 2)
        return;
    TakeStickLens(photo, fit, candidates, r);
}

static void StickNote(RefinedEstimate *r, StickLensStatus status)
{
    if (status == kStickLensRead)
        AppendNote(r, "focal length read from the stick's lean");
    else if (status == kStickLensNotSeen)
        AppendNote(r, "the stick's lean not measured: the lens not known");
    else if (status == kStickLensNoFit)
        AppendNote(r, "no lens leans the stick as measured: the lens not known");
    else if (status == kStickLensUncertain)
        AppendNote(r, "the stick tried: its lean too uncertain to tell the lens");
    else
        AppendNote(r, "the stick tried: too poorly conditioned to tell the lens");
}

static void LightNote(RefinedEstimate *r)
{
    const RefinedLight &l = r->light;
    char text[128];
    if (!l.bearingFound)
        AppendNote(r, "no shadow found: light not refined");
    else if (l.elevationBound) {
        std::snprintf(text, sizeof text, "the shadow leaves the disc: the sun stands at most %.1f degrees high",
                      -l.xrot);
        AppendNote(r, text);
    } else if (!l.elevationFound)
        AppendNote(r, "stick top or shadow tip not found: the light's bearing alone");
}

// The lens' distortion on this photo when the hints carry a profile that
// maps it one to one; its profile then goes in the record.
static const DistortionFrame *LensCorrection(const Photo *photo, const LensHints *hints, RefinedEstimate *r,
                                             DistortionFrame *frame)
{
    if (hints == nullptr || hints->distortion.model == kDistortionNone)
        return nullptr;
    if (!MakeDistortionFrame(&hints->distortion, photo->width, photo->height, frame))
        return nullptr;
    r->distortion = hints->distortion;
    r->distortionUnitPixels = frame->unitPixels;
    return frame;
}

// What the lens lookup said: the profile used, or why there was none (only
// when a profile was looked for), or why a profile found was not used.
const char *const kNotInDatabase = "not in the lens database";

static void DistortionNote(RefinedEstimate *r, const LensHints *hints)
{
    if (hints == nullptr)
        return;
    if (hints->distortion.model != kDistortionNone && r->distortion.model == kDistortionNone)
        AppendNote(r, "the lens profile does not map this photo one to one: no lens correction");
    else if (hints->distortionNote[0] != '\0' &&
             !(std::strstr(hints->distortionNote, kNotInDatabase) && std::strstr(r->note, kNotInDatabase)))
        AppendNote(r, hints->distortionNote);  // the crop factor's note may have said the camera is not held
}

int RefineEstimate(const Photo *photo, EllipseParams classicWork, double workScale, RefinedEstimate *out,
                   const LensHints *hints)
{
    RefinedEstimate r;
    std::memset(&r, 0, sizeof r);
    if (photo == nullptr || photo->argb == nullptr || photo->width < 2 || photo->height < 2 || !(workScale > 0.0)) {
        r.status = kRefineNoFit;
        std::snprintf(r.note, sizeof r.note, "%s", kReasons[kRefineNoFit]);
        *out = r;
        return 0;
    }
    ChooseLensWithHints(&photo->exif, photo->width, photo->height, hints, &r.lens);
    r.fov = LongSideFieldOfView(r.lens.focal, photo->width, photo->height);
    DistortionFrame lensFrame;
    const DistortionFrame *lens = LensCorrection(photo, hints, &r, &lensFrame);
    r.fovSigma = FieldOfViewSigma(r.lens.focal, r.lens.focalSigma, photo->width, photo->height);
    r.status = FitRim(photo, SourceEllipse(classicWork, workScale), kSearchBasePixels + kSearchWorkPixels / workScale,
                      &r.rim, lens);
    DiscPose candidates[2];
    if (r.status == kRefineDone &&
        PoseCandidates(r.rim.conic, r.lens.focal, photo->width / 2.0, photo->height / 2.0, candidates) != 2)
        r.status = kRefineNoPose;
    if (r.status != kRefineDone) {
        std::snprintf(r.note, sizeof r.note, "%s", kReasons[r.status]);
        LensNote(&r, hints);
        DistortionNote(&r, hints);
        *out = r;
        return 0;
    }
    ChoosePose(photo, candidates, r.lens.focal, lens, &r.pose);
    const int stickTried = r.lens.source == kFocalDefault;
    StickLensFit stickReading;
    const StickLensStatus stickStatus =
        stickTried ? LensFromStick(photo, candidates, &r, &stickReading) : kStickLensNotSeen;
    r.light = MeasureLight(photo, r.pose, r.lens.focal, lens);
    // With the sun known, the rim once more without its lit wall.
    if (r.light.elevationFound) {
        const WallLight wall = WallOf(r, 1);
        if (RefitRimForWall(photo, wall, &r.rim, lens) &&
            PoseCandidates(r.rim.conic, r.lens.focal, photo->width / 2.0, photo->height / 2.0, candidates) == 2) {
            r.pose = NearestCandidate(candidates, wall.pose);
            if (r.lens.source == kFocalStick)
                RefocusOnStick(photo, stickReading, &r);
            r.light = MeasureLight(photo, r.pose, r.lens.focal, lens);
            r.wallTakenOff = 1;
        }
    }
    CameraNumbers(r.pose, &r.camera);
    RefinedUncertainty(photo, r.lens.focalSigma, &r);
    if (!AllFinite(r)) {
        // No number that is not finite ever leaves the refinement.
        const Lens kept = r.lens;
        const double fov = r.fov, fovSigma = r.fovSigma;
        const LensDistortion distortion = r.distortion;
        const double unitPixels = r.distortionUnitPixels;
        std::memset(&r, 0, sizeof r);
        r.lens = kept;
        r.fov = fov;
        r.distortion = distortion;
        r.distortionUnitPixels = unitPixels;
        r.fovSigma = fovSigma;
        r.status = kRefineNoPose;
        std::snprintf(r.note, sizeof r.note, "%s", kReasons[kRefineNoPose]);
        LensNote(&r, hints);
        DistortionNote(&r, hints);
        *out = r;
        return 0;
    }
    LensNote(&r, hints);
    DistortionNote(&r, hints);
    if (stickTried)
        StickNote(&r, stickStatus);
    LightNote(&r);
    *out = r;
    return 1;
}
