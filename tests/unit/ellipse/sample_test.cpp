// The marker of a rendered photograph: the fitted ellipse against the exact
// projection of the disc recorded with the sample.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

#include "common/numeric.h"
#include "ellipse/ellipse.h"
#include "image/image.h"
#include "marker/marker.h"
#include "shell/report.h"
#include "tests/support/test_support.h"

namespace {

// Work pixels for the centre and the semi-axes, degrees for the angle: the
// outline is of the disc cut at the threshold, not of its exact rim.
const double kTolerance = 1.0;

// The number after "key": inside the object that follows "object": in the
// sample's JSON.
double JsonNumber(const std::string &text, const std::string &object, const std::string &key)
{
    size_t start = text.find("\"" + object + "\"");
    size_t at = text.find("\"" + key + "\"", start);
    if (start == std::string::npos || at == std::string::npos)
        return NAN;
    size_t colon = text.find(':', at);
    return std::stod(text.substr(colon + 1));
}

TEST(SamplePhoto, FittedMarkerMatchesTheProjectedDisc)
{
    ResetProgramState();
    ASSERT_EQ(LoadSample("s01"), kLoadDone);
    std::ifstream file(SamplePath("s01.json"));
    std::stringstream json;
    json << file.rdbuf();
    const std::string text = json.str();

    ASSERT_EQ(LabelComponents(gImageGeometry.workWidth, gImageGeometry.workHeight,
                              static_cast<uint8_t>(kDefaultThreshold)),
              1);
    ASSERT_EQ(TraceOutline(gImageGeometry.workWidth, gImageGeometry.workHeight), 1);
    EllipseParams fitted;
    ASSERT_EQ(FitEllipse(&fitted), 1);
    NormaliseEllipse(&fitted);

    EXPECT_NEAR(fitted.cx, JsonNumber(text, "ellipse_work", "cx"), kTolerance);
    EXPECT_NEAR(fitted.cy, JsonNumber(text, "ellipse_work", "cy"), kTolerance);
    EXPECT_NEAR(fitted.a, JsonNumber(text, "ellipse_work", "a"), kTolerance);
    EXPECT_NEAR(fitted.b, JsonNumber(text, "ellipse_work", "b"), kTolerance);
    // The true ellipse is level; an axis direction repeats every half turn.
    double angle = std::remainder(DegreesFromRadians(fitted.angle) -
                                      DegreesFromRadians(JsonNumber(text, "ellipse_work", "angle")),
                                  kHalfTurnDegrees);
    EXPECT_NEAR(angle, 0.0, kTolerance);
}

}  // namespace
