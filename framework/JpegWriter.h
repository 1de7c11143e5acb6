// JPEG pictures through libjpeg: writing a bitmap (the screenshot's second
// format) and reading one back, so callers and tests can check what was
// written is a picture.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zr {

class TBitmap;

constexpr int kDefaultJpegQuality = 90;

// A baseline JPEG of the bitmap in 24-bit colour. An empty bitmap or a
// failure of the encoder raises EInvalidGraphicOperation.
std::vector<std::uint8_t> EncodeJpeg(const TBitmap& bitmap, int quality = kDefaultJpegQuality);
// The same, written to a file (EFCreateError when it cannot be made).
void SaveJpegToFile(const TBitmap& bitmap, const std::string& fileName,
                    int quality = kDefaultJpegQuality);

// Decodes a JPEG into a 24-bit bitmap; bad or damaged data raises EInvalidGraphic
// "JPEG image is not valid".
void DecodeJpeg(std::span<const std::uint8_t> bytes, TBitmap& bitmap);

}  // namespace zr
