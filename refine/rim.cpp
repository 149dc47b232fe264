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

// Whether a sample at (x, y) has four pixel centres around it, as SampleGrey
// asks; fx and fy are its place from the first pixel's centre.
static int GreyInside(const Photo *photo, double fx, double fy)
{
    if (!(fx >= 0.0 && fy >= 0.0))
        return 0;
    const double maxX = static_cast<double>(photo->width) - 1.0;
    const double maxY = static_cast<double>(photo->height) - 1.0;
    return fx < maxX && fy < maxY;
}

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

// The first profile index whose offset -halfLength + kProfileStep * i is at
// or above bound (past it, when past is set). The offsets never fall as i
// grows (rounding keeps their order), so bisection on the very expression the
// samples stand at finds the index a walk through them would.
static size_t FirstOffset(size_t count, double halfLength, double bound, int past)
{
    size_t lo = 0, hi = count;
    while (lo < hi) {
        const size_t i = lo + (hi - lo) / 2;
        const double s = -halfLength + kProfileStep * i;
        if (past ? !(s <= bound) : s >= bound)
            hi = i;
        else
            lo = i + 1;
    }
    return lo;
}

// Median of the profile between offsets from and to (source pixels): the
// samples there are one run of the profile, copied to scratch in their order.
static double ProfileLevel(const std::vector<double> &profile, double halfLength, double from, double to,
                           std::vector<double> *scratch)
{
    const size_t first = FirstOffset(profile.size(), halfLength, from, 0);
    const size_t end = std::max(first, FirstOffset(profile.size(), halfLength, to, 1));
    scratch->assign(profile.begin() + first, profile.begin() + end);
    return MedianInPlace(scratch->data(), scratch->size());
}

// The falling mid-level crossing nearest to offset near, linearly between samples.
static int FallingCrossing(const std::vector<double> &profile, double halfLength, double mid, double near,
                           double *at)
{
    int found = 0;
    for (size_t i = 0; i + 1 < profile.size(); i++) {
        if (profile[i] >= mid && profile[i + 1] < mid) {
            const double s = -halfLength + kProfileStep * (i + (profile[i] - mid) / (profile[i] - profile[i + 1]));
            if (!found || std::fabs(s - near) < std::fabs(*at - near))
                *at = s;
            found = 1;
        }
    }
    return found;
}

struct EdgePoint {
    double x, y;
    double inner;   // grey level of the disc beside the edge
    double outer;   // grey level of the ground beside the edge
    double nx, ny;  // outward normal of the ellipse it was read along
};

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
    points->clear();
    *cut = 0;
    for (int k = 0; k < count; k++) {
        const double t = 2.0 * kPi * k / count;
        const double ct = std::cos(t), st = std::sin(t);
        const double px = e.cx + e.a * ct * c - e.b * st * s;
        const double py = e.cy + e.a * ct * s + e.b * st * c;
        // Outward normal: the gradient of (u/a)^2 + (v/b)^2.
        const double gu = ct / e.a, gv = st / e.b;
        double nx = gu * c - gv * s, ny = gu * s + gv * c;
        const double nn = std::hypot(nx, ny);
        nx /= nn;
        ny /= nn;
        if (!SampleProfile(photo, px, py, nx, ny, &places, &cell, &profile)) {
            (*cut)++;
            continue;
        }
        double inner = ProfileLevel(profile, halfLength, -halfLength, -kLevelGap, &scratch);
        double outer = ProfileLevel(profile, halfLength, kLevelGap, halfLength, &scratch);
        double edge = 0.0;
        if (inner - outer < kMinRimContrast || !FallingCrossing(profile, halfLength, 0.5 * (inner + outer), 0.0, &edge))
            continue;
        inner = ProfileLevel(profile, halfLength, edge - kLevelGap - kLevelSpan, edge - kLevelGap, &scratch);
        outer = ProfileLevel(profile, halfLength, edge + kLevelGap, edge + kLevelGap + kLevelSpan, &scratch);
        if (inner - outer < kMinRimContrast ||
            !FallingCrossing(profile, halfLength, 0.5 * (inner + outer), edge, &edge))
            continue;
        points->push_back({px + edge * nx, py + edge * ny, inner, outer, nx, ny});
    }
    *normals = count;
}

// Fits the kept points' positions.
static int FitEdgePoints(const std::vector<EdgePoint> &points, RimFit *fit)
{
    std::vector<double> x, y;
    for (const EdgePoint &p : points) {
        x.push_back(p.x);
        y.push_back(p.y);
    }
    return FitRimEllipse(x.data(), y.data(), static_cast<int>(x.size()), fit);
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
        SummariseRim(points, normals, &result);
        e = result.ellipse;
        last.swap(points);
    }
    result.sampled = result.ellipse;
    if (lens != nullptr) {
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

// The wall's brightness W against the top's L (Lambert, both lit by the same
// sun): W = L (n . s) / (up . s) with n the wall's outward normal; unlit it
// is dark. A wall of image width w outside the top's rim moves the edge
// between top and ground out by w (W - G) / (L - G), G the ground, while
// the wall is thinner than the blur (0.01 of a radius of 3).
static void MoveInForLitWall(const WallLight &wall, double ppx, double ppy, EdgePoint *p)
{
    const Eigen::Vector3d up(wall.pose.up[0], wall.pose.up[1], wall.pose.up[2]);
    const Eigen::Vector3d centre(wall.pose.centre[0], wall.pose.centre[1], wall.pose.centre[2]);
    const Eigen::Vector3d sun(wall.sun[0], wall.sun[1], wall.sun[2]);
    const Eigen::Vector3d ray((p->x - ppx) / wall.focal, (p->y - ppy) / wall.focal, 1.0);
    const double along = up.dot(ray);
    const double height = up.dot(sun);
    if (!(std::fabs(along) > 0.0) || !(height > 0.0))
        return;
    const Eigen::Vector3d top = ray * (up.dot(centre) / along);
    Eigen::Vector3d normal = top - centre;
    if (!(normal.norm() > 0.0))
        return;
    normal.normalize();
    if (normal.dot(top) >= 0.0)
        return;  // the wall faces away from the camera
    const Eigen::Vector3d bottom = top - kDiscThickness * up;
    if (!(top(2) > 0.0) || !(bottom(2) > 0.0))
        return;
    const double dx = wall.focal * (bottom(0) / bottom(2) - top(0) / top(2));
    const double dy = wall.focal * (bottom(1) / bottom(2) - top(1) / top(2));
    const double width = dx * p->nx + dy * p->ny;
    if (!(width > 0.0) || !(p->inner > p->outer))
        return;
    const double level = p->inner * std::max(0.0, normal.dot(sun)) / height;
    const double share = std::min(1.0, std::max(0.0, (level - p->outer) / (p->inner - p->outer)));
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
        MoveInForLitWall(wall, photo->width / 2.0, photo->height / 2.0, &p);
    RimFit result;
    if (!FitEdgePoints(points, &result))
        return 0;
    result.normals = normals;
    SummariseRim(points, normals, &result);
    result.sampled = lens != nullptr ? fit->sampled : result.ellipse;
    *fit = result;
    return 1;
}
