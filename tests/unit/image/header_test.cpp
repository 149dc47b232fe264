// The header reader: the size each format's header claims, read from the
// first bytes only, and the rejection of an over-size claim before decoding.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "image/image.h"
#include "shell/report_memory.h"
#include "tests/support/test_support.h"

namespace {

typedef std::vector<uint8_t> Bytes;

void Append(Bytes *bytes, std::initializer_list<uint32_t> values)
{
    for (uint32_t v : values)
        bytes->push_back(static_cast<uint8_t>(v));
}
void Big16(Bytes *b, uint32_t v) { Append(b, {v >> 8, v}); }
void Big32(Bytes *b, uint32_t v) { Append(b, {v >> 24, v >> 16, v >> 8, v}); }
void Little16(Bytes *b, uint32_t v) { Append(b, {v, v >> 8}); }
void Little32(Bytes *b, uint32_t v) { Append(b, {v, v >> 8, v >> 16, v >> 24}); }

Bytes Png(uint32_t width, uint32_t height, const char *chunk = "IHDR")
{
    Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Big32(&b, 13);
    b.insert(b.end(), chunk, chunk + 4);
    Big32(&b, width);
    Big32(&b, height);
    Append(&b, {8, 2, 0, 0, 0, 0xDE, 0xAD, 0xBE, 0xEF});
    return b;
}

// Start of image, an APP0 segment, a quantisation table, then the frame.
Bytes Jpeg(uint32_t frameMarker, uint32_t width, uint32_t height)
{
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE0};
    Big16(&b, 16);
    Append(&b, {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
    Append(&b, {0xFF, 0xDB});
    Big16(&b, 67);
    b.insert(b.end(), 65, 1);
    Append(&b, {0xFF, frameMarker});
    Big16(&b, 11);
    Append(&b, {8});
    Big16(&b, height);
    Big16(&b, width);
    Append(&b, {1, 1, 0x11, 0});
    return b;
}

Bytes Gif(uint32_t screenWidth, uint32_t screenHeight, uint32_t imageWidth, uint32_t imageHeight)
{
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    Little16(&b, screenWidth);
    Little16(&b, screenHeight);
    Append(&b, {0x81, 0, 0});              // a global table of 4 colours
    b.insert(b.end(), 12, 0x7F);
    Append(&b, {0x21, 0xFE, 3, 'h', 'i', '!', 2, 'x', 'y', 0});  // a comment in two sub-blocks
    Append(&b, {0x2C, 0, 0, 0, 0});
    Little16(&b, imageWidth);
    Little16(&b, imageHeight);
    Append(&b, {0, 2, 2, 0x44, 1, 0, 0x3B});
    return b;
}

Bytes Bmp(uint32_t headerSize, int32_t width, int32_t height)
{
    Bytes b = {'B', 'M'};
    Little32(&b, 0);
    Little32(&b, 0);
    Little32(&b, 14 + headerSize);
    Little32(&b, headerSize);
    if (headerSize == 12) {
        Little16(&b, static_cast<uint32_t>(width));
        Little16(&b, static_cast<uint32_t>(height));
    } else {
        Little32(&b, static_cast<uint32_t>(width));
        Little32(&b, static_cast<uint32_t>(height));
    }
    Append(&b, {1, 0, 24, 0});
    b.resize(14 + headerSize, 0);
    return b;
}

// A first directory with a bits-per-sample entry, then the width and the
// length entries of the given types (0: left out).
Bytes Tiff(bool little, uint32_t widthType, uint32_t width, uint32_t lengthType, uint32_t length)
{
    Bytes b;
    auto u16 = [&](uint32_t v) { little ? Little16(&b, v) : Big16(&b, v); };
    auto u32 = [&](uint32_t v) { little ? Little32(&b, v) : Big32(&b, v); };
    auto entry = [&](uint32_t tag, uint32_t type, uint32_t value) {
        u16(tag);
        u16(type);
        u32(1);
        if (type == 3) {
            u16(value);
            u16(0);
        } else {
            u32(value);
        }
    };
    if (little)
        Append(&b, {'I', 'I', 42, 0});
    else
        Append(&b, {'M', 'M', 0, 42});
    u32(8);
    u16(1 + (widthType != 0) + (lengthType != 0));
    entry(258, 3, 8);
    if (widthType != 0)
        entry(256, widthType, width);
    if (lengthType != 0)
        entry(257, lengthType, length);
    u32(0);
    return b;
}

Bytes Cut(Bytes b, size_t count)
{
    b.resize(count);
    return b;
}

struct HeaderCase {
    std::string name;
    Bytes bytes;
    uint32_t width;  // 0: the header does not tell
    uint32_t height;
};

class HeaderSize : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderSize, IsReadFromTheFirstBytesOrNotAtAll)
{
    const HeaderCase &c = GetParam();
    uint32_t width = 7, height = 9;
    int known = ReadHeaderSize(c.bytes.data(), c.bytes.size(), &width, &height);
    if (c.width == 0) {
        EXPECT_EQ(known, 0);
        EXPECT_EQ(width, 7u);
        EXPECT_EQ(height, 9u);
        return;
    }
    EXPECT_EQ(known, 1);
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
}

Bytes JpegWithFillAndRestart()
{
    Bytes b = {0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xD0, 0xFF, 0xC0};
    Big16(&b, 11);
    Append(&b, {8});
    Big16(&b, 480);
    Big16(&b, 640);
    return b;
}

Bytes JpegScanFirst()
{
    Bytes b = {0xFF, 0xD8, 0xFF, 0xDA, 0, 2};
    Bytes frame = Jpeg(0xC0, 640, 480);
    b.insert(b.end(), frame.begin() + 2, frame.end());
    return b;
}

Bytes JpegBadLength()
{
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE1, 0, 1};
    Bytes frame = Jpeg(0xC0, 640, 480);
    b.insert(b.end(), frame.begin() + 2, frame.end());
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, HeaderSize,
    ::testing::Values(
        HeaderCase{"PngClaimingHuge", Png(50000, 50000), 50000, 50000},
        HeaderCase{"PngOrdinary", Png(640, 480), 640, 480},
        HeaderCase{"PngCutBeforeTheHeight", Cut(Png(640, 480), 23), 0, 0},
        HeaderCase{"PngFirstChunkNotTheHeader", Png(640, 480, "IDAT"), 0, 0},
        HeaderCase{"PngZeroWidth", Png(0, 480), 0, 0},
        HeaderCase{"JpegBaselineBehindSegments", Jpeg(0xC0, 60000, 60000), 60000, 60000},
        HeaderCase{"JpegProgressive", Jpeg(0xC2, 3000, 2000), 3000, 2000},
        HeaderCase{"JpegHuffmanTablesAreNoFrame", Jpeg(0xC4, 3000, 2000), 0, 0},
        HeaderCase{"JpegFillBytesAndRestartMarkers", JpegWithFillAndRestart(), 640, 480},
        HeaderCase{"JpegHeightByLaterDnl", Jpeg(0xC0, 640, 0), 0, 0},
        HeaderCase{"JpegFrameBeyondTheBytes", Cut(Jpeg(0xC0, 640, 480), 95), 0, 0},
        HeaderCase{"JpegScanBeforeAnyFrame", JpegScanFirst(), 0, 0},
        HeaderCase{"JpegSegmentLengthBelowTwo", JpegBadLength(), 0, 0},
        HeaderCase{"GifScreenClaimingHuge", Gif(50000, 50000, 1, 1), 50000, 50000},
        HeaderCase{"GifImageWiderThanTheScreen", Gif(640, 480, 50000, 300), 50000, 480},
        HeaderCase{"GifImageBeyondTheBytes", Cut(Gif(640, 480, 50000, 50000), 30), 640, 480},
        HeaderCase{"GifCutInTheScreen", Cut(Gif(640, 480, 1, 1), 12), 0, 0},
        HeaderCase{"BmpInfoTopDown", Bmp(40, 50000, -50000), 50000, 50000},
        HeaderCase{"BmpVersion5", Bmp(124, 640, 480), 640, 480},
        HeaderCase{"BmpCore", Bmp(12, 3000, 2000), 3000, 2000},
        HeaderCase{"BmpNegativeWidth", Bmp(40, -640, 480), 0, 0},
        HeaderCase{"BmpUnknownHeaderSize", Bmp(20, 640, 480), 0, 0},
        HeaderCase{"TiffLittleLongs", Tiff(true, 4, 50000, 4, 50000), 50000, 50000},
        HeaderCase{"TiffBigShorts", Tiff(false, 3, 640, 3, 480), 640, 480},
        HeaderCase{"TiffWithoutLength", Tiff(true, 4, 640, 0, 0), 0, 0},
        HeaderCase{"TiffRationalWidth", Tiff(true, 5, 640, 4, 480), 0, 0},
        HeaderCase{"TiffDirectoryBeyondTheBytes", Cut(Tiff(true, 4, 640, 4, 480), 12), 0, 0},
        HeaderCase{"PlainText", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, 0, 0},
        HeaderCase{"NoBytes", Bytes{}, 0, 0}),
    [](const ::testing::TestParamInfo<HeaderCase> &info) { return info.param.name; });

// The first image of Gif() ends after its block terminator; a second image,
// with a local colour table, follows it.
const size_t kGifFirstImageEnd = 13 + 12 + 10 + 10 + 5;

Bytes AnimatedGif(bool localTable)
{
    Bytes b = Gif(640, 480, 640, 480);
    b.pop_back();  // the trailer
    Append(&b, {0x2C, 0, 0, 0, 0});
    Little16(&b, 640);
    Little16(&b, 480);
    Append(&b, {localTable ? 0x80u : 0u});
    if (localTable)
        Append(&b, {1, 2, 3, 4, 5, 6});
    Append(&b, {2, 3, 0x44, 0x01, 0x3B, 0, 0x3B});
    return b;
}

// The segment walk that the header reader and the lens tags share: fill
// bytes and the markers without a length are stepped over, and the walk ends
// at the scan, the end of the image, a byte that is no marker, a length field
// cut off, or a file that does not start as a JPEG.
TEST(JpegSegments, StepOverFillAndStandaloneMarkersAndEndAtTheScan)
{
    Bytes b = {0xFF, 0xD8, 0xFF, 0xFF, 0xE1};  // start, a fill byte, APP1 at 3
    Big16(&b, 4);
    Append(&b, {0xAB, 0xCD, 0xFF, 0xD0, 0xFF, 0x01, 0xFF, 0xDB});  // its payload, RST0, TEM, DQT at 13
    Big16(&b, 2);
    Append(&b, {0xFF, 0xDA, 0xFF, 0xE2, 0, 2});  // the scan hides the APP2 after it
    std::vector<std::vector<size_t>> seen;
    size_t at = 0;
    JpegSegment segment;
    while (NextJpegSegment(b.data(), b.size(), &at, &segment))
        seen.push_back({segment.marker, segment.at, segment.length, segment.payload});
    EXPECT_EQ(seen, (std::vector<std::vector<size_t>>{{0xE1, 3, 4, 7}, {0xDB, 13, 2, 17}}));

    for (const Bytes &ended : {Bytes{0xFF, 0xD8, 0xFF, 0xD9, 0xFF, 0xE1, 0, 2}, Bytes{0xFF, 0xD8, 0x00, 0xFF, 0xE1, 0, 2},
                               Bytes{0xFF, 0xD8, 0xFF, 0xE1, 0}, Bytes{0xFF, 0xE1, 0, 2}, Bytes{}}) {
        size_t from = 0;
        EXPECT_EQ(NextJpegSegment(ended.data(), ended.size(), &from, &segment), 0);
    }
}

TEST(GifCut, AnAnimationEndsAfterItsFirstImage)
{
    Bytes gif = AnimatedGif(true);
    ASSERT_EQ(gif[kGifFirstImageEnd - 1], 0);
    ASSERT_EQ(gif[kGifFirstImageEnd], 0x2C);
    EXPECT_EQ(CutGifAfterFirstImage(gif.data(), gif.size()), kGifFirstImageEnd + 1);
    EXPECT_EQ(gif[kGifFirstImageEnd], 0x3B);
    // The cut picture is a complete one-image GIF: nothing more to cut.
    EXPECT_EQ(CutGifAfterFirstImage(gif.data(), kGifFirstImageEnd + 1), 0u);
}

TEST(GifCut, LeavesEverythingElseAlone)
{
    Bytes single = Gif(640, 480, 640, 480);
    Bytes withoutTrailer = Cut(single, single.size() - 1);
    Bytes firstImageCut = Cut(AnimatedGif(false), kGifFirstImageEnd - 2);
    Bytes png = Png(640, 480);
    for (Bytes *bytes : {&single, &withoutTrailer, &firstImageCut, &png}) {
        Bytes before = *bytes;
        EXPECT_EQ(CutGifAfterFirstImage(bytes->data(), bytes->size()), 0u);
        EXPECT_TRUE(*bytes == before);
    }
    EXPECT_EQ(CutGifAfterFirstImage(nullptr, 0), 0u);
}

class HeaderRejection : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }
};

TEST_F(HeaderRejection, AnOverSizeClaimShowsTheRulesMessageAndStoresNothing)
{
    struct {
        Bytes bytes;
        const char *message;
    } cases[] = {
        {Png(50000, 50000), "background image is too large"},
        {Jpeg(0xC0, 60000, 60000), "background image is too large"},
        {Png(1, 1), "background image is too small"},
        {Bmp(40, 3000, 100), "background image is too large"},
        {Tiff(true, 4, 300, 4, 600), "aspect ratio of background image is not available"},
    };
    for (const auto &c : cases) {
        ResetProgramState();
        EXPECT_EQ(RejectedByHeader(c.bytes.data(), c.bytes.size()), 1) << c.message;
        EXPECT_EQ(std::string(gMemoryDialog.status), c.message);
        EXPECT_EQ(gImageGeometry.workScale, 0.0);
        EXPECT_EQ(PhotoCanvas(), nullptr);
    }
}

TEST_F(HeaderRejection, AnAcceptableOrUnknownSizeGoesToTheDecoderSilently)
{
    Bytes accepted = Jpeg(0xC0, 2048, 2048);
    Bytes unknown = {'h', 'e', 'l', 'l', 'o'};
    EXPECT_EQ(RejectedByHeader(accepted.data(), accepted.size()), 0);
    EXPECT_EQ(RejectedByHeader(unknown.data(), unknown.size()), 0);
    EXPECT_EQ(RejectedByHeader(nullptr, 0), 0);
    EXPECT_EQ(gMemoryDialog.statusCalls, 0);
    EXPECT_EQ(gImageGeometry.workScale, 0.0);
}

}  // namespace
