#include "shell/result.h"

#include <cstdarg>

#include "common/numeric.h"
#include "shell/analysis.h"
#include "shell/report.h"

ResultFile gResultFile;

static const char kResultFileName[] = "temp.ini";
static const char kMessageOutput[] = "can not output temp.ini";
static const char kMessageNoShadow[] = "shadow is not detected";
static const char kQuestionNoShadow[] = "The shadow is not detected.\nDo you continue as no light?";

int WriteResultLine(const char *format, ...)
{
    if (gResultFile.writeFailed)
        return 0;
    if (gResultFile.stream == nullptr)
        return 0;
    va_list values;
    va_start(values, format);
    int written = std::vfprintf(gResultFile.stream, format, values);
    va_end(values);
    if (written < 0) {
        std::fclose(gResultFile.stream);
        gResultFile.stream = nullptr;
        gResultFile.writeFailed = 1;
        return 0;
    }
    return 1;
}

// Text mode: every line ends with the platform's line end (CR LF on Windows),
// which is what the launcher's profile reader expects there.
static int WriteResultFile(const CameraPose &pose, int lightFound, double xrot, double yrot)
{
    gResultFile.stream = std::fopen(kResultFileName, "w");
    if (gResultFile.stream == nullptr)
        return 0;
    // A failed attempt closed its stream; this attempt starts afresh, so a
    // later OK can succeed once the file can be written.
    gResultFile.writeFailed = 0;
    WriteResultLine("[dolly]\n");
    WriteResultLine("yaw=%f\n", DegreesFromRadians(pose.yaw));
    WriteResultLine("pitch=%f\n", DegreesFromRadians(pose.pitch));
    WriteResultLine("roll=%f\n", DegreesFromRadians(pose.roll));
    WriteResultLine("dollyX=%f\n", pose.dollyX);
    WriteResultLine("dollyY=%f\n", pose.dollyY);
    WriteResultLine("dollyZ=%f\n", pose.dollyZ);
    if (lightFound) {
        WriteResultLine("\n");
        WriteResultLine("[light]\n");
        WriteResultLine("xrot=%f\n", DegreesFromRadians(xrot));
        WriteResultLine("yrot=%f\n", DegreesFromRadians(yrot));
    }
    if (gResultFile.writeFailed)
        return 0;
    FILE *stream = gResultFile.stream;
    gResultFile.stream = nullptr;
    return std::fclose(stream) == 0;
}

int OnOk(int *exitCode)
{
    ShowStatus(nullptr);
    gSettings.detectShadow = IsShadowBoxTicked() ? 1 : 0;
    // Saved at every press, before the analysis and whatever its outcome.
    WriteSettings();

    CameraPose pose = {};
    double xrot = 0.0, yrot = 0.0;
    int lightFound = 0;
    if (!RunAnalysis(0, &pose, &xrot, &yrot, &lightFound))
        return 0;
    if (gSettings.detectShadow == 1 && lightFound == 0 && AskToContinue(kQuestionNoShadow) == kAnswerCancel)
        return 0;
    if (!WriteResultFile(pose, lightFound, xrot, yrot)) {
        ShowStatus(kMessageOutput);
        return 0;
    }
    *exitCode = lightFound == 1 ? kExitCameraAndLight : kExitCameraOnly;
    return 1;
}

void OnPreview()
{
    ShowStatus(nullptr);
    gSettings.detectShadow = IsShadowBoxTicked() ? 1 : 0;
    CameraPose pose = {};
    double xrot = 0.0, yrot = 0.0;
    int lightFound = 0;
    if (RunAnalysis(1, &pose, &xrot, &yrot, &lightFound) == 1 && gSettings.detectShadow == 1 && lightFound == 0)
        ShowStatus(kMessageNoShadow);
    InvalidateMainDialog();
}
