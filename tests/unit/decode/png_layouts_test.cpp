// PNG layouts to 0xAARRGGBB as the Windows image library gives them (checked
// against it under Wine with tests/e2e/compare_decoders.py): 16-bit channels
// keep their high byte, grey is repeated over red, green and blue, a missing
// alpha is 255, interlaced files give the same pixels.
#include <gtest/gtest.h>

#include <png.h>

#include <cstdio>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "image/image.h"
#include "tests/support/test_support.h"

namespace {

const uint32_t kWidth = 400;  // passes the size rules, as the header check requires
const uint32_t kHeight = 300;

// A 16-bit sample that differs in every pixel and whose low byte is not the high one.
uint32_t Sample16(uint32_t x, uint32_t y, int channel) { return (x * 163 + y * 97 + channel * 4099) * 37 % 65536; }

struct Layout {
    const char *name;
    int colourType;
    int depth;
    int interlace;
};

// Writes a PNG of the layout with libpng; the samples are Sample16 cut to the depth.
std::string WritePng(const Layout &layout)
{
    std::string path = ::testing::TempDir() + "png_layout_" + layout.name + ".png";
    FILE *file = std::fopen(path.c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    png_init_io(png, file);
    png_set_IHDR(png, info, kWidth, kHeight, layout.depth, layout.colourType, layout.interlace,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    int channels = png_get_channels(png, info);
    int bytes = layout.depth / 8;
    std::vector<std::vector<png_byte>> rows(kHeight, std::vector<png_byte>(kWidth * channels * bytes));
    std::vector<png_bytep> pointers;
    for (uint32_t y = 0; y < kHeight; y++) {
        for (uint32_t x = 0; x < kWidth; x++)
            for (int c = 0; c < channels; c++) {
                uint32_t value = Sample16(x, y, c);
                png_byte *at = &rows[y][(x * channels + c) * bytes];
                at[0] = static_cast<png_byte>(value >> 8);
                if (bytes == 2)
                    at[1] = static_cast<png_byte>(value);
            }
        pointers.push_back(rows[y].data());
    }
    png_write_image(png, pointers.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return path;
}

uint32_t Expected(const Layout &layout, uint32_t x, uint32_t y)
{
    uint32_t first = Sample16(x, y, 0) >> 8;
    int grey = !(layout.colourType & PNG_COLOR_MASK_COLOR);
    int alphaChannel = grey ? 1 : 3;
    uint32_t alpha = (layout.colourType & PNG_COLOR_MASK_ALPHA) ? Sample16(x, y, alphaChannel) >> 8 : 255;
    uint32_t red = first;
    uint32_t green = grey ? first : Sample16(x, y, 1) >> 8;
    uint32_t blue = grey ? first : Sample16(x, y, 2) >> 8;
    return alpha << 24 | red << 16 | green << 8 | blue;
}

class PngLayouts : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override { ResetProgramState(); }
};

TEST_P(PngLayouts, PixelsAsTheWindowsLibraryGivesThem)
{
    Layout layout = GetParam();
    Photo photo = {};
    ASSERT_EQ(DecodePhoto(WritePng(layout).c_str(), &photo), kLoadDone);
    ASSERT_EQ(photo.width, kWidth);
    ASSERT_EQ(photo.height, kHeight);
    int wrong = 0;
    for (uint32_t y = 0; y < kHeight; y++)
        for (uint32_t x = 0; x < kWidth; x++)
            if (photo.argb[y * kWidth + x] != Expected(layout, x, y) && wrong++ < 3)
                ADD_FAILURE() << layout.name << " at " << x << "," << y << ": " << std::hex << photo.argb[y * kWidth + x]
                              << " not " << Expected(layout, x, y);
    EXPECT_EQ(wrong, 0);
    ReleasePhoto(&photo);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, PngLayouts,
    ::testing::Values(Layout{"rgb8", PNG_COLOR_TYPE_RGB, 8, PNG_INTERLACE_NONE},
                      Layout{"rgb16", PNG_COLOR_TYPE_RGB, 16, PNG_INTERLACE_NONE},
                      Layout{"rgba16", PNG_COLOR_TYPE_RGB_ALPHA, 16, PNG_INTERLACE_NONE},
                      Layout{"grey8", PNG_COLOR_TYPE_GRAY, 8, PNG_INTERLACE_NONE},
                      Layout{"grey16", PNG_COLOR_TYPE_GRAY, 16, PNG_INTERLACE_NONE},
                      Layout{"greyalpha8", PNG_COLOR_TYPE_GRAY_ALPHA, 8, PNG_INTERLACE_NONE},
                      Layout{"rgba8_interlaced", PNG_COLOR_TYPE_RGB_ALPHA, 8, PNG_INTERLACE_ADAM7},
                      Layout{"rgb16_interlaced", PNG_COLOR_TYPE_RGB, 16, PNG_INTERLACE_ADAM7}),
    [](const ::testing::TestParamInfo<Layout> &info) { return std::string(info.param.name); });

}  // namespace
