#include <cstring>

#include "common/numeric.h"
#include "marker/marker.h"

LabelMap gLabelMap;
ComponentTable gComponentTable;

// Component colours come from a linear congruential generator whose 32-bit
// state starts at 1 with the process and is never reseeded, so every Preview
// carries on the sequence: state = state * 214013 + 2531011 (mod 2^32), and
// a draw is bits 16..30 of the new state (0 .. 32767).
const uint32_t kRandomMultiplier = 214013;
const uint32_t kRandomIncrement = 2531011;
const int kRandomShift = 16;          // bits
const uint32_t kRandomMask = 0x7FFF;  // a draw is 15 bits
// Each channel is 128 + (draw mod 128): never dark, so no component can look
// like the black background.
const uint32_t kChannelFloor = 128;   // brightness
const uint32_t kChannelSpan = 128;    // brightness levels above the floor
const uint32_t kGreenUnit = 256;      // 0x00BBGGRR: green is the second byte
const uint32_t kBlueUnit = 65536;     // blue is the third byte

// The generator's state at the start of the process.
const uint32_t kRandomSeed = 1;

static uint32_t sRandomState = kRandomSeed;

static uint32_t DrawRandom()
{
    sRandomState = sRandomState * kRandomMultiplier + kRandomIncrement;
    return (sRandomState >> kRandomShift) & kRandomMask;
}

void RestartLabelColours() { sRandomState = kRandomSeed; }

Colour NextLabelColour()
{
    uint32_t red = kChannelFloor + DrawRandom() % kChannelSpan;
    uint32_t green = kChannelFloor + DrawRandom() % kChannelSpan;
    uint32_t blue = kChannelFloor + DrawRandom() % kChannelSpan;
    return red + green * kGreenUnit + blue * kBlueUnit;
}

// Parents always point to a smaller label, so a chain is at most labelCount
// links long; the bound only guards against a table that is not a forest.
uint8_t FindRoot(uint8_t label)
{
    if (label == 0)
        return 0;
    for (int32_t step = 0; step < gComponentTable.labelCount; step++) {
        uint8_t parent = gComponentTable.records[label].parent;
        if (parent == label)
            break;
        label = parent;
    }
    return label;
}

// The smaller root becomes the parent, which keeps every chain decreasing and
// makes the root of a component its smallest label.
uint8_t MergeLabels(uint8_t a, uint8_t b)
{
    uint8_t rootA = FindRoot(a);
    uint8_t rootB = FindRoot(b);
    if (rootA == rootB)
        return rootA;
    if (rootA < rootB) {
        gComponentTable.records[rootB].parent = rootA;
        return rootA;
    }
    gComponentTable.records[rootA].parent = rootB;
    return rootB;
}

static uint8_t MapLabel(int x, int y) { return gLabelMap.labels[y * kWorkSide + x]; }

// Labels one foreground pixel from its already scanned neighbours NW, N, NE
// and W. When N is set it already joins NW and NE (they are its W and E
// neighbours one row up); when NE and NW are both set, NW already joins W.
static int LabelPixel(int x, int y)
{
    uint8_t north = MapLabel(x, y - 1);
    uint8_t northEast = MapLabel(x + 1, y - 1);
    uint8_t northWest = MapLabel(x - 1, y - 1);
    uint8_t west = MapLabel(x - 1, y);

    uint8_t label;
    if (north != 0) {
        label = west != 0 ? MergeLabels(north, west) : north;
    } else if (northEast != 0) {
        if (northWest != 0)
            label = MergeLabels(northEast, northWest);
        else if (west != 0)
            label = MergeLabels(northEast, west);
        else
            label = northEast;
    } else if (northWest != 0) {
        label = northWest;
    } else if (west != 0) {
        label = west;
    } else {
        if (gComponentTable.labelCount >= kMaxLabels)
            return 0;
        gComponentTable.labelCount++;
        label = static_cast<uint8_t>(gComponentTable.labelCount);
        ComponentRecord &fresh = gComponentTable.records[label];
        fresh.parent = label;
        fresh.pixelCount = 1;
        fresh.left = x;
        fresh.right = x;
        fresh.top = y;
        fresh.bottom = y;
        gLabelMap.labels[y * kWorkSide + x] = label;
        return 1;
    }

    gLabelMap.labels[y * kWorkSide + x] = label;
    ComponentRecord &record = gComponentTable.records[label];
    record.pixelCount++;
    if (x < record.left)
        record.left = x;
    if (x > record.right)
        record.right = x;
    record.bottom = y;
    return 1;
}

// The outer one-pixel frame stays background, so every neighbour read lies
// inside the map. Sides beyond the map are cut to it.
int LabelComponents(int workWidth, int workHeight, uint8_t threshold)
{
    std::memset(gLabelMap.labels, 0, sizeof gLabelMap.labels);
    gComponentTable.labelCount = 0;
    int width = workWidth < kWorkSide ? workWidth : kWorkSide;
    int height = workHeight < kWorkSide ? workHeight : kWorkSide;
    for (int y = 1; y <= height - 2; y++)
        for (int x = 1; x <= width - 2; x++) {
            if (gWorkRaster.brightness[y * kWorkSide + x] < threshold)
                continue;
            if (!LabelPixel(x, y))
                return 0;
        }
    return 1;
}

void PaintComponents(Canvas *canvas, int previewWidth, int previewHeight, double ratio)
{
    for (int32_t k = 1; k <= gComponentTable.labelCount; k++)
        gComponentTable.records[k].colour = NextLabelColour();

    for (int y = 0; y < previewHeight; y++)
        for (int x = 0; x < previewWidth; x++) {
            // A sane ratio always maps into the work area; any other
            // position shows as background.
            int workX, workY;
            uint8_t label = 0;
            if (TruncToInt(x * ratio, &workX) && TruncToInt(y * ratio, &workY) && workX >= 0 &&
                workX < kWorkSide && workY >= 0 && workY < kWorkSide)
                label = MapLabel(workX, workY);
            Colour colour = label == 0 ? kColourBlack : gComponentTable.records[FindRoot(label)].colour;
            SetCanvasPixel(canvas, x, y, colour);
        }
}
