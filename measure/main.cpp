#include <cstdio>
#include <cstring>

#include "image/canvas_memory.h"
#include "measure/measure.h"
#include "shell/result.h"

// Bytes of the reason a command line was refused.
static const size_t kReasonSize = 512;

static const char kMessageCommandLine[] = "quillmarsh-measure: can not read the command line\n";

int main(int argc, char **argv)
{
    argv = CommandLineWords(argc, argv, &argc);
    if (argv == nullptr) {
        std::fputs(kMessageCommandLine, stderr);
        return kExitNoResult;
    }
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; i++)
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kMeasureUsage, stdout);
            return kExitCameraAndLight;
        }
    MeasureOptions options;
    char reason[kReasonSize];
    if (!ParseMeasureOptions(argc, argv, &options, reason, sizeof reason)) {
        std::fprintf(stderr, "quillmarsh-measure: %s\n%s", reason, kMeasureUsage);
        return kExitNoResult;
    }
    SetDialogCanvases(0);
    return MeasureBatch(options);
}
