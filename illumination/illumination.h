// The light's strength and colour read off the white disc: its sunlit and
// shadowed radiances in linear light, the shadow ratio, the sun and the sky.
#pragma once

#include <cstdint>

#include "image/photo.h"
#include "refine/refine.h"

const double kDefaultMarkerAlbedo = 0.8;  // the disc's reflectance per channel when none is given

// Why there is no record (or what bounds it); Illumination.note says it in words.
enum IlluminationStatus : int32_t {
    kIlluminationDone = 0,
    kIlluminationNoLight = 1,      // the refined light has no bearing or no elevation
    kIlluminationOffDisc = 2,      // the shadow does not lie on the disc long enough to read
    kIlluminationNarrow = 3,       // the shadow's core is too narrow to read between its penumbrae
    kIlluminationFaint = 4,        // the shadow barely darkens the disc (ratio above kMaxShadowRatio)
    kIlluminationTinted = 5,       // the sunlit disc is strongly coloured: a tinted disc
};

// The light for a render with exposure 0 under the Standard view: a sun of
// sunStrength * sunColor (Blender's W/m^2, irradiance on a surface facing
// it) and a uniform world of skyColor at strength 1 render a disc of albedo
// at the photo's own pixel values. Plain data: it travels in PhotoRecord.
struct Illumination {
    IlluminationStatus status;
    double shadowRatio[3];   // shadowed over sunlit light on the level ground per channel (a Lambertian disc's radiances)
    double sunStrength;      // W/m^2, the largest channel of strength times colour
    double sunColor[3];      // largest channel 1
    double skyColor[3];      // world colour at strength 1
    double albedo[3];        // the disc's reflectance the numbers are computed for
    int32_t clipped;         // 1 when the sunlit disc reaches the top code in a channel
    int32_t sunBound;        // 1 when the sun's elevation is only an upper bound: sunStrength is a lower bound
    double shadowRatioSigma[3];
    double sunStrengthSigma;  // W/m^2
    double sunColorSigma[3];
    double skyColorSigma[3];
    double lit[3];           // linear light 0..1, the sunlit disc's radiance
    double shadowed[3];      // linear light 0..1, the shadow core's radiance on the disc
    int32_t distances;       // distances along the shadow that were read
    double coreImage[2][2];  // source pixels: first and last point read along the shadow's core
    double litImage[2][2];   // source pixels: the farthest sunlit points read, one each side
    char note[128];
};

// Measures on the photo, from the refined pose, lens and light, for a disc of
// the given albedo (each channel in (0, 1]). Returns 1 with the numbers;
// otherwise 0 with status and note saying why. Never changes the estimate.
int MeasureIllumination(const Photo *photo, const RefinedEstimate &refined, const double albedo[3],
                        Illumination *out);

// Between the module's file and its tests.

// How the disc sends light toward the camera, per channel: radiance per unit
// radiance of a uniform sky over it, and per unit of the sun's irradiance on
// the level disc (W/m^2 times sin(elevation)).
struct MarkerResponse {
    double sky[3];
    double sun[3];
};
// A Lambertian disc: rho and rho / pi.
void LambertResponse(const double albedo[3], MarkerResponse *response);
// The marker's matte surface seen from toCamera, the sun toward toSun, all
// unit vectors in one frame with the disc's normal up.
void MarkerSurfaceResponse(const double albedo[3], const double toSun[3], const double toCamera[3],
                           const double up[3], MarkerResponse *response);
// Sky colour, sun strength times colour and shadow ratio from the sunlit and
// shadowed radiances (linear, 0..1), the disc's response and the sun's
// elevation (radians); 0 when a channel's sunlit radiance is not above the shadowed.
int LightFromRadiances(const double lit[3], const double shadowed[3], const MarkerResponse &response,
                       double elevation, double sky[3], double sun[3], double ratio[3]);
// Scene units the penumbra spreads each way of a shadow edge at distance
// `along` on the ground behind the stick, for a sun at `elevation` (radians).
double PenumbraHalfWidth(double along, double elevation);
// 1 when at least kClippedShare of the sunlit samples reach the top code in a channel.
int DiscClipped(int32_t clippedSamples, int32_t samples);
