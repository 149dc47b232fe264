#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/decode.h"
#include "image/gdiplus_win32.h"
#include "image/image.h"

// The Windows decoder: GDI+, the library the dialog decodes with, so that
// every pixel is the one the dialog reads.
static const UINT kImageLockModeRead = 1;
// 32 bits a pixel, 0xAARRGGBB, alpha not premultiplied: what GdipBitmapGetPixel returns.
static const INT kPixelFormat32bppArgb = 0x0026200A;

// The path as UTF-16; 0 for a path that is not UTF-8.
static int WidePath(const char *path, std::vector<wchar_t> *wide)
{
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (length <= 0)
        return 0;
    wide->assign(static_cast<size_t>(length), L'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide->data(), length) == length;
}

// Every pixel, converted by GDI+ to 0xAARRGGBB as GdipBitmapGetPixel gives
// it, in one locked read; null on failure.
static uint32_t *ReadAllPixels(GpImageFlat *bitmap, UINT width, UINT height)
{
    GpRectFlat rect = {0, 0, static_cast<INT>(width), static_cast<INT>(height)};
    BitmapDataFlat data = {};
    if (GdipBitmapLockBits(bitmap, &rect, kImageLockModeRead, kPixelFormat32bppArgb, &data) != kGdiplusOk)
        return nullptr;
    uint32_t *pixels = nullptr;
    if (data.scan0 != nullptr && data.width == width && data.height == height &&
        (data.stride >= 0 ? data.stride : -data.stride) >= static_cast<INT>(width * sizeof(uint32_t)))
        pixels = static_cast<uint32_t *>(std::malloc(static_cast<size_t>(width) * height * sizeof(uint32_t)));
    if (pixels != nullptr)
        for (UINT y = 0; y < height; y++)
            std::memcpy(pixels + static_cast<size_t>(y) * width,
                        static_cast<const uint8_t *>(data.scan0) + static_cast<ptrdiff_t>(y) * data.stride,
                        width * sizeof(uint32_t));
    GdipBitmapUnlockBits(bitmap, &data);
    return pixels;
}

// One property item, in a buffer of its own; 0 when the image has none of that id.
static int ReadProperty(GpImageFlat *image, ULONG id, std::vector<uint8_t> *buffer, const PropertyItemFlat **item)
{
    UINT size = 0;
    if (GdipGetPropertyItemSize(image, id, &size) != kGdiplusOk || size < sizeof(PropertyItemFlat))
        return 0;
    // A vector's storage is aligned for the item's header.
    buffer->assign(size, 0);
    PropertyItemFlat *aligned = reinterpret_cast<PropertyItemFlat *>(buffer->data());
    if (GdipGetPropertyItem(image, id, size, aligned) != kGdiplusOk || aligned->value == nullptr)
        return 0;
    // The value must lie within what GDI+ wrote.
    const uint8_t *value = static_cast<const uint8_t *>(aligned->value);
    const uint8_t *end = buffer->data() + size;
    if (value < buffer->data() || value > end || aligned->length > static_cast<ULONG>(end - value))
        return 0;
    *item = aligned;
    return 1;
}

// The first value of a RATIONAL item; 0 when absent, of another type or with denominator 0.
static int RationalProperty(GpImageFlat *image, ULONG id, double *value)
{
    std::vector<uint8_t> buffer;
    const PropertyItemFlat *item = nullptr;
    if (!ReadProperty(image, id, &buffer, &item) || item->type != kExifTypeRational || item->length < 8)
        return 0;
    uint32_t parts[2];
    std::memcpy(parts, item->value, sizeof parts);
    if (parts[1] == 0)
        return 0;
    *value = static_cast<double>(parts[0]) / static_cast<double>(parts[1]);
    return 1;
}

// The first value of a SHORT or LONG item; 0 when absent or of another type.
static int IntegerProperty(GpImageFlat *image, ULONG id, uint32_t *value)
{
    std::vector<uint8_t> buffer;
    const PropertyItemFlat *item = nullptr;
    if (!ReadProperty(image, id, &buffer, &item))
        return 0;
    if (item->type == kExifTypeShort && item->length >= sizeof(uint16_t)) {
        uint16_t shortValue;
        std::memcpy(&shortValue, item->value, sizeof shortValue);
        *value = shortValue;
        return 1;
    }
    if (item->type == kExifTypeLong && item->length >= sizeof(uint32_t)) {
        std::memcpy(value, item->value, sizeof(uint32_t));
        return 1;
    }
    return 0;
}

// The lens tags from GDI+'s property items, by the rules every reader shares.
static PhotoExif ReadLensTags(GpImageFlat *image)
{
    LensTagValue values[kLensTagCount] = {};
    for (int t = 0; t < kLensTagCount; t++)
        values[t].found = kLensTags[t].rational ? RationalProperty(image, kLensTags[t].id, &values[t].rational)
                                                : IntegerProperty(image, kLensTags[t].id, &values[t].integer);
    return LensTagsFromValues(values);
}

LoadStatus DecodePhoto(const char *path, Photo *photo)
{
    std::vector<wchar_t> widePath;
    if (path == nullptr || photo == nullptr || !WidePath(path, &widePath))
        return kLoadFailed;
    GdiplusPhoto opened;
    LoadStatus opening = OpenGdiplusPhoto(widePath.data(), &opened);
    if (opening != kLoadDone)
        return opening;
    LoadStatus result = kLoadFailed;
    UINT width = opened.width, height = opened.height;
    if (opened.sized && width > 0 && height > 0) {
        if (width > kMaxImageSide || height > kMaxImageSide) {
            // Shows the size rule's message, as the dialog does for this size.
            SetImageGeometry(width, height);
            result = kLoadRejected;
        } else if (uint32_t *pixels = ReadAllPixels(opened.bitmap, width, height)) {
            Photo decoded = {};
            decoded.width = width;
            decoded.height = height;
            decoded.argb = pixels;
            decoded.exif = ReadLensTags(opened.bitmap);
            // Wine's GDI+ hands out no property items for a JPEG: the
            // block is then read from the file's start.
            UINT items = 0;
            if (GdipGetPropertyCount(opened.bitmap, &items) != kGdiplusOk || items == 0)
                ReadJpegLensTags(opened.start, opened.startCount, &decoded.exif);
            *photo = decoded;
            result = kLoadDone;
        }
    }
    CloseGdiplusPhoto(&opened);
    return result;
}

// The image library hands out the whole picture at once: nothing to reduce
// while decoding, TransferPhoto does it after.
LoadStatus DecodeAndTransferPhoto(const char *path, Photo *photo, int *transferred)
{
    if (transferred == nullptr)
        return kLoadFailed;
    LoadStatus result = DecodePhoto(path, photo);
    if (result == kLoadDone)
        *transferred = 0;
    return result;
}
