#include "platform/X11Canvas.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/X11Text.h"

namespace zr::os {

namespace {

std::vector<XChar2b> TwoByteText(const std::vector<std::uint32_t>& codePoints) {
    std::vector<XChar2b> glyphs;
    glyphs.reserve(codePoints.size());
    for (std::uint32_t cp : codePoints) {
        if (cp > 0xFFFF) cp = '?';
        glyphs.push_back(
            XChar2b{static_cast<unsigned char>(cp >> 8), static_cast<unsigned char>(cp & 0xFF)});
    }
    return glyphs;
}

std::string OneByteText(const std::vector<std::uint32_t>& codePoints) {
    std::string bytes;
    bytes.reserve(codePoints.size());
    for (std::uint32_t cp : codePoints) bytes.push_back(cp <= 0xFF ? static_cast<char>(cp) : '?');
    return bytes;
}

int WidthOf(const TXFont& font, const std::vector<std::uint32_t>& codePoints) {
    auto* info = static_cast<XFontStruct*>(font.Handle);
    if (font.TwoByte) {
        auto glyphs = TwoByteText(codePoints);
        return XTextWidth16(info, glyphs.data(), static_cast<int>(glyphs.size()));
    }
    auto bytes = OneByteText(codePoints);
    return XTextWidth(info, bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace

TXCanvas::TXCanvas(TXDisplay& display, TXWindow window, int width, int height)
    : display_(display),
      window_(window),
      width_(std::max(width, 1)),
      height_(std::max(height, 1)),
      clip_{0, 0, width_, height_} {
    if (display_.Lost() || !window_) return;
    Display* d = display_.Handle();
    pixmap_ =
        XCreatePixmap(d, window_, static_cast<unsigned>(width_), static_cast<unsigned>(height_),
                      static_cast<unsigned>(display_.Depth()));
    gc_ = XCreateGC(d, pixmap_, 0, nullptr);
}

TXCanvas::~TXCanvas() {
    if (display_.Lost()) return;
    Display* d = display_.Handle();
    if (gc_) XFreeGC(d, static_cast<GC>(gc_));
    if (pixmap_) XFreePixmap(d, pixmap_);
}

void TXCanvas::SetClip(const TRect& clip) {
    clip_ = Intersect(clip, TRect{0, 0, width_, height_});
    ApplyClip();
}

void TXCanvas::ApplyClip() {
    if (!gc_ || display_.Lost()) return;
    XRectangle r{static_cast<short>(clip_.Left), static_cast<short>(clip_.Top),
                 static_cast<unsigned short>(clip_.Width()),
                 static_cast<unsigned short>(clip_.Height())};
    XSetClipRectangles(display_.Handle(), static_cast<GC>(gc_), 0, 0, &r, 1, Unsorted);
}

void TXCanvas::FillRect(const TRect& rect, std::uint32_t rgb) {
    if (!gc_ || display_.Lost() || rect.Width() <= 0 || rect.Height() <= 0) return;
    auto* gc = static_cast<GC>(gc_);
    XSetForeground(display_.Handle(), gc, display_.Pixel(rgb));
    XFillRectangle(display_.Handle(), pixmap_, gc, rect.Left, rect.Top,
                   static_cast<unsigned>(rect.Width()), static_cast<unsigned>(rect.Height()));
}

void TXCanvas::Line(int x1, int y1, int x2, int y2, std::uint32_t rgb) {
    if (!gc_ || display_.Lost()) return;
    auto* gc = static_cast<GC>(gc_);
    XSetForeground(display_.Handle(), gc, display_.Pixel(rgb));
    XDrawLine(display_.Handle(), pixmap_, gc, x1, y1, x2, y2);
    // X leaves out a thin line's last point; the caller asked for it.
    XDrawPoint(display_.Handle(), pixmap_, gc, x2, y2);
}

void TXCanvas::DottedFrame(const TRect& rect, std::uint32_t rgb) {
    if (!gc_ || display_.Lost() || rect.Width() <= 1 || rect.Height() <= 1) return;
    auto* gc = static_cast<GC>(gc_);
    std::vector<XPoint> dots;
    auto dot = [&](int x, int y) {
        if ((x + y) % 2 == 0) dots.push_back(XPoint{static_cast<short>(x), static_cast<short>(y)});
    };
    for (int x = rect.Left; x < rect.Right; ++x) {
        dot(x, rect.Top);
        dot(x, rect.Bottom - 1);
    }
    for (int y = rect.Top + 1; y < rect.Bottom - 1; ++y) {
        dot(rect.Left, y);
        dot(rect.Right - 1, y);
    }
    XSetForeground(display_.Handle(), gc, display_.Pixel(rgb));
    XDrawPoints(display_.Handle(), pixmap_, gc, dots.data(), static_cast<int>(dots.size()),
                CoordModeOrigin);
}

void TXCanvas::SelectFont(int pixelSize, bool bold) {
    font_ = display_.Font(pixelSize, bold);
}

int TXCanvas::TextWidth(const std::string& text) const {
    if (!font_) return 0;
    return WidthOf(*font_, DecodeUtf8(text));
}

int TXCanvas::LineHeight() const {
    return font_ ? font_->Ascent + font_->Descent : 13;
}

void TXCanvas::Text(int x, int y, const std::string& text, std::uint32_t rgb, int underline) {
    if (!font_ || !gc_ || display_.Lost() || text.empty()) return;
    Display* d = display_.Handle();
    auto* gc = static_cast<GC>(gc_);
    auto* info = static_cast<XFontStruct*>(font_->Handle);
    const auto codePoints = DecodeUtf8(text);
    const int baseline = y + font_->Ascent;
    XSetForeground(d, gc, display_.Pixel(rgb));
    XSetFont(d, gc, info->fid);
    if (font_->TwoByte) {
        auto glyphs = TwoByteText(codePoints);
        XDrawString16(d, pixmap_, gc, x, baseline, glyphs.data(), static_cast<int>(glyphs.size()));
    } else {
        auto bytes = OneByteText(codePoints);
        XDrawString(d, pixmap_, gc, x, baseline, bytes.data(), static_cast<int>(bytes.size()));
    }
    if (underline < 0 || static_cast<std::size_t>(underline) >= codePoints.size()) return;
    const auto begin = codePoints.begin();
    const int from = x + WidthOf(*font_, {begin, begin + underline});
    const int to = x + WidthOf(*font_, {begin, begin + underline + 1}) - 1;
    if (to >= from) XDrawLine(d, pixmap_, gc, from, baseline + 1, to, baseline + 1);
}

void TXCanvas::Image(int x, int y, const TPixelImage& image, const std::vector<bool>* opaque) {
    if (!gc_ || display_.Lost()) return;
    const TRect area = Intersect(TRect{x, y, x + image.Width, y + image.Height}, clip_);
    if (area.Width() <= 0 || area.Height() <= 0) return;
    if (opaque && opaque->size() < static_cast<std::size_t>(image.Width) * image.Height) return;
    Display* d = display_.Handle();
    auto* gc = static_cast<GC>(gc_);
    const int w = area.Width();
    const int h = area.Height();

    // Only the part inside the clip travels to the server.
    char* data = static_cast<char*>(std::calloc(static_cast<std::size_t>(w) * h, 4));
    if (!data) return;
    XImage* xi =
        XCreateImage(d, DefaultVisual(d, DefaultScreen(d)), static_cast<unsigned>(display_.Depth()),
                     ZPixmap, 0, data, static_cast<unsigned>(w), static_cast<unsigned>(h), 32, 0);
    if (!xi) {
        std::free(data);
        return;
    }
    std::vector<unsigned char> maskBits;
    const int maskStride = (w + 7) / 8;
    if (opaque) maskBits.assign(static_cast<std::size_t>(maskStride) * h, 0);
    for (int row = 0; row < h; ++row) {
        const int sy = area.Top - y + row;
        const std::uint8_t* src = image.Row(sy);
        for (int col = 0; col < w; ++col) {
            const int sx = area.Left - x + col;
            const std::uint8_t* p = src + 4 * sx;
            const std::uint32_t rgb = p[2] | (p[1] << 8) | (static_cast<std::uint32_t>(p[0]) << 16);
            XPutPixel(xi, col, row, display_.Pixel(rgb));
            if (opaque && (*opaque)[static_cast<std::size_t>(sy) * image.Width + sx])
                maskBits[static_cast<std::size_t>(row) * maskStride + col / 8] |=
                    static_cast<unsigned char>(1u << (col % 8));
        }
    }
    Pixmap mask = 0;
    if (opaque) {
        // The mask takes the place of the clip rectangles for this one copy;
        // it covers only the part inside them, so nothing spills over.
        mask = XCreateBitmapFromData(d, pixmap_, reinterpret_cast<const char*>(maskBits.data()),
                                     static_cast<unsigned>(w), static_cast<unsigned>(h));
        XSetClipMask(d, gc, mask);
        XSetClipOrigin(d, gc, area.Left, area.Top);
    }
    XPutImage(d, pixmap_, gc, xi, 0, 0, area.Left, area.Top, static_cast<unsigned>(w),
              static_cast<unsigned>(h));
    XDestroyImage(xi);
    if (mask) {
        XFreePixmap(d, mask);
        XSetClipOrigin(d, gc, 0, 0);
        ApplyClip();
    }
}

void TXCanvas::Present() {
    if (!gc_ || display_.Lost()) return;
    Display* d = display_.Handle();
    auto* gc = static_cast<GC>(gc_);
    XSetClipMask(d, gc, None);
    XCopyArea(d, pixmap_, window_, gc, 0, 0, static_cast<unsigned>(width_),
              static_cast<unsigned>(height_), 0, 0);
    ApplyClip();
}

}  // namespace zr::os
