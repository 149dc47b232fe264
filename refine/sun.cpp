// The light from the stick and its shadow: the stick's image and top, the
// shadow's bearing, width and tip on the disc, and the sun they give with
// its uncertainty; also which of the two poses shows the dark stick.
#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include <Eigen/Dense>

#include "common/numeric.h"
#include "refine/refine.h"

const double kStickStep = 0.25;           // source pixels between samples along the stick's image
const double kStickSideGap = 3.0;         // source pixels beside the stick's edge where the background is read
const double kStickProbeLow = 0.08;       // scene units above the disc where the stick is first read
const double kStickProbeHigh = 0.4;       // scene units above the disc, every stick is taller
const double kMinStickContrast = 30.0;    // grey levels between the stick and what is behind it
const double kStickRunOut = 3.0;          // source pixels the stick must stay lost to end there
const int kStickWidthHeights = 4;         // heights, evenly between the probe's ends, where the stick's width is read
const int kStickCrossSamples = 81;
const double kStickCrossSpan = 10.0;      // source pixels either side of the stick in a cross profile
const int kStickDarknessSamples = 16;     // intervals between the probe's ends where the stick's darkness is read
const double kShadowNear = 0.3;           // scene units from the centre where the shadow is first read
const double kShadowCoarseFar = 1.2;      // scene units, the coarse search reads up to here
const int kShadowCoarseSteps = 10;
const double kShadowHalfSpan = 0.4;       // scene units either side of the shadow's line in a cross profile
const int kShadowCrossSamples = 161;
const int kShadowCrossProfiles = 12;
const int kCoarseLeads = 40;              // rays the coarse search reads first, darkest near the centre first
const double kShadowStep = 0.002;         // scene units between samples along the shadow
const double kRimMargin = 0.05;           // scene units inside the rim where the shadow is still on the disc
const double kMinShadowContrast = 30.0;   // grey levels between the lit disc and the shadow
const double kBesideShadow = 0.3;         // scene units beside the shadow's line where the lit disc is read
const double kHalfDarkness = 0.5;         // the tip is where the normalised darkness falls to half
const double kFullTurnDegrees = 360.0;
// Source pixels: the stick's half width kept off the shadow's search when its
// width could not be read.
const double kFallbackStickHalfWidth = 2.0;
const double kEndlessStick = 1e9;         // source pixels, the stick's length when its top was not found

// A pose as the measurement reads it: the ground frame (up, back = -forward,
// right), the disc's top centre and the ground below it (scene units, camera
// frame), and the camera's focal length and principal point (source pixels).
struct ViewFrame {
    Eigen::Vector3d up, back, right, centre, ground;
    double focal, ppx, ppy;
    const DistortionFrame *lens;  // the lens' distortion, or null: the photo is the pinhole picture
    const Photo *photo;  // where the samples are read; null for geometry alone
};

static ViewFrame MakeViewFrame(const DiscPose &pose, double focal, double ppx, double ppy,
                               const DistortionFrame *lens, const Photo *photo)
{
    GroundFrame ground;
    MakeGroundFrame(pose, &ground);
    ViewFrame f;
    f.up = Eigen::Vector3d(ground.up[0], ground.up[1], ground.up[2]);
    f.back = -Eigen::Vector3d(ground.forward[0], ground.forward[1], ground.forward[2]);
    f.right = Eigen::Vector3d(ground.right[0], ground.right[1], ground.right[2]);
    f.centre = Eigen::Vector3d(pose.centre[0], pose.centre[1], pose.centre[2]);
    f.ground = f.centre - kDiscThickness * f.up;
    f.focal = focal;
    f.ppx = ppx;
    f.ppy = ppy;
    f.lens = lens;
    f.photo = photo;
    return f;
}

// Where the pinhole point (x, y) is read on the photo, through the lens when
// there is one; 0 when SampleGrey would find no four pixels around it.
static inline int PlaceOnPhoto(const ViewFrame &f, double x, double y, double place[2])
{
    if (f.lens != nullptr)
        DistortPoint(*f.lens, x, y, &x, &y);
    place[0] = x;
    place[1] = y;
    return GreyInside(f.photo, x - 0.5, y - 0.5);
}

// Places one more sample where the pinhole point (x, y) shows on the photo,
// unread; 0 with s untouched when it does not show.
static inline int AddPlace(const ViewFrame &f, double x, double y, std::vector<PlacedSample> *s)
{
    double place[2];
    if (!PlaceOnPhoto(f, x, y, place))
        return 0;
    s->push_back({place[0], place[1], kUnreadGrey});
    return 1;
}

// Sample k's grey, read on first asking. Greys are never below 0, so
// kUnreadGrey marks a sample not read yet.
static inline double ReadPlaced(const Photo *photo, std::vector<PlacedSample> *s, size_t k)
{
    PlacedSample &sample = (*s)[k];
    if (sample.grey == kUnreadGrey)
        SampleGrey(photo, sample.x, sample.y, &sample.grey);
    return sample.grey;
}

// Grey at a point of the pinhole picture, read where the lens put it on the
// photo: every place the light's search finds is then a pinhole point, the
// photo's own point undistorted.
static int GreyAt(const Photo *photo, const ViewFrame &f, double x, double y, double *grey)
{
    if (f.lens != nullptr)
        DistortPoint(*f.lens, x, y, &x, &y);
    return SampleGrey(photo, x, y, grey);
}

// Source pixels of a point in the camera frame; 0 when it is not in front of the camera.
static int Project(const ViewFrame &f, const Eigen::Vector3d &x, double p[2])
{
    if (!(x(2) > 0.0))
        return 0;
    p[0] = f.focal * x(0) / x(2) + f.ppx;
    p[1] = f.focal * x(1) / x(2) + f.ppy;
    return 1;
}

// The ray through an image point, at unit depth.
static Eigen::Vector3d Ray(const ViewFrame &f, double x, double y)
{
    return Eigen::Vector3d((x - f.ppx) / f.focal, (y - f.ppy) / f.focal, 1.0);
}

// Direction in the ground plane at bearing phi from the backward axis toward
// the right, from phi's cosine and sine.
static Eigen::Vector3d DirectionOf(const ViewFrame &f, double cosine, double sine)
{
    return cosine * f.back + sine * f.right;
}

static Eigen::Vector3d BearingDirection(const ViewFrame &f, double phi)
{
    return DirectionOf(f, std::cos(phi), std::sin(phi));
}

// The ground's directions at bearing phi: along it, and sideways toward phi
// + 90 degrees. Taken once per bearing: the searches read hundreds of points
// along one, and a sine and cosine cost more than the point itself.
struct Bearing {
    Eigen::Vector3d along, across;
};

static Bearing MakeBearing(const ViewFrame &f, double phi)
{
    Bearing b;
    b.along = BearingDirection(f, phi);
    b.across = BearingDirection(f, phi + kPi / 2.0);
    return b;
}

// The cosines and sines of every whole degree's bearing and of the bearing
// a quarter turn on, as MakeBearing takes them: the coarse search turns
// through the same whole-degree bearings in every frame.
const int kCoarseBearings = 360;  // whole degrees of bearing the coarse search turns through

struct DegreeTurns {
    double cosine[kCoarseBearings], sine[kCoarseBearings], crossCosine[kCoarseBearings], crossSine[kCoarseBearings];
};

static DegreeTurns MakeDegreeTurns()
{
    DegreeTurns t;
    for (int degree = 0; degree < kCoarseBearings; degree++) {
        const double phi = RadiansFromDegrees(degree);
        t.cosine[degree] = std::cos(phi);
        t.sine[degree] = std::sin(phi);
        t.crossCosine[degree] = std::cos(phi + kPi / 2.0);
        t.crossSine[degree] = std::sin(phi + kPi / 2.0);
    }
    return t;
}

// Filled before main, like the grey levels' look-ups.
static const DegreeTurns kDegreeTurns = MakeDegreeTurns();

static Bearing DegreeBearing(const ViewFrame &f, int degree)
{
    Bearing b;
    b.along = DirectionOf(f, kDegreeTurns.cosine[degree], kDegreeTurns.sine[degree]);
    b.across = DirectionOf(f, kDegreeTurns.crossCosine[degree], kDegreeTurns.crossSine[degree]);
    return b;
}

// The point on the bearing's line at distance r from the disc's centre.
static Eigen::Vector3d PointOnLine(const ViewFrame &f, const Bearing &b, double r)
{
    return f.centre + r * b.along;
}

// The point w sideways of one on the bearing's line: a profile across the
// line takes its point on the line once, the same sum PointOnDisc adds first.
static Eigen::Vector3d PointAside(const Eigen::Vector3d &onLine, const Bearing &b, double w)
{
    return onLine + w * b.across;
}

// A point on the disc's top at distance r along the bearing, offset w sideways.
static Eigen::Vector3d PointOnDisc(const ViewFrame &f, const Bearing &b, double r, double w)
{
    return PointAside(PointOnLine(f, b, r), b, w);
}

// Grey level where a scene point shows; 0 when it does not show on the photo.
static int GreyOfPoint(const Photo *photo, const ViewFrame &f, const Eigen::Vector3d &x, double *grey)
{
    double p[2];
    return Project(f, x, p) && GreyAt(photo, f, p[0], p[1], grey);
}

// Runs of samples along a straight line in the scene, each sample's point
// computed by the same rounded sums and products of an offset that grows
// with the sample's index: every rounded operation is monotone in each
// operand, so each coordinate of a sample in the run lies between the run's
// first and last samples' own. Project is monotone in each coordinate with
// the others held (while the depth is positive), and so are the photo's and
// the stick's tests of a place, so a test passed at the corners of the box
// the run's ends span is passed by every sample in the run.
const size_t kRunSamples = 32;  // samples a run's test answers for at once

// The bounds of Project over the box between camera-frame points a and b;
// 0 when the box reaches the camera's plane or the photo is seen through a
// lens (which bends the line).
static int ProjectedBox(const ViewFrame &f, const Eigen::Vector3d &a, const Eigen::Vector3d &b, double low[2],
                        double high[2])
{
    if (f.lens != nullptr || !(f.focal > 0.0) || !a.allFinite() || !b.allFinite())
        return 0;
    const double depths[2] = {std::min(a(2), b(2)), std::max(a(2), b(2))};
    if (!(depths[0] > 0.0))
        return 0;
    const double centres[2] = {f.ppx, f.ppy};
    for (int axis = 0; axis < 2; axis++) {
        low[axis] = HUGE_VAL;
        high[axis] = -HUGE_VAL;
        for (double x : {a(axis), b(axis)})
            for (double z : depths) {
                const double p = f.focal * x / z + centres[axis];  // as Project takes it
                low[axis] = std::min(low[axis], p);
                high[axis] = std::max(high[axis], p);
            }
    }
    return 1;
}

// 1 when every sample of the run from a to b shows on the photo.
static int RunShows(const ViewFrame &f, const Eigen::Vector3d &a, const Eigen::Vector3d &b)
{
    double low[2], high[2], place[2];
    return ProjectedBox(f, a, b, low, high) && PlaceOnPhoto(f, low[0], low[1], place) &&
           PlaceOnPhoto(f, high[0], high[1], place);
}

// The median absolute deviation from the values' median m as a standard deviation.
static double MadSigma(const std::vector<double> &values, double m)
{
    std::vector<double> d(values.size());
    for (size_t i = 0; i < values.size(); i++)
        d[i] = std::fabs(values[i] - m);
    return kMadToSigma * MedianInPlace(d.data(), d.size());
}

// The stick's image: from the image of the disc's centre along the image of the vertical.
struct StickImage {
    double base[2];       // source pixels
    double direction[2];  // unit, in the image
    double halfWidth;     // source pixels
};

// Where the pose's stick shows; its width is read later. 0 when it shows under a pixel long.
static int StickImageOfPose(const ViewFrame &f, StickImage *stick)
{
    double low[2], high[2];
    if (!Project(f, f.centre, low) || !Project(f, f.centre + kStickProbeHigh * f.up, high))
        return 0;
    const double dx = high[0] - low[0], dy = high[1] - low[1];
    const double n = std::hypot(dx, dy);
    if (!(n > 1.0))
        return 0;
    stick->base[0] = low[0];
    stick->base[1] = low[1];
    stick->direction[0] = dx / n;
    stick->direction[1] = dy / n;
    stick->halfWidth = 0.0;
    return 1;
}

// Mean grey along the pose's stick from kStickProbeLow to kStickProbeHigh:
// the right pose puts the dark stick there.
double StickDarkness(const Photo *photo, const DiscPose &pose, double focal, double ppx, double ppy,
                     const DistortionFrame *lens)
{
    const ViewFrame f = MakeViewFrame(pose, focal, ppx, ppy, lens, photo);
    double sum = 0.0;
    int count = 0;
    for (int i = 0; i <= kStickDarknessSamples; i++) {
        const double h = kStickProbeLow + (kStickProbeHigh - kStickProbeLow) * i / kStickDarknessSamples;
        double grey;
        if (GreyOfPoint(photo, f, f.centre + h * f.up, &grey)) {
            sum += grey;
            count++;
        }
    }
    return count > 0 ? sum / count : kGreyFullScale;
}

// A cross profile's greys for the dark band's search: read already (whole),
// or read from placed samples as the search comes to them.
struct BandProfile {
    const double *whole;          // or null
    const Photo *photo;           // with placed, where whole is null
    std::vector<PlacedSample> *placed;
};

static inline double BandGrey(const BandProfile &p, int k)
{
    return p.whole != nullptr ? p.whole[k] : ReadPlaced(p.photo, p.placed, static_cast<size_t>(k));
}

// Walking out from the darkest sample either way; every grey it weighs is
// read on the way, so a placed sample's grey is read only if looked at.
static inline int BandEdges(const BandProfile &p, int count, int from, int to, double beside, double minContrast,
                            double *left, double *right)
{
    const int last = count - 1;
    // The first of the darkest, as std::min_element takes it.
    int dark = from;
    double darkest;
    if (p.whole != nullptr) {
        dark = static_cast<int>(std::min_element(p.whole + from, p.whole + to) - p.whole);
        darkest = p.whole[dark];
    } else {
        darkest = BandGrey(p, from);
        for (int k = from + 1; k < to; k++) {
            const double g = BandGrey(p, k);
            if (g < darkest) {
                dark = k;
                darkest = g;
            }
        }
    }
    const double mid = 0.5 * (beside + darkest);
    if (beside - darkest < minContrast)
        return 0;
    int l = dark, r = dark;
    while (l > 0 && BandGrey(p, l) < mid)
        l--;
    while (r < last && BandGrey(p, r) < mid)
        r++;
    if (l == 0 || r == last)
        return 0;
    const double gl = BandGrey(p, l), gr = BandGrey(p, r);
    *left = l + (gl - mid) / (gl - BandGrey(p, l + 1));
    *right = r - (gr - mid) / (gr - BandGrey(p, r - 1));
    return 1;
}

int DarkBandEdges(const std::vector<double> &g, int from, int to, double beside, double minContrast, double *left,
                  double *right)
{
    const BandProfile p = {g.data(), nullptr, nullptr};
    return BandEdges(p, static_cast<int>(g.size()), from, to, beside, minContrast, left, right);
}

int PlacedBandEdges(const Photo *photo, std::vector<PlacedSample> *s, int from, int to, double beside,
                    double minContrast, double *left, double *right)
{
    const BandProfile p = {nullptr, photo, s};
    return BandEdges(p, static_cast<int>(s->size()), from, to, beside, minContrast, left, right);
}

// Half width of the dark band across the stick: the median over a few
// heights of the band's two edges against the brighter side.
static double StickHalfWidth(const Photo *photo, const ViewFrame &f, const StickImage &s)
{
    std::vector<double> widths;
    std::vector<PlacedSample> cross;
    cross.reserve(kStickCrossSamples);
    for (int i = 1; i <= kStickWidthHeights; i++) {
        const double h = kStickProbeLow + (kStickProbeHigh - kStickProbeLow) * i / (kStickWidthHeights + 1.0);
        double p[2];
        if (!Project(f, f.centre + h * f.up, p))
            continue;
        cross.clear();
        int ok = 1;
        for (int k = 0; k < kStickCrossSamples && ok; k++) {
            const double o = -kStickCrossSpan + 2.0 * kStickCrossSpan * k / (kStickCrossSamples - 1);
            ok = AddPlace(f, p[0] - o * s.direction[1], p[1] + o * s.direction[0], &cross);
        }
        if (!ok)
            continue;
        // The darkest sample is looked for in the middle half, both ends in.
        const int quarter = kStickCrossSamples / 4;
        const double beside = std::max(ReadPlaced(photo, &cross, 0), ReadPlaced(photo, &cross, kStickCrossSamples - 1));
        double left, right;
        if (!PlacedBandEdges(photo, &cross, quarter, kStickCrossSamples - quarter, beside, kMinStickContrast, &left,
                             &right))
            continue;
        const double step = 2.0 * kStickCrossSpan / (kStickCrossSamples - 1);
        widths.push_back(0.5 * (right - left) * step);
    }
    return widths.empty() ? 0.0 : Median(widths);
}

// The walk out along the stick's image: at each step the grey on it and the
// brighter of the two beside it. It goes only as far as the search for the
// top reads, not on to the picture's border.
struct StickWalk {
    double t;      // source pixels from the stick's base to the next step
    int ended;     // 1 once a step left the photo
    double side;   // source pixels from the stick's axis to where the background is read
    std::vector<double> along, profile, background;
    std::vector<double> sides;  // grey levels, |left - right| beside each step
};

// Walks on until count steps are taken or a step leaves the photo; 1 when
// the walk holds count steps.
static int WalkStick(const Photo *photo, const ViewFrame &f, const StickImage &s, size_t count, StickWalk *walk)
{
    while (walk->profile.size() < count && !walk->ended) {
        const double t = walk->t;
        const double x = s.base[0] + t * s.direction[0], y = s.base[1] + t * s.direction[1];
        double g, l, r;
        if (!GreyAt(photo, f, x, y, &g) ||
            !GreyAt(photo, f, x - walk->side * s.direction[1], y + walk->side * s.direction[0], &l) ||
            !GreyAt(photo, f, x + walk->side * s.direction[1], y - walk->side * s.direction[0], &r)) {
            walk->ended = 1;
            break;
        }
        walk->along.push_back(t);
        walk->profile.push_back(g);
        walk->background.push_back(std::max(l, r));
        walk->sides.push_back(std::fabs(l - r));
        walk->t += kStickStep;
    }
    return walk->profile.size() >= count;
}

// The silhouette's top is the far rim of the stick's flat top cap, and the
// last stretch below it is the cap itself, seen at the depression d of the
// ray: a disc of the stick's radius rho foreshortened to a depth of
// 2 rho sin d, so its middle lies halfWidth * sin d source pixels inside
// the top. The sun lights that cap (its normal is the vertical) unlike the
// stick's side, so the edge steps from the cap's level C to the background
// B, not from the stick's level S. The edge's middle is the level (B + C) / 2;
// the crossing is read at (B + S) / 2, which lies (S - C) / 2 grey levels
// away, so along a ramp of slope g (grey levels per pixel) the crossing
// moves by
//     shift = |S - C| / (2 g)   source pixels.
// The ramp's true shape (the renderer's filter, JPEG) is not known well
// enough to correct by it, so the shift counts as the top's deviation.
static double CapToneShift(const Photo *photo, const ViewFrame &f, const StickImage &s, double stick, double slope,
                           const double top[2])
{
    const Eigen::Vector3d ray = Ray(f, top[0], top[1]).normalized();
    const double inside = s.halfWidth * std::fabs(ray.dot(f.up));
    double cap;
    if (!(slope > 0.0) ||
        !GreyAt(photo, f, top[0] - inside * s.direction[0], top[1] - inside * s.direction[1], &cap))
        return 0.0;
    return std::fabs(stick - cap) / (2.0 * slope);
}

// The stick's top: walking out along its image, the first place where its
// darkness against the background beside it falls to half and stays there.
static int FindStickTop(const Photo *photo, const ViewFrame &f, StickImage *s, double top[2], double *sigma)
{
    s->halfWidth = StickHalfWidth(photo, f, *s);
    if (!(s->halfWidth > 0.0))
        return 0;
    double lowPoint[2], highPoint[2];
    if (!Project(f, f.centre + kStickProbeLow * f.up, lowPoint) ||
        !Project(f, f.centre + kStickProbeHigh * f.up, highPoint))
        return 0;
    StickWalk walk;
    walk.t = std::hypot(lowPoint[0] - s->base[0], lowPoint[1] - s->base[1]);
    walk.ended = 0;
    walk.side = s->halfWidth + kStickSideGap;
    const double probe = std::hypot(highPoint[0] - s->base[0], highPoint[1] - s->base[1]);
    // The stick's own level from the steps up to the probe's top.
    while (walk.t <= probe && WalkStick(photo, f, *s, walk.profile.size() + 1, &walk)) {
    }
    const std::vector<double> stickLevels = walk.profile;
    if (stickLevels.size() < 4)
        return 0;
    const double stick = Median(stickLevels);
    const std::vector<double> &along = walk.along, &profile = walk.profile, &background = walk.background;
    const int runOut = static_cast<int>(kStickRunOut / kStickStep);
    for (size_t i = stickLevels.size(); WalkStick(photo, f, *s, i + runOut + 1, &walk); i++) {
        auto darkness = [&](size_t k) { return (background[k] - profile[k]) / (background[k] - stick); };
        if (background[i] - stick < kMinStickContrast)
            return 0;
        if (darkness(i - 1) >= kHalfDarkness && darkness(i) < kHalfDarkness) {
            int stays = 1;
            for (int k = 1; k <= runOut && stays; k++)
                stays = darkness(i + k) < kHalfDarkness;
            if (!stays)
                continue;
            const double d0 = darkness(i - 1), d1 = darkness(i);
            const double t = along[i - 1] + (along[i] - along[i - 1]) * (d0 - kHalfDarkness) / (d0 - d1);
            top[0] = s->base[0] + t * s->direction[0];
            top[1] = s->base[1] + t * s->direction[1];
            const double slope = std::fabs(profile[i] - profile[i - 1]) / kStickStep;
            // The crossing of d = (B - P) / (B - S) = 1/2 moves by
            //     dt = (-dP + dB / 2 + dS / 2) / g
            // for errors dP in the profile, dB in the background under the
            // axis and dS in the stick's level, g the profile's slope. The
            // background is read `side` pixels beside the axis; two sides
            // drawn alike about the axis' value differ by sqrt(2) sigma_B,
            // so sigma_B = 1.4826 median |l - r| / sqrt(2) (texture, noise,
            // a gradient across the stick alike).
            const double sideSigma =
                kMadToSigma * MedianInPlace(walk.sides.data(), walk.sides.size()) / std::sqrt(2.0);
            const double levels = std::hypot(MadSigma(stickLevels, stick), 0.5 * sideSigma);
            const double located = std::max(GridPhaseError(0.0), slope > 0.0 ? levels / slope : 1.0);
            *sigma = std::hypot(located, CapToneShift(photo, f, *s, stick, slope, top));
            return 1;
        }
    }
    return 0;
}

// Height above the ground of the stick's top seen at an image point. The top
// is a disc of the stick's radius; the point of it that shows highest in the
// picture is its far edge, away from the camera, so the ray through the
// image point is met on the vertical through ground + radius b (b the
// horizontal direction from the camera to the stick): least squares in
// (h, s) of ground + radius b + h up = s ray.
static double HeightOnVertical(const ViewFrame &f, double radius, double x, double y)
{
    const Eigen::Vector3d r = Ray(f, x, y);
    Eigen::Vector3d away = f.ground - f.ground.dot(f.up) * f.up;
    away.normalize();
    const Eigen::Vector3d foot = f.ground + radius * away;
    Eigen::Matrix<double, 3, 2> m;
    m.col(0) = f.up;
    m.col(1) = -r;
    const Eigen::Vector2d hs = (m.transpose() * m).ldlt().solve(m.transpose() * (-foot));
    return hs(0);
}

// 1 when the image point lies on the stick's image (within its width and a
// margin), from its base up to its top, or without end when the top is unknown.
static inline int OnStick(const StickImage &s, double stickLength, const double p[2])
{
    const double dx = p[0] - s.base[0], dy = p[1] - s.base[1];
    const double along = dx * s.direction[0] + dy * s.direction[1];
    const double across = std::fabs(-dx * s.direction[1] + dy * s.direction[0]);
    return along > -s.halfWidth && along < stickLength + s.halfWidth && across < s.halfWidth + kStickSideGap;
}

// One coarse ray: how many of its samples are looked at, how many of those
// show (on the photo, off the stick), and their greys summed in order.
struct CoarseRay {
    Bearing bearing;
    int degree, next, count;
    double sum;  // grey levels
};

// Looks at the ray's next sample, and reads it where it shows.
static void StepAlong(const Photo *photo, const ViewFrame &f, const StickImage &s, double stickLength, CoarseRay *ray)
{
    const int k = ray->next++;
    const double r = kShadowNear + (kShadowCoarseFar - kShadowNear) * k / (kShadowCoarseSteps - 1);
    double p[2], g;
    if (!Project(f, PointOnDisc(f, ray->bearing, r, 0.0), p) || OnStick(s, stickLength, p) ||
        !GreyAt(photo, f, p[0], p[1], &g))
        return;
    ray->sum += g;
    ray->count++;
}

// Goes on along the ray while it can still beat the best so far (the lowest
// degree wins a tie); 1 with its mean once it is read whole, 0 once it
// cannot win. Greys are never negative and rounding is monotone, so the
// running sum never falls as samples are added, and over the most samples
// the ray can still show it bounds the mean from below.
static int CoarseMean(const Photo *photo, const ViewFrame &f, const StickImage &s, double stickLength, double best,
                      int bestDegree, CoarseRay *ray, double *mean)
{
    for (;;) {
        const int most = ray->count + kShadowCoarseSteps - ray->next;
        if (most < kShadowCoarseSteps / 2)
            return 0;
        const double below = ray->sum / most;
        if (below > best || (below == best && ray->degree > bestDegree))
            return 0;
        if (ray->next == kShadowCoarseSteps) {
            *mean = below;
            return 1;
        }
        StepAlong(photo, f, s, stickLength, ray);
    }
}

// Coarse bearing of the shadow: the darkest ray of whole degrees near the
// centre, the first of the darkest alike whatever order the rays are read
// in. The rays whose nearest grey is the darkest are read first, so that
// the others mostly stop after a few greys against the best of them.
static int CoarseShadowBearing(const Photo *photo, const ViewFrame &f, const StickImage &s, double stickLength,
                               double *phi)
{
    CoarseRay rays[kCoarseBearings];
    // The rays that may show enough samples, the leads among them sorted by their nearest grey.
    std::pair<double, int> order[kCoarseBearings];
    int candidates = 0;
    for (int degree = 0; degree < kCoarseBearings; degree++) {
        CoarseRay &ray = rays[degree];
        ray = {DegreeBearing(f, degree), degree, 0, 0, 0.0};
        while (ray.count == 0 && ray.next < kShadowCoarseSteps)
            StepAlong(photo, f, s, stickLength, &ray);
        if (ray.count > 0 && ray.count + kShadowCoarseSteps - ray.next >= kShadowCoarseSteps / 2)
            order[candidates++] = {ray.sum, degree};
    }
    std::partial_sort(order, order + std::min(candidates, kCoarseLeads), order + candidates);
    double best = HUGE_VAL;  // grey levels, above any
    int bestDegree = -1;
    for (int n = 0; n < candidates; n++) {
        const int degree = order[n].second;
        double mean;
        if (CoarseMean(photo, f, s, stickLength, best, bestDegree, &rays[degree], &mean) &&
            (mean < best || (mean == best && degree < bestDegree))) {
            best = mean;
            bestDegree = degree;
        }
    }
    if (bestDegree < 0)
        return 0;
    *phi = RadiansFromDegrees(bestDegree);
    return 1;
}

// 1 when no place in the box from low to high lies on the stick: OnStick's
// along and across are monotone in each coordinate of the place with the
// other held, so the box's corners bound them.
static int BoxOffStick(const StickImage &s, double stickLength, const double low[2], const double high[2])
{
    double alongLow = HUGE_VAL, alongHigh = -HUGE_VAL, acrossLow = HUGE_VAL, acrossHigh = -HUGE_VAL;
    for (double x : {low[0], high[0]})
        for (double y : {low[1], high[1]}) {
            // As OnStick takes them, across before its magnitude.
            const double dx = x - s.base[0], dy = y - s.base[1];
            const double along = dx * s.direction[0] + dy * s.direction[1];
            const double across = -dx * s.direction[1] + dy * s.direction[0];
            alongLow = std::min(alongLow, along);
            alongHigh = std::max(alongHigh, along);
            acrossLow = std::min(acrossLow, across);
            acrossHigh = std::max(acrossHigh, across);
        }
    const double side = s.halfWidth + kStickSideGap;
    return alongHigh <= -s.halfWidth || alongLow >= stickLength + s.halfWidth || acrossLow >= side ||
           acrossHigh <= -side;
}

// Sideways offset of sample k of a cross profile of the shadow, scene units.
static double ShadowCrossOffset(size_t k)
{
    return -kShadowHalfSpan + 2.0 * kShadowHalfSpan * static_cast<int>(k) / (kShadowCrossSamples - 1);
}

// Places the samples [first, last] of the cross profile through onLine; 0
// when one of them does not show or lies on the stick.
static int PlaceAcross(const ViewFrame &f, const StickImage &s, double stickLength, const Bearing &bearing,
                       const Eigen::Vector3d &onLine, size_t first, size_t last, std::vector<PlacedSample> *cross)
{
    double low[2], high[2], place[2];
    const int clear = ProjectedBox(f, PointAside(onLine, bearing, ShadowCrossOffset(first)),
                                   PointAside(onLine, bearing, ShadowCrossOffset(last)), low, high) &&
                      PlaceOnPhoto(f, low[0], low[1], place) && PlaceOnPhoto(f, high[0], high[1], place) &&
                      BoxOffStick(s, stickLength, low, high);
    for (size_t k = first; k <= last; k++) {
        double p[2];
        if (!Project(f, PointAside(onLine, bearing, ShadowCrossOffset(k)), p))
            return 0;
        if (clear) {
            (*cross)[k] = {p[0], p[1], kUnreadGrey};  // no lens: the place is the point
            continue;
        }
        if (OnStick(s, stickLength, p) || !PlaceOnPhoto(f, p[0], p[1], place))
            return 0;
        (*cross)[k] = {place[0], place[1], kUnreadGrey};
    }
    return 1;
}

// Cross profiles of the shadow at several distances: the middle between its
// two mid-level edges gives the bearing's correction, their spacing the
// shadow's width (the stick's diameter, for parallel light on a plane).
static int RefineShadowBearing(const Photo *photo, const ViewFrame &f, const StickImage &s, double stickLength,
                               double far, double *phi, double *halfWidth, double *sigma)
{
    std::vector<double> turns, widths;
    const Bearing bearing = MakeBearing(f, *phi);
    std::vector<PlacedSample> cross(kShadowCrossSamples);
    for (int j = 0; j < kShadowCrossProfiles; j++) {
        const double r = kShadowNear + (far - kShadowNear) * (j + 0.5) / kShadowCrossProfiles;
        const Eigen::Vector3d onLine = PointOnLine(f, bearing, r);
        int ok = 1;
        for (size_t first = 0; first < cross.size() && ok; first += kRunSamples)
            ok = PlaceAcross(f, s, stickLength, bearing, onLine, first, std::min(first + kRunSamples, cross.size()) - 1,
                             &cross);
        if (!ok)
            continue;
        // Against the darker side: the lit disc on both sides of the shadow.
        const int centre = kShadowCrossSamples / 2;
        const int quarter = kShadowCrossSamples / 4;
        const double beside =
            std::min(ReadPlaced(photo, &cross, 0), ReadPlaced(photo, &cross, kShadowCrossSamples - 1));
        double leftIndex, rightIndex;
        if (!PlacedBandEdges(photo, &cross, quarter, 3 * quarter, beside, kMinShadowContrast, &leftIndex, &rightIndex))
            continue;
        const double step = 2.0 * kShadowHalfSpan / (kShadowCrossSamples - 1);
        const double left = (leftIndex - centre) * step;
        const double right = (rightIndex - centre) * step;
        turns.push_back(std::atan2(0.5 * (left + right), r));
        widths.push_back(0.5 * (right - left));
    }
    if (turns.size() < 3)
        return 0;
    double mean = 0.0;
    for (double t : turns)
        mean += t;
    mean /= turns.size();
    double spread = 0.0;
    for (double t : turns)
        spread += (t - mean) * (t - mean);
    *sigma = std::sqrt(spread / (turns.size() - 1) / turns.size());
    *phi += mean;
    *halfWidth = Median(widths);
    return 1;
}

// The shadow's tip along its line: darkness normalised between the lit disc
// beside the line and the shadow near the centre, first falling to half.
// Returns 1 with *tip written, 2 when the shadow is still dark at the rim, 0
// when there is no shadow to follow.
// *shade: the shadow's level near the stick over the lit disc's beside it,
// the share of the light on level ground that comes from the sky.
// Every step must show on the photo, but the greys past the tip are never
// weighed: they are read only as the search comes to them.
static int FindShadowTip(const Photo *photo, const ViewFrame &f, double phi, double halfWidth, double *tip,
                         double *sigma, double *shade)
{
    std::vector<double> shadow;
    const double beside = std::max(kBesideShadow, 3.0 * halfWidth);
    const double offsets[3] = {0.0, beside, -beside};  // on the shadow's line, and to either side
    std::vector<double> rs;
    rs.reserve(static_cast<size_t>((kDiscRadius - kRimMargin - kShadowNear) / kShadowStep) + 2);
    for (double r = kShadowNear; r <= kDiscRadius - kRimMargin; r += kShadowStep)
        rs.push_back(r);
    const Bearing bearing = MakeBearing(f, phi);
    // Every step must show; a run's ends mostly answer for the steps between.
    for (size_t first = 0; first < rs.size(); first += kRunSamples) {
        const size_t last = std::min(first + kRunSamples, rs.size()) - 1;
        for (double w : offsets) {
            if (RunShows(f, PointOnDisc(f, bearing, rs[first], w), PointOnDisc(f, bearing, rs[last], w)))
                continue;
            for (size_t i = first; i <= last; i++) {
                double p[2], place[2];
                if (!Project(f, PointOnDisc(f, bearing, rs[i], w), p) || !PlaceOnPhoto(f, p[0], p[1], place))
                    return 0;
            }
        }
    }
    std::vector<double> g, lit;  // grey levels, read up to the step the search has come to
    auto readTo = [&](size_t i) {
        for (size_t k = g.size(); k <= i; k++) {
            const Eigen::Vector3d onLine = PointOnLine(f, bearing, rs[k]);
            double grey[3];
            for (int j = 0; j < 3; j++)
                GreyOfPoint(photo, f, PointAside(onLine, bearing, offsets[j]), &grey[j]);
            g.push_back(grey[0]);
            lit.push_back(std::max(grey[1], grey[2]));
        }
    };
    // The shadow's level from its first stretch.
    for (size_t i = 0; i < rs.size() && rs[i] < 2.0 * kShadowNear; i++) {
        readTo(i);
        shadow.push_back(g[i]);
    }
    if (shadow.size() < 4)
        return 0;
    const double dark = Median(shadow);
    std::vector<double> litNear(lit.begin(), lit.begin() + static_cast<long>(shadow.size()));
    const double litLevel = MedianInPlace(litNear.data(), litNear.size());
    *shade = litLevel > 0.0 ? std::max(0.0, std::min(1.0, dark / litLevel)) : 0.0;
    for (size_t i = 1; i < rs.size(); i++) {
        readTo(i);
        if (lit[i] - dark < kMinShadowContrast)
            return 0;
        const double d0 = (lit[i - 1] - g[i - 1]) / (lit[i - 1] - dark), d1 = (lit[i] - g[i]) / (lit[i] - dark);
        if (d0 >= kHalfDarkness && d1 < kHalfDarkness) {
            *tip = rs[i - 1] + (rs[i] - rs[i - 1]) * (d0 - kHalfDarkness) / (d0 - d1);
            const double slope = std::fabs(g[i] - g[i - 1]) / kShadowStep;
            // Scene units per source pixel along the shadow at the tip.
            double near[2], far[2];
            double perPixel = kShadowStep;
            if (Project(f, PointOnDisc(f, bearing, *tip, 0.0), near) &&
                Project(f, PointOnDisc(f, bearing, *tip + kShadowStep, 0.0), far))
                perPixel = kShadowStep / std::max(1e-9, std::hypot(far[0] - near[0], far[1] - near[1]));
            *sigma =
                std::max(GridPhaseError(0.0) * perPixel, slope > 0.0 ? MadSigma(shadow, dark) / slope : kShadowStep);
            return 1;
        }
    }
    return 2;
}

// The angle brought into (-180, 180] degrees.
static double WrappedDegrees(double degrees)
{
    double d = std::fmod(degrees, kFullTurnDegrees);
    if (d > kHalfTurnDegrees)
        d -= kFullTurnDegrees;
    if (d <= -kHalfTurnDegrees)
        d += kFullTurnDegrees;
    return d;
}

// A single crossing is not known better than the pixel grid's phase lets it
// be read: the sharpest edge's error (GridPhaseError(0)), whatever the noise says.

// The sun from the stick's top (height h above the ground on the vertical
// through the centre) and the shadow's tip at distance R on the disc's top:
// tan(elevation) = (h - thickness) / R; it shines from the bearing opposite the shadow.
RefinedLight MeasureLight(const Photo *photo, const DiscPose &pose, double focal, const DistortionFrame *lens)
{
    RefinedLight light = {};
    const ViewFrame f = MakeViewFrame(pose, focal, photo->width / 2.0, photo->height / 2.0, lens, photo);
    StickImage stick;
    if (!StickImageOfPose(f, &stick))
        return light;
    double top[2] = {0.0, 0.0}, topSigma = 0.0;
    const int topFound = FindStickTop(photo, f, &stick, top, &topSigma);
    if (!(stick.halfWidth > 0.0))
        stick.halfWidth = kFallbackStickHalfWidth;
    const double stickLength = topFound ? std::hypot(top[0] - stick.base[0], top[1] - stick.base[1]) : kEndlessStick;
    double phi = 0.0, shadowHalfWidth = 0.0, bearingSigma = 0.0;
    if (!CoarseShadowBearing(photo, f, stick, stickLength, &phi))
        return light;
    for (int round = 0; round < 2; round++)
        if (!RefineShadowBearing(photo, f, stick, stickLength, kShadowCoarseFar, &phi, &shadowHalfWidth, &bearingSigma))
            return light;
    light.bearingFound = 1;
    light.yrot = WrappedDegrees(DegreesFromRadians(phi) + kHalfTurnDegrees);
    light.yrotLocalSigma = DegreesFromRadians(bearingSigma);
    Project(f, PointOnDisc(f, MakeBearing(f, phi), kShadowCoarseFar, 0.0), light.shadowPoint);
    double tip = 0.0, tipSigma = 0.0, shade = 0.0;
    const int tipState = FindShadowTip(photo, f, phi, shadowHalfWidth, &tip, &tipSigma, &shade);
    light.shadeShare = shade;
    if (tipState == 0 || !topFound)
        return light;
    const double height = HeightOnVertical(f, shadowHalfWidth, top[0], top[1]);
    light.stickTop[0] = top[0];
    light.stickTop[1] = top[1];
    light.stickHeight = height;
    light.stickRadius = shadowHalfWidth;
    if (!(height > kDiscThickness))
        return light;
    if (tipState == 2) {
        light.elevationBound = 1;
        light.xrot = -DegreesFromRadians(std::atan2(height - kDiscThickness, kDiscRadius));
        return light;
    }
    // The shadow of the top's disc is the same disc moved along the light, so
    // its end lies one radius beyond the shadow of the stick's axis.
    tip -= shadowHalfWidth;
    double tipImage[2] = {0.0, 0.0};
    Project(f, PointOnDisc(f, MakeBearing(f, phi), tip, 0.0), tipImage);
    light.shadowTip[0] = tipImage[0];
    light.shadowTip[1] = tipImage[1];
    light.tipDistance = tip;
    light.elevationFound = 1;
    const double rise = height - kDiscThickness;
    light.xrot = -DegreesFromRadians(std::atan2(rise, tip));
    // d(elevation) = (R dh - h dR) / (R^2 + h^2); the top's image error moves h
    // by the height change of one pixel along the stick.
    double nudged = HeightOnVertical(f, shadowHalfWidth, top[0] + stick.direction[0], top[1] + stick.direction[1]);
    const double heightSigma = std::fabs(nudged - height) * topSigma;
    const double denominator = tip * tip + rise * rise;
    light.xrotLocalSigma = DegreesFromRadians(std::hypot(tip * heightSigma, rise * tipSigma) / denominator);
    return light;
}

// The disc's top plane met by the ray through an image point; 0 when it is not met in front.
static int OnDiscPlane(const ViewFrame &f, const double p[2], Eigen::Vector3d *x)
{
    const Eigen::Vector3d r = Ray(f, p[0], p[1]);
    const double along = f.up.dot(r);
    if (!(std::fabs(along) > 0.0))
        return 0;
    const double depth = f.up.dot(f.centre) / along;
    if (!(depth > 0.0))
        return 0;
    *x = depth * r;
    return 1;
}

// The bearing is the angle of the shadow point's place on the disc from the
// backward axis toward the right, turned half a turn; the elevation is
// atan((h - thickness) / R) with h the top's height on the vertical and R
// the tip's distance from the centre, as MeasureLight takes them.
int LightAngles(const RefinedLight &light, const DiscPose &pose, double focal, double ppx, double ppy, double *xrot,
                double *yrot)
{
    // The light's points are pinhole points already: geometry alone, no lens.
    const ViewFrame f = MakeViewFrame(pose, focal, ppx, ppy, nullptr, nullptr);
    Eigen::Vector3d point;
    if (!OnDiscPlane(f, light.shadowPoint, &point))
        return 0;
    const Eigen::Vector3d along = point - f.centre;
    *yrot = WrappedDegrees(DegreesFromRadians(std::atan2(along.dot(f.right), along.dot(f.back))) + kHalfTurnDegrees);
    *xrot = 0.0;
    if (!light.elevationFound)
        return 1;
    Eigen::Vector3d tip;
    if (!OnDiscPlane(f, light.shadowTip, &tip))
        return 0;
    const double height = HeightOnVertical(f, light.stickRadius, light.stickTop[0], light.stickTop[1]);
    *xrot = -DegreesFromRadians(std::atan2(height - kDiscThickness, (tip - f.centre).norm()));
    return 1;
}
