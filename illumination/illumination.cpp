// The disc as a grey card: its radiance in the stick's shadow and in full sun
// beside it, read in linear light at the same distances from the stick, and
// the sun and sky that render a disc of its albedo at those values.
//
// The disc is taken as a Lambertian reflector of albedo rho (per channel).
// Its outgoing radiance is L = rho E / pi for an irradiance E on it. Two
// sources light it:
//   - a uniform world of radiance C (Blender's Background colour at strength
//     1) over the upper hemisphere: E_sky = integral of C cos(theta) over the
//     hemisphere's solid angle = pi C;
//   - a sun of strength S and colour c: Blender's strength is the irradiance
//     on a surface facing the sun, so on the level disc E_sun = S c sin(e)
//     for a sun at elevation e.
// In the stick's shadow only the sky lights it:   L_sh  = rho C,
// in full sun both do:                L_lit = rho (S c sin(e) / pi + C).
// Hence
//   C     = L_sh / rho,
//   S c   = pi (L_lit - L_sh) / (rho sin(e)),
//   L_sh / L_lit = pi C / (S c sin(e) + pi C)   (the shadow ratio),
// where the last needs neither rho nor the camera's exposure: it is what a
// shadow catcher must reproduce. A render with exposure 0 under the Standard
// view writes the radiance itself as the pixel's linear value, so these
// radiances are the photo's own linear pixel values (0..1).
//
// A real disc is not quite Lambertian: a matte plastic throws light back
// toward a low sun behind the camera and has a faint gloss. With its
// response toward the camera per unit sky radiance, R_sky (rho for a
// Lambertian disc), and per unit of the sun's irradiance on the level disc,
// R_sun (rho / pi), the same two equations give
//   C = L_sh / R_sky,   S c = (L_lit - L_sh) / (R_sun sin(e)).
// MarkerSurfaceResponse gives them for the marker's surface.
#include "illumination/illumination.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/numeric.h"

const double kSunDiameterDegrees = 0.53;  // degrees, the sun's angular diameter seen from the ground
const double kBlurPixels = 1.5;        // source pixels kept clear of an edge: bilinear reading, the edge's own blur
// Source pixels a JPEG's colour spreads across an edge: chroma kept at half
// resolution and interpolated back spans about two pixels more than the luma.
const double kChromaBlurPixels = 3.5;
const double kAreaStep = 0.5;          // source pixels between samples across the shadow for its darkness' area
// The marker's surface, a matte white plastic: Blender's Principled BSDF with
// these values renders it (the rendered test photos' disc is made so).
const double kMarkerRoughness = 0.7;
const double kMarkerSpecular = 0.3;
const double kSpecularScale = 0.08;  // Principled's normal-incidence reflectance per unit of specular
const int kSkyRings = 24;            // rings of equal cos(theta) over the sky's hemisphere
const int kSkySectors = 48;          // sectors of azimuth per ring
// A JPEG's luma weights on the sRGB codes (ITU-R BT.601, as JFIF's).
const double kJpegLuma[3] = {0.299, 0.587, 0.114};
const double kNearFoot = 0.4;          // scene units from the stick's foot where the shadow is first read
const double kRimClearance = 0.1;      // scene units kept inside the rim (the lit side wall, the rim's blur)
const int kDistanceSteps = 64;         // distances along the shadow that are read
const double kLitBand = 0.15;          // scene units of sunlit disc read beyond each penumbra
const int kLitSamples = 3;             // samples across each sunlit band
const int kMinDistances = 8;           // distances that must be read for a record
const double kMaxShadowRatio = 0.9;    // a shadow lighter than this is no shadow of the sun on a white disc
const double kMinLitBalance = 0.35;    // smallest over largest channel of the sunlit disc: below, it is tinted
const double kClippedShare = 0.05;     // share of sunlit samples at the top code that marks a clipped channel
const int kTopCode = 255;              // an 8-bit channel's top code
const double kStickImageMargin = 2.0;  // source pixels around the stick's image kept out of every reading
const double kProbeStep = 0.01;        // scene units, the step whose image gives the pixels' size on the disc
// Standard deviation of a median over that of a mean for normal noise,
// sqrt(pi / 2): the spread of a median of n readings is this times sigma / sqrt(n).
const double kMedianEfficiency = 1.2533141373155001;

static const char *const kNotes[] = {
    "",
    "no light: the sun's bearing and elevation were not both found",
    "the shadow does not fall on the disc far enough to read",
    "the shadow is too narrow to read between its penumbrae",
    "the shadow barely darkens the disc (shadow ratio above 0.9): the disc is not white or the sun is hidden",
    "the disc looks tinted: no light is read from a coloured disc",
};

// The ground frame along the shadow, in the camera frame: the disc's top
// centre, the shadow's direction, sideways and up; and the camera.
struct ShadowFrame {
    double centre[3], along[3], across[3];
    double focal, ppx, ppy;
    int distorted;        // 1 when the refined points were undistorted through lens
    DistortionFrame lens;
};

static void MakeShadowFrame(const RefinedEstimate &r, uint32_t width, uint32_t height, ShadowFrame *f)
{
    GroundFrame g;
    MakeGroundFrame(r.pose, &g);
    // yrot points toward the sun from the backward axis toward the right; the
    // shadow runs the other way.
    const double phi = RadiansFromDegrees(r.light.yrot);
    for (int i = 0; i < 3; i++) {
        f->centre[i] = r.pose.centre[i];
        f->along[i] = std::cos(phi) * g.forward[i] - std::sin(phi) * g.right[i];
        f->across[i] = std::sin(phi) * g.forward[i] + std::cos(phi) * g.right[i];
    }
    f->focal = r.lens.focal;
    f->ppx = width / 2.0;
    f->ppy = height / 2.0;
    f->distorted = MakeDistortionFrame(&r.distortion, width, height, &f->lens);
}

// Source pixels of the disc's point at distance `along` down the shadow and
// `side` across it; 0 when it is not in front of the camera.
static int ProjectOnDisc(const ShadowFrame &f, double along, double side, double p[2])
{
    double x[3];
    for (int i = 0; i < 3; i++)
        x[i] = f.centre[i] + along * f.along[i] + side * f.across[i];
    if (!(x[2] > 0.0))
        return 0;
    p[0] = f.focal * x[0] / x[2] + f.ppx;
    p[1] = f.focal * x[1] / x[2] + f.ppy;
    return 1;
}

// Scene units on the disc per source pixel, sideways and along, at a distance down the shadow.
static int UnitsPerPixel(const ShadowFrame &f, double along, double *sideways, double *lengthways)
{
    double p[2], s[2], l[2];
    if (!ProjectOnDisc(f, along, 0.0, p) || !ProjectOnDisc(f, along, kProbeStep, s) ||
        !ProjectOnDisc(f, along + kProbeStep, 0.0, l))
        return 0;
    const double ds = std::hypot(s[0] - p[0], s[1] - p[1]), dl = std::hypot(l[0] - p[0], l[1] - p[1]);
    if (!(ds > 0.0 && dl > 0.0))
        return 0;
    *sideways = kProbeStep / ds;
    *lengthways = kProbeStep / dl;
    return 1;
}

// The stick's image as a band from its foot to its top.
struct StickBand {
    double foot[2], direction[2], length, halfWidth;  // source pixels
};

static int OnStickImage(const StickBand &s, const double p[2])
{
    const double dx = p[0] - s.foot[0], dy = p[1] - s.foot[1];
    const double along = dx * s.direction[0] + dy * s.direction[1];
    const double across = std::fabs(dy * s.direction[0] - dx * s.direction[1]);
    return along > -s.halfWidth && along < s.length + s.halfWidth && across < s.halfWidth;
}

// Linear light of each 8-bit code, filled before main.
struct LinearTable {
    double value[256];
};

static LinearTable MakeLinearTable()
{
    LinearTable t;
    for (int v = 0; v < 256; v++)
        t.value[v] = LinearFromSrgb(v);
    return t;
}

static const LinearTable kLinear = MakeLinearTable();

// A colour read at a point: linear light per channel by bilinear
// interpolation between pixel centres (as SampleGrey reads its grey), and
// whether all four pixels sit at the top code in each channel.
struct ColourSample {
    double rgb[3];   // linear light 0..1
    double code[3];  // sRGB codes 0..255, interpolated the same way
    int top[3];
};

static int SampleColour(const Photo *photo, const double p[2], ColourSample *sample)
{
    const double fx = p[0] - 0.5, fy = p[1] - 0.5;
    if (!(fx >= 0.0 && fy >= 0.0 && fx < photo->width - 1.0 && fy < photo->height - 1.0))
        return 0;
    const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
    const double tx = fx - ix, ty = fy - iy;
    const uint32_t *row = photo->argb + static_cast<size_t>(iy) * photo->width + ix;
    const uint32_t corners[4] = {row[0], row[1], row[photo->width], row[photo->width + 1]};
    const double weights[4] = {(1.0 - tx) * (1.0 - ty), tx * (1.0 - ty), (1.0 - tx) * ty, tx * ty};
    for (int c = 0; c < 3; c++) {
        const int shift = 16 - 8 * c;
        double sum = 0.0, codes = 0.0;
        int top = 1;
        for (int k = 0; k < 4; k++) {
            const int code = static_cast<int>((corners[k] >> shift) & 0xFF);
            sum += weights[k] * kLinear.value[code];
            codes += weights[k] * code;
            top = top && code >= kTopCode;
        }
        sample->rgb[c] = sum;
        sample->code[c] = codes;
        sample->top[c] = top;
    }
    return 1;
}

// The colour at a point of the pinhole picture, read where the lens put it
// on the photo (the refined places are undistorted ones).
static int SampleColourThroughLens(const Photo *photo, const ShadowFrame &f, const double p[2], ColourSample *sample)
{
    double q[2] = {p[0], p[1]};
    if (f.distorted)
        DistortPoint(f.lens, p[0], p[1], &q[0], &q[1]);
    return SampleColour(photo, q, sample);
}

// The mean colour of the points (along, sides[k]) on the disc that show off
// the stick's image; 0 when none does. Counts the samples that reach the top
// code per channel into top[], when given.
static int MeanColour(const Photo *photo, const ShadowFrame &f, const StickBand &stick, double along,
                      const double *sides, int count, ColourSample *mean, int32_t *samples, int32_t top[3])
{
    double sum[3] = {0.0, 0.0, 0.0}, codes[3] = {0.0, 0.0, 0.0};
    int used = 0;
    for (int k = 0; k < count; k++) {
        double p[2];
        ColourSample s;
        if (!ProjectOnDisc(f, along, sides[k], p) || OnStickImage(stick, p) || !SampleColourThroughLens(photo, f, p, &s))
            continue;
        for (int c = 0; c < 3; c++) {
            sum[c] += s.rgb[c];
            codes[c] += s.code[c];
            if (top != nullptr)
                top[c] += s.top[c];
        }
        used++;
    }
    if (samples != nullptr)
        *samples += used;
    if (used == 0)
        return 0;
    for (int c = 0; c < 3; c++) {
        mean->rgb[c] = sum[c] / used;
        mean->code[c] = codes[c] / used;
    }
    return 1;
}

double PenumbraHalfWidth(double along, double elevation)
{
    // The ground point sees the stick's edge along the light, along / cos(e)
    // away; the sun's disc spreads that edge by its half angle each way.
    return along / std::cos(elevation) * std::tan(RadiansFromDegrees(0.5 * kSunDiameterDegrees));
}

// Share of a uniform sky's irradiance that an upright stick of radius s and
// height h hides from a point at horizontal distance d on the ground: it
// spans an azimuth of 2 s / d from the horizon up to the zenith angle
// theta_top, cos(theta_top) = h / sqrt(h^2 + d^2), and a strip of azimuth
// width w from theta_top down to the horizon gets C w cos^2(theta_top) / 2 of
// the sky's pi C: (s / (pi d)) h^2 / (h^2 + d^2).
static double StickSkyShare(double radius, double height, double distance)
{
    return radius / (kPi * distance) * height * height / (height * height + distance * distance);
}

void LambertResponse(const double albedo[3], MarkerResponse *response)
{
    for (int c = 0; c < 3; c++) {
        response->sky[c] = albedo[c];
        response->sun[c] = albedo[c] / kPi;
    }
}

static double Dot3(const double a[3], const double b[3])
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Fresnel reflectance of a dielectric of refractive index eta for light
// meeting it at cos(theta) = cosine.
static double DielectricFresnel(double cosine, double eta)
{
    const double g2 = eta * eta - 1.0 + cosine * cosine;
    if (!(g2 > 0.0))
        return 1.0;
    const double g = std::sqrt(g2);
    const double a = (g - cosine) / (g + cosine);
    const double b = (cosine * (g + cosine) - 1.0) / (cosine * (g - cosine) + 1.0);
    return 0.5 * a * a * (1.0 + b * b);
}

// Smith's shadowing of one direction at cos(theta) = cosine for GGX of width alpha.
static double SmithGgx(double cosine, double alpha)
{
    const double tan2 = (1.0 - cosine * cosine) / (cosine * cosine);
    return 2.0 / (1.0 + std::sqrt(1.0 + alpha * alpha * tan2));
}

// The marker's surface (a matte white plastic) toward the camera for light
// from direction l, per channel, times cos(theta_l): Burley's diffuse with
// its retro-reflection,
//   rho / pi ((1 - FL / 2)(1 - FV / 2) + RR (FL + FV + FL FV (RR - 1))),
//   F = (1 - cos)^5, RR = 2 roughness cos^2(theta_d),
// plus a colourless GGX coat D G F / (4 cos(theta_l) cos(theta_v)) of width
// alpha = roughness^2 and normal-incidence reflectance 0.08 specular.
// What depends on the view alone, n . v, its Schlick weight and its Smith
// shadowing: the same for every light direction of one response.
struct ViewTerms {
    double nv, fv, gv;
};

static ViewTerms MakeViewTerms(const double v[3], const double n[3])
{
    ViewTerms t;
    t.nv = Dot3(n, v);
    t.fv = std::pow(1.0 - t.nv, 5.0);
    t.gv = SmithGgx(t.nv, kMarkerRoughness * kMarkerRoughness);
    return t;
}

static void SurfaceTimesCosine(const double albedo[3], const double l[3], const double v[3], const double n[3],
                               const ViewTerms &view, double out[3])
{
    const double nl = Dot3(n, l), nv = view.nv;
    if (!(nl > 0.0 && nv > 0.0)) {
        out[0] = out[1] = out[2] = 0.0;
        return;
    }
    double h[3] = {l[0] + v[0], l[1] + v[1], l[2] + v[2]};
    const double hn = std::sqrt(Dot3(h, h));
    for (int i = 0; i < 3; i++)
        h[i] /= hn;
    const double lh = Dot3(l, h), nh = Dot3(n, h);
    const double fl = std::pow(1.0 - nl, 5.0), fv = view.fv;
    const double rr = 2.0 * kMarkerRoughness * lh * lh;
    const double diffuse = ((1.0 - 0.5 * fl) * (1.0 - 0.5 * fv) + rr * (fl + fv + fl * fv * (rr - 1.0))) / kPi;
    const double alpha = kMarkerRoughness * kMarkerRoughness, a2 = alpha * alpha;
    const double q = nh * nh * (a2 - 1.0) + 1.0;
    const double d = a2 / (kPi * q * q);
    const double f0 = kSpecularScale * kMarkerSpecular;
    const double eta = 2.0 / (1.0 - std::sqrt(f0)) - 1.0;
    const double coat = d * SmithGgx(nl, alpha) * view.gv * DielectricFresnel(lh, eta) / (4.0 * nv);
    for (int c = 0; c < 3; c++)
        out[c] = albedo[c] * diffuse * nl + coat;
}

// The sky's sector azimuths' cosines and sines, the same for every ring.
struct SectorTurns {
    double cosine[kSkySectors], sine[kSkySectors];
};

static SectorTurns MakeSectorTurns()
{
    SectorTurns t;
    for (int j = 0; j < kSkySectors; j++) {
        const double phi = 2.0 * kPi * (j + 0.5) / kSkySectors;
        t.cosine[j] = std::cos(phi);
        t.sine[j] = std::sin(phi);
    }
    return t;
}

// Filled before main.
static const SectorTurns kSectorTurns = MakeSectorTurns();

void MarkerSurfaceResponse(const double albedo[3], const double toSun[3], const double toCamera[3],
                           const double up[3], MarkerResponse *response)
{
    double value[3];
    // The sky: its radiance C from every direction of the upper hemisphere,
    // integral over the hemisphere of surface(l) cos(theta_l) dl, by the
    // midpoint rule in cos(theta) and the azimuth.
    double side[3] = {-up[1] * toCamera[2] + up[2] * toCamera[1], -up[2] * toCamera[0] + up[0] * toCamera[2],
                      -up[0] * toCamera[1] + up[1] * toCamera[0]};
    double norm = std::sqrt(Dot3(side, side));
    if (!(norm > 0.0)) {
        side[0] = up[1], side[1] = -up[0], side[2] = 0.0;  // seen from straight above: any level direction
        norm = std::sqrt(Dot3(side, side));
    }
    for (int i = 0; i < 3; i++)
        side[i] /= norm;
    const double ahead[3] = {up[1] * side[2] - up[2] * side[1], up[2] * side[0] - up[0] * side[2],
                             up[0] * side[1] - up[1] * side[0]};
    const ViewTerms view = MakeViewTerms(toCamera, up);
    double sky[3] = {0.0, 0.0, 0.0};
    const double cell = (1.0 / kSkyRings) * (2.0 * kPi / kSkySectors);  // d(cos theta) d(phi): solid angle
    for (int i = 0; i < kSkyRings; i++) {
        const double z = (i + 0.5) / kSkyRings, r = std::sqrt(1.0 - z * z);
        for (int j = 0; j < kSkySectors; j++) {
            const double cp = kSectorTurns.cosine[j], sp = kSectorTurns.sine[j];
            const double l[3] = {z * up[0] + r * (cp * ahead[0] + sp * side[0]),
                                 z * up[1] + r * (cp * ahead[1] + sp * side[1]),
                                 z * up[2] + r * (cp * ahead[2] + sp * side[2])};
            SurfaceTimesCosine(albedo, l, toCamera, up, view, value);
            for (int c = 0; c < 3; c++)
                sky[c] += value[c] * cell;
        }
    }
    // The sun: irradiance S sin(e) on the level disc, so the response per unit
    // of it is the surface's value times cos(theta_l) over sin(e).
    SurfaceTimesCosine(albedo, toSun, toCamera, up, view, value);
    const double rise = Dot3(toSun, up);
    for (int c = 0; c < 3; c++) {
        response->sky[c] = sky[c];
        response->sun[c] = rise > 0.0 ? value[c] / rise : 0.0;
    }
}

int LightFromRadiances(const double lit[3], const double shadowed[3], const MarkerResponse &response,
                       double elevation, double sky[3], double sun[3], double ratio[3])
{
    const double rise = std::sin(elevation);
    if (!(rise > 0.0))
        return 0;
    for (int c = 0; c < 3; c++) {
        if (!(lit[c] > shadowed[c] && shadowed[c] >= 0.0 && response.sky[c] > 0.0 && response.sun[c] > 0.0))
            return 0;
        sky[c] = shadowed[c] / response.sky[c];
        sun[c] = (lit[c] - shadowed[c]) / (response.sun[c] * rise);
        ratio[c] = shadowed[c] / lit[c];
    }
    return 1;
}

int DiscClipped(int32_t clippedSamples, int32_t samples)
{
    return samples > 0 && clippedSamples >= kClippedShare * samples;
}

// Median and the median's standard deviation (from the median absolute deviation).
static void RobustLevel(const std::vector<double> &values, double *level, double *sigma)
{
    *level = Median(values);
    std::vector<double> d(values.size());
    for (size_t i = 0; i < values.size(); i++)
        d[i] = std::fabs(values[i] - *level);
    *sigma = kMedianEfficiency * kMadToSigma * Median(d) / std::sqrt(static_cast<double>(values.size()));
}

static int Refuse(IlluminationStatus status, Illumination *out)
{
    const double albedo[3] = {out->albedo[0], out->albedo[1], out->albedo[2]};
    std::memset(out, 0, sizeof *out);
    std::memcpy(out->albedo, albedo, sizeof albedo);
    out->status = status;
    std::snprintf(out->note, sizeof out->note, "%s", kNotes[status]);
    return 0;
}

// The shade's colour from its luma and the area of its darkness. A JPEG
// keeps the luma Y' = 0.299 R' + 0.587 G' + 0.114 B' of the sRGB codes at full
// resolution and the chroma at half, interpolated back: the sunlit colour
// bleeds into a narrow shadow. But the chroma's blur only moves code values
// about, so each channel's area of darkness in codes across the shadow,
// A_c = integral (lit'_c - code_c(w)) dw, is what it was without blur:
// W (lit'_c - shade'_c) for a core of width W. The luma's own core is sharp,
// so W = A_Y' / (Y'_lit - Y'_core), and
//   shade'_c = lit'_c - A_c (Y'_lit - Y'_core) / A_Y',
// then taken to linear light by the sRGB curve. 1 with shade written; 0 when
// the profile leaves the photo or crosses the stick.
static int ShadeFromArea(const Photo *photo, const ShadowFrame &f, const StickBand &stick, double along,
                         double halfWidth, double step, const ColourSample &lit, const ColourSample &core,
                         double shade[3])
{
    double area[3] = {0.0, 0.0, 0.0};
    for (double w = -halfWidth; w <= halfWidth; w += step) {
        double p[2];
        ColourSample s;
        if (!ProjectOnDisc(f, along, w, p) || OnStickImage(stick, p) || !SampleColourThroughLens(photo, f, p, &s))
            return 0;
        for (int c = 0; c < 3; c++)
            area[c] += (lit.code[c] - s.code[c]) * step;
    }
    double litY = 0.0, coreY = 0.0, areaY = 0.0;
    for (int c = 0; c < 3; c++) {
        litY += kJpegLuma[c] * lit.code[c];
        coreY += kJpegLuma[c] * core.code[c];
        areaY += kJpegLuma[c] * area[c];
    }
    if (!(areaY > 0.0 && litY > coreY))
        return 0;
    for (int c = 0; c < 3; c++)
        shade[c] = LinearFromSrgb(lit.code[c] - area[c] * (litY - coreY) / areaY);
    return 1;
}

// The readings along the shadow: per distance the core's and the sunlit
// disc's colours, linear, with the stick's share of the sky given back.
struct Readings {
    std::vector<double> core[3], lit[3], ratio[3];
    int32_t narrow;      // distances whose core was narrower than the penumbrae and the blur
    int32_t litSamples;  // sunlit samples read
    int32_t litTop[3];   // of them, those at the top code per channel
    double coreImage[2][2], litImage[2][2];
};

static void ReadAlongShadow(const Photo *photo, const RefinedEstimate &r, const ShadowFrame &f,
                            const StickBand &stick, double elevation, Readings *out)
{
    const RefinedLight &l = r.light;
    const double s = l.stickRadius, rise = l.stickHeight - kDiscThickness;
    // The core ends before the tip's penumbra (the tip moves by tip / (sin e
    // cos e) per radian of elevation) and the rounded end of the top's shadow.
    double far = kDiscRadius - kRimClearance;
    if (l.elevationFound) {
        const double tipPenumbra =
            l.tipDistance * std::tan(RadiansFromDegrees(0.5 * kSunDiameterDegrees)) /
            (std::sin(elevation) * std::cos(elevation));
        far = std::min(far, l.tipDistance - tipPenumbra - s);
    }
    int first = 1;
    for (int i = 0; i < kDistanceSteps && far > kNearFoot; i++) {
        const double d = kNearFoot + (far - kNearFoot) * (i + 0.5) / kDistanceSteps;
        double sideways, lengthways;
        if (!UnitsPerPixel(f, d, &sideways, &lengthways))
            continue;
        if (d > far - kBlurPixels * lengthways)
            break;
        const double penumbra = PenumbraHalfWidth(d, elevation);
        const double core = s - penumbra - kBlurPixels * sideways;
        if (!(core > 0.0)) {
            out->narrow++;
            continue;
        }
        const double coreSides[3] = {-core, 0.0, core};
        ColourSample coreMean, litSides[2], lit = {};
        if (!MeanColour(photo, f, stick, d, coreSides, 3, &coreMean, nullptr, nullptr))
            continue;
        const double inner = s + penumbra + kChromaBlurPixels * sideways;
        int sides = 0;
        double outer = inner;
        for (int side = -1; side <= 1; side += 2) {
            double ws[kLitSamples];
            int count = 0;
            for (int k = 0; k < kLitSamples; k++) {
                const double w = inner + kLitBand * k / (kLitSamples - 1);
                if (std::hypot(d, w) <= kDiscRadius - kRimClearance - kBlurPixels * sideways) {
                    ws[count++] = side * w;
                    outer = std::max(outer, w);
                }
            }
            if (count > 0 && MeanColour(photo, f, stick, d, ws, count, &litSides[sides], &out->litSamples, out->litTop))
                sides++;
        }
        if (sides == 0)
            continue;
        for (int c = 0; c < 3; c++)
            for (int k = 0; k < sides; k++) {
                lit.rgb[c] += litSides[k].rgb[c] / sides;
                lit.code[c] += litSides[k].code[c] / sides;
            }
        double shade[3];
        if (!ShadeFromArea(photo, f, stick, d, inner, kAreaStep * sideways, lit, coreMean, shade))
            continue;
        const double *litMean = lit.rgb;
        // The stick hides a little of the sky from the shadow near its foot and
        // from the sunlit disc beside it: given back, as a share of the sky.
        const double coreShare = StickSkyShare(s, rise, d);
        const double litShare = StickSkyShare(s, rise, std::hypot(d, 0.5 * (inner + outer)));
        for (int c = 0; c < 3; c++) {
            const double skyLit = shade[c] / (1.0 - coreShare);
            out->core[c].push_back(skyLit);
            out->lit[c].push_back(litMean[c] + skyLit * litShare);
            out->ratio[c].push_back(litMean[c] > 0.0 ? skyLit / (litMean[c] + skyLit * litShare) : 1.0);
        }
        if (first)
            ProjectOnDisc(f, d, 0.0, out->coreImage[0]);
        ProjectOnDisc(f, d, 0.0, out->coreImage[1]);
        ProjectOnDisc(f, d, -outer, out->litImage[0]);
        ProjectOnDisc(f, d, outer, out->litImage[1]);
        first = 0;
    }
}

int MeasureIllumination(const Photo *photo, const RefinedEstimate &refined, const double albedo[3],
                        Illumination *out)
{
    std::memset(out, 0, sizeof *out);
    for (int c = 0; c < 3; c++)
        out->albedo[c] = albedo[c];
    const RefinedLight &l = refined.light;
    if (photo == nullptr || photo->argb == nullptr || refined.status != kRefineDone || !l.bearingFound ||
        !(l.elevationFound || l.elevationBound) || !(l.xrot < 0.0) || !(l.stickRadius > 0.0) ||
        !(l.stickHeight > kDiscThickness))
        return Refuse(kIlluminationNoLight, out);
    const double elevation = RadiansFromDegrees(-l.xrot);
    ShadowFrame f;
    MakeShadowFrame(refined, photo->width, photo->height, &f);

    StickBand stick = {};
    double foot[2];
    if (!ProjectOnDisc(f, 0.0, 0.0, foot))
        return Refuse(kIlluminationNoLight, out);
    stick.foot[0] = foot[0];
    stick.foot[1] = foot[1];
    const double dx = l.stickTop[0] - foot[0], dy = l.stickTop[1] - foot[1];
    stick.length = std::hypot(dx, dy);
    if (stick.length > 0.0) {
        stick.direction[0] = dx / stick.length;
        stick.direction[1] = dy / stick.length;
    }
    stick.halfWidth = refined.lens.focal * l.stickRadius / refined.pose.centre[2] + kStickImageMargin;

    Readings readings = {};
    ReadAlongShadow(photo, refined, f, stick, elevation, &readings);
    const int n = static_cast<int>(readings.core[0].size());
    if (n < kMinDistances)
        return Refuse(readings.narrow >= kMinDistances ? kIlluminationNarrow : kIlluminationOffDisc, out);

    double lit[3], litSigma[3], ratio[3], ratioSigma[3], shadowed[3], shadowedSigma[3];
    for (int c = 0; c < 3; c++) {
        RobustLevel(readings.lit[c], &lit[c], &litSigma[c]);
        RobustLevel(readings.ratio[c], &ratio[c], &ratioSigma[c]);
        // The ratio is read per distance, so vignetting and the light's slow
        // change across the disc cancel in it; the shade follows from it.
        shadowed[c] = ratio[c] * lit[c];
        shadowedSigma[c] = std::hypot(ratio[c] * litSigma[c], lit[c] * ratioSigma[c]);
    }
    const double largest = std::max(lit[0], std::max(lit[1], lit[2]));
    const double smallest = std::min(lit[0], std::min(lit[1], lit[2]));
    if (std::max(ratio[0], std::max(ratio[1], ratio[2])) > kMaxShadowRatio)
        return Refuse(kIlluminationFaint, out);
    if (!(smallest >= kMinLitBalance * largest))
        return Refuse(kIlluminationTinted, out);
    // The disc's response toward the camera (at its centre) for the sun's direction.
    double toSun[3], toCamera[3];
    const double distance = std::sqrt(Dot3(refined.pose.centre, refined.pose.centre));
    for (int i = 0; i < 3; i++) {
        toSun[i] = -std::cos(elevation) * f.along[i] + std::sin(elevation) * refined.pose.up[i];
        toCamera[i] = -refined.pose.centre[i] / distance;
    }
    MarkerResponse response;
    MarkerSurfaceResponse(albedo, toSun, toCamera, refined.pose.up, &response);
    double sky[3], sun[3], check[3];
    if (!LightFromRadiances(lit, shadowed, response, elevation, sky, sun, check))
        return Refuse(kIlluminationFaint, out);

    const double strength = std::max(sun[0], std::max(sun[1], sun[2]));
    const int strongest = sun[0] == strength ? 0 : (sun[1] == strength ? 1 : 2);
    const double elevationSigma = RadiansFromDegrees(l.xrotSigma);
    // Every channel's deviation first: a colour's deviation takes the
    // strongest channel's too, which may come later.
    double sunSigma[3];
    for (int c = 0; c < 3; c++) {
        const double perRadiance = 1.0 / (response.sun[c] * std::sin(elevation));
        sunSigma[c] = std::hypot(perRadiance * std::hypot(litSigma[c], shadowedSigma[c]),
                                 sun[c] / std::tan(elevation) * elevationSigma);
    }
    for (int c = 0; c < 3; c++) {
        out->lit[c] = lit[c];
        out->shadowed[c] = shadowed[c];
        // What a shadow catcher (a Lambertian ground) must give: the sky's
        // irradiance over the sky's and the sun's, pi C / (S c sin(e) + pi C);
        // on a Lambertian disc that is L_sh / L_lit itself.
        const double skyIrradiance = kPi * sky[c];
        out->shadowRatio[c] = skyIrradiance / (sun[c] * std::sin(elevation) + skyIrradiance);
        out->shadowRatioSigma[c] = out->shadowRatio[c] * ratioSigma[c] / ratio[c];
        out->skyColor[c] = sky[c];
        out->skyColorSigma[c] = shadowedSigma[c] / response.sky[c];
        out->sunColor[c] = sun[c] / strength;
        out->sunColorSigma[c] =
            c == strongest ? 0.0 : out->sunColor[c] * std::hypot(sunSigma[c] / sun[c], sunSigma[strongest] / strength);
    }
    out->sunStrength = strength;
    out->sunStrengthSigma = sunSigma[strongest];
    out->distances = n;
    std::memcpy(out->coreImage, readings.coreImage, sizeof out->coreImage);
    std::memcpy(out->litImage, readings.litImage, sizeof out->litImage);
    const int32_t mostTop = std::max(readings.litTop[0], std::max(readings.litTop[1], readings.litTop[2]));
    out->clipped = DiscClipped(mostTop, readings.litSamples);
    out->sunBound = l.elevationFound ? 0 : 1;

    // No number that is not finite ever leaves the reading.
    for (int c = 0; c < 3; c++) {
        const double numbers[] = {out->sunStrength,      out->sunStrengthSigma, out->sunColor[c],
                                  out->sunColorSigma[c], out->skyColor[c],      out->skyColorSigma[c],
                                  out->shadowRatio[c],   out->shadowRatioSigma[c]};
        for (double number : numbers)
            if (!std::isfinite(number))
                return Refuse(kIlluminationNoLight, out);
    }
    out->status = kIlluminationDone;
    if (out->clipped)
        std::snprintf(out->note, sizeof out->note, "%s",
                      "the disc is overexposed: the shadow ratio is at most this and the sun's strength at least "
                      "this; expose for the white disc");
    else if (out->sunBound)
        std::snprintf(out->note, sizeof out->note, "%s",
                      "the shadow leaves the disc: the sun's strength is at least this");
    return 1;
}
