#include <csetjmp>
#include <cstdio>

#include <png.h>

#include "measure/measure.h"

static const int kPngBitDepth = 8;
static const int kBytesPerPixel = 3;  // RGB

// libpng reports errors by longjmp; nothing with a destructor lives in this
// frame between setjmp and the end.
static int EncodePng(FILE *file, const uint8_t *rgb, int width, int height)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr)
        return 0;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return 0;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return 0;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), kPngBitDepth,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; y++)
        png_write_row(png, rgb + static_cast<size_t>(y) * width * kBytesPerPixel);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return 1;
}

int WritePng(const char *path, const uint8_t *rgb, int width, int height)
{
    FILE *file = std::fopen(path, "wb");
    if (file == nullptr)
        return 0;
    int written = EncodePng(file, rgb, width, height);
    if (std::fclose(file) != 0)
        written = 0;
    if (!written)
        std::remove(path);
    return written;
}
