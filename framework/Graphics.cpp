#include "framework/Graphics.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <unordered_map>

#include "framework/ByteFile.h"
#include "framework/FileStream.h"
#include "platform/FileContent.h"
#include "platform/ScreenCapture.h"

namespace zr {

// ---- colours ----------------------------------------------------------------

TColor ColorToRGB(TColor color) {
    if (color >= 0) return color;
    // The classic default scheme, indexed by COLOR_ value.
    static constexpr std::array<TColor, 31> kScheme = {
        RGB(200, 200, 200), RGB(0, 128, 128),   RGB(10, 36, 106),   RGB(128, 128, 128),
        RGB(212, 208, 200), RGB(255, 255, 255), RGB(0, 0, 0),       RGB(0, 0, 0),
        RGB(0, 0, 0),       RGB(255, 255, 255), RGB(212, 208, 200), RGB(212, 208, 200),
        RGB(128, 128, 128), RGB(10, 36, 106),   RGB(255, 255, 255), RGB(212, 208, 200),
        RGB(128, 128, 128), RGB(128, 128, 128), RGB(0, 0, 0),       RGB(212, 208, 200),
        RGB(255, 255, 255), RGB(64, 64, 64),    RGB(212, 208, 200), RGB(0, 0, 0),
        RGB(255, 255, 225), RGB(181, 181, 181), RGB(0, 0, 128),     RGB(166, 202, 240),
        RGB(192, 192, 192), RGB(49, 106, 197),  RGB(236, 233, 216)};
    const std::size_t index = static_cast<std::uint32_t>(color) & 0xFF;
    return index < kScheme.size() ? kScheme[index] : clBlack;
}

// ---- TGraphic ----------------------------------------------------------------

ZR_REGISTER_CLASS(TGraphic, c) {
    c.Property("Data", &TGraphic::Data, &TGraphic::SetData).Stored(&TGraphic::HasData);
}

void TGraphic::SetData(const std::vector<std::uint8_t>& data) {
    LoadFromBytes(data);
}

void TGraphic::SetTransparent(bool value) {
    if (value == transparent_) return;
    transparent_ = value;
    Changed();
}

void TGraphic::Changed() {
    modified_ = true;
    if (onChange_) onChange_(this);
}

void TGraphic::LoadFromStream(TStream& stream) {
    const std::int64_t left = std::max<std::int64_t>(stream.Size() - stream.Position(), 0);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(left));
    stream.ReadBuffer(bytes.data(), left);
    LoadFromBytes(bytes);
}

void TGraphic::SaveToStream(TStream& stream) const {
    const std::vector<std::uint8_t> bytes = SaveToBytes();
    stream.WriteBuffer(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

void TGraphic::LoadFromStream(std::istream& stream) {
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(stream)),
                                    std::istreambuf_iterator<char>());
    LoadFromBytes(bytes);
}

void TGraphic::SaveToStream(std::ostream& stream) const {
    const std::vector<std::uint8_t> bytes = SaveToBytes();
    stream.write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
    if (!stream) throw EWriteError("Stream write error");
}

void TGraphic::LoadFromFile(const std::string& fileName) {
    std::string bytes;
    if (!os::ReadFileContent(fileName, bytes))
        throw EFOpenError("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
    LoadFromBytes(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

void TGraphic::SaveToFile(const std::string& fileName) const {
    const std::vector<std::uint8_t> bytes = SaveToBytes();  // fails before the file is touched
    SaveBytesToFile(fileName, bytes);
}

// ---- pixels ------------------------------------------------------------------

namespace {

int BitsOf(TPixelFormat format) {
    switch (format) {
        case pf1bit:
            return 1;
        case pf4bit:
            return 4;
        case pf8bit:
            return 8;
        case pf15bit:
        case pf16bit:
            return 16;
        case pf24bit:
            return 24;
        case pf32bit:
            return 32;
        default:
            return 0;
    }
}

TPixelFormat FormatOf(const TDibImage& image) {
    switch (image.BitsPerPixel) {
        case 1:
            return pf1bit;
        case 4:
            return pf4bit;
        case 8:
            return pf8bit;
        case 16:
            return image.Rgb565 ? pf16bit : pf15bit;
        case 24:
            return pf24bit;
        case 32:
            return pf32bit;
        default:
            return pfCustom;
    }
}

TBmpRgbQuad Quad(TColor c) {
    return {static_cast<std::uint8_t>(GetBValue(c)), static_cast<std::uint8_t>(GetGValue(c)),
            static_cast<std::uint8_t>(GetRValue(c)), 0};
}

TColor ColourOf(const TBmpRgbQuad& q) {
    return RGB(q.Red, q.Green, q.Blue);
}

// The 16 colours every palette starts with, in the display's usual order.
constexpr std::array<TColor, 16> kBaseColours = {
    clBlack, clMaroon, clGreen, clOlive,  clNavy, clPurple,  clTeal, clSilver,
    clGray,  clRed,    clLime,  clYellow, clBlue, clFuchsia, clAqua, clWhite};

std::vector<TBmpRgbQuad> DefaultPalette(int bits) {
    std::vector<TBmpRgbQuad> palette;
    if (bits == 1) return {Quad(clBlack), Quad(clWhite)};
    for (TColor c : kBaseColours) palette.push_back(Quad(c));
    if (bits == 4) return palette;
    // 256 colours: a 6x6x6 colour cube and a ramp of greys.
    for (int r = 0; r < 6; ++r)
        for (int g = 0; g < 6; ++g)
            for (int b = 0; b < 6; ++b) palette.push_back(Quad(RGB(r * 51, g * 51, b * 51)));
    for (int i = 1; palette.size() < 256; ++i) {
        const int v = i * 255 / 25;
        palette.push_back(Quad(RGB(v, v, v)));
    }
    return palette;
}

int IndexAt(const std::uint8_t* row, int x, int bits) {
    switch (bits) {
        case 1:
            return (row[x >> 3] >> (7 - (x & 7))) & 1;
        case 4:
            return (x & 1) ? row[x >> 1] & 0x0F : row[x >> 1] >> 4;
        default:
            return row[x];
    }
}

void SetIndexAt(std::uint8_t* row, int x, int bits, int index) {
    switch (bits) {
        case 1: {
            const std::uint8_t bit = static_cast<std::uint8_t>(0x80 >> (x & 7));
            row[x >> 3] = static_cast<std::uint8_t>(index ? row[x >> 3] | bit : row[x >> 3] & ~bit);
            break;
        }
        case 4:
            row[x >> 1] = (x & 1) ? static_cast<std::uint8_t>((row[x >> 1] & 0xF0) | (index & 0x0F))
                                  : static_cast<std::uint8_t>((row[x >> 1] & 0x0F) | (index << 4));
            break;
        default:
            row[x] = static_cast<std::uint8_t>(index);
    }
}

int Scale5(int v) {
    return (v * 255 + 15) / 31;
}
int Scale6(int v) {
    return (v * 255 + 31) / 63;
}

TColor ReadPixel(const TDibImage& image, int x, int y) {
    const std::uint8_t* row = image.Row(y);
    switch (image.BitsPerPixel) {
        case 1:
        case 4:
        case 8: {
            const auto index = static_cast<std::size_t>(IndexAt(row, x, image.BitsPerPixel));
            return index < image.Palette.size() ? ColourOf(image.Palette[index]) : clBlack;
        }
        case 16: {
            const int v = row[2 * x] | (row[2 * x + 1] << 8);
            if (image.Rgb565) return RGB(Scale5(v >> 11), Scale6((v >> 5) & 63), Scale5(v & 31));
            return RGB(Scale5((v >> 10) & 31), Scale5((v >> 5) & 31), Scale5(v & 31));
        }
        case 24:
            return RGB(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
        case 32:
            return RGB(row[4 * x + 2], row[4 * x + 1], row[4 * x]);
        default:
            return clBlack;
    }
}

int NearestIndex(const std::vector<TBmpRgbQuad>& palette, TColor c) {
    int best = 0;
    long bestDistance = -1;
    for (std::size_t i = 0; i < palette.size(); ++i) {
        const long dr = palette[i].Red - GetRValue(c);
        const long dg = palette[i].Green - GetGValue(c);
        const long db = palette[i].Blue - GetBValue(c);
        const long d = dr * dr + dg * dg + db * db;
        if (bestDistance < 0 || d < bestDistance) {
            best = static_cast<int>(i);
            bestDistance = d;
            if (d == 0) break;
        }
    }
    return best;
}

void WritePixel(TDibImage& image, int x, int y, TColor c) {
    std::uint8_t* row = image.Row(y);
    const int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
    switch (image.BitsPerPixel) {
        case 1:
        case 4:
        case 8:
            SetIndexAt(row, x, image.BitsPerPixel, NearestIndex(image.Palette, c));
            break;
        case 16: {
            const int v = image.Rgb565 ? ((r >> 3) << 11) | ((g >> 2) << 5) | (b >> 3)
                                       : ((r >> 3) << 10) | ((g >> 3) << 5) | (b >> 3);
            row[2 * x] = static_cast<std::uint8_t>(v);
            row[2 * x + 1] = static_cast<std::uint8_t>(v >> 8);
            break;
        }
        case 24:
        case 32: {
            std::uint8_t* p = row + (image.BitsPerPixel / 8) * x;
            p[0] = static_cast<std::uint8_t>(b);
            p[1] = static_cast<std::uint8_t>(g);
            p[2] = static_cast<std::uint8_t>(r);
            if (image.BitsPerPixel == 32) p[3] = 0;
            break;
        }
        default:
            break;
    }
}

// Copies every pixel of `from` that `to` has room for, converting colours;
// palette indices are copied as they are when both use the same palette.
void CopyPixels(const TDibImage& from, TDibImage& to) {
    const int w = std::min(from.Width, to.Width), h = std::min(from.Height, to.Height);
    if (w <= 0 || h <= 0) return;
    const bool sameLayout = from.BitsPerPixel == to.BitsPerPixel && from.Rgb565 == to.Rgb565 &&
                            (from.BitsPerPixel > 8 || from.Palette == to.Palette);
    if (sameLayout && from.BitsPerPixel >= 8) {
        const std::size_t bytes = static_cast<std::size_t>(w) * (from.BitsPerPixel / 8);
        for (int y = 0; y < h; ++y) std::memcpy(to.Row(y), from.Row(y), bytes);
        return;
    }
    std::unordered_map<TColor, int> nearest;  // palette targets: each colour searched once
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (sameLayout) {
                SetIndexAt(to.Row(y), x, to.BitsPerPixel,
                           IndexAt(from.Row(y), x, from.BitsPerPixel));
                continue;
            }
            const TColor c = ReadPixel(from, x, y);
            if (to.BitsPerPixel <= 8) {
                auto [it, added] = nearest.try_emplace(c, 0);
                if (added) it->second = NearestIndex(to.Palette, c);
                SetIndexAt(to.Row(y), x, to.BitsPerPixel, it->second);
            } else {
                WritePixel(to, x, y, c);
            }
        }
    }
}

TDibImage BlankImage(int width, int height, TPixelFormat format, const TDibImage* paletteFrom) {
    TDibImage image;
    image.Allocate(width, height, BitsOf(format));
    image.Rgb565 = format == pf16bit;
    if (image.BitsPerPixel <= 8)
        image.Palette = paletteFrom && paletteFrom->BitsPerPixel == image.BitsPerPixel
                            ? paletteFrom->Palette
                            : DefaultPalette(image.BitsPerPixel);
    return image;
}

}  // namespace

TPixelFormat DevicePixelFormat() {
    os::TScreenInfo info;
    if (!os::GetScreenInfo(info)) return pf24bit;
    switch (info.Depth) {
        case 1:
            return pf1bit;
        case 4:
            return pf4bit;
        case 8:
            return pf8bit;
        case 15:
            return pf15bit;
        case 16:
            return pf16bit;
        case 32:
            return pf32bit;
        default:
            return pf24bit;
    }
}

// ---- TBitmap -----------------------------------------------------------------

ZR_REGISTER_CLASS(TBitmap, c) {}

// The pixel store is made in the resolved format: pfDevice becomes the
// screen's depth the first time the bitmap gets pixels.
void TBitmap::Resolve() {
    if (image_.Width != 0 || image_.Height != 0 || !image_.Bits.empty()) return;
    const TPixelFormat real = format_ == pfDevice ? DevicePixelFormat() : format_;
    image_ = BlankImage(0, 0, real, nullptr);
}

void TBitmap::SetSize(int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width == image_.Width && height == image_.Height) return;
    Resolve();
    TDibImage resized = BlankImage(width, height, FormatOf(image_), &image_);
    CopyPixels(image_, resized);
    image_ = std::move(resized);
    Changed();
}

void TBitmap::SetPixelFormat(TPixelFormat value) {
    if (value == pfCustom) throw EInvalidGraphic("Invalid pixel format");
    const TPixelFormat real = value == pfDevice ? DevicePixelFormat() : value;
    const bool unsized = image_.Width == 0 && image_.Height == 0 && image_.Bits.empty();
    if (unsized) {
        image_ = BlankImage(0, 0, real, nullptr);
    } else if (FormatOf(image_) != real) {
        TDibImage converted = BlankImage(image_.Width, image_.Height, real, nullptr);
        CopyPixels(image_, converted);
        image_ = std::move(converted);
    }
    format_ = value;
    Changed();
}

int TBitmap::BitsPerPixel() const {
    if (!image_.Bits.empty() || image_.Width != 0 || image_.Height != 0) return image_.BitsPerPixel;
    return BitsOf(format_ == pfDevice ? DevicePixelFormat() : format_);
}

std::vector<TColor> TBitmap::Palette() const {
    std::vector<TColor> colours;
    if (image_.BitsPerPixel <= 8)
        for (const TBmpRgbQuad& q : image_.Palette) colours.push_back(ColourOf(q));
    return colours;
}

void TBitmap::SetPalette(const std::vector<TColor>& colours) {
    Resolve();
    if (image_.BitsPerPixel > 8)
        throw EInvalidGraphicOperation("Bitmap has no palette in this pixel format");
    const std::size_t room = std::size_t{1} << image_.BitsPerPixel;
    image_.Palette.clear();
    for (std::size_t i = 0; i < colours.size() && i < room; ++i)
        image_.Palette.push_back(Quad(ColorToRGB(colours[i])));
    Changed();
}

TColor TBitmap::Pixels(int x, int y) const {
    if (x < 0 || y < 0 || x >= image_.Width || y >= image_.Height) return clNone;
    return ReadPixel(image_, x, y);
}

void TBitmap::SetPixels(int x, int y, TColor colour) {
    if (x < 0 || y < 0 || x >= image_.Width || y >= image_.Height) return;
    WritePixel(image_, x, y, ColorToRGB(colour));
}

void TBitmap::FillRect(int left, int top, int right, int bottom, TColor colour) {
    colour = ColorToRGB(colour);
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, image_.Width);
    bottom = std::min(bottom, image_.Height);
    // A palette colour is searched once, not once per pixel.
    const int index = image_.BitsPerPixel <= 8 ? NearestIndex(image_.Palette, colour) : 0;
    for (int y = top; y < bottom; ++y) {
        for (int x = left; x < right; ++x) {
            if (image_.BitsPerPixel <= 8)
                SetIndexAt(image_.Row(y), x, image_.BitsPerPixel, index);
            else
                WritePixel(image_, x, y, colour);
        }
    }
    if (left < right && top < bottom) Changed();
}

std::uint8_t* TBitmap::ScanLine(int row) {
    if (row < 0 || row >= image_.Height)
        throw EInvalidGraphicOperation("Scan line index out of range");
    return image_.Row(row);
}

const std::uint8_t* TBitmap::ScanLine(int row) const {
    return const_cast<TBitmap*>(this)->ScanLine(row);
}

TColor TBitmap::TransparentColor() const {
    if (transparentMode_ == tmFixed) return transparentColor_;
    if (Empty()) return clNone;
    return Pixels(0, image_.Height - 1);
}

void TBitmap::SetTransparentColor(TColor colour) {
    if (colour == clDefault) {
        SetTransparentMode(tmAuto);
        return;
    }
    transparentMode_ = tmFixed;
    transparentColor_ = ColorToRGB(colour);
    Changed();
}

void TBitmap::SetTransparentMode(TTransparentMode mode) {
    if (mode == transparentMode_) return;
    // Fixing the mode keeps the colour that was in force.
    transparentColor_ = mode == tmFixed ? TransparentColor() : clDefault;
    transparentMode_ = mode;
    Changed();
}

void TBitmap::LoadFromResourceName(HINSTANCE instance, const std::string& name) {
    SetImage(ReadPackedDib(FindResource(instance, name)), pfDevice);
}

void TBitmap::LoadFromBytes(std::span<const std::uint8_t> bytes) {
    SetImage(ReadBmpFile(bytes), pfDevice);
}

std::vector<std::uint8_t> TBitmap::SaveToBytes() const {
    if (image_.Bits.empty() && image_.Width == 0 && image_.Height == 0) {
        TDibImage empty =
            BlankImage(0, 0, format_ == pfDevice ? DevicePixelFormat() : format_, nullptr);
        return WriteBmpFile(empty);
    }
    return WriteBmpFile(image_);
}

std::vector<std::uint8_t> TBitmap::Data() const {
    const std::vector<std::uint8_t> file = SaveToBytes();
    const auto size = static_cast<std::uint32_t>(file.size());
    std::vector<std::uint8_t> data;
    data.reserve(file.size() + 4);
    for (int shift = 0; shift < 32; shift += 8)
        data.push_back(static_cast<std::uint8_t>(size >> shift));
    data.insert(data.end(), file.begin(), file.end());
    return data;
}

void TBitmap::SetData(const std::vector<std::uint8_t>& data) {
    if (data.empty()) {
        Assign(nullptr);
        return;
    }
    if (data.size() < 4) throw EInvalidGraphic("Bitmap image is not valid");
    const std::uint32_t size =
        data[0] | (data[1] << 8) | (data[2] << 16) | (std::uint32_t{data[3]} << 24);
    if (size > data.size() - 4) throw EInvalidGraphic("Bitmap image is not valid");
    LoadFromBytes(std::span<const std::uint8_t>(data).subspan(4, size));
}

// pfDevice: the format the image itself has.
void TBitmap::SetImage(TDibImage image, TPixelFormat format) {
    if (image.Width < 0 || image.Height < 0 || BitsOf(FormatOf(image)) == 0 ||
        image.Bits.size() < image.RowSize() * static_cast<std::size_t>(image.Height))
        throw EInvalidGraphic("Bitmap image is not valid");
    const TPixelFormat own = FormatOf(image);
    image_ = std::move(image);
    if (format != pfDevice && format != own) {
        SetPixelFormat(format);
        return;
    }
    format_ = own;
    Changed();
}

void TBitmap::Assign(const TPersistent* source) {
    if (!source) {
        image_ = TDibImage();
        format_ = pfDevice;
        Changed();
        return;
    }
    if (const auto* other = dynamic_cast<const TBitmap*>(source)) {
        if (other == this) return;
        image_ = other->image_;
        format_ = other->format_;
        transparentMode_ = other->transparentMode_;
        transparentColor_ = other->transparentColor_;
        TGraphic::SetTransparent(other->Transparent());
        Changed();
        return;
    }
    TGraphic::Assign(source);
}

// ---- icons -------------------------------------------------------------------

struct TIconImage {
    TDibImage Colour;  // 32 bits per pixel, alpha in the fourth byte
    TDibImage Mask;    // 1 bit per pixel, 1 = transparent
};

namespace {

TDibImage BlankMask(int width, int height) {
    TDibImage mask;
    mask.Allocate(width, height, 1);
    mask.Palette = {Quad(clBlack), Quad(clWhite)};
    return mask;
}

struct IcoEntry {
    std::uint64_t area = 0;
    int bits = 0;
    std::size_t offset = 0;
    std::size_t size = 0;
};

[[noreturn]] void InvalidIcon() {
    throw EInvalidGraphic("Icon image is not valid");
}

// Picks the largest, deepest image of a .ico file that is a DIB (PNG
// images are not read).
IcoEntry ChooseIcoEntry(std::span<const std::uint8_t> bytes) {
    auto u16 = [&](std::size_t at) { return bytes[at] | (bytes[at + 1] << 8); };
    auto u32 = [&](std::size_t at) {
        return static_cast<std::uint32_t>(u16(at)) |
               (static_cast<std::uint32_t>(u16(at + 2)) << 16);
    };
    if (bytes.size() < 6 || u16(0) != 0 || (u16(2) != 1 && u16(2) != 2)) InvalidIcon();
    const std::size_t count = u16(4);
    if (count == 0 || bytes.size() < 6 + 16 * count) InvalidIcon();
    IcoEntry best;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = 6 + 16 * i;
        IcoEntry e;
        e.area = std::uint64_t(bytes[at] ? bytes[at] : 256) * (bytes[at + 1] ? bytes[at + 1] : 256);
        e.bits = u16(at + 6);
        e.size = u32(at + 8);
        e.offset = u32(at + 12);
        if (e.offset > bytes.size() || e.size > bytes.size() - e.offset || e.size < 8) continue;
        if (bytes[e.offset] == 0x89 && bytes[e.offset + 1] == 'P') continue;  // PNG
        if (best.size == 0 || e.area > best.area || (e.area == best.area && e.bits > best.bits))
            best = e;
    }
    if (best.size == 0) InvalidIcon();
    return best;
}

// Every icon is kept as 32-bit colour with alpha, whatever depth its file had:
// pixels under the mask become fully transparent.
TIconImage DecodeIco(std::span<const std::uint8_t> bytes) {
    const IcoEntry entry = ChooseIcoEntry(bytes);
    TIconImage icon;
    TDibImage colour = ReadIconDib(bytes.subspan(entry.offset, entry.size), icon.Mask);
    bool hasAlpha = false;
    if (colour.BitsPerPixel == 32)
        for (int y = 0; y < colour.Height && !hasAlpha; ++y)
            for (int x = 0; x < colour.Width && !hasAlpha; ++x)
                hasAlpha = colour.Row(y)[4 * x + 3] != 0;
    icon.Colour.Allocate(colour.Width, colour.Height, 32);
    for (int y = 0; y < colour.Height; ++y) {
        for (int x = 0; x < colour.Width; ++x) {
            const TColor c = ReadPixel(colour, x, y);
            const bool masked = IndexAt(icon.Mask.Row(y), x, 1) != 0;
            std::uint8_t* p = icon.Colour.Row(y) + 4 * x;
            p[0] = static_cast<std::uint8_t>(GetBValue(c));
            p[1] = static_cast<std::uint8_t>(GetGValue(c));
            p[2] = static_cast<std::uint8_t>(GetRValue(c));
            p[3] = hasAlpha ? colour.Row(y)[4 * x + 3] : (masked ? 0 : 0xFF);
        }
    }
    return icon;
}

std::vector<std::uint8_t> EncodeIco(const TIconImage& icon) {
    const std::vector<std::uint8_t> dib = WriteIconDib(icon.Colour, icon.Mask);
    std::vector<std::uint8_t> out = {0, 0, 1, 0, 1, 0};
    const auto side = [](int v) { return static_cast<std::uint8_t>(v >= 256 ? 0 : v); };
    const std::uint32_t size = static_cast<std::uint32_t>(dib.size()), offset = 22;
    const std::uint8_t entry[16] = {side(icon.Colour.Width),
                                    side(icon.Colour.Height),
                                    0,
                                    0,
                                    1,
                                    0,
                                    32,
                                    0,
                                    static_cast<std::uint8_t>(size),
                                    static_cast<std::uint8_t>(size >> 8),
                                    static_cast<std::uint8_t>(size >> 16),
                                    static_cast<std::uint8_t>(size >> 24),
                                    static_cast<std::uint8_t>(offset),
                                    0,
                                    0,
                                    0};
    out.insert(out.end(), std::begin(entry), std::end(entry));
    out.insert(out.end(), dib.begin(), dib.end());
    return out;
}

std::string UpperName(const std::string& name) {
    std::string upper = name;
    for (char& ch : upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return upper;
}

}  // namespace

// The stock icons are resources of this library (framework/resources).
HICON LoadIcon(HINSTANCE instance, std::uintptr_t id) {
    if (!instance) return LoadIcon(HInstance(), id == IDI_HAND ? "IDI_HAND" : "IDI_APPLICATION");
    return LoadIcon(instance, std::to_string(id));
}

// Icons from modules are shared, as the host shares them: each is decoded
// once and lives as long as the process.
HICON LoadIcon(HINSTANCE instance, const std::string& name) {
    const std::span<const std::uint8_t> bytes = FindResourceOrEmpty(instance, name);
    if (bytes.empty()) return nullptr;
    static std::mutex mutex;
    static std::map<std::pair<HINSTANCE, std::string>, std::unique_ptr<TIconImage>> cache;
    std::lock_guard lock(mutex);
    auto& slot = cache[{instance, UpperName(name)}];
    if (!slot) {
        try {
            slot = std::make_unique<TIconImage>(DecodeIco(bytes));
        } catch (const EInvalidGraphic&) {
            return nullptr;
        }
    }
    return slot.get();
}

ZR_REGISTER_CLASS(TIcon, c) {}

void TIcon::SetWidth(int) {
    throw EInvalidGraphicOperation("Cannot change the size of an icon");
}
void TIcon::SetHeight(int) {
    throw EInvalidGraphicOperation("Cannot change the size of an icon");
}

void TIcon::SetHandle(HICON icon) {
    if (icon) {
        image_.SetImage(icon->Colour, pf32bit);
        mask_.SetImage(icon->Mask, pf1bit);
    } else {
        image_.Assign(nullptr);
        mask_.Assign(nullptr);
    }
    original_.clear();
    handle_ = icon;
    Changed();
}

void TIcon::SetImage(const TBitmap& image, TColor transparent) {
    TBitmap colour;
    colour.Assign(&image);
    colour.SetPixelFormat(pf32bit);
    TDibImage pixels = colour.Image();
    TDibImage mask = BlankMask(pixels.Width, pixels.Height);
    const TColor clear = transparent == clNone ? clNone : ColorToRGB(transparent);
    for (int y = 0; y < pixels.Height; ++y) {
        for (int x = 0; x < pixels.Width; ++x) {
            const bool masked = ReadPixel(pixels, x, y) == clear;
            pixels.Row(y)[4 * x + 3] = masked ? 0 : 0xFF;
            if (masked) SetIndexAt(mask.Row(y), x, 1, 1);
        }
    }
    image_.SetImage(std::move(pixels), pf32bit);
    mask_.SetImage(std::move(mask), pf1bit);
    original_.clear();
    handle_ = nullptr;
    Changed();
}

void TIcon::LoadFromResourceName(HINSTANCE instance, const std::string& name) {
    LoadFromBytes(FindResource(instance, name));
}

void TIcon::LoadFromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {  // what an empty icon saves
        SetHandle(nullptr);
        return;
    }
    TIconImage icon = DecodeIco(bytes);
    image_.SetImage(std::move(icon.Colour), pf32bit);
    mask_.SetImage(std::move(icon.Mask), pf1bit);
    original_.assign(bytes.begin(), bytes.end());
    handle_ = nullptr;
    Changed();
}

std::vector<std::uint8_t> TIcon::SaveToBytes() const {
    if (!original_.empty()) return original_;
    if (Empty()) return {};
    return EncodeIco(TIconImage{image_.Image(), mask_.Image()});
}

void TIcon::Assign(const TPersistent* source) {
    if (!source) {
        SetHandle(nullptr);
        return;
    }
    if (const auto* other = dynamic_cast<const TIcon*>(source)) {
        if (other == this) return;
        image_.Assign(&other->image_);
        mask_.Assign(&other->mask_);
        original_ = other->original_;
        handle_ = other->handle_;
        Changed();
        return;
    }
    TGraphic::Assign(source);
}

void TIcon::AssignTo(TPersistent* dest) const {
    if (auto* bitmap = dynamic_cast<TBitmap*>(dest)) {
        bitmap->Assign(&image_);
        return;
    }
    TGraphic::AssignTo(dest);
}

// ---- TPicture ------------------------------------------------------------------

ZR_REGISTER_CLASS(TPicture, c) {
    c.Property("Data", &TPicture::Data, &TPicture::SetData).Stored(&TPicture::HasData);
}

TPicture::TPicture() = default;
TPicture::~TPicture() = default;

void TPicture::Hold(std::unique_ptr<TGraphic> graphic) {
    graphic_ = std::move(graphic);
    if (graphic_) graphic_->SetOnChange(TNotifyEvent(this, &TPicture::GraphicChanged));
    Changed();
}

void TPicture::GraphicChanged(TObject*) {
    Changed();
}

void TPicture::Changed() {
    if (onChange_) onChange_(this);
}

namespace {

std::unique_ptr<TGraphic> NewGraphic(const TClassInfo& cls) {
    if (!cls.InheritsFrom(TGraphic::StaticClassInfo()) || !cls.CreateObject)
        throw EInvalidGraphic("Unknown picture format");
    return std::unique_ptr<TGraphic>(static_cast<TGraphic*>(cls.CreateObject()));
}

std::unique_ptr<TGraphic> CopyOf(const TGraphic& graphic) {
    std::unique_ptr<TGraphic> copy = NewGraphic(graphic.ClassInfo());
    copy->Assign(&graphic);
    return copy;
}

}  // namespace

void TPicture::SetGraphic(const TGraphic* graphic) {
    if (graphic && graphic == graphic_.get()) return;
    Hold(graphic ? CopyOf(*graphic) : nullptr);
}

TBitmap* TPicture::Bitmap() {
    if (!dynamic_cast<TBitmap*>(graphic_.get())) Hold(std::make_unique<TBitmap>());
    return static_cast<TBitmap*>(graphic_.get());
}

TIcon* TPicture::Icon() {
    if (!dynamic_cast<TIcon*>(graphic_.get())) Hold(std::make_unique<TIcon>());
    return static_cast<TIcon*>(graphic_.get());
}

void TPicture::LoadFromFile(const std::string& fileName) {
    const std::size_t dot = fileName.find_last_of('.');
    const std::size_t slash = fileName.find_last_of('/');
    std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                          ? std::string()
                          : fileName.substr(dot + 1);
    for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    std::unique_ptr<TGraphic> graphic;
    if (ext == "bmp" || ext == "dib")
        graphic = std::make_unique<TBitmap>();
    else if (ext == "ico")
        graphic = std::make_unique<TIcon>();
    else
        throw EInvalidGraphic("Unknown picture file extension (." + ext + ")");
    graphic->LoadFromFile(fileName);  // the picture keeps its graphic if this fails
    Hold(std::move(graphic));
}

void TPicture::SaveToFile(const std::string& fileName) const {
    if (!graphic_) throw EInvalidGraphicOperation("Picture is empty");
    graphic_->SaveToFile(fileName);
}

void TPicture::Assign(const TPersistent* source) {
    if (!source) {
        SetGraphic(nullptr);
    } else if (const auto* picture = dynamic_cast<const TPicture*>(source)) {
        if (picture != this) SetGraphic(picture->Graphic());
    } else if (const auto* graphic = dynamic_cast<const TGraphic*>(source)) {
        SetGraphic(graphic);
    } else {
        TPersistent::Assign(source);
    }
}

void TPicture::AssignTo(TPersistent* dest) const {
    if (auto* graphic = dynamic_cast<TGraphic*>(dest)) {
        graphic->Assign(graphic_.get());
        return;
    }
    TPersistent::AssignTo(dest);
}

std::vector<std::uint8_t> TPicture::Data() const {
    if (!graphic_) return {};
    const std::string& name = graphic_->ClassName();
    std::vector<std::uint8_t> data;
    data.push_back(static_cast<std::uint8_t>(name.size()));
    data.insert(data.end(), name.begin(), name.end());
    const std::vector<std::uint8_t> own = graphic_->Data();
    data.insert(data.end(), own.begin(), own.end());
    return data;
}

void TPicture::SetData(const std::vector<std::uint8_t>& data) {
    if (data.empty()) {
        Hold(nullptr);
        return;
    }
    const std::size_t nameLength = data[0];
    if (data.size() < 1 + nameLength) throw EInvalidGraphic("Picture data is not valid");
    const std::string name(data.begin() + 1,
                           data.begin() + 1 + static_cast<std::ptrdiff_t>(nameLength));
    const TClassInfo* cls = GetClass(name);
    if (!cls) throw EInvalidGraphic("Unknown picture format " + name);
    std::unique_ptr<TGraphic> graphic = NewGraphic(*cls);
    graphic->SetData(std::vector<std::uint8_t>(
        data.begin() + 1 + static_cast<std::ptrdiff_t>(nameLength), data.end()));
    Hold(std::move(graphic));
}

}  // namespace zr
