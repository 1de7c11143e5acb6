// Drawing the picture of one window. Everything goes to an off-screen
// pixmap first and reaches the window in one copy (Present), so a redraw
// never flickers and a half-drawn window is never seen. Colours are
// 0x00BBGGRR; coordinates are the window's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Geometry.h"
#include "PixelImage.h"
#include "X11Display.h"

namespace zr::os {

class TXCanvas {
  public:
    TXCanvas(TXDisplay& display, TXWindow window, int width, int height);
    ~TXCanvas();
    TXCanvas(const TXCanvas&) = delete;
    TXCanvas& operator=(const TXCanvas&) = delete;

    int Width() const { return width_; }
    int Height() const { return height_; }

    // Drawing stays inside `clip` until the next SetClip.
    void SetClip(const TRect& clip);
    const TRect& Clip() const { return clip_; }

    void FillRect(const TRect& rect, std::uint32_t rgb);
    // From (x1, y1) to (x2, y2), both ends included.
    void Line(int x1, int y1, int x2, int y2, std::uint32_t rgb);
    // The outline of `rect` one pixel wide, in dots (a focus mark).
    void DottedFrame(const TRect& rect, std::uint32_t rgb);

    // The font for the text that follows; without one, text is left out.
    void SelectFont(int pixelSize, bool bold);
    bool HasFont() const { return font_ != nullptr; }
    int TextWidth(const std::string& text) const;
    // The height of one line of text (a usual height without a font).
    int LineHeight() const;
    // `text` (UTF-8, one line) with its top-left corner at x, y; the code
    // point at index `underline` is underlined (-1: none).
    void Text(int x, int y, const std::string& text, std::uint32_t rgb, int underline = -1);

    // The picture with its top-left corner at x, y. With `opaque` (one entry per pixel, row
    // by row) only the pixels marked there are drawn.
    void Image(int x, int y, const TPixelImage& image, const std::vector<bool>* opaque = nullptr);

    // Copies the picture to the window.
    void Present();

  private:
    void ApplyClip();

    TXDisplay& display_;
    TXWindow window_;
    int width_;
    int height_;
    unsigned long pixmap_ = 0;
    void* gc_ = nullptr;
    TRect clip_;
    const TXFont* font_ = nullptr;
};

}  // namespace zr::os
