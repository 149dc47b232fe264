// The rim on the photograph: grey levels in linear light, the mid-level
// crossings between disc and ground along the ellipse's normals, the shaded
// stretches left out, and the edge points moved in for the disc's lit wall.
#include <algorithm>
#include <cmath>
#include <vector>

#include <Eigen/Dense>

#include "common/numeric.h"
#include "refine/refine.h"

// Relative luminance of linear light (Rec. 709 primaries, as sRGB's). The
// grey levels are read in linear light, scaled to 0..255: a rendered or
// photographed edge mixes light linearly inside a pixel, so only there does
// the mid-level crossing sit on the edge itself (in sRGB values a half-covered
// pixel reads about 188 of 255 and the crossing slides toward the dark side).
const double kLumaRed = 0.2126;
const double kLumaGreen = 0.7152;
const double kLumaBlue = 0.0722;
const double kSrgbLinearLimit = 0.04045;  // sRGB value below which the curve is linear
const double kSrgbLinearSlope = 12.92;
const double kSrgbOffset = 0.055;
const double kSrgbGamma = 2.4;

double LinearFromSrgb(double code)
{
    const double c = code / kGreyFullScale;
    return c <= kSrgbLinearLimit ? c / kSrgbLinearSlope
                                 : std::pow((c + kSrgbOffset) / (1.0 + kSrgbOffset), kSrgbGamma);
}

// The luminance's three terms for every channel value (sRGB 0..255 to
// linear light scaled to 0..255, times the channel's weight), once for all
// values: a pixel's grey is then three look-ups added red, green, blue, the
// same products in the same order as weighing the linear values per pixel.
struct LumaTerms {
    double red[256];
    double green[256];
    double blue[256];
};

static LumaTerms MakeLumaTerms()
{
    LumaTerms terms;
    for (int v = 0; v < 256; v++) {
        const double level = kGreyFullScale * LinearFromSrgb(v);
        terms.red[v] = kLumaRed * level;
        terms.green[v] = kLumaGreen * level;
        terms.blue[v] = kLumaBlue * level;
    }
    return terms;
}

// Filled before main: every grey read looks them up without a first-use check.
static const LumaTerms kLumaTerms = MakeLumaTerms();

static double Luma(uint32_t c)
{
    return kLumaTerms.red[(c >> 16) & 0xFF] + kLumaTerms.green[(c >> 8) & 0xFF] + kLumaTerms.blue[c & 0xFF];
}

// The four pixels around a sample with their greys. Samples a quarter pixel
// apart along a normal fall into one cell up to four times in a row; a pass
// keeps the cell it read last and weighs its greys again.
struct GreyCell {
    const uint32_t *row;  // the cell's top-left pixel; nullptr before the first read
    double luma[4];       // grey levels: top-left, top-right, bottom-left, bottom-right
};

const double kProfileStep = 0.25;        // source pixels between samples along a normal
const double kLevelGap = 1.5;            // source pixels kept clear of the edge when reading the levels
const double kLevelSpan = 4.0;           // source pixels of each level window
const double kMinRimContrast = 24.0;     // grey levels between disc and ground for an edge point
const double kQuartile = 0.25;           // the edge's width is read between the 75 % and 25 % levels
const double kShadowedInnerShare = 0.3;  // an inner level this share of the contrast below the lit disc is in shadow
const double kMinUsedShare = 0.35;       // share of the normals that must give edge points
// Share of the normals that may run off the picture: more, and the border cuts
// the rim, which then no longer pins the conic all round.
const double kBorderShare = 0.02;
const int kMinNormals = 180;
const int kMaxNormals = 1080;
const double kPixelsPerNormal = 3.0;     // source pixels of perimeter per normal
const double kSecondPassPixels = 5.0;   // source pixels either side of the first fit's rim
const double kMaxSearchPixels = 64.0;   // source pixels, the furthest a caller may ask to look
const double kSearchWidening = 2.5;     // factor on the first pass's reach when it finds too little
const double kWidestSearchShare = 0.4;  // the first pass reaches at most this share of the minor semi-axis

// The grey of a sample GreyInside admits, through the cell last read, which
// it replaces when the sample falls elsewhere; the cell belongs to one photo.
static inline double GreyInCell(const Photo *photo, double fx, double fy, GreyCell *cell)
{
    const int ix = static_cast<int>(fx);
    const int iy = static_cast<int>(fy);
    const double tx = fx - ix;
    const double ty = fy - iy;
    const uint32_t *row = photo->argb + static_cast<size_t>(iy) * photo->width + ix;
    if (row != cell->row) {
        const uint32_t *next = row + photo->width;
        cell->row = row;
        cell->luma[0] = Luma(row[0]);
        cell->luma[1] = Luma(row[1]);
        cell->luma[2] = Luma(next[0]);
        cell->luma[3] = Luma(next[1]);
    }
    const double top = cell->luma[0] * (1.0 - tx) + cell->luma[1] * tx;
    const double bottom = cell->luma[2] * (1.0 - tx) + cell->luma[3] * tx;
    return top * (1.0 - ty) + bottom * ty;
}

int SampleGrey(const Photo *photo, double x, double y, double *grey)
{
    const double fx = x - 0.5;
    const double fy = y - 0.5;
    if (!GreyInside(photo, fx, fy))
        return 0;
    GreyCell cell = {nullptr, {0.0, 0.0, 0.0, 0.0}};
    *grey = GreyInCell(photo, fx, fy, &cell);
    return 1;
}

// Where a pass reads along each normal: the samples' offsets from the rim,
// the same for every normal, and room for their places on the photo.
struct ProfilePlaces {
    Eigen::ArrayXd offsets;  // source pixels, -halfLength + kProfileStep * i
    Eigen::ArrayXd fx, fy;   // source pixels from the first pixel's centre
};

static void MakeProfilePlaces(double halfLength, int samples, ProfilePlaces *places)
{
    places->offsets.resize(samples);
    for (int i = 0; i < samples; i++)
        places->offsets(i) = -halfLength + kProfileStep * i;
    places->fx.resize(samples);
    places->fy.resize(samples);
}

// The greys along a normal through (px, py) at the pass's offsets, into the
// whole profile; 0 when a sample has not four pixels around it. The offsets
// grow with i, so each sample's place on either axis moves one way only
// (rounding keeps the order): with the first and the last sample inside,
// every one between is, and none needs the check. The places are taken for
// all samples at once, a pair per vector instruction, each lane rounding as
// a lone double would.
static int SampleProfile(const Photo *photo, double px, double py, double nx, double ny, ProfilePlaces *places,
                         GreyCell *cell, std::vector<double> *profile)
{
    const int samples = static_cast<int>(places->offsets.size());
    const double first = places->offsets(0), last = places->offsets(samples - 1);
    if (!GreyInside(photo, px + first * nx - 0.5, py + first * ny - 0.5) ||
        !GreyInside(photo, px + last * nx - 0.5, py + last * ny - 0.5))
        return 0;
    places->fx = px + places->offsets * nx - 0.5;
    places->fy = py + places->offsets * ny - 0.5;
    for (int i = 0; i < samples; i++)
        (*profile)[i] = GreyInCell(photo, places->fx(i), places->fy(i), cell);
    return 1;
}

// Whether sample i's offset -halfLength + kProfileStep * i is at or above
// bound (past it, when past is set), on the very expression the samples
// stand at.
static int OffsetReaches(size_t i, double halfLength, double bound, int past)
{
    const double s = -halfLength + kProfileStep * i;
    return past ? !(s <= bound) : s >= bound;
}

// The first profile index whose offset reaches bound. The offsets never fall
// as i grows (rounding keeps their order), so the test fails below one index
// and holds from it on: started where exact arithmetic puts the bound,
// i = (bound + halfLength) / kProfileStep, a step or two either way finds the
// index a walk through all of them would.
static size_t FirstOffset(size_t count, double halfLength, double bound, int past)
{
    const double guess = (bound + halfLength) / kProfileStep;
    size_t i = !(guess > 0.0) ? 0 : guess >= static_cast<double>(count) ? count : static_cast<size_t>(guess);
    while (i > 0 && OffsetReaches(i - 1, halfLength, bound, past))
        i--;
    while (i < count && !OffsetReaches(i, halfLength, bound, past))
        i++;
    return i;
}

// The run of profile indices [first, end) whose offsets lie between from
// and to (source pixels).
struct ProfileWindow {
    size_t first, end;
};

static ProfileWindow FindWindow(size_t count, double halfLength, double from, double to)
{
    const size_t first = FirstOffset(count, halfLength, from, 0);
    return {first, std::max(first, FirstOffset(count, halfLength, to, 1))};
}

// Median of the profile over a window, its samples copied to scratch in their order.
static double WindowLevel(const std::vector<double> &profile, ProfileWindow window, std::vector<double> *scratch)
{
    scratch->assign(profile.begin() + window.first, profile.begin() + window.end);
    return MedianInPlace(scratch->data(), scratch->size());
}

static double ProfileLevel(const std::vector<double> &profile, double halfLength, double from, double to,
                           std::vector<double> *scratch)
{
    return WindowLevel(profile, FindWindow(profile.size(), halfLength, from, to), scratch);
}

// The falling mid-level crossing nearest to offset near, linearly between
// samples; of two as near, the first. A crossing between samples i and i + 1
// lies at an offset between theirs (the rounding of -halfLength +
// kProfileStep * x never reverses the order of x, and i <= i + t <= i + 1),
// so every pair beyond a stretch around near is at least as far from it as
// the stretch's end: the search widens from the pair around near only until
// no pair outside can come nearer than the crossing found (or as near, on the
// side of the lower indices, which win a tie). The profile crosses a level
// within a few samples of near, and the search reads those few.
static int FallingCrossing(const std::vector<double> &profile, double halfLength, double mid, double near,
                           double *at)
{
    const size_t n = profile.size();
    if (n < 2)
        return 0;
    const size_t pairs = n - 1;  // (i, i + 1), both samples in the profile
    const double guess = (near + halfLength) / kProfileStep;
    const size_t c = !(guess > 0.0) ? 0 : guess >= static_cast<double>(pairs - 1) ? pairs - 1 : static_cast<size_t>(guess);
    int found = 0;
    double best = 0.0, bestDistance = 0.0;
    size_t bestIndex = 0;
    auto look = [&](size_t i) {
        if (!(profile[i] >= mid && profile[i + 1] < mid))
            return;
        const double s = -halfLength + kProfileStep * (i + (profile[i] - mid) / (profile[i] - profile[i + 1]));
        const double d = std::fabs(s - near);
        if (!found || d < bestDistance || (d == bestDistance && i < bestIndex)) {
            best = s;
            bestDistance = d;
            bestIndex = i;
        }
        found = 1;
    };
    size_t lo = c, hi = c + 1;  // pairs [lo, hi) read
    look(c);
    for (;;) {
        // The nearest any pair below lo or from hi on can be.
        const double lowEdge = -halfLength + kProfileStep * lo, highEdge = -halfLength + kProfileStep * hi;
        const int lowDone = lo == 0 || (found && lowEdge <= near && near - lowEdge > bestDistance);
        const int highDone = hi == pairs || (found && highEdge >= near && highEdge - near >= bestDistance);
        if (lowDone && highDone)
            break;
        if (!lowDone)
            look(--lo);
        if (!highDone)
            look(hi++);
    }
    if (found)
        *at = best;
    return found;
}

struct EdgePoint {
    double x, y;
    double width;   // source pixels between the profile's 75 % and 25 % crossings
    double inner;   // grey level of the disc beside the edge
    double outer;   // grey level of the ground beside the edge
    double nx, ny;  // outward normal of the ellipse it was read along
};

// The cosines and sines of the parameters t = 2 pi k / count of count points
// spread evenly around an ellipse, kept for the last count asked of a record:
// the passes after the first, and the wall's pass, mostly spread as many
// normals as the one before, and the rim's systematics always as many points.
struct NormalTurns {
    int count;
    double cosine[kMaxNormals], sine[kMaxNormals];
};

static NormalTurns sPassTurns, sSystematicTurns;

static const NormalTurns &TurnsFor(NormalTurns *turns, int count)
{
    if (turns->count != count) {
        for (int k = 0; k < count; k++) {
            const double t = 2.0 * kPi * k / count;
            turns->cosine[k] = std::cos(t);
            turns->sine[k] = std::sin(t);
        }
        turns->count = count;
    }
    return *turns;
}

// The rim point of e at parameter t, from its cosine and sine (ct, st) and
// the angle's (c, s), and the outward unit normal there: the gradient of
// (u/a)^2 + (v/b)^2.
static void RimPointAt(EllipseParams e, double c, double s, double ct, double st, double *px, double *py, double *nx,
                       double *ny)
{
    *px = e.cx + e.a * ct * c - e.b * st * s;
    *py = e.cy + e.a * ct * s + e.b * st * c;
    const double gu = ct / e.a, gv = st / e.b;
    const double ux = gu * c - gv * s, uy = gu * s + gv * c;
    const double un = std::hypot(ux, uy);
    *nx = ux / un;
    *ny = uy / un;
}

// One pass along the normals of e: the mid-level crossing between the disc's
// and the ground's levels, read again around the crossing found.
static void SampleRimPass(const Photo *photo, EllipseParams e, double halfLength, std::vector<EdgePoint> *points,
                          int *normals, int *cut)
{
    const double perimeter = kPi * (3.0 * (e.a + e.b) - std::sqrt((3.0 * e.a + e.b) * (e.a + 3.0 * e.b)));
    int count = static_cast<int>(perimeter / kPixelsPerNormal);
    count = std::min(kMaxNormals, std::max(kMinNormals, count));
    const double c = std::cos(e.angle), s = std::sin(e.angle);
    const int samples = static_cast<int>(2.0 * halfLength / kProfileStep) + 1;
    std::vector<double> profile(samples), scratch;
    ProfilePlaces places;
    MakeProfilePlaces(halfLength, samples, &places);
    GreyCell cell = {nullptr, {0.0, 0.0, 0.0, 0.0}};
    // The first levels' windows sit at the same offsets on every normal.
    const ProfileWindow innerWindow = FindWindow(profile.size(), halfLength, -halfLength, -kLevelGap);
    const ProfileWindow outerWindow = FindWindow(profile.size(), halfLength, kLevelGap, halfLength);
    points->clear();
    *cut = 0;
    const NormalTurns &turns = TurnsFor(&sPassTurns, count);
    for (int k = 0; k < count; k++) {
        double px, py, nx, ny;
        RimPointAt(e, c, s, turns.cosine[k], turns.sine[k], &px, &py, &nx, &ny);
        if (!SampleProfile(photo, px, py, nx, ny, &places, &cell, &profile)) {
            (*cut)++;
            continue;
        }
        double inner = WindowLevel(profile, innerWindow, &scratch);
        double outer = WindowLevel(profile, outerWindow, &scratch);
        double edge = 0.0;
        if (inner - outer < kMinRimContrast || !FallingCrossing(profile, halfLength, 0.5 * (inner + outer), 0.0, &edge))
            continue;
        inner = ProfileLevel(profile, halfLength, edge - kLevelGap - kLevelSpan, edge - kLevelGap, &scratch);
        outer = ProfileLevel(profile, halfLength, edge + kLevelGap, edge + kLevelGap + kLevelSpan, &scratch);
        if (inner - outer < kMinRimContrast ||
            !FallingCrossing(profile, halfLength, 0.5 * (inner + outer), edge, &edge))
            continue;
        double high = edge, low = edge;
        FallingCrossing(profile, halfLength, outer + kQuartile * 3.0 * (inner - outer), edge, &high);
        FallingCrossing(profile, halfLength, outer + kQuartile * (inner - outer), edge, &low);
        points->push_back({px + edge * nx, py + edge * ny, low - high, inner, outer, nx, ny});
    }
    *normals = count;
}

// Fits the kept points' positions; the edge's width and the ground's level
// over the disc's are their medians.
static int FitEdgePoints(const std::vector<EdgePoint> &points, RimFit *fit)
{
    std::vector<double> x, y, width, ground;
    for (const EdgePoint &p : points) {
        x.push_back(p.x);
        y.push_back(p.y);
        width.push_back(p.width);
        ground.push_back(p.outer / p.inner);  // inner exceeds outer by the contrast, so is positive
    }
    if (!FitRimEllipse(x.data(), y.data(), static_cast<int>(x.size()), fit))
        return 0;
    fit->edgeWidth = Median(width);
    fit->groundShare = std::max(0.0, Median(ground));
    return 1;
}

// Leaves out the edge points whose disc side is in shadow (stick, its shadow)
// by their inner level against the lit disc's.
static void DropShadowed(std::vector<EdgePoint> *points)
{
    std::vector<double> inner;
    for (const EdgePoint &p : *points)
        inner.push_back(p.inner);
    const double lit = Median(inner);
    std::vector<EdgePoint> kept;
    for (const EdgePoint &p : *points)
        if (p.inner >= lit * (1.0 - kShadowedInnerShare))
            kept.push_back(p);
    *points = kept;
}

// How clearly the pass saw the rim: the median contrast of its edge points,
// the share of the normals they answer, and the widest turn around the
// fit's centre that holds none of them.
static void SummariseRim(const std::vector<EdgePoint> &points, int normals, RimFit *fit)
{
    std::vector<double> contrast, turn;
    for (const EdgePoint &p : points) {
        contrast.push_back(p.inner - p.outer);
        turn.push_back(std::atan2(p.y - fit->ellipse.cy, p.x - fit->ellipse.cx));
    }
    fit->contrast = Median(contrast);
    fit->coverage = normals > 0 ? static_cast<double>(points.size()) / normals : 0.0;
    std::sort(turn.begin(), turn.end());
    double widest = turn.empty() ? 2.0 * kPi : 2.0 * kPi - (turn.back() - turn.front());
    for (size_t i = 1; i < turn.size(); i++)
        widest = std::max(widest, turn[i] - turn[i - 1]);
    fit->widestGap = widest;
}

// The photo's edge points in the pinhole picture, their normals turned with
// them (a normal's unit step mapped, so the lit wall moves a point along the
// pinhole normal); 0 when one of them has no pinhole point.
static int UndistortEdgePoints(const DistortionFrame &lens, std::vector<EdgePoint> *points)
{
    for (EdgePoint &p : *points) {
        double x, y, xn, yn;
        if (!UndistortPoint(lens, p.x, p.y, &x, &y) || !UndistortPoint(lens, p.x + p.nx, p.y + p.ny, &xn, &yn))
            return 0;
        const double n = std::hypot(xn - x, yn - y);
        if (!(n > 0.0))
            return 0;
        p.nx = (xn - x) / n;
        p.ny = (yn - y) / n;
        p.x = x;
        p.y = y;
    }
    return 1;
}

RefineStatus FitRim(const Photo *photo, EllipseParams start, double searchPixels, RimFit *fit,
                    const DistortionFrame *lens)
{
    if (photo == nullptr || photo->argb == nullptr || photo->width < 2 || photo->height < 2 || !(start.a > 0.0) ||
        !(start.b > 0.0) || !std::isfinite(start.cx) || !std::isfinite(start.cy) || !std::isfinite(start.angle) ||
        !(searchPixels >= kSecondPassPixels && searchPixels < kMaxSearchPixels))
        return kRefineNoFit;
    // The classic outline is a staircase of work pixels: the first pass looks
    // a few of them either side, wider when that finds too little (a classic
    // fit pulled off by what touches the disc), and the passes after it only
    // around the previous fit.
    RimFit result;
    EllipseParams e = start;
    double search = searchPixels;
    const double widest = std::max(searchPixels, kWidestSearchShare * start.b);
    int passes = 2;
    std::vector<EdgePoint> last;  // the last pass's edge points
    for (int pass = 0; pass < passes; pass++) {
        std::vector<EdgePoint> points;
        int normals = 0, cut = 0;
        SampleRimPass(photo, e, pass == 0 ? search : kSecondPassPixels, &points, &normals, &cut);
        DropShadowed(&points);
        if (cut > kBorderShare * normals)
            return kRefineBorder;
        if (points.size() < kMinUsedShare * normals) {
            if (pass == 0 && search < widest) {
                search = std::min(widest, search * kSearchWidening);
                passes = 3;
                pass--;
                continue;
            }
            return kRefineNoContrast;
        }
        if (!FitEdgePoints(points, &result))
            return kRefineNoFit;
        result.normals = normals;
        e = result.ellipse;
        last.swap(points);
    }
    // Only the last pass is summarised: of the photo's points, or of their
    // pinhole places where a lens is undone.
    result.sampled = result.ellipse;
    if (lens == nullptr) {
        SummariseRim(last, result.normals, &result);
    } else {
        RimFit pinhole;
        if (!UndistortEdgePoints(*lens, &last) || !FitEdgePoints(last, &pinhole))
            return kRefineNoFit;
        pinhole.normals = result.normals;
        SummariseRim(last, result.normals, &pinhole);
        pinhole.sampled = result.ellipse;
        result = pinhole;
    }
    *fit = result;
    return kRefineDone;
}

// The wall's brightness W against the top's L, both the disc's white: with a
// share q of the top's light from the sky, the top gets L = sun (up . s) + q L;
// the wall, with outward normal n, takes the sun at (n . s), sees half the
// sky and half the sunlit ground (at G = g L), so
//     W / L = (1 - q) (n . s) / (up . s) + q / 2 + a g / 2,
// a the disc's albedo. q, the shadow's level over the sunlit one on level
// ground, lies between a deep blue sky's 0.1 and a hazy one's 0.5; a in
// [0.6, 1] for a white disc; their middles are taken. A wall of image width w outside the top's rim moves the
// edge between top and ground out by w (W - G) / (L - G) while the wall is
// thinner than the blur (0.01 of a radius of 3).
const double kSkyShareLow = 0.1;    // q's ends, not read
const double kSkyShareHigh = 0.5;
// Read off the photo (the shadow's level near the stick over the lit disc's
// beside it), q is known to a range of 0.1: a narrow shadow's core reads a
// little bright through the blur, and JPEG's noise stays.
const double kSkyShareReadRange = 0.1;
const double kDiscAlbedoLow = 0.6;  // a white disc's albedo, lower end
const double kDiscAlbedoHigh = 1.0;

// The middle of q and its range: read off the photo where the light gave it.
static void SkyShare(const WallLight &wall, double *q, double *range)
{
    const int read = wall.skyShare > 0.0 && wall.skyShare < 1.0;
    *q = read ? wall.skyShare : 0.5 * (kSkyShareLow + kSkyShareHigh);
    *range = read ? kSkyShareReadRange : kSkyShareHigh - kSkyShareLow;
}

static double WallLevel(double sunShare, double g, double q)
{
    const double a = 0.5 * (kDiscAlbedoLow + kDiscAlbedoHigh);
    return (1.0 - q) * std::max(0.0, sunShare) + 0.5 * q + 0.5 * a * g;
}

// The top's rim point (camera frame) under the image point (x, y): the ray
// through it met with the top's plane; 0 when the ray runs along the plane.
static int TopPoint(const WallLight &wall, double ppx, double ppy, double x, double y, Eigen::Vector3d *top)
{
    const Eigen::Vector3d up(wall.pose.up[0], wall.pose.up[1], wall.pose.up[2]);
    const Eigen::Vector3d centre(wall.pose.centre[0], wall.pose.centre[1], wall.pose.centre[2]);
    const Eigen::Vector3d ray((x - ppx) / wall.focal, (y - ppy) / wall.focal, 1.0);
    const double along = up.dot(ray);
    if (!(std::fabs(along) > 0.0))
        return 0;
    *top = ray * (up.dot(centre) / along);
    return 1;
}

// Source pixels from the top point's image to p's, along the outward normal (nx, ny).
static double OutwardPixels(const WallLight &wall, const Eigen::Vector3d &top, const Eigen::Vector3d &p, double nx,
                            double ny)
{
    const double dx = wall.focal * (p(0) / p(2) - top(0) / top(2));
    const double dy = wall.focal * (p(1) / p(2) - top(1) / top(2));
    return dx * nx + dy * ny;
}

// The wall's image width (source pixels) outside the rim at the image point
// (x, y) along the outward normal (nx, ny), and its outward normal in the
// camera frame; 0 when the wall there faces away from the camera.
static int WallWidth(const WallLight &wall, double ppx, double ppy, double x, double y, double nx, double ny,
                     double *width, Eigen::Vector3d *normal)
{
    const Eigen::Vector3d up(wall.pose.up[0], wall.pose.up[1], wall.pose.up[2]);
    const Eigen::Vector3d centre(wall.pose.centre[0], wall.pose.centre[1], wall.pose.centre[2]);
    Eigen::Vector3d top;
    if (!TopPoint(wall, ppx, ppy, x, y, &top))
        return 0;
    *normal = top - centre;
    if (!(normal->norm() > 0.0))
        return 0;
    normal->normalize();
    if (normal->dot(top) >= 0.0)
        return 0;  // the wall faces away from the camera
    const Eigen::Vector3d bottom = top - kDiscThickness * up;
    if (!(top(2) > 0.0) || !(bottom(2) > 0.0))
        return 0;
    *width = OutwardPixels(wall, top, bottom, nx, ny);
    return *width > 0.0;
}

static void MoveForWall(const WallLight &wall, double ppx, double ppy, EdgePoint *p)
{
    const Eigen::Vector3d up(wall.pose.up[0], wall.pose.up[1], wall.pose.up[2]);
    const Eigen::Vector3d sun(wall.sun[0], wall.sun[1], wall.sun[2]);
    const double height = up.dot(sun);
    double width;
    Eigen::Vector3d normal;
    if (!(height > 0.0) || !WallWidth(wall, ppx, ppy, p->x, p->y, p->nx, p->ny, &width, &normal) ||
        !(p->inner > p->outer))
        return;
    double q, range;
    SkyShare(wall, &q, &range);
    const double level = p->inner * WallLevel(normal.dot(sun) / height, p->outer / p->inner, q);
    const double share = std::min(1.0, std::max(-1.0, (level - p->outer) / (p->inner - p->outer)));
    p->x -= share * width * p->nx;
    p->y -= share * width * p->ny;
}

int RefitRimForWall(const Photo *photo, const WallLight &wall, RimFit *fit, const DistortionFrame *lens)
{
    std::vector<EdgePoint> points;
    int normals = 0, cut = 0;
    SampleRimPass(photo, lens != nullptr ? fit->sampled : fit->ellipse, kSecondPassPixels, &points, &normals, &cut);
    DropShadowed(&points);
    if (points.size() < kMinUsedShare * normals)
        return 0;
    if (lens != nullptr && !UndistortEdgePoints(*lens, &points))
        return 0;
    for (EdgePoint &p : points)
        MoveForWall(wall, photo->width / 2.0, photo->height / 2.0, &p);
    RimFit result;
    if (!FitEdgePoints(points, &result))
        return 0;
    result.normals = normals;
    SummariseRim(points, normals, &result);
    result.sampled = lens != nullptr ? fit->sampled : result.ellipse;
    *fit = result;
    return 1;
}

// Where the rim runs along a row or column of pixels, every edge point there
// meets the grid at one phase, and the mid-level crossing read by linear
// interpolation between pixel centres errs by the same amount on all of them.
// For a step blurred by a Gaussian of deviation s and averaged over each
// pixel's area, that error has, over the phase, the root mean square below;
// s shows in the edge's width between its 75 % and 25 % levels read the same
// way (both from the sampled erf step, the phase taken evenly). The sharper
// the edge, the larger the error: the pixel's area alone gives 1/16 pixel.
// The stretch that keeps one phase is where the rim stays within half a
// pixel of its tangent: |s| < sqrt(rho) for a radius of curvature rho, where
// the normal turns by less than 1 / sqrt(rho).
const int kPhaseTableSize = 9;
const double kPhaseTableWidth[kPhaseTableSize] = {0.738, 0.744, 0.768, 0.817, 0.886,
                                                  0.970, 1.065, 1.279, 1.512};  // source pixels, s = 0 .. 1
const double kPhaseTableError[kPhaseTableSize] = {0.0624, 0.0622, 0.0589, 0.0504, 0.0401,
                                                  0.0312, 0.0243, 0.0154, 0.0104};  // source pixels

double GridPhaseError(double edgeWidth)
{
    if (!(edgeWidth > kPhaseTableWidth[0]))
        return kPhaseTableError[0];
    for (int i = 1; i < kPhaseTableSize; i++)
        if (edgeWidth <= kPhaseTableWidth[i]) {
            const double u = (edgeWidth - kPhaseTableWidth[i - 1]) / (kPhaseTableWidth[i] - kPhaseTableWidth[i - 1]);
            return kPhaseTableError[i - 1] + u * (kPhaseTableError[i] - kPhaseTableError[i - 1]);
        }
    return kPhaseTableError[kPhaseTableSize - 1];
}
// The same holds where the rim runs along a diagonal of the grid: a 45 degree
// edge meets every pixel it crosses at one phase. The diagonal rows lie
// 1 / sqrt(2) pixel apart, so that stretch ends where the rim leaves its
// tangent by 1 / (2 sqrt(2)): the normal turns by less than 1 / sqrt(sqrt(2) rho).
const double kDiagonalRowSpacing = 0.7071067811865476;  // source pixels, 1 / sqrt(2)
// The wall's light taken off at the middles of q and a (WallLevel) errs by
//     (q - q0) (1/2 - max(0, n . s) / (up . s)) + (a - a0) g / 2
// of L, which moves the rim by that over 1 - g of the wall's width at each
// point. q uniform over its range r (0.4, or 0.1 when read off the photo)
// has the deviation r / sqrt(12), a over [0.6, 1] 0.4 / sqrt(12), halved by
// the half of the ground the wall sees. Left on (no sun known), the wall's
// share is anywhere in [0, 1] with the rim read at 0: root mean square
// 1 / sqrt(3) of the wall's width.
const double kAlbedoHalfSigma = 0.05773502691896258;  // 0.4 / sqrt(12) / 2
// Where the wall is lit brighter than the top, (n . s) / (up . s) > 1, the
// take-off moves the rim in by the wall's whole width w, but the mid-level
// crossing can lie further out: a wall narrower than the edge's blur moves it
// by its excess area over the step, share w with the unclamped share
// (W - G) / (L - G) = ((n . s) / (up . s) - g) / (1 - g), g = G / L; a wall
// wider than the blur by w alone. The crossing lies anywhere between, so the
// take-off's error is uniform in [0, (share - 1) w]: root mean square
// (share - 1) w / sqrt(3), the same along the whole bright arc.
// A wall turned from the sun has the sky's light alone and can be darker than
// the ground: the model leaves it (share 0), but it pulls the edge in by
// (G - W) / (L - G) of its width. With W anywhere between black and the
// ground, that share is uniform in [0, G / (L - G)]: root mean square
// G / (L - G) / sqrt(3), G / L the rim's median ground-to-disc ratio.
// The photograph's tone curve is taken as sRGB's; a camera's or a renderer's
// differs by up to a tenth in its local exponent. Read through a curve h
// with exponent 1.1, levels 0.1 (ground) and 0.7 (lit disc) in linear light
// put the mid-level at h^-1((h(0.7) + h(0.1)) / 2) = 0.412 instead of 0.4:
// a share of 0.02 of the contrast, which moves every edge point alike by that
// share times sqrt(2 pi) s_t, s_t = width / 1.349 the edge's Gaussian
// deviation (the 75 %-25 % width of a Gaussian is 1.349 of its deviation).
const double kToneMidShare = 0.02;
const double kQuartileWidthToSigma = 1.349;
const int kSystematicPoints = 720;  // points around the rim where the responses are taken
static_assert(kSystematicPoints <= kMaxNormals, "the systematics' points fit a record of turns");

// Rows: the normal displacement of the rim point at t per unit change of
// (cx, cy, a, b, angle), P(t) = centre + R(angle) (a cos t, b sin t).
static void RimDesign(EllipseParams e, const NormalTurns &turns, Eigen::MatrixXd *design, std::vector<double> *px,
                      std::vector<double> *py, std::vector<double> *nx, std::vector<double> *ny)
{
    const double c = std::cos(e.angle), s = std::sin(e.angle);
    const int n = turns.count;
    design->resize(n, 5);
    for (int i = 0; i < n; i++) {
        const double ct = turns.cosine[i], st = turns.sine[i];
        double x, y, ux, uy;
        RimPointAt(e, c, s, ct, st, &x, &y, &ux, &uy);
        px->push_back(x);
        py->push_back(y);
        nx->push_back(ux);
        ny->push_back(uy);
        (*design)(i, 0) = ux;
        (*design)(i, 1) = uy;
        (*design)(i, 2) = ct * c * ux + ct * s * uy;
        (*design)(i, 3) = -st * s * ux + st * c * uy;
        (*design)(i, 4) = (-e.a * ct * s - e.b * st * c) * ux + (e.a * ct * c - e.b * st * s) * uy;
    }
}

// The disc's own shadow on the ground. The top's rim point P (height t over
// the ground) casts its shadow at P - t s / (up . s), s toward the sun, so on
// the side away from the sun a ribbon of ground beyond the rim lies in the
// disc's shade. Its image width w shows beyond the lit wall's image, or
// beyond the top's outline where the wall faces away. One-sided, it turns
// the ellipse toward the shaded side and so moves the roll. Source pixels
// along the outward normal (nx, ny); 0 where the rim faces the sun.
static double ShadeRibbonWidth(const WallLight &wall, double ppx, double ppy, double x, double y, double nx, double ny)
{
    const Eigen::Vector3d up(wall.pose.up[0], wall.pose.up[1], wall.pose.up[2]);
    const Eigen::Vector3d sun(wall.sun[0], wall.sun[1], wall.sun[2]);
    const double height = up.dot(sun);
    Eigen::Vector3d top;
    if (!(height > 0.0) || !TopPoint(wall, ppx, ppy, x, y, &top))
        return 0.0;
    const Eigen::Vector3d shade = top - (kDiscThickness / height) * sun, bottom = top - kDiscThickness * up;
    if (!(top(2) > 0.0) || !(shade(2) > 0.0) || !(bottom(2) > 0.0))
        return 0.0;
    return std::max(0.0, OutwardPixels(wall, top, shade, nx, ny) - std::max(0.0, OutwardPixels(wall, top, bottom, nx, ny)));
}

// How far the ribbon can move the mid-level crossing in, for a shade as dark
// as it gets (q at its low end: the ribbon at q G) and a ground at g = G / L
// of the disc's level. Thinner than the blur (a Gaussian of deviation sb),
// it takes a line of strength w (1 - q) G off the blurred step, which falls
// with slope (L - G) times the blur's peak at the crossing: the crossing
// moves in by w (1 - q) G / (L - G). Wider, the step runs from L down to q G
// and crosses (L + G) / 2 where Phi(u) = (1 + g - 2 q g) / (2 (1 - q g)),
// u sb inside the rim. The smaller of the two; u (WideRibbonDepth) is the
// photo's, the width each point's.
static double WideRibbonDepth(double g, double q)
{
    const double p = (1.0 + g - 2.0 * q * g) / (2.0 * (1.0 - q * g));
    double u = std::sqrt(2.0 * kPi) * (p - 0.5);
    for (int i = 0; i < 4; i++)  // Newton on Phi(u) = p from its tangent at 0
        u -= (0.5 * std::erfc(-u / std::sqrt(2.0)) - p) / (std::exp(-0.5 * u * u) / std::sqrt(2.0 * kPi));
    return u;
}

static double ShadeRibbonShift(double width, double g, double sb, double q, double u)
{
    if (!(width > 0.0) || !(g > 0.0) || !(g < 1.0))
        return 0.0;
    return std::min(width * (1.0 - q) * g / (1.0 - g), u * sb);
}

// A turn allowed around a point, with its cosine.
struct TurnLimit {
    double angle;   // radians
    double cosine;  // cos(angle), used when angle lies in (0, pi)
};

static TurnLimit MakeTurnLimit(double angle)
{
    return {angle, angle > 0.0 && angle < kPi ? std::cos(angle) : 0.0};
}

// Whether acos(cosine) < limit.angle, as acos itself answers it. acos falls
// as its argument grows, with slope at least 1 in size, so a cosine further
// than kTurnGuard from cos(limit) lies more than kTurnGuard radians from the
// limit in angle: far beyond acos's and cos's rounding, and the comparison
// of cosines decides. Nearer, or with the limit outside (0, pi), acos decides.
const double kTurnGuard = 1e-9;  // cosine units

static int TurnsLess(double cosine, const TurnLimit &limit)
{
    if (limit.angle > 0.0 && limit.angle < kPi) {
        if (cosine > limit.cosine + kTurnGuard)
            return 1;
        if (cosine < limit.cosine - kTurnGuard)
            return 0;
    }
    return std::acos(cosine) < limit.angle;
}

void RimSystematicCovariance(const RimFit &fit, const WallLight &wall, double ppx, double ppy, int wallTakenOff,
                             double covariance[25])
{
    const EllipseParams e = fit.ellipse;
    const double phaseError = GridPhaseError(fit.edgeWidth);
    const NormalTurns &turns = TurnsFor(&sSystematicTurns, kSystematicPoints);
    std::vector<double> px, py, nx, ny;
    Eigen::MatrixXd design;
    RimDesign(e, turns, &design, &px, &py, &nx, &ny);
    // The least-squares response of the parameters to displacements d: (A^T A)^-1 A^T d.
    const Eigen::MatrixXd solve = (design.transpose() * design).ldlt().solve(design.transpose());
    Eigen::Matrix<double, 5, 5> sum = Eigen::Matrix<double, 5, 5>::Zero();
    // The grid's eight directions (rows, columns and diagonals), unit, with their row spacing.
    const double h = kDiagonalRowSpacing;
    const double grid[8][3] = {{1.0, 0.0, 1.0}, {-1.0, 0.0, 1.0}, {0.0, 1.0, 1.0}, {0.0, -1.0, 1.0},
                               {h, h, h},       {-h, h, h},       {h, -h, h},     {-h, -h, h}};
    // The turn each point allows, for the rows' spacing 1 and h: the radius
    // of curvature depends on the point alone, not on the grid's direction.
    std::vector<TurnLimit> limitRows(kSystematicPoints), limitDiagonals(kSystematicPoints);
    for (int i = 0; i < kSystematicPoints; i++) {
        const double st = turns.sine[i], ct = turns.cosine[i];
        const double rho = std::pow(e.a * e.a * st * st + e.b * e.b * ct * ct, 1.5) / (e.a * e.b);
        limitRows[i] = MakeTurnLimit(std::sqrt(1.0 / rho));
        limitDiagonals[i] = MakeTurnLimit(std::sqrt(h / rho));
    }
    for (const auto &g : grid) {
        const std::vector<TurnLimit> &limit = g[2] == 1.0 ? limitRows : limitDiagonals;
        Eigen::VectorXd d = Eigen::VectorXd::Zero(kSystematicPoints);
        for (int i = 0; i < kSystematicPoints; i++)
            if (TurnsLess(std::max(-1.0, std::min(1.0, nx[i] * g[0] + ny[i] * g[1])), limit[i]))
                d(i) = phaseError;
        const Eigen::Matrix<double, 5, 1> v = solve * d;
        sum += v * v.transpose();
    }
    // The tone curve: all points alike, a and b grow together.
    const double tone = kToneMidShare * std::sqrt(2.0 * kPi) * fit.edgeWidth / kQuartileWidthToSigma;
    sum(2, 2) += tone * tone;
    sum(2, 3) += tone * tone;
    sum(3, 2) += tone * tone;
    sum(3, 3) += tone * tone;
    if (wall.focal > 0.0) {
        const Eigen::Vector3d up(wall.pose.up[0], wall.pose.up[1], wall.pose.up[2]);
        const Eigen::Vector3d sun(wall.sun[0], wall.sun[1], wall.sun[2]);
        const double height = up.dot(sun);
        // Independent, each alike along its arc: d, the wall left on (no sun
        // known) or the sky's share q about its middle; albedo, the disc's
        // about its middle; bright, a wall brighter than the top, whose
        // take-off stops at the top's level; shade, the disc's own shade.
        Eigen::VectorXd d = Eigen::VectorXd::Zero(kSystematicPoints), albedo = d, bright = d, shade = d;
        double sky, skyRange;
        SkyShare(wall, &sky, &skyRange);
        const double darkestShade = std::max(0.0, sky - 0.5 * skyRange);
        const double ribbonDepth = WideRibbonDepth(fit.groundShare, darkestShade);
        for (int i = 0; i < kSystematicPoints; i++) {
            double width;
            Eigen::Vector3d normal;
            if (wallTakenOff)
                shade(i) = kUniformToSigma *
                           ShadeRibbonShift(ShadeRibbonWidth(wall, ppx, ppy, px[i], py[i], nx[i], ny[i]),
                                            fit.groundShare, fit.edgeWidth / kQuartileWidthToSigma, darkestShade,
                                            ribbonDepth);
            if (!WallWidth(wall, ppx, ppy, px[i], py[i], nx[i], ny[i], &width, &normal))
                continue;
            if (!(wallTakenOff && height > 0.0)) {
                d(i) = kUniformToSigma * width;
                continue;
            }
            const double g = fit.groundShare, lit = std::max(0.0, normal.dot(sun) / height);
            d(i) = width * skyRange / std::sqrt(12.0) * (0.5 - lit) / (1.0 - g);
            albedo(i) = width * kAlbedoHalfSigma * g / (1.0 - g);
            const double share = (normal.dot(sun) / height - g) / (1.0 - g);
            if (share > 1.0)
                bright(i) = kUniformToSigma * (share - 1.0) * width;
        }
        const Eigen::Matrix<double, 5, 1> v = solve * d, va = solve * albedo, w = solve * bright, u = solve * shade;
        sum += v * v.transpose() + va * va.transpose() + w * w.transpose() + u * u.transpose();
    }
    for (int i = 0; i < 25; i++)
        covariance[i] = sum(i / 5, i % 5);
}
