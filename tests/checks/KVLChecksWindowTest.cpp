// A failed check in a real window: the mark is drawn beside the control
// (magenta let through), its hint shows when the pointer rests on it, and
// the keyboard goes to the first failed control. Skips without an X display.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "checks/KVLChecks.h"
#include "framework/Application.h"
#include "framework/Dialogs.h"
#include "framework/Forms.h"
#include "framework/ScreenShot.h"
#include "framework/StdCtrls.h"
#include "framework/X11FormBackend.h"
#include "platform/ScreenCapture.h"

// Last: Xlib's macros (None, Bool, Status) would spoil the headers above.
#include <X11/Xlib.h>

namespace zr {
namespace {

using namespace std::chrono_literals;

// A second client of the display, loaded as a plug-in would be (the test
// program does not link Xlib): it moves the pointer and asks who has the
// keyboard, as a person and a test tool would.
class PointerClient {
  public:
    PointerClient() {
        lib_ = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (!lib_ || !Load(open_, "XOpenDisplay") || !Load(close_, "XCloseDisplay") ||
            !Load(send_, "XSendEvent") || !Load(flush_, "XFlush") ||
            !Load(focus_, "XGetInputFocus"))
            return;
        display_ = open_(nullptr);
    }
    ~PointerClient() {
        if (display_) close_(display_);
        if (lib_) dlclose(lib_);
    }
    bool Ok() const { return display_ != nullptr; }

    void MoveTo(unsigned long window, int x, int y) {
        XEvent e{};
        e.xmotion.type = MotionNotify;
        e.xmotion.display = display_;
        e.xmotion.window = window;
        e.xmotion.root = DefaultRootWindow(display_);
        e.xmotion.x = x;
        e.xmotion.y = y;
        e.xmotion.same_screen = True;
        send_(display_, window, False, PointerMotionMask, &e);
        flush_(display_);
    }

    unsigned long Focus() {
        Window focus = 0;
        int revert = 0;
        focus_(display_, &focus, &revert);
        return focus;
    }

  private:
    template <class F>
    bool Load(F& fn, const char* name) {
        fn = reinterpret_cast<F>(dlsym(lib_, name));
        return fn != nullptr;
    }

    void* lib_ = nullptr;
    Display* display_ = nullptr;
    decltype(&XOpenDisplay) open_ = nullptr;
    decltype(&XCloseDisplay) close_ = nullptr;
    decltype(&XSendEvent) send_ = nullptr;
    decltype(&XFlush) flush_ = nullptr;
    decltype(&XGetInputFocus) focus_ = nullptr;
};

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds patience = 5s) {
    const auto limit = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < limit) {
        Application->ProcessMessages();
        if (done()) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

class CheckWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!StartX11FormBackend()) GTEST_SKIP() << "no X display can be opened";
        client_ = std::make_unique<PointerClient>();
        if (!client_->Ok()) GTEST_SKIP() << "no second connection to the display";
    }
    void TearDown() override {
        client_.reset();
        StopX11FormBackend();
    }

    // The screen's pixel at a point of the form's client area (no window
    // manager moves the window away from where the form puts it).
    TColor PixelAt(const TForm& form, int x, int y) {
        shot_.SetPixelFormat(pf24bit);
        TakeScreenshot(shot_, 1024, 768);
        return shot_.Pixels(form.Left() + x, form.Top() + y);
    }

    std::unique_ptr<PointerClient> client_;
    TBitmap shot_;
};

TEST_F(CheckWindow, TheMarkStandsBesideTheFailedControlShowsItsHintAndTheFocusGoesThere) {
    auto form = std::make_unique<TForm>(nullptr);
    form->SetCaption("Order");
    form->SetBorderStyle(bsDialog);
    // Away from the top-left corner, where other tests draw on the screen.
    form->SetBounds(520, 360, 100, 100);
    form->SetClientWidth(260);
    form->SetClientHeight(120);
    auto* quantity = new TEdit(form.get());
    quantity->SetParent(form.get());
    quantity->SetBounds(20, 20, 100, 21);
    auto* note = new TEdit(form.get());
    note->SetParent(form.get());
    note->SetBounds(20, 60, 100, 21);
    note->SetText("gift");
    auto* checks = new TKVLCheckProcessor(form.get());
    auto* amount = new TKVLCheckProviderNumericEdit(checks->CheckProviders());
    amount->SetCheckControl(quantity);
    amount->SetMinValue(1);
    amount->SetMaxValue(5);
    (new TKVLCheckProviderEdit(checks->CheckProviders()))->SetCheckControl(note);
    form->Show();
    note->SetFocus();
    const unsigned long window = X11WindowOf(*form);
    ASSERT_NE(window, 0u);

    quantity->SetText("7");
    ASSERT_FALSE(checks->Execute());
    EXPECT_EQ(form->ActiveControl(), quantity);
    const int markX = 20 + 100 + 5;
    const int markY = 20;
    ASSERT_TRUE(PumpUntil([&] { return PixelAt(*form, markX + 7, markY + 7) == clYellow; }))
        << "no mark drawn beside the control";
    EXPECT_EQ(PixelAt(*form, markX + 7, markY + 2), clRed);
    EXPECT_EQ(PixelAt(*form, markX, markY), ColorToRGB(clBtnFace)) << "magenta must not show";
    EXPECT_EQ(PixelAt(*form, markX + 7, 60 + 7), ColorToRGB(clBtnFace)) << "the note passed";
    EXPECT_TRUE(PumpUntil([&] { return client_->Focus() == window; }));

    // Resting on the mark shows its hint below the pointer.
    const int hintY = markY + 8 + 20 + 2;
    EXPECT_NE(PixelAt(*form, markX + 10, hintY), ColorToRGB(clInfoBk));
    client_->MoveTo(window, markX + 8, markY + 8);
    EXPECT_TRUE(PumpUntil([&] {
        return PixelAt(*form, markX + 10, hintY) == ColorToRGB(clInfoBk);
    })) << "no hint shown on the mark";
    client_->MoveTo(window, 200, 100);
    EXPECT_TRUE(
        PumpUntil([&] { return PixelAt(*form, markX + 10, hintY) != ColorToRGB(clInfoBk); }));

    EXPECT_TRUE(MessageBeep(MB_ICONHAND)) << "the display's bell rings while windows show";
}

}  // namespace
}  // namespace zr
