#include <cstring>

#include "decode/decode.h"
#include "image/image.h"

// The lens tags straight from a JPEG's APP1 block, for the Windows build
// when GDI+ hands out no property items (Wine's does not for JPEG) and no
// EXIF library is at hand there. The block is a little TIFF file: a byte
// order, the first directory (IFD0) and, through its ExifIFD pointer, the
// directory that holds the lens tags. Every offset is checked against the
// block before it is read.

static const uint8_t kJpegApp1 = 0xE1;
static const uint8_t kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};

static const uint8_t kTiffLittle[] = {'I', 'I', 42, 0};
static const uint8_t kTiffBig[] = {'M', 'M', 0, 42};
static const size_t kTiffHeaderSize = 8;  // byte order (2), 42 (2), first directory (4)
static const size_t kEntrySize = 12;      // tag (2), type (2), count (4), value or offset (4)
static const size_t kInlineValueSize = 4;

static const uint16_t kTagExifDirectory = 0x8769;

static const size_t kShortSize = 2;
static const size_t kLongSize = 4;
static const size_t kRationalSize = 8;

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
    if (!FindEntry(block, directory, tag, &entry) || Read16(block, entry + 2) != kExifTypeRational ||
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
    if (type == kExifTypeShort && ValueAt(block, entry, kShortSize, &at)) {
        *value = Read16(block, at);
        return 1;
    }
    if (type == kExifTypeLong && ValueAt(block, entry, kLongSize, &at)) {
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
    size_t at = 0;
    JpegSegment segment;
    while (NextJpegSegment(bytes, count, &at, &segment)) {
        if (segment.length < kJpegLengthSize)
            return 0;
        size_t payloadCount = segment.length - kJpegLengthSize;
        if (segment.payload + payloadCount > count)
            payloadCount = count - segment.payload;  // cut short by the bytes given
        if (segment.marker == kJpegApp1 && payloadCount >= sizeof kExifHeader + kTiffHeaderSize &&
            std::memcmp(bytes + segment.payload, kExifHeader, sizeof kExifHeader) == 0) {
            const uint8_t *tiff = bytes + segment.payload + sizeof kExifHeader;
            int little = std::memcmp(tiff, kTiffLittle, sizeof kTiffLittle) == 0;
            if (!little && std::memcmp(tiff, kTiffBig, sizeof kTiffBig) != 0)
                return 0;
            *block = TiffBlock{tiff, payloadCount - sizeof kExifHeader, little};
            return 1;
        }
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
    // Without the Exif directory every tag is absent.
    LensTagValue values[kLensTagCount] = {};
    for (int t = 0; t < kLensTagCount && directory != 0; t++)
        values[t].found = kLensTags[t].rational ? RationalTag(block, directory, kLensTags[t].id, &values[t].rational)
                                                : IntegerTag(block, directory, kLensTags[t].id, &values[t].integer);
    PhotoExif read = LensTagsFromValues(values);
    *exif = read;
    return 1;
}
