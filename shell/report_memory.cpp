#include <cstring>

#include "shell/report.h"
#include "shell/report_memory.h"

MemoryDialog gMemoryDialog;

static void CopyText(char *to, const char *from)
{
    std::strncpy(to, from, kMemoryTextSize - 1);
    to[kMemoryTextSize - 1] = '\0';
}

void ResetMemoryDialog()
{
    std::memset(&gMemoryDialog, 0, sizeof gMemoryDialog);
    gMemoryDialog.answer = kAnswerOk;
    gMemoryDialog.shadowBoxTicked = 1;
}

void ReadSettings()
{
    if (gMemoryDialog.storedPresent)
        ApplyStoredSettings(gMemoryDialog.storedThreshold, gMemoryDialog.storedDetectShadow);
    else
        ApplyStoredSettings(static_cast<uint32_t>(kDefaultThreshold), static_cast<uint32_t>(kDefaultDetectShadow));
}

int WriteSettings()
{
    if (gMemoryDialog.failSettingsWrite)
        return 0;
    gMemoryDialog.storedPresent = 1;
    gMemoryDialog.storedThreshold = static_cast<uint32_t>(gSettings.threshold);
    gMemoryDialog.storedDetectShadow = static_cast<uint32_t>(gSettings.detectShadow);
    gMemoryDialog.settingsWrites++;
    return 1;
}

void ShowStatus(const char *text)
{
    gMemoryDialog.statusCalls++;
    gMemoryDialog.statusIconVisible = text != nullptr;
    CopyText(gMemoryDialog.status, text != nullptr ? text : "");
}

void ShowErrorBox(const char *text)
{
    gMemoryDialog.errorBoxes++;
    CopyText(gMemoryDialog.lastErrorBox, text);
}

Answer AskToContinue(const char *text)
{
    gMemoryDialog.questions++;
    CopyText(gMemoryDialog.lastQuestion, text);
    return gMemoryDialog.answer;
}

int IsShadowBoxTicked() { return gMemoryDialog.shadowBoxTicked; }

void InvalidateMainDialog() { gMemoryDialog.invalidations++; }
