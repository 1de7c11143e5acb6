// Windows bitmap (BMP/DIB) reading and writing, kept apart from TBitmap so the
// file format can be tested and fuzzed on its own. Every reader checks each
// size against the bytes it was given before it touches them: bad input
// raises EInvalidGraphic "Bitmap image is not valid" and never reads out of
// bounds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zr {

// A palette entry in the order the file stores it.
struct TBmpRgbQuad {
    std::uint8_t Blue = 0;
    std::uint8_t Green = 0;
    std::uint8_t Red = 0;
    std::uint8_t Reserved = 0;
    bool operator==(const TBmpRgbQuad&) const = default;
};

// A device-independent picture: the pixels in the file's own layout (rows
// padded to 4 bytes) but stored top-down, so row 0 is the top row.
struct TDibImage {
    int Width = 0;
    int Height = 0;
    int BitsPerPixel = 24;             // 1, 4, 8, 16, 24 or 32
    bool Rgb565 = false;               // 16 bits per pixel: 5-6-5 instead of 5-5-5
    std::vector<TBmpRgbQuad> Palette;  // 1 to 8 bits per pixel: at most 2^bits entries
    std::vector<std::uint8_t> Bits;

    std::size_t RowSize() const;
    std::uint8_t* Row(int y) { return Bits.data() + RowSize() * static_cast<std::size_t>(y); }
    const std::uint8_t* Row(int y) const {
        return Bits.data() + RowSize() * static_cast<std::size_t>(y);
    }
    // Sizes the pixel store (zeroed); EOutOfResources when it cannot be had.
    void Allocate(int width, int height, int bitsPerPixel);
    bool operator==(const TDibImage&) const = default;
};

// Bytes in one row of `width` pixels, padded to 4 bytes; 0 on overflow.
std::size_t DibRowSize(std::uint64_t width, int bitsPerPixel);

// A .bmp file: BITMAPFILEHEADER, then an info header of any known version
// (core, 40-byte info, V2 to V5), the palette or colour masks, the pixels
// bottom-up or top-down, uncompressed or as bit fields. RLE is refused.
TDibImage ReadBmpFile(std::span<const std::uint8_t> bytes);
// A packed DIB as a bitmap resource holds it: the info header first. A file
// that begins with "BM" is read as a .bmp file.
TDibImage ReadPackedDib(std::span<const std::uint8_t> bytes);
// An icon image: an info header whose height counts the colour rows and the
// 1-bit mask rows, the colour pixels, then the mask (returned in `mask` as a
// 1-bit image, 1 = transparent).
TDibImage ReadIconDib(std::span<const std::uint8_t> bytes, TDibImage& mask);

// BITMAPFILEHEADER + BITMAPINFOHEADER, the palette (only its used entries),
// bottom-up rows. 16-bit 5-6-5 pictures carry their colour masks.
std::vector<std::uint8_t> WriteBmpFile(const TDibImage& image);
// The icon image form read by ReadIconDib.
std::vector<std::uint8_t> WriteIconDib(const TDibImage& image, const TDibImage& mask);

}  // namespace zr
