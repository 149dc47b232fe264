#include <shlwapi.h>

#include <cstring>

#include "image/gdiplus_win32.h"
#include "image/image.h"

// The start of the photograph's file: its header, and for a GIF as much of
// the file as holds a 2048 x 2048 first image even at the worst compression
// (12-bit codes for 4 million pixels are 6 MB, plus block lengths).
static const DWORD kGifBytes = 16 * 1024 * 1024;
static uint8_t sFileStart[kGifBytes];
static const uint8_t kGifStart[] = {'G', 'I', 'F'};

// Reads kHeaderBytes from the start of the file, more for a GIF; 0 bytes when
// it cannot be opened or read (a folder, a missing file), and the decoder decides.
static DWORD ReadFileStart(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD got = 0;
    if (!ReadFile(file, sFileStart, kHeaderBytes, &got, nullptr))
        got = 0;
    if (got == kHeaderBytes && std::memcmp(sFileStart, kGifStart, sizeof kGifStart) == 0) {
        DWORD more = 0;
        if (ReadFile(file, sFileStart + got, kGifBytes - got, &more, nullptr))
            got += more;
    }
    CloseHandle(file);
    return got;
}

// Decodes the file, or for an animated GIF only its first image from memory.
static GpStatusFlat DecodeBitmap(const wchar_t *path, DWORD startBytes, GpImageFlat **bitmap)
{
    size_t gifLength = CutGifAfterFirstImage(sFileStart, startBytes);
    if (gifLength == 0)
        return GdipCreateBitmapFromFile(path, bitmap);
    IStream *stream = SHCreateMemStream(sFileStart, static_cast<UINT>(gifLength));
    if (stream == nullptr)
        return GdipCreateBitmapFromFile(path, bitmap);
    GpStatusFlat status = GdipCreateBitmapFromStream(stream, bitmap);
    // The bitmap keeps its own reference while it lives.
    stream->Release();
    return status;
}

LoadStatus OpenGdiplusPhoto(const wchar_t *path, GdiplusPhoto *photo)
{
    // A few hundred bytes can claim 60000 x 60000 pixels: gigabytes and
    // seconds, were the library to decode them.
    DWORD startBytes = ReadFileStart(path);
    if (RejectedByHeader(sFileStart, startBytes))
        return kLoadRejected;

    GdiplusPhoto opened = {};
    opened.start = sFileStart;
    opened.startCount = startBytes;
    GdiplusStartupInputFlat input = {kGdiplusVersion, nullptr, FALSE, FALSE};
    if (GdiplusStartup(&opened.token, &input, nullptr) != kGdiplusOk)
        return kLoadFailed;
    opened.sized = DecodeBitmap(path, startBytes, &opened.bitmap) == kGdiplusOk && opened.bitmap != nullptr &&
                   GdipGetImageWidth(opened.bitmap, &opened.width) == kGdiplusOk &&
                   GdipGetImageHeight(opened.bitmap, &opened.height) == kGdiplusOk;
    *photo = opened;
    return kLoadDone;
}

void CloseGdiplusPhoto(GdiplusPhoto *photo)
{
    GdipDisposeImage(photo->bitmap);
    GdiplusShutdown(photo->token);
}
