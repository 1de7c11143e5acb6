// The few Xlib calls the screen tests draw with, taken at run time so that a
// test program needs no X library of its own to link, and runs (skipping those
// tests) on a machine without one.
#pragma once

#include <dlfcn.h>

namespace zr::testing {

struct Xlib {
    void* lib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    template <class F>
    F Get(const char* name) {
        return lib ? reinterpret_cast<F>(dlsym(lib, name)) : nullptr;
    }
    void* (*OpenDisplay)(const char*) = Get<void* (*)(const char*)>("XOpenDisplay");
    int (*CloseDisplay)(void*) = Get<int (*)(void*)>("XCloseDisplay");
    int (*DefaultScreen)(void*) = Get<int (*)(void*)>("XDefaultScreen");
    unsigned long (*RootWindow)(void*, int) = Get<unsigned long (*)(void*, int)>("XRootWindow");
    void* (*DefaultGC)(void*, int) = Get<void* (*)(void*, int)>("XDefaultGC");
    unsigned long (*WhitePixel)(void*, int) = Get<unsigned long (*)(void*, int)>("XWhitePixel");
    int (*SetForeground)(void*, void*, unsigned long) =
        Get<int (*)(void*, void*, unsigned long)>("XSetForeground");
    int (*SetSubwindowMode)(void*, void*,
                            int) = Get<int (*)(void*, void*, int)>("XSetSubwindowMode");
    int (*FillRectangle)(void*, unsigned long, void*, int, int, unsigned, unsigned) =
        Get<int (*)(void*, unsigned long, void*, int, int, unsigned, unsigned)>("XFillRectangle");
    int (*Sync)(void*, int) = Get<int (*)(void*, int)>("XSync");
    int (*DisplayWidth)(void*, int) = Get<int (*)(void*, int)>("XDisplayWidth");
    int (*DisplayHeight)(void*, int) = Get<int (*)(void*, int)>("XDisplayHeight");
    int (*DefaultDepth)(void*, int) = Get<int (*)(void*, int)>("XDefaultDepth");
    Xlib() = default;
    Xlib(const Xlib&) = delete;
    Xlib& operator=(const Xlib&) = delete;
    ~Xlib() {
        if (lib) dlclose(lib);
    }
};

}  // namespace zr::testing
