#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gif_lib.h>
#include <jpeglib.h>
#include <jerror.h>
#include <png.h>
#include <tiffio.h>

#include "decode/decode.h"
#include "image/image.h"

// The native decoders: libpng, libjpeg-turbo, giflib and libtiff, each fed
// from the whole file in memory and each made to return its errors instead
// of ending the process. Pixels come out as the Windows image library hands
// them to the dialog: 8 bits a channel (a 16-bit channel keeps its high
// byte), grey repeated over red, green and blue, no gamma or colour profile
// applied, alpha kept but not premultiplied.

// As much of a GIF's start as the dialog reads to find the end of its first
// image: 12-bit codes for a 2048 x 2048 image are 6 MB, plus block lengths.
static const size_t kGifStartBytes = 16 * 1024 * 1024;
// A file longer than this (bytes) is not read: the largest picture the size
// rules admit, 2048 x 2048 at 16 bits in four channels, stored plainly, is
// 32 MB.
static const size_t kMaxFileBytes = 256 * 1024 * 1024;
// Bytes read from a file at a time.
static const size_t kReadChunkBytes = 1024 * 1024;
// A progressive JPEG with more scans than this is refused: real files have
// about ten, and each scan costs a pass over the whole picture.
static const int kMaxJpegScans = 1000;
// The largest single allocation libtiff may make (bytes): a whole plain
// 2048 x 2048 picture at 16 bits in four channels.
static const tmsize_t kMaxTiffAllocation = 32 * 1024 * 1024;

// Bits of alpha, red and green in 0xAARRGGBB, and a full 8-bit channel.
static const int kAlphaShift = 24;
static const int kRedShift = 16;
static const int kGreenShift = 8;
static const uint32_t kFullChannel = 255;

static const uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
static const uint8_t kJpegSignature[] = {0xFF, 0xD8};
static const uint8_t kGifSignature[] = {'G', 'I', 'F', '8'};
static const uint8_t kTiffLittle[] = {'I', 'I', 42, 0};
static const uint8_t kTiffBig[] = {'M', 'M', 0, 42};

static int StartsWith(const uint8_t *bytes, size_t count, const uint8_t *prefix, size_t prefixCount)
{
    return count >= prefixCount && std::memcmp(bytes, prefix, prefixCount) == 0;
}

static uint32_t Argb(uint32_t alpha, uint32_t red, uint32_t green, uint32_t blue)
{
    return alpha << kAlphaShift | red << kRedShift | green << kGreenShift | blue;
}

// The whole file in memory, and the size its header claims (0 x 0 when the
// header does not tell).
struct Source {
    const uint8_t *bytes;
    size_t count;
    size_t at;  // read position of the streaming decoders
    uint32_t claimedWidth;
    uint32_t claimedHeight;
    int transfer;     // 1: a JPEG within the size rules is transferred as it is decoded
    int transferred;  // 1 once the decoder did so
};

// The size a decoder reports, before it allocates a pixel. A side above the
// largest accepted one is refused with the size rule's message, as the dialog
// shows it once its library has decoded the picture; a size other than the
// one the header claimed (and the check passed) is not this file's picture.
static LoadStatus CheckDecodedSize(const Source *source, uint32_t width, uint32_t height)
{
    if (width == 0 || height == 0)
        return kLoadFailed;
    if (width > kMaxImageSide || height > kMaxImageSide) {
        SetImageGeometry(width, height);
        return kLoadRejected;
    }
    if (source->claimedWidth != 0 && (width != source->claimedWidth || height != source->claimedHeight))
        return kLoadFailed;
    return kLoadDone;
}

// Up to length bytes from the read position of a streaming decoder, fewer at
// the end of the source (nothing once a seek went past it); the bytes given.
static size_t ReadSource(Source *source, void *out, int64_t length)
{
    size_t left = source->at < source->count ? source->count - source->at : 0;
    size_t take = length < 0 ? 0 : static_cast<size_t>(length);
    if (take > left)
        take = left;
    std::memcpy(out, source->bytes + source->at, take);
    source->at += take;
    return take;
}

// width * height pixels, or null.
static uint32_t *AllocatePixels(uint32_t width, uint32_t height)
{
    return static_cast<uint32_t *>(std::malloc(static_cast<size_t>(width) * height * sizeof(uint32_t)));
}

// PNG --------------------------------------------------------------------

static void PngRead(png_structp png, png_bytep out, size_t length)
{
    Source *source = static_cast<Source *>(png_get_io_ptr(png));
    if (length > source->count - source->at)
        png_error(png, "truncated");
    std::memcpy(out, source->bytes + source->at, length);
    source->at += length;
}

static void PngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }

static void PngWarning(png_structp, png_const_charp) {}

static LoadStatus DecodePng(Source *source, Photo *photo)
{
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    if (png == nullptr)
        return kLoadFailed;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        return kLoadFailed;
    }
    // Changed between setjmp and a longjmp back to it: volatile.
    uint32_t *volatile pixels = nullptr;
    png_bytep *volatile rows = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        std::free(rows);
        std::free(pixels);
        png_destroy_read_struct(&png, &info, nullptr);
        return kLoadFailed;
    }
    png_set_read_fn(png, source, PngRead);
    png_read_info(png, info);
    uint32_t width = png_get_image_width(png, info);
    uint32_t height = png_get_image_height(png, info);
    LoadStatus sized = CheckDecodedSize(source, width, height);
    if (sized != kLoadDone) {
        png_destroy_read_struct(&png, &info, nullptr);
        return sized;
    }
    // Every layout to 8-bit red, green, blue, alpha: palettes and grey below
    // 8 bits expanded, a transparent colour made alpha, 16 bits cut to their
    // high byte, grey repeated, alpha 255 added where there is none.
    png_set_expand(png);
    png_set_strip_16(png);
    png_set_gray_to_rgb(png);
    png_set_add_alpha(png, kFullChannel, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (png_get_rowbytes(png, info) != static_cast<size_t>(width) * 4)
        png_error(png, "unexpected layout");

    pixels = AllocatePixels(width, height);
    rows = static_cast<png_bytep *>(std::malloc(height * sizeof(png_bytep)));
    if (pixels == nullptr || rows == nullptr)
        png_error(png, "out of memory");
    for (uint32_t y = 0; y < height; y++)
        rows[y] = reinterpret_cast<png_bytep>(pixels + static_cast<size_t>(y) * width);
    png_read_image(png, rows);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::free(rows);

    // Bytes red, green, blue, alpha to 0xAARRGGBB, pixel by pixel in place.
    uint8_t *bytes = reinterpret_cast<uint8_t *>(pixels);
    size_t count = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < count; i++) {
        const uint8_t *p = bytes + i * 4;
        pixels[i] = Argb(p[3], p[0], p[1], p[2]);
    }
    photo->width = width;
    photo->height = height;
    photo->argb = pixels;
    return kLoadDone;
}

// JPEG -------------------------------------------------------------------

struct JpegErrors {
    jpeg_error_mgr manager;  // first, so that the library's pointer is ours
    jmp_buf jump;
};

static void JpegExit(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegErrors *>(info->err)->jump, 1); }

// Warnings are not printed. A file that ends before its picture does is
// refused at once: the library would fill the rest with grey and go on, and
// a few bytes claiming 2048 x 2048 pixels would cost a whole decode.
static void JpegMessage(j_common_ptr info, int level)
{
    if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
        JpegExit(info);
}

static void JpegProgress(j_common_ptr info)
{
    if (info->is_decompressor &&
        reinterpret_cast<j_decompress_ptr>(info)->input_scan_number > kMaxJpegScans)
        JpegExit(info);
}

// The library's output layout whose four bytes a pixel read as one uint32_t
// on this host are 0xAARRGGBB with alpha 255: its colour conversion (or, for
// grey, the replication into red, green and blue) writes the photo's pixels
// directly, with the same arithmetic as its plain RGB output.
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
static const J_COLOR_SPACE kJpegArgbSpace = JCS_EXT_BGRA;
#else
static const J_COLOR_SPACE kJpegArgbSpace = JCS_EXT_ARGB;
#endif
// Bytes per pixel of both the ARGB layout and CMYK, which is why a CMYK row
// can be decoded into the photo's own row and converted in place.
static const int kJpegPixelBytes = 4;
// Rows asked for per call (rows): the library hands out at most one row of
// blocks, 16 rows with vertically subsampled chroma, per call.
static const uint32_t kJpegBatchRows = 16;

// A CMYK pixel to red, green and blue the way the Windows image library does
// it: Adobe's files store the inks inverted, and each channel is
// (255 - ink) * (255 - black) / 255, truncated.
static uint32_t CmykArgb(const uint8_t *ink, int inverted)
{
    uint32_t c = inverted ? kFullChannel - ink[0] : ink[0];
    uint32_t m = inverted ? kFullChannel - ink[1] : ink[1];
    uint32_t y = inverted ? kFullChannel - ink[2] : ink[2];
    uint32_t k = inverted ? kFullChannel - ink[3] : ink[3];
    uint32_t white = kFullChannel - k;
    return Argb(kFullChannel, (kFullChannel - c) * white / kFullChannel, (kFullChannel - m) * white / kFullChannel,
                (kFullChannel - y) * white / kFullChannel);
}

// A row of width CMYK pixels, four bytes each, to 0xAARRGGBB in place: each
// pixel's four bytes are read before they are written.
static void CmykRowToArgb(uint32_t *row, uint32_t width, int inverted)
{
    for (uint32_t x = 0; x < width; x++) {
        uint8_t ink[kJpegPixelBytes];
        std::memcpy(ink, row + x, sizeof ink);
        row[x] = CmykArgb(ink, inverted);
    }
}

static LoadStatus DecodeJpeg(Source *source, Photo *photo)
{
    jpeg_decompress_struct info;
    JpegErrors errors;
    jpeg_progress_mgr progress;
    info.err = jpeg_std_error(&errors.manager);
    errors.manager.error_exit = JpegExit;
    errors.manager.emit_message = JpegMessage;
    uint32_t *volatile pixels = nullptr;
    if (setjmp(errors.jump)) {
        std::free(pixels);
        jpeg_destroy_decompress(&info);
        return kLoadFailed;
    }
    jpeg_create_decompress(&info);
    progress.progress_monitor = JpegProgress;
    info.progress = &progress;
    jpeg_mem_src(&info, source->bytes, static_cast<unsigned long>(source->count));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&info);
        return kLoadFailed;
    }
    LoadStatus sized = CheckDecodedSize(source, info.image_width, info.image_height);
    if (sized != kLoadDone) {
        jpeg_destroy_decompress(&info);
        return sized;
    }
    int cmyk = info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK;
    info.out_color_space = cmyk ? JCS_CMYK : kJpegArgbSpace;
    jpeg_start_decompress(&info);
    uint32_t width = info.output_width;
    uint32_t height = info.output_height;
    if (width != info.image_width || height != info.image_height || info.output_components != kJpegPixelBytes)
        JpegExit(reinterpret_cast<j_common_ptr>(&info));
    pixels = AllocatePixels(width, height);
    if (pixels == nullptr)
        JpegExit(reinterpret_cast<j_common_ptr>(&info));
    // The planned rows go to intake right after the library wrote them, still
    // in cache; read again after the whole photo, they come from memory.
    int transfer = source->transfer && PassesSizeRules(width, height) && BeginTransfer(width, height);
    uint32_t planned = 0;  // index of the next planned row to transfer
    while (info.output_scanline < height) {
        uint32_t first = info.output_scanline;
        uint32_t asked = height - first < kJpegBatchRows ? height - first : kJpegBatchRows;
        JSAMPROW rows[kJpegBatchRows];
        for (uint32_t i = 0; i < asked; i++)
            rows[i] = reinterpret_cast<JSAMPROW>(pixels + static_cast<size_t>(first + i) * width);
        JDIMENSION got = jpeg_read_scanlines(&info, rows, asked);
        if (got == 0 || got > asked)
            JpegExit(reinterpret_cast<j_common_ptr>(&info));
        if (cmyk)
            for (uint32_t i = 0; i < got; i++)
                CmykRowToArgb(pixels + static_cast<size_t>(first + i) * width, width, info.saw_Adobe_marker);
        if (transfer)
            planned = TransferRowsBefore(pixels, width, planned, first + got);
    }
    if (transfer)
        EndTransfer();
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    source->transferred = transfer;
    photo->width = width;
    photo->height = height;
    photo->argb = pixels;
    return kLoadDone;
}

// GIF --------------------------------------------------------------------

static int GifRead(GifFileType *gif, GifByteType *out, int length)
{
    return static_cast<int>(ReadSource(static_cast<Source *>(gif->UserData), out, length));
}

// Graphic control extension: block size (1), flags (1), delay (2), index (1).
static const int kGifControlSize = 4;
static const int kGifControlFlagsAt = 1;
static const int kGifControlIndexAt = 4;
static const GifByteType kGifTransparentFlag = 0x01;
// Interlaced rows come in four passes: from these rows, in these steps.
static const uint32_t kGifPassStart[] = {0, 4, 2, 1};
static const uint32_t kGifPassStep[] = {8, 8, 4, 2};

// Reads the records up to the first image and decodes that image alone, at
// its own size and wherever it lies on the logical screen, as the Windows
// image library hands out a one-image GIF; the rest of the file is never read.
static LoadStatus DecodeGifFrame(GifFileType *gif, Source *source, Photo *photo)
{
    int transparent = -1;
    GifRecordType record;
    do {
        if (DGifGetRecordType(gif, &record) != GIF_OK)
            return kLoadFailed;
        if (record == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType *block = nullptr;
            if (DGifGetExtension(gif, &code, &block) != GIF_OK)
                return kLoadFailed;
            if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= kGifControlSize)
                transparent = (block[kGifControlFlagsAt] & kGifTransparentFlag) ? block[kGifControlIndexAt] : -1;
            while (block != nullptr)
                if (DGifGetExtensionNext(gif, &block) != GIF_OK)
                    return kLoadFailed;
        } else if (record == TERMINATE_RECORD_TYPE) {
            return kLoadFailed;
        }
    } while (record != IMAGE_DESC_RECORD_TYPE);
    if (DGifGetImageDesc(gif) != GIF_OK)
        return kLoadFailed;

    const GifImageDesc &frame = gif->Image;
    if (frame.Width <= 0 || frame.Height <= 0)
        return kLoadFailed;
    uint32_t width = static_cast<uint32_t>(frame.Width);
    uint32_t height = static_cast<uint32_t>(frame.Height);
    LoadStatus sized = CheckDecodedSize(source, width, height);
    if (sized != kLoadDone)
        return sized;
    const ColorMapObject *palette = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
    if (palette == nullptr || palette->Colors == nullptr)
        return kLoadFailed;

    std::vector<GifPixelType> line(width);
    uint32_t *pixels = AllocatePixels(width, height);
    if (pixels == nullptr)
        return kLoadFailed;
    uint32_t passes = frame.Interlace ? 4 : 1;
    for (uint32_t pass = 0; pass < passes; pass++) {
        uint32_t start = frame.Interlace ? kGifPassStart[pass] : 0;
        uint32_t step = frame.Interlace ? kGifPassStep[pass] : 1;
        for (uint32_t y = start; y < height; y += step) {
            if (DGifGetLine(gif, line.data(), frame.Width) != GIF_OK) {
                std::free(pixels);
                return kLoadFailed;
            }
            uint32_t *out = pixels + static_cast<size_t>(y) * width;
            for (uint32_t x = 0; x < width; x++) {
                int index = line[x];
                out[x] = 0;  // an index beyond the palette: transparent black
                if (index < palette->ColorCount) {
                    const GifColorType &entry = palette->Colors[index];
                    out[x] = Argb(index == transparent ? 0 : kFullChannel, entry.Red, entry.Green, entry.Blue);
                }
            }
        }
    }
    photo->width = width;
    photo->height = height;
    photo->argb = pixels;
    return kLoadDone;
}

static LoadStatus DecodeGif(Source *source, Photo *photo)
{
    int error = 0;
    GifFileType *gif = DGifOpen(source, GifRead, &error);
    if (gif == nullptr)
        return kLoadFailed;
    LoadStatus result = DecodeGifFrame(gif, source, photo);
    DGifCloseFile(gif, &error);
    return result;
}

// TIFF -------------------------------------------------------------------

static tmsize_t TiffRead(thandle_t handle, void *out, tmsize_t length)
{
    return static_cast<tmsize_t>(ReadSource(static_cast<Source *>(handle), out, length));
}

static tmsize_t TiffWrite(thandle_t, void *, tmsize_t) { return 0; }

static toff_t TiffSeek(thandle_t handle, toff_t offset, int whence)
{
    Source *source = static_cast<Source *>(handle);
    toff_t base = whence == SEEK_CUR ? source->at : whence == SEEK_END ? source->count : 0;
    // Past the end is allowed, as for a file; reads there return nothing.
    source->at = static_cast<size_t>(base + offset);
    return source->at;
}

static int TiffClose(thandle_t) { return 0; }

static toff_t TiffSize(thandle_t handle) { return static_cast<Source *>(handle)->count; }

static int TiffMap(thandle_t, void **, toff_t *) { return 0; }

static void TiffUnmap(thandle_t, void *, toff_t) {}

static int TiffQuiet(TIFF *, void *, const char *, const char *, va_list) { return 1; }

// Whether the first directory is plain rows of 8- or 16-bit unsigned
// samples, grey or red-green-blue with at most an unassociated alpha, top row
// first: those are read row by row and each sample keeps its high byte, as
// the Windows library does (libtiff's RGBA reader rounds 16-bit samples and
// premultiplies alpha).
static int TiffPlainRows(TIFF *tiff, uint16_t *samples, uint16_t *bits)
{
    uint16_t planar = 0, photometric = 0, format = SAMPLEFORMAT_UINT, orientation = ORIENTATION_TOPLEFT;
    uint16_t extraCount = 0;
    uint16_t *extra = nullptr;
    if (TIFFIsTiled(tiff) || !TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar) ||
        planar != PLANARCONFIG_CONTIG || !TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) ||
        !TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, samples) ||
        !TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, bits))
        return 0;
    TIFFGetField(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetField(tiff, TIFFTAG_ORIENTATION, &orientation);
    TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extraCount, &extra);
    if (format != SAMPLEFORMAT_UINT || orientation != ORIENTATION_TOPLEFT || (*bits != 8 && *bits != 16))
        return 0;
    if (photometric == PHOTOMETRIC_MINISBLACK)
        return *samples == 1;
    return photometric == PHOTOMETRIC_RGB &&
           (*samples == 3 ||
            (*samples == 4 && extraCount == 1 && extra != nullptr && extra[0] == EXTRASAMPLE_UNASSALPHA));
}

static int ReadTiffRows(TIFF *tiff, uint32_t width, uint32_t height, uint16_t samples, uint16_t bits,
                        uint32_t *pixels)
{
    tmsize_t rowBytes = TIFFScanlineSize(tiff);
    size_t bytes = bits / 8;
    if (rowBytes <= 0 || static_cast<size_t>(rowBytes) < static_cast<size_t>(width) * samples * bytes)
        return 0;
    std::vector<uint8_t> row(static_cast<size_t>(rowBytes));
    for (uint32_t y = 0; y < height; y++) {
        if (TIFFReadScanline(tiff, row.data(), y, 0) < 0)
            return 0;
        uint32_t *out = pixels + static_cast<size_t>(y) * width;
        for (uint32_t x = 0; x < width; x++) {
            uint32_t channel[4] = {0, 0, 0, 0};
            for (uint16_t c = 0; c < samples; c++) {
                // 16-bit samples come in the host's order: the high byte.
                const uint8_t *at = row.data() + (static_cast<size_t>(x) * samples + c) * bytes;
                uint16_t wide = 0;
                if (bytes == 2)
                    std::memcpy(&wide, at, sizeof wide);
                channel[c] = bytes == 2 ? static_cast<uint32_t>(wide >> 8) : at[0];
            }
            out[x] = samples == 1 ? Argb(kFullChannel, channel[0], channel[0], channel[0])
                                  : Argb(samples == 4 ? channel[3] : kFullChannel, channel[0], channel[1], channel[2]);
        }
    }
    return 1;
}

// Every other layout through libtiff's RGBA reader, which takes it to 8-bit
// channels (packed 0xAABBGGRR).
static int ReadTiffRgba(TIFF *tiff, uint32_t width, uint32_t height, uint32_t *pixels)
{
    char message[1024];
    if (!TIFFRGBAImageOK(tiff, message) ||
        !TIFFReadRGBAImageOriented(tiff, width, height, pixels, ORIENTATION_TOPLEFT, 1))
        return 0;
    size_t count = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < count; i++) {
        uint32_t p = pixels[i];
        pixels[i] = Argb(TIFFGetA(p), TIFFGetR(p), TIFFGetG(p), TIFFGetB(p));
    }
    return 1;
}

// The first directory only.
static LoadStatus DecodeTiff(Source *source, Photo *photo)
{
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (options == nullptr)
        return kLoadFailed;
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, kMaxTiffAllocation);
    TIFFOpenOptionsSetErrorHandlerExtR(options, TiffQuiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(options, TiffQuiet, nullptr);
    TIFF *tiff = TIFFClientOpenExt("photo", "rm", source, TiffRead, TiffWrite, TiffSeek, TiffClose, TiffSize,
                                   TiffMap, TiffUnmap, options);
    TIFFOpenOptionsFree(options);
    if (tiff == nullptr)
        return kLoadFailed;
    uint32_t width = 0, height = 0;
    LoadStatus result = kLoadFailed;
    if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) == 1 && TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height) == 1)
        result = CheckDecodedSize(source, width, height);
    uint32_t *pixels = result == kLoadDone ? AllocatePixels(width, height) : nullptr;
    if (result == kLoadDone) {
        uint16_t samples = 0, bits = 0;
        int read = pixels != nullptr && (TiffPlainRows(tiff, &samples, &bits)
                                             ? ReadTiffRows(tiff, width, height, samples, bits, pixels)
                                             : ReadTiffRgba(tiff, width, height, pixels));
        if (!read)
            result = kLoadFailed;
    }
    TIFFClose(tiff);
    if (result != kLoadDone) {
        std::free(pixels);
        return result;
    }
    photo->width = width;
    photo->height = height;
    photo->argb = pixels;
    return kLoadDone;
}

// The file ---------------------------------------------------------------

static LoadStatus DecodeSource(Source *source, Photo *photo)
{
    const uint8_t *bytes = source->bytes;
    size_t count = source->count;
    if (StartsWith(bytes, count, kPngSignature, sizeof kPngSignature))
        return DecodePng(source, photo);
    if (StartsWith(bytes, count, kJpegSignature, sizeof kJpegSignature))
        return DecodeJpeg(source, photo);
    if (StartsWith(bytes, count, kGifSignature, sizeof kGifSignature))
        return DecodeGif(source, photo);
    if (StartsWith(bytes, count, kTiffLittle, sizeof kTiffLittle) || StartsWith(bytes, count, kTiffBig, sizeof kTiffBig))
        return DecodeTiff(source, photo);
    // BMP and everything else: no decoder here.
    return kLoadFailed;
}

// The part of the file the dialog reads before decoding: kHeaderBytes, for a
// GIF up to kGifStartBytes.
static size_t StartBytes(const uint8_t *bytes, size_t count)
{
    size_t start = StartsWith(bytes, count, kGifSignature, 3) ? kGifStartBytes : kHeaderBytes;
    return count < start ? count : start;
}

// DecodePhotoBytes, and with transfer 1 DecodeAndTransferPhotoBytes.
static LoadStatus DecodeBytes(const uint8_t *bytes, size_t count, int transfer, Photo *photo, int *transferred)
{
    if (photo == nullptr || (bytes == nullptr && count != 0))
        return kLoadFailed;
    size_t start = StartBytes(bytes, count);
    if (RejectedByHeader(bytes, start))
        return kLoadRejected;

    Source source = {bytes, count, 0, 0, 0, transfer, 0};
    // Of an animated GIF only the first image, cut from a copy of the start.
    // Its size is its own, within the screen that the header claims.
    std::vector<uint8_t> gif;
    if (!StartsWith(bytes, count, kGifSignature, sizeof kGifSignature)) {
        ReadHeaderSize(bytes, start, &source.claimedWidth, &source.claimedHeight);
    } else {
        gif.assign(bytes, bytes + start);
        size_t cut = CutGifAfterFirstImage(gif.data(), gif.size());
        if (cut != 0) {
            source.bytes = gif.data();
            source.count = cut;
        }
    }
    Photo decoded = {};
    decoded.exif.focalPlaneResolutionUnit = kDefaultResolutionUnit;
    LoadStatus result = DecodeSource(&source, &decoded);
    if (result != kLoadDone)
        return result;
    ReadPhotoExif(bytes, count, &decoded.exif);
    *photo = decoded;
    *transferred = source.transferred;
    return kLoadDone;
}

LoadStatus DecodePhotoBytes(const uint8_t *bytes, size_t count, Photo *photo)
{
    int transferred = 0;
    return DecodeBytes(bytes, count, 0, photo, &transferred);
}

LoadStatus DecodeAndTransferPhotoBytes(const uint8_t *bytes, size_t count, Photo *photo, int *transferred)
{
    if (transferred == nullptr)
        return kLoadFailed;
    return DecodeBytes(bytes, count, 1, photo, transferred);
}

// Reads the whole file, up to one byte beyond kMaxFileBytes; 0 when the path
// is not a readable regular file.
// Only a regular file is read. Opening a named pipe waits for a writer that
// may never come, so the path is looked at before it is opened; and opened
// without waiting, so that a pipe put in the file's place between the look
// and the open does not block either, and looked at again once open.
static int ReadWholeFile(const char *path, std::vector<uint8_t> *bytes)
{
    struct stat status;
    if (stat(path, &status) != 0 || !S_ISREG(status.st_mode))
        return 0;
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK);
    if (descriptor < 0)
        return 0;
    const int flags = fcntl(descriptor, F_GETFL);
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || flags < 0 ||
        fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        close(descriptor);
        return 0;
    }
    FILE *file = fdopen(descriptor, "rb");
    if (file == nullptr) {
        close(descriptor);
        return 0;
    }
    std::vector<uint8_t> read;
    int ok = 1;
    // The first read asks for the size the file has now and one byte more,
    // so that a whole file comes in one read with no room cleared beyond it;
    // a file that grew meanwhile goes on in chunks.
    size_t chunk = static_cast<size_t>(status.st_size) < kMaxFileBytes ? static_cast<size_t>(status.st_size) + 1
                                                                        : kReadChunkBytes;
    while (read.size() <= kMaxFileBytes) {
        size_t at = read.size();
        read.resize(at + chunk);
        size_t got = std::fread(read.data() + at, 1, chunk, file);
        read.resize(at + got);
        if (got < chunk) {
            ok = !std::ferror(file);
            break;
        }
        chunk = kReadChunkBytes;
    }
    std::fclose(file);
    if (!ok)
        return 0;
    bytes->swap(read);
    return 1;
}

// DecodePhoto, and with transfer 1 DecodeAndTransferPhoto.
static LoadStatus DecodeFile(const char *path, int transfer, Photo *photo, int *transferred)
{
    if (path == nullptr || photo == nullptr)
        return kLoadFailed;
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, &bytes))
        return kLoadFailed;
    if (bytes.size() > kMaxFileBytes)
        return RejectedByHeader(bytes.data(), StartBytes(bytes.data(), bytes.size())) ? kLoadRejected : kLoadFailed;
    return DecodeBytes(bytes.data(), bytes.size(), transfer, photo, transferred);
}

LoadStatus DecodePhoto(const char *path, Photo *photo)
{
    int transferred = 0;
    return DecodeFile(path, 0, photo, &transferred);
}

LoadStatus DecodeAndTransferPhoto(const char *path, Photo *photo, int *transferred)
{
    if (transferred == nullptr)
        return kLoadFailed;
    return DecodeFile(path, 1, photo, transferred);
}
