// Decoding photographs natively: pixels as the sample conversions give them,
// the lens tags, bad files refused without leaks, the header check before
// any decoder, and the transfer onto the WorkRaster exactly as intake does.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "image/canvas_memory.h"
#include "image/image.h"
#include "shell/report_memory.h"
#include "tests/support/test_support.h"

namespace {

class Decode : public ::testing::Test {
protected:
    void SetUp() override { ResetProgramState(); }
    void TearDown() override { ReleasePhoto(&photo); }
    Photo photo = {};
};

std::vector<uint8_t> ReadBytes(const std::string &path)
{
    std::vector<uint8_t> bytes;
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return bytes;
    int c;
    while ((c = std::fgetc(file)) != EOF)
        bytes.push_back(static_cast<uint8_t>(c));
    std::fclose(file);
    return bytes;
}

std::string WriteTemporary(const std::string &name, const std::vector<uint8_t> &bytes)
{
    std::string path = ::testing::TempDir() + "decode_" + name;
    FILE *file = std::fopen(path.c_str(), "wb");
    if (file != nullptr) {
        if (!bytes.empty())
            std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    return path;
}

// The sample as ImageMagick converted it to binary PPM at build time.
int ReadSamplePpm(const std::string &name, uint32_t *width, uint32_t *height, std::vector<uint8_t> *rgb)
{
    std::vector<uint8_t> bytes = ReadBytes(std::string(QM_SAMPLES_PPM_DIR) + "/" + name + ".ppm");
    unsigned w = 0, h = 0, maxval = 0;
    int used = 0;
    if (std::sscanf(reinterpret_cast<const char *>(bytes.data()), "P6 %u %u %u%n", &w, &h, &maxval, &used) != 3 ||
        maxval != 255)
        return 0;
    size_t at = static_cast<size_t>(used) + 1;
    if (bytes.size() < at + static_cast<size_t>(w) * h * 3)
        return 0;
    *width = w;
    *height = h;
    rgb->assign(bytes.begin() + static_cast<long>(at), bytes.end());
    return 1;
}

// Largest difference of a channel between the photo and the PPM.
int LargestDifference(const Photo &photo, const std::vector<uint8_t> &rgb)
{
    int largest = 0;
    for (size_t i = 0; i < static_cast<size_t>(photo.width) * photo.height; i++)
        for (int c = 0; c < 3; c++) {
            int decoded = (photo.argb[i] >> (16 - 8 * c)) & 0xFF;
            int difference = std::abs(decoded - rgb[i * 3 + c]);
            if (difference > largest)
                largest = difference;
        }
    return largest;
}

struct SampleCase {
    const char *file;
    int tolerance;  // largest channel difference from ImageMagick's conversion
};

class Samples : public Decode, public ::testing::WithParamInterface<SampleCase> {};

TEST_P(Samples, PixelsMatchTheConversion)
{
    SampleCase sample = GetParam();
    ASSERT_EQ(DecodePhoto(SamplePath(sample.file).c_str(), &photo), kLoadDone);
    std::string stem(sample.file);
    stem = stem.substr(0, stem.find('.'));
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;
    ASSERT_TRUE(ReadSamplePpm(stem, &width, &height, &rgb));
    ASSERT_EQ(photo.width, width);
    ASSERT_EQ(photo.height, height);
    EXPECT_LE(LargestDifference(photo, rgb), sample.tolerance);
    for (size_t i = 0; i < static_cast<size_t>(width) * height; i++)
        ASSERT_EQ(photo.argb[i] >> 24, 0xFFu) << "opaque photograph";
}

// PNG exactly (true colour and paletted); JPEG within the rounding of two IDCTs.
INSTANTIATE_TEST_SUITE_P(Files, Samples,
                         ::testing::Values(SampleCase{"s01.png", 0}, SampleCase{"s02.png", 0}, SampleCase{"f04.png", 0},
                                           SampleCase{"e02.png", 0}, SampleCase{"s15.jpg", 2},
                                           SampleCase{"s01_n.jpg", 2}, SampleCase{"v01.jpg", 2}));

TEST_F(Decode, TransferGivesTheWorkRasterOfTheSampleRead)
{
    ASSERT_EQ(LoadSample("s01"), kLoadDone);
    std::unique_ptr<WorkRaster> expected(new WorkRaster(gWorkRaster));
    std::unique_ptr<Canvas> expectedCanvas(new Canvas(*PhotoCanvas()));
    ImageGeometry expectedGeometry = gImageGeometry;
    ResetProgramState();

    ASSERT_EQ(DecodePhoto(SamplePath("s01.png").c_str(), &photo), kLoadDone);
    EXPECT_EQ(gImageGeometry.workWidth, 0) << "decoding sets no geometry";
    ASSERT_EQ(TransferPhoto(&photo), 1);
    EXPECT_EQ(std::memcmp(&gImageGeometry, &expectedGeometry, sizeof expectedGeometry), 0);
    EXPECT_EQ(std::memcmp(gWorkRaster.brightness, expected->brightness, sizeof expected->brightness), 0);
    EXPECT_EQ(std::memcmp(PhotoCanvas()->pixels, expectedCanvas->pixels, sizeof expectedCanvas->pixels), 0);
}

TEST_F(Decode, TransferAppliesTheSizeRules)
{
    std::vector<uint32_t> pixels(300 * 200, 0xFFFFFFFFu);
    Photo small = {300, 200, pixels.data(), {}};
    EXPECT_EQ(TransferPhoto(&small), 0);
    EXPECT_STREQ(gMemoryDialog.status, "background image is too small");
    Photo empty = {640, 480, nullptr, {}};
    EXPECT_EQ(TransferPhoto(&empty), 0);
    EXPECT_EQ(TransferPhoto(nullptr), 0);
}

TEST_F(Decode, LensTagsOfTheVSamples)
{
    // v01 has the focal plane's resolution, v02 the 35 mm equivalent alone.
    const struct {
        const char *file;
        PhotoExif exif;
    } cases[] = {
        {"v01.jpg", {1, 5.13, 1, 29.0, 1, 6586.71, 2, 0, 0}},
        {"v02.jpg", {1, 19.18, 1, 50.0, 0, 0.0, 2, 0, 0}},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(DecodePhoto(SamplePath(c.file).c_str(), &photo), kLoadDone) << c.file;
        EXPECT_EQ(photo.exif.hasFocalLength, c.exif.hasFocalLength) << c.file;
        EXPECT_DOUBLE_EQ(photo.exif.focalLength, c.exif.focalLength) << c.file;
        EXPECT_EQ(photo.exif.hasFocalLength35mm, c.exif.hasFocalLength35mm) << c.file;
        EXPECT_EQ(photo.exif.focalLength35mm, c.exif.focalLength35mm) << c.file;
        EXPECT_EQ(photo.exif.hasFocalPlaneXResolution, c.exif.hasFocalPlaneXResolution) << c.file;
        EXPECT_DOUBLE_EQ(photo.exif.focalPlaneXResolution, c.exif.focalPlaneXResolution) << c.file;
        EXPECT_EQ(photo.exif.focalPlaneResolutionUnit, c.exif.focalPlaneResolutionUnit) << c.file;
        ReleasePhoto(&photo);
    }

    // A PNG carries no block: every flag 0.
    ASSERT_EQ(DecodePhoto(SamplePath("s01.png").c_str(), &photo), kLoadDone);
    EXPECT_EQ(photo.exif.hasFocalLength, 0);
    EXPECT_EQ(photo.exif.hasFocalLength35mm, 0);
    EXPECT_EQ(photo.exif.pixelXDimension, 0u);
}

TEST_F(Decode, BadFilesFailAndLeaveThePhotoUntouched)
{
    std::vector<uint8_t> png = ReadBytes(SamplePath("s02.png"));
    std::vector<uint8_t> jpeg = ReadBytes(SamplePath("s15.jpg"));
    ASSERT_GT(png.size(), 1000u);
    ASSERT_GT(jpeg.size(), 1000u);
    std::string folder = ::testing::TempDir() + "decode_folder";
    mkdir(folder.c_str(), 0700);
    const std::string paths[] = {
        WriteTemporary("half.png", std::vector<uint8_t>(png.begin(), png.begin() + static_cast<long>(png.size() / 2))),
        WriteTemporary("half.jpg", std::vector<uint8_t>(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() / 2))),
        WriteTemporary("signature.png", std::vector<uint8_t>(png.begin(), png.begin() + 8)),
        WriteTemporary("text.txt", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'}),
        WriteTemporary("empty.png", {}),
        ::testing::TempDir() + "decode_missing.png",
        folder,
    };
    Photo untouched = {7, 9, nullptr, {}};
    for (const std::string &path : paths) {
        photo = untouched;
        EXPECT_EQ(DecodePhoto(path.c_str(), &photo), kLoadFailed) << path;
        EXPECT_EQ(photo.width, 7u) << path;
        EXPECT_EQ(photo.argb, nullptr) << path;
        EXPECT_EQ(gMemoryDialog.statusCalls, 0) << path;
    }
    photo = Photo{};
    EXPECT_EQ(DecodePhoto(nullptr, &photo), kLoadFailed);
    EXPECT_EQ(DecodePhoto(SamplePath("s01.png").c_str(), nullptr), kLoadFailed);
}

// PNG signature and a header chunk claiming width x height, with no data after.
std::vector<uint8_t> PngHeaderOnly(uint32_t width, uint32_t height)
{
    std::vector<uint8_t> bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (uint32_t side : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(side >> shift));
    for (uint8_t b : {8, 2, 0, 0, 0, 0, 0, 0, 0})  // depth, colour type, methods, CRC
        bytes.push_back(b);
    return bytes;
}

TEST_F(Decode, OverSizeHeaderIsRejectedBeforeDecoding)
{
    // Only the header exists: a decoder would fail, so kLoadRejected means
    // the check came first.
    std::string path = WriteTemporary("huge.png", PngHeaderOnly(60000, 60000));
    photo = Photo{};
    EXPECT_EQ(DecodePhoto(path.c_str(), &photo), kLoadRejected);
    EXPECT_STREQ(gMemoryDialog.status, "background image is too large");
    EXPECT_EQ(photo.argb, nullptr);
    EXPECT_EQ(gImageGeometry.workWidth, 0);

    ResetMemoryDialog();
    std::vector<uint8_t> small = PngHeaderOnly(100, 100);
    EXPECT_EQ(DecodePhotoBytes(small.data(), small.size(), &photo), kLoadRejected);
    EXPECT_STREQ(gMemoryDialog.status, "background image is too small");
}

// The JPEG with two filler segments after its start, so that its frame
// header lies beyond the bytes the header check reads, claiming width x height.
std::vector<uint8_t> JpegWithFrameBeyondHeader(std::vector<uint8_t> jpeg, uint32_t width, uint32_t height)
{
    std::vector<uint8_t> filler = {0xFF, 0xEF, 0xFF, 0xFF};  // APP15 of 65535 bytes with its length
    filler.resize(filler.size() + 0xFFFF - 2, 0);
    for (size_t at = 2; at + 8 < jpeg.size(); at++)
        if (jpeg[at] == 0xFF && jpeg[at + 1] == 0xC0) {
            jpeg[at + 5] = static_cast<uint8_t>(height >> 8);
            jpeg[at + 6] = static_cast<uint8_t>(height);
            jpeg[at + 7] = static_cast<uint8_t>(width >> 8);
            jpeg[at + 8] = static_cast<uint8_t>(width);
            break;
        }
    jpeg.insert(jpeg.begin() + 2, filler.begin(), filler.end());
    jpeg.insert(jpeg.begin() + 2, filler.begin(), filler.end());
    return jpeg;
}

TEST_F(Decode, DecoderSizeBeyondTheHeaderCheckIsStillBounded)
{
    std::vector<uint8_t> jpeg = ReadBytes(SamplePath("s15.jpg"));
    photo = Photo{};
    ASSERT_EQ(DecodePhotoBytes(jpeg.data(), jpeg.size(), &photo), kLoadDone);
    uint32_t width = photo.width, height = photo.height;
    ReleasePhoto(&photo);

    // Unseen by the header check, the frame still decodes at its own size...
    std::vector<uint8_t> hidden = JpegWithFrameBeyondHeader(jpeg, width, height);
    ASSERT_GT(hidden.size(), static_cast<size_t>(2 * kHeaderBytes));
    ASSERT_EQ(DecodePhotoBytes(hidden.data(), hidden.size(), &photo), kLoadDone);
    EXPECT_EQ(photo.width, width);
    ReleasePhoto(&photo);
    EXPECT_EQ(gMemoryDialog.statusCalls, 0);

    // ...and a frame claiming 60000 x 60000 is refused with the size rule's
    // message before a pixel is allocated.
    std::vector<uint8_t> huge = JpegWithFrameBeyondHeader(jpeg, 60000, 60000);
    EXPECT_EQ(DecodePhotoBytes(huge.data(), huge.size(), &photo), kLoadRejected);
    EXPECT_STREQ(gMemoryDialog.status, "background image is too large");
    EXPECT_EQ(photo.argb, nullptr);
    EXPECT_EQ(gImageGeometry.workWidth, 0);
}

}  // namespace
