// The few functions of GDI+'s flat interface that the Windows build uses to
// decode, read and encode photographs, declared here rather than through the
// C++ wrapper headers; one place for the dialog, the decoder and the command.
#pragma once

#include <windows.h>
#include <objidl.h>

extern "C" {
struct GdiplusStartupInputFlat {
    UINT32 version;                 // 1
    void *debugEventCallback;       // none
    BOOL suppressBackgroundThread;  // FALSE
    BOOL suppressExternalCodecs;    // FALSE
};
typedef int GpStatusFlat;  // 0 is Ok
struct GpImageFlat;
struct GpRectFlat {
    INT x;
    INT y;
    INT width;
    INT height;
};
struct BitmapDataFlat {
    UINT width;
    UINT height;
    INT stride;  // bytes from one row to the next
    INT pixelFormat;
    void *scan0;
    UINT_PTR reserved;
};
struct PropertyItemFlat {
    ULONG id;
    ULONG length;  // bytes of value
    WORD type;
    void *value;
};

GpStatusFlat WINAPI GdiplusStartup(ULONG_PTR *token, const GdiplusStartupInputFlat *input, void *output);
void WINAPI GdiplusShutdown(ULONG_PTR token);
GpStatusFlat WINAPI GdipCreateBitmapFromFile(const WCHAR *fileName, GpImageFlat **bitmap);
GpStatusFlat WINAPI GdipCreateBitmapFromStream(IStream *stream, GpImageFlat **bitmap);
GpStatusFlat WINAPI GdipCreateBitmapFromScan0(INT width, INT height, INT stride, INT format, BYTE *scan0,
                                              GpImageFlat **bitmap);
GpStatusFlat WINAPI GdipGetImageWidth(GpImageFlat *image, UINT *width);
GpStatusFlat WINAPI GdipGetImageHeight(GpImageFlat *image, UINT *height);
GpStatusFlat WINAPI GdipBitmapGetPixel(GpImageFlat *bitmap, INT x, INT y, UINT32 *argb);
GpStatusFlat WINAPI GdipBitmapLockBits(GpImageFlat *bitmap, const GpRectFlat *rect, UINT flags, INT format,
                                       BitmapDataFlat *data);
GpStatusFlat WINAPI GdipBitmapUnlockBits(GpImageFlat *bitmap, BitmapDataFlat *data);
GpStatusFlat WINAPI GdipGetPropertyCount(GpImageFlat *image, UINT *count);
GpStatusFlat WINAPI GdipGetPropertyItemSize(GpImageFlat *image, ULONG id, UINT *size);
GpStatusFlat WINAPI GdipGetPropertyItem(GpImageFlat *image, ULONG id, UINT size, PropertyItemFlat *item);
GpStatusFlat WINAPI GdipSaveImageToFile(GpImageFlat *image, const WCHAR *fileName, const CLSID *encoder,
                                        const void *parameters);
GpStatusFlat WINAPI GdipDisposeImage(GpImageFlat *image);
}

const GpStatusFlat kGdiplusOk = 0;
const UINT32 kGdiplusVersion = 1;
