#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "export/export.h"

namespace {

const double kDegree = 3.141592653589793 / 180.0;

MatchScene Scene(uint32_t width, uint32_t height, double fov, double diameter)
{
    MatchScene scene = {};
    scene.estimate = "refined";
    scene.photoName = "p.png";
    scene.width = width;
    scene.height = height;
    scene.pitch = -30.0;
    scene.roll = 5.0;
    scene.dollyX = 0.5;
    scene.dollyY = 8.0;
    scene.dollyZ = 14.0;
    scene.fov = fov;
    scene.lightFound = 1;
    scene.xrot = -25.0;
    scene.yrot = 90.0;
    scene.metric = diameter > 0.0;
    scene.scale = scene.metric ? diameter / 6.0 : 1.0;
    return scene;
}

// The number after "name = " in the USDA text.
double UsdaNumber(const std::string &text, const std::string &name)
{
    size_t at = text.find(name + " = ");
    return at == std::string::npos ? NAN : std::atof(text.c_str() + at + name.size() + 3);
}

// The unit conversions, one row each: the USD lens in tenths of a scene unit
// (36 mm film at one metre per unit: 0.36), glTF's vertical field of view
// from the long side's, the disc and the near plane in scene units, and the
// sun's 3 W/m^2 at 683 lux per W/m^2 in both formats.
TEST(Export, UnitConversionsTable)
{
    struct Row {
        uint32_t width, height;
        double fov, diameter;
        double horizontal, vertical, focal;  // tenths of a scene unit
        double yfovDegrees, discRadius, near;
    } rows[] = {
        // 640 x 480 at 46.2127 degrees: f = 0.18 / tan(23.106) = 0.421875 (the classic 375 / 320 ratio)
        {640, 480, 46.212653716543, 0.0, 0.36, 0.27, 0.421875, 35.489343, 3.0, 0.0161322658},
        // portrait: the long side is the height, yfov is the fov itself
        {480, 640, 46.212653716543, 0.0, 0.27, 0.36, 0.421875, 46.212654, 3.0, 0.0161322658},
        // a 0.3 m marker: metres; the lens ratios do not change with the unit
        {4000, 3000, 60.0, 0.3, 0.36, 0.27, 0.3117691, 46.826449, 0.15, 0.000806613290},
    };
    for (const Row &row : rows) {
        const MatchScene scene = Scene(row.width, row.height, row.fov, row.diameter);
        const std::string usda = UsdaDocument(scene, DefaultSunLight());
        EXPECT_NEAR(UsdaNumber(usda, "float horizontalAperture"), row.horizontal, 1e-6) << row.width;
        EXPECT_NEAR(UsdaNumber(usda, "float verticalAperture"), row.vertical, 1e-6) << row.width;
        EXPECT_NEAR(UsdaNumber(usda, "float focalLength"), row.focal, 1e-6) << row.width;
        EXPECT_NEAR(VerticalFieldOfView(scene) / kDegree, row.yfovDegrees, 1e-5) << row.width;
        EXPECT_NEAR(UsdaNumber(usda, "float inputs:intensity"), 2049.0, 1e-9);
        EXPECT_NEAR(UsdaNumber(usda, "double markerDiameter"), 2.0 * row.discRadius, 1e-12);
        const size_t near = usda.find("clippingRange = (");
        EXPECT_NEAR(std::atof(usda.c_str() + near + 17), row.near, 1e-8) << row.width;

        std::string gltf, bin, reason;
        ASSERT_TRUE(GltfDocuments(scene, DefaultSunLight(), "p.bin", &gltf, &bin, &reason)) << reason;
        const nlohmann::json document = nlohmann::json::parse(gltf);
        EXPECT_NEAR(document["cameras"][0]["perspective"]["yfov"].get<double>() / kDegree, row.yfovDegrees, 1e-5);
        EXPECT_FALSE(document["cameras"][0]["perspective"].contains("zfar"));
        EXPECT_EQ(document["extensions"]["KHR_lights_punctual"]["lights"][0]["intensity"].get<double>(), 2049.0);
        EXPECT_NEAR(document["accessors"][2]["max"][0].get<double>(), row.discRadius, 1e-7);
        EXPECT_EQ(document["buffers"][0]["uri"], "p.bin");
        EXPECT_EQ(document["buffers"][0]["byteLength"].get<size_t>(), bin.size());
    }
}

// Placements: the camera's view (-Z) rises by the pitch, the sun's +Z points
// toward it, and the Z-up stage holds the same directions.
TEST(Export, PlacementsAndStage)
{
    MatchScene scene = Scene(640, 480, 46.2, 0.0);
    scene.roll = 0.0;
    Placement camera, sun, stage;
    CameraPlacement(scene, &camera);
    EXPECT_NEAR(-camera.m[1][2], std::sin(-30.0 * kDegree), 1e-15);
    EXPECT_NEAR(camera.m[2][3], 14.0, 1e-15);
    SunPlacement(scene, &sun);
    // 25 degrees up, toward the right (+X)
    EXPECT_NEAR(sun.m[0][2], std::cos(25.0 * kDegree), 1e-15);
    EXPECT_NEAR(sun.m[1][2], std::sin(25.0 * kDegree), 1e-15);
    StagePlacement(sun, &stage);
    EXPECT_NEAR(stage.m[2][2], std::sin(25.0 * kDegree), 1e-15);
    // a sun at the zenith still has a whole frame
    scene.xrot = -90.0;
    SunPlacement(scene, &sun);
    EXPECT_NEAR(sun.m[0][0] * sun.m[0][0] + sun.m[1][0] * sun.m[1][0] + sun.m[2][0] * sun.m[2][0], 1.0, 1e-12);
}

TEST(Export, PrimNamesAndUtf8Repair)
{
    const struct {
        const char *photo, *prim;
    } names[] = {{"s01", "s01"}, {"9 odd \"name\"", "_9_odd__name_"}, {"", "_"}, {"caf\xc3\xa9", "caf__"}};
    for (const auto &name : names)
        EXPECT_EQ(PrimName(name.photo), name.prim);
    // well-formed UTF-8 kept; stray, overlong, surrogate and past-U+10FFFF bytes made "?"
    const struct {
        const char *text, *valid;
    } texts[] = {{"caf\xc3\xa9 \xf0\x9f\x93\xb7", "caf\xc3\xa9 \xf0\x9f\x93\xb7"}, {"a\xff", "a?"},
                 {"\xc3", "?"}, {"\xe0\x80\xaf", "???"}, {"\xed\xa0\x80", "???"}, {"\xf4\x90\x80\x80", "????"}};
    for (const auto &text : texts)
        EXPECT_EQ(ValidUtf8(text.text), text.valid) << text.text;
}

// A folder that takes no file: nothing of the scene stays, neither a final
// nor a temporary name. (The command refuses such a folder before measuring;
// its test covers that.)
TEST(Export, UnwritableFolderLeavesNothing)
{
    std::string reason;
    const MatchScene scene = Scene(640, 480, 46.2, 0.0);
    EXPECT_FALSE(WriteScene(scene, DefaultSunLight(), kExportGltf | kExportUsd, "/proc/p", &reason));
    EXPECT_NE(reason.find("/proc/p.bin.part-"), std::string::npos) << reason;
    for (const char *name : {"/proc/p.bin", "/proc/p.gltf", "/proc/p.usda"})
        EXPECT_FALSE(std::fopen(name, "rb")) << name;
}

// A rename that fails after others succeeded (the .usda's name is taken by a
// folder) takes the renamed .bin and .gltf back: all of the scene or none.
TEST(Export, FailedRenameTakesTheSceneBack)
{
    const std::string folder = testing::TempDir() + "qm-export-rename";
    ASSERT_EQ(std::system(("rm -rf " + folder + " && mkdir -p " + folder + "/p.usda").c_str()), 0);
    std::string reason;
    EXPECT_FALSE(WriteScene(Scene(640, 480, 46.2, 0.0), DefaultSunLight(), kExportGltf | kExportUsd,
                            (folder + "/p").c_str(), &reason));
    EXPECT_NE(reason.find("can not rename"), std::string::npos) << reason;
    EXPECT_EQ(std::system(("test \"$(ls -A " + folder + ")\" = p.usda").c_str()), 0);
    EXPECT_TRUE(WriteScene(Scene(640, 480, 46.2, 0.0), DefaultSunLight(), kExportGltf, (folder + "/p").c_str(),
                           &reason));
    EXPECT_EQ(std::system(("test \"$(ls -A " + folder + " | tr '\\n' ' ')\" = 'p.bin p.gltf p.usda '").c_str()), 0);
    std::system(("rm -rf " + folder).c_str());
}

}  // namespace
