#include "framework/JpegWriter.h"

// jpeglib.h needs the declarations of stdio.h first.
#include <cstdio>
#include <csetjmp>
#include <jpeglib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "framework/ByteFile.h"
#include "framework/Exceptions.h"
#include "framework/Graphics.h"

namespace zr {

namespace {

// libjpeg ends the process on an error unless told otherwise; it is C, so
// the way out is a long jump back to the call, never an exception through it.
struct ErrorTrap {
    jpeg_error_mgr manager{};
    std::jmp_buf jump{};
    char message[JMSG_LENGTH_MAX] = {};
    int warnings = 0;  // corrupt data that libjpeg would quietly patch over
};

void JumpOut(j_common_ptr info) {
    auto* trap = reinterpret_cast<ErrorTrap*>(info->err);
    (*info->err->format_message)(info, trap->message);
    std::longjmp(trap->jump, 1);
}

void CountWarning(j_common_ptr info, int level) {
    if (level < 0) ++reinterpret_cast<ErrorTrap*>(info->err)->warnings;
}

void InstallTrap(ErrorTrap& trap, j_common_ptr info) {
    info->err = jpeg_std_error(&trap.manager);
    trap.manager.error_exit = JumpOut;
    trap.manager.emit_message = CountWarning;
}

// Rows of the bitmap as RGB triples, whatever its pixel format.
std::vector<JSAMPLE> RgbRows(const TBitmap& bitmap) {
    const int w = bitmap.Width(), h = bitmap.Height();
    std::vector<JSAMPLE> rgb(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3);
    std::size_t i = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const TColor c = bitmap.Pixels(x, y);
            rgb[i++] = static_cast<JSAMPLE>(GetRValue(c));
            rgb[i++] = static_cast<JSAMPLE>(GetGValue(c));
            rgb[i++] = static_cast<JSAMPLE>(GetBValue(c));
        }
    }
    return rgb;
}

// The encoder proper: no C++ object with a destructor lives across the
// points where libjpeg may jump back.
bool Compress(const JSAMPLE* rgb, int width, int height, int quality, unsigned char** out,
              unsigned long* outSize, char* message) {
    jpeg_compress_struct info{};
    ErrorTrap trap;
    InstallTrap(trap, reinterpret_cast<j_common_ptr>(&info));
    if (setjmp(trap.jump)) {
        std::strcpy(message, trap.message);
        jpeg_destroy_compress(&info);
        return false;
    }
    jpeg_create_compress(&info);
    jpeg_mem_dest(&info, out, outSize);
    info.image_width = static_cast<JDIMENSION>(width);
    info.image_height = static_cast<JDIMENSION>(height);
    info.input_components = 3;
    info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&info);
    jpeg_set_quality(&info, quality, TRUE);
    jpeg_start_compress(&info, TRUE);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    while (info.next_scanline < info.image_height) {
        JSAMPROW row = const_cast<JSAMPLE*>(rgb + stride * info.next_scanline);
        jpeg_write_scanlines(&info, &row, 1);
    }
    jpeg_finish_compress(&info);
    jpeg_destroy_compress(&info);
    return true;
}

bool Decompress(const unsigned char* data, unsigned long size, std::vector<JSAMPLE>& rgb,
                int& width, int& height) {
    jpeg_decompress_struct info{};
    ErrorTrap trap;
    InstallTrap(trap, reinterpret_cast<j_common_ptr>(&info));
    if (setjmp(trap.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, data, size);
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    width = static_cast<int>(info.output_width);
    height = static_cast<int>(info.output_height);
    rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = rgb.data() + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return trap.warnings == 0;  // a picture patched over is no faithful picture
}

}  // namespace

std::vector<std::uint8_t> EncodeJpeg(const TBitmap& bitmap, int quality) {
    if (bitmap.Empty()) throw EInvalidGraphicOperation("Cannot save an empty picture as JPEG");
    // The format's limit: 65500 pixels a side.
    if (bitmap.Width() > JPEG_MAX_DIMENSION || bitmap.Height() > JPEG_MAX_DIMENSION)
        throw EInvalidGraphicOperation("Picture is too large for JPEG");
    const std::vector<JSAMPLE> rgb = RgbRows(bitmap);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    char message[JMSG_LENGTH_MAX] = {};
    const bool ok = Compress(rgb.data(), bitmap.Width(), bitmap.Height(),
                             std::clamp(quality, 1, 100), &out, &outSize, message);
    std::vector<std::uint8_t> bytes;
    if (ok && out) bytes.assign(out, out + outSize);
    std::free(out);
    if (!ok) throw EInvalidGraphicOperation(std::string("JPEG error: ") + message);
    return bytes;
}

void SaveJpegToFile(const TBitmap& bitmap, const std::string& fileName, int quality) {
    const std::vector<std::uint8_t> bytes = EncodeJpeg(bitmap, quality);
    SaveBytesToFile(fileName, bytes);
}

void DecodeJpeg(std::span<const std::uint8_t> bytes, TBitmap& bitmap) {
    std::vector<JSAMPLE> rgb;
    int width = 0, height = 0;
    if (bytes.empty() ||
        !Decompress(bytes.data(), static_cast<unsigned long>(bytes.size()), rgb, width, height))
        throw EInvalidGraphic("JPEG image is not valid");
    TDibImage image;
    image.Allocate(width, height, 24);
    for (int y = 0; y < height; ++y) {
        const JSAMPLE* src = rgb.data() + static_cast<std::size_t>(y) * width * 3;
        std::uint8_t* dst = image.Row(y);
        for (int x = 0; x < width; ++x) {
            dst[3 * x] = src[3 * x + 2];
            dst[3 * x + 1] = src[3 * x + 1];
            dst[3 * x + 2] = src[3 * x];
        }
    }
    bitmap.SetImage(std::move(image), pf24bit);
}

}  // namespace zr
