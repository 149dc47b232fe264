#include "tests/support/test_support.h"

#include <cstdio>
#include <vector>

#include "image/image.h"
#include "shell/analysis.h"
#include "shell/report.h"
#include "shell/report_memory.h"

void ResetProgramState()
{
    ResetAnalysisState();
    ResetMemoryDialog();
    ReadSettings();
}

std::string SamplePath(const std::string &file) { return std::string(QM_SAMPLES_DIR) + "/" + file; }

// Binary PPM (P6, maxval 255): the header's numbers separated by white space.
static int ReadPpmNumber(FILE *file, unsigned *value)
{
    int c = std::fgetc(file);
    while (c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '#') {
        if (c == '#')
            while (c != '\n' && c != EOF)
                c = std::fgetc(file);
        c = std::fgetc(file);
    }
    if (c < '0' || c > '9')
        return 0;
    unsigned n = 0;
    while (c >= '0' && c <= '9') {
        n = n * 10 + static_cast<unsigned>(c - '0');
        c = std::fgetc(file);
    }
    *value = n;
    return 1;
}

int LoadSample(const std::string &name)
{
    std::string path = std::string(QM_SAMPLES_PPM_DIR) + "/" + name + ".ppm";
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return kLoadFailed;
    unsigned width = 0, height = 0, maxval = 0;
    int ok = std::fgetc(file) == 'P' && std::fgetc(file) == '6' && ReadPpmNumber(file, &width) &&
             ReadPpmNumber(file, &height) && ReadPpmNumber(file, &maxval) && maxval == 255;
    std::vector<unsigned char> rgb;
    if (ok) {
        rgb.resize(static_cast<size_t>(width) * height * 3);
        ok = std::fread(rgb.data(), 1, rgb.size(), file) == rgb.size();
    }
    std::fclose(file);
    if (!ok)
        return kLoadFailed;
    if (!SetImageGeometry(width, height))
        return kLoadRejected;
    for (unsigned y = 0; y < height; y++)
        for (unsigned x = 0; x < width; x++) {
            const unsigned char *p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
            TransferPixel(x, y, 0xFF000000u | (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2]);
        }
    return kLoadDone;
}
