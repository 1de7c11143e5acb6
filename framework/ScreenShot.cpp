#include "framework/ScreenShot.h"

#include <cstdint>
#include <cstring>

#include "framework/FormBackend.h"
#include "framework/Graphics.h"
#include "platform/ScreenCapture.h"

namespace zr {

namespace {

// Writes `grab` into the bitmap's pixels at 0,0; bitmaps of the screen's
// usual depths take the bytes straight, others a colour at a time.
void Blit(const os::TPixelImage& grab, TBitmap& bitmap) {
    const int bits = bitmap.BitsPerPixel();
    for (int y = 0; y < grab.Height; ++y) {
        const std::uint8_t* src = grab.Row(y);
        if (bits == 32 || bits == 24) {
            std::uint8_t* dst = bitmap.ScanLine(y);
            const int step = bits / 8;
            for (int x = 0; x < grab.Width; ++x) std::memcpy(dst + step * x, src + 4 * x, step);
            continue;
        }
        for (int x = 0; x < grab.Width; ++x)
            bitmap.SetPixels(x, y, RGB(src[4 * x + 2], src[4 * x + 1], src[4 * x]));
    }
}

}  // namespace

bool CaptureScreen(TBitmap& bitmap) {
    if (bitmap.Empty()) {
        os::TScreenInfo info;
        return os::GetScreenInfo(info);
    }
    // Forms shown a moment ago may not have been drawn yet: the user would
    // see them drawn, so the picture must too.
    FormBackend().PaintPending();
    os::TPixelImage grab;
    if (!os::GrabScreen(bitmap.Width(), bitmap.Height(), grab)) {
        bitmap.FillRect(0, 0, bitmap.Width(), bitmap.Height(), clBlack);
        return false;
    }
    Blit(grab, bitmap);
    return true;
}

bool TakeScreenshot(TBitmap& bitmap, int width, int height) {
    os::TScreenInfo info;
    if (os::GetScreenInfo(info)) {
        width = info.Width;
        height = info.Height;
    }
    bitmap.SetSize(width, height);
    return CaptureScreen(bitmap);
}

}  // namespace zr
