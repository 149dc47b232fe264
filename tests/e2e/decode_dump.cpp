// Decodes one photograph with DecodePhoto and writes what came out, so that
// the native decoders can be compared with GDI+ under Wine pixel by pixel:
//   decode_dump PHOTO OUT
// prints "result R" (kLoadDone 0, kLoadFailed 1, kLoadRejected 2) and, when
// decoded, the size and the lens tags; OUT gets a binary PAM (RGB_ALPHA).
// The Windows build also reads every pixel again with GdipBitmapGetPixel, as
// the dialog does, and prints how many differ from DecodePhoto's.
#include <cstdio>
#include <cstring>

#include "decode/decode.h"
#include "image/image.h"

#ifdef _WIN32
#include <windows.h>

extern "C" {
struct GdiplusStartupInputFlat {
    UINT32 version;
    void *debugEventCallback;
    BOOL suppressBackgroundThread;
    BOOL suppressExternalCodecs;
};
struct GpImageFlat;
int WINAPI GdiplusStartup(ULONG_PTR *token, const GdiplusStartupInputFlat *input, void *output);
void WINAPI GdiplusShutdown(ULONG_PTR token);
int WINAPI GdipCreateBitmapFromFile(const WCHAR *fileName, GpImageFlat **bitmap);
int WINAPI GdipBitmapGetPixel(GpImageFlat *bitmap, INT x, INT y, UINT32 *argb);
int WINAPI GdipDisposeImage(GpImageFlat *image);
}

// Pixels where GdipBitmapGetPixel on the file differs from the photo; -1
// when the file cannot be read that way.
static long CountGetPixelDifferences(const char *path, const Photo &photo)
{
    wchar_t wide[1024];
    if (MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 1024) <= 0)
        return -1;
    ULONG_PTR token = 0;
    GdiplusStartupInputFlat input = {1, nullptr, FALSE, FALSE};
    if (GdiplusStartup(&token, &input, nullptr) != 0)
        return -1;
    GpImageFlat *bitmap = nullptr;
    long differences = -1;
    if (GdipCreateBitmapFromFile(wide, &bitmap) == 0) {
        differences = 0;
        for (uint32_t y = 0; y < photo.height; y++)
            for (uint32_t x = 0; x < photo.width; x++) {
                UINT32 argb = 0;
                if (GdipBitmapGetPixel(bitmap, static_cast<INT>(x), static_cast<INT>(y), &argb) != 0 ||
                    argb != photo.argb[static_cast<size_t>(y) * photo.width + x])
                    differences++;
            }
    }
    GdipDisposeImage(bitmap);
    GdiplusShutdown(token);
    return differences;
}
#endif

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: decode_dump PHOTO OUT\n");
        return 2;
    }
    Photo photo = {};
    int result = DecodePhoto(argv[1], &photo);
    std::printf("result %d\n", result);
    if (result != kLoadDone)
        return 0;
    const PhotoExif &exif = photo.exif;
    std::printf("size %u %u\n", photo.width, photo.height);
    std::printf("exif %d %.6f %d %.6f %d %.6f %d %u %u\n", exif.hasFocalLength, exif.focalLength,
                exif.hasFocalLength35mm, exif.focalLength35mm, exif.hasFocalPlaneXResolution,
                exif.focalPlaneXResolution, exif.focalPlaneResolutionUnit, exif.pixelXDimension,
                exif.pixelYDimension);
#ifdef _WIN32
    std::printf("getpixel differences %ld\n", CountGetPixelDifferences(argv[1], photo));
#endif
    FILE *out = std::fopen(argv[2], "wb");
    if (out == nullptr) {
        ReleasePhoto(&photo);
        return 1;
    }
    std::fprintf(out, "P7\nWIDTH %u\nHEIGHT %u\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n", photo.width,
                 photo.height);
    for (size_t i = 0; i < static_cast<size_t>(photo.width) * photo.height; i++) {
        uint32_t p = photo.argb[i];
        unsigned char rgba[4] = {static_cast<unsigned char>(p >> 16), static_cast<unsigned char>(p >> 8),
                                 static_cast<unsigned char>(p), static_cast<unsigned char>(p >> 24)};
        std::fwrite(rgba, 1, 4, out);
    }
    std::fclose(out);
    ReleasePhoto(&photo);
    return 0;
}
