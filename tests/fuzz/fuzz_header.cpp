// Fuzz target: arbitrary file starts through the header reader, the size
// rules it feeds and the cut of an animated GIF after its first image.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "image/image.h"
#include "shell/report_memory.h"

namespace {

uint8_t sCopy[kHeaderBytes];

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > kHeaderBytes)
        size = kHeaderBytes;
    ResetMemoryDialog();

    uint32_t width = 0, height = 0;
    if (ReadHeaderSize(data, size, &width, &height)) {
        // A rejection by header is exactly a size the rules refuse.
        Check(RejectedByHeader(data, size) == !PassesSizeRules(width, height));
        Check(gMemoryDialog.statusCalls == (PassesSizeRules(width, height) ? 0 : 1));
    } else {
        Check(RejectedByHeader(data, size) == 0);
    }

    std::memcpy(sCopy, data, size);
    size_t cut = CutGifAfterFirstImage(sCopy, size);
    Check(cut <= size);
    if (cut > 0)
        Check(sCopy[cut - 1] == 0x3B);  // the GIF trailer
    return 0;
}
