#include "image/canvas_memory.h"
#include "image/image.h"

// The two canvases of the native build: memory canvases of the preview size.
static Canvas sPhotoCanvas;
static Canvas sAnalysisCanvas;
static int sCanvasesExist;
static int sCanvasesWanted = 1;

void SetDialogCanvases(int wanted) { sCanvasesWanted = wanted; }

void CreateCanvases()
{
    if (!sCanvasesWanted) {
        sCanvasesExist = 0;
        return;
    }
    ResetMemoryCanvas(&sPhotoCanvas, gImageGeometry.previewWidth, gImageGeometry.previewHeight, kColourBlack);
    ResetMemoryCanvas(&sAnalysisCanvas, gImageGeometry.previewWidth, gImageGeometry.previewHeight, kColourBlack);
    sCanvasesExist = 1;
}

void ReleaseCanvases() { sCanvasesExist = 0; }

Canvas *PhotoCanvas() { return sCanvasesExist ? &sPhotoCanvas : nullptr; }

Canvas *AnalysisCanvas() { return sCanvasesExist ? &sAnalysisCanvas : nullptr; }
