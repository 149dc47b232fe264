#include "marker/marker.h"

OutlineBuffer gOutlineBuffer;

const int kDirectionCount = 8;
// After a step in direction i the pixel just left lies in direction i + 4;
// the clockwise sweep resumes one turn past it, at i + 5, which keeps the
// component on the right of the walk and the outline running clockwise.
const int kSweepRestart = 5;  // directions

// The eight neighbour steps; each next index turns clockwise on the screen
// (y grows downward).
static const int TraceDirections[kDirectionCount][2] = {
    {+1, 0},   // right
    {+1, +1},  // down-right
    {0, +1},   // down
    {-1, +1},  // down-left
    {-1, 0},   // left
    {-1, -1},  // up-left
    {0, -1},   // up
    {+1, -1},  // up-right
};

static int InsideMap(int x, int y) { return x >= 0 && x < kWorkSide && y >= 0 && y < kWorkSide; }

// A walk past isolated pixels can step beyond the map; there is nothing there.
static int IsSet(int x, int y) { return InsideMap(x, y) && gLabelMap.labels[y * kWorkSide + x] != 0; }

int TraceOutline(int workWidth, int workHeight)
{
    if (gComponentTable.labelCount == 0)
        return 0;

    // The marker is the single label with the most pixels; ties go to the
    // lowest label.
    int32_t marker = 1;
    for (int32_t k = 2; k <= gComponentTable.labelCount; k++)
        if (gComponentTable.records[k].pixelCount > gComponentTable.records[marker].pixelCount)
            marker = k;
    const ComponentRecord &record = gComponentTable.records[marker];

    // Keep off the outermost ring that labelling reaches (row and column 1,
    // row height - 2, column width - 2).
    if (record.left <= 1 || record.right >= workWidth - 2 || record.top <= 1 || record.bottom >= workHeight - 2)
        return 0;

    // The first pixel of the top row that belongs to the marker's tree; when
    // the marker label has been merged under another, none may, and the
    // position just right of its extent serves.
    int startX = record.left;
    int startY = record.top;
    while (startX <= record.right && FindRoot(gLabelMap.labels[startY * kWorkSide + startX]) != marker)
        startX++;

    gOutlineBuffer.points[0].x = static_cast<uint16_t>(startX);
    gOutlineBuffer.points[0].y = static_cast<uint16_t>(startY);
    gOutlineBuffer.pointCount = 1;

    int x = startX;
    int y = startY;
    int sweep = 0;
    for (;;) {
        // Clockwise sweep from `sweep`; with no set neighbour the walk moves
        // to the last one tried and the sweep counts as its direction.
        int direction = sweep;
        int nextX = 0;
        int nextY = 0;
        for (int turn = 0; turn < kDirectionCount; turn++) {
            int tried = (sweep + turn) % kDirectionCount;
            nextX = x + TraceDirections[tried][0];
            nextY = y + TraceDirections[tried][1];
            if (IsSet(nextX, nextY)) {
                direction = tried;
                break;
            }
        }

        if (nextX == startX && nextY == startY)
            return 1;
        if (gOutlineBuffer.pointCount >= kMaxOutlinePoints)
            return 0;
        // A position off the map is no work pixel and cannot be stored.
        if (!InsideMap(nextX, nextY))
            return 0;
        gOutlineBuffer.points[gOutlineBuffer.pointCount].x = static_cast<uint16_t>(nextX);
        gOutlineBuffer.points[gOutlineBuffer.pointCount].y = static_cast<uint16_t>(nextY);
        gOutlineBuffer.pointCount++;
        sweep = (direction + kSweepRestart) % kDirectionCount;
        x = nextX;
        y = nextY;
    }
}

void DrawOutline(Canvas *canvas, double ratio)
{
    for (int32_t i = 0; i < gOutlineBuffer.pointCount; i++)
        PlotWorkPoint(canvas, gOutlineBuffer.points[i].x, gOutlineBuffer.points[i].y, ratio, kColourRed);
}
