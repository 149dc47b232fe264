#include <cstdlib>

#include "decode/decode.h"
#include "image/image.h"

int BeginTransfer(uint32_t width, uint32_t height)
{
    if (!SetImageGeometry(width, height) || !PlanPixelReads(width, height))
        return 0;
    // Every canvas pixel is the last of its interval, so the plan sets all of them.
    BeginCanvasRepaint(PhotoCanvas());
    return 1;
}

uint32_t TransferRowsBefore(const uint32_t *argb, uint32_t width, uint32_t next, uint32_t end)
{
    const ReadPlan &plan = gReadPlan;
    for (; next < plan.rowCount && plan.rows[next] < end; next++)
        TransferPlannedRow(next, argb + static_cast<size_t>(plan.rows[next]) * width, width);
    return next;
}

void EndTransfer() { EndCanvasRepaint(PhotoCanvas()); }

int TransferPhoto(const Photo *photo)
{
    if (photo == nullptr || photo->argb == nullptr)
        return 0;
    if (!BeginTransfer(photo->width, photo->height))
        return 0;
    TransferRowsBefore(photo->argb, photo->width, 0, photo->height);
    EndTransfer();
    return 1;
}

void ReleasePhoto(Photo *photo)
{
    if (photo == nullptr)
        return;
    std::free(photo->argb);
    *photo = Photo{};
}
