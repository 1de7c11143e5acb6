// The whole-screen device context of the host (GetDC with no window, BitBlt
// SRCCOPY into a bitmap) realised on Linux: the X display's root window read
// with XGetImage. With no display the copy leaves the bitmap black, so a
// screenshot is still a picture of the screen's size.
//
// Everything that touches the display goes through one seam, TScreenSource,
// so tests can pretend there is no display or a display of any size.
#pragma once

#include "framework/BmpCodec.h"

namespace zr {
class TBitmap;
}

namespace zr::os {

struct TScreenInfo {
    int Width = 0;
    int Height = 0;
    int Depth = 0;  // bits per pixel of the display's colours (24 on most)
};

class TScreenSource {
  public:
    virtual ~TScreenSource() = default;
    // False when no display can be opened.
    virtual bool Describe(TScreenInfo& info) = 0;
    // The screen's top-left `width` x `height` pixels (at most the screen's
    // size) as a 32-bit top-down image; false when the display cannot be read.
    virtual bool Grab(int width, int height, TDibImage& image) = 0;
};

// The X display named by $DISPLAY, opened for each call (so a display that
// comes or goes is seen), or the source a test installed.
TScreenSource& ScreenSource();
// Installs `source` (nullptr: back to the X display); returns the previous one.
TScreenSource* SetScreenSource(TScreenSource* source);

// Installs a source for a scope.
class TScopedScreenSource {
  public:
    explicit TScopedScreenSource(TScreenSource* source) : previous_(SetScreenSource(source)) {}
    ~TScopedScreenSource() { SetScreenSource(previous_); }
    TScopedScreenSource(const TScopedScreenSource&) = delete;
    TScopedScreenSource& operator=(const TScopedScreenSource&) = delete;

  private:
    TScreenSource* previous_;
};

// The display's size and depth; false (and `info` zeroed) without a display.
bool GetScreenInfo(TScreenInfo& info);

// Copies the screen into `bitmap` at 0,0 (as much as both hold). Without a
// display the bitmap is filled black and false is returned; the bitmap's
// size and pixel format are kept either way.
bool CaptureScreen(TBitmap& bitmap);

// Sizes `bitmap` to the screen (the display's size, or `width` x `height`
// when there is none; a pfDevice bitmap takes the display's depth) and
// copies the screen into it. False when there was no display.
bool TakeScreenshot(TBitmap& bitmap, int width, int height);

}  // namespace zr::os
