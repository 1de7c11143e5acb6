// The host's whole-screen copy (GetDC with no window, BitBlt SRCCOPY into a
// bitmap): the screen's pixels from the platform, written into a TBitmap.
// Before the copy, every shown form whose window is out of date is drawn,
// so the picture shows what the user sees. With no display the copy leaves
// the bitmap black, so a screenshot is still a picture of the screen's size.
#pragma once

namespace zr {

class TBitmap;

// Copies the screen into `bitmap` at 0,0 (as much as both hold). Without a
// display the bitmap is filled black and false is returned; the bitmap's
// size and pixel format are kept either way.
bool CaptureScreen(TBitmap& bitmap);

// Sizes `bitmap` to the screen (the display's size, or `width` x `height`
// when there is none; a pfDevice bitmap takes the display's depth) and
// copies the screen into it. False when there was no display.
bool TakeScreenshot(TBitmap& bitmap, int width, int height);

}  // namespace zr
