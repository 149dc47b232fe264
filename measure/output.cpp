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

static const char *const kFocalSources[] = {"exif", "exif35", "default"};

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
};

// When a field is given. The refinement finds the sun's elevation only after
// the shadow's bearing, so a light with xrot always has yrot.
enum RefinedGiven : int32_t {
    kGivenAlways,
    kGivenCamera,     // the camera was refined
    kGivenElevation,  // the camera and the sun's elevation
    kGivenBearing,    // the camera and the shadow's bearing
};

// The JSON object that holds a field.
enum RefinedGroup : int32_t { kGroupRecord, kGroupCamera, kGroupLight, kGroupUncertainty };
static const char *const kGroupNames[] = {"", "camera", "light", "uncertainty"};
// The objects in the order JSON writes them, before the record's own fields.
static const RefinedGroup kJsonObjects[] = {kGroupCamera, kGroupLight, kGroupUncertainty};

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
    case kValueFocalSource:
    case kValueNote: break;  // words, written by FieldText
    }
    return 0.0;
}

// A field's value as the format writes it.
static std::string FieldText(const RefinedEstimate &r, const RefinedField &field, OutputFormat format)
{
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
    return out + JsonMembers(r, kGroupRecord) + "}";
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
    return out;
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
    std::fprintf(stream, "%s", RefinedText(record).c_str());
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
    std::fprintf(stream, "%s", RefinedJson(record).c_str());
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
    std::fprintf(stream, "\n");
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
    std::fprintf(stream, ",%s,%s\n", CsvField(record.message).c_str(), RefinedCsv(record).c_str());
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
