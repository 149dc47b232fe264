// The lens path: arbitrary file bytes through the EXIF reader into the lens
// choice. Whatever the tags hold, the focal length must be finite and give a
// field of view of 10 to 150 degrees along the long side.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "decode/decode.h"
#include "refine/refine.h"

// Source pixels: the picture's sides come from the first four bytes, within the size rules.
const uint32_t kSmallestSide = 320;
const uint32_t kSideSpan = 1729;  // up to 2048

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const uint32_t width = kSmallestSide + (data[0] | data[1] << 8) % kSideSpan;
    const uint32_t height = kSmallestSide + (data[2] | data[3] << 8) % kSideSpan;
    PhotoExif exif = {};
    ReadPhotoExif(data + 4, size - 4, &exif);
    Lens lens;
    ChooseLens(&exif, width, height, &lens);
    const double fov = LongSideFieldOfView(lens.focal, width, height);
    if (!(std::isfinite(lens.focal) && lens.focal > 0.0 && fov >= 10.0 && fov <= 150.0))
        std::abort();
    return 0;
}
