// The lens database's profile lookup on arbitrary camera and lens names and
// focal lengths: lensfun's fuzzy search must neither crash nor hand back a
// profile that maps the photo to numbers that are not finite.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "distortion/distortion.h"
#include "lensdb/lensdb.h"

const size_t kNameBytes = 63;  // bytes of a name, as the EXIF reader keeps them

// Names separated by zero bytes: make, model, lens; the first two bytes give
// the focal length in tenths of a millimetre and the rule for fixed lenses.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const double focalMm = (data[0] | (data[1] & 0x7F) << 8) / 10.0;
    const FixedLensRule fixed = (data[1] & 0x80) != 0 ? kFixedLensCorrect : kFixedLensSkip;
    std::string names[3];
    size_t at = 2;
    for (std::string &name : names) {
        while (at < size && data[at] != 0 && name.size() < kNameBytes)
            name += static_cast<char>(data[at++]);
        while (at < size && data[at] != 0)
            at++;
        at++;
    }
    LensDistortion distortion;
    std::memset(&distortion, 0, sizeof distortion);
    char note[192];
    if (!LensDbDistortion(names[0].c_str(), names[1].c_str(), names[2].c_str(), focalMm, fixed, &distortion, note,
                          sizeof note))
        return 0;
    if (std::strlen(note) == 0 || DistortionTermCount(distortion.model) == 0)
        std::abort();
    DistortionFrame frame;
    if (!MakeDistortionFrame(&distortion, 1600, 1200, &frame))
        return 0;
    double xd, yd, x, y;
    DistortPoint(frame, 3.0, 5.0, &xd, &yd);
    if (!std::isfinite(xd) || !std::isfinite(yd) || !UndistortPoint(frame, xd, yd, &x, &y) ||
        std::fabs(x - 3.0) > 1e-6 || std::fabs(y - 5.0) > 1e-6)
        std::abort();
    return 0;
}
