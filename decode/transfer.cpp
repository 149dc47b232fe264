#include <cstdlib>

#include "decode/decode.h"
#include "image/image.h"

int TransferPhoto(const Photo *photo)
{
    if (photo == nullptr || photo->argb == nullptr)
        return 0;
    if (!SetImageGeometry(photo->width, photo->height) || !PlanPixelReads(photo->width, photo->height))
        return 0;
    // Every canvas pixel is the last of its interval, so the plan sets all of them.
    BeginCanvasRepaint(PhotoCanvas());
    const ReadPlan &plan = gReadPlan;
    for (uint32_t r = 0; r < plan.rowCount; r++) {
        uint32_t y = plan.rows[r];
        const uint32_t *row = photo->argb + static_cast<size_t>(y) * photo->width;
        for (uint32_t c = 0; c < plan.columnCount; c++)
            TransferPixel(plan.columns[c], y, row[plan.columns[c]]);
    }
    EndCanvasRepaint(PhotoCanvas());
    return 1;
}

void ReleasePhoto(Photo *photo)
{
    if (photo == nullptr)
        return;
    std::free(photo->argb);
    *photo = Photo{};
}
