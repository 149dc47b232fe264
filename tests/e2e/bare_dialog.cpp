// A bare dialog program: the same kind of window as Quillmarsh.exe (its own
// class "Quillmarsh", a modeless dialog from a template, a status text 302
// that reads "starting..." until the message loop starts) but no photograph.
// The start-up benchmark measures Wine's own cost of showing a dialog with it.
#include <windows.h>
#include <commctrl.h>

namespace {

const int kStatusTextId = 302;
const int kExitCancelled = 2;   // the exit code of Cancel, Escape and closing
const int kDialogWindowExtra = DLGWINDOWEXTRA;

LRESULT CALLBACK BareWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE || (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL)) {
        PostQuitMessage(kExitCancelled);
        return 0;
    }
    return DefDlgProcA(window, message, wParam, lParam);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    InitCommonControls();
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = BareWindowProc;
    windowClass.cbWndExtra = kDialogWindowExtra;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = "Quillmarsh";
    if (!RegisterClassA(&windowClass)) return kExitCancelled;
    HWND dialog = CreateDialogParamA(instance, "DialogBare", nullptr, nullptr, 0);
    if (!dialog) return kExitCancelled;
    SetDlgItemTextA(dialog, kStatusTextId, "");
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(dialog, &message)) DispatchMessageA(&message);
    }
    return (int)message.wParam;
}
