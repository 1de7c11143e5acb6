#include "platform/ScreenCapture.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "platform/X11Errors.h"

namespace zr::os {

namespace {

// The display named by $DISPLAY, opened for one read and registered with
// the error handlers while it is open: a refused read only fails the read,
// and a display that goes away in the middle of it fails it too, instead of
// ending the process (which may be busy reporting an exception).
class TScreenConnection {
  public:
    TScreenConnection() {
        const char* env = std::getenv("DISPLAY");
        if (!env || !*env) return;
        display_ = XOpenDisplay(nullptr);
        if (display_) watch_ = WatchXConnection(display_, [this] { lost_ = true; });
    }
    ~TScreenConnection() {
        if (!display_) return;
        XCloseDisplay(display_);  // a lost one without talking to the server
        UnwatchXConnection(watch_);
    }
    TScreenConnection(const TScreenConnection&) = delete;
    TScreenConnection& operator=(const TScreenConnection&) = delete;

    Display* Get() const { return display_; }
    bool Lost() const { return lost_; }

  private:
    Display* display_ = nullptr;
    std::uint64_t watch_ = 0;
    bool lost_ = false;  // only the thread using the connection finds out
};

std::uint8_t Channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const int width = std::popcount(mask >> shift);
    const unsigned long bits = (pixel & mask) >> shift;
    if (width >= 8) return static_cast<std::uint8_t>(bits >> (width - 8));
    const unsigned long top = (1ul << width) - 1;
    return static_cast<std::uint8_t>((bits * 255 + top / 2) / top);
}

void CopyXImage(XImage* xi, TPixelImage& image) {
    const bool direct = xi->bits_per_pixel == 32 && xi->byte_order == LSBFirst &&
                        xi->red_mask == 0xFF0000 && xi->green_mask == 0xFF00 &&
                        xi->blue_mask == 0xFF;
    for (int y = 0; y < image.Height; ++y) {
        std::uint8_t* row = image.Row(y);
        if (direct) {
            std::memcpy(row, xi->data + static_cast<std::ptrdiff_t>(y) * xi->bytes_per_line,
                        4 * static_cast<std::size_t>(image.Width));
            for (int x = 0; x < image.Width; ++x) row[4 * x + 3] = 0;
            continue;
        }
        for (int x = 0; x < image.Width; ++x) {
            const unsigned long pixel = XGetPixel(xi, x, y);
            row[4 * x] = Channel(pixel, xi->blue_mask);
            row[4 * x + 1] = Channel(pixel, xi->green_mask);
            row[4 * x + 2] = Channel(pixel, xi->red_mask);
            row[4 * x + 3] = 0;
        }
    }
}

// The X display named by $DISPLAY. Its description is kept for a moment, as
// every new screen-depth bitmap asks for it.
class XScreenSource : public TScreenSource {
  public:
    bool Describe(TScreenInfo& info) override {
        const char* env = std::getenv("DISPLAY");
        const std::string name = env ? env : "";
        const auto now = std::chrono::steady_clock::now();
        {
            std::lock_guard lock(mutex_);
            if (haveCached_ && cachedName_ == name && now - cachedAt_ < std::chrono::seconds(2)) {
                info = cachedInfo_;
                return cachedOk_;
            }
        }
        TScreenInfo fresh;
        const bool ok = Query(fresh);
        std::lock_guard lock(mutex_);
        haveCached_ = true;
        cachedName_ = name;
        cachedAt_ = now;
        cachedInfo_ = fresh;
        cachedOk_ = ok;
        info = fresh;
        return ok;
    }

    bool Grab(int width, int height, TPixelImage& image) override {
        TScreenConnection connection;
        Display* display = connection.Get();
        if (!display) return false;
        Screen* screen = DefaultScreenOfDisplay(display);
        width = std::min(width, WidthOfScreen(screen));
        height = std::min(height, HeightOfScreen(screen));
        image.Allocate(width, height);
        if (width <= 0 || height <= 0) return true;
        XSync(display, False);  // draw what others asked for before reading
        XImage* xi =
            XGetImage(display, RootWindowOfScreen(screen), 0, 0, static_cast<unsigned>(width),
                      static_cast<unsigned>(height), AllPlanes, ZPixmap);
        if (!connection.Lost()) XSync(display, False);
        if (xi && !connection.Lost()) CopyXImage(xi, image);
        const bool read = xi && !connection.Lost();
        if (xi) XDestroyImage(xi);
        return read;
    }

  private:
    static bool Query(TScreenInfo& info) {
        TScreenConnection connection;
        if (!connection.Get()) return false;
        Screen* screen = DefaultScreenOfDisplay(connection.Get());
        info.Width = WidthOfScreen(screen);
        info.Height = HeightOfScreen(screen);
        info.Depth = DefaultDepthOfScreen(screen);
        return true;
    }

    std::mutex mutex_;
    bool haveCached_ = false;
    std::string cachedName_;
    std::chrono::steady_clock::time_point cachedAt_;
    TScreenInfo cachedInfo_;
    bool cachedOk_ = false;
};

XScreenSource& XSource() {
    static XScreenSource source;
    return source;
}

std::atomic<TScreenSource*> installed{nullptr};

}  // namespace

TScreenSource& ScreenSource() {
    TScreenSource* source = installed.load();
    return source ? *source : XSource();
}

TScreenSource* SetScreenSource(TScreenSource* source) {
    return installed.exchange(source);
}

bool GetScreenInfo(TScreenInfo& info) {
    info = TScreenInfo();
    if (ScreenSource().Describe(info) && info.Width > 0 && info.Height > 0) return true;
    info = TScreenInfo();
    return false;
}

bool GrabScreen(int width, int height, TPixelImage& image) {
    image = TPixelImage();
    if (ScreenSource().Grab(width, height, image)) return true;
    image = TPixelImage();
    return false;
}

}  // namespace zr::os
