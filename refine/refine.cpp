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

static double UpAlignment(const DiscPose &a, const DiscPose &b)
{
    return a.up[0] * b.up[0] + a.up[1] * b.up[1] + a.up[2] * b.up[2];
}

// The candidate whose stick rises where the photograph shows a dark stick;
// without a clear stick, the one that keeps the picture nearer upright.
static void ChoosePose(const Photo *photo, const DiscPose candidates[2], double focal, DiscPose *pose)
{
    const double ppx = photo->width / 2.0, ppy = photo->height / 2.0;
    const double d0 = StickDarkness(photo, candidates[0], focal, ppx, ppy);
    const double d1 = StickDarkness(photo, candidates[1], focal, ppx, ppy);
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

// Of two candidate poses, the one whose up is nearer the reference's.
static const DiscPose &NearestCandidate(const DiscPose candidates[2], const DiscPose &reference)
{
    return UpAlignment(candidates[0], reference) >= UpAlignment(candidates[1], reference) ? candidates[0]
                                                                                            : candidates[1];
}

// The camera numbers whose uncertainty is carried: the classic five and the
// camera's distance from the disc's centre on the ground.
struct PoseNumbers {
    RefinedCamera camera;
    double distance;  // scene units
};
const int kPoseNumberCount = 6;  // rows of the numbers' covariance: pitch, roll, dollyX, dollyY, dollyZ, distance

// hi - lo of each number, in the covariance's row order.
static void Differences(const PoseNumbers &hi, const PoseNumbers &lo, double difference[kPoseNumberCount])
{
    difference[0] = hi.camera.pitch - lo.camera.pitch;
    difference[1] = hi.camera.roll - lo.camera.roll;
    difference[2] = hi.camera.dollyX - lo.camera.dollyX;
    difference[3] = hi.camera.dollyY - lo.camera.dollyY;
    difference[4] = hi.camera.dollyZ - lo.camera.dollyZ;
    difference[5] = hi.distance - lo.distance;
}

// Camera numbers of the ellipse under a given focal length, taking the
// candidate nearest the reference pose; 0 when none exists.
static int PoseNumbersFor(EllipseParams e, double focal, const Photo *photo, const DiscPose &reference,
                          PoseNumbers *numbers)
{
    DiscPose candidates[2];
    if (PoseCandidates(ConicFromEllipse(e), focal, photo->width / 2.0, photo->height / 2.0, candidates) != 2)
        return 0;
    RefinedCamera c;
    CameraNumbers(NearestCandidate(candidates, reference), &c);
    numbers->camera = c;
    numbers->distance = std::sqrt(c.dollyX * c.dollyX + c.dollyY * c.dollyY + c.dollyZ * c.dollyZ);
    return 1;
}

// One standard deviation of each camera number: the rim's covariance carried
// through the pose by central differences, and the focal length's rounding.
static void CameraUncertainty(const Photo *photo, RefinedEstimate *r)
{
    const EllipseParams e = r->rim.ellipse;
    double jac[kPoseNumberCount][5] = {};
    Eigen::Matrix<double, kPoseNumberCount, kPoseNumberCount> cov =
        Eigen::Matrix<double, kPoseNumberCount, kPoseNumberCount>::Zero();
    int ok = 1;
    for (int k = 0; k < 5 && ok; k++) {
        PoseNumbers hi, lo;
        ok = PoseNumbersFor(ShiftedEllipse(e, k, kEllipseSteps[k]), r->lens.focal, photo, r->pose, &hi) &&
             PoseNumbersFor(ShiftedEllipse(e, k, -kEllipseSteps[k]), r->lens.focal, photo, r->pose, &lo);
        if (!ok)
            break;
        double difference[kPoseNumberCount];
        Differences(hi, lo, difference);
        for (int i = 0; i < kPoseNumberCount; i++)
            jac[i][k] = difference[i] / (2.0 * kEllipseSteps[k]);
    }
    if (ok) {
        Eigen::Matrix<double, kPoseNumberCount, 5> j;
        Eigen::Matrix<double, 5, 5> s;
        for (int i = 0; i < kPoseNumberCount; i++)
            for (int k = 0; k < 5; k++)
                j(i, k) = jac[i][k];
        for (int i = 0; i < 25; i++)
            s(i / 5, i % 5) = r->rim.covariance[i];
        cov = j * s * j.transpose();
    }
    if (r->lens.focalSigma > 0.0) {
        PoseNumbers hi, lo;
        if (PoseNumbersFor(e, r->lens.focal + r->lens.focalSigma, photo, r->pose, &hi) &&
            PoseNumbersFor(e, r->lens.focal - r->lens.focalSigma, photo, r->pose, &lo)) {
            double difference[kPoseNumberCount];
            Differences(hi, lo, difference);
            for (int i = 0; i < kPoseNumberCount; i++)
                cov(i, i) += 0.25 * difference[i] * difference[i];
        }
    }
    r->cameraSigma.pitch = std::sqrt(std::fabs(cov(0, 0)));
    r->cameraSigma.roll = std::sqrt(std::fabs(cov(1, 1)));
    r->cameraSigma.dollyX = std::sqrt(std::fabs(cov(2, 2)));
    r->cameraSigma.dollyY = std::sqrt(std::fabs(cov(3, 3)));
    r->cameraSigma.dollyZ = std::sqrt(std::fabs(cov(4, 4)));
    r->distanceSigma = std::sqrt(std::fabs(cov(5, 5)));
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

static int AllFinite(const RefinedEstimate &r)
{
    const double numbers[] = {r.camera.pitch,      r.camera.roll,       r.camera.dollyX,      r.camera.dollyY,
                              r.camera.dollyZ,     r.cameraSigma.pitch, r.cameraSigma.roll,   r.cameraSigma.dollyX,
                              r.cameraSigma.dollyY, r.cameraSigma.dollyZ, r.distanceSigma,     r.fov,
                              r.light.xrot,        r.light.yrot,        r.light.xrotSigma,    r.light.yrotSigma,
                              r.light.stickTop[0], r.light.stickTop[1], r.light.shadowTip[0], r.light.shadowTip[1],
                              r.fovSigma};
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

// With nothing better than the classic lens, the stick's lean gives the
// focal length where it can; else the classic lens stays, with the wide
// deviation of a lens not known. The pose follows the lens.
static StickLensStatus LensFromStick(const Photo *photo, DiscPose candidates[2], RefinedEstimate *r,
                                     StickLensFit *reading)
{
    StickLensFit fit;
    StickLensStatus status = ReadLensFromStick(photo, r->rim, candidates, r->lens.focal, &fit);
    if (status == kStickLensRead &&
        PoseCandidates(r->rim.conic, fit.focal, photo->width / 2.0, photo->height / 2.0, candidates) != 2)
        status = kStickLensNoFit;
    if (status != kStickLensRead) {
        r->lens.focalSigma = DefaultLensSigma(r->lens.focal);
        return status;
    }
    r->lens.focal = fit.focal;
    r->lens.focalSigma = fit.focalSigma;
    r->lens.source = kFocalStick;
    r->fov = LongSideFieldOfView(r->lens.focal, photo->width, photo->height);
    r->pose = NearestCandidate(candidates, fit.pose);
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
    r->lens.focal = fit.focal;
    r->lens.focalSigma = fit.focalSigma;
    r->fov = LongSideFieldOfView(r->lens.focal, photo->width, photo->height);
    r->pose = NearestCandidate(candidates, fit.pose);
}

// fov = 2 atan(x) with x = L / 2f, so d fov / d ln f = -2 x / (1 + x^2).
static double FovSigma(const Photo *photo, const Lens &lens)
{
    const double x = std::max(photo->width, photo->height) / (2.0 * lens.focal);
    return DegreesFromRadians(2.0 * x / (1.0 + x * x) * lens.focalSigma / lens.focal);
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
    r.status = FitRim(photo, SourceEllipse(classicWork, workScale), kSearchBasePixels + kSearchWorkPixels / workScale,
                      &r.rim);
    DiscPose candidates[2];
    if (r.status == kRefineDone &&
        PoseCandidates(r.rim.conic, r.lens.focal, photo->width / 2.0, photo->height / 2.0, candidates) != 2)
        r.status = kRefineNoPose;
    if (r.status != kRefineDone) {
        std::snprintf(r.note, sizeof r.note, "%s", kReasons[r.status]);
        LensNote(&r, hints);
        *out = r;
        return 0;
    }
    ChoosePose(photo, candidates, r.lens.focal, &r.pose);
    const int stickTried = r.lens.source == kFocalDefault;
    StickLensFit stickReading;
    const StickLensStatus stickStatus =
        stickTried ? LensFromStick(photo, candidates, &r, &stickReading) : kStickLensNotSeen;
    r.light = MeasureLight(photo, r.pose, r.lens.focal);
    // With the sun known, the rim once more without its lit wall.
    if (r.light.elevationFound) {
        WallLight wall;
        wall.pose = r.pose;
        wall.focal = r.lens.focal;
        SunInCamera(r.pose, r.light, wall.sun);
        if (RefitRimForWall(photo, wall, &r.rim) &&
            PoseCandidates(r.rim.conic, r.lens.focal, photo->width / 2.0, photo->height / 2.0, candidates) == 2) {
            r.pose = NearestCandidate(candidates, wall.pose);
            if (r.lens.source == kFocalStick)
                RefocusOnStick(photo, stickReading, &r);
            r.light = MeasureLight(photo, r.pose, r.lens.focal);
        }
    }
    if (stickTried)
        r.fovSigma = FovSigma(photo, r.lens);
    CameraNumbers(r.pose, &r.camera);
    CameraUncertainty(photo, &r);
    if (!AllFinite(r)) {
        // No number that is not finite ever leaves the refinement.
        const Lens lens = r.lens;
        const double fov = r.fov;
        std::memset(&r, 0, sizeof r);
        r.lens = lens;
        r.fov = fov;
        r.status = kRefineNoPose;
        std::snprintf(r.note, sizeof r.note, "%s", kReasons[kRefineNoPose]);
        LensNote(&r, hints);
        *out = r;
        return 0;
    }
    LensNote(&r, hints);
    if (stickTried)
        StickNote(&r, stickStatus);
    LightNote(&r);
    *out = r;
    return 1;
}
