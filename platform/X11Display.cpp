#include "platform/X11Display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/X11Errors.h"
#include "platform/X11Text.h"

namespace zr::os {

namespace {

constexpr int kOpenAttempts = 3;
constexpr auto kOpenRetryDelay = std::chrono::milliseconds(20);

unsigned long Scale(std::uint32_t channel, unsigned long mask) {
    if (mask == 0) return 0;
    const int shift = std::countr_zero(mask);
    const int width = std::popcount(mask >> shift);
    const unsigned long value = width >= 8 ? channel << (width - 8) : channel >> (8 - width);
    return (value << shift) & mask;
}

std::string ProgramName() {
    std::string name = program_invocation_short_name ? program_invocation_short_name : "";
    return name.empty() ? "zoririve" : name;
}

}  // namespace

std::unique_ptr<TXDisplay> TXDisplay::Open() {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return nullptr;
    // A server busy with clients coming and going now and then resets a new
    // connection; that is no reason to go without windows.
    Display* display = nullptr;
    for (int attempt = 0; attempt < kOpenAttempts && !display; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(kOpenRetryDelay);
        display = XOpenDisplay(nullptr);
    }
    if (!display) return nullptr;
    return std::unique_ptr<TXDisplay>(new TXDisplay(display));
}

TXDisplay::TXDisplay(_XDisplay* display) : display_(display) {
    fd_ = ConnectionNumber(display_);
    screen_ = DefaultScreen(display_);
    depth_ = DefaultDepth(display_, screen_);
    Visual* visual = DefaultVisual(display_, screen_);
    trueColor_ = visual->c_class == TrueColor;
    redMask_ = visual->red_mask;
    greenMask_ = visual->green_mask;
    blueMask_ = visual->blue_mask;

    // Only the main thread uses the connection, and it is the thread that
    // finds out when it broke.
    watch_ = WatchXConnection(display_, [this] { lost_ = true; });

    char* names[] = {
        const_cast<char*>("WM_PROTOCOLS"),        const_cast<char*>("WM_DELETE_WINDOW"),
        const_cast<char*>("_NET_WM_NAME"),        const_cast<char*>("UTF8_STRING"),
        const_cast<char*>("_NET_WM_WINDOW_TYPE"), const_cast<char*>("_NET_WM_WINDOW_TYPE_DIALOG"),
        const_cast<char*>("_NET_WM_PID")};
    Atom atoms[std::size(names)] = {};
    XInternAtoms(display_, names, static_cast<int>(std::size(names)), False, atoms);
    wmProtocols_ = atoms[0];
    wmDeleteWindow_ = atoms[1];
    netWmName_ = atoms[2];
    utf8String_ = atoms[3];
    netWmWindowType_ = atoms[4];
    netWmWindowTypeDialog_ = atoms[5];
    netWmPid_ = atoms[6];
}

TXDisplay::~TXDisplay() {
    if (!lost_) {
        for (auto& [key, font] : fonts_)
            if (font) XFreeFont(display_, static_cast<XFontStruct*>(font->Handle));
    }
    // A lost connection is closed without talking to the server.
    XCloseDisplay(display_);
    UnwatchXConnection(watch_);
}

TXWindow TXDisplay::CreateWindow(const TXWindowSpec& windowSpec) {
    if (lost_) return 0;
    const int width = std::max(windowSpec.Width, 1);
    const int height = std::max(windowSpec.Height, 1);
    XSetWindowAttributes attributes{};
    attributes.background_pixel = Pixel(windowSpec.Background);
    attributes.border_pixel = BlackPixel(display_, screen_);
    attributes.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | KeyPressMask |
                            StructureNotifyMask | PointerMotionMask | LeaveWindowMask |
                            FocusChangeMask;
    attributes.bit_gravity = NorthWestGravity;
    Window window = XCreateWindow(
        display_, RootWindow(display_, screen_), windowSpec.Left, windowSpec.Top,
        static_cast<unsigned>(width), static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
        CopyFromParent, CWBackPixel | CWBorderPixel | CWEventMask | CWBitGravity, &attributes);
    if (!window) return 0;

    Atom deleteWindow = wmDeleteWindow_;
    XSetWMProtocols(display_, window, &deleteWindow, 1);
    XSizeHints* hints = XAllocSizeHints();
    if (hints) {
        // The model places the window; window managers should not move it.
        hints->flags = USPosition | PPosition | PSize;
        hints->x = windowSpec.Left;
        hints->y = windowSpec.Top;
        hints->width = width;
        hints->height = height;
        if (windowSpec.FixedSize) {
            hints->flags |= PMinSize | PMaxSize;
            hints->min_width = hints->max_width = width;
            hints->min_height = hints->max_height = height;
        }
        XSetWMNormalHints(display_, window, hints);
        XFree(hints);
    }
    std::string program = ProgramName();
    XClassHint classHint{program.data(), program.data()};
    XSetClassHint(display_, window, &classHint);
    const long pid = static_cast<long>(getpid());
    XChangeProperty(display_, window, netWmPid_, XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&pid), 1);
    if (windowSpec.Dialog) {
        Atom type = netWmWindowTypeDialog_;
        XChangeProperty(display_, window, netWmWindowType_, XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&type), 1);
    }
    if (windowSpec.TransientFor) XSetTransientForHint(display_, window, windowSpec.TransientFor);
    SetTitle(window, windowSpec.Title);
    return window;
}

void TXDisplay::DestroyWindow(TXWindow window) {
    if (lost_ || !window) return;
    XDestroyWindow(display_, window);
}

void TXDisplay::Map(TXWindow window) {
    if (lost_ || !window) return;
    XMapRaised(display_, window);
}

void TXDisplay::Unmap(TXWindow window) {
    if (lost_ || !window) return;
    XUnmapWindow(display_, window);
}

unsigned long TXDisplay::MoveResize(TXWindow window, int left, int top, int width, int height) {
    if (lost_ || !window) return 0;
    const unsigned long serial = NextRequest(display_);
    XMoveResizeWindow(display_, window, left, top, static_cast<unsigned>(std::max(width, 1)),
                      static_cast<unsigned>(std::max(height, 1)));
    return serial;
}

void TXDisplay::SetTitle(TXWindow window, const std::string& title) {
    if (lost_ || !window) return;
    // WM_NAME is Latin-1 by convention; _NET_WM_NAME carries the whole text.
    const std::string latin1 = Utf8ToLatin1(title);
    XChangeProperty(display_, window, XA_WM_NAME, XA_STRING, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(latin1.data()),
                    static_cast<int>(latin1.size()));
    XChangeProperty(display_, window, netWmName_, utf8String_, 8, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(title.data()),
                    static_cast<int>(title.size()));
}

void TXDisplay::SetBackground(TXWindow window, std::uint32_t rgb) {
    if (lost_ || !window) return;
    XSetWindowBackground(display_, window, Pixel(rgb));
}

void TXDisplay::SetFixedSize(TXWindow window, int width, int height, bool fixed) {
    if (lost_ || !window) return;
    XSizeHints* hints = XAllocSizeHints();
    if (!hints) return;
    hints->flags = PSize;
    hints->width = std::max(width, 1);
    hints->height = std::max(height, 1);
    if (fixed) {
        hints->flags |= PMinSize | PMaxSize;
        hints->min_width = hints->max_width = hints->width;
        hints->min_height = hints->max_height = hints->height;
    }
    XSetWMNormalHints(display_, window, hints);
    XFree(hints);
}

void TXDisplay::RaiseAndFocus(TXWindow window) {
    if (lost_ || !window) return;
    XRaiseWindow(display_, window);
    XSetInputFocus(display_, window, RevertToParent, CurrentTime);
}

bool TXDisplay::Viewable(TXWindow window) {
    if (lost_ || !window) return false;
    XWindowAttributes attributes{};
    return XGetWindowAttributes(display_, window, &attributes) &&
           attributes.map_state == IsViewable;
}

TXWindow TXDisplay::FocusWindow() {
    if (lost_) return 0;
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    return focus == PointerRoot ? 0 : focus;
}

bool TXDisplay::NextInput(TXInput& input) {
    while (!lost_ && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (Translate(&event, input)) return true;
    }
    return false;
}

bool TXDisplay::Translate(void* raw, TXInput& input) {
    const XEvent& event = *static_cast<XEvent*>(raw);
    input = TXInput();
    input.Window = event.xany.window;
    input.Serial = event.xany.serial;
    switch (event.type) {
        case Expose:
            input.Kind = TXInput::kExpose;
            return true;
        case ButtonPress:
        case ButtonRelease:
            input.Kind = event.type == ButtonPress ? TXInput::kButtonDown : TXInput::kButtonUp;
            input.X = event.xbutton.x;
            input.Y = event.xbutton.y;
            input.Button = static_cast<int>(event.xbutton.button);
            input.Shift = event.xbutton.state & ShiftMask;
            input.Ctrl = event.xbutton.state & ControlMask;
            input.Alt = event.xbutton.state & Mod1Mask;
            return true;
        case KeyPress: {
            XKeyEvent key = event.xkey;
            char text[16];
            KeySym keySym = NoSymbol;
            XLookupString(&key, text, sizeof text, &keySym, nullptr);
            input.Kind = TXInput::kKey;
            input.KeySym = static_cast<std::uint32_t>(keySym);
            input.CodePoint = KeySymToCodePoint(input.KeySym);
            input.Shift = key.state & ShiftMask;
            input.Ctrl = key.state & ControlMask;
            input.Alt = key.state & Mod1Mask;
            return true;
        }
        case ClientMessage:
            if (event.xclient.message_type != wmProtocols_ || event.xclient.format != 32 ||
                static_cast<unsigned long>(event.xclient.data.l[0]) != wmDeleteWindow_)
                return false;
            input.Kind = TXInput::kCloseRequest;
            return true;
        case ConfigureNotify:
            input.Kind = TXInput::kResized;
            input.Window = event.xconfigure.window;
            input.Width = event.xconfigure.width;
            input.Height = event.xconfigure.height;
            return true;
        case MotionNotify:
            input.Kind = TXInput::kPointerMoved;
            input.X = event.xmotion.x;
            input.Y = event.xmotion.y;
            return true;
        case LeaveNotify:
            input.Kind = TXInput::kPointerLeft;
            return true;
        case MapNotify:
            input.Kind = TXInput::kMapped;
            input.Window = event.xmap.window;
            return true;
        case FocusIn:
        case FocusOut:
            // A grab's start and end only lend the keyboard for a moment;
            // the pointer's window hears of the focus only when it follows
            // the pointer, which never makes the window the focus.
            if (event.xfocus.mode == NotifyGrab || event.xfocus.mode == NotifyUngrab ||
                event.xfocus.detail == NotifyPointer)
                return false;
            input.Kind = event.type == FocusIn ? TXInput::kFocusIn : TXInput::kFocusOut;
            return true;
        default:
            return false;
    }
}

void TXDisplay::Flush() {
    if (!lost_) XFlush(display_);
}

bool TXDisplay::Queued() const {
    return !lost_ && XQLength(display_) > 0;
}

void TXDisplay::Bell() {
    if (lost_) return;
    XBell(display_, 0);
    XFlush(display_);
}

void TXDisplay::Sync() {
    if (!lost_) XSync(display_, False);
}

unsigned long TXDisplay::Pixel(std::uint32_t rgb) {
    const std::uint32_t r = rgb & 0xFF;
    const std::uint32_t g = (rgb >> 8) & 0xFF;
    const std::uint32_t b = (rgb >> 16) & 0xFF;
    if (trueColor_) return Scale(r, redMask_) | Scale(g, greenMask_) | Scale(b, blueMask_);
    auto it = allocatedColours_.find(rgb);
    if (it != allocatedColours_.end()) return it->second;
    unsigned long pixel =
        (r + g + b) / 3 >= 128 ? WhitePixel(display_, screen_) : BlackPixel(display_, screen_);
    XColor colour{};
    colour.red = static_cast<unsigned short>(r * 257);
    colour.green = static_cast<unsigned short>(g * 257);
    colour.blue = static_cast<unsigned short>(b * 257);
    if (!lost_ && XAllocColor(display_, DefaultColormap(display_, screen_), &colour))
        pixel = colour.pixel;
    allocatedColours_[rgb] = pixel;
    return pixel;
}

const TXFont* TXDisplay::Font(int pixelSize, bool bold) {
    pixelSize = std::clamp(pixelSize, 6, 72);
    auto key = std::make_pair(pixelSize, bold);
    if (auto it = fonts_.find(key); it != fonts_.end()) return it->second.get();
    if (lost_) return nullptr;
    // A proportional face first; the fixed faces every X server has, with
    // the whole of Unicode where they come so; then the server's own.
    const char* weight = bold ? "bold" : "medium";
    char patterns[5][128];
    std::snprintf(patterns[0], sizeof patterns[0],
                  "-*-helvetica-%s-r-normal--%d-*-*-*-p-*-iso10646-1", weight, pixelSize);
    std::snprintf(patterns[1], sizeof patterns[1],
                  "-*-helvetica-%s-r-normal--%d-*-*-*-p-*-iso8859-1", weight, pixelSize);
    std::snprintf(patterns[2], sizeof patterns[2],
                  "-misc-fixed-%s-r-semicondensed--13-*-*-*-*-*-iso10646-1", weight);
    std::snprintf(patterns[3], sizeof patterns[3],
                  "-misc-fixed-%s-r-normal--13-*-*-*-*-*-iso10646-1", weight);
    std::snprintf(patterns[4], sizeof patterns[4], "fixed");
    std::unique_ptr<TXFont> font;
    for (const char* pattern : patterns) {
        XFontStruct* info = XLoadQueryFont(display_, pattern);
        if (!info) continue;
        font = std::make_unique<TXFont>();
        font->Handle = info;
        font->Ascent = info->ascent;
        font->Descent = info->descent;
        font->TwoByte = info->min_byte1 != 0 || info->max_byte1 != 0;
        break;
    }
    const TXFont* result = font.get();
    fonts_[key] = std::move(font);
    return result;
}

}  // namespace zr::os
