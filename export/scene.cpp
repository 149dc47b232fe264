#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/numeric.h"
#include "export/export.h"

static const double kDefaultSunStrength = 3.0;  // W/m^2, the add-on's sun: bright daylight under the Standard view
static const double kZenithTolerance = 1e-12;   // |up x toward| below which the sun stands at the zenith

SunLight DefaultSunLight()
{
    SunLight sun = {kDefaultSunStrength, {1.0, 1.0, 1.0}};
    return sun;
}

static void Identity(Placement *placement)
{
    std::memset(placement, 0, sizeof *placement);
    for (int i = 0; i < 4; i++)
        placement->m[i][i] = 1.0;
}

double CameraDistance(const MatchScene &scene)
{
    return scene.scale * std::sqrt(scene.dollyX * scene.dollyX + scene.dollyY * scene.dollyY +
                                   scene.dollyZ * scene.dollyZ);
}

// The camera looks along its local -Z with +Y up. At pitch and roll 0 it looks
// forward, along the frame's -Z, upright. Rz(roll) turns it about its own
// view axis first (counter-clockwise seen from behind, which turns the picture
// clockwise), then Rx(pitch) raises the view: R (0, 0, -1) = (0, sin p, -cos p).
//     R = Rx(p) Rz(r) = | cos r         -sin r          0     |
//                       | cos p sin r    cos p cos r   -sin p |
//                       | sin p sin r    sin p cos r    cos p |
void CameraPlacement(const MatchScene &scene, Placement *placement)
{
    const double p = RadiansFromDegrees(scene.pitch), r = RadiansFromDegrees(scene.roll);
    const double cp = std::cos(p), sp = std::sin(p), cr = std::cos(r), sr = std::sin(r);
    const double rotation[3][3] = {{cr, -sr, 0.0}, {cp * sr, cp * cr, -sp}, {sp * sr, sp * cr, cp}};
    const double position[3] = {scene.dollyX * scene.scale, scene.dollyY * scene.scale, scene.dollyZ * scene.scale};
    Identity(placement);
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++)
            placement->m[i][j] = rotation[i][j];
        placement->m[i][3] = position[i];
    }
}

// Elevation e = -xrot; the bearing yrot runs from the backward axis (+Z)
// counter-clockwise seen from above toward the right (+X):
//     toward = (cos e sin yrot, sin e, cos e cos yrot)
void TowardSun(const MatchScene &scene, double toward[3])
{
    const double e = RadiansFromDegrees(-scene.xrot), b = RadiansFromDegrees(scene.yrot);
    toward[0] = std::cos(e) * std::sin(b);
    toward[1] = std::sin(e);
    toward[2] = std::cos(e) * std::cos(b);
}

// A light shines along its local -Z, so its +Z is the way toward the sun:
// z = toward, x = normalise(up x z) (the world's X when the sun stands at the
// zenith), y = z x x.
void SunPlacement(const MatchScene &scene, Placement *placement)
{
    double z[3];
    TowardSun(scene, z);
    double x[3] = {z[2], 0.0, -z[0]};  // (0, 1, 0) x z
    double length = std::sqrt(x[0] * x[0] + x[2] * x[2]);
    if (length < kZenithTolerance) {
        x[0] = 1.0;
        x[2] = 0.0;
    } else {
        x[0] /= length;
        x[2] /= length;
    }
    const double y[3] = {z[1] * x[2] - z[2] * x[1], z[2] * x[0] - z[0] * x[2], z[0] * x[1] - z[1] * x[0]};
    const double reach = 0.5 * CameraDistance(scene);
    Identity(placement);
    for (int i = 0; i < 3; i++) {
        placement->m[i][0] = x[i];
        placement->m[i][1] = y[i];
        placement->m[i][2] = z[i];
        placement->m[i][3] = reach * z[i];
    }
}

// (x, y, z)_usd = (x, -z, y)_gltf: the rows of C = [[1,0,0],[0,0,-1],[0,1,0]]
// applied on the left; the local frame (the camera's and the light's) stays.
void StagePlacement(const Placement &yUp, Placement *zUp)
{
    *zUp = yUp;
    for (int j = 0; j < 4; j++) {
        zUp->m[1][j] = -yUp.m[2][j];
        zUp->m[2][j] = yUp.m[1][j];
    }
}

// tan(yfov / 2) = tan(fov / 2) * height / width when the long side is the width.
double VerticalFieldOfView(const MatchScene &scene)
{
    const double fov = RadiansFromDegrees(scene.fov);
    if (scene.height >= scene.width)
        return fov;
    return 2.0 * std::atan(std::tan(0.5 * fov) * scene.height / scene.width);
}

// Well-formed UTF-8 (RFC 3629): a lead byte, then continuation bytes 80..BF,
// the second one narrowed after E0 (no overlong form), ED (no surrogate),
// F0 (no overlong form) and F4 (nothing past U+10FFFF).
std::string ValidUtf8(const char *text)
{
    std::string out;
    const unsigned char *c = reinterpret_cast<const unsigned char *>(text);
    while (*c != 0) {
        int length = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (*c < 0x80)
            length = 1;
        else if (*c >= 0xC2 && *c <= 0xDF)
            length = 2;
        else if (*c >= 0xE0 && *c <= 0xEF)
            length = 3;
        else if (*c >= 0xF0 && *c <= 0xF4)
            length = 4;
        if (*c == 0xE0)
            low = 0xA0;
        else if (*c == 0xED)
            high = 0x9F;
        else if (*c == 0xF0)
            low = 0x90;
        else if (*c == 0xF4)
            high = 0x8F;
        int whole = length > 0;
        for (int i = 1; i < length && whole; i++)
            whole = i == 1 ? c[i] >= low && c[i] <= high : c[i] >= 0x80 && c[i] <= 0xBF;
        if (!whole) {
            out += '?';
            c++;
            continue;
        }
        out.append(reinterpret_cast<const char *>(c), length);
        c += length;
    }
    return out;
}

std::string PhotoStem(const char *photoName)
{
    const std::string name = photoName;
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string PrimName(const char *photoName)
{
    std::string name;
    for (const char *c = photoName; *c != '\0'; c++) {
        const bool keep = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9');
        name += keep ? *c : '_';
    }
    if (name.empty() || (name[0] >= '0' && name[0] <= '9'))
        name = "_" + name;
    return name;
}

int WriteWholeFile(const char *path, const std::string &bytes)
{
    FILE *file = OpenForWriting(path);
    if (file == nullptr)
        return 0;
    const int written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const int closed = std::fclose(file) == 0;
    return written && closed;
}

static std::string Joined(const char *folder, const char *stem, const char *tail)
{
    std::string path = folder;
    if (!path.empty() && path.back() != '/' && path.back() != '\\')
        path += '/';
    return path + stem + tail;
}

int CheckExportFolder(const char *folder, std::string *reason)
{
    if (!IsFolder(folder)) {
        *reason = std::string("the export folder does not exist (or is no folder): ") + folder;
        return 0;
    }
    const std::string probe = Joined(folder, ".quillmarsh-probe-", std::to_string(ProcessTag()).c_str());
    if (!WriteWholeFile(probe.c_str(), std::string())) {
        RemoveFile(probe.c_str());
        *reason = std::string("can not write in the export folder: ") + folder;
        return 0;
    }
    RemoveFile(probe.c_str());
    return 1;
}

int WriteScene(const MatchScene &scene, const SunLight &sun, int32_t formats, const char *pathStem,
               std::string *reason)
{
    // In renaming order: the .bin before the .gltf that names it.
    struct SceneFile {
        const char *extension;
        std::string bytes;
        std::string path;
        std::string temporary;
    };
    SceneFile files[3] = {{".bin", "", "", ""}, {".gltf", "", "", ""}, {".usda", "", "", ""}};
    if (formats & kExportGltf) {
        const std::string stem = pathStem;
        const size_t slash = stem.find_last_of("/\\");
        const std::string binName = stem.substr(slash == std::string::npos ? 0 : slash + 1) + files[0].extension;
        if (!GltfDocuments(scene, sun, binName, &files[1].bytes, &files[0].bytes, reason))
            return 0;
    }
    if (formats & kExportUsd)
        files[2].bytes = UsdaDocument(scene, sun);
    const int wanted[3] = {formats & kExportGltf, formats & kExportGltf, formats & kExportUsd};
    const std::string tag = ".part-" + std::to_string(ProcessTag());
    int failed = 0;
    for (int i = 0; i < 3 && !failed; i++) {
        if (!wanted[i])
            continue;
        files[i].path = std::string(pathStem) + files[i].extension;
        files[i].temporary = files[i].path + tag;
        failed = !WriteWholeFile(files[i].temporary.c_str(), files[i].bytes);
        if (failed)
            *reason = "can not write " + files[i].temporary;
    }
    int renamed[3] = {0, 0, 0};
    for (int i = 0; i < 3 && !failed; i++) {
        if (!wanted[i])
            continue;
        renamed[i] = RenameOver(files[i].temporary.c_str(), files[i].path.c_str());
        failed = !renamed[i];
        if (failed)
            *reason = "can not rename " + files[i].temporary + " to " + files[i].path;
    }
    if (!failed)
        return 1;
    // All of the scene or none of it: what this call wrote goes again.
    for (int i = 0; i < 3; i++) {
        if (!wanted[i])
            continue;
        RemoveFile(files[i].temporary.c_str());
        if (renamed[i])
            RemoveFile(files[i].path.c_str());
    }
    return 0;
}
