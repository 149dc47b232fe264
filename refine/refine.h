// The refined estimate: the disc's rim at sub-pixel precision on the full-resolution
// photograph, the lens from EXIF, the camera from the rim's perspective and the sun.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "distortion/distortion.h"
#include "ellipse/ellipse.h"
#include "image/photo.h"

// Image coordinates of the refined estimate are source pixels with pixel (i, j)
// covering [i, i + 1) x [j, j + 1), so its centre is (i + 0.5, j + 0.5) and the
// principal point is (width / 2, height / 2). The camera frame is x right, y
// down, z forward (along the optical axis), in scene units.

const double kDiscRadius = 3.0;      // scene units, the disc's radius
const double kDiscThickness = 0.01;  // scene units, the disc's top above the ground

// Where the focal length came from.
enum FocalSource : int32_t {
    kFocalExif = 0,     // FocalLength with FocalPlaneXResolution
    kFocalExif35 = 1,   // FocalLengthIn35mmFilm, by the diagonal
    kFocalDefault = 2,  // the classic lens, 46.2 degrees along the long side
    kFocalUser = 3,     // stated by the user: field of view, focal length and sensor, or 35 mm equivalent
    kFocalLensDb = 4,   // FocalLength with the crop factor of the camera the lens database names
    kFocalStick = 5,    // read from the stick's lean against the rim's pose
};

struct Lens {
    double focal;     // source pixels
    FocalSource source;
    int32_t refused;  // 1 when a tag was present but absurd and was passed over
    // Source pixels, one deviation of the focal length: the rounding of the
    // focal plane's tags to their last written decimal, of the 35 mm
    // equivalent to whole millimetres, the crop factor's, the stick's reading,
    // or the lens prior's width for the assumed classic lens
    // (AssumedLensLogSigma times the focal length).
    double focalSigma;
};

// The focal length from the lens tags, falling back as far as needed; never fails.
void ChooseLens(const PhotoExif *exif, uint32_t width, uint32_t height, Lens *lens);
// One deviation of the logarithm of the focal length when the lens is assumed.
double AssumedLensLogSigma();
// Field of view along the long side, degrees.
double LongSideFieldOfView(double focal, uint32_t width, uint32_t height);
// One deviation of that field of view, degrees, for a focal length's deviation.
double FieldOfViewSigma(double focal, double focalSigma, uint32_t width, uint32_t height);

// A lens the user states, which overrides EXIF.
enum GivenLensKind : int32_t {
    kGivenLensNone = 0,
    kGivenLensFov = 1,          // fov
    kGivenLensFocalSensor = 2,  // focalMm on a sensor sensorMm wide
    kGivenLensFocal35 = 3,      // focalMm is the 35 mm equivalent, by the diagonal
};
struct GivenLens {
    GivenLensKind kind;
    double fov;       // degrees along the long side, in (0, 180)
    double focalMm;   // mm, above 0
    double sensorMm;  // mm, the sensor's width along the long side, above 0
};

// What the caller adds to the photo's EXIF: the user's lens, and the crop
// factor the lens database gave for the photo's camera.
struct LensHints {
    GivenLens given;
    int32_t cropFound;  // 1 when cropFactor holds the database's
    double cropFactor;  // the 36 x 24 mm frame's diagonal over the sensor's
    char note[192];     // why the database gave no crop factor when it was asked; else empty
    // The lens' distortion the database gave (model kDistortionNone: none),
    // and what the lookup said when it was asked; else empty.
    LensDistortion distortion;
    char distortionNote[192];
};

// 1 when the EXIF lens is FocalLength alone, which a crop factor completes.
int LensWantsCropFactor(const PhotoExif *exif);
// The user's lens when given, else ChooseLens's, completed by the crop factor
// where EXIF gives FocalLength alone; never fails. hints may be null.
void ChooseLensWithHints(const PhotoExif *exif, uint32_t width, uint32_t height, const LensHints *hints, Lens *lens);

// Conic A x^2 + B x y + C y^2 + D x + E y + F = 0 in source pixels, scaled to
// |(A, B, C, D, E, F)| = 1.
struct Conic {
    double c[6];
};

struct RimFit {
    EllipseParams ellipse;  // source pixels, normal form a >= b; pinhole pixels when the lens is corrected
    EllipseParams sampled;  // source pixels on the photo as it is: the ellipse the passes sample along
    Conic conic;
    double covariance[25];  // of (cx, cy, a, b, angle), from the residuals and their correlation along the rim
    double rms;             // source pixels, root mean square distance of the kept edge points
    double edgeWidth;       // source pixels, median width of the edge between its 75 % and 25 % levels
    double groundShare;     // median of the ground's level over the disc's beside the rim, linear light
    int32_t used;           // edge points kept in the last fit
    int32_t normals;        // normals sampled in the last pass
    // How clearly the last pass saw the rim: what tells a whole disc's edge
    // from a cut one or from texture.
    double contrast;        // grey levels, median of disc minus ground over the kept edge points
    double coverage;        // share of the last pass's normals that gave an edge point
    double widestGap;       // radians, widest turn around the centre without an edge point
};

// Reasons a refinement stops; RefinedEstimate.note says them in words.
enum RefineStatus : int32_t {
    kRefineDone = 0,
    kRefineNoContrast = 1,
    kRefineBorder = 2,
    kRefineNoFit = 3,
    kRefineNoPose = 4,
    kRefineImplausible = 5,  // refused: what was measured does not look like a whole marker
};

// Sub-pixel rim along the normals of the starting ellipse (source pixels),
// looked for within searchPixels (5 to 64) either side, fitted, resampled
// along the fit's normals and fitted again. With lens, the last pass's edge
// points are undistorted before the fit that *fit keeps. Returns
// kRefineDone with *fit written, or the reason it could not.
RefineStatus FitRim(const Photo *photo, EllipseParams start, double searchPixels, RimFit *fit,
                    const DistortionFrame *lens = nullptr);

// Direct least-squares ellipse through the points (Halir and Flusser); 1 with
// *conic written when the points determine an ellipse.
int FitConicDirect(const double *x, const double *y, int count, Conic *conic);
// Centre, semi-axes and angle of an ellipse conic; 0 when it is not one.
int EllipseFromConic(const Conic &conic, EllipseParams *ellipse);
Conic ConicFromEllipse(EllipseParams ellipse);

// A pose of the disc: the world's up and the disc's top centre, in the camera frame.
struct DiscPose {
    double up[3];           // unit
    double centre[3];       // scene units
    double centreImage[2];  // source pixels, the pole of the vanishing line
};

// Both circular sections of the cone that the conic and the focal length span,
// scaled to the disc's radius and turned so the camera is above the disc.
// Returns the number of candidates written (2, or 0 when the conic is no ellipse
// seen in front of the camera).
int PoseCandidates(const Conic &conic, double focal, double ppx, double ppy, DiscPose candidates[2]);
// How nearly two poses' ups agree: their dot product.
double UpAlignment(const DiscPose &a, const DiscPose &b);
// Of two candidate poses, the one whose up is nearer the reference's (the first of two as near).
const DiscPose &NearestCandidate(const DiscPose candidates[2], const DiscPose &reference);

// The classic numbers of a pose: degrees and scene units, origin at the disc's
// centre on the ground, forward the camera's horizontal viewing direction.
struct RefinedCamera {
    double pitch;  // degrees, optical axis above the horizon
    double roll;   // degrees, positive turns the picture clockwise
    double dollyX;  // scene units, right
    double dollyY;  // scene units, height above the ground
    double dollyZ;  // scene units, backward
};
void CameraNumbers(const DiscPose &pose, RefinedCamera *camera);

// The light from the stick and its shadow.
struct RefinedLight {
    int32_t bearingFound;    // 1 when the shadow's line was found (yrot valid)
    int32_t elevationFound;  // 1 when stick top and shadow tip were found (xrot valid)
    int32_t elevationBound;  // 1 when the shadow leaves the disc: xrot is an upper bound on the elevation's size
    double xrot;             // degrees, minus the sun's elevation (or the bound)
    double yrot;             // degrees, toward the sun from the backward axis, counter-clockwise from above
    double stickTop[2];      // source pixels
    double shadowTip[2];     // source pixels
    double stickHeight;      // scene units
    double tipDistance;      // scene units from the disc's centre
    double stickRadius;      // scene units, half the shadow's width
    double shadowPoint[2];   // source pixels, a point on the shadow's line
    double xrotLocalSigma;   // degrees, from where the stick's top and the shadow's tip were found
    double yrotLocalSigma;   // degrees, from the spread of the shadow's cross profiles
    double shadeShare;       // the shadow's level over the lit disc's beside it, linear light; 0: not read
    double xrotSigma;        // degrees, all sources (RefinedUncertainty)
    double yrotSigma;        // degrees, all sources (RefinedUncertainty)
};

// The whole refined record.
struct RefinedEstimate {
    RefineStatus status;  // kRefineDone or the reason
    Lens lens;
    RimFit rim;
    DiscPose pose;
    RefinedCamera camera;
    RefinedCamera cameraSigma;  // one standard deviation of each number
    double distanceSigma;       // scene units
    double fov;                 // degrees along the long side
    double fovSigma;            // degrees
    int32_t wallTakenOff;       // 1 when the rim was fitted again without its lit side wall
    RefinedLight light;
    char note[256];
    LensDistortion distortion;  // the profile the measured points were undistorted with; model kDistortionNone: none
    double distortionUnitPixels;  // source pixels per unit of the profile's normalised radius on this photo
};

// Fills every deviation of a refined record (cameraSigma, distanceSigma,
// fovSigma, the light's xrotSigma and yrotSigma) from all the sources of
// error, with the lens' deviation given (r->lens.focalSigma in the record).
void RefinedUncertainty(const Photo *photo, double focalSigma, RefinedEstimate *r);

// Refines from the classic ellipse (work pixels at the given work scale) on the
// decoded photograph. Returns 1 when the camera was refined; otherwise 0 with
// status and note saying why. Never touches the classic results.
// hints (may be null) add the user's lens and the lens database's crop factor.
int RefineEstimate(const Photo *photo, EllipseParams classicWork, double workScale, RefinedEstimate *out,
                   const LensHints *hints = nullptr);

// Between the module's own files.

// Grey level (luminance, 0..255) at (x, y) by bilinear interpolation between
// pixel centres; 0 when the point has no four neighbours inside the photo.
int SampleGrey(const Photo *photo, double x, double y, double *grey);
// Whether a sample has four pixel centres around it, as SampleGrey asks; fx
// and fy are its place from the first pixel's centre, (x - 0.5, y - 0.5).
inline int GreyInside(const Photo *photo, double fx, double fy)
{
    if (!(fx >= 0.0 && fy >= 0.0))
        return 0;
    const double maxX = static_cast<double>(photo->width) - 1.0;
    const double maxY = static_cast<double>(photo->height) - 1.0;
    return fx < maxX && fy < maxY;
}

const double kGreyFullScale = 255.0;  // grey levels, SampleGrey's top (white), as an 8-bit channel's
// Linear light 0..1 of an 8-bit sRGB code, by the exact curve (a linear toe,
// then a 2.4 power), not a gamma of 2.2.
double LinearFromSrgb(double code);
const double kMadToSigma = 1.4826;  // median absolute deviation to standard deviation, normal noise
// 1 / sqrt(3): a spread uniform over +-x has the deviation x / sqrt(3), and
// one uniform over [0, x] the root mean square x / sqrt(3) about 0.
const double kUniformToSigma = 0.5773502691896258;

// The middle value (the upper one of an even count); 0 for none.
double Median(std::vector<double> values);
// The same for count values in place, which it reorders: for the hot loops,
// which keep one buffer rather than copy a vector per median.
double MedianInPlace(double *values, size_t count);

// The rim's ellipse through the points: direct fit, geometric refinement on
// the Sampson distances, outliers out, refined again. 1 with *fit written
// (all but normals), 0 with it untouched.
int FitRimEllipse(const double *x, const double *y, int count, RimFit *fit);
// The ellipse with one of (cx, cy, a, b, angle), by index, moved by `by`.
EllipseParams ShiftedEllipse(EllipseParams e, int parameter, double by);
const double kEllipseSteps[5] = {0.05, 0.05, 0.05, 0.05, 1e-4};  // px, px, px, px, radians: perturbation steps

// The dark band across a cross profile g: its darkest sample in [from, to),
// then the crossings of the level halfway between that and `beside`, as
// fractional sample indices. 0 when the band is less than minContrast below
// `beside` or reaches an end of the profile.
int DarkBandEdges(const std::vector<double> &g, int from, int to, double beside, double minContrast, double *left,
                  double *right);

// Greys read only where a search looks: every sample's place on the photo is
// decided first (a search drops a whole profile when one sample is off the
// photo), its grey (four pixels, twelve look-ups) only when asked for.
struct PlacedSample {
    double x, y;  // source pixels on the photo
    double grey;  // grey level, kUnreadGrey until read
};
const double kUnreadGrey = -1.0;  // below every grey level
// DarkBandEdges over all the placed samples, reading only the greys it weighs.
int PlacedBandEdges(const Photo *photo, std::vector<PlacedSample> *s, int from, int to, double beside,
                    double minContrast, double *left, double *right);

// The world's frame on the ground as the camera sees it, unit vectors in the
// camera frame: up, the camera's horizontal viewing direction (the optical
// axis with its height dropped), and right = forward x up.
struct GroundFrame {
    double up[3];
    double forward[3];
    double right[3];
};
void MakeGroundFrame(const DiscPose &pose, GroundFrame *frame);

// The disc's side wall below the rim shows where the rim faces the camera; lit
// by the sun it widens the bright disc outward.
struct WallLight {
    DiscPose pose;
    double focal;   // source pixels
    double sun[3];  // unit, toward the sun, camera frame
    double skyShare;  // the sky's share of the top's light (the shadow's level over the lit); 0: not known
};

// Resamples along the fit's normals, moves each edge point in (a wall
// brighter than the ground) or out (darker) by the share of the wall's image
// width that the wall's brightness carries, and fits again; 1 with *fit
// replaced, 0 with it untouched.
int RefitRimForWall(const Photo *photo, const WallLight &wall, RimFit *fit, const DistortionFrame *lens = nullptr);


// Root mean square error (source pixels) of a mid-level crossing read by
// linear interpolation between pixel centres, over where the edge falls in
// its pixel, for an edge of the given 75 %-25 % width.
double GridPhaseError(double edgeWidth);

// The light's angles (degrees) that its image points give under another
// pose and focal length; 1 with *xrot (0 without an elevation) and *yrot
// written, 0 when a point misses the disc's plane.
int LightAngles(const RefinedLight &light, const DiscPose &pose, double focal, double ppx, double ppy, double *xrot,
                double *yrot);

// Covariance of (cx, cy, a, b, angle) from what the rim's residuals do not
// show: the pixel grid's phase where the rim runs along it, and the side
// wall below the rim (the wall's light taken off, or not; wall.focal 0
// leaves the wall out), for the principal point (ppx, ppy).
void RimSystematicCovariance(const RimFit &fit, const WallLight &wall, double ppx, double ppy, int wallTakenOff,
                             double covariance[25]);

// Mean grey along the stick that the pose predicts, just above the disc; the
// right pose of the two finds the dark stick there.
// With lens, points of the pinhole picture are read where the lens put them.
double StickDarkness(const Photo *photo, const DiscPose &pose, double focal, double ppx, double ppy,
                     const DistortionFrame *lens = nullptr);

// Stick and shadow on the photo for the pose; what was not found is left 0.
RefinedLight MeasureLight(const Photo *photo, const DiscPose &pose, double focal,
                          const DistortionFrame *lens = nullptr);


// The lens read from the stick. The stick stands on the disc's normal n at its
// centre, so its image runs from the centre's image toward the vertical
// vanishing point K n; the rim's pose at focal length f gives n(f), and the
// lean measured on the photograph picks f.

// The stick's image line as measured, independent of any lens.
struct StickLine {
    double point[2];  // source pixels, on the line at the stick's base
    double angle;     // radians, of the direction up the stick, from +x toward +y
    double sigma;     // radians, one deviation of angle
    double span;      // source pixels along the stick over which it was measured
};

// Measures the stick's image line, looking for it around where either pose
// at that focal length puts it; 1 with *line written and *which the pose
// whose stick it is nearer.
int MeasureStickLine(const Photo *photo, const DiscPose candidates[2], double focal, StickLine *line, int *which);

struct StickLensFit {
    double focal;       // source pixels
    double focalSigma;  // source pixels, one deviation: the stick's direction and the rim's ellipse
    double leverage;    // radians, d(stick's image direction)/d(ln f) at focal
    DiscPose pose;      // the pose at focal whose stick leans as measured
    StickLine line;     // the stick as measured (ReadLensFromStick's; FocalFromStick leaves it)
};

// The focal length at which the rim's pose predicts the stick's image angle,
// on the branch of the two poses nearest the reference at the starting focal
// length; 1 with *fit written.
int FocalFromStick(const RimFit &rim, double ppx, double ppy, double stickAngle, double stickSigma, double focal,
                   const DiscPose &reference, StickLensFit *fit);
// d(stick's image direction)/d(ln f), radians, at a focal length on the pose's branch.
int StickLeverage(const Conic &conic, double focal, double ppx, double ppy, const DiscPose &pose, double *leverage);

enum StickLensStatus : int32_t {
    kStickLensRead = 0,
    kStickLensNotSeen = 1,              // no stick line was measured
    kStickLensNoFit = 2,                // no plausible lens leans the stick as measured
    kStickLensPoorlyConditioned = 3,    // the lean hardly changes with the lens: the marker near the picture's
                                        // vertical or horizontal through its centre
    kStickLensUncertain = 4,            // the lean read too loosely (a short or blurred stick) to tell the lens
};
// The stick's lens from the two poses at the starting focal length;
// kStickLensRead with *fit written, else why not.
StickLensStatus ReadLensFromStick(const Photo *photo, const RimFit &rim, const DiscPose candidates[2], double focal,
                                  StickLensFit *fit);
// The same measured stick solved again on another rim (refitted without its
// lit wall), from the last reading's focal length and pose; the same statuses.
StickLensStatus SolveLensFromStick(const RimFit &rim, double ppx, double ppy, const StickLensFit &last,
                                   StickLensFit *fit);
