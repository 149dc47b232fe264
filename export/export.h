// The matched scene for other applications: camera, sun, ground and reference
// disc of one photograph, written as glTF 2.0 (with its .bin) and as USDA text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

// The scene's frame is the one the numbers speak of, (right, height,
// backward), which is glTF's own: X right, Y up, Z toward the viewer, the
// origin at the disc's centre on the ground. A camera looks along its local
// -Z with +Y up in glTF and USD alike. The USD stage is Z up, as Blender's is:
// (x, y, z)_usd = (x, -z, y)_gltf.

const double kSunAngleDegrees = 0.53;     // degrees, the sun's angular diameter seen from the ground
const double kLuxPerWattPerSquareMetre = 683.0;  // lm/W, the luminous efficacy at 555 nm: W/m^2 -> lux
const double kNumbersMarkerDiameter = 6.0;  // numbers' units, the disc the numbers are measured in
const double kMarkerTop = 0.01;           // numbers' units, the disc's top above the ground
const double kGroundHalfSide = 500.0;     // numbers' units, half the ground's side, past any camera measured
const double kNearFraction = 0.001;       // of the camera's distance to the marker: the near clipping plane
const double kFarFactor = 4.0;            // times the ground's diagonal reach from the camera: USD's far plane
const int32_t kDiscSegments = 128;        // vertices on the reference disc's rim
const double kApertureMillimetres = 36.0; // mm, the long side of the USD camera's film (full frame)

// What goes into a scene.
enum ExportFormat : int32_t {
    kExportGltf = 1,
    kExportUsd = 2,
};

// One photograph's match, in the numbers' units and degrees.
struct MatchScene {
    const char *estimate;   // "refined" or "classic": whose numbers these are
    const char *photoName;  // the photograph's file name, UTF-8
    uint32_t width;         // source pixels
    uint32_t height;        // source pixels
    double pitch;           // degrees, the optical axis above the horizon
    double roll;            // degrees, positive turns the picture clockwise
    double dollyX;          // numbers' units, right
    double dollyY;          // numbers' units, height above the ground
    double dollyZ;          // numbers' units, backward
    double fov;             // degrees along the photograph's long side
    int32_t lightFound;     // 1 when xrot and yrot hold the sun
    double xrot;            // degrees, minus the sun's elevation
    double yrot;            // degrees, toward the sun from the backward axis, counter-clockwise from above
    double scale;           // scene units per numbers' unit: marker diameter / 6, or 1
    int32_t metric;         // 1 when the scene is in metres (the marker's diameter was given)
};

// The sun's strength and colour. Illumination measured from the photograph
// replaces DefaultSunLight where the measurement record carries it.
struct SunLight {
    double strength;  // W/m^2 on a surface facing the sun
    double color[3];  // linear RGB, 0..1
};
// Today's sun: the add-on's 3 W/m^2, white.
SunLight DefaultSunLight();

// A placement: a 4 x 4 matrix for column vectors, m[row][column], the
// translation in the last column.
struct Placement {
    double m[4][4];
};

// glTF (Y up) placements of the camera and the sun. The camera stands at
// (dollyX, dollyY, dollyZ) * scale turned by R = Rx(pitch) . Rz(roll); the
// sun's local +Z points toward the sun, half the camera's distance out.
void CameraPlacement(const MatchScene &scene, Placement *placement);
void SunPlacement(const MatchScene &scene, Placement *placement);
// The same placement in the Z-up USD stage.
void StagePlacement(const Placement &yUp, Placement *zUp);
// Unit vector toward the sun, glTF frame.
void TowardSun(const MatchScene &scene, double toward[3]);
// The camera's distance from the marker, scene units.
double CameraDistance(const MatchScene &scene);
// Vertical field of view (radians) for glTF's yfov from the long side's.
double VerticalFieldOfView(const MatchScene &scene);

// The photograph's name as a USD prim name: letters, digits and "_", not
// starting with a digit, never empty.
std::string PrimName(const char *photoName);

// The text with every byte that is not part of well-formed UTF-8 made "?":
// file names are bytes, while JSON and USDA text are UTF-8.
std::string ValidUtf8(const char *text);
// The photograph's file name without its extension.
std::string PhotoStem(const char *photoName);

// The two documents, in memory. GltfDocuments: the .gltf's JSON, which names
// its buffer binName, and the .bin's bytes; 0 with the reason when tinygltf
// could not serialise.
int GltfDocuments(const MatchScene &scene, const SunLight &sun, const std::string &binName, std::string *gltf,
                  std::string *bin, std::string *reason);
std::string UsdaDocument(const MatchScene &scene, const SunLight &sun);

// Writes the chosen formats as STEM.gltf with STEM.bin and STEM.usda, where
// pathStem is STEM, folder and all: every file is first written whole under a temporary name
// and only then renamed, the .bin before its .gltf. 1 on success; 0 with the
// reason and no file of the scene left behind.
int WriteScene(const MatchScene &scene, const SunLight &sun, int32_t formats, const char *pathStem,
               std::string *reason);

// 1 when folder is a folder a file can be made in; else 0 with the reason.
int CheckExportFolder(const char *folder, std::string *reason);

// Writes bytes as a new file at path; 1 when all of it reached the file.
int WriteWholeFile(const char *path, const std::string &bytes);

// Platform side (files_memory.cpp natively, files_win32.cpp in the Windows
// build); paths are UTF-8.

// Opens path for writing bytes, made anew; null when it can not be.
FILE *OpenForWriting(const char *path);
// Renames from to to, replacing to; 1 on success.
int RenameOver(const char *from, const char *to);
// Removes a file; missing is fine.
void RemoveFile(const char *path);
// 1 when path names an existing folder.
int IsFolder(const char *path);
// A number that no other running process has: the temporary names' tag.
unsigned long ProcessTag();
