#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "common/numeric.h"
#include "measure/measure.h"
#include "shell/result.h"

// Numbers are printed with "%f", the digits the dialog writes to its result
// file; such a text is also a JSON number (the outputs hold no NaN: the
// record is a failure rather than carry one).

static const char *OutcomeWords(const PhotoRecord &record)
{
    if (record.code == kExitCameraAndLight)
        return "camera and light";
    if (record.code == kExitCameraOnly)
        return "camera only";
    return "failed";
}

// A name or message as a JSON string; bytes that are not UTF-8 (a Unix file
// name may hold any) become U+FFFD rather than stop the output.
static std::string JsonString(const char *text)
{
    return nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// One CSV field (RFC 4180): quoted, with quotes doubled, when it holds a
// comma, a quote or a line break.
static std::string CsvField(const char *text)
{
    std::string field(text);
    if (field.find_first_of(",\"\r\n") == std::string::npos)
        return field;
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

// The message on one line of text: a line break becomes a space.
static std::string OneLine(const char *text)
{
    std::string line(text);
    for (char &c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    return line;
}

static const char *const kFocalSources[] = {"exif", "exif35", "default", "user", "lensdb", "stick"};

static std::string Formatted(const char *format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The refined record in one table that every writer reads: JSON puts each
// number in its object (camera and light with the classic keys, one standard
// deviation of each number in "uncertainty", the field of view along the long
// side, the lens' source and the note at the top); text gives the numbers
// that have a text key, the note in brackets; CSV has a column for each that
// has a column name, empty where the number is not given.

// What a field holds.
enum RefinedValue : int32_t {
    kValueYaw,  // always 0: the refined camera looks along the classic yaw
    kValuePitch,
    kValueRoll,
    kValueDollyX,
    kValueDollyY,
    kValueDollyZ,
    kValueXrot,
    kValueYrot,
    kValueFov,
    kValueFocalSource,  // a word of kFocalSources
    kValueSigmaPitch,
    kValueSigmaRoll,
    kValueSigmaDollyX,
    kValueSigmaDollyY,
    kValueSigmaDollyZ,
    kValueSigmaDistance,
    kValueSigmaXrot,
    kValueSigmaYrot,
    kValueNote,  // text
    kValueSigmaFov,
    kValueDistortionModel,   // a word of DistortionModelName
    kValueDistortionTerms,   // the model's terms: a JSON array, space-separated in CSV
    kValueDistortionLens,    // text, the profile's lens
    kValueDistortionCamera,  // text, the profile's camera
    kValueDistortionFocal,   // mm, the focal length the profile was taken at
    kValueDistortionUnit,    // source pixels per unit of the model's normalised radius on this photo
};

// When a field is given. The refinement finds the sun's elevation only after
// the shadow's bearing, so a light with xrot always has yrot.
enum RefinedGiven : int32_t {
    kGivenAlways,
    kGivenCamera,     // the camera was refined
    kGivenElevation,  // the camera and the sun's elevation
    kGivenBearing,    // the camera and the shadow's bearing
    kGivenDistortion, // the measured points were undistorted with a lens profile
};

// The JSON object that holds a field.
enum RefinedGroup : int32_t { kGroupRecord, kGroupCamera, kGroupLight, kGroupUncertainty, kGroupDistortion };
static const char *const kGroupNames[] = {"", "camera", "light", "uncertainty", "distortion"};
// The objects in the order JSON writes them, before the record's own fields.
static const RefinedGroup kJsonObjects[] = {kGroupCamera, kGroupLight, kGroupUncertainty, kGroupDistortion};

struct RefinedField {
    RefinedValue value;
    RefinedGiven given;
    RefinedGroup group;
    const char *key;     // in JSON
    const char *text;    // key in text, or null when text leaves it out
    const char *column;  // CSV column, or null when CSV leaves it out
};

// In the order of the text and the CSV columns; JSON keeps this order within each object.
static const RefinedField kRefinedFields[] = {
    {kValueYaw, kGivenCamera, kGroupCamera, "yaw", nullptr, nullptr},
    {kValuePitch, kGivenCamera, kGroupCamera, "pitch", "pitch", "refined_pitch"},
    {kValueRoll, kGivenCamera, kGroupCamera, "roll", "roll", "refined_roll"},
    {kValueDollyX, kGivenCamera, kGroupCamera, "dollyX", "dollyX", "refined_dollyX"},
    {kValueDollyY, kGivenCamera, kGroupCamera, "dollyY", "dollyY", "refined_dollyY"},
    {kValueDollyZ, kGivenCamera, kGroupCamera, "dollyZ", "dollyZ", "refined_dollyZ"},
    {kValueXrot, kGivenElevation, kGroupLight, "xrot", "xrot", "refined_xrot"},
    {kValueYrot, kGivenBearing, kGroupLight, "yrot", "yrot", "refined_yrot"},
    {kValueFov, kGivenAlways, kGroupRecord, "fov", "fov", "refined_fov"},
    {kValueFocalSource, kGivenAlways, kGroupRecord, "focal_source", "focal", "focal_source"},
    {kValueSigmaPitch, kGivenCamera, kGroupUncertainty, "pitch", nullptr, "sd_pitch"},
    {kValueSigmaRoll, kGivenCamera, kGroupUncertainty, "roll", nullptr, "sd_roll"},
    {kValueSigmaDollyX, kGivenCamera, kGroupUncertainty, "dollyX", nullptr, nullptr},
    {kValueSigmaDollyY, kGivenCamera, kGroupUncertainty, "dollyY", nullptr, nullptr},
    {kValueSigmaDollyZ, kGivenCamera, kGroupUncertainty, "dollyZ", nullptr, nullptr},
    {kValueSigmaDistance, kGivenCamera, kGroupUncertainty, "distance", nullptr, "sd_distance"},
    {kValueSigmaXrot, kGivenElevation, kGroupUncertainty, "xrot", nullptr, "sd_xrot"},
    {kValueSigmaYrot, kGivenBearing, kGroupUncertainty, "yrot", nullptr, "sd_yrot"},
    {kValueNote, kGivenAlways, kGroupRecord, "note", nullptr, "refined_note"},
    // The lens is chosen whether or not the camera is refined, so its deviation is always given.
    {kValueSigmaFov, kGivenAlways, kGroupUncertainty, "fov", nullptr, "sd_fov"},
    {kValueDistortionModel, kGivenDistortion, kGroupDistortion, "model", "distortion", "distortion_model"},
    {kValueDistortionTerms, kGivenDistortion, kGroupDistortion, "terms", nullptr, "distortion_terms"},
    {kValueDistortionLens, kGivenDistortion, kGroupDistortion, "lens", nullptr, "distortion_lens"},
    {kValueDistortionCamera, kGivenDistortion, kGroupDistortion, "camera", nullptr, "distortion_camera"},
    {kValueDistortionFocal, kGivenDistortion, kGroupDistortion, "focal_mm", nullptr, "distortion_focal_mm"},
    {kValueDistortionUnit, kGivenDistortion, kGroupDistortion, "radius_unit_px", nullptr, "distortion_radius_unit_px"},
};

static int Given(const RefinedEstimate &r, RefinedGiven given)
{
    const int camera = r.status == kRefineDone;
    if (given == kGivenCamera)
        return camera;
    if (given == kGivenElevation)
        return camera && r.light.elevationFound;
    if (given == kGivenBearing)
        return camera && r.light.bearingFound;
    if (given == kGivenDistortion)
        return r.distortion.model != kDistortionNone;
    return 1;
}

static double Number(const RefinedEstimate &r, RefinedValue value)
{
    switch (value) {
    case kValueYaw: return 0.0;
    case kValuePitch: return r.camera.pitch;
    case kValueRoll: return r.camera.roll;
    case kValueDollyX: return r.camera.dollyX;
    case kValueDollyY: return r.camera.dollyY;
    case kValueDollyZ: return r.camera.dollyZ;
    case kValueXrot: return r.light.xrot;
    case kValueYrot: return r.light.yrot;
    case kValueFov: return r.fov;
    case kValueSigmaPitch: return r.cameraSigma.pitch;
    case kValueSigmaRoll: return r.cameraSigma.roll;
    case kValueSigmaDollyX: return r.cameraSigma.dollyX;
    case kValueSigmaDollyY: return r.cameraSigma.dollyY;
    case kValueSigmaDollyZ: return r.cameraSigma.dollyZ;
    case kValueSigmaDistance: return r.distanceSigma;
    case kValueSigmaXrot: return r.light.xrotSigma;
    case kValueSigmaYrot: return r.light.yrotSigma;
    case kValueSigmaFov: return r.fovSigma;
    case kValueDistortionFocal: return r.distortion.focalMm;
    case kValueDistortionUnit: return r.distortionUnitPixels;
    case kValueFocalSource:
    case kValueNote:
    case kValueDistortionModel:
    case kValueDistortionTerms:
    case kValueDistortionLens:
    case kValueDistortionCamera: break;  // words, written by FieldText
    }
    return 0.0;
}

// The lens profile's words and terms: JSON strings and an array, CSV fields
// (the terms space-separated), bare words in text. Terms keep nine digits:
// lensfun's reach 1e-7.
static std::string DistortionText(const LensDistortion &d, RefinedValue value, OutputFormat format)
{
    const char *words = value == kValueDistortionModel ? DistortionModelName(d.model)
                        : value == kValueDistortionLens ? d.lens
                                                        : d.camera;
    if (value != kValueDistortionTerms)
        return format == kFormatJson ? JsonString(words) : CsvField(words);
    std::string terms;
    for (int i = 0; i < DistortionTermCount(d.model); i++)
        terms += (i > 0 ? (format == kFormatJson ? ", " : " ") : "") + Formatted("%.9g", d.terms[i]);
    return format == kFormatJson ? "[" + terms + "]" : terms;
}

// A field's value as the format writes it.
static std::string FieldText(const RefinedEstimate &r, const RefinedField &field, OutputFormat format)
{
    if (field.value == kValueDistortionModel || field.value == kValueDistortionTerms ||
        field.value == kValueDistortionLens || field.value == kValueDistortionCamera)
        return DistortionText(r.distortion, field.value, format);
    if (field.value == kValueFocalSource) {
        std::string word = kFocalSources[static_cast<int>(r.lens.source)];
        return format == kFormatJson ? "\"" + word + "\"" : word;
    }
    if (field.value == kValueNote)
        return format == kFormatJson ? JsonString(r.note) : CsvField(r.note);
    return Formatted("%f", Number(r, field.value));
}

// The given fields of one JSON object, as "key": value pairs.
static std::string JsonMembers(const RefinedEstimate &r, RefinedGroup group)
{
    std::string out;
    for (const RefinedField &field : kRefinedFields)
        if (field.group == group && Given(r, field.given))
            out += (out.empty() ? "\"" : ", \"") + std::string(field.key) + "\": " + FieldText(r, field, kFormatJson);
    return out;
}

std::string RefinedJson(const PhotoRecord &record)
{
    if (!record.refinedRan)
        return "";
    const RefinedEstimate &r = record.refined;
    std::string out = ", \"refined\": {";
    for (RefinedGroup group : kJsonObjects) {
        std::string members = JsonMembers(r, group);
        if (!members.empty())
            out += "\"" + std::string(kGroupNames[group]) + "\": {" + members + "}, ";
    }
    return out + JsonMembers(r, kGroupRecord) + IlluminationJson(record) + "}";
}

std::string RefinedText(const PhotoRecord &record)
{
    if (!record.refinedRan)
        return "";
    const RefinedEstimate &r = record.refined;
    std::string out = "; refined";
    for (const RefinedField &field : kRefinedFields)
        if (field.text != nullptr && Given(r, field.given))
            out += " " + std::string(field.text) + "=" + FieldText(r, field, kFormatText);
    if (r.note[0] != '\0')
        out += " (" + OneLine(r.note) + ")";
    return out + IlluminationText(record);
}

// The refined columns after the classic ones; empty fields where a number is not given.
std::string RefinedCsv(const PhotoRecord &record)
{
    std::string out;
    int first = 1;
    for (const RefinedField &field : kRefinedFields) {
        if (field.column == nullptr)
            continue;
        if (!first)
            out += ",";
        first = 0;
        if (record.refinedRan && Given(record.refined, field.given))
            out += FieldText(record.refined, field, kFormatCsv);
    }
    return out;
}

// The quality record in the refined one: how clearly the marker was seen,
// for a batch to sort and filter by. One table for every writer: JSON puts
// the fields in the refined object's "quality" (null where a figure was not
// measured), text after "quality", CSV in the named columns (empty where not
// measured).

enum QualityValue : int32_t {
    kQualityRimContrast,      // grey levels in linear light: median disc minus ground across the refined rim
    kQualityRimCoverage,      // share of the rim's normals that found the edge
    kQualityRimResidual,      // source pixels, RMS distance of the refined rim's edge points from its ellipse
    kQualityRegionContrast,   // brightness levels, the marker's median over the ring around it
    kQualityMargin,           // source pixels, from the marker's bounding box to the picture's edge
    kQualityThresholdRun,     // brightness levels of the automatic threshold's stable run; null at a fixed threshold
};

struct QualityField {
    QualityValue value;
    const char *key;     // JSON and text
    const char *column;  // CSV
};

static const QualityField kQualityFields[] = {
    {kQualityRimContrast, "rim_contrast", "quality_rim_contrast"},
    {kQualityRimCoverage, "rim_coverage", "quality_rim_coverage"},
    {kQualityRimResidual, "outline_residual", "quality_outline_residual"},
    {kQualityRegionContrast, "region_contrast", "quality_region_contrast"},
    {kQualityMargin, "margin", "quality_margin"},
    {kQualityThresholdRun, "threshold_run", "quality_threshold_run"},
};

// The figure as text, or "" when it was not measured.
static std::string QualityText(const MarkerQuality &q, QualityValue value)
{
    if (!q.measured)
        return "";
    switch (value) {
    case kQualityRimContrast: return q.rimFound ? Formatted("%f", q.rimContrast) : "";
    case kQualityRimCoverage: return q.rimFound ? Formatted("%f", q.rimCoverage) : "";
    case kQualityRimResidual: return q.rimFound ? Formatted("%f", q.rimResidual) : "";
    case kQualityRegionContrast: return Formatted("%f", q.regionContrast);
    case kQualityMargin: return Formatted("%f", q.margin);
    case kQualityThresholdRun: return q.thresholdRun >= 0 ? std::to_string(q.thresholdRun) : "";
    }
    return "";
}

std::string QualityJson(const PhotoRecord &record)
{
    if (!record.quality.measured)
        return "";
    std::string out = ", \"quality\": {";
    for (const QualityField &field : kQualityFields) {
        const std::string text = QualityText(record.quality, field.value);
        out += (&field == kQualityFields ? "\"" : ", \"") + std::string(field.key) + "\": " + (text.empty() ? "null" : text);
    }
    return out + "}";
}

std::string QualityText(const PhotoRecord &record)
{
    if (!record.quality.measured)
        return "";
    std::string out = "; quality";
    for (const QualityField &field : kQualityFields) {
        const std::string text = QualityText(record.quality, field.value);
        if (!text.empty())
            out += " " + std::string(field.key) + "=" + text;
    }
    return out;
}

std::string QualityCsv(const PhotoRecord &record)
{
    std::string out;
    for (const QualityField &field : kQualityFields)
        out += "," + QualityText(record.quality, field.value);
    return out;
}

void PrintTextRecord(FILE *stream, const char *file, const PhotoRecord &record)
{
    std::fprintf(stream, "%s: %s", OneLine(file).c_str(), record.cameraFound ? OutcomeWords(record) : OneLine(record.message).c_str());
    if (record.cameraFound && record.message[0] != '\0')
        std::fprintf(stream, " (%s)", OneLine(record.message).c_str());
    std::fprintf(stream, "; threshold %d", record.threshold);
    if (record.cameraFound) {
        const CameraPose &p = record.pose;
        std::fprintf(stream, "; yaw=%f pitch=%f roll=%f dollyX=%f dollyY=%f dollyZ=%f", DegreesFromRadians(p.yaw),
                     DegreesFromRadians(p.pitch), DegreesFromRadians(p.roll), p.dollyX, p.dollyY, p.dollyZ);
    }
    if (record.lightFound)
        std::fprintf(stream, "; xrot=%f yrot=%f", DegreesFromRadians(record.xrot), DegreesFromRadians(record.yrot));
    std::fprintf(stream, "%s%s", RefinedText(record).c_str(), QualityText(record).c_str());
    if (record.previewFailed)
        std::fprintf(stream, "; preview not written");
    if (record.exportFailed)
        std::fprintf(stream, "; export not written");
    std::fprintf(stream, "\n");
}

void PrintJsonRecord(FILE *stream, const char *file, const PhotoRecord &record)
{
    std::fprintf(stream, "{\"file\": %s, \"code\": %d, \"threshold\": %d", JsonString(file).c_str(), record.code,
                 record.threshold);
    if (record.cameraFound) {
        const CameraPose &p = record.pose;
        std::fprintf(stream,
                     ", \"camera\": {\"yaw\": %f, \"pitch\": %f, \"roll\": %f, \"dollyX\": %f, \"dollyY\": %f, "
                     "\"dollyZ\": %f}",
                     DegreesFromRadians(p.yaw), DegreesFromRadians(p.pitch), DegreesFromRadians(p.roll), p.dollyX,
                     p.dollyY, p.dollyZ);
    }
    if (record.lightFound)
        std::fprintf(stream, ", \"light\": {\"xrot\": %f, \"yrot\": %f}", DegreesFromRadians(record.xrot),
                     DegreesFromRadians(record.yrot));
    // The quality record closes the refined object it judges.
    std::string refined = RefinedJson(record);
    if (!refined.empty())
        refined.insert(refined.size() - 1, QualityJson(record));
    std::fprintf(stream, "%s", refined.c_str());
    if (record.code == kExitNoResult)
        std::fprintf(stream, ", \"error\": %s", JsonString(record.message).c_str());
    else if (record.message[0] != '\0')
        std::fprintf(stream, ", \"warning\": %s", JsonString(record.message).c_str());
    if (record.previewFailed)
        std::fprintf(stream, ", \"preview\": \"not written\"");
    if (record.exportFailed)
        std::fprintf(stream, ", \"export\": \"not written\"");
    std::fprintf(stream, "}\n");
}

void PrintCsvHeader(FILE *stream)
{
    std::fprintf(stream, "file,code,threshold,yaw,pitch,roll,dollyX,dollyY,dollyZ,xrot,yrot,message");
    for (const RefinedField &field : kRefinedFields)
        if (field.column != nullptr)
            std::fprintf(stream, ",%s", field.column);
    for (const QualityField &field : kQualityFields)
        std::fprintf(stream, ",%s", field.column);
    std::fprintf(stream, ",%s\n", IlluminationCsvHeader().c_str());
}

void PrintCsvRecord(FILE *stream, const char *file, const PhotoRecord &record)
{
    std::fprintf(stream, "%s,%d,%d", CsvField(file).c_str(), record.code, record.threshold);
    if (record.cameraFound) {
        const CameraPose &p = record.pose;
        std::fprintf(stream, ",%f,%f,%f,%f,%f,%f", DegreesFromRadians(p.yaw), DegreesFromRadians(p.pitch),
                     DegreesFromRadians(p.roll), p.dollyX, p.dollyY, p.dollyZ);
    } else {
        std::fprintf(stream, ",,,,,,");
    }
    if (record.lightFound)
        std::fprintf(stream, ",%f,%f", DegreesFromRadians(record.xrot), DegreesFromRadians(record.yrot));
    else
        std::fprintf(stream, ",,");
    std::fprintf(stream, ",%s,%s%s,%s\n", CsvField(record.message).c_str(), RefinedCsv(record).c_str(),
                 QualityCsv(record).c_str(), IlluminationCsv(record).c_str());
}

void PrintRecord(FILE *stream, const MeasureOptions &options, const char *file, const PhotoRecord &record)
{
    if (options.format == kFormatJson)
        PrintJsonRecord(stream, file, record);
    else if (options.format == kFormatCsv)
        PrintCsvRecord(stream, file, record);
    else
        PrintTextRecord(stream, file, record);
}

void PrintProgress(FILE *stream, int32_t done, int32_t total, double seconds)
{
    double rate = seconds > 0.0 ? done / seconds : 0.0;
    double left = rate > 0.0 ? (total - done) / rate : 0.0;
    std::fprintf(stream, "\r%d/%d photos, %.1f per second, %.0f s left ", done, total, rate, left);
    if (done == total)
        std::fprintf(stream, "\n");
    std::fflush(stream);
}

ExitCode BatchExitCode(const PhotoRecord *records, int32_t count)
{
    ExitCode code = kExitCameraAndLight;
    for (int32_t i = 0; i < count; i++) {
        if (records[i].code == kExitNoResult || records[i].previewFailed || records[i].exportFailed)
            return kExitNoResult;
        if (records[i].code == kExitCameraOnly)
            code = kExitCameraOnly;
    }
    return code;
}

// The illumination record, inside the refined one: the numbers in linear
// light for exposure 0 and the Standard view, one standard deviation of each
// in its "uncertainty", the albedo they hold for, and the note; only the
// albedo and the note when the disc gave no light.

// The record when the refined light has its bearing, else null.
static const Illumination *GivenIllumination(const PhotoRecord &record)
{
    const int given = record.refinedRan && record.refined.status == kRefineDone && record.refined.light.bearingFound;
    return given ? &record.illumination : nullptr;
}

static std::string Triple(const double v[3], const char *separator)
{
    return Formatted("%f", v[0]) + separator + Formatted("%f", v[1]) + separator + Formatted("%f", v[2]);
}

static std::string JsonTriple(const double v[3])
{
    return "[" + Triple(v, ", ") + "]";
}

std::string IlluminationJson(const PhotoRecord &record)
{
    const Illumination *given = GivenIllumination(record);
    if (given == nullptr)
        return "";
    const Illumination &l = *given;
    std::string out = ", \"illumination\": {";
    if (l.status == kIlluminationDone)
        out += "\"shadow_ratio\": " + JsonTriple(l.shadowRatio) + ", \"sun_strength\": " +
               Formatted("%f", l.sunStrength) + ", \"sun_color\": " + JsonTriple(l.sunColor) +
               ", \"sky_color\": " + JsonTriple(l.skyColor) + ", \"clipped\": " + (l.clipped ? "true" : "false") +
               ", \"uncertainty\": {\"shadow_ratio\": " + JsonTriple(l.shadowRatioSigma) +
               ", \"sun_strength\": " + Formatted("%f", l.sunStrengthSigma) +
               ", \"sun_color\": " + JsonTriple(l.sunColorSigma) + ", \"sky_color\": " +
               JsonTriple(l.skyColorSigma) + "}, ";
    return out + "\"albedo\": " + JsonTriple(l.albedo) + ", \"note\": " + JsonString(l.note) + "}";
}

std::string IlluminationText(const PhotoRecord &record)
{
    const Illumination *l = GivenIllumination(record);
    if (l == nullptr)
        return "";
    std::string out = "; illumination";
    if (l->status == kIlluminationDone)
        out += " shadow_ratio=" + Triple(l->shadowRatio, ",") + " sun_strength=" + Formatted("%f", l->sunStrength) +
               " sun_color=" + Triple(l->sunColor, ",") + " sky_color=" + Triple(l->skyColor, ",") +
               " clipped=" + (l->clipped ? "yes" : "no");
    out += " albedo=" + Triple(l->albedo, ",");
    if (l->note[0] != '\0')
        out += " (" + OneLine(l->note) + ")";
    return out;
}

std::string IlluminationCsvHeader()
{
    return "shadow_ratio_r,shadow_ratio_g,shadow_ratio_b,sun_strength,sun_color_r,sun_color_g,sun_color_b,"
           "sky_color_r,sky_color_g,sky_color_b,albedo_r,albedo_g,albedo_b,clipped,"
           "sd_shadow_ratio_r,sd_shadow_ratio_g,sd_shadow_ratio_b,sd_sun_strength,"
           "sd_sky_color_r,sd_sky_color_g,sd_sky_color_b,illumination_note";
}

std::string IlluminationCsv(const PhotoRecord &record)
{
    if (GivenIllumination(record) == nullptr)
        return ",,,,,,,,,,,,,,,,,,,,,";
    const Illumination &l = record.illumination;
    if (l.status != kIlluminationDone)
        return ",,,,,,,,,," + Triple(l.albedo, ",") + ",,,,,,,,," + CsvField(l.note);
    return Triple(l.shadowRatio, ",") + "," + Formatted("%f", l.sunStrength) + "," + Triple(l.sunColor, ",") + "," +
           Triple(l.skyColor, ",") + "," + Triple(l.albedo, ",") + "," + (l.clipped ? "1" : "0") + "," +
           Triple(l.shadowRatioSigma, ",") + "," + Formatted("%f", l.sunStrengthSigma) + "," +
           Triple(l.skyColorSigma, ",") + "," + CsvField(l.note);
}
