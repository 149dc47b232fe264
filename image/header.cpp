#include <cstddef>
#include <cstdint>

#include "image/image.h"

// A header that claims an over-size picture is turned away before decoding:
// the image library decodes the whole file when the bitmap is created, so a
// few hundred bytes claiming 60000 x 60000 pixels cost gigabytes and seconds
// before the size rules could see the size. Only the size is read; everything
// else is left to the library.

static const uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
static const uint8_t kPngHeaderChunk[] = {'I', 'H', 'D', 'R'};
static const size_t kPngWidthAt = 16;  // signature (8), chunk length (4), chunk type (4)
static const size_t kPngHeaderEnd = 24;

static const uint8_t kJpegMarkerByte = 0xFF;
static const uint8_t kJpegStartOfImage = 0xD8;
static const uint8_t kJpegEndOfImage = 0xD9;
static const uint8_t kJpegStartOfScan = 0xDA;
static const uint8_t kJpegTemporary = 0x01;
static const uint8_t kJpegFirstRestart = 0xD0;
static const uint8_t kJpegLastRestart = 0xD7;
// Start-of-frame markers C0..CF, except C4 (Huffman tables), C8 (reserved)
// and CC (arithmetic conditioning); the frame header holds length (2),
// precision (1), height (2), width (2).
static const uint8_t kJpegFirstFrame = 0xC0;
static const uint8_t kJpegLastFrame = 0xCF;
static const uint8_t kJpegHuffmanTables = 0xC4;
static const uint8_t kJpegReserved = 0xC8;
static const uint8_t kJpegConditioning = 0xCC;
static const size_t kJpegFrameHeightAt = 5;  // after the marker (2), length (2), precision (1)
static const size_t kJpegFrameSizeEnd = 9;
static const size_t kJpegMarkerSize = 2;

static const uint8_t kGifSignature[] = {'G', 'I', 'F', '8'};
static const size_t kGifScreenWidthAt = 6;
static const size_t kGifScreenFlagsAt = 10;
static const size_t kGifScreenEnd = 13;
static const uint8_t kGifColourTableFlag = 0x80;
static const uint8_t kGifColourTableBits = 0x07;  // table of 2^(bits + 1) entries of 3 bytes
static const size_t kGifColourBytes = 3;
static const uint8_t kGifExtension = 0x21;
static const uint8_t kGifImage = 0x2C;
static const size_t kGifImageWidthAt = 5;   // introducer (1), left (2), top (2)
static const size_t kGifImageEnd = 10;      // ... width (2), height (2), flags (1)
static const size_t kGifImageFlagsAt = 9;
static const uint8_t kGifTrailer = 0x3B;

static const uint8_t kBmpSignature[] = {'B', 'M'};
static const size_t kBmpInfoSizeAt = 14;
static const size_t kBmpSizeAt = 18;
static const uint32_t kBmpCoreHeaderSize = 12;  // 16-bit width and height
static const uint32_t kBmpInfoHeaderSize = 40;  // and every longer header: 32-bit signed sides

static const uint8_t kTiffLittle[] = {'I', 'I', 42, 0};
static const uint8_t kTiffBig[] = {'M', 'M', 0, 42};
static const size_t kTiffFirstDirectoryAt = 4;
static const size_t kTiffEntrySize = 12;  // tag (2), type (2), count (4), value (4)
static const uint16_t kTiffImageWidth = 256;
static const uint16_t kTiffImageLength = 257;
static const uint16_t kTiffShort = 3;
static const uint16_t kTiffLong = 4;

static int StartsWith(const uint8_t *bytes, size_t count, const uint8_t *prefix, size_t prefixCount)
{
    if (count < prefixCount)
        return 0;
    for (size_t i = 0; i < prefixCount; i++)
        if (bytes[i] != prefix[i])
            return 0;
    return 1;
}

static uint32_t Big16(const uint8_t *p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
static uint32_t Big32(const uint8_t *p) { return Big16(p) << 16 | Big16(p + 2); }
static uint32_t Little16(const uint8_t *p) { return static_cast<uint32_t>(p[1]) << 8 | p[0]; }
static uint32_t Little32(const uint8_t *p) { return Little16(p + 2) << 16 | Little16(p); }

// Both sides or nothing: a zero side says nothing the library would agree with.
static int KnownSize(uint32_t width, uint32_t height, uint32_t *outWidth, uint32_t *outHeight)
{
    if (width == 0 || height == 0)
        return 0;
    *outWidth = width;
    *outHeight = height;
    return 1;
}

static int PngSize(const uint8_t *bytes, size_t count, uint32_t *width, uint32_t *height)
{
    // The header chunk comes first: its type stands just before the width.
    if (count < kPngHeaderEnd ||
        !StartsWith(bytes + kPngWidthAt - sizeof kPngHeaderChunk, sizeof kPngHeaderChunk, kPngHeaderChunk,
                    sizeof kPngHeaderChunk))
        return 0;
    return KnownSize(Big32(bytes + kPngWidthAt), Big32(bytes + kPngWidthAt + 4), width, height);
}

static int IsJpegFrame(uint8_t marker)
{
    return marker >= kJpegFirstFrame && marker <= kJpegLastFrame && marker != kJpegHuffmanTables &&
           marker != kJpegReserved && marker != kJpegConditioning;
}

int NextJpegSegment(const uint8_t *bytes, size_t count, size_t *at, JpegSegment *segment)
{
    size_t p = *at;
    if (p == 0) {
        if (count < kJpegMarkerSize || bytes[0] != kJpegMarkerByte || bytes[1] != kJpegStartOfImage)
            return 0;
        p = kJpegMarkerSize;
    }
    while (p + kJpegMarkerSize <= count) {
        if (bytes[p] != kJpegMarkerByte)
            return 0;
        uint8_t marker = bytes[p + 1];
        if (marker == kJpegMarkerByte) {  // fill byte before a marker
            p++;
            continue;
        }
        if (marker == kJpegStartOfScan || marker == kJpegEndOfImage)
            return 0;
        if (marker == kJpegTemporary || (marker >= kJpegFirstRestart && marker <= kJpegLastRestart)) {
            p += kJpegMarkerSize;
            continue;
        }
        if (p + kJpegMarkerSize + kJpegLengthSize > count)
            return 0;
        size_t length = Big16(bytes + p + kJpegMarkerSize);
        *segment = JpegSegment{marker, p, length, p + kJpegMarkerSize + kJpegLengthSize};
        *at = p + kJpegMarkerSize + length;
        return 1;
    }
    return 0;
}

// Walks the segments from the start of the image to the first frame header;
// a scan, the end of the image (or a second start) or the end of the bytes
// before it says nothing.
static int JpegSize(const uint8_t *bytes, size_t count, uint32_t *width, uint32_t *height)
{
    size_t at = 0;
    JpegSegment segment;
    while (NextJpegSegment(bytes, count, &at, &segment)) {
        if (segment.marker == kJpegStartOfImage)
            return 0;
        if (IsJpegFrame(segment.marker)) {
            if (segment.at + kJpegFrameSizeEnd > count)
                return 0;
            // A height of 0 is given later by a DNL segment: not known here.
            uint32_t frameHeight = Big16(bytes + segment.at + kJpegFrameHeightAt);
            return KnownSize(Big16(bytes + segment.at + kJpegFrameHeightAt + 2), frameHeight, width, height);
        }
        if (segment.length < kJpegLengthSize)
            return 0;
    }
    return 0;
}

// Offset of the first image descriptor, past the global colour table and
// any extensions (skipped sub-block by sub-block); 0 when the bytes do not
// reach a complete descriptor.
static size_t GifFirstImageAt(const uint8_t *bytes, size_t count)
{
    if (count < kGifScreenEnd)
        return 0;
    size_t at = kGifScreenEnd;
    uint8_t flags = bytes[kGifScreenFlagsAt];
    if (flags & kGifColourTableFlag)
        at += kGifColourBytes << ((flags & kGifColourTableBits) + 1);
    while (at < count && bytes[at] == kGifExtension) {
        at += 2;
        while (at < count && bytes[at] != 0)
            at += static_cast<size_t>(bytes[at]) + 1;
        at++;
    }
    if (at + kGifImageEnd > count || bytes[at] != kGifImage)
        return 0;
    return at;
}

// The logical screen, widened by the first image when it can be reached: a
// decoder holds a whole frame, whatever the screen claims.
static int GifSize(const uint8_t *bytes, size_t count, uint32_t *width, uint32_t *height)
{
    if (count < kGifScreenEnd)
        return 0;
    uint32_t screenWidth = Little16(bytes + kGifScreenWidthAt);
    uint32_t screenHeight = Little16(bytes + kGifScreenWidthAt + 2);
    size_t at = GifFirstImageAt(bytes, count);
    if (at != 0) {
        uint32_t imageWidth = Little16(bytes + at + kGifImageWidthAt);
        uint32_t imageHeight = Little16(bytes + at + kGifImageWidthAt + 2);
        if (imageWidth > screenWidth)
            screenWidth = imageWidth;
        if (imageHeight > screenHeight)
            screenHeight = imageHeight;
    }
    return KnownSize(screenWidth, screenHeight, width, height);
}

// Offset just past the first image's compressed data; 0 when the bytes do
// not reach that far.
static size_t GifFirstImageEnd(const uint8_t *bytes, size_t count)
{
    if (!StartsWith(bytes, count, kGifSignature, sizeof kGifSignature))
        return 0;
    size_t at = GifFirstImageAt(bytes, count);
    if (at == 0)
        return 0;
    uint8_t imageFlags = bytes[at + kGifImageFlagsAt];
    at += kGifImageEnd;
    if (imageFlags & kGifColourTableFlag)
        at += kGifColourBytes << ((imageFlags & kGifColourTableBits) + 1);
    at++;  // the smallest code size of the compressed data
    while (at < count && bytes[at] != 0)
        at += static_cast<size_t>(bytes[at]) + 1;
    return at < count ? at + 1 : 0;
}

size_t CutGifAfterFirstImage(uint8_t *bytes, size_t count)
{
    if (bytes == nullptr)
        return 0;
    size_t end = GifFirstImageEnd(bytes, count);
    // Nothing after the first image but the trailer: the file is decoded as it is.
    if (end == 0 || end == count || (end + 1 == count && bytes[end] == kGifTrailer))
        return 0;
    bytes[end] = kGifTrailer;
    return end + 1;
}

static int BmpSize(const uint8_t *bytes, size_t count, uint32_t *width, uint32_t *height)
{
    if (count < kBmpInfoSizeAt + 4)
        return 0;
    uint32_t headerSize = Little32(bytes + kBmpInfoSizeAt);
    if (headerSize == kBmpCoreHeaderSize && count >= kBmpSizeAt + 4)
        return KnownSize(Little16(bytes + kBmpSizeAt), Little16(bytes + kBmpSizeAt + 2), width, height);
    if (headerSize < kBmpInfoHeaderSize || count < kBmpSizeAt + 8)
        return 0;
    // Signed sides; a negative height means rows from the top. A negative
    // width is not a picture.
    int64_t signedWidth = static_cast<int32_t>(Little32(bytes + kBmpSizeAt));
    int64_t signedHeight = static_cast<int32_t>(Little32(bytes + kBmpSizeAt + 4));
    if (signedWidth <= 0)
        return 0;
    if (signedHeight < 0)
        signedHeight = -signedHeight;
    return KnownSize(static_cast<uint32_t>(signedWidth), static_cast<uint32_t>(signedHeight), width, height);
}

// ImageWidth and ImageLength of the first directory, each a SHORT or a LONG.
static int TiffSize(const uint8_t *bytes, size_t count, uint32_t *width, uint32_t *height)
{
    int little = StartsWith(bytes, count, kTiffLittle, sizeof kTiffLittle);
    if (!little && !StartsWith(bytes, count, kTiffBig, sizeof kTiffBig))
        return 0;
    if (count < kTiffFirstDirectoryAt + 4)
        return 0;
    uint32_t directory = little ? Little32(bytes + kTiffFirstDirectoryAt) : Big32(bytes + kTiffFirstDirectoryAt);
    if (directory > count || count - directory < 2)
        return 0;
    uint32_t entries = little ? Little16(bytes + directory) : Big16(bytes + directory);
    uint32_t sides[2] = {0, 0};
    for (uint32_t e = 0; e < entries; e++) {
        size_t at = directory + 2 + static_cast<size_t>(e) * kTiffEntrySize;
        if (at + kTiffEntrySize > count)
            break;
        const uint8_t *entry = bytes + at;
        uint32_t tag = little ? Little16(entry) : Big16(entry);
        uint32_t type = little ? Little16(entry + 2) : Big16(entry + 2);
        if (tag != kTiffImageWidth && tag != kTiffImageLength)
            continue;
        uint32_t value = 0;
        if (type == kTiffShort)
            value = little ? Little16(entry + 8) : Big16(entry + 8);
        else if (type == kTiffLong)
            value = little ? Little32(entry + 8) : Big32(entry + 8);
        else
            return 0;
        sides[tag == kTiffImageLength] = value;
    }
    return KnownSize(sides[0], sides[1], width, height);
}

int ReadHeaderSize(const uint8_t *bytes, size_t count, uint32_t *width, uint32_t *height)
{
    if (bytes == nullptr)
        return 0;
    if (StartsWith(bytes, count, kPngSignature, sizeof kPngSignature))
        return PngSize(bytes, count, width, height);
    if (count >= kJpegMarkerSize && bytes[0] == kJpegMarkerByte && bytes[1] == kJpegStartOfImage)
        return JpegSize(bytes, count, width, height);
    if (StartsWith(bytes, count, kGifSignature, sizeof kGifSignature))
        return GifSize(bytes, count, width, height);
    if (StartsWith(bytes, count, kBmpSignature, sizeof kBmpSignature))
        return BmpSize(bytes, count, width, height);
    return TiffSize(bytes, count, width, height);
}

int RejectedByHeader(const uint8_t *bytes, size_t count)
{
    uint32_t width = 0, height = 0;
    if (!ReadHeaderSize(bytes, count, &width, &height) || PassesSizeRules(width, height))
        return 0;
    // Shows the broken rule's message; nothing is stored.
    SetImageGeometry(width, height);
    return 1;
}
