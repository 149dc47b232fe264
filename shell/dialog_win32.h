// The main dialog of the program: its window handle, shared by everything
// that reports, reads the check box or draws, and its window procedure.
#pragma once

#include <windows.h>

#include "image/image_win32.h"
#include "resources/resource.h"

// Room for a "%u" of 32 bits and its terminator, bytes: the value label and
// the settings file both hold such numbers.
const int kNumberTextSize = 16;

// The dialog's handle, gMainDialog, is declared with the canvases
// (image/image_win32.h), which take their pixel format from it; it is empty
// until the dialog is created at start-up.

// Puts gSettings into the check box, the value label and the trackbar.
void InitControls(HWND dialog);
// threshold = the trackbar's position (low 8 bits), echoed in the value label.
void TakeTrackbarThreshold(HWND dialog);
// Window procedure of the class "Quillmarsh", which the dialog template names.
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
