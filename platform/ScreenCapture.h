// Reading the screen, as the host's whole-screen device context gives it
// (GetDC with no window): the X display's root window read with XGetImage.
// The pixels are handed back as they are; making a bitmap of them is the
// framework's business (framework/ScreenShot.h).
//
// Everything that touches the display goes through one seam, TScreenSource,
// so tests can pretend there is no display or a display of any size.
#pragma once

#include "PixelImage.h"

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
    // size); false when the display cannot be read.
    virtual bool Grab(int width, int height, TPixelImage& image) = 0;
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

// The screen's top-left `width` x `height` pixels (at most the screen's
// size). False without a display, or when the display could not be read
// (it went away in the middle): `image` is then empty.
bool GrabScreen(int width, int height, TPixelImage& image);

}  // namespace zr::os
