// The lens tags from hand-made EXIF blocks in both byte orders, well formed
// and hostile: the reader without a library (the Windows build's) and
// libexif (the native build's) must agree on every one, and the samples.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "decode/decode.h"
#include "tests/support/test_support.h"

namespace {

const uint16_t kShort = 3, kLong = 4, kRational = 5;

struct Entry {
    uint16_t tag;
    uint16_t type;
    uint32_t numerator;    // the value of a SHORT or LONG
    uint32_t denominator;  // RATIONAL only
};

struct Block {
    const char *name;
    bool little;
    std::vector<Entry> entries;
    uint32_t rationalShift;  // added to the offsets of rationals: beyond the block when large
    size_t cut;              // bytes dropped from the end of the JPEG
};

void Put(std::vector<uint8_t> *out, uint32_t value, int size, bool little)
{
    for (int i = 0; i < size; i++) {
        int shift = little ? 8 * i : 8 * (size - 1 - i);
        out->push_back(static_cast<uint8_t>(value >> shift));
    }
}

// SOI, APP1 with "Exif" and a TIFF block (IFD0 holding only the Exif
// directory's pointer, then that directory and the rationals' values), EOI.
std::vector<uint8_t> MakeJpeg(const Block &block)
{
    bool le = block.little;
    std::vector<uint8_t> tiff = {static_cast<uint8_t>(le ? 'I' : 'M'), static_cast<uint8_t>(le ? 'I' : 'M')};
    Put(&tiff, 42, 2, le);
    Put(&tiff, 8, 4, le);
    const uint32_t exifAt = 8 + 2 + 12 + 4;
    Put(&tiff, 1, 2, le);
    Put(&tiff, 0x8769, 2, le);
    Put(&tiff, kLong, 2, le);
    Put(&tiff, 1, 4, le);
    Put(&tiff, exifAt, 4, le);
    Put(&tiff, 0, 4, le);
    uint32_t dataAt = exifAt + 2 + 12 * static_cast<uint32_t>(block.entries.size()) + 4;
    std::vector<uint8_t> data;
    Put(&tiff, static_cast<uint32_t>(block.entries.size()), 2, le);
    for (const Entry &e : block.entries) {
        Put(&tiff, e.tag, 2, le);
        Put(&tiff, e.type, 2, le);
        Put(&tiff, 1, 4, le);
        if (e.type == kRational) {
            Put(&tiff, dataAt + static_cast<uint32_t>(data.size()) + block.rationalShift, 4, le);
            Put(&data, e.numerator, 4, le);
            Put(&data, e.denominator, 4, le);
        } else if (e.type == kShort) {
            Put(&tiff, e.numerator, 2, le);
            Put(&tiff, 0, 2, le);
        } else {
            Put(&tiff, e.numerator, 4, le);
        }
    }
    Put(&tiff, 0, 4, le);
    tiff.insert(tiff.end(), data.begin(), data.end());

    std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE1};
    Put(&jpeg, static_cast<uint32_t>(tiff.size() + 8), 2, false);
    for (char c : std::string("Exif"))
        jpeg.push_back(static_cast<uint8_t>(c));
    jpeg.push_back(0);
    jpeg.push_back(0);
    jpeg.insert(jpeg.end(), tiff.begin(), tiff.end());
    jpeg.push_back(0xFF);
    jpeg.push_back(0xD9);
    jpeg.resize(jpeg.size() - block.cut);
    return jpeg;
}

const std::vector<Entry> kFullLens = {{0x920A, kRational, 513, 100},  {0xA405, kShort, 29, 0},
                                      {0xA20E, kRational, 658671, 100}, {0xA210, kShort, 3, 0},
                                      {0xA002, kLong, 1600, 0},         {0xA003, kShort, 1200, 0}};

struct Expected {
    int hasFocal;
    double focal;
    int has35;
    double focal35;
    int hasResolution;
    double resolution;
    int unit;
    uint32_t pixelX;
};

struct LensCase {
    Block block;
    Expected expected;
};

class LensTags : public ::testing::TestWithParam<LensCase> {};

void ExpectLens(const PhotoExif &exif, const Expected &e, const char *who)
{
    EXPECT_EQ(exif.hasFocalLength, e.hasFocal) << who;
    EXPECT_DOUBLE_EQ(exif.focalLength, e.focal) << who;
    EXPECT_EQ(exif.hasFocalLength35mm, e.has35) << who;
    EXPECT_EQ(exif.focalLength35mm, e.focal35) << who;
    EXPECT_EQ(exif.hasFocalPlaneXResolution, e.hasResolution) << who;
    EXPECT_DOUBLE_EQ(exif.focalPlaneXResolution, e.resolution) << who;
    EXPECT_EQ(exif.focalPlaneResolutionUnit, e.unit) << who;
    EXPECT_EQ(exif.pixelXDimension, e.pixelX) << who;
}

TEST_P(LensTags, BothReadersAgree)
{
    LensCase c = GetParam();
    std::vector<uint8_t> jpeg = MakeJpeg(c.block);
    PhotoExif own = {}, library = {};
    ASSERT_EQ(ReadJpegLensTags(jpeg.data(), jpeg.size(), &own), 1);
    ExpectLens(own, c.expected, "own reader");
    ASSERT_EQ(ReadPhotoExif(jpeg.data(), jpeg.size(), &library), 1);
    ExpectLens(library, c.expected, "libexif");
}

const Expected kFull = {1, 5.13, 1, 29.0, 1, 6586.71, 3, 1600};

INSTANTIATE_TEST_SUITE_P(
    Blocks, LensTags,
    ::testing::Values(
        LensCase{{"little", true, kFullLens, 0, 0}, kFull}, LensCase{{"big", false, kFullLens, 0, 0}, kFull},
        // a rational with denominator 0, a tag of the wrong type, a 35 mm equivalent of 0 (unknown)
        LensCase{{"odd", true, {{0x920A, kRational, 5, 0}, {0xA405, kShort, 0, 0}, {0xA20E, kShort, 7, 0}}, 0, 0},
                 {0, 0.0, 0, 0.0, 0, 0.0, 2, 0}},
        // the focal length as a SHORT, the pixel width as a SHORT
        LensCase{{"types", false, {{0x920A, kShort, 5, 0}, {0xA002, kShort, 800, 0}}, 0, 0},
                 {0, 0.0, 0, 0.0, 0, 0.0, 2, 800}},
        // rationals whose values lie beyond the block
        LensCase{{"beyond", true, kFullLens, 100000, 0}, {0, 0.0, 1, 29.0, 0, 0.0, 3, 1600}}),
    [](const ::testing::TestParamInfo<LensCase> &info) { return std::string(info.param.block.name); });

TEST(LensTagsHostile, CutBlocksAndOtherFilesGiveNothingOrWhatIsWhole)
{
    std::vector<uint8_t> jpeg = MakeJpeg({"full", true, kFullLens, 0, 0});
    // Every cut of the file: no read beyond the bytes (ASan) and no flag
    // for a value that is not wholly there.
    for (size_t n = 0; n <= jpeg.size(); n++) {
        PhotoExif exif = {};
        if (ReadJpegLensTags(jpeg.data(), n, &exif) && exif.hasFocalLength) {
            EXPECT_DOUBLE_EQ(exif.focalLength, 5.13);
        }
    }
    const uint8_t text[] = "not a photograph";
    PhotoExif untouched = {};
    untouched.focalLength = 7;
    EXPECT_EQ(ReadJpegLensTags(text, sizeof text, &untouched), 0);
    EXPECT_EQ(untouched.focalLength, 7);
    EXPECT_EQ(ReadJpegLensTags(nullptr, 0, &untouched), 0);
}

TEST(LensTagsSamples, OwnReaderMatchesLibexifOnTheSamples)
{
    for (const char *file : {"v01.jpg", "v02.jpg", "s15.jpg"}) {
        Photo photo = {};
        ASSERT_EQ(DecodePhoto(SamplePath(file).c_str(), &photo), 0) << file;
        FILE *f = std::fopen(SamplePath(file).c_str(), "rb");
        std::vector<uint8_t> start(65536);
        start.resize(std::fread(start.data(), 1, start.size(), f));
        std::fclose(f);
        PhotoExif own = {};
        own.focalPlaneResolutionUnit = 2;
        ReadJpegLensTags(start.data(), start.size(), &own);
        ExpectLens(own,
                   {photo.exif.hasFocalLength, photo.exif.focalLength, photo.exif.hasFocalLength35mm,
                    photo.exif.focalLength35mm, photo.exif.hasFocalPlaneXResolution, photo.exif.focalPlaneXResolution,
                    photo.exif.focalPlaneResolutionUnit, photo.exif.pixelXDimension},
                   file);
        ReleasePhoto(&photo);
    }
}

}  // namespace

// The camera's names as libexif reads them from whole files: trailing blanks
// dropped, empty without EXIF.
TEST(LensTagsCamera, MakeAndModelFromFiles)
{
    struct Case {
        const char *path;
        const char *make, *model;
    } cases[] = {
        {QM_SAMPLES_DIR "/v02.jpg", "Quillmarsh test rig", "POV-Ray pinhole"},
        {QM_SAMPLES_DIR "/../renders/lens/lensdb_60d.jpg", "Canon", "Canon EOS 60D"},
        {QM_SAMPLES_DIR "/s15.jpg", "", ""},
    };
    for (const Case &c : cases) {
        std::ifstream file(c.path, std::ios::binary);
        ASSERT_TRUE(file.good()) << c.path;
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        PhotoExif exif = {};
        ReadPhotoExif(bytes.data(), bytes.size(), &exif);
        EXPECT_STREQ(exif.make, c.make) << c.path;
        EXPECT_STREQ(exif.model, c.model) << c.path;
    }
}
