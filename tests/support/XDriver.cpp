#include "tests/support/XDriver.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <dlfcn.h>

#include <chrono>
#include <thread>

namespace zr::testing {

// Xlib's entry points, looked up once per driver.
struct TXDriver::TLibrary {
    void* handle = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    bool ok = handle != nullptr;

    template <class F>
    F Get(const char* name) {
        F fn = handle ? reinterpret_cast<F>(dlsym(handle, name)) : nullptr;
        if (!fn) ok = false;
        return fn;
    }

    decltype(&::XOpenDisplay) XOpenDisplay = Get<decltype(XOpenDisplay)>("XOpenDisplay");
    decltype(&::XCloseDisplay) XCloseDisplay = Get<decltype(XCloseDisplay)>("XCloseDisplay");
    decltype(&::XSync) XSync = Get<decltype(XSync)>("XSync");
    decltype(&::XFlush) XFlush = Get<decltype(XFlush)>("XFlush");
    decltype(&::XFree) XFree = Get<decltype(XFree)>("XFree");
    decltype(&::XQueryTree) XQueryTree = Get<decltype(XQueryTree)>("XQueryTree");
    decltype(&::XGetWindowAttributes) XGetWindowAttributes =
        Get<decltype(XGetWindowAttributes)>("XGetWindowAttributes");
    decltype(&::XFetchName) XFetchName = Get<decltype(XFetchName)>("XFetchName");
    decltype(&::XSendEvent) XSendEvent = Get<decltype(XSendEvent)>("XSendEvent");
    decltype(&::XKeysymToKeycode) XKeysymToKeycode =
        Get<decltype(XKeysymToKeycode)>("XKeysymToKeycode");
    decltype(&::XInternAtom) XInternAtom = Get<decltype(XInternAtom)>("XInternAtom");
    decltype(&::XGetInputFocus) XGetInputFocus = Get<decltype(XGetInputFocus)>("XGetInputFocus");
    decltype(&::XSetInputFocus) XSetInputFocus = Get<decltype(XSetInputFocus)>("XSetInputFocus");
    decltype(&::XResizeWindow) XResizeWindow = Get<decltype(XResizeWindow)>("XResizeWindow");
    decltype(&::XCreateSimpleWindow) XCreateSimpleWindow =
        Get<decltype(XCreateSimpleWindow)>("XCreateSimpleWindow");
    decltype(&::XMapRaised) XMapRaised = Get<decltype(XMapRaised)>("XMapRaised");
    decltype(&::XDestroyWindow) XDestroyWindow = Get<decltype(XDestroyWindow)>("XDestroyWindow");
    decltype(&::XDefaultScreen) XDefaultScreen = Get<decltype(XDefaultScreen)>("XDefaultScreen");
    decltype(&::XRootWindow) XRootWindow = Get<decltype(XRootWindow)>("XRootWindow");
    decltype(&::XDefaultGC) XDefaultGC = Get<decltype(XDefaultGC)>("XDefaultGC");
    decltype(&::XWhitePixel) XWhitePixel = Get<decltype(XWhitePixel)>("XWhitePixel");
    decltype(&::XBlackPixel) XBlackPixel = Get<decltype(XBlackPixel)>("XBlackPixel");
    decltype(&::XSetForeground) XSetForeground = Get<decltype(XSetForeground)>("XSetForeground");
    decltype(&::XSetSubwindowMode) XSetSubwindowMode =
        Get<decltype(XSetSubwindowMode)>("XSetSubwindowMode");
    decltype(&::XFillRectangle) XFillRectangle = Get<decltype(XFillRectangle)>("XFillRectangle");
    decltype(&::XDisplayWidth) XDisplayWidth = Get<decltype(XDisplayWidth)>("XDisplayWidth");
    decltype(&::XDisplayHeight) XDisplayHeight = Get<decltype(XDisplayHeight)>("XDisplayHeight");
    decltype(&::XDefaultDepth) XDefaultDepth = Get<decltype(XDefaultDepth)>("XDefaultDepth");

    TLibrary() = default;
    TLibrary(const TLibrary&) = delete;
    TLibrary& operator=(const TLibrary&) = delete;
    ~TLibrary() {
        if (handle) dlclose(handle);
    }
};

namespace {

Display* D(void* display) {
    return static_cast<Display*>(display);
}

}  // namespace

TXDriver::TXDriver() : x_(std::make_unique<TLibrary>()) {
    if (!x_->ok) return;
    // A server with clients coming and going now and then resets one.
    for (int attempt = 0; !display_ && attempt < 3; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        display_ = x_->XOpenDisplay(nullptr);
    }
}

TXDriver::~TXDriver() {
    if (display_) x_->XCloseDisplay(D(display_));
}

bool TXDriver::Ok() const {
    return display_ != nullptr;
}

// ---- looking at windows ----

bool TXDriver::Exists(unsigned long window) {
    x_->XSync(D(display_), False);
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!x_->XQueryTree(D(display_), DefaultRootWindow(D(display_)), &root, &parent, &children,
                        &count))
        return false;
    bool found = false;
    for (unsigned i = 0; i < count; ++i)
        if (children[i] == window) found = true;
    if (children) x_->XFree(children);
    return found;
}

TXDriver::TWindowInfo TXDriver::Describe(unsigned long window) {
    TWindowInfo info;
    info.Exists = Exists(window);
    if (!info.Exists) return info;
    XWindowAttributes a{};
    x_->XGetWindowAttributes(D(display_), window, &a);
    info.Viewable = a.map_state == IsViewable;
    info.X = a.x;
    info.Y = a.y;
    info.Width = a.width;
    info.Height = a.height;
    char* name = nullptr;
    if (x_->XFetchName(D(display_), window, &name) && name) {
        info.Name = name;
        x_->XFree(name);
    }
    return info;
}

unsigned long TXDriver::Focus() {
    Window focus = 0;
    int revert = 0;
    x_->XGetInputFocus(D(display_), &focus, &revert);
    return focus;
}

bool TXDriver::Viewable(unsigned long window) {
    XWindowAttributes a{};
    return x_->XGetWindowAttributes(D(display_), window, &a) && a.map_state == IsViewable;
}

// ---- a person's input ----

void TXDriver::Click(unsigned long window, int x, int y) {
    for (int type : {ButtonPress, ButtonRelease}) {
        XEvent e{};
        e.xbutton.type = type;
        e.xbutton.display = D(display_);
        e.xbutton.window = window;
        e.xbutton.root = DefaultRootWindow(D(display_));
        e.xbutton.x = x;
        e.xbutton.y = y;
        e.xbutton.button = Button1;
        e.xbutton.same_screen = True;
        x_->XSendEvent(D(display_), window, False,
                       type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &e);
    }
    x_->XFlush(D(display_));
}

void TXDriver::Key(unsigned long window, unsigned long keySym, unsigned state) {
    XEvent e{};
    e.xkey.type = KeyPress;
    e.xkey.display = D(display_);
    e.xkey.window = window;
    e.xkey.root = DefaultRootWindow(D(display_));
    e.xkey.keycode = x_->XKeysymToKeycode(D(display_), keySym);
    e.xkey.state = state;
    e.xkey.same_screen = True;
    x_->XSendEvent(D(display_), window, False, KeyPressMask, &e);
    x_->XFlush(D(display_));
}

void TXDriver::MovePointer(unsigned long window, int x, int y) {
    XEvent e{};
    e.xmotion.type = MotionNotify;
    e.xmotion.display = D(display_);
    e.xmotion.window = window;
    e.xmotion.root = DefaultRootWindow(D(display_));
    e.xmotion.x = x;
    e.xmotion.y = y;
    e.xmotion.same_screen = True;
    x_->XSendEvent(D(display_), window, False, PointerMotionMask, &e);
    x_->XFlush(D(display_));
}

void TXDriver::PointerLeaves(unsigned long window) {
    XEvent e{};
    e.xcrossing.type = LeaveNotify;
    e.xcrossing.display = D(display_);
    e.xcrossing.window = window;
    e.xcrossing.root = DefaultRootWindow(D(display_));
    e.xcrossing.same_screen = True;
    x_->XSendEvent(D(display_), window, False, LeaveWindowMask, &e);
    x_->XFlush(D(display_));
}

void TXDriver::Resize(unsigned long window, int width, int height) {
    x_->XResizeWindow(D(display_), window, static_cast<unsigned>(width),
                      static_cast<unsigned>(height));
    x_->XFlush(D(display_));
}

void TXDriver::AskToClose(unsigned long window) {
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = x_->XInternAtom(D(display_), "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] =
        static_cast<long>(x_->XInternAtom(D(display_), "WM_DELETE_WINDOW", False));
    x_->XSendEvent(D(display_), window, False, NoEventMask, &e);
    x_->XFlush(D(display_));
}

// ---- another program's window ----

unsigned long TXDriver::CreateWindow(int x, int y, int width, int height) {
    Display* d = D(display_);
    const int screen = x_->XDefaultScreen(d);
    const Window window = x_->XCreateSimpleWindow(
        d, x_->XRootWindow(d, screen), x, y, static_cast<unsigned>(width),
        static_cast<unsigned>(height), 0, x_->XBlackPixel(d, screen), x_->XWhitePixel(d, screen));
    if (window) x_->XMapRaised(d, window);
    x_->XSync(d, False);
    return window;
}

void TXDriver::DestroyWindow(unsigned long window) {
    x_->XDestroyWindow(D(display_), window);
    x_->XSync(D(display_), False);
}

void TXDriver::SetFocus(unsigned long window) {
    x_->XSetInputFocus(D(display_), window, RevertToParent, CurrentTime);
    x_->XSync(D(display_), False);
}

// ---- the screen itself ----

int TXDriver::ScreenWidth() {
    return x_->XDisplayWidth(D(display_), x_->XDefaultScreen(D(display_)));
}

int TXDriver::ScreenHeight() {
    return x_->XDisplayHeight(D(display_), x_->XDefaultScreen(D(display_)));
}

int TXDriver::Depth() {
    return x_->XDefaultDepth(D(display_), x_->XDefaultScreen(D(display_)));
}

void TXDriver::FillWhiteOnRoot(int x, int y, int width, int height, bool overWindows) {
    Display* d = D(display_);
    const int screen = x_->XDefaultScreen(d);
    GC gc = x_->XDefaultGC(d, screen);
    x_->XSetForeground(d, gc, x_->XWhitePixel(d, screen));
    x_->XSetSubwindowMode(d, gc, overWindows ? IncludeInferiors : ClipByChildren);
    x_->XFillRectangle(d, x_->XRootWindow(d, screen), gc, x, y, static_cast<unsigned>(width),
                       static_cast<unsigned>(height));
    x_->XSync(d, False);
}

void TXDriver::Sync() {
    x_->XSync(D(display_), False);
}

}  // namespace zr::testing
