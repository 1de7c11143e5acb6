#include "framework/BmpCodec.h"

#include <bit>
#include <cstring>
#include <limits>
#include <new>

#include "framework/Exceptions.h"

namespace zr {

namespace {

constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiBitFields = 3;
constexpr std::uint32_t kBiAlphaBitFields = 6;
constexpr std::size_t kFileHeaderSize = 14;
constexpr std::size_t kCoreHeaderSize = 12;
constexpr std::size_t kInfoHeaderSize = 40;
// More than any screen needs, and small enough that a row count times a row
// size can never overflow.
constexpr std::uint64_t kMaxImageBytes = std::uint64_t{1} << 31;

[[noreturn]] void Invalid() {
    throw EInvalidGraphic("Bitmap image is not valid");
}

// The bits per pixel a bitmap file can hold; reading and writing accept the same set.
bool IsBitmapDepth(int bitsPerPixel) {
    switch (bitsPerPixel) {
        case 1:
        case 4:
        case 8:
        case 16:
        case 24:
        case 32:
            return true;
        default:
            return false;
    }
}

// Little-endian reads that refuse to step past the end of the bytes.
class ByteReader {
  public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::size_t Size() const { return bytes_.size(); }
    void Need(std::uint64_t offset, std::uint64_t count) const {
        if (offset > bytes_.size() || count > bytes_.size() - offset) Invalid();
    }
    std::uint32_t U8(std::size_t at) const {
        Need(at, 1);
        return bytes_[at];
    }
    std::uint32_t U16(std::size_t at) const {
        Need(at, 2);
        return bytes_[at] | (std::uint32_t{bytes_[at + 1]} << 8);
    }
    std::uint32_t U32(std::size_t at) const {
        Need(at, 4);
        return bytes_[at] | (std::uint32_t{bytes_[at + 1]} << 8) |
               (std::uint32_t{bytes_[at + 2]} << 16) | (std::uint32_t{bytes_[at + 3]} << 24);
    }
    std::int32_t I32(std::size_t at) const { return static_cast<std::int32_t>(U32(at)); }
    const std::uint8_t* At(std::size_t at) const { return bytes_.data() + at; }

  private:
    std::span<const std::uint8_t> bytes_;
};

class ByteWriter {
  public:
    void U16(std::uint32_t v) {
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void U32(std::uint32_t v) {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void Bytes(const std::uint8_t* p, std::size_t n) { out.insert(out.end(), p, p + n); }
    std::vector<std::uint8_t> out;
};

struct DibHeader {
    std::size_t headerSize = 0;
    bool core = false;
    std::int64_t width = 0;
    std::int64_t height = 0;  // negative: rows top-down
    int bitsPerPixel = 0;
    std::uint32_t compression = kBiRgb;
    std::uint32_t colorsUsed = 0;
    std::uint32_t masks[4] = {0, 0, 0, 0};  // red, green, blue, alpha
};

bool KnownHeaderSize(std::size_t size) {
    return size == kCoreHeaderSize || size == kInfoHeaderSize || size == 52 || size == 56 ||
           size == 64 || size == 108 || size == 124;
}

DibHeader ReadHeader(const ByteReader& in, std::size_t at) {
    DibHeader h;
    h.headerSize = in.U32(at);
    if (!KnownHeaderSize(h.headerSize)) Invalid();
    in.Need(at, h.headerSize);
    if (h.headerSize == kCoreHeaderSize) {
        h.core = true;
        h.width = in.U16(at + 4);
        h.height = in.U16(at + 6);
        h.bitsPerPixel = static_cast<int>(in.U16(at + 10));
        return h;
    }
    h.width = in.I32(at + 4);
    h.height = in.I32(at + 8);
    h.bitsPerPixel = static_cast<int>(in.U16(at + 14));
    h.compression = in.U32(at + 16);
    h.colorsUsed = in.U32(at + 32);
    if (h.headerSize >= 52)
        for (int i = 0; i < 3; ++i) h.masks[i] = in.U32(at + 40 + 4 * i);
    if (h.headerSize >= 56) h.masks[3] = in.U32(at + 52);
    return h;
}

void CheckHeader(const DibHeader& h) {
    if (h.width < 0 || h.height == std::numeric_limits<std::int32_t>::min()) Invalid();
    if (!IsBitmapDepth(h.bitsPerPixel)) Invalid();
    const bool fields = h.compression == kBiBitFields || h.compression == kBiAlphaBitFields;
    if (h.compression != kBiRgb && !fields) Invalid();  // RLE, JPEG and PNG are refused
    if (fields && h.bitsPerPixel != 16 && h.bitsPerPixel != 32) Invalid();
}

// Scales the bits of `value` under `mask` to 0..255.
std::uint8_t Channel(std::uint32_t value, std::uint32_t mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const int width = std::min(std::popcount(mask >> shift), 32 - shift);
    const std::uint64_t bits = (value & mask) >> shift;
    const std::uint64_t top = (std::uint64_t{1} << width) - 1;
    return static_cast<std::uint8_t>((bits * 255 + top / 2) / top);
}

// Pixels stored under colour masks that are not one of our own layouts are
// turned into 24-bit (16-bit source) or 32-bit (32-bit source, alpha kept).
void ConvertBitFields(TDibImage& image, const std::uint32_t masks[4]) {
    const int srcBits = image.BitsPerPixel;
    const int dstBits = srcBits == 16 ? 24 : 32;
    TDibImage out;
    out.Allocate(image.Width, image.Height, dstBits);
    for (int y = 0; y < image.Height; ++y) {
        const std::uint8_t* src = image.Row(y);
        std::uint8_t* dst = out.Row(y);
        for (int x = 0; x < image.Width; ++x) {
            std::uint32_t v = 0;
            if (srcBits == 16) {
                v = src[2 * x] | (std::uint32_t{src[2 * x + 1]} << 8);
            } else {
                v = std::uint32_t{src[4 * x]} | (std::uint32_t{src[4 * x + 1]} << 8) |
                    (std::uint32_t{src[4 * x + 2]} << 16) | (std::uint32_t{src[4 * x + 3]} << 24);
            }
            std::uint8_t* p = dst + (dstBits / 8) * x;
            p[0] = Channel(v, masks[2]);
            p[1] = Channel(v, masks[1]);
            p[2] = Channel(v, masks[0]);
            if (dstBits == 32) p[3] = Channel(v, masks[3]);
        }
    }
    image = std::move(out);
}

void ApplyMasks(TDibImage& image, const DibHeader& h) {
    const bool fields = h.compression == kBiBitFields || h.compression == kBiAlphaBitFields;
    if (!fields) return;
    const std::uint32_t r = h.masks[0], g = h.masks[1], b = h.masks[2];
    if (image.BitsPerPixel == 16) {
        if (r == 0x7C00 && g == 0x03E0 && b == 0x001F) return;
        if (r == 0xF800 && g == 0x07E0 && b == 0x001F) {
            image.Rgb565 = true;
            return;
        }
    } else if (r == 0xFF0000 && g == 0xFF00 && b == 0xFF &&
               (h.masks[3] == 0 || h.masks[3] == 0xFF000000u)) {
        return;
    }
    ConvertBitFields(image, h.masks);
}

// Reads the colour masks that follow a 40-byte header and the palette;
// returns the offset just past them.
std::size_t ReadMasksAndPalette(const ByteReader& in, std::size_t at, DibHeader& h,
                                TDibImage& image) {
    std::size_t pos = at + h.headerSize;
    if (h.headerSize == kInfoHeaderSize) {
        const int count = h.compression == kBiBitFields        ? 3
                          : h.compression == kBiAlphaBitFields ? 4
                                                               : 0;
        for (int i = 0; i < count; ++i) h.masks[i] = in.U32(pos + 4 * i);
        pos += 4 * static_cast<std::size_t>(count);
    }
    std::uint64_t entries = h.colorsUsed;
    if (h.bitsPerPixel <= 8 && (entries == 0 || h.core))
        entries = std::uint64_t{1} << h.bitsPerPixel;
    const std::uint64_t entrySize = h.core ? 3 : 4;
    in.Need(pos, entries * entrySize);  // a count beyond the file fails here
    if (h.bitsPerPixel <= 8) {
        const std::uint64_t kept =
            std::min<std::uint64_t>(entries, std::uint64_t{1} << h.bitsPerPixel);
        image.Palette.resize(kept);
        for (std::size_t i = 0; i < kept; ++i) {
            const std::uint8_t* p = in.At(pos + i * entrySize);
            image.Palette[i] = {p[0], p[1], p[2], 0};
        }
    }
    return pos + static_cast<std::size_t>(entries * entrySize);
}

// Copies `rows` rows (bottom-up unless `topDown`) from `bitsAt` into `image`.
void ReadRows(const ByteReader& in, std::size_t bitsAt, bool topDown, TDibImage& image) {
    const std::size_t row = image.RowSize();
    in.Need(bitsAt, 0);
    if (row == 0) return;
    if (static_cast<std::uint64_t>(image.Height) > (in.Size() - bitsAt) / row) Invalid();
    for (int y = 0; y < image.Height; ++y) {
        const int src = topDown ? y : image.Height - 1 - y;
        std::memcpy(image.Row(y), in.At(bitsAt + row * static_cast<std::size_t>(src)), row);
    }
}

// The body shared by files, packed DIBs and icon images. `bitsAt` is the
// file's pixel offset, or 0 to take the pixels right after the palette.
// `heightDivisor` 2 reads an icon image, whose header counts the mask rows.
// `bitsEnd`, when given, receives the offset just past the pixels.
TDibImage ReadDib(const ByteReader& in, std::size_t at, std::size_t bitsAt, int heightDivisor,
                  DibHeader* headerOut = nullptr, std::size_t* bitsEnd = nullptr) {
    DibHeader h = ReadHeader(in, at);
    CheckHeader(h);
    const bool topDown = h.height < 0;
    std::int64_t height = topDown ? -h.height : h.height;
    if (height % heightDivisor != 0) Invalid();
    height /= heightDivisor;
    // A picture without width or without height holds nothing: keep it 0 x 0
    // so no caller walks millions of empty rows.
    if (h.width == 0 || height == 0) h.width = height = 0;
    const std::size_t row = DibRowSize(static_cast<std::uint64_t>(h.width), h.bitsPerPixel);
    if (h.width != 0 && row == 0) Invalid();
    // The pixels must be in the bytes, which also bounds what we allocate.
    if (row != 0 && static_cast<std::uint64_t>(height) > in.Size() / row) Invalid();

    TDibImage image;
    const std::size_t afterPalette = ReadMasksAndPalette(in, at, h, image);
    if (bitsAt == 0) bitsAt = afterPalette;
    if (bitsAt < afterPalette) Invalid();
    image.Allocate(static_cast<int>(h.width), static_cast<int>(height), h.bitsPerPixel);
    ReadRows(in, bitsAt, topDown, image);
    if (headerOut) *headerOut = h;
    if (bitsEnd) *bitsEnd = bitsAt + row * static_cast<std::size_t>(image.Height);
    ApplyMasks(image, h);
    return image;
}

void WriteInfoHeader(ByteWriter& w, const TDibImage& image, std::int64_t height,
                     std::uint32_t paletteCount, std::uint32_t compression, std::size_t imageSize) {
    w.U32(kInfoHeaderSize);
    w.U32(static_cast<std::uint32_t>(image.Width));
    w.U32(static_cast<std::uint32_t>(height));
    w.U16(1);
    w.U16(static_cast<std::uint32_t>(image.BitsPerPixel));
    w.U32(compression);
    w.U32(static_cast<std::uint32_t>(imageSize));
    w.U32(0);
    w.U32(0);
    w.U32(paletteCount);
    w.U32(0);
}

// The palette as written: a palette format always gets one, so a reader
// never takes the pixels for palette entries.
std::vector<TBmpRgbQuad> PaletteToWrite(const TDibImage& image) {
    if (image.BitsPerPixel > 8) return {};
    std::vector<TBmpRgbQuad> palette = image.Palette;
    const std::size_t full = std::size_t{1} << image.BitsPerPixel;
    if (palette.size() > full) palette.resize(full);
    if (palette.empty()) palette.resize(full);
    return palette;
}

void WritePalette(ByteWriter& w, const std::vector<TBmpRgbQuad>& palette) {
    for (const TBmpRgbQuad& q : palette) {
        const std::uint8_t entry[4] = {q.Blue, q.Green, q.Red, 0};
        w.Bytes(entry, 4);
    }
}

void CheckWritable(const TDibImage& image) {
    if (!IsBitmapDepth(image.BitsPerPixel))
        throw EInvalidGraphicOperation("Bitmap format cannot be saved");
    if (image.Width < 0 || image.Height < 0 ||
        image.Bits.size() < image.RowSize() * static_cast<std::size_t>(image.Height))
        throw EInvalidGraphicOperation("Bitmap format cannot be saved");
}

void WriteRowsBottomUp(ByteWriter& w, const TDibImage& image) {
    for (int y = image.Height - 1; y >= 0; --y) w.Bytes(image.Row(y), image.RowSize());
}

}  // namespace

std::size_t DibRowSize(std::uint64_t width, int bitsPerPixel) {
    if (width > std::numeric_limits<std::uint32_t>::max() || bitsPerPixel <= 0 || bitsPerPixel > 32)
        return 0;
    return static_cast<std::size_t>((width * static_cast<std::uint64_t>(bitsPerPixel) + 31) / 32 *
                                    4);
}

std::size_t TDibImage::RowSize() const {
    return DibRowSize(static_cast<std::uint64_t>(Width < 0 ? 0 : Width), BitsPerPixel);
}

void TDibImage::Allocate(int width, int height, int bitsPerPixel) {
    if (width < 0 || height < 0) throw EInvalidGraphic("Bitmap image is not valid");
    const std::uint64_t bytes =
        static_cast<std::uint64_t>(DibRowSize(static_cast<std::uint64_t>(width), bitsPerPixel)) *
        static_cast<std::uint64_t>(height);
    if (bytes > kMaxImageBytes) throw EOutOfResources("Out of system resources");
    try {
        Bits.assign(static_cast<std::size_t>(bytes), 0);
    } catch (const std::bad_alloc&) {
        throw EOutOfResources("Out of system resources");
    }
    Width = width;
    Height = height;
    BitsPerPixel = bitsPerPixel;
    Rgb565 = false;
}

TDibImage ReadBmpFile(std::span<const std::uint8_t> bytes) {
    ByteReader in(bytes);
    if (in.U8(0) != 'B' || in.U8(1) != 'M') Invalid();
    const std::uint32_t bitsAt = in.U32(10);
    in.Need(kFileHeaderSize, 4);
    if (bitsAt < kFileHeaderSize || bitsAt > bytes.size()) Invalid();
    return ReadDib(in, kFileHeaderSize, bitsAt, 1);
}

TDibImage ReadPackedDib(std::span<const std::uint8_t> bytes) {
    if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return ReadBmpFile(bytes);
    return ReadDib(ByteReader(bytes), 0, 0, 1);
}

TDibImage ReadIconDib(std::span<const std::uint8_t> bytes, TDibImage& mask) {
    ByteReader in(bytes);
    DibHeader h;
    std::size_t colourEnd = 0;
    TDibImage image = ReadDib(in, 0, 0, 2, &h, &colourEnd);
    // The mask's rows follow the colour rows, in the same order.
    mask = TDibImage();
    mask.Allocate(image.Width, image.Height, 1);
    mask.Palette = {{0, 0, 0, 0}, {255, 255, 255, 0}};
    ReadRows(in, colourEnd, h.height < 0, mask);
    return image;
}

std::vector<std::uint8_t> WriteBmpFile(const TDibImage& image) {
    CheckWritable(image);
    const std::vector<TBmpRgbQuad> palette = PaletteToWrite(image);
    const bool masks = image.BitsPerPixel == 16 && image.Rgb565;
    const std::uint64_t bitsAt =
        kFileHeaderSize + kInfoHeaderSize + (masks ? 12 : 0) + 4 * palette.size();
    const std::uint64_t imageSize = static_cast<std::uint64_t>(image.RowSize()) * image.Height;
    if (bitsAt + imageSize > std::numeric_limits<std::uint32_t>::max())
        throw EInvalidGraphicOperation("Bitmap is too large to be saved");
    ByteWriter w;
    w.out.reserve(static_cast<std::size_t>(bitsAt + imageSize));
    w.U16('B' | ('M' << 8));
    w.U32(static_cast<std::uint32_t>(bitsAt + imageSize));
    w.U32(0);
    w.U32(static_cast<std::uint32_t>(bitsAt));
    WriteInfoHeader(w, image, image.Height, static_cast<std::uint32_t>(palette.size()),
                    masks ? kBiBitFields : kBiRgb, static_cast<std::size_t>(imageSize));
    if (masks) {
        w.U32(0xF800);
        w.U32(0x07E0);
        w.U32(0x001F);
    }
    WritePalette(w, palette);
    WriteRowsBottomUp(w, image);
    return std::move(w.out);
}

std::vector<std::uint8_t> WriteIconDib(const TDibImage& image, const TDibImage& mask) {
    CheckWritable(image);
    if (image.BitsPerPixel == 16 || mask.BitsPerPixel != 1 || mask.Width != image.Width ||
        mask.Height != image.Height || mask.Bits.size() < mask.RowSize() * mask.Height)
        throw EInvalidGraphicOperation("Icon image cannot be saved");
    const std::vector<TBmpRgbQuad> palette = PaletteToWrite(image);
    const std::size_t imageSize =
        image.RowSize() * image.Height + mask.RowSize() * static_cast<std::size_t>(mask.Height);
    ByteWriter w;
    WriteInfoHeader(w, image, std::int64_t{image.Height} * 2,
                    static_cast<std::uint32_t>(palette.size()), kBiRgb, imageSize);
    WritePalette(w, palette);
    WriteRowsBottomUp(w, image);
    WriteRowsBottomUp(w, mask);
    return std::move(w.out);
}

}  // namespace zr
