// The native stand-in for the dialog's controls and the settings file: what
// the program would show or store, kept in memory for the tests to read.
#pragma once

#include <cstdint>

#include "shell/report.h"

// The largest text kept of one message, bytes.
const int kMemoryTextSize = 256;

struct MemoryDialog {
    int storedPresent;              // 1 when the "settings file" holds values
    uint32_t storedThreshold;       // as the file holds them
    uint32_t storedDetectShadow;
    int settingsWrites;             // successful WriteSettings calls
    int failSettingsWrite;          // 1 makes WriteSettings fail
    char status[kMemoryTextSize];   // status text, empty when cleared
    int statusIconVisible;
    int statusCalls;
    char lastErrorBox[kMemoryTextSize];
    int errorBoxes;
    char lastQuestion[kMemoryTextSize];
    int questions;
    Answer answer;                  // what AskToContinue answers
    int shadowBoxTicked;
    int invalidations;
};

extern MemoryDialog gMemoryDialog;

// Empties the status line and the settings file, no box shown, answer OK,
// box ticked.
void ResetMemoryDialog();
