#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "export/export.h"
#include "measure/measure.h"
#include "shell/analysis.h"
#include "shell/report.h"
#include "shell/report_memory.h"
#include "shell/result.h"
#include "tests/support/checks.h"
#include "tests/support/test_support.h"

namespace {

const char *const kPngSamples[] = {"e02", "f01", "f04", "s01", "s02", "s07", "s10", "s11", "s24", "s27"};
const char *const kAllSamples[] = {"e02.png", "f01.png", "f04.png", "f05.png", "f07.png", "s01.png", "s01_n.jpg",
                                   "s02.png", "s07.png", "s10.png", "s11.png", "s11_n.jpg", "s15.jpg", "s15_n.jpg",
                                   "s18.jpg", "s18_n.jpg", "s21.jpg", "s21_n.jpg", "s24.png", "s27.png", "s27_n.jpg",
                                   "v01.jpg", "v02.jpg"};

MeasureOptions Options(int32_t threshold, int32_t detectShadow)
{
    MeasureOptions options = {};
    options.threshold = threshold;
    options.detectShadow = detectShadow;
    options.jobs = 1;
    return options;
}

PhotoRecord Measure(const std::string &file, int32_t threshold = kDefaultThreshold, int32_t detectShadow = 1)
{
    PhotoRecord record;
    MeasurePhoto(SamplePath(file).c_str(), Options(threshold, detectShadow), nullptr, &record);
    return record;
}

// The command line as main gets it; the strings outlive the parse.
struct CommandLine {
    std::vector<std::string> words;
    std::vector<char *> argv;
    explicit CommandLine(std::vector<std::string> given) : words(std::move(given))
    {
        words.insert(words.begin(), "quillmarsh-measure");
        for (auto &word : words)
            argv.push_back(&word[0]);
    }
    int Parse(MeasureOptions *options)
    {
        char reason[256];
        return ParseMeasureOptions(static_cast<int>(argv.size()), argv.data(), options, reason, sizeof reason);
    }
};

TEST(MeasureOptionsTest, AcceptsTheDocumentedFormsAndRefusesTheRest)
{
    struct Case {
        std::vector<std::string> words;
        int accepted;
        int32_t threshold, shadow, format, jobs, photos;
        const char *firstPhoto;
    };
    const Case cases[] = {
        {{"a.png"}, 1, 160, 1, kFormatText, -1, 1, "a.png"},
        {{"--threshold", "0", "--jobs", "3", "a", "b"}, 1, 0, 1, kFormatText, 3, 2, "a"},
        {{"a", "--threshold=255", "--no-shadow", "--csv", "b"}, 1, 255, 0, kFormatCsv, -1, 2, "a"},
        {{"--threshold", "auto", "--json", "--", "--csv"}, 1, kThresholdAuto, 1, kFormatJson, -1, 1, "--csv"},
        {{"-", "--preview", "out"}, 1, 160, 1, kFormatText, -1, 1, "-"},
        {{"--threshold", "256", "a"}, 0, 0, 0, 0, 0, 0, nullptr},
        {{"--threshold", "-1", "a"}, 0, 0, 0, 0, 0, 0, nullptr},
        {{"--threshold", "12x", "a"}, 0, 0, 0, 0, 0, 0, nullptr},
        {{"a", "--threshold"}, 0, 0, 0, 0, 0, 0, nullptr},
        {{"--jobs", "0", "a"}, 0, 0, 0, 0, 0, 0, nullptr},
        {{"--jobs", "99999999999999999999", "a"}, 0, 0, 0, 0, 0, 0, nullptr},
        {{"--json", "--csv", "a"}, 0, 0, 0, 0, 0, 0, nullptr},
        {{"--preview", "", "a"}, 0, 0, 0, 0, 0, 0, nullptr},
        {{"--bogus", "a"}, 0, 0, 0, 0, 0, 0, nullptr},
        {{"--json"}, 0, 0, 0, 0, 0, 0, nullptr},
    };
    for (const Case &c : cases) {
        CommandLine line(c.words);
        MeasureOptions options = {};
        ASSERT_EQ(line.Parse(&options), c.accepted) << line.words.size() << " words, first " << c.words[0];
        if (!c.accepted)
            continue;
        EXPECT_EQ(options.threshold, c.threshold);
        EXPECT_EQ(options.detectShadow, c.shadow);
        EXPECT_EQ(options.format, c.format);
        EXPECT_EQ(options.jobs, c.jobs < 0 ? DefaultJobs() : c.jobs);
        ASSERT_EQ(options.photoCount, c.photos);
        EXPECT_STREQ(options.photos[0], c.firstPhoto);
    }
}

TEST(MeasureOptionsTest, MarkerAlbedoIsOneOrThreeReflectancesAboveZeroAndAtMostOne)
{
    struct Case {
        const char *value;
        int accepted;
        double albedo[3];
    } cases[] = {
        {"0.5", 1, {0.5, 0.5, 0.5}},           {"1", 1, {1.0, 1.0, 1.0}},
        {"0.9,0.8,0.7", 1, {0.9, 0.8, 0.7}},   {"0", 0, {}},
        {"1.01", 0, {}},                       {"-0.5", 0, {}},
        {"0.5,0.5", 0, {}},                    {"0.5,0.5,0.5,0.5", 0, {}},
        {"0.5,", 0, {}},                       {"nan", 0, {}},
        {"inf", 0, {}},                        {"0.5x", 0, {}},
        {"", 0, {}},
    };
    for (const Case &c : cases) {
        CommandLine line({"--marker-albedo", c.value, "a.jpg"});
        MeasureOptions options = {};
        ASSERT_EQ(line.Parse(&options), c.accepted) << c.value;
        for (int k = 0; k < 3 && c.accepted; k++)
            EXPECT_EQ(options.markerAlbedo[k], c.albedo[k]) << c.value;
    }
    CommandLine plain({"a.jpg"});
    MeasureOptions options = {};
    ASSERT_EQ(plain.Parse(&options), 1);
    EXPECT_EQ(options.markerAlbedo[1], kDefaultMarkerAlbedo);
}

TEST(MeasureOptionsTest, LensIsOneWayWithSensibleNumbers)
{
    struct Case {
        std::vector<std::string> words;
        GivenLensKind kind;  // kGivenLensNone with accepted 0: refused
        int accepted;
        double fov, focalMm, sensorMm;
    } cases[] = {
        {{"a"}, kGivenLensNone, 1, 0, 0, 0},
        {{"--fov", "64", "a"}, kGivenLensFov, 1, 64, 0, 0},
        {{"--fov=179.9", "a"}, kGivenLensFov, 1, 179.9, 0, 0},
        {{"--focal-mm", "18.9", "--sensor-mm=22.3", "a"}, kGivenLensFocalSensor, 1, 0, 18.9, 22.3},
        {{"--sensor-mm", "36", "a", "--focal-mm", "50"}, kGivenLensFocalSensor, 1, 0, 50, 36},
        {{"--focal35", "28", "a"}, kGivenLensFocal35, 1, 0, 28, 0},
        {{"--fov", "180", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--fov", "0", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--fov", "-30", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--fov", "nan", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--fov", "inf", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--fov", "60deg", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"a", "--fov"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--focal-mm", "50", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--sensor-mm", "36", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--focal-mm", "0", "--sensor-mm", "36", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--focal-mm", "50", "--sensor-mm", "-36", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--focal-mm", "50", "--sensor-mm", "1e9", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--focal35", "", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--fov", "60", "--focal-mm", "50", "--sensor-mm", "36", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--fov", "60", "--focal35", "50", "a"}, kGivenLensNone, 0, 0, 0, 0},
        {{"--focal35", "50", "--sensor-mm", "36", "a"}, kGivenLensNone, 0, 0, 0, 0},
    };
    for (const Case &c : cases) {
        CommandLine line(c.words);
        MeasureOptions options = {};
        ASSERT_EQ(line.Parse(&options), c.accepted) << c.words[0] << " " << c.words[1];
        if (!c.accepted)
            continue;
        EXPECT_EQ(options.lens.kind, c.kind) << c.words[0];
        if (c.kind == kGivenLensFov)
            EXPECT_EQ(options.lens.fov, c.fov);
        if (c.kind != kGivenLensFov && c.kind != kGivenLensNone)
            EXPECT_EQ(options.lens.focalMm, c.focalMm);
        if (c.kind == kGivenLensFocalSensor)
            EXPECT_EQ(options.lens.sensorMm, c.sensorMm);
    }
}

// The lens correction: auto unless told, once, or twice only when agreeing.
TEST(MeasureOptionsTest, LensCorrectionIsOneModeOnly)
{
    struct Case {
        std::vector<std::string> words;
        int accepted;
        LensCorrection mode;
    } cases[] = {
        {{"a"}, 1, kLensCorrectionAuto},
        {{"--no-lens-correction", "a"}, 1, kLensCorrectionOff},
        {{"a", "--lens-correction", "force"}, 1, kLensCorrectionForce},
        {{"--lens-correction=off", "a"}, 1, kLensCorrectionOff},
        {{"--lens-correction=auto", "a"}, 1, kLensCorrectionAuto},
        {{"--no-lens-correction", "--lens-correction", "off", "a"}, 1, kLensCorrectionOff},
        {{"--no-lens-correction", "--lens-correction", "force", "a"}, 0, kLensCorrectionAuto},
        {{"--lens-correction", "auto", "--lens-correction", "force", "a"}, 0, kLensCorrectionAuto},
        {{"--lens-correction", "yes", "a"}, 0, kLensCorrectionAuto},
        {{"--lens-correction", "", "a"}, 0, kLensCorrectionAuto},
        {{"a", "--lens-correction"}, 0, kLensCorrectionAuto},
        {{"--no-lens-correction=1", "a"}, 0, kLensCorrectionAuto},
    };
    for (const Case &c : cases) {
        CommandLine line(c.words);
        MeasureOptions options = {};
        ASSERT_EQ(line.Parse(&options), c.accepted) << c.words[0] << " " << c.words[1];
        if (c.accepted)
            EXPECT_EQ(options.lensCorrection, c.mode) << c.words[0];
    }
}

// The command's numbers are the OK flow's: the same RunAnalysis on the same
// WorkRaster, reached by decoding the file instead of the test support's PPM.
TEST(MeasurePhotoTest, GivesTheNumbersOfTheOkFlowOnEveryPngSample)
{
    for (const char *name : kPngSamples) {
        SCOPED_TRACE(name);
        PhotoRecord record = Measure(std::string(name) + ".png");
        ResetProgramState();
        ASSERT_EQ(LoadSample(name), kLoadDone);
        CameraPose pose = {};
        double xrot = 0.0, yrot = 0.0;
        int lightFound = 0;
        int ok = RunAnalysis(0, &pose, &xrot, &yrot, &lightFound);
        ASSERT_EQ(record.cameraFound, ok);
        if (!ok) {
            EXPECT_EQ(record.code, kExitNoResult);
            EXPECT_STREQ(record.message, gMemoryDialog.status);
            continue;
        }
        EXPECT_EQ(record.code, lightFound ? kExitCameraAndLight : kExitCameraOnly);
        EXPECT_EQ(Six(record.pose.pitch), Six(pose.pitch));
        EXPECT_EQ(Six(record.pose.roll), Six(pose.roll));
        EXPECT_EQ(Six(record.pose.dollyX), Six(pose.dollyX));
        EXPECT_EQ(Six(record.pose.dollyY), Six(pose.dollyY));
        EXPECT_EQ(Six(record.pose.dollyZ), Six(pose.dollyZ));
        ASSERT_EQ(record.lightFound, lightFound);
        if (lightFound) {
            EXPECT_EQ(record.xrot, xrot);
            EXPECT_EQ(record.yrot, yrot);
        } else {
            EXPECT_STREQ(record.message, "shadow is not detected");
        }
    }
}

TEST(MeasurePhotoTest, EarlierPhotographsInTheSameProcessLeaveNoTrace)
{
    PhotoRecord alone = Measure("s10.png");
    Measure("s15.jpg");
    Measure("f04.png", 40);
    PhotoRecord after = Measure("s10.png");
    EXPECT_EQ(std::memcmp(&alone, &after, sizeof alone), 0);
}

TEST(MeasurePhotoTest, FailuresCarryTheDialogsMessages)
{
    EXPECT_STREQ(Measure("missing.png").message, "can not load background image file");
    EXPECT_STREQ(Measure("").message, "can not load background image file");
    EXPECT_STREQ(Measure("README.md").message, "can not load background image file");
    EXPECT_STREQ(Measure("f05.png").message, "background image is too small");
    EXPECT_STREQ(Measure("f07.png").message, "aspect ratio of background image is not available");
    EXPECT_STREQ(Measure("f01.png").message, "can not trace outline of ellipse");
    EXPECT_STREQ(Measure("f04.png").message, "Thre are not enough labels.\nToo wandering.");
    PhotoRecord noShadow = Measure("s01.png", kDefaultThreshold, 0);
    EXPECT_EQ(noShadow.code, kExitCameraOnly);
    EXPECT_STREQ(noShadow.message, "");
}

// Where some threshold gives a camera, auto gives one, at a threshold whose
// fixed run it reproduces exactly but for the run of thresholds only the scan knows.
TEST(ChooseThresholdTest, FindsACameraOnEverySampleWhereSomeThresholdDoes)
{
    for (const char *file : kAllSamples) {
        SCOPED_TRACE(file);
        PhotoRecord automatic = Measure(file, kThresholdAuto);
        if (automatic.cameraFound) {
            PhotoRecord fixed = Measure(file, automatic.threshold);
            EXPECT_EQ(fixed.quality.thresholdRun, -1);
            EXPECT_TRUE(RunPlausible(automatic.quality.thresholdRun));
            fixed.quality.thresholdRun = automatic.quality.thresholdRun;
            EXPECT_EQ(std::memcmp(&automatic, &fixed, sizeof fixed), 0);
            continue;
        }
        std::string stem(file, std::strchr(file, '.'));
        ResetProgramState();
        if (LoadSample(stem) != kLoadDone)
            continue;
        for (int32_t t = 0; t <= 255; t++) {
            gSettings.threshold = t;
            gSettings.detectShadow = 0;
            CameraPose pose;
            double xrot, yrot;
            int lightFound;
            ASSERT_EQ(RunAnalysis(0, &pose, &xrot, &yrot, &lightFound), 0) << "threshold " << t;
        }
    }
}

TEST(ChooseThresholdTest, PrefersTheStableMiddleOverAnIsolatedSuccess)
{
    // s10 gives a camera from 111 on, but its ellipse jumps at 128 (a
    // neighbouring bright patch joins the marker); the middle of the stable run lies above it.
    PhotoRecord record = Measure("s10.png", kThresholdAuto);
    EXPECT_GE(record.threshold, 144);
    EXPECT_LE(record.threshold, 208);
}

// The thresholds auto chooses: the coarse pass's levels (16 + 32 k) decide
// where the runs' middles fall.
TEST(ChooseThresholdTest, ChoosesTheSamplesKnownThresholds)
{
    const struct {
        const char *file;
        int32_t threshold;
    } chosen[] = {{"e02.png", 160}, {"s02.png", 176}, {"s07.png", 160}, {"s15_n.jpg", 160},
                  {"s18.jpg", 160}, {"s18_n.jpg", 176}, {"v02.jpg", 160}};
    for (const auto &c : chosen) {
        SCOPED_TRACE(c.file);
        PhotoRecord record = Measure(c.file, kThresholdAuto);
        EXPECT_TRUE(record.cameraFound);
        EXPECT_EQ(record.threshold, c.threshold);
    }
}

PhotoRecord Sample(int32_t code, int light, const char *message)
{
    PhotoRecord record = {};
    record.code = static_cast<ExitCode>(code);
    record.threshold = 160;
    record.cameraFound = code != kExitNoResult;
    record.pose = CameraPose{0.5, 8.25, 13.0, 0.0, -0.5, 0.001};
    record.lightFound = light;
    record.xrot = light ? -0.25 : 0.0;
    record.yrot = light ? 1.5 : 0.0;
    std::strcpy(record.message, message);
    return record;
}

// A number as the writers print it ("%f"), from a double or a parsed JSON number.
std::string Formatted(double value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

std::string Formatted(const nlohmann::json &value)
{
    return value.is_number() ? Formatted(value.get<double>()) : "absent";
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

TEST(WritersTest, JsonHasTheKeysOfItsOutcomeAndTheDialogsDigits)
{
    nlohmann::json both = nlohmann::json::parse(Printed(PrintJsonRecord, "dir/a \"b\".png", Sample(0, 1, "")));
    EXPECT_EQ(both["file"], "dir/a \"b\".png");
    EXPECT_EQ(both["code"], 0);
    EXPECT_EQ(both["threshold"], 160);
    EXPECT_EQ(both["camera"].size(), 6u);
    EXPECT_DOUBLE_EQ(both["camera"]["pitch"].get<double>(), -28.647890);
    EXPECT_DOUBLE_EQ(both["camera"]["dollyZ"].get<double>(), 13.0);
    EXPECT_DOUBLE_EQ(both["light"]["yrot"].get<double>(), 85.943669);
    EXPECT_FALSE(both.contains("error"));

    nlohmann::json cameraOnly = nlohmann::json::parse(Printed(PrintJsonRecord, "a", Sample(1, 0, "shadow is not detected")));
    EXPECT_FALSE(cameraOnly.contains("light"));
    EXPECT_FALSE(cameraOnly.contains("error"));

    std::string line = Printed(PrintJsonRecord, "bad\xff.png", Sample(2, 0, "Thre are not enough labels.\nToo wandering."));
    nlohmann::json failed = nlohmann::json::parse(line);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
    EXPECT_EQ(failed["error"], "Thre are not enough labels.\nToo wandering.");
    EXPECT_FALSE(failed.contains("camera"));
    EXPECT_EQ(failed["file"], "bad\xEF\xBF\xBD.png");
}

TEST(WritersTest, CsvRowsMatchTheHeaderAndQuoteWhatNeedsIt)
{
    EXPECT_EQ(Printed(PrintCsvRecord, "a,b.png", Sample(0, 1, "")),
              "\"a,b.png\",0,160,0.000000,-28.647890,0.057296,0.500000,8.250000,13.000000,-14.323945,85.943669,"
              ",,,,,,,,,,,,,,,,,,,,,,"
              ",,,,,,"  // the lens profile's
              ",,,,,,,,,,,,,,,,,,,,,,\n");  // the refined, quality and illumination columns empty
    EXPECT_EQ(Printed(PrintCsvRecord, "c.png", Sample(2, 0, "two\n\"lines\"")),
              "c.png,2,160,,,,,,,,,\"two\n\"\"lines\"\"\","
              ",,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,,"
              ",,,,,,\n");
    EXPECT_EQ(Printed(PrintTextRecord, "c.png", Sample(2, 0, "two\nlines")), "c.png: two lines; threshold 160\n");
}

// A CSV line's fields, quotes taken off.
std::vector<std::string> CsvFields(const std::string &line)
{
    std::vector<std::string> fields(1);
    int quoted = 0;
    for (size_t i = 0; i < line.size() && line[i] != '\n'; i++) {
        if (line[i] == '"' && quoted && i + 1 < line.size() && line[i + 1] == '"')
            fields.back() += line[++i];
        else if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ',' && !quoted)
            fields.emplace_back();
        else
            fields.back() += line[i];
    }
    return fields;
}

// The refined record through the three writers, each number under its own
// name: a bearing-only light (s10: the shadow leaves the disc) and a whole
// one (s01), with each lens source written as its own word.
TEST(WritersTest, RefinedNumbersKeepTheirNamesInEveryFormat)
{
    char *header = nullptr;
    size_t headerSize = 0;
    FILE *stream = open_memstream(&header, &headerSize);
    PrintCsvHeader(stream);
    std::fclose(stream);
    const std::vector<std::string> columns = CsvFields(header);
    std::free(header);
    const struct {
        const char *file;
        FocalSource source;
        const char *word;
    } cases[] = {{"s10.png", kFocalDefault, "default"}, {"s10.png", kFocalExif35, "exif35"},
                 {"s01.png", kFocalExif, "exif"}, {"s01.png", kFocalExif35, "exif35"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.word);
        PhotoRecord record = Measure(c.file);
        ASSERT_EQ(record.refinedRan, 1);
        RefinedEstimate &r = record.refined;
        ASSERT_EQ(r.light.bearingFound, 1);
        ASSERT_EQ(r.light.elevationFound, std::strcmp(c.file, "s01.png") == 0);
        r.lens.source = c.source;
        nlohmann::json json = nlohmann::json::parse(Printed(PrintJsonRecord, c.file, record))["refined"];
        EXPECT_EQ(json["focal_source"], c.word);
        EXPECT_EQ(Formatted(json["light"]["yrot"]), Formatted(r.light.yrot));
        EXPECT_EQ(Formatted(json["uncertainty"]["yrot"]), Formatted(r.light.yrotSigma));
        EXPECT_EQ(Formatted(json["uncertainty"]["fov"]), Formatted(r.fovSigma));
        EXPECT_EQ(Formatted(json["uncertainty"]["distance"]), Formatted(r.distanceSigma));
        EXPECT_EQ(json["light"].contains("xrot"), r.light.elevationFound == 1);
        if (r.light.elevationFound) {
            EXPECT_EQ(Formatted(json["light"]["xrot"]), Formatted(r.light.xrot));
            EXPECT_EQ(Formatted(json["uncertainty"]["xrot"]), Formatted(r.light.xrotSigma));
        }
        const std::vector<std::string> row = CsvFields(Printed(PrintCsvRecord, c.file, record));
        ASSERT_EQ(row.size(), columns.size());
        std::map<std::string, std::string> csv;
        for (size_t i = 0; i < columns.size(); i++)
            csv[columns[i]] = row[i];
        EXPECT_EQ(csv["focal_source"], c.word);
        EXPECT_EQ(csv["refined_yrot"], Formatted(r.light.yrot));
        EXPECT_EQ(csv["sd_yrot"], Formatted(r.light.yrotSigma));
        EXPECT_EQ(csv["sd_fov"], Formatted(r.fovSigma));
        EXPECT_EQ(csv["sd_xrot"], r.light.elevationFound ? Formatted(r.light.xrotSigma) : "");
        const std::string text = Printed(PrintTextRecord, c.file, record);
        EXPECT_NE(text.find(std::string(" focal=") + c.word + " "), std::string::npos) << text;
        EXPECT_NE(text.find(" yrot=" + Formatted(r.light.yrot)), std::string::npos) << text;
    }
}

TEST(BatchTest, ExitCodeAndPreviewNames)
{
    std::vector<PhotoRecord> records = {Sample(0, 1, ""), Sample(0, 1, "")};
    EXPECT_EQ(BatchExitCode(records.data(), 2), 0);
    records[1] = Sample(1, 0, "");
    EXPECT_EQ(BatchExitCode(records.data(), 2), 1);
    records[0].previewFailed = 1;
    EXPECT_EQ(BatchExitCode(records.data(), 2), 2);
    records[0] = Sample(2, 0, "x");
    EXPECT_EQ(BatchExitCode(records.data(), 2), 2);

    std::vector<std::string> words = {"a/x.jpg", "b\\x.jpg", "x.png", "c/x.jpg"};
    std::vector<char *> photos;
    for (auto &w : words)
        photos.push_back(&w[0]);
    MeasureOptions options = Options(160, 1);
    options.previewFolder = "out/";
    options.photos = photos.data();
    options.photoCount = 4;
    char *names[4];
    MakePreviewPaths(options, names);
    EXPECT_STREQ(names[0], "out/x.jpg.png");
    EXPECT_STREQ(names[1], "out/x.jpg-2.png");
    EXPECT_STREQ(names[2], "out/x.png.png");
    EXPECT_STREQ(names[3], "out/x.jpg-3.png");
    for (char *name : names)
        delete[] name;
}

// The export's numbers, the add-on's choice: the classic camera and lens
// without a refined camera; the refined light's bearing alone joins the
// classic elevation.
TEST(ExportTest, ClassicWithoutRefinedCameraAndTheBearingAlone)
{
    PhotoRecord record = Measure("s01.png");
    ASSERT_EQ(record.code, kExitCameraAndLight);
    MeasureOptions options = Options(kDefaultThreshold, 1);
    options.exportFormats = kExportGltf;
    const std::string stem = testing::TempDir() + "qm-export-plan";
    const double kDegree = 3.141592653589793 / 180.0;
    struct {
        int32_t refined, elevation;
        const char *estimate;
        double pitch, yfov, xrot, yrot;  // degrees
    } cases[] = {
        {0, 1, "classic", record.pose.pitch / kDegree, 2.0 * std::atan(0.75 * 160.0 / 375.0) / kDegree,
         record.xrot / kDegree, record.yrot / kDegree},
        {1, 0, "refined", record.refined.camera.pitch, 2.0 * std::atan(0.75 * 160.0 / 375.0) / kDegree,
         record.xrot / kDegree, record.refined.light.yrot},
    };
    for (const auto &c : cases) {
        PhotoRecord changed = record;
        changed.refinedRan = c.refined;
        changed.refined.light.elevationFound = c.elevation;
        ASSERT_TRUE(ExportMatch("s01.png", 640, 480, changed, options, stem.c_str()));
        std::ifstream file(stem + ".gltf");
        const nlohmann::json gltf = nlohmann::json::parse(file);
        EXPECT_EQ(gltf["asset"]["extras"]["estimate"], c.estimate);
        EXPECT_NEAR(gltf["cameras"][0]["perspective"]["yfov"].get<double>() / kDegree, c.yfov, 1e-9);
        const nlohmann::json &camera = gltf["nodes"][0]["matrix"], &sun = gltf["nodes"][1]["matrix"];
        EXPECT_NEAR(std::asin(camera[9].get<double>()) / kDegree, -c.pitch, 1e-9) << c.estimate;
        // the sun's +Z: (cos e sin yrot, sin e, cos e cos yrot), e = -xrot
        EXPECT_NEAR(std::asin(sun[9].get<double>()) / kDegree, -c.xrot, 1e-9) << c.estimate;
        EXPECT_NEAR(std::atan2(sun[8].get<double>(), sun[10].get<double>()) / kDegree, c.yrot, 1e-9) << c.estimate;
    }
    for (const char *extension : {".gltf", ".bin"})
        std::remove((stem + extension).c_str());
}

}  // namespace
