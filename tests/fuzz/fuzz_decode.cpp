// Fuzz target: whole files through the header check and the native decoders
// (PNG, JPEG, GIF, TIFF), the decoded photo through the transfer, and the
// bytes through both EXIF readers (libexif both as a file and as a bare
// EXIF block).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/decode.h"
#include "image/image.h"
#include "shell/report_memory.h"

namespace {

const uint8_t kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

// A flag of 0 has a value of 0; every value is finite and not negative.
void CheckExif(const PhotoExif &exif)
{
    Check(exif.hasFocalLength || exif.focalLength == 0.0);
    Check(exif.hasFocalLength35mm || exif.focalLength35mm == 0.0);
    Check(exif.hasFocalPlaneXResolution || exif.focalPlaneXResolution == 0.0);
    for (double value : {exif.focalLength, exif.focalLength35mm, exif.focalPlaneXResolution})
        Check(std::isfinite(value) && value >= 0.0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ResetMemoryDialog();
    std::memset(&gImageGeometry, 0, sizeof gImageGeometry);
    ReleaseCanvases();

    Photo photo = {};
    int result = DecodePhotoBytes(data, size, &photo);
    Check(result == kLoadDone || result == kLoadFailed || result == kLoadRejected);
    if (result == kLoadDone) {
        Check(photo.argb != nullptr && photo.width >= 1 && photo.height >= 1);
        Check(photo.width <= kMaxImageSide && photo.height <= kMaxImageSide);
        CheckExif(photo.exif);
        // Every pixel is read: a short buffer shows up under the sanitizer.
        uint32_t sum = 0;
        for (size_t i = 0; i < static_cast<size_t>(photo.width) * photo.height; i++)
            sum += photo.argb[i];
        (void)sum;
        Check(TransferPhoto(&photo) == PassesSizeRules(photo.width, photo.height));
    } else {
        Check(photo.argb == nullptr && photo.width == 0);
        // Only a refusal shows a message: the one size rule broken.
        Check(gMemoryDialog.statusCalls == (result == kLoadRejected ? 1 : 0));
    }
    // The decode that reduces as it goes decodes the same pixels, and reduces
    // only a photograph within the size rules.
    Photo again = {};
    int transferred = 0;
    Check(DecodeAndTransferPhotoBytes(data, size, &again, &transferred) == result);
    Check(again.width == photo.width && again.height == photo.height);
    if (result == kLoadDone) {
        Check(std::memcmp(again.argb, photo.argb, sizeof(uint32_t) * photo.width * photo.height) == 0);
        Check(!transferred || PassesSizeRules(photo.width, photo.height));
    }
    ReleasePhoto(&again);
    ReleasePhoto(&photo);

    PhotoExif exif = {};
    if (ReadPhotoExif(data, size, &exif))
        CheckExif(exif);
    exif = PhotoExif{};
    if (ReadJpegLensTags(data, size, &exif))
        CheckExif(exif);
    std::vector<uint8_t> block(kExifHeader, kExifHeader + sizeof kExifHeader);
    block.insert(block.end(), data, data + size);
    exif = PhotoExif{};
    if (ReadPhotoExif(block.data(), block.size(), &exif))
        CheckExif(exif);
    return 0;
}
