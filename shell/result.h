// The OK and Preview flows: the settings saved at OK, the shadow question,
// the result file "temp.ini" and the exit code handed to the launcher.
#pragma once

#include <cstdint>
#include <cstdio>

// Exit codes of the process.
enum ExitCode : int32_t {
    kExitCameraAndLight = 0,
    kExitCameraOnly = 1,
    kExitNoResult = 2,
};

struct ResultFile {
    FILE *stream;         // the open "temp.ini", or null
    int32_t writeFailed;  // 1 once a write failed; the stream is then closed
};

extern ResultFile gResultFile;

// Writes one formatted piece into the open result file; 0 when skipped or failed.
int WriteResultLine(const char *format, ...);
// 1 with *exitCode set when "temp.ini" was written; 0 leaves the dialog open.
int OnOk(int *exitCode);
// Runs the analysis in preview mode and shows its drawings.
void OnPreview();
