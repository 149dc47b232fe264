// Settings and status reporting: the two persisted settings, the status line,
// the error and question boxes, and the controls of the main dialog they use.
#pragma once

#include <cstdint>

#include "image/dialog.h"

const int32_t kDefaultThreshold = 160;     // brightness 0..255
const uint32_t kThresholdLimit = 256;      // a stored threshold at or above this is replaced
const int32_t kDefaultDetectShadow = 1;    // 0 or 1
// A threshold is one byte: only the low 8 bits of a position count.
const int32_t kThresholdMask = 0xFF;

// Answers of AskToContinue.
enum Answer : int32_t {
    kAnswerOk = 1,
    kAnswerCancel = 2,
};

struct Settings {
    int32_t threshold;     // 0..255, mirrors the trackbar once it has moved
    int32_t detectShadow;  // 0 or 1, taken from the check box at Preview and OK
};

extern Settings gSettings;

// The settings file's rules: a threshold of 256 or more (as unsigned) becomes
// 160, a detect_shadow other than 0 or 1 becomes 1.
void ApplyStoredSettings(uint32_t storedThreshold, uint32_t storedDetectShadow);

// ShowStatus and InvalidateMainDialog (declared in image/dialog.h, for
// intake) belong to the platform side below; ThresholdByte to report.cpp.

// Platform side (report_win32.cpp in the program, report_memory.cpp natively).

// Fills gSettings from ".\Quillmarsh.ini", section General (defaults when missing).
void ReadSettings();
// Writes threshold, then detect_shadow, as "%u"; 1 when both were written.
int WriteSettings();
// Error box owned by the main dialog (none before it exists); at most one open.
void ShowErrorBox(const char *text);
// OK/Cancel question box; kAnswerCancel at once while another question is open.
Answer AskToContinue(const char *text);
// 1 when the detect-shadow check box is ticked.
int IsShadowBoxTicked();
