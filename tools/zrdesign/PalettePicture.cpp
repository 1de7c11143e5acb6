#include "tools/zrdesign/PalettePicture.h"

#include <png.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "framework/Graphics.h"
#include "framework/SysUtils.h"

namespace zr::design {

namespace {

constexpr int kPicture = 24;
constexpr int kGap = 4;
constexpr std::uint8_t kBackground[3] = {212, 208, 200};

struct TRgbImage {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint8_t> Pixels;  // rows of R, G, B

    void Put(int x, int y, TColor colour) {
        std::uint8_t* p = &Pixels[(static_cast<size_t>(y) * Width + x) * 3];
        p[0] = colour & 0xFF;
        p[1] = (colour >> 8) & 0xFF;
        p[2] = (colour >> 16) & 0xFF;
    }
};

void Draw(TRgbImage& image, const TBitmap& picture, int left, int top, int scale) {
    // A picture larger than the palette's cell is cut to it.
    for (int y = 0; y < std::min(picture.Height(), kPicture); ++y)
        for (int x = 0; x < std::min(picture.Width(), kPicture); ++x)
            for (int dy = 0; dy < scale; ++dy)
                for (int dx = 0; dx < scale; ++dx)
                    image.Put(left + x * scale + dx, top + y * scale + dy, picture.Pixels(x, y));
}

struct TFileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

void WritePng(const TRgbImage& image, const std::string& file) {
    std::unique_ptr<std::FILE, TFileCloser> out(std::fopen(file.c_str(), "wbe"));
    if (!out) throw EFCreateError("Cannot create file \"" + file + "\"");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw EFCreateError("Cannot write the picture \"" + file + "\"");
    }
    png_init_io(png, out.get());
    png_set_IHDR(png, info, image.Width, image.Height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < image.Height; ++y)
        png_write_row(png, image.Pixels.data() + static_cast<size_t>(y) * image.Width * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
}

}  // namespace

void WritePalettePng(const TPalettePage& page, HINSTANCE package, const std::string& file,
                     int scale) {
    const int cell = kPicture * scale;
    const int count = static_cast<int>(page.Classes.size());
    TRgbImage image;
    image.Width = kGap + count * (cell + kGap);
    image.Height = cell + 2 * kGap;
    image.Pixels.resize(static_cast<size_t>(image.Width) * image.Height * 3);
    for (size_t i = 0; i < image.Pixels.size(); ++i) image.Pixels[i] = kBackground[i % 3];
    for (int i = 0; i < count; ++i) {
        TBitmap picture;
        picture.LoadFromResourceName(package, UpperCase(page.Classes[i]->Name));
        Draw(image, picture, kGap + i * (cell + kGap), kGap, scale);
    }
    WritePng(image, file);
}

}  // namespace zr::design
