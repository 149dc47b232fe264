#include <cstring>
#include <string>

#include <nlohmann/json.hpp>

#include "common/numeric.h"
#include "measure/measure.h"
#include "shell/result.h"

// Numbers are printed with "%f", the digits the dialog writes to its result
// file; such a text is also a JSON number (the outputs hold no NaN: the
// record is a failure rather than carry one).

static const char *Outcome(const PhotoRecord &record)
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
// Columns of the refined record in CSV.
static const size_t kRefinedCsvFields = 15;

static std::string Formatted(const char *format, double value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// The refined record in JSON: camera and light with the classic keys (the
// light absent, or its bearing alone, when it was not refined), the field of
// view along the long side, the lens' source, one standard deviation of each
// number given, and the note (why not, or what was assumed).
std::string RefinedJson(const PhotoRecord &record)
{
    if (!record.refinedRan)
        return "";
    const RefinedEstimate &r = record.refined;
    std::string out = ", \"refined\": {";
    if (r.status == kRefineDone) {
        const RefinedCamera &c = r.camera, &s = r.cameraSigma;
        out += "\"camera\": {\"yaw\": 0.000000, \"pitch\": " + Formatted("%f", c.pitch) +
               ", \"roll\": " + Formatted("%f", c.roll) + ", \"dollyX\": " + Formatted("%f", c.dollyX) +
               ", \"dollyY\": " + Formatted("%f", c.dollyY) + ", \"dollyZ\": " + Formatted("%f", c.dollyZ) + "}, ";
        if (r.light.elevationFound)
            out += "\"light\": {\"xrot\": " + Formatted("%f", r.light.xrot) + ", \"yrot\": " +
                   Formatted("%f", r.light.yrot) + "}, ";
        else if (r.light.bearingFound)
            out += "\"light\": {\"yrot\": " + Formatted("%f", r.light.yrot) + "}, ";
        out += "\"uncertainty\": {\"pitch\": " + Formatted("%f", s.pitch) + ", \"roll\": " + Formatted("%f", s.roll) +
               ", \"dollyX\": " + Formatted("%f", s.dollyX) + ", \"dollyY\": " + Formatted("%f", s.dollyY) +
               ", \"dollyZ\": " + Formatted("%f", s.dollyZ) + ", \"distance\": " + Formatted("%f", r.distanceSigma);
        if (r.light.elevationFound)
            out += ", \"xrot\": " + Formatted("%f", r.light.xrotSigma);
        if (r.light.bearingFound)
            out += ", \"yrot\": " + Formatted("%f", r.light.yrotSigma);
        out += "}, ";
    }
    out += "\"fov\": " + Formatted("%f", r.fov) + ", \"focal_source\": \"" + kFocalSources[r.lens.source] +
           "\", \"note\": " + JsonString(r.note) + "}";
    return out;
}

std::string RefinedText(const PhotoRecord &record)
{
    if (!record.refinedRan)
        return "";
    const RefinedEstimate &r = record.refined;
    std::string out = "; refined";
    if (r.status == kRefineDone) {
        const RefinedCamera &c = r.camera;
        out += " pitch=" + Formatted("%f", c.pitch) + " roll=" + Formatted("%f", c.roll) + " dollyX=" +
               Formatted("%f", c.dollyX) + " dollyY=" + Formatted("%f", c.dollyY) + " dollyZ=" +
               Formatted("%f", c.dollyZ);
        if (r.light.elevationFound)
            out += " xrot=" + Formatted("%f", r.light.xrot);
        if (r.light.bearingFound)
            out += " yrot=" + Formatted("%f", r.light.yrot);
    }
    out += " fov=" + Formatted("%f", r.fov) + " focal=" + kFocalSources[r.lens.source];
    if (r.note[0] != '\0')
        out += std::string(" (") + OneLine(r.note) + ")";
    return out;
}

// The refined columns after the classic ones; empty fields where a number is not given.
std::string RefinedCsv(const PhotoRecord &record)
{
    if (!record.refinedRan)
        return std::string(kRefinedCsvFields - 1, ',');
    const RefinedEstimate &r = record.refined;
    const int done = r.status == kRefineDone;
    const RefinedCamera &c = r.camera, &s = r.cameraSigma;
    auto field = [](int given, double value) { return given ? Formatted("%f", value) : std::string(); };
    std::string out;
    out += field(done, c.pitch) + "," + field(done, c.roll) + "," + field(done, c.dollyX) + "," +
           field(done, c.dollyY) + "," + field(done, c.dollyZ) + ",";
    out += field(done && r.light.elevationFound, r.light.xrot) + "," + field(done && r.light.bearingFound, r.light.yrot) + ",";
    out += Formatted("%f", r.fov) + "," + kFocalSources[r.lens.source] + ",";
    out += field(done, s.pitch) + "," + field(done, s.roll) + "," + field(done, r.distanceSigma) + ",";
    out += field(done && r.light.elevationFound, r.light.xrotSigma) + "," +
           field(done && r.light.bearingFound, r.light.yrotSigma) + ",";
    out += CsvField(r.note);
    return out;
}

void PrintTextRecord(FILE *stream, const char *file, const PhotoRecord &record)
{
    std::fprintf(stream, "%s: %s", OneLine(file).c_str(), record.cameraFound ? Outcome(record) : OneLine(record.message).c_str());
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
    std::fprintf(stream, "}\n");
}

void PrintCsvHeader(FILE *stream)
{
    std::fprintf(stream, "file,code,threshold,yaw,pitch,roll,dollyX,dollyY,dollyZ,xrot,yrot,message,"
                         "refined_pitch,refined_roll,refined_dollyX,refined_dollyY,refined_dollyZ,refined_xrot,"
                         "refined_yrot,refined_fov,focal_source,sd_pitch,sd_roll,sd_distance,sd_xrot,sd_yrot,"
                         "refined_note\n");
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

int BatchExitCode(const PhotoRecord *records, int32_t count)
{
    int code = kExitCameraAndLight;
    for (int32_t i = 0; i < count; i++) {
        if (records[i].code == kExitNoResult || records[i].previewFailed)
            return kExitNoResult;
        if (records[i].code == kExitCameraOnly)
            code = kExitCameraOnly;
    }
    return code;
}
