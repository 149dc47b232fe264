#include <cstring>

#include "decode/decode.h"

// The lens tags straight from a JPEG's APP1 block, for the Windows build
// when GDI+ hands out no property items (Wine's does not for JPEG) and no
// EXIF library is at hand there. The block is a little TIFF file: a byte
// order, the first directory (IFD0) and, through its ExifIFD pointer, the
// directory that holds the lens tags. Every offset is checked against the
// block before it is read.

static const uint8_t kJpegMarkerByte = 0xFF;
static const uint8_t kJpegStartOfImage = 0xD8;
static const uint8_t kJpegEndOfImage = 0xD9;
static const uint8_t kJpegStartOfScan = 0xDA;
static const uint8_t kJpegApp1 = 0xE1;
static const uint8_t kJpegTemporary = 0x01;
static const uint8_t kJpegFirstRestart = 0xD0;
static const uint8_t kJpegLastRestart = 0xD7;
static const size_t kJpegMarkerSize = 2;
static const size_t kJpegLengthSize = 2;
static const uint8_t kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};

static const uint8_t kTiffLittle[] = {'I', 'I', 42, 0};
static const uint8_t kTiffBig[] = {'M', 'M', 0, 42};
static const size_t kTiffHeaderSize = 8;  // byte order (2), 42 (2), first directory (4)
static const size_t kEntrySize = 12;      // tag (2), type (2), count (4), value or offset (4)
static const size_t kInlineValueSize = 4;

static const uint16_t kTagExifDirectory = 0x8769;
static const uint16_t kTagFocalLength = 0x920A;
static const uint16_t kTagFocalLength35mm = 0xA405;
static const uint16_t kTagFocalPlaneXResolution = 0xA20E;
static const uint16_t kTagFocalPlaneResolutionUnit = 0xA210;
static const uint16_t kTagPixelXDimension = 0xA002;
static const uint16_t kTagPixelYDimension = 0xA003;

static const uint16_t kTypeShort = 3;     // 2 bytes
static const uint16_t kTypeLong = 4;      // 4 bytes
static const uint16_t kTypeRational = 5;  // two LONGs: numerator, denominator
static const size_t kShortSize = 2;
static const size_t kLongSize = 4;
static const size_t kRationalSize = 8;

// FocalPlaneResolutionUnit when the tag is absent: inches.
static const int32_t kDefaultResolutionUnit = 2;

struct TiffBlock {
    const uint8_t *bytes;
    size_t count;
    int little;  // byte order: 1 for "II", 0 for "MM"
};

static uint32_t Read16(const TiffBlock &block, size_t at)
{
    const uint8_t *p = block.bytes + at;
    return block.little ? static_cast<uint32_t>(p[1]) << 8 | p[0] : static_cast<uint32_t>(p[0]) << 8 | p[1];
}

static uint32_t Read32(const TiffBlock &block, size_t at)
{
    return block.little ? Read16(block, at + 2) << 16 | Read16(block, at) : Read16(block, at) << 16 | Read16(block, at + 2);
}

// The directory entry of the tag in the directory at offset; 0 when the
// directory does not lie within the block or holds no such tag.
static int FindEntry(const TiffBlock &block, size_t directory, uint16_t tag, size_t *entry)
{
    if (directory > block.count || block.count - directory < kShortSize)
        return 0;
    size_t entries = Read16(block, directory);
    size_t first = directory + kShortSize;
    for (size_t e = 0; e < entries; e++) {
        size_t at = first + e * kEntrySize;
        if (at + kEntrySize > block.count)
            return 0;
        if (Read16(block, at) == tag) {
            *entry = at;
            return 1;
        }
    }
    return 0;
}

// Where the entry's first value of size bytes lies: inline when the values
// fit in four bytes, else at the offset the entry gives; 0 when outside.
static int ValueAt(const TiffBlock &block, size_t entry, size_t size, size_t *at)
{
    uint64_t total = static_cast<uint64_t>(Read32(block, entry + 4)) * size;
    if (total < size)
        return 0;  // no values
    size_t place = total <= kInlineValueSize ? entry + 8 : Read32(block, entry + 8);
    if (place > block.count || block.count - place < size)
        return 0;
    *at = place;
    return 1;
}

static int RationalTag(const TiffBlock &block, size_t directory, uint16_t tag, double *value)
{
    size_t entry = 0, at = 0;
    if (!FindEntry(block, directory, tag, &entry) || Read16(block, entry + 2) != kTypeRational ||
        !ValueAt(block, entry, kRationalSize, &at))
        return 0;
    uint32_t numerator = Read32(block, at);
    uint32_t denominator = Read32(block, at + kLongSize);
    if (denominator == 0)
        return 0;
    *value = static_cast<double>(numerator) / static_cast<double>(denominator);
    return 1;
}

static int IntegerTag(const TiffBlock &block, size_t directory, uint16_t tag, uint32_t *value)
{
    size_t entry = 0, at = 0;
    if (!FindEntry(block, directory, tag, &entry))
        return 0;
    uint32_t type = Read16(block, entry + 2);
    if (type == kTypeShort && ValueAt(block, entry, kShortSize, &at)) {
        *value = Read16(block, at);
        return 1;
    }
    if (type == kTypeLong && ValueAt(block, entry, kLongSize, &at)) {
        *value = Read32(block, at);
        return 1;
    }
    return 0;
}

// The EXIF block's TIFF part within the JPEG: the first APP1 segment that
// starts with the "Exif" header, found by walking the segments before the
// first scan.
static int FindExifBlock(const uint8_t *bytes, size_t count, TiffBlock *block)
{
    if (count < kJpegMarkerSize || bytes[0] != kJpegMarkerByte || bytes[1] != kJpegStartOfImage)
        return 0;
    size_t at = kJpegMarkerSize;
    while (at + kJpegMarkerSize <= count) {
        if (bytes[at] != kJpegMarkerByte)
            return 0;
        uint8_t marker = bytes[at + 1];
        if (marker == kJpegMarkerByte) {  // fill byte before a marker
            at++;
            continue;
        }
        if (marker == kJpegStartOfScan || marker == kJpegEndOfImage)
            return 0;
        if (marker == kJpegTemporary || (marker >= kJpegFirstRestart && marker <= kJpegLastRestart)) {
            at += kJpegMarkerSize;
            continue;
        }
        if (at + kJpegMarkerSize + kJpegLengthSize > count)
            return 0;
        size_t length = static_cast<size_t>(bytes[at + 2]) << 8 | bytes[at + 3];
        if (length < kJpegLengthSize)
            return 0;
        size_t payload = at + kJpegMarkerSize + kJpegLengthSize;
        size_t payloadCount = length - kJpegLengthSize;
        if (payload + payloadCount > count)
            payloadCount = count - payload;  // cut short by the bytes given
        if (marker == kJpegApp1 && payloadCount >= sizeof kExifHeader + kTiffHeaderSize &&
            std::memcmp(bytes + payload, kExifHeader, sizeof kExifHeader) == 0) {
            const uint8_t *tiff = bytes + payload + sizeof kExifHeader;
            int little = std::memcmp(tiff, kTiffLittle, sizeof kTiffLittle) == 0;
            if (!little && std::memcmp(tiff, kTiffBig, sizeof kTiffBig) != 0)
                return 0;
            *block = TiffBlock{tiff, payloadCount - sizeof kExifHeader, little};
            return 1;
        }
        at = payload + (length - kJpegLengthSize);
    }
    return 0;
}

int ReadJpegLensTags(const uint8_t *bytes, size_t count, PhotoExif *exif)
{
    TiffBlock block = {};
    if (bytes == nullptr || exif == nullptr || !FindExifBlock(bytes, count, &block))
        return 0;
    // The lens tags live in the Exif directory, which IFD0 points to.
    size_t entry = 0, at = 0;
    size_t directory = 0;
    if (FindEntry(block, Read32(block, kTiffHeaderSize - 4), kTagExifDirectory, &entry) &&
        ValueAt(block, entry, kLongSize, &at))
        directory = Read32(block, at);
    PhotoExif read = {};
    read.focalPlaneResolutionUnit = kDefaultResolutionUnit;
    if (directory != 0) {
        read.hasFocalLength = RationalTag(block, directory, kTagFocalLength, &read.focalLength);
        uint32_t focal35 = 0;
        // A 35 mm equivalent of 0 means unknown.
        if (IntegerTag(block, directory, kTagFocalLength35mm, &focal35) && focal35 != 0) {
            read.hasFocalLength35mm = 1;
            read.focalLength35mm = focal35;
        }
        read.hasFocalPlaneXResolution =
            RationalTag(block, directory, kTagFocalPlaneXResolution, &read.focalPlaneXResolution);
        uint32_t unit = 0;
        if (IntegerTag(block, directory, kTagFocalPlaneResolutionUnit, &unit) && unit <= INT32_MAX)
            read.focalPlaneResolutionUnit = static_cast<int32_t>(unit);
        IntegerTag(block, directory, kTagPixelXDimension, &read.pixelXDimension);
        IntegerTag(block, directory, kTagPixelYDimension, &read.pixelYDimension);
    }
    *exif = read;
    return 1;
}
