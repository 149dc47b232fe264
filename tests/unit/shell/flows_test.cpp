// The analysis run and the OK and Preview flows on drawn scenes: what is
// written to "temp.ini", the exit code, the status line, the question and the
// settings, with the memory dialog standing in for the controls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/numeric.h"
#include "image/canvas_memory.h"
#include "image/image.h"
#include "shell/analysis.h"
#include "shell/report.h"
#include "shell/report_memory.h"
#include "shell/result.h"
#include "tests/support/test_support.h"

namespace {

const uint8_t kLit = 220;    // brightness of the lit disc
const uint8_t kShade = 70;   // brightness of the shadow and the stick

// A 640 x 480 photograph (work 640 x 480, ratio 2): a lit ellipse centred on
// the raster, optionally with the stick standing up from its centre and its
// shadow falling to the right.
void DrawScene(int withShadow)
{
    ResetProgramState();
    ASSERT_EQ(SetImageGeometry(640, 480), 1);
    const double cx = 320.0, cy = 240.0, a = 150.0, b = 75.0;
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++) {
            double u = (x - cx) / a, v = (y - cy) / b;
            uint8_t value = u * u + v * v <= 1.0 ? kLit : 30;
            if (withShadow && value == kLit) {
                // The stick: a dark post from the centre up to 0.9 b.
                if (std::abs(x - cx) <= 1.5 && y <= cy && y >= cy - 0.9 * b)
                    value = kShade;
                // The shadow: a band to the right, out to 0.7 a.
                if (x >= cx && x <= cx + 0.7 * a && std::abs(y - cy) <= 6.0)
                    value = kShade;
            }
            gWorkRaster.brightness[y * kWorkSide + x] = value;
        }
}

std::string ReadFile(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// Each test runs in a folder of its own, where "temp.ini" is written.
class FlowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/qmflowXXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        ASSERT_EQ(getcwd(previous_, sizeof previous_), previous_);
        ASSERT_EQ(chdir(folder_.c_str()), 0);
        gResultFile.stream = nullptr;
        gResultFile.writeFailed = 0;
    }
    void TearDown() override
    {
        std::remove("temp.ini");
        rmdir("temp.ini");
        ASSERT_EQ(chdir(previous_), 0);
        rmdir(folder_.c_str());
    }
    std::string folder_;
    char previous_[4096];
};

TEST_F(FlowTest, OkWithoutShadowDetectionWritesTheCameraOnlyAndExitsWithOne)
{
    DrawScene(1);
    gMemoryDialog.shadowBoxTicked = 0;
    int code = -1;
    ASSERT_EQ(OnOk(&code), 1);
    EXPECT_EQ(code, kExitCameraOnly);
    EXPECT_EQ(gMemoryDialog.questions, 0);
    std::vector<std::string> lines = Lines(ReadFile("temp.ini"));
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[0], "[dolly]");
    EXPECT_EQ(lines[1], "yaw=0.000000");
    EXPECT_EQ(lines[2].rfind("pitch=-", 0), 0u);
    EXPECT_EQ(lines[4].rfind("dollyX=", 0), 0u);
    EXPECT_EQ(lines[6].rfind("dollyZ=", 0), 0u);
    // The box's state at the press is what the settings keep.
    EXPECT_EQ(gMemoryDialog.storedDetectShadow, 0u);
    EXPECT_EQ(gMemoryDialog.storedThreshold, 160u);
}

TEST_F(FlowTest, OkWithAShadowWritesElevenLinesAndExitsWithZero)
{
    DrawScene(1);
    int code = -1;
    ASSERT_EQ(OnOk(&code), 1);
    EXPECT_EQ(code, kExitCameraAndLight);
    std::vector<std::string> lines = Lines(ReadFile("temp.ini"));
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[7], "");
    EXPECT_EQ(lines[8], "[light]");
    // The shadow falls to the right, so the light comes from the left: -90.
    double yrot = std::atof(lines[10].c_str() + 5);
    EXPECT_EQ(lines[10].rfind("yrot=", 0), 0u);
    EXPECT_NEAR(yrot, -90.0, 3.0);
    double xrot = std::atof(lines[9].c_str() + 5);
    EXPECT_LT(xrot, 0.0);
    EXPECT_GT(xrot, -90.0);
}

TEST_F(FlowTest, MissingShadowAsksAndTheAnswerDecides)
{
    struct Case {
        Answer answer;
        int result;
        int lines;
    } cases[] = {{kAnswerOk, 1, 7}, {kAnswerCancel, 0, 0}};
    for (const Case &c : cases) {
        DrawScene(0);
        gMemoryDialog.answer = c.answer;
        int code = -1;
        EXPECT_EQ(OnOk(&code), c.result);
        EXPECT_EQ(gMemoryDialog.questions, 1);
        EXPECT_STREQ(gMemoryDialog.lastQuestion, "The shadow is not detected.\nDo you continue as no light?");
        EXPECT_STREQ(gMemoryDialog.status, "");
        EXPECT_EQ(Lines(ReadFile("temp.ini")).size(), static_cast<size_t>(c.lines));
        EXPECT_EQ(code, c.result == 1 ? kExitCameraOnly : -1);
        std::remove("temp.ini");
    }
}

TEST_F(FlowTest, EachFailingStageShowsItsMessageAndOkStillSavesTheSettings)
{
    struct Case {
        const char *name;
        void (*draw)();
        const char *message;
    } cases[] = {
        {"nothing bright", [] { std::memset(gWorkRaster.brightness, 0, sizeof gWorkRaster.brightness); },
         "can not trace outline of ellipse"},
        {"checkerboard", [] {
             for (int y = 0; y < 480; y++)
                 for (int x = 0; x < 640; x++)
                     gWorkRaster.brightness[y * kWorkSide + x] = (x % 2 == 0 && y % 2 == 0) ? 255 : 0;
         },
         "Thre are not enough labels.\nToo wandering."},
        {"one bright pixel", [] {
             std::memset(gWorkRaster.brightness, 0, sizeof gWorkRaster.brightness);
             gWorkRaster.brightness[200 * kWorkSide + 300] = 255;
         },
         "can not calculate parameters of ellipse"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DrawScene(0);
        c.draw();
        gSettings.threshold = 100;
        int code = -1;
        EXPECT_EQ(OnOk(&code), 0);
        EXPECT_STREQ(gMemoryDialog.status, c.message);
        EXPECT_EQ(gMemoryDialog.settingsWrites, 1);
        EXPECT_EQ(gMemoryDialog.storedThreshold, 100u);
        EXPECT_EQ(access("temp.ini", F_OK), -1);
        EXPECT_EQ(code, -1);
    }
}

TEST_F(FlowTest, ALabellingFailureLeavesTheLightFlagUntouched)
{
    DrawScene(0);
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++)
            gWorkRaster.brightness[y * kWorkSide + x] = (x % 2 == 0 && y % 2 == 0) ? 255 : 0;
    CameraPose pose = {};
    double xrot = 7.0, yrot = 8.0;
    int lightFound = 5;
    EXPECT_EQ(RunAnalysis(0, &pose, &xrot, &yrot, &lightFound), 0);
    EXPECT_EQ(lightFound, 5);
    EXPECT_EQ(xrot, 7.0);
}

TEST_F(FlowTest, AResultFileThatCannotBeWrittenKeepsTheDialogOpenUntilItCan)
{
    DrawScene(1);
    ASSERT_EQ(mkdir("temp.ini", 0700), 0);
    int code = -1;
    EXPECT_EQ(OnOk(&code), 0);
    EXPECT_STREQ(gMemoryDialog.status, "can not output temp.ini");
    EXPECT_EQ(code, -1);
    ASSERT_EQ(rmdir("temp.ini"), 0);
    EXPECT_EQ(OnOk(&code), 1);
    EXPECT_EQ(code, kExitCameraAndLight);
    EXPECT_STREQ(gMemoryDialog.status, "");
}

TEST_F(FlowTest, WriteResultLineFormatsWithAPointAndSixDecimals)
{
    gResultFile.stream = std::tmpfile();
    ASSERT_NE(gResultFile.stream, nullptr);
    EXPECT_EQ(WriteResultLine("yaw=%f\n", DegreesFromRadians(kPi / 2.0)), 1);
    EXPECT_EQ(WriteResultLine("dollyZ=%f\n", -12.5), 1);
    std::rewind(gResultFile.stream);
    char text[64] = {};
    size_t n = std::fread(text, 1, sizeof text - 1, gResultFile.stream);
    EXPECT_EQ(std::string(text, n), "yaw=90.000000\ndollyZ=-12.500000\n");
    std::fclose(gResultFile.stream);
    gResultFile.stream = nullptr;
    // Without a stream, or after a failed write, nothing is written.
    EXPECT_EQ(WriteResultLine("x\n"), 0);
    gResultFile.writeFailed = 1;
    gResultFile.stream = std::tmpfile();
    EXPECT_EQ(WriteResultLine("x\n"), 0);
    EXPECT_EQ(std::ftell(gResultFile.stream), 0);
    std::fclose(gResultFile.stream);
    gResultFile.stream = nullptr;
}

TEST_F(FlowTest, PreviewDrawsEveryStageAndNeverWritesOrSaves)
{
    DrawScene(1);
    OnPreview();
    Canvas *canvas = AnalysisCanvas();
    ASSERT_NE(canvas, nullptr);
    EXPECT_GT(CountCanvasColour(canvas, kColourRed), 100);
    EXPECT_GT(CountCanvasColour(canvas, kColourBlue), 50);
    EXPECT_GT(CountCanvasColour(canvas, kColourGreen), 20);
    EXPECT_GT(CountCanvasColour(canvas, kColourYellow), 10);
    EXPECT_STREQ(gMemoryDialog.status, "");
    EXPECT_GE(gMemoryDialog.invalidations, 1);
    EXPECT_EQ(gMemoryDialog.settingsWrites, 0);
    EXPECT_EQ(access("temp.ini", F_OK), -1);
}

TEST_F(FlowTest, PreviewTellsOfAMissingShadowOnlyWhenOneWasExpected)
{
    DrawScene(0);
    OnPreview();
    EXPECT_STREQ(gMemoryDialog.status, "shadow is not detected");
    EXPECT_EQ(CountCanvasColour(AnalysisCanvas(), kColourYellow), 0);

    DrawScene(0);
    gMemoryDialog.shadowBoxTicked = 0;
    OnPreview();
    EXPECT_STREQ(gMemoryDialog.status, "");
    EXPECT_GT(CountCanvasColour(AnalysisCanvas(), kColourBlue), 0);
}

TEST_F(FlowTest, PreviewWithoutShadowDetectionComputesNoPose)
{
    DrawScene(1);
    gSettings.detectShadow = 0;
    CameraPose pose = {};
    pose.pitch = 123.0;
    double xrot = 0.0, yrot = 0.0;
    int lightFound = 9;
    EXPECT_EQ(RunAnalysis(1, &pose, &xrot, &yrot, &lightFound), 1);
    EXPECT_EQ(lightFound, 0);
    EXPECT_EQ(pose.pitch, 123.0);
}

}  // namespace
