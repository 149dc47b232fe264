#include <windows.h>

#include "shell/dialog_win32.h"
#include "shell/report.h"

HWND gMainDialog;

// Relative to the current directory, like the result file.
static const char kSettingsFile[] = ".\\Quillmarsh.ini";
static const char kSettingsSection[] = "General";
static const char kKeyThreshold[] = "threshold";
static const char kKeyDetectShadow[] = "detect_shadow";
static const char kBoxCaption[] = "Quillmarsh";
static const char kEmptyText[] = "";

// 1 while a box of that kind is open: a box runs a message loop of its own,
// from which a second report could otherwise open a second box.
static int32_t sErrorBoxOpen;
static int32_t sQuestionBoxOpen;

void ReadSettings()
{
    UINT threshold = GetPrivateProfileIntA(kSettingsSection, kKeyThreshold, kDefaultThreshold, kSettingsFile);
    UINT detectShadow = GetPrivateProfileIntA(kSettingsSection, kKeyDetectShadow, kDefaultDetectShadow, kSettingsFile);
    ApplyStoredSettings(threshold, detectShadow);
}

static int WriteSetting(const char *key, int32_t value)
{
    char text[kNumberTextSize];
    wsprintfA(text, "%u", static_cast<unsigned>(value));
    return WritePrivateProfileStringA(kSettingsSection, key, text, kSettingsFile) ? 1 : 0;
}

int WriteSettings()
{
    if (!WriteSetting(kKeyThreshold, gSettings.threshold))
        return 0;
    return WriteSetting(kKeyDetectShadow, gSettings.detectShadow);
}

void ShowStatus(const char *text)
{
    // Nothing to show on before the dialog exists.
    if (gMainDialog == nullptr)
        return;
    ShowWindow(GetDlgItem(gMainDialog, IDC_STATUS_ICON), text != nullptr ? SW_SHOW : SW_HIDE);
    SetDlgItemTextA(gMainDialog, IDC_STATUS_TEXT, text != nullptr ? text : kEmptyText);
}

void ShowErrorBox(const char *text)
{
    if (sErrorBoxOpen)
        return;
    sErrorBoxOpen = 1;
    MessageBoxA(gMainDialog, text, kBoxCaption, MB_OK | MB_ICONERROR);
    sErrorBoxOpen = 0;
}

Answer AskToContinue(const char *text)
{
    if (sQuestionBoxOpen)
        return kAnswerCancel;
    sQuestionBoxOpen = 1;
    int answer = MessageBoxA(gMainDialog, text, kBoxCaption, MB_OKCANCEL | MB_ICONEXCLAMATION);
    sQuestionBoxOpen = 0;
    // Closing the box answers Cancel; so does a box that could not be shown,
    // so that no result is written without the user's consent.
    return answer == IDOK ? kAnswerOk : kAnswerCancel;
}

int IsShadowBoxTicked() { return IsDlgButtonChecked(gMainDialog, IDC_DETECT_SHADOW) == BST_CHECKED ? 1 : 0; }

void InvalidateMainDialog()
{
    // A null window would invalidate every window of the desktop.
    if (gMainDialog != nullptr)
        InvalidateRect(gMainDialog, nullptr, FALSE);
}
