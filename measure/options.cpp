#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "export/export.h"
#include "measure/measure.h"
#include "shell/report.h"

const char kMeasureUsage[] =
    "usage: quillmarsh-measure [--threshold N|auto] [--no-shadow] [--json|--csv] [--preview DIR] [--jobs N]\n"
    "                          [--marker-albedo A|R,G,B]\n"
    "                          [--export DIR [--export-format gltf,usd] [--marker-diameter D]]\n"
    "                          [--fov DEG | --focal-mm F --sensor-mm W | --focal35 F]\n"
    "                          [--no-lens-correction | --lens-correction auto|off|force] PHOTO...\n"
    "  --threshold N|auto  brightness 0..255 that separates the marker (160), or chosen per photograph\n"
    "  --no-shadow         measure the camera only, without looking for the shadow\n"
    "  --json, --csv       one JSON object per line, or a CSV table, instead of text\n"
    "  --preview DIR       write DIR/<photo>.png: the photograph and the analysis drawings\n"
    "  --jobs N            photographs measured at once (default: the number of cores)\n"
    "  --marker-albedo A|R,G,B  the disc's reflectance in (0, 1], for the light's strength and colour (0.8)\n"
    "  --export DIR        write the matched scene as DIR/<photo>.gltf (with .bin) and DIR/<photo>.usda\n"
    "  --export-format F   gltf, usd or gltf,usd (both, the default)\n"
    "  --marker-diameter D the disc's real diameter in metres: the scene in metres (else in the disc's units of 6)\n"
    "  --fov DEG           the lens' field of view along the long side, degrees, instead of EXIF's\n"
    "  --focal-mm F --sensor-mm W  the focal length and the sensor's width along the long side, mm\n"
    "  --focal35 F         the 35 mm equivalent focal length (by the diagonal), mm\n"
    "  --no-lens-correction  leave the lens' distortion uncorrected (--lens-correction off)\n"
    "  --lens-correction M auto (the lens database's profile for interchangeable lenses), off, or force\n"
    "                      (fixed-lens compacts and phones too, which usually correct themselves)\n"
    "Exit code: 0 camera and light for every photograph, 1 some camera only, 2 any failure.\n";

static const char kAutoWord[] = "auto";
static const int32_t kLargestThreshold = 255;

// A whole decimal number from lowest to highest, digits only.
static int ReadWhole(const char *text, int32_t lowest, int32_t highest, int32_t *value)
{
    if (text == nullptr || *text == '\0')
        return 0;
    long n = 0;
    for (const char *c = text; *c != '\0'; c++) {
        if (*c < '0' || *c > '9')
            return 0;
        n = n * 10 + (*c - '0');
        if (n > highest)
            return 0;
    }
    if (n < lowest)
        return 0;
    *value = static_cast<int32_t>(n);
    return 1;
}

// A folder's name: 0 when it is missing or empty.
static int ReadFolder(const char *value, const char **folder)
{
    if (value == nullptr || *value == '\0')
        return 0;
    *folder = value;
    return 1;
}

// Largest marker diameter, metres: far past any disc photographed.
static const double kLargestMarkerDiameter = 1.0e4;

// A decimal number above 0 and at most kLargestMarkerDiameter, and nothing after it.
static int ReadDiameter(const char *text, double *value)
{
    if (text == nullptr || *text == '\0')
        return 0;
    char *end = nullptr;
    const double d = std::strtod(text, &end);
    if (*end != '\0' || !(d > 0.0) || !(d <= kLargestMarkerDiameter))
        return 0;
    *value = d;
    return 1;
}

// "gltf", "usd" or both, comma-separated, into ExportFormat bits.
static int ReadFormats(const char *text, int32_t *formats)
{
    if (text == nullptr)
        return 0;
    int32_t bits = 0;
    std::string list = text;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        const std::string word = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (word == "gltf")
            bits |= kExportGltf;
        else if (word == "usd")
            bits |= kExportUsd;
        else
            return 0;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    *formats = bits;
    return 1;
}

static int Refuse(char *reason, size_t reasonSize, const char *what, const char *word)
{
    std::snprintf(reason, reasonSize, "%s: %s", what, word);
    return 0;
}

// The value of an option given as "--name value" or "--name=value"; null
// when it is missing.
static const char *OptionValue(int argc, char **argv, int *i, const char *name)
{
    size_t length = std::strlen(name);
    if (argv[*i][length] == '=')
        return argv[*i] + length + 1;
    if (*i + 1 >= argc)
        return nullptr;
    *i += 1;
    return argv[*i];
}

static int IsOption(const char *argument, const char *name)
{
    size_t length = std::strlen(name);
    return std::strncmp(argument, name, length) == 0 && (argument[length] == '\0' || argument[length] == '=');
}

int ParseMarkerAlbedo(const char *text, double albedo[3])
{
    if (text == nullptr)
        return 0;
    double values[3];
    int count = 0;
    for (const char *c = text;; c++) {
        char *end = nullptr;
        const double v = std::strtod(c, &end);
        if (end == c || count == 3 || !std::isfinite(v) || !(v > 0.0 && v <= 1.0))
            return 0;
        values[count++] = v;
        c = end;
        if (*c == '\0')
            break;
        if (*c != ',')
            return 0;
    }
    if (count == 2)
        return 0;
    // A single value is a grey disc.
    for (int k = 0; k < 3; k++)
        albedo[k] = values[count == 1 ? 0 : k];
    return 1;
}

// The lens options' bounds: a field of view below a half turn, and lengths
// far past any lens or sensor.
static const double kLargestFov = 180.0;          // degrees, excluded
static const double kLargestLensLength = 1.0e4;   // mm, focal lengths and sensor widths

// A finite decimal number in (0, largest) (largest itself excluded or not), and nothing after it.
static int ReadPositive(const char *text, double largest, int largestIncluded, double *value)
{
    if (text == nullptr || *text == '\0')
        return 0;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (*end != '\0' || !std::isfinite(v) || !(v > 0.0) || v > largest || (v == largest && !largestIncluded))
        return 0;
    *value = v;
    return 1;
}

// The lens options seen so far, checked together once the line is read.
struct LensWords {
    int fov;
    int focalMm;
    int sensorMm;
    int focal35;
};

// One of --fov, --focal-mm, --sensor-mm, --focal35 at argv[*i]: 1 when it was
// one (value read into lens, or reason written on a bad value), 0 when not.
static int ReadLensOption(int argc, char **argv, int *i, GivenLens *lens, LensWords *words, int *bad, char *reason,
                          size_t reasonSize)
{
    struct LensOption {
        const char *name;
        double *value;
        double largest;
        int largestIncluded;
        int *seen;
        const char *refusal;
    };
    const LensOption table[] = {
        {"--fov", &lens->fov, kLargestFov, 0, &words->fov, "--fov takes degrees above 0 and below 180"},
        {"--focal-mm", &lens->focalMm, kLargestLensLength, 1, &words->focalMm,
         "--focal-mm takes millimetres above 0 and at most 10000"},
        {"--sensor-mm", &lens->sensorMm, kLargestLensLength, 1, &words->sensorMm,
         "--sensor-mm takes millimetres above 0 and at most 10000"},
        {"--focal35", &lens->focalMm, kLargestLensLength, 1, &words->focal35,
         "--focal35 takes millimetres above 0 and at most 10000"},
    };
    for (const LensOption &option : table) {
        if (!IsOption(argv[*i], option.name))
            continue;
        const char *value = OptionValue(argc, argv, i, option.name);
        if (!ReadPositive(value, option.largest, option.largestIncluded, option.value)) {
            *bad = 1;
            Refuse(reason, reasonSize, option.refusal, value ? value : "(nothing)");
        }
        *option.seen = 1;
        return 1;
    }
    return 0;
}

// The lens the options state, one way only: kGivenLensNone when none.
static int SettleLens(const LensWords &words, GivenLens *lens, char *reason, size_t reasonSize)
{
    const int ways = words.fov + (words.focalMm || words.sensorMm) + words.focal35;
    if (ways > 1)
        return Refuse(reason, reasonSize, "one lens only", "--fov, --focal-mm with --sensor-mm, or --focal35");
    if (words.focalMm != words.sensorMm)
        return Refuse(reason, reasonSize, "--focal-mm and --sensor-mm go together", "give both");
    lens->kind = words.fov ? kGivenLensFov
                 : words.focalMm ? kGivenLensFocalSensor
                 : words.focal35 ? kGivenLensFocal35
                                 : kGivenLensNone;
    return 1;
}

// "--lens-correction auto|off|force" and "--no-lens-correction" at argv[*i]:
// 1 when it was one of them (*bad set on a bad or contradicting value), 0
// when not. Each may be given once; both only when they agree.
static int ReadLensCorrection(int argc, char **argv, int *i, LensCorrection *mode, int *seen, int *bad, char *reason,
                              size_t reasonSize)
{
    static const char *const kWords[] = {"auto", "off", "force"};  // by LensCorrection
    LensCorrection chosen;
    if (std::strcmp(argv[*i], "--no-lens-correction") == 0) {
        chosen = kLensCorrectionOff;
    } else if (IsOption(argv[*i], "--lens-correction")) {
        const char *value = OptionValue(argc, argv, i, "--lens-correction");
        int k = 0;
        while (k < 3 && (value == nullptr || std::strcmp(value, kWords[k]) != 0))
            k++;
        if (k == 3) {
            *bad = 1;
            Refuse(reason, reasonSize, "--lens-correction takes auto, off or force", value ? value : "(nothing)");
            return 1;
        }
        chosen = static_cast<LensCorrection>(k);
    } else {
        return 0;
    }
    if (*seen && chosen != *mode) {
        *bad = 1;
        Refuse(reason, reasonSize, "one lens correction only", "--no-lens-correction or --lens-correction");
        return 1;
    }
    *seen = 1;
    *mode = chosen;
    return 1;
}

int ParseMeasureOptions(int argc, char **argv, MeasureOptions *options, char *reason, size_t reasonSize)
{
    MeasureOptions parsed = {};
    parsed.threshold = kDefaultThreshold;
    parsed.detectShadow = kDefaultDetectShadow;
    parsed.format = kFormatText;
    parsed.jobs = DefaultJobs();
    for (int k = 0; k < 3; k++)
        parsed.markerAlbedo[k] = kDefaultMarkerAlbedo;
    int formats = 0;
    int exportOptions = 0;  // --export-format and --marker-diameter, which go with --export
    parsed.exportFormats = kExportGltf | kExportUsd;
    int onlyPhotos = 0;
    LensWords lensWords = {};
    int badLens = 0;
    int correctionSeen = 0;
    // Photographs are gathered to the front of argv, in their order, so that
    // options and photographs may be mixed.
    int photoCount = 0;
    for (int i = 1; i < argc; i++) {
        char *argument = argv[i];
        if (onlyPhotos || argument[0] != '-' || argument[1] == '\0') {
            argv[1 + photoCount++] = argument;
            continue;
        }
        if (std::strcmp(argument, "--") == 0) {
            onlyPhotos = 1;
        } else if (IsOption(argument, "--threshold")) {
            const char *value = OptionValue(argc, argv, &i, "--threshold");
            if (value != nullptr && std::strcmp(value, kAutoWord) == 0)
                parsed.threshold = kThresholdAuto;
            else if (!ReadWhole(value, 0, kLargestThreshold, &parsed.threshold))
                return Refuse(reason, reasonSize, "--threshold takes 0..255 or auto", value ? value : "(nothing)");
        } else if (IsOption(argument, "--jobs")) {
            const char *value = OptionValue(argc, argv, &i, "--jobs");
            if (!ReadWhole(value, 1, kMaxJobs, &parsed.jobs))
                return Refuse(reason, reasonSize, "--jobs takes 1..256", value ? value : "(nothing)");
        } else if (IsOption(argument, "--preview")) {
            if (!ReadFolder(OptionValue(argc, argv, &i, "--preview"), &parsed.previewFolder))
                return Refuse(reason, reasonSize, "--preview takes a folder", "(nothing)");
        } else if (IsOption(argument, "--marker-albedo")) {
            const char *value = OptionValue(argc, argv, &i, "--marker-albedo");
            if (!ParseMarkerAlbedo(value, parsed.markerAlbedo))
                return Refuse(reason, reasonSize, "--marker-albedo takes A or R,G,B, each above 0 and at most 1",
                              value ? value : "(nothing)");
        } else if (IsOption(argument, "--export-format")) {
            const char *value = OptionValue(argc, argv, &i, "--export-format");
            if (!ReadFormats(value, &parsed.exportFormats))
                return Refuse(reason, reasonSize, "--export-format takes gltf, usd or gltf,usd",
                              value ? value : "(nothing)");
            exportOptions++;
        } else if (IsOption(argument, "--export")) {
            if (!ReadFolder(OptionValue(argc, argv, &i, "--export"), &parsed.exportFolder))
                return Refuse(reason, reasonSize, "--export takes a folder", "(nothing)");
        } else if (IsOption(argument, "--marker-diameter")) {
            const char *value = OptionValue(argc, argv, &i, "--marker-diameter");
            if (!ReadDiameter(value, &parsed.markerDiameter))
                return Refuse(reason, reasonSize, "--marker-diameter takes metres above 0 and at most 10000",
                              value ? value : "(nothing)");
            exportOptions++;
        } else if (ReadLensOption(argc, argv, &i, &parsed.lens, &lensWords, &badLens, reason, reasonSize)) {
            if (badLens)
                return 0;
        } else if (ReadLensCorrection(argc, argv, &i, &parsed.lensCorrection, &correctionSeen, &badLens, reason,
                                      reasonSize)) {
            if (badLens)
                return 0;
        } else if (std::strcmp(argument, "--no-shadow") == 0) {
            parsed.detectShadow = 0;
        } else if (std::strcmp(argument, "--json") == 0) {
            parsed.format = kFormatJson;
            formats++;
        } else if (std::strcmp(argument, "--csv") == 0) {
            parsed.format = kFormatCsv;
            formats++;
        } else {
            return Refuse(reason, reasonSize, "unknown option", argument);
        }
    }
    if (exportOptions > 0 && parsed.exportFolder == nullptr)
        return Refuse(reason, reasonSize, "--export-format and --marker-diameter go with", "--export");
    if (formats > 1)
        return Refuse(reason, reasonSize, "one output format", "--json or --csv");
    if (!SettleLens(lensWords, &parsed.lens, reason, reasonSize))
        return 0;
    if (photoCount == 0)
        return Refuse(reason, reasonSize, "no photograph", "give at least one");
    parsed.photos = argv + 1;
    parsed.photoCount = photoCount;
    *options = parsed;
    return 1;
}
