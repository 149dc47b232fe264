// The few functions of GDI+'s flat interface that the Windows build uses to
// decode, read and encode photographs, declared here rather than through the
// C++ wrapper headers; one place for the dialog, the decoder and the command.
// Also the dialog's way of opening a photograph, which the decoder shares.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <cstddef>
#include <cstdint>

#include "image/image.h"

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

// A photograph opened through GDI+ by OpenGdiplusPhoto.
struct GdiplusPhoto {
    ULONG_PTR token;        // of the GDI+ session started for it
    GpImageFlat *bitmap;    // as created; null when the file could not be decoded
    int32_t sized;          // 1 when the bitmap was decoded and its size read
    UINT width;             // source pixels, when sized
    UINT height;
    const uint8_t *start;   // the file's start as read: its header, more of a GIF
    size_t startCount;      // bytes
};

// The dialog's order: reads the file's start (kHeaderBytes, for a GIF as much
// as holds a 2048 x 2048 first image); a header that claims a size breaking a
// size rule gives kLoadRejected with the rule's message shown, before GDI+
// decodes the whole file. kLoadFailed when GDI+ does not start. Otherwise
// kLoadDone: GDI+ is started and the file decoded (of an animated GIF only its
// first image), and CloseGdiplusPhoto ends both, whether or not it was sized.
LoadStatus OpenGdiplusPhoto(const wchar_t *path, GdiplusPhoto *photo);
// Disposes of the bitmap (none fails harmlessly) and shuts GDI+ down.
void CloseGdiplusPhoto(GdiplusPhoto *photo);
