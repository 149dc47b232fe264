#include <windows.h>
#include <shellapi.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "measure/measure.h"
#include "shell/result.h"

// The Windows build measures the photographs one after another in this
// process (its C runtime has no fork, and its thread model no std::thread);
// each photograph still starts from a clean analysis state. --jobs is
// accepted and changes nothing here.


int32_t DefaultJobs() { return 1; }

char **CommandLineWords(int, char **, int *count)
{
    int wideCount = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    if (wide == nullptr)
        return nullptr;
    // Kept for the whole run: the options point into these words.
    char **words = new char *[static_cast<size_t>(wideCount) + 1];
    for (int i = 0; i < wideCount; i++) {
        int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        words[i] = new char[size > 0 ? size : 1];
        words[i][0] = '\0';
        if (size > 0)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, words[i], size, nullptr, nullptr);
    }
    words[wideCount] = nullptr;
    LocalFree(wide);
    *count = wideCount;
    return words;
}

// The folder's name is UTF-8, like every path of the command.
int EnsureFolder(const char *path)
{
    int wideCount = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (wideCount <= 0)
        return 0;
    std::vector<WCHAR> wide(static_cast<size_t>(wideCount));
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide.data(), wideCount);
    DWORD attributes = GetFileAttributesW(wide.data());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return CreateDirectoryW(wide.data(), nullptr) ? 1 : 0;
}

ExitCode MeasureBatch(const MeasureOptions &options)
{
    const int32_t count = options.photoCount;
    std::vector<PhotoRecord> records(count);
    std::vector<char *> previews(count, nullptr), exports(count, nullptr);
    if (!PrepareExports(options, exports.data()) || !PreparePreviews(options, previews.data())) {
        for (char *stem : exports)
            delete[] stem;
        return kExitNoResult;
    }
    const int progress = isatty(STDERR_FILENO);
    const auto start = std::chrono::steady_clock::now();
    if (options.format == kFormatCsv)
        PrintCsvHeader(stdout);
    for (int32_t i = 0; i < count; i++) {
        MeasurePhoto(options.photos[i], options, previews[i], &records[i], exports[i]);
        PrintRecord(stdout, options, options.photos[i], records[i]);
        std::fflush(stdout);
        if (progress) {
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            PrintProgress(stderr, i + 1, count, elapsed.count());
        }
    }
    for (char *path : previews)
        delete[] path;
    for (char *stem : exports)
        delete[] stem;
    return BatchExitCode(records.data(), count);
}
