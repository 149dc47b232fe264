// What intake and the threshold view use of the dialog that shows them: its
// status line, its repaint and the threshold. The shell implements these.
#pragma once

#include <cstdint>

// Shows the status icon and the text, or with null hides the icon and empties the text.
void ShowStatus(const char *text);
// Marks the whole client area of the main dialog for repainting, without erasing.
void InvalidateMainDialog();
// The threshold of the settings, only its low 8 bits.
uint8_t ThresholdByte();
