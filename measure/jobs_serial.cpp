#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "measure/measure.h"
#include "shell/result.h"

// The Windows build measures the photographs one after another in this
// process (its C runtime has no fork, and its thread model no std::thread);
// each photograph still starts from a clean analysis state.

static const char kMessageNoFolder[] = "can not create the preview folder";

int32_t DefaultJobs() { return 1; }

static int EnsureFolder(const char *path)
{
    struct stat info;
    if (stat(path, &info) == 0)
        return S_ISDIR(info.st_mode);
    return mkdir(path) == 0;
}

int MeasureBatch(const MeasureOptions &options)
{
    const int32_t count = options.photoCount;
    std::vector<PhotoRecord> records(count);
    std::vector<char *> previews(count, nullptr);
    if (options.previewFolder != nullptr) {
        if (!EnsureFolder(options.previewFolder)) {
            std::fprintf(stderr, "quillmarsh-measure: %s %s\n", kMessageNoFolder, options.previewFolder);
            return kExitNoResult;
        }
        MakePreviewPaths(options, previews.data());
    }
    const int progress = isatty(STDERR_FILENO);
    const auto start = std::chrono::steady_clock::now();
    if (options.format == kFormatCsv)
        PrintCsvHeader(stdout);
    for (int32_t i = 0; i < count; i++) {
        MeasurePhoto(options.photos[i], options, previews[i], &records[i]);
        PrintRecord(stdout, options, options.photos[i], records[i]);
        std::fflush(stdout);
        if (progress) {
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            PrintProgress(stderr, i + 1, count, elapsed.count());
        }
    }
    for (char *path : previews)
        delete[] path;
    return BatchExitCode(records.data(), count);
}
