// Fuzz target: arbitrary command lines (words separated by zero bytes)
// through the measurement command's option reader, and each photograph name
// it accepts through the JSON and CSV writers.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "measure/measure.h"

namespace {

const size_t kMostWords = 64;

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

std::string Printed(void (*writer)(FILE *, const char *, const PhotoRecord &), const char *file,
                    const PhotoRecord &record)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    writer(stream, file, record);
    std::fclose(stream);
    std::string printed(text, size);
    std::free(text);
    return printed;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> words(1, "quillmarsh-measure");
    words.emplace_back();
    for (size_t i = 0; i < size && words.size() <= kMostWords; i++) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back() += static_cast<char>(data[i]);
    }
    std::vector<char *> argv;
    for (auto &word : words)
        argv.push_back(&word[0]);
    MeasureOptions options;
    char reason[256];
    if (!ParseMeasureOptions(static_cast<int>(argv.size()), argv.data(), &options, reason, sizeof reason))
        return 0;
    Check(options.threshold == kThresholdAuto || (options.threshold >= 0 && options.threshold <= 255));
    Check(options.jobs >= 1 && options.jobs <= kMaxJobs);
    Check(options.format == kFormatText || options.format == kFormatJson || options.format == kFormatCsv);
    Check(options.photoCount >= 1 && options.photoCount < static_cast<int32_t>(argv.size()));
    Check(options.exportFormats >= 1 && options.exportFormats <= 3);
    Check(options.markerDiameter == 0.0 || (options.markerDiameter > 0.0 && options.markerDiameter <= 1.0e4));
    Check(options.exportFolder != nullptr || options.markerDiameter == 0.0);
    // A stated lens is one way, with finite numbers inside their ranges.
    const GivenLens &lens = options.lens;
    Check(lens.kind >= kGivenLensNone && lens.kind <= kGivenLensFocal35);
    Check(lens.kind != kGivenLensFov || (lens.fov > 0.0 && lens.fov < 180.0));
    Check(lens.kind == kGivenLensNone || lens.kind == kGivenLensFov || (lens.focalMm > 0.0 && lens.focalMm <= 1.0e4));
    Check(lens.kind != kGivenLensFocalSensor || (lens.sensorMm > 0.0 && lens.sensorMm <= 1.0e4));

    PhotoRecord record = {};
    record.code = kExitNoResult;
    record.threshold = options.threshold;
    for (int32_t i = 0; i < options.photoCount; i++) {
        const char *file = options.photos[i];
        Check(file != nullptr);
        std::string line = Printed(PrintJsonRecord, file, record);
        Check(!line.empty() && line.back() == '\n' && line.find('\n') == line.size() - 1);
        Check(nlohmann::json::accept(line));
        std::string row = Printed(PrintCsvRecord, file, record);
        Check(!row.empty() && row.back() == '\n');
    }
    return 0;
}
