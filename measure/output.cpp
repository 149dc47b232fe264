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
    std::fprintf(stream, "file,code,threshold,yaw,pitch,roll,dollyX,dollyY,dollyZ,xrot,yrot,message\n");
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
    std::fprintf(stream, ",%s\n", CsvField(record.message).c_str());
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
