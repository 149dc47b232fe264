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
    for (uint32_t r = 0; r < plan.rowCount; r++)
        TransferPlannedRow(r, photo->argb + static_cast<size_t>(plan.rows[r]) * photo->width, photo->width);
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
