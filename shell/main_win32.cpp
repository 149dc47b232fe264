#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstring>

#include "image/image.h"
#include "image/image_win32.h"
#include "shell/dialog_win32.h"
#include "shell/report.h"
#include "shell/result.h"

static const char kClassName[] = "Quillmarsh";
static const char kDialogTemplate[] = "DialogMain";
static const char kAppIcon[] = "Icon01";
static const char kVersionText[] = "ver" QM_VERSION_TEXT;

static const char kMessageCommandLine[] = "can not get the command line parameter";
static const char kMessageUsage[] = "This program is run by Quillmarsh.py.";
static const char kMessageRegister[] = "can not regist window class";
static const char kMessageDialog[] = "can not create main dialog window";
static const char kMessageLoad[] = "can not load background image file";

// The program's name and the photograph's path.
static const int kExpectedArgumentCount = 2;
// The trackbar covers every threshold, with a tick and a page every 16.
static const WORD kTrackbarLow = 0;
static const WORD kTrackbarHigh = 255;
static const WPARAM kTrackbarStep = 16;

static HINSTANCE sInstance;
// The photograph's path: an element of the argument array, which stays
// allocated for the whole run.
static const wchar_t *sPhotoPath;

static void SetNumberText(HWND dialog, int id, int32_t value)
{
    char text[kNumberTextSize];
    wsprintfA(text, "%u", static_cast<unsigned>(value));
    SetDlgItemTextA(dialog, id, text);
}

void InitControls(HWND dialog)
{
    CheckDlgButton(dialog, IDC_DETECT_SHADOW, gSettings.detectShadow != 0 ? BST_CHECKED : BST_UNCHECKED);
    SetNumberText(dialog, IDC_THRESHOLD_VALUE, gSettings.threshold);
    SendDlgItemMessageA(dialog, IDC_THRESHOLD_TRACKBAR, TBM_SETRANGE, TRUE, MAKELPARAM(kTrackbarLow, kTrackbarHigh));
    SendDlgItemMessageA(dialog, IDC_THRESHOLD_TRACKBAR, TBM_SETTICFREQ, kTrackbarStep, 0);
    SendDlgItemMessageA(dialog, IDC_THRESHOLD_TRACKBAR, TBM_SETPAGESIZE, 0, static_cast<LPARAM>(kTrackbarStep));
    SendDlgItemMessageA(dialog, IDC_THRESHOLD_TRACKBAR, TBM_SETPOS, TRUE, gSettings.threshold);
}

void TakeTrackbarThreshold(HWND dialog)
{
    LRESULT position = SendDlgItemMessageA(dialog, IDC_THRESHOLD_TRACKBAR, TBM_GETPOS, 0, 0);
    gSettings.threshold = static_cast<int32_t>(position) & kThresholdMask;
    SetNumberText(dialog, IDC_THRESHOLD_VALUE, gSettings.threshold);
}

// Leaving the message loop: the canvases go, the code becomes the exit code.
static LRESULT Quit(int exitCode)
{
    ReleaseCanvases();
    PostQuitMessage(exitCode);
    return 0;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
    case WM_DESTROY:
        // Closing leaves the loop without destroying the window.
        return Quit(kExitNoResult);
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        if (dc != nullptr)
            PaintCanvases(dc);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK: {
            int exitCode = kExitNoResult;
            if (OnOk(&exitCode))
                return Quit(exitCode);
            break;
        }
        case IDCANCEL:
            return Quit(kExitNoResult);
        case IDC_DETECT_SHADOW:
            ShowStatus(nullptr);
            return 0;
        case IDC_PREVIEW:
            OnPreview();
            return 0;
        }
        break;
    case WM_HSCROLL:
        // Every notification, each step of a drag included, re-renders.
        if (lParam != 0 && GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == IDC_THRESHOLD_TRACKBAR) {
            ShowStatus(nullptr);
            TakeTrackbarThreshold(window);
            RenderThresholdView();
            return 0;
        }
        break;
    }
    return DefDlgProcA(window, message, wParam, lParam);
}

static int RegisterMainClass()
{
    WNDCLASSA windowClass = {};
    windowClass.style = 0;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.cbClsExtra = 0;
    // A class that carries a dialog needs the dialog manager's window bytes.
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = sInstance;
    windowClass.hIcon = LoadIconA(sInstance, kAppIcon);
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kClassName;
    return RegisterClassA(&windowClass) != 0;
}

// Fetches and dispatches until the quit message; its code is returned.
static int RunMessageLoop()
{
    MSG message;
    for (;;) {
        BOOL fetched = GetMessageA(&message, nullptr, 0, 0);
        if (fetched == 0)
            return static_cast<int>(message.wParam);
        // -1: the loop itself broke; leave without a result rather than spin.
        if (fetched == -1)
            return kExitNoResult;
        // Key messages are not translated: the dialog handling needs only
        // Tab, Return, Escape, the arrows and the mnemonics.
        if (!IsDialogMessageA(gMainDialog, &message))
            DispatchMessageA(&message);
    }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    std::memset(&gImageGeometry, 0, sizeof gImageGeometry);
    std::memset(&gSettings, 0, sizeof gSettings);
    std::memset(&gResultFile, 0, sizeof gResultFile);
    gMainDialog = nullptr;
    sPhotoPath = nullptr;
    sInstance = instance;

    int argumentCount = 0;
    LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &argumentCount);
    if (arguments == nullptr) {
        ShowErrorBox(kMessageCommandLine);
        return kExitNoResult;
    }
    if (argumentCount != kExpectedArgumentCount) {
        ShowErrorBox(kMessageUsage);
        return kExitNoResult;
    }
    sPhotoPath = arguments[1];

    ReadSettings();
    InitCommonControls();
    if (!RegisterMainClass()) {
        ShowErrorBox(kMessageRegister);
        return kExitNoResult;
    }
    // Modeless, with no owner and no dialog procedure: the template names the
    // class, so every message reaches MainWindowProc.
    gMainDialog = CreateDialogParamA(sInstance, kDialogTemplate, nullptr, nullptr, 0);
    if (gMainDialog == nullptr) {
        ReleaseCanvases();
        ShowErrorBox(kMessageDialog);
        return kExitNoResult;
    }
    SetDlgItemTextA(gMainDialog, IDC_VERSION, kVersionText);
    InitControls(gMainDialog);

    // A rejected photograph has already told the user why.
    LoadStatus loaded = LoadBackgroundImage(sPhotoPath);
    if (loaded == kLoadDone) {
        RenderThresholdView();
        EnableWindow(GetDlgItem(gMainDialog, IDOK), TRUE);
        EnableWindow(GetDlgItem(gMainDialog, IDC_PREVIEW), TRUE);
        ShowStatus(nullptr);
    } else if (loaded == kLoadFailed) {
        ShowStatus(kMessageLoad);
    }

    return RunMessageLoop();
}
