#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/numeric.h"
#include "export/export.h"

// The stage in USD's text form, one function per prim. Attribute names and
// units follow the usdGeom and usdLux schemas: a Camera's focalLength and
// apertures are in tenths of a scene unit (the "sceneTenths" fallback of its
// units attribute, left unauthored), its clippingRange in scene units; a
// DistantLight's inputs:angle is its angular diameter in degrees and, with
// inputs:normalize on, inputs:intensity is the illuminance in lux on a surface
// facing it. Every placement is one matrix4d xformOp:transform, whose rows
// are the images of the local axes and then the translation (USD multiplies
// row vectors), i.e. the columns of a Placement.

static const double kMetresPerUnit = 1.0;        // metres per scene unit: metric scenes are in metres
static const double kTenthsPerUnit = 10.0;       // the camera's lens units per scene unit
static const double kMillimetresPerMetre = 1000.0;
static const double kGroundGrey = 0.5;           // linear display colour of the ground
static const char kIndent[] = "        ";       // children of the root prim

static const int kDoubleDigits = 17;  // significant digits that bring a double back exactly
static const int kShortDoubleDigits = 15;  // significant digits every double keeps through text
static const int kFloatDigits = 9;    // the same for a float

static std::string Digits(double value, int digits)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    return text;
}

// The shorter of 15 and 17 significant digits that gives the same double back.
static std::string Number(double value)
{
    const std::string shorter = Digits(value, kShortDoubleDigits);
    return std::strtod(shorter.c_str(), nullptr) == value ? shorter : Digits(value, kDoubleDigits);
}

// Values of float, float2, float3, color3f and point3f attributes.
static std::string Float(double value)
{
    return Digits(value, kFloatDigits);
}

// A USD string literal: backslash escapes for the quote, the backslash and line
// breaks; other control characters become "_".
static std::string Quoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += std::string("\\") + c;
        else if (c == '\n')
            out += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20)
            out += '_';
        else
            out += c;
    }
    return out + "\"";
}

static std::string Triple(double x, double y, double z)
{
    return "(" + Float(x) + ", " + Float(y) + ", " + Float(z) + ")";
}

static std::string Transform(const Placement &p)
{
    std::string rows;
    for (int row = 0; row < 4; row++)
        rows += std::string(row ? ", " : "") + "(" + Number(p.m[0][row]) + ", " + Number(p.m[1][row]) + ", " +
                Number(p.m[2][row]) + ", " + Number(p.m[3][row]) + ")";
    return std::string(kIndent) + "matrix4d xformOp:transform = ( " + rows + " )\n" + kIndent +
           "uniform token[] xformOpOrder = [\"xformOp:transform\"]\n";
}

// The film's long side is a full frame's 36 mm in the scene's tenths; the
// focal length follows from the field of view along it:
//     focalLength = (aperture / 2) / tan(fov / 2)
static std::string CameraPrim(const MatchScene &scene)
{
    const double longAperture = kApertureMillimetres / kMillimetresPerMetre / kMetresPerUnit * kTenthsPerUnit;
    const double longSide = scene.width > scene.height ? scene.width : scene.height;
    const double horizontal = longAperture * scene.width / longSide;
    const double vertical = longAperture * scene.height / longSide;
    const double focal = 0.5 * longAperture / std::tan(0.5 * RadiansFromDegrees(scene.fov));
    const double distance = CameraDistance(scene);
    const double far = kFarFactor * (distance + kGroundHalfSide * scene.scale * std::sqrt(2.0));
    Placement placement, stage;
    CameraPlacement(scene, &placement);
    StagePlacement(placement, &stage);
    return std::string("    def Camera \"camera\" (\n        customData = {\n") +
           "            int imageWidth = " + std::to_string(scene.width) + "\n" +
           "            int imageHeight = " + std::to_string(scene.height) + "\n" +
           "            string photo = " + Quoted(scene.photoName) + "\n" +
           "            double fovLongSideDegrees = " + Number(scene.fov) + "\n        }\n    )\n    {\n" +
           kIndent + "float2 clippingRange = (" + Float(kNearFraction * distance) + ", " + Float(far) + ")\n" +
           kIndent + "float focalLength = " + Float(focal) + "\n" +
           kIndent + "float horizontalAperture = " + Float(horizontal) + "\n" +
           kIndent + "float verticalAperture = " + Float(vertical) + "\n" +
           kIndent + "token projection = \"perspective\"\n" + Transform(stage) + "    }\n";
}

static std::string SunPrim(const MatchScene &scene, const SunLight &sun)
{
    Placement placement, stage;
    SunPlacement(scene, &placement);
    StagePlacement(placement, &stage);
    return std::string("    def DistantLight \"sun\"\n    {\n") +
           kIndent + "float inputs:angle = " + Float(kSunAngleDegrees) + "\n" +
           kIndent + "color3f inputs:color = " + Triple(sun.color[0], sun.color[1], sun.color[2]) + "\n" +
           kIndent + "float inputs:intensity = " + Float(sun.strength * kLuxPerWattPerSquareMetre) + "\n" +
           kIndent + "bool inputs:normalize = 1\n" + Transform(stage) + "    }\n";
}

// A flat mesh of one face on the ground's plane at height z (scene units),
// its points counter-clockwise seen from above.
static std::string FlatMesh(const char *name, const std::string &points, int count, double half, double z,
                            double grey)
{
    std::string indices;
    for (int i = 0; i < count; i++)
        indices += (i ? ", " : "") + std::to_string(i);
    // The points are given in the stage's frame: the placement is the identity.
    const Placement identity = {{{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}}};
    return std::string("    def Mesh \"") + name + "\"\n    {\n" +
           kIndent + "float3[] extent = [" + Triple(-half, -half, z) + ", " + Triple(half, half, z) + "]\n" +
           kIndent + "int[] faceVertexCounts = [" + std::to_string(count) + "]\n" +
           kIndent + "int[] faceVertexIndices = [" + indices + "]\n" +
           kIndent + "point3f[] points = [" + points + "]\n" +
           kIndent + "color3f[] primvars:displayColor = [" + Triple(grey, grey, grey) + "]\n" +
           kIndent + "uniform token subdivisionScheme = \"none\"\n" + Transform(identity) + "    }\n";
}

static std::string GroundPrim(const MatchScene &scene)
{
    const double h = kGroundHalfSide * scene.scale;
    const std::string points = Triple(-h, -h, 0) + ", " + Triple(h, -h, 0) + ", " + Triple(h, h, 0) + ", " +
                               Triple(-h, h, 0);
    return FlatMesh("ground", points, 4, h, 0.0, kGroundGrey);
}

static std::string DiscPrim(const MatchScene &scene)
{
    const double radius = 0.5 * kNumbersMarkerDiameter * scene.scale, top = kMarkerTop * scene.scale;
    std::string points;
    for (int i = 0; i < kDiscSegments; i++) {
        const double a = 2.0 * kPi * i / kDiscSegments;
        points += (i ? ", " : "") + Triple(radius * std::cos(a), radius * std::sin(a), top);
    }
    return FlatMesh("disc", points, kDiscSegments, radius, top, 1.0);
}

std::string UsdaDocument(const MatchScene &given, const SunLight &sun)
{
    const std::string photoName = ValidUtf8(given.photoName);
    MatchScene scene = given;
    scene.photoName = photoName.c_str();
    const std::string root = PrimName(PhotoStem(scene.photoName).c_str());
    const std::string units = scene.metric ? "metres" : "the measurement's own units (the disc's diameter is 6)";
    std::string out = "#usda 1.0\n(\n    defaultPrim = " + Quoted(root) + "\n" +
                      "    doc = " + Quoted(std::string("Quillmarsh match of ") + scene.photoName + ", " +
                                          scene.estimate + " estimate") + "\n" +
                      "    metersPerUnit = " + Number(kMetresPerUnit) + "\n    upAxis = \"Z\"\n)\n\n";
    out += "def Xform " + Quoted(root) + " (\n    customData = {\n" +
           "        string estimate = " + Quoted(scene.estimate) + "\n" +
           "        string photo = " + Quoted(scene.photoName) + "\n" +
           "        string units = " + Quoted(units) + "\n" +
           "        double markerDiameter = " + Number(kNumbersMarkerDiameter * scene.scale) + "\n    }\n)\n{\n";
    out += CameraPrim(scene);
    if (scene.lightFound)
        out += SunPrim(scene, sun);
    out += GroundPrim(scene);
    out += DiscPrim(scene);
    return out + "}\n";
}
