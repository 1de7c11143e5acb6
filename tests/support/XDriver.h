// A second client of the X display, for tests that check what the suite
// shows there: it looks at windows as a window manager would, sends the
// input a person would give, makes a window of "another program" and draws
// on the screen itself.
//
// Xlib is loaded at run time (the test programs do not link it), so a test
// program runs, skipping these tests, on a machine without it. Nothing of
// Xlib's own appears here: its macros (None, Bool, Status) would spoil the
// headers included after this one.
#pragma once

#include <memory>
#include <string>

namespace zr::testing {

class TXDriver {
  public:
    // Connects to the display named by $DISPLAY; Ok() tells whether it could.
    TXDriver();
    ~TXDriver();
    TXDriver(const TXDriver&) = delete;
    TXDriver& operator=(const TXDriver&) = delete;
    bool Ok() const;

    // ---- looking at windows ----
    struct TWindowInfo {
        bool Exists = false;
        bool Viewable = false;
        int X = 0, Y = 0, Width = 0, Height = 0;
        std::string Name;
    };
    // Whether the window is among the top-level windows.
    bool Exists(unsigned long window);
    // Only for a window that nobody is destroying: asking about a gone one
    // is a protocol error, which ends the test program.
    TWindowInfo Describe(unsigned long window);
    // The window that has the keyboard.
    unsigned long Focus();

    // ---- a person's input, sent to the window ----
    void Click(unsigned long window, int x, int y);
    // `state` is Xlib's modifier mask (ShiftMask ...).
    void Key(unsigned long window, unsigned long keySym, unsigned state = 0);
    void MovePointer(unsigned long window, int x, int y);
    void PointerLeaves(unsigned long window);
    // What a window manager does when the user drags the window's border.
    void Resize(unsigned long window, int width, int height);
    // What a window manager sends when the user closes the window.
    void AskToClose(unsigned long window);

    // ---- another program's window ----
    // A mapped top-level window of this client; 0 when it could not be made.
    unsigned long CreateWindow(int x, int y, int width, int height);
    void DestroyWindow(unsigned long window);
    // Gives the keyboard to the window, as a window manager does when the
    // user clicks into it.
    void SetFocus(unsigned long window);
    // Whether the server shows the window (it and all its ancestors mapped).
    bool Viewable(unsigned long window);

    // ---- the screen itself ----
    int ScreenWidth();
    int ScreenHeight();
    int Depth();
    // Paints a white rectangle straight onto the root window; with
    // `overWindows` across any window that lies there too.
    void FillWhiteOnRoot(int x, int y, int width, int height, bool overWindows = false);
    // Waits until the server has handled every request sent so far.
    void Sync();

  private:
    struct TLibrary;
    std::unique_ptr<TLibrary> x_;
    void* display_ = nullptr;
};

}  // namespace zr::testing
