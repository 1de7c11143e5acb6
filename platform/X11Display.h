// The main thread's connection to the X display for showing windows: making
// top-level windows and their properties, reading the user's input as plain
// records, fonts and colours for drawing (X11Canvas.h).
//
// A display that goes away must not take the application with it: Xlib's
// habit of ending the process on a broken connection or a protocol error is
// replaced by marking the connection lost, after which every call does
// nothing and NextInput reports nothing. The owner notices Lost() and lets
// the connection go.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

struct _XDisplay;

namespace zr::os {

// An X window id; 0 is no window.
using TXWindow = unsigned long;

// One piece of input or window news, in the window's own coordinates.
struct TXInput {
    enum TKind {
        kNone,
        kExpose,
        kButtonDown,
        kButtonUp,
        kKey,
        kCloseRequest,
        kResized,
        kMapped,
        kPointerMoved,  // X, Y: where the pointer is now
        kPointerLeft,   // the pointer left the window
        // The window got or lost the keyboard focus. Only real moves of the
        // focus come through: none for the short hold of a keyboard grab
        // (a window manager's switcher, a menu) nor for the pointer's window
        // under a focus that follows the pointer.
        kFocusIn,
        kFocusOut,
    };
    TKind Kind = kNone;
    TXWindow Window = 0;
    int X = 0;
    int Y = 0;
    int Button = 0;  // 1 left, 2 middle, 3 right
    int Width = 0;   // kResized: the new size
    int Height = 0;
    // The last request the server had handled when it made the event, so a
    // notice about an older size can be told from one about the newest.
    unsigned long Serial = 0;
    std::uint32_t KeySym = 0;
    std::uint32_t CodePoint = 0;  // the character the key types; 0 for none
    bool Shift = false;
    bool Ctrl = false;
    bool Alt = false;
};

struct TXWindowSpec {
    int Left = 0;
    int Top = 0;
    int Width = 1;
    int Height = 1;
    std::string Title;                    // UTF-8
    std::uint32_t Background = 0xC0C0C0;  // 0x00BBGGRR
    bool FixedSize = false;               // the user may not resize it
    bool Dialog = false;                  // a dialog's window (window managers decorate it so)
    TXWindow TransientFor = 0;
};

// A font loaded on the server. Handle is Xlib's XFontStruct.
struct TXFont {
    void* Handle = nullptr;
    int Ascent = 0;
    int Descent = 0;
    bool TwoByte = false;  // indexed by Unicode code point (an ISO 10646 font)
};

class TXDisplay {
  public:
    // The display named by $DISPLAY; nullptr when it is unset or cannot be
    // opened.
    static std::unique_ptr<TXDisplay> Open();
    ~TXDisplay();
    TXDisplay(const TXDisplay&) = delete;
    TXDisplay& operator=(const TXDisplay&) = delete;

    // The connection's socket: readable when input may be waiting.
    int Fd() const { return fd_; }
    // The server went away; nothing more will come through.
    bool Lost() const { return lost_; }

    // A new top-level window, not mapped yet; 0 when it could not be made.
    TXWindow CreateWindow(const TXWindowSpec& windowSpec);
    void DestroyWindow(TXWindow window);
    void Map(TXWindow window);
    void Unmap(TXWindow window);
    // Moves and sizes the window; returns the serial of the request, which
    // later kResized records compare against.
    unsigned long MoveResize(TXWindow window, int left, int top, int width, int height);
    void SetTitle(TXWindow window, const std::string& title);
    void SetBackground(TXWindow window, std::uint32_t rgb);
    // Keeps the user from resizing (or lets them again).
    void SetFixedSize(TXWindow window, int width, int height, bool fixed);
    void RaiseAndFocus(TXWindow window);
    // The window and all its ancestors are mapped: drawing on it shows.
    // Asks the server (a round trip).
    bool Viewable(TXWindow window);
    // The window that has the keyboard focus now; 0 when none has it (or it
    // follows the pointer). Asks the server (a round trip).
    TXWindow FocusWindow();

    // Takes the next record of input; false when none is waiting. Never
    // blocks.
    bool NextInput(TXInput& input);
    // News that Xlib has already read off the connection (during a round
    // trip) and keeps in its own queue, where the descriptor no longer
    // shows it.
    bool Queued() const;
    // Sends what is buffered to the server.
    void Flush();
    // Rings the display's bell at its usual volume.
    void Bell();
    // Waits until the server has handled every request sent so far.
    void Sync();

    // The device pixel of a colour (0x00BBGGRR).
    unsigned long Pixel(std::uint32_t rgb);
    // A font of about `pixelSize` pixels; nullptr when the server has none
    // of the kinds asked for (text is then left out, not the drawing).
    const TXFont* Font(int pixelSize, bool bold);

    _XDisplay* Handle() const { return display_; }
    int Depth() const { return depth_; }

  private:
    explicit TXDisplay(_XDisplay* display);
    bool Translate(void* event, TXInput& input);

    _XDisplay* display_;
    std::uint64_t watch_ = 0;  // the registration with the error handlers
    int fd_ = -1;
    int screen_ = 0;
    int depth_ = 24;
    bool lost_ = false;
    bool trueColor_ = false;
    unsigned long redMask_ = 0;
    unsigned long greenMask_ = 0;
    unsigned long blueMask_ = 0;
    unsigned long wmProtocols_ = 0;
    unsigned long wmDeleteWindow_ = 0;
    unsigned long netWmName_ = 0;
    unsigned long utf8String_ = 0;
    unsigned long netWmWindowType_ = 0;
    unsigned long netWmWindowTypeDialog_ = 0;
    unsigned long netWmPid_ = 0;
    std::map<std::uint32_t, unsigned long> allocatedColours_;
    std::map<std::pair<int, bool>, std::unique_ptr<TXFont>> fonts_;
};

}  // namespace zr::os
