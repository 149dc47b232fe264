// JPEG layouts: the decoder's pixels, read several rows at a time straight
// into the photo, are exactly those of the library's plain output read one
// row at a time (RGB, grey repeated, CMYK turned into red, green and blue),
// whatever the chroma sampling and however the height falls on the rows of
// blocks; and the reduction done batch by batch while decoding leaves what
// the reduction of the decoded photo leaves.
#include <gtest/gtest.h>

#include <jpeglib.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "image/canvas_memory.h"
#include "image/image.h"
#include "tests/support/test_support.h"

namespace {

struct Layout {
    const char *name;
    J_COLOR_SPACE space;  // of the pixels given to the encoder
    int h, v;             // sampling factors of the first component (the others 1)
    int progressive;
    uint32_t width, height;
};

// A sample that varies along both axes in every channel.
uint8_t Sample(uint32_t x, uint32_t y, int channel)
{
    return static_cast<uint8_t>((x * 7 + y * 13 + channel * 85 + x * y / 5) & 0xFF);
}

std::string WriteJpeg(const Layout &layout)
{
    std::string path = ::testing::TempDir() + "jpeg_layout_" + layout.name + ".jpg";
    FILE *file = std::fopen(path.c_str(), "wb");
    jpeg_compress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_compress(&info);
    jpeg_stdio_dest(&info, file);
    info.image_width = layout.width;
    info.image_height = layout.height;
    info.input_components = layout.space == JCS_GRAYSCALE ? 1 : layout.space == JCS_CMYK ? 4 : 3;
    info.in_color_space = layout.space;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, 90, TRUE);
    info.comp_info[0].h_samp_factor = layout.h;
    info.comp_info[0].v_samp_factor = layout.v;
    for (int c = 1; c < info.num_components; c++)
        info.comp_info[c].h_samp_factor = info.comp_info[c].v_samp_factor = 1;
    if (layout.progressive)
        jpeg_simple_progression(&info);
    jpeg_start_compress(&info, TRUE);
    std::vector<uint8_t> row(layout.width * info.input_components);
    while (info.next_scanline < layout.height) {
        for (uint32_t x = 0; x < layout.width; x++)
            for (int c = 0; c < info.input_components; c++)
                row[x * info.input_components + c] = Sample(x, info.next_scanline, c);
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&info, rows, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    std::fclose(file);
    return path;
}

// The library's plain output, one row per call, to 0xAARRGGBB.
std::vector<uint32_t> DecodeRowByRow(const std::string &path)
{
    FILE *file = std::fopen(path.c_str(), "rb");
    jpeg_decompress_struct info;
    jpeg_error_mgr errors;
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_stdio_src(&info, file);
    jpeg_read_header(&info, TRUE);
    int cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    int grey = info.jpeg_color_space == JCS_GRAYSCALE;
    info.out_color_space = cmyk ? JCS_CMYK : grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&info);
    std::vector<uint32_t> pixels;
    std::vector<uint8_t> row(info.output_width * info.output_components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&info, rows, 1);
        for (uint32_t x = 0; x < info.output_width; x++) {
            const uint8_t *p = &row[x * info.output_components];
            uint32_t r = p[0], g = grey ? p[0] : p[1], b = grey ? p[0] : p[2];
            if (cmyk) {
                // Adobe's inverted inks: each channel is ink * black / 255.
                r = p[0] * p[3] / 255u;
                g = p[1] * p[3] / 255u;
                b = p[2] * p[3] / 255u;
            }
            pixels.push_back(0xFF000000u | r << 16 | g << 8 | b);
        }
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    return pixels;
}

class JpegLayouts : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override { ResetProgramState(); }
};

TEST_P(JpegLayouts, BatchedRowsGiveThePixelsOfOneRowAtATime)
{
    Layout layout = GetParam();
    std::string path = WriteJpeg(layout);
    std::vector<uint32_t> expected = DecodeRowByRow(path);
    Photo photo = {};
    ASSERT_EQ(DecodePhoto(path.c_str(), &photo), kLoadDone);
    ASSERT_EQ(photo.width, layout.width);
    ASSERT_EQ(photo.height, layout.height);
    ASSERT_EQ(expected.size(), static_cast<size_t>(layout.width) * layout.height);
    size_t wrong = 0;
    for (size_t i = 0; i < expected.size(); i++)
        if (photo.argb[i] != expected[i] && wrong++ < 3)
            ADD_FAILURE() << layout.name << " at " << i % layout.width << "," << i / layout.width << ": " << std::hex
                          << photo.argb[i] << " not " << expected[i];
    EXPECT_EQ(wrong, 0u);
    ReleasePhoto(&photo);
}

// The WorkRaster and the PhotoCanvas after intake, as bytes.
std::vector<uint8_t> Intake()
{
    std::vector<uint8_t> picture(gWorkRaster.brightness, gWorkRaster.brightness + kWorkSide * kWorkSide);
    const Canvas *canvas = PhotoCanvas();
    const uint8_t *pixels = reinterpret_cast<const uint8_t *>(canvas->pixels);
    picture.insert(picture.end(), pixels, pixels + sizeof(Colour) * kMemoryCanvasRoom * kMemoryCanvasRoom);
    return picture;
}

// Planned rows taken as each batch is decoded leave what the reduction of the
// whole decoded photo leaves, and the photo's pixels are the same.
TEST_P(JpegLayouts, TransferWhileDecodingLeavesWhatTheTransferAfterwardsDoes)
{
    Layout layout = GetParam();
    std::string path = WriteJpeg(layout);
    Photo apart = {};
    ASSERT_EQ(DecodePhoto(path.c_str(), &apart), kLoadDone);
    ASSERT_EQ(TransferPhoto(&apart), 1);
    std::vector<uint8_t> expected = Intake();
    ResetProgramState();
    Photo together = {};
    int transferred = 0;
    ASSERT_EQ(DecodeAndTransferPhoto(path.c_str(), &together, &transferred), kLoadDone);
    EXPECT_EQ(transferred, 1);
    EXPECT_TRUE(Intake() == expected) << layout.name;
    ASSERT_EQ(together.width * together.height, apart.width * apart.height);
    EXPECT_EQ(std::memcmp(together.argb, apart.argb, sizeof(uint32_t) * apart.width * apart.height), 0);
    ReleasePhoto(&apart);
    ReleasePhoto(&together);
}

// Heights of 16 n + 1, 8 n + 7 and 16 n: a last row of blocks of one row,
// of part of a row and whole; the large ones are reduced.
INSTANTIATE_TEST_SUITE_P(
    Layouts, JpegLayouts,
    ::testing::Values(Layout{"s444", JCS_RGB, 1, 1, 0, 401, 305}, Layout{"s422", JCS_RGB, 2, 1, 0, 403, 311},
                      Layout{"s420", JCS_RGB, 2, 2, 0, 401, 305}, Layout{"s440", JCS_RGB, 1, 2, 0, 400, 320},
                      Layout{"s420_progressive", JCS_RGB, 2, 2, 1, 333, 321},
                      Layout{"grey", JCS_GRAYSCALE, 1, 1, 0, 399, 303},
                      Layout{"grey_progressive", JCS_GRAYSCALE, 1, 1, 1, 321, 401},
                      Layout{"cmyk", JCS_CMYK, 1, 1, 0, 401, 311}, Layout{"cmyk_s420", JCS_CMYK, 2, 2, 0, 322, 337},
                      Layout{"s420_large", JCS_RGB, 2, 2, 0, 2047, 1535},
                      Layout{"s422_progressive_large", JCS_RGB, 2, 1, 1, 1077, 1201},
                      Layout{"cmyk_large", JCS_CMYK, 1, 1, 0, 900, 1313}),
    [](const ::testing::TestParamInfo<Layout> &info) { return std::string(info.param.name); });

}  // namespace
