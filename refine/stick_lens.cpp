// The lens read from the stick: the stick's image line measured on the
// photograph, and the focal length at which the rim's pose makes the stick
// lean as it does, with its deviation and its conditioning.
#include <algorithm>
#include <cmath>
#include <vector>

#include "common/numeric.h"
#include "refine/refine.h"

const double kStickBaseHeight = 0.08;   // scene units above the disc where the stick is first read
const double kStickScanHeight = 0.45;   // scene units, the first profiles read up to here; every stick is taller
const double kMaxSeedTurn = 0.35;       // radians, 20 degrees: the first profiles may turn the predicted lean so far
const double kStickSearchUnits = 0.35;  // scene units either side of the predicted stick the first profiles reach
// Radians, 2 degrees: a fine walk whose fit turns the line further followed something else.
const double kMaxLineTurn = 0.035;
// A cross profile's half width: scene units at the disc's distance (the
// thickest stick's radius is 0.08), and source pixels of blur beyond.
const double kStickProfileHalfUnits = 0.25;  // scene units either side of the line in a cross profile
const double kStickBlurPixels = 3.0;         // source pixels added to the profiles' reach
const double kMaxScaleShare = 0.25;          // source pixels per scene unit at most, as a share of the long side
const double kStickProfileStep = 2.0;       // source pixels along the stick between cross profiles
const int kStickProfileSamples = 81;        // samples across a cross profile, evenly over its span
const double kMinStickLineContrast = 30.0;  // grey levels between the stick and what is beside it
const int kStickLostProfiles = 3;           // cross profiles in a row without the stick end the walk
const int kMinStickProfiles = 6;            // centres a line needs
const double kMinStickSpan = 12.0;          // source pixels along the stick that the centres must span
const double kOutlierSigmas = 3.0;          // centres further from the line than this many deviations are dropped
const int kOutlierRounds = 8;               // refits at most, until the centres kept settle
const int kStickLineRounds = 2;             // walks along the line, each along the last one's fit
// Source pixels: a band centre is not known better than this, whatever its
// spread says (pixel mixing and the renderer's or lens' blur of the edges).
const double kBandCentreFloor = 0.15;
// Neighbouring cross profiles, kStickProfileStep apart, read overlapping
// pixels through the interpolation and the lens' blur: about this many of
// them carry one profile's worth of independent noise.
const double kProfilesPerIndependent = 2.0;

// The fields of view, along the long side, that the focal length is looked for between.
const double kStickFovNarrow = 15.0;  // degrees
const double kStickFovWide = 130.0;   // degrees
const int kStickFocalSteps = 16;      // steps of ln f each way from the start in the search for a bracket
const int kStickRootHalvings = 40;    // halvings of a bracket of ln f
const double kLeverageStep = 1e-3;    // ln f either side in the leverage's central difference
// Radians of the stick's image direction per unit of ln f below which the
// lean does not tell the lens: a 10 % longer focal length would turn the
// stick by under 0.1 degree, about the direction's own deviation over a
// short stick.
const double kMinStickLeverage = 0.0175;
// Largest deviation of ln f the stick's reading may have to be used: beyond
// it the field of view would often be missed by more than twice the 3 % the
// reading is trusted for, and the classic lens with its wide spread is kept.
const double kMaxStickSpread = 0.08;

// The stick's image direction at its base for a pose. The image of centre +
// t up is p(t) = f (X + t u)_xy / (X + t u)_z + pp, whose derivative at t = 0
// is f (u_xy X_z - X_xy u_z) / X_z^2: its angle needs neither f nor the scale.
static int StickAngleOfPose(const DiscPose &pose, double *angle)
{
    const double *c = pose.centre, *u = pose.up;
    const double dx = u[0] * c[2] - c[0] * u[2], dy = u[1] * c[2] - c[1] * u[2];
    if (!(std::hypot(dx, dy) > 0.0) || !(c[2] > 0.0))
        return 0;
    *angle = std::atan2(dy, dx);
    return 1;
}

// The angle brought into (-pi, pi].
static double WrappedRadians(double a)
{
    a = std::fmod(a, 2.0 * kPi);
    if (a > kPi)
        a -= 2.0 * kPi;
    if (a <= -kPi)
        a += 2.0 * kPi;
    return a;
}

// The pose of the conic at focal length exp(u) on the branch through `near`
// (the candidate whose up is nearer), and how far its stick's image turns from
// the measured one; 0 when the conic gives no pose there.
static int StickTurnAt(const Conic &conic, double u, double ppx, double ppy, double measured, const DiscPose &near,
                       DiscPose *pose, double *turn)
{
    DiscPose candidates[2];
    if (PoseCandidates(conic, std::exp(u), ppx, ppy, candidates) != 2)
        return 0;
    const DiscPose &picked = NearestCandidate(candidates, near);
    double angle;
    if (!StickAngleOfPose(picked, &angle))
        return 0;
    *pose = picked;
    *turn = WrappedRadians(angle - measured);
    return 1;
}

// d(turn)/d(ln f) by a central difference on the branch through pose.
static int LeverageAt(const Conic &conic, double u, double ppx, double ppy, const DiscPose &pose, double *leverage)
{
    DiscPose hiPose, loPose;
    double hi, lo;
    if (!StickTurnAt(conic, u + kLeverageStep, ppx, ppy, 0.0, pose, &hiPose, &hi) ||
        !StickTurnAt(conic, u - kLeverageStep, ppx, ppy, 0.0, pose, &loPose, &lo))
        return 0;
    *leverage = WrappedRadians(hi - lo) / (2.0 * kLeverageStep);
    return 1;
}

int StickLeverage(const Conic &conic, double focal, double ppx, double ppy, const DiscPose &pose, double *leverage)
{
    return focal > 0.0 && std::isfinite(focal) && LeverageAt(conic, std::log(focal), ppx, ppy, pose, leverage);
}

// The root of the turn in [lo, hi] (turns of opposite signs at the ends) on
// the branch through `near`, by halving: the turn is smooth but its slope may
// change sign near a poorly conditioned end, where a secant step would leave
// the bracket.
static int HalveToRoot(const Conic &conic, double lo, double hi, double turnLo, double ppx, double ppy,
                       double measured, DiscPose near, double *root, DiscPose *pose)
{
    for (int i = 0; i < kStickRootHalvings; i++) {
        const double mid = 0.5 * (lo + hi);
        double turn;
        if (!StickTurnAt(conic, mid, ppx, ppy, measured, near, &near, &turn))
            return 0;
        if ((turn < 0.0) == (turnLo < 0.0)) {
            lo = mid;
            turnLo = turn;
        } else {
            hi = mid;
        }
    }
    *root = 0.5 * (lo + hi);
    double turn;
    return StickTurnAt(conic, *root, ppx, ppy, measured, near, pose, &turn);
}

// The focal length whose pose makes the stick's image lean at the measured
// angle: ln f is stepped across the plausible lenses on both branches of the
// pose (each followed by continuity of its up), a change of sign of the turn
// brackets a root, and halving finds it. Of the roots, those on the branch of
// the reference pose (the one whose predicted stick is dark at the classic
// lens) are taken, the nearest to the starting focal length.
//
// The deviation: at the root, turn(u, p) = 0 for ln f = u and the rim's
// ellipse p, so du = -(d turn / dp dp + d(measured)) / (d turn / du), and
//   var(u) = (sigma_measured^2 + J Cov(p) J^T) / leverage^2.
int FocalFromStick(const RimFit &rim, double ppx, double ppy, double stickAngle, double stickSigma, double focal,
                   const DiscPose &reference, StickLensFit *fit)
{
    const double longSide = 2.0 * std::max(ppx, ppy);
    if (!(focal > 0.0) || !std::isfinite(focal) || !(longSide > 0.0) || !std::isfinite(stickAngle) ||
        !(stickSigma >= 0.0))
        return 0;
    const double uNarrow = std::log(longSide / (2.0 * std::tan(RadiansFromDegrees(kStickFovNarrow) / 2.0)));
    const double uWide = std::log(longSide / (2.0 * std::tan(RadiansFromDegrees(kStickFovWide) / 2.0)));
    const double uStart = std::log(focal);
    const Conic &conic = rim.conic;
    // Both branches start from the reference's side: branch 0 through the
    // reference at the starting focal length, branch 1 through its twin.
    DiscPose start[2];
    if (PoseCandidates(conic, focal, ppx, ppy, start) != 2)
        return 0;
    if (UpAlignment(start[1], reference) > UpAlignment(start[0], reference))
        std::swap(start[0], start[1]);
    int found = 0;
    double bestRoot = 0.0;
    DiscPose bestPose = start[0];
    for (int branch = 0; branch < 2; branch++) {
        // Out from the start in both directions, so the branch is followed from where it is known.
        for (int way = -1; way <= 1; way += 2) {
            const double end = way < 0 ? uWide : uNarrow;
            const double step = (end - uStart) / kStickFocalSteps;
            DiscPose pose;
            double turn;
            if (!StickTurnAt(conic, uStart, ppx, ppy, stickAngle, start[branch], &pose, &turn))
                break;
            double u = uStart;
            for (int i = 1; i <= kStickFocalSteps; i++) {
                DiscPose nextPose;
                double next;
                const double v = uStart + step * i;
                if (!StickTurnAt(conic, v, ppx, ppy, stickAngle, pose, &nextPose, &next))
                    break;
                const int brackets = (turn < 0.0) != (next < 0.0) && std::fabs(turn) < kPi / 2.0 &&
                                     std::fabs(next) < kPi / 2.0;
                double root;
                DiscPose rootPose;
                if (brackets && HalveToRoot(conic, std::min(u, v), std::max(u, v), u < v ? turn : next, ppx, ppy,
                                            stickAngle, u < v ? pose : nextPose, &root, &rootPose)) {
                    if (!found || std::fabs(root - uStart) < std::fabs(bestRoot - uStart)) {
                        bestRoot = root;
                        bestPose = rootPose;
                    }
                    found = 1;
                    break;  // the nearest root this way
                }
                u = v;
                turn = next;
                pose = nextPose;
            }
        }
        if (found)
            break;  // the reference's branch holds the stick; its twin is looked at only when it does not
    }
    if (!found)
        return 0;
    double leverage;
    if (!LeverageAt(conic, bestRoot, ppx, ppy, bestPose, &leverage))
        return 0;
    // The rim's share: the turn's change with each ellipse parameter at the root's ln f.
    double jac[5];
    for (int k = 0; k < 5; k++) {
        DiscPose hiPose, loPose;
        double hi, lo;
        if (!StickTurnAt(ConicFromEllipse(ShiftedEllipse(rim.ellipse, k, kEllipseSteps[k])), bestRoot, ppx, ppy,
                         stickAngle, bestPose, &hiPose, &hi) ||
            !StickTurnAt(ConicFromEllipse(ShiftedEllipse(rim.ellipse, k, -kEllipseSteps[k])), bestRoot, ppx, ppy,
                         stickAngle, bestPose, &loPose, &lo))
            return 0;
        jac[k] = WrappedRadians(hi - lo) / (2.0 * kEllipseSteps[k]);
    }
    double rimVariance = 0.0;
    for (int i = 0; i < 5; i++)
        for (int k = 0; k < 5; k++)
            rimVariance += jac[i] * rim.covariance[i * 5 + k] * jac[k];
    const double spread = std::sqrt(stickSigma * stickSigma + std::fabs(rimVariance)) / std::fabs(leverage);
    if (!std::isfinite(spread) || !std::isfinite(bestRoot))
        return 0;
    fit->focal = std::exp(bestRoot);
    fit->focalSigma = fit->focal * spread;
    fit->leverage = leverage;
    fit->pose = bestPose;
    return 1;
}

// Offset across the line (along (-d_y, d_x)) of the dark band's middle in a
// cross profile at distance t along it, looked for within half the profile's
// span, and how far the band lies below the brighter end (grey levels); 0
// when no band stands out there.
static int BandCentre(const Photo *photo, const double base[2], const double d[2], double t, double halfSpan,
                      double *offset, double *depth)
{
    const int count = kStickProfileSamples;
    const double step = 2.0 * halfSpan / (count - 1);
    std::vector<double> g(count);
    const double x = base[0] + t * d[0], y = base[1] + t * d[1];
    for (int k = 0; k < count; k++) {
        const double o = -halfSpan + step * k;
        if (!SampleGrey(photo, x - o * d[1], y + o * d[0], &g[k]))
            return 0;
    }
    const int quarter = count / 4;
    double left, right;
    if (!DarkBandEdges(g, quarter, count - quarter, std::max(g.front(), g.back()), kMinStickLineContrast, &left,
                       &right))
        return 0;
    *offset = -halfSpan + step * 0.5 * (left + right);
    *depth = std::max(g.front(), g.back()) - *std::min_element(g.begin() + quarter, g.end() - quarter);
    return 1;
}

// Least squares offset = a + b t through the centres, refitted without those
// beyond kOutlierSigmas robust deviations of the last fit until the kept set
// settles (the shadow joining the stick's foot, the top's cap); the slope's
// deviation from the kept residuals' spread, floored at kBandCentreFloor per
// centre and counted over independent profiles only.
static int FitCentreLine(const std::vector<double> &t, const std::vector<double> &o, double *a, double *b,
                         double *slopeSigma, double *span)
{
    std::vector<int> keep(t.size(), 1);
    for (int round = 0; round < kOutlierRounds; round++) {
        double n = 0.0, st = 0.0, so = 0.0;
        for (size_t i = 0; i < t.size(); i++)
            if (keep[i]) {
                n += 1.0;
                st += t[i];
                so += o[i];
            }
        if (n < kMinStickProfiles)
            return 0;
        const double tm = st / n, om = so / n;
        double stt = 0.0, sto = 0.0, lo = HUGE_VAL, hi = -HUGE_VAL;
        for (size_t i = 0; i < t.size(); i++)
            if (keep[i]) {
                stt += (t[i] - tm) * (t[i] - tm);
                sto += (t[i] - tm) * (o[i] - om);
                lo = std::min(lo, t[i]);
                hi = std::max(hi, t[i]);
            }
        if (!(hi - lo >= kMinStickSpan))
            return 0;
        *b = sto / stt;
        *a = om - *b * tm;
        double squares = 0.0;
        std::vector<double> sizes;
        for (size_t i = 0; i < t.size(); i++)
            if (keep[i]) {
                const double r = o[i] - *a - *b * t[i];
                squares += r * r;
                sizes.push_back(std::fabs(r));
            }
        const double rms = std::sqrt(squares / std::max(1.0, n - 2.0));
        const double limit = kOutlierSigmas * std::max(kBandCentreFloor, kMadToSigma * Median(sizes));
        *slopeSigma = std::max(kBandCentreFloor, rms) * std::sqrt(kProfilesPerIndependent / stt);
        *span = hi - lo;
        int changed = 0;
        for (size_t i = 0; i < t.size(); i++) {
            const int kept = std::fabs(o[i] - *a - *b * t[i]) <= limit;
            changed += kept != keep[i];
            keep[i] = kept;
        }
        if (!changed)
            break;
    }
    return 1;
}

// The foot, the first profiles' reach and the predicted lean of one pose's stick.
struct StickSeed {
    double base[2];   // source pixels
    double from, to;  // source pixels from the base, the first profiles' heights
    double angle;     // radians
    double scale;     // source pixels per scene unit across the line of sight at the disc's centre
};

static int SeedOfPose(const DiscPose &pose, double focal, double ppx, double ppy, StickSeed *seed)
{
    auto image = [&](double h, double p[2]) {
        const double z = pose.centre[2] + h * pose.up[2];
        if (!(z > 0.0))
            return 0;
        p[0] = focal * (pose.centre[0] + h * pose.up[0]) / z + ppx;
        p[1] = focal * (pose.centre[1] + h * pose.up[1]) / z + ppy;
        return 1;
    };
    double low[2], high[2];
    if (!StickAngleOfPose(pose, &seed->angle) || !image(0.0, seed->base) || !image(kStickBaseHeight, low) ||
        !image(kStickScanHeight, high))
        return 0;
    seed->from = std::hypot(low[0] - seed->base[0], low[1] - seed->base[1]);
    seed->to = std::hypot(high[0] - seed->base[0], high[1] - seed->base[1]);
    seed->scale = focal / std::sqrt(pose.centre[0] * pose.centre[0] + pose.centre[1] * pose.centre[1] +
                                    pose.centre[2] * pose.centre[2]);
    // The profiles stay a small part of the picture however near the disc
    // seems: a pose that puts the disc at the lens reads no wider.
    seed->scale = std::min(seed->scale, kMaxScaleShare * 2.0 * std::max(ppx, ppy));
    return std::isfinite(seed->scale) && seed->to - seed->from > kMinStickSpan / 2.0;
}

// The band centres of cross profiles every kStickProfileStep along a line
// from `from` on: all of them up to `to`, whatever lies there (the shadow may
// join the stick's foot), then on until the band is lost. 1 when a line fits
// them, with the line moved and turned onto the fit and *depth the bands'
// median depth.
static int FollowBand(const Photo *photo, double from, double to, double halfSpan, double origin[2], double *angle,
                      double *slopeSigma, double *span, double *depth)
{
    const double reach = std::hypot(static_cast<double>(photo->width), static_cast<double>(photo->height));
    const double d[2] = {std::cos(*angle), std::sin(*angle)};
    std::vector<double> ts, offsets, depths;
    int lost = 0;
    for (double t = from; t < reach && (t <= to || lost < kStickLostProfiles); t += kStickProfileStep) {
        double o, g;
        if (BandCentre(photo, origin, d, t, halfSpan, &o, &g)) {
            ts.push_back(t);
            offsets.push_back(o);
            depths.push_back(g);
            lost = 0;
        } else {
            lost++;
        }
    }
    double a, b;
    if (!FitCentreLine(ts, offsets, &a, &b, slopeSigma, span))
        return 0;
    origin[0] -= a * d[1];
    origin[1] += a * d[0];
    *angle += std::atan(b);
    *depth = Median(depths);
    return 1;
}

int MeasureStickLine(const Photo *photo, const DiscPose candidates[2], double focal, StickLine *line, int *which)
{
    const double ppx = photo->width / 2.0, ppy = photo->height / 2.0;
    // Either pose's stick may be the photo's: of the two, the darker band
    // found across it. The lean a pose predicts is nearly right at any lens
    // (to first order it is the ellipse's minor axis), but its foot moves
    // with the lens: the first profiles reach kStickSearchUnits either side.
    StickSeed seeds[2];
    double origins[2][2], angles[2], depths[2];
    double slopeSigma = 0.0, span = 0.0;
    int pick = -1;
    for (int k = 0; k < 2; k++) {
        if (!(focal > 0.0) || !SeedOfPose(candidates[k], focal, ppx, ppy, &seeds[k]))
            continue;
        origins[k][0] = seeds[k].base[0];
        origins[k][1] = seeds[k].base[1];
        angles[k] = seeds[k].angle;
        const double search = 2.0 * (kStickSearchUnits * seeds[k].scale + kStickBlurPixels);
        if (!FollowBand(photo, seeds[k].from, seeds[k].to, search, origins[k], &angles[k], &slopeSigma, &span,
                        &depths[k]) ||
            std::fabs(WrappedRadians(angles[k] - seeds[k].angle)) > kMaxSeedTurn)
            continue;
        if (pick < 0 || depths[k] > depths[pick])
            pick = k;
    }
    if (pick < 0)
        return 0;
    const StickSeed &seed = seeds[pick];
    const double halfSpan = kStickProfileHalfUnits * seed.scale + kStickBlurPixels;
    double angle = angles[pick], depth;
    double origin[2] = {origins[pick][0], origins[pick][1]};
    for (int round = 0; round < kStickLineRounds; round++) {
        const double before = angle;
        if (!FollowBand(photo, seed.from, seed.to, halfSpan, origin, &angle, &slopeSigma, &span, &depth) ||
            std::fabs(angle - before) > kMaxLineTurn)
            return 0;
    }
    line->point[0] = origin[0];
    line->point[1] = origin[1];
    line->angle = angle;
    line->sigma = slopeSigma;
    line->span = span;
    *which = pick;
    return 1;
}

// Solves the focal length from a measured line, from the starting focal
// length and the pose whose stick the line is, and judges the conditioning.
static StickLensStatus SolveFromLine(const RimFit &rim, double ppx, double ppy, const StickLine &line, double focal,
                                     const DiscPose &pose, StickLensFit *fit)
{
    StickLensFit found;
    if (!FocalFromStick(rim, ppx, ppy, line.angle, line.sigma, focal, pose, &found)) {
        double leverage;
        if (StickLeverage(rim.conic, focal, ppx, ppy, pose, &leverage) && std::fabs(leverage) >= kMinStickLeverage)
            return kStickLensNoFit;
        return kStickLensPoorlyConditioned;
    }
    if (std::fabs(found.leverage) < kMinStickLeverage)
        return kStickLensPoorlyConditioned;
    if (found.focalSigma > kMaxStickSpread * found.focal)
        return kStickLensUncertain;
    found.line = line;
    *fit = found;
    return kStickLensRead;
}

StickLensStatus ReadLensFromStick(const Photo *photo, const RimFit &rim, const DiscPose candidates[2], double focal,
                                  StickLensFit *fit)
{
    StickLine line;
    int which;
    if (!MeasureStickLine(photo, candidates, focal, &line, &which))
        return kStickLensNotSeen;
    return SolveFromLine(rim, photo->width / 2.0, photo->height / 2.0, line, focal, candidates[which], fit);
}

StickLensStatus SolveLensFromStick(const RimFit &rim, double ppx, double ppy, const StickLensFit &last,
                                   StickLensFit *fit)
{
    return SolveFromLine(rim, ppx, ppy, last.line, last.focal, last.pose, fit);
}
