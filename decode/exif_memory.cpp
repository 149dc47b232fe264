#include <climits>

#include <libexif/exif-data.h>

#include "decode/decode.h"

// The lens tags through libexif, which finds the APP1 block of a JPEG (or
// takes bytes that start with the "Exif" header itself).

// Every one of libexif's data options: they are single bits, the highest
// being DONT_CHANGE_MAKER_NOTE, so all of them are the bits below its double.
static const ExifDataOption kEveryExifOption =
    static_cast<ExifDataOption>(2 * EXIF_DATA_OPTION_DONT_CHANGE_MAKER_NOTE - 1);

// The entry's first value as an unsigned rational; 0 when the entry is
// absent, not a rational or has denominator 0.
static int RationalValue(ExifData *data, ExifTag tag, double *value)
{
    ExifEntry *entry = exif_data_get_entry(data, tag);
    if (entry == nullptr || entry->format != EXIF_FORMAT_RATIONAL || entry->components < 1 || entry->data == nullptr ||
        entry->size < exif_format_get_size(EXIF_FORMAT_RATIONAL))
        return 0;
    ExifRational rational = exif_get_rational(entry->data, exif_data_get_byte_order(data));
    if (rational.denominator == 0)
        return 0;
    *value = static_cast<double>(rational.numerator) / static_cast<double>(rational.denominator);
    return 1;
}

// The entry's first value as a SHORT or a LONG; 0 when absent or of another type.
static int IntegerValue(ExifData *data, ExifTag tag, uint32_t *value)
{
    ExifEntry *entry = exif_data_get_entry(data, tag);
    if (entry == nullptr || entry->components < 1 || entry->data == nullptr)
        return 0;
    ExifByteOrder order = exif_data_get_byte_order(data);
    if (entry->format == EXIF_FORMAT_SHORT && entry->size >= exif_format_get_size(EXIF_FORMAT_SHORT)) {
        *value = exif_get_short(entry->data, order);
        return 1;
    }
    if (entry->format == EXIF_FORMAT_LONG && entry->size >= exif_format_get_size(EXIF_FORMAT_LONG)) {
        *value = exif_get_long(entry->data, order);
        return 1;
    }
    return 0;
}

// An ASCII entry of an IFD (Make, Model of IFD 0; LensModel of the EXIF IFD)
// into text, printable bytes only and trailing blanks dropped; text stays
// empty when the entry is absent.
static void AsciiValue(ExifData *data, ExifIfd ifd, ExifTag tag, char *text, size_t size)
{
    text[0] = '\0';
    if (data->ifd[ifd] == nullptr)
        return;
    ExifEntry *entry = exif_content_get_entry(data->ifd[ifd], tag);
    if (entry == nullptr || entry->format != EXIF_FORMAT_ASCII || entry->data == nullptr)
        return;
    size_t length = 0;
    for (size_t i = 0; i < entry->size && length + 1 < size; i++) {
        const unsigned char c = entry->data[i];
        if (c == '\0')
            break;
        text[length++] = c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    while (length > 0 && text[length - 1] == ' ')
        length--;
    text[length] = '\0';
}

int ReadPhotoExif(const uint8_t *bytes, size_t count, PhotoExif *exif)
{
    if (bytes == nullptr || exif == nullptr || count == 0)
        return 0;
    ExifData *data = exif_data_new();
    if (data == nullptr)
        return 0;
    // Every option off: the tags are read exactly as the file holds them. The
    // defaults would repair the block, adding missing mandatory tags (among
    // them PixelXDimension) with made-up values.
    exif_data_unset_option(data, kEveryExifOption);
    // The block sits near the start of a JPEG; libexif takes an unsigned int of bytes.
    exif_data_load_data(data, bytes, count > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(count));
    int found = 0;
    for (int ifd = 0; ifd < EXIF_IFD_COUNT; ifd++)
        if (data->ifd[ifd] != nullptr && data->ifd[ifd]->count > 0)
            found = 1;
    if (!found) {
        exif_data_unref(data);
        return 0;
    }

    // libexif's tag numbers are the EXIF ones.
    LensTagValue values[kLensTagCount] = {};
    for (int t = 0; t < kLensTagCount; t++) {
        ExifTag tag = static_cast<ExifTag>(kLensTags[t].id);
        values[t].found = kLensTags[t].rational ? RationalValue(data, tag, &values[t].rational)
                                                : IntegerValue(data, tag, &values[t].integer);
    }
    PhotoExif read = LensTagsFromValues(values);
    AsciiValue(data, EXIF_IFD_0, EXIF_TAG_MAKE, read.make, sizeof read.make);
    AsciiValue(data, EXIF_IFD_0, EXIF_TAG_MODEL, read.model, sizeof read.model);
    AsciiValue(data, EXIF_IFD_EXIF, EXIF_TAG_LENS_MODEL, read.lensModel, sizeof read.lensModel);
    exif_data_unref(data);
    *exif = read;
    return 1;
}
