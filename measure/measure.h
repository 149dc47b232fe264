// The headless measurement: each photograph through decoding, intake and the
// dialog's own analysis into a record, the command line, the output formats,
// the automatic threshold, the preview picture and the batch of workers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "camera/camera.h"
#include "illumination/illumination.h"
#include "image/photo.h"
#include "plausible/plausible.h"
#include "refine/refine.h"
#include "shell/result.h"

// MeasureOptions.threshold when each photograph chooses its own.
const int32_t kThresholdAuto = -1;

// Output formats.
enum OutputFormat : int32_t {
    kFormatText = 0,
    kFormatJson = 1,
    kFormatCsv = 2,
};

// Whether the lens database's distortion profile corrects the measured points.
enum LensCorrection : int32_t {
    kLensCorrectionAuto = 0,   // interchangeable lenses only: a fixed lens is corrected by its camera
    kLensCorrectionOff = 1,    // --no-lens-correction
    kLensCorrectionForce = 2,  // --lens-correction force: fixed lenses as well
};

// Bytes kept of one message, with its terminating zero.
const int kRecordMessageSize = 256;
// Most worker processes at once.
const int32_t kMaxJobs = 256;

struct MeasureOptions {
    int32_t threshold;          // brightness 0..255, or kThresholdAuto
    int32_t detectShadow;       // 0 or 1
    OutputFormat format;
    int32_t jobs;               // photographs measured at once, 1..kMaxJobs
    const char *previewFolder;  // null without --preview
    double markerAlbedo[3];     // the disc's reflectance per channel, (0, 1]; all 0 means the default
    char **photos;              // the photographs' paths, in the order given
    int32_t photoCount;
    const char *exportFolder;   // null without --export
    int32_t exportFormats;      // ExportFormat bits (export/export.h)
    double markerDiameter;      // metres, the disc's real diameter; 0: the scene stays in the numbers' units
    GivenLens lens;             // --fov, --focal-mm with --sensor-mm, or --focal35; kind kGivenLensNone without
    LensCorrection lensCorrection;  // --lens-correction auto|off|force, --no-lens-correction
};

// What the command measured on one photograph. Plain data: a worker process
// hands it to the parent through a pipe byte for byte, so it holds no
// pointers.
struct PhotoRecord {
    ExitCode code;                      // the dialog's exit code: camera and light, camera only, or failed
    int32_t threshold;                  // brightness 0..255 the analysis ran at
    int32_t cameraFound;                // 1 when pose holds the camera
    CameraPose pose;                    // radians and scene units, as the dialog computes it
    int32_t lightFound;                 // 1 when xrot and yrot hold the light
    double xrot;                        // radians
    double yrot;                        // radians
    char message[kRecordMessageSize];   // the failure's message, or the missing shadow's; else empty
    int32_t previewFailed;              // 1 when the preview picture could not be written
    int32_t refinedRan;                 // 1 when the refinement ran (after the classic camera was found)
    RefinedEstimate refined;            // the refined record beside the classic one, or why there is none
    MarkerQuality quality;              // how clearly the marker was seen, beside the refined record
    Illumination illumination;          // the light's strength and colour from the disc, beside refined
    int32_t exportFailed;               // 1 when the matched scene's files could not be written
};

// Reads the command line; 1 with *options filled, else 0 with a short reason
// in reason (the caller prints it with the usage).
int ParseMeasureOptions(int argc, char **argv, MeasureOptions *options, char *reason, size_t reasonSize);
// The usage text, for standard error.
extern const char kMeasureUsage[];

// Measures one photograph from a clean analysis state and fills *record,
// whatever happens. With previewPath, also writes the preview picture there;
// with exportStem, the matched scene's files (ExportMatch).
void MeasurePhoto(const char *path, const MeasureOptions &options, const char *previewPath, PhotoRecord *record,
                  const char *exportStem = nullptr);

// On the photograph now in the WorkRaster: the threshold at which the marker
// is measured most reliably. Thresholds are tried coarsely first, then
// finer only when no coarse one gives a camera; among those that do, the
// widest run of neighbours whose fitted ellipses agree wins and its middle
// is taken. A threshold counts only when its region looks like a whole
// marker (RegionPlausible), and a run only when it spans enough levels
// (RunPlausible). 1 with *threshold and *runLevels (the run's width in
// brightness levels) set, 0 when no threshold counts.
// Leaves gSettings.threshold and the analysis records changed.
int ChooseThreshold(int32_t *threshold, int32_t *runLevels);

// Writes the preview picture of the last analysis: the photograph at the
// WorkRaster's resolution on the left, the analysis drawings at the same
// resolution on the right. 1 when the PNG file was written; a failed write
// leaves no file.
int WritePreview(const char *path, const Photo &photo, const PhotoRecord &record);

// Preview file of each photograph: DIR/<file name>.png, with "-2", "-3"...
// before ".png" when an earlier photograph of the batch took the name.
// names[i] gets a string of the caller's to free (delete[]).
void MakePreviewPaths(const MeasureOptions &options, char **names);
// The file name in a path: what follows its last "/" or "\\".
const char *PhotoFileName(const char *path);
// DIR/<photo's file name><suffix> for each photograph (without its
// extension when keepExtension is 0), with "-2", "-3"... before the suffix
// when an earlier photograph of the batch took the name; names as above.
void MakeBatchPaths(const MeasureOptions &options, const char *folder, int keepExtension, const char *suffix,
                    char **names);
// With --preview: makes the folder when it is missing and fills names as
// MakePreviewPaths does; 0 with the reason on standard error when the folder
// can not be had. Without --preview: 1, names untouched.
int PreparePreviews(const MeasureOptions &options, char **names);

// With --export: 0 with the reason on standard error when the folder is
// missing or can not be written in; else 1 with stems[i] the path of each
// photograph's scene without its extension (DIR/<file name without its
// extension>, numbered as MakeBatchPaths numbers). Without --export: 1.
int PrepareExports(const MeasureOptions &options, char **stems);
// Writes the matched scene of a measured record (camera found) to stem.gltf,
// stem.bin and stem.usda as the options ask: the refined numbers when the
// refinement gave a camera, else the classic ones. 1 when written; 0 with the
// reason on standard error and no file of the scene left.
int ExportMatch(const char *photoPath, uint32_t width, uint32_t height, const PhotoRecord &record,
                const MeasureOptions &options, const char *stem);

// Writers, one per format. The CSV header comes once before the rows.
void PrintTextRecord(FILE *stream, const char *file, const PhotoRecord &record);
void PrintJsonRecord(FILE *stream, const char *file, const PhotoRecord &record);
void PrintCsvHeader(FILE *stream);
void PrintCsvRecord(FILE *stream, const char *file, const PhotoRecord &record);
// The refined record's parts in each format ("" when the refinement did not run).
std::string RefinedJson(const PhotoRecord &record);
std::string RefinedText(const PhotoRecord &record);
std::string RefinedCsv(const PhotoRecord &record);
// The quality record's part in each format ("" when it was not measured; CSV: its empty columns).
std::string QualityJson(const PhotoRecord &record);
std::string QualityText(const PhotoRecord &record);
std::string QualityCsv(const PhotoRecord &record);
// The illumination record's parts, written inside the refined record ("" when
// the refined light has no bearing), and its CSV columns.
std::string IlluminationJson(const PhotoRecord &record);
std::string IlluminationText(const PhotoRecord &record);
std::string IlluminationCsvHeader();
std::string IlluminationCsv(const PhotoRecord &record);
// Reads "--marker-albedo" values: A or R,G,B, each in (0, 1]; 1 with albedo set.
int ParseMarkerAlbedo(const char *text, double albedo[3]);
// The writer of the options' format.
void PrintRecord(FILE *stream, const MeasureOptions &options, const char *file, const PhotoRecord &record);
// "done/total photos, rate per second, time left" on one rewritten line.
void PrintProgress(FILE *stream, int32_t done, int32_t total, double seconds);
// The batch's exit code from the records' codes: 2 when any failed (or lost
// its preview), else 1 when any gave the camera only, else 0.
ExitCode BatchExitCode(const PhotoRecord *records, int32_t count);

// Platform side (jobs_fork.cpp and png_libpng.cpp natively, jobs_serial.cpp
// and png_gdiplus.cpp in the Windows build).

// Writes rows of 8-bit RGB (3 * width bytes each, from the top) as a PNG
// file; 1 on success, else 0 with no file left behind.
int WritePng(const char *path, const uint8_t *rgb, int width, int height);

// 1 when path is a folder, or was missing and has been made; UTF-8.
int EnsureFolder(const char *path);
// Photographs measured at once when the command line does not say.
int32_t DefaultJobs();
// The command line's words in UTF-8: argv itself natively; the Windows build
// reads them from the wide command line (argv there is in the ANSI code
// page, which can not name every file). Sets *count; null when they can not
// be read.
char **CommandLineWords(int argc, char **argv, int *count);
// Measures every photograph, printing each record in the order given as soon
// as it and all before it are done; returns the batch's exit code.
ExitCode MeasureBatch(const MeasureOptions &options);
