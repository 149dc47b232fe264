// The matched scene's files per photograph, as the command writes them with
// --export: each photograph measured once, then its glTF (with .bin) and USDA
// written whole into a temporary folder and renamed, repeated; prints the mean
// and the slowest photo's mean in milliseconds against the 5 ms goal, for new
// files and for files written again over the last run's (a rename that
// replaces a file). The disk is shared: a busy spell shows in the slowest.
//
// usage: bench_export PHOTO...
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "export/export.h"
#include "measure/measure.h"

namespace {

const int kRepeats = 20;          // scenes written per photograph
const double kGoalMs = 5.0;       // milliseconds per photograph, both formats
const double kMsPerSecond = 1000.0;
const uint32_t kBenchWidth = 2048;   // pixels, the benchmark's photographs
const uint32_t kBenchHeight = 1536;

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char **argv)
{
    char folder[] = "/tmp/qm-bench-export-XXXXXX";
    if (mkdtemp(folder) == nullptr)
        return 2;
    MeasureOptions options = {};
    options.threshold = 160;
    options.detectShadow = 1;
    options.jobs = 1;
    options.exportFolder = folder;
    options.exportFormats = kExportGltf | kExportUsd;
    double total[2] = {0.0, 0.0}, slowest[2] = {0.0, 0.0};
    int photos = 0;
    for (int i = 1; i < argc; i++) {
        PhotoRecord record;
        // Measured without export, then the export alone is timed.
        MeasurePhoto(argv[i], options, nullptr, &record);
        if (!record.cameraFound)
            continue;
        const uint32_t width = kBenchWidth, height = kBenchHeight;
        for (int again = 0; again < 2; again++) {
            const double start = Now();
            for (int r = 0; r < kRepeats; r++) {
                // new: a name of its own per write; again: the same name each time
                const std::string stem = std::string(folder) + "/photo" + (again ? "" : std::to_string(r));
                if (!ExportMatch(argv[i], width, height, record, options, stem.c_str()))
                    return 2;
            }
            const double ms = (Now() - start) * kMsPerSecond / kRepeats;
            total[again] += ms;
            slowest[again] = ms > slowest[again] ? ms : slowest[again];
        }
        photos++;
    }
    const std::string clean = std::string("rm -rf ") + folder;
    if (std::system(clean.c_str()) != 0 || photos == 0)
        return 2;
    std::printf("export, glTF with .bin and USDA per photo: new files %.3f ms mean, %.3f ms slowest (goal at most "
                "%.0f ms); written again over the last ones %.3f ms mean, %.3f ms slowest\n",
                total[0] / photos, slowest[0], kGoalMs, total[1] / photos, slowest[1]);
    return 0;
}
