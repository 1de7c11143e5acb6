// The forms in real windows, checked from a second client of the display as
// a person's window manager or a test tool would see them. The suite skips
// when no X display can be opened.
#include "framework/X11FormBackend.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "framework/Application.h"
#include "framework/Dialogs.h"
#include "framework/FormBackend.h"
#include "framework/Forms.h"
#include "framework/MessageQueue.h"
#include "framework/ScreenShot.h"
#include "framework/StdCtrls.h"
#include "platform/ScreenCapture.h"

// Last: Xlib's macros (None, Bool, Status) would spoil the headers above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace zr {
namespace {

using namespace std::chrono_literals;

// Another client of the display. The test program does not link Xlib, so
// the client loads it the way a plug-in would.
class XClient {
  public:
    XClient() {
        lib_ = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (!lib_) return;
        bool ok = Load(open_, "XOpenDisplay") && Load(close_, "XCloseDisplay") &&
                  Load(sync_, "XSync") && Load(queryTree_, "XQueryTree") &&
                  Load(attributes_, "XGetWindowAttributes") && Load(fetchName_, "XFetchName") &&
                  Load(free_, "XFree") && Load(sendEvent_, "XSendEvent") &&
                  Load(keycode_, "XKeysymToKeycode") && Load(internAtom_, "XInternAtom") &&
                  Load(flush_, "XFlush") && Load(getFocus_, "XGetInputFocus") &&
                  Load(resize_, "XResizeWindow");
        // A server with clients coming and going now and then resets one.
        for (int attempt = 0; ok && !display_ && attempt < 3; ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(20ms);
            display_ = open_(nullptr);
        }
    }
    ~XClient() {
        if (display_) close_(display_);
        if (lib_) dlclose(lib_);
    }
    bool Ok() const { return display_ != nullptr; }

    struct TWindowInfo {
        bool Exists = false;
        bool Viewable = false;
        int X = 0, Y = 0, Width = 0, Height = 0;
        std::string Name;
    };

    // Whether the window is among the top-level windows.
    bool Exists(unsigned long window) {
        sync_(display_, False);
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (!queryTree_(display_, DefaultRootWindow(display_), &root, &parent, &children, &count))
            return false;
        bool found = false;
        for (unsigned i = 0; i < count; ++i)
            if (children[i] == window) found = true;
        if (children) free_(children);
        return found;
    }

    // Only for a window that nobody is destroying: asking about a gone one
    // is a protocol error, which ends the test program.
    TWindowInfo Describe(unsigned long window) {
        TWindowInfo info;
        info.Exists = Exists(window);
        if (!info.Exists) return info;
        XWindowAttributes a{};
        attributes_(display_, window, &a);
        info.Viewable = a.map_state == IsViewable;
        info.X = a.x;
        info.Y = a.y;
        info.Width = a.width;
        info.Height = a.height;
        char* name = nullptr;
        if (fetchName_(display_, window, &name) && name) {
            info.Name = name;
            free_(name);
        }
        return info;
    }

    // The window that has the keyboard.
    unsigned long Focus() {
        Window focus = 0;
        int revert = 0;
        getFocus_(display_, &focus, &revert);
        return focus;
    }

    void Click(unsigned long window, int x, int y) {
        for (int type : {ButtonPress, ButtonRelease}) {
            XEvent e{};
            e.xbutton.type = type;
            e.xbutton.display = display_;
            e.xbutton.window = window;
            e.xbutton.root = DefaultRootWindow(display_);
            e.xbutton.x = x;
            e.xbutton.y = y;
            e.xbutton.button = Button1;
            e.xbutton.same_screen = True;
            sendEvent_(display_, window, False,
                       type == ButtonPress ? ButtonPressMask : ButtonReleaseMask, &e);
        }
        flush_(display_);
    }

    void Key(unsigned long window, KeySym sym, unsigned state = 0) {
        XEvent e{};
        e.xkey.type = KeyPress;
        e.xkey.display = display_;
        e.xkey.window = window;
        e.xkey.root = DefaultRootWindow(display_);
        e.xkey.keycode = keycode_(display_, sym);
        e.xkey.state = state;
        e.xkey.same_screen = True;
        sendEvent_(display_, window, False, KeyPressMask, &e);
        flush_(display_);
    }

    // The pointer moving to (x, y) in the window, then leaving it.
    void MovePointer(unsigned long window, int x, int y) {
        XEvent e{};
        e.xmotion.type = MotionNotify;
        e.xmotion.display = display_;
        e.xmotion.window = window;
        e.xmotion.root = DefaultRootWindow(display_);
        e.xmotion.x = x;
        e.xmotion.y = y;
        e.xmotion.same_screen = True;
        sendEvent_(display_, window, False, PointerMotionMask, &e);
        flush_(display_);
    }
    void PointerLeaves(unsigned long window) {
        XEvent e{};
        e.xcrossing.type = LeaveNotify;
        e.xcrossing.display = display_;
        e.xcrossing.window = window;
        e.xcrossing.root = DefaultRootWindow(display_);
        e.xcrossing.same_screen = True;
        sendEvent_(display_, window, False, LeaveWindowMask, &e);
        flush_(display_);
    }

    // What a window manager does when the user drags the window's border.
    void Resize(unsigned long window, int width, int height) {
        resize_(display_, window, static_cast<unsigned>(width), static_cast<unsigned>(height));
        flush_(display_);
    }

    // What a window manager sends when the user closes the window.
    void AskToClose(unsigned long window) {
        XEvent e{};
        e.xclient.type = ClientMessage;
        e.xclient.window = window;
        e.xclient.message_type = internAtom_(display_, "WM_PROTOCOLS", False);
        e.xclient.format = 32;
        e.xclient.data.l[0] = static_cast<long>(internAtom_(display_, "WM_DELETE_WINDOW", False));
        sendEvent_(display_, window, False, NoEventMask, &e);
        flush_(display_);
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
    decltype(&XSync) sync_ = nullptr;
    decltype(&XQueryTree) queryTree_ = nullptr;
    decltype(&XGetWindowAttributes) attributes_ = nullptr;
    decltype(&XFetchName) fetchName_ = nullptr;
    decltype(&XFree) free_ = nullptr;
    decltype(&XSendEvent) sendEvent_ = nullptr;
    decltype(&XKeysymToKeycode) keycode_ = nullptr;
    decltype(&XInternAtom) internAtom_ = nullptr;
    decltype(&XFlush) flush_ = nullptr;
    decltype(&XGetInputFocus) getFocus_ = nullptr;
    decltype(&XResizeWindow) resize_ = nullptr;
};

// Runs the application's loop until `done` holds; false after `patience`.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds patience = 5s) {
    const auto limit = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < limit) {
        Application->ProcessMessages();
        if (done()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

// Runs `act` from the loop of a modal form once its window is up, and
// gives up the form with mrAbort when nothing closed it in time.
class ModalScript {
  public:
    ModalScript(XClient& client, TCustomForm& form, std::function<void(unsigned long)> act)
        : saved_(Application->OnIdle()) {
        const auto limit = std::chrono::steady_clock::now() + 5s;
        Application->SetOnIdle(
            TIdleEvent::FromFunction([&client, &form, act, limit, this](TObject*, bool&) {
                if (std::chrono::steady_clock::now() > limit) form.SetModalResult(mrAbort);
                if (acted_ || !form.Visible()) return;
                const unsigned long window = X11WindowOf(form);
                if (!window || !client.Describe(window).Viewable) return;
                acted_ = true;
                act(window);
            }));
    }
    ~ModalScript() { Application->SetOnIdle(saved_); }

  private:
    TIdleEvent saved_;
    bool acted_ = false;
};

class X11BackendTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!StartX11FormBackend()) GTEST_SKIP() << "no X display can be opened";
        client_ = std::make_unique<XClient>();
        if (!client_->Ok()) GTEST_SKIP() << "no second connection to the display";
    }
    void TearDown() override {
        client_.reset();
        StopX11FormBackend();
    }

    // Shows a message box through `show` and, once its window is up, clicks
    // the button named `button` in it as a user would.
    TModalResult ClickInMessageBox(const char* button, bool& clicked,
                                   const std::function<TModalResult()>& show) {
        const TIdleEvent savedIdle = Application->OnIdle();
        Application->SetOnIdle(TIdleEvent::FromFunction([&](TObject*, bool&) {
            TCustomForm* box = Screen->ActiveCustomForm();
            if (clicked || !box) return;
            const unsigned long window = X11WindowOf(*box);
            auto* target = dynamic_cast<TButton*>(box->FindComponent(button));
            if (!window || !target || !client_->Describe(window).Viewable) return;
            clicked = true;
            client_->Click(window, target->Left() + 10, target->Top() + 10);
        }));
        const TModalResult answer = show();
        Application->SetOnIdle(savedIdle);
        return answer;
    }

    std::unique_ptr<TForm> NewForm(const std::string& caption) {
        auto form = std::make_unique<TForm>(nullptr);
        form->SetCaption(caption);
        form->SetBorderStyle(bsDialog);
        // Away from the top-left corner, where other programs' tests draw
        // on the screen while these run.
        form->SetBounds(400, 300, 100, 100);
        form->SetClientWidth(300);
        form->SetClientHeight(140);
        return form;
    }

    TButton* AddButton(TForm& form, const std::string& caption, int left, TModalResult result) {
        auto* button = new TButton(&form);
        button->SetParent(&form);
        button->SetCaption(caption);
        button->SetBounds(left, 100, 75, 25);
        button->SetModalResult(result);
        return button;
    }

    std::unique_ptr<XClient> client_;
};

TEST_F(X11BackendTest, AFormShownHasAWindowOfItsCaptionPlaceAndSizeThatFollowsItToTheEnd) {
    auto form = NewForm("Ledger report");
    form->Show();
    const unsigned long window = X11WindowOf(*form);
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(PumpUntil([&] { return client_->Describe(window).Viewable; }));
    auto info = client_->Describe(window);
    EXPECT_EQ(info.Name, "Ledger report");
    EXPECT_EQ(info.Width, 300);
    EXPECT_EQ(info.Height, 140);
    EXPECT_EQ(info.X, 400);
    EXPECT_EQ(info.Y, 300);

    form->SetCaption("Ledger report (2)");
    form->SetClientWidth(320);
    ASSERT_TRUE(PumpUntil([&] { return client_->Describe(window).Width == 320; }));
    EXPECT_EQ(client_->Describe(window).Name, "Ledger report (2)");

    form->Hide();
    ASSERT_TRUE(PumpUntil([&] { return !client_->Describe(window).Viewable; }));
    EXPECT_TRUE(client_->Exists(window));
    form.reset();
    EXPECT_TRUE(PumpUntil([&] { return !client_->Exists(window); }));
}

TEST_F(X11BackendTest, ASizeableFormTakesTheSizeTheUserGivesItsWindow) {
    auto form = NewForm("Sizeable");
    form->SetBorderStyle(bsSizeable);
    form->SetClientWidth(300);
    form->Show();
    const unsigned long window = X11WindowOf(*form);
    ASSERT_TRUE(PumpUntil([&] { return client_->Describe(window).Viewable; }));
    client_->Resize(window, 410, 230);
    ASSERT_TRUE(
        PumpUntil([&] { return form->ClientWidth() == 410 && form->ClientHeight() == 230; }));
    // The window keeps what the user gave it.
    PumpUntil([] { return false; }, 200ms);
    auto info = client_->Describe(window);
    EXPECT_EQ(info.Width, 410);
    EXPECT_EQ(info.Height, 230);
}

TEST_F(X11BackendTest, TheBackendComesByItselfUnlessHeadlessIsAskedFor) {
    StopX11FormBackend();
    EXPECT_FALSE(X11FormBackendRunning());

    setenv("ZORIRIVE_HEADLESS", "1", 1);
    auto quiet = NewForm("Quiet");
    quiet->Show();
    unsetenv("ZORIRIVE_HEADLESS");
    EXPECT_FALSE(X11FormBackendRunning());
    EXPECT_EQ(X11WindowOf(*quiet), 0u);
    quiet->Hide();

    SetFormBackend(&HeadlessFormBackend());
    quiet->Show();
    EXPECT_FALSE(X11FormBackendRunning());
    quiet->Hide();
    SetFormBackend(nullptr);

    // The first form shown with a display brings the backend, and forms
    // that were already up get their windows then too.
    quiet->Show();
    auto shown = NewForm("Shown");
    shown->Show();
    EXPECT_TRUE(X11FormBackendRunning());
    EXPECT_NE(X11WindowOf(*shown), 0u);
    EXPECT_NE(X11WindowOf(*quiet), 0u);
}

TEST_F(X11BackendTest, ClicksAndKeysInTheWindowReachTheModelAndCloseTheModalForm) {
    auto form = NewForm("Confirm");
    TButton* ok = AddButton(*form, "OK", 130, mrOk);
    ok->SetDefault(true);
    TButton* cancel = AddButton(*form, "Cancel", 215, mrCancel);
    cancel->SetCancel(true);
    auto* box = new TCheckBox(form.get());
    box->SetParent(form.get());
    box->SetCaption("Attach a screenshot");
    box->SetBounds(10, 60, 200, 17);
    auto* edit = new TEdit(form.get());
    edit->SetParent(form.get());
    edit->SetBounds(10, 20, 200, 21);

    // Input posted to the form's queue works as it does headless.
    PostMessage(form->Handle(), WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_EQ(form->ShowModal(), mrCancel);

    {
        ModalScript script(*client_, *form, [&](unsigned long w) { client_->Click(w, 160, 110); });
        EXPECT_EQ(form->ShowModal(), mrOk);
    }
    {
        ModalScript script(*client_, *form, [&](unsigned long w) {
            client_->Click(w, 15, 68);  // the check box
            client_->Key(w, XK_Escape);
        });
        EXPECT_EQ(form->ShowModal(), mrCancel);
        EXPECT_TRUE(box->Checked());
    }
    {
        ModalScript script(*client_, *form, [&](unsigned long w) {
            client_->Click(w, 50, 30);  // into the edit box
            for (KeySym key : {XK_a, XK_b, XK_BackSpace}) client_->Key(w, key);
            client_->Key(w, XK_c, ShiftMask);
            client_->Key(w, XK_Return);
        });
        EXPECT_EQ(form->ShowModal(), mrOk);
        EXPECT_EQ(edit->Text(), "aC");
    }
    {
        ModalScript script(*client_, *form, [&](unsigned long w) { client_->AskToClose(w); });
        EXPECT_EQ(form->ShowModal(), mrCancel);
    }
}

TEST_F(X11BackendTest, TheKeyboardGoesToTheWindowOfTheActiveFormAndComesBackAfterADialog) {
    auto main = NewForm("Main");
    main->Show();
    const unsigned long mainWindow = X11WindowOf(*main);
    ASSERT_TRUE(PumpUntil([&] { return client_->Focus() == mainWindow; }));

    auto dialog = NewForm("Dialog");
    AddButton(*dialog, "OK", 10, mrOk);
    bool dialogHadIt = false;
    ModalScript script(*client_, *dialog, [&](unsigned long w) {
        dialogHadIt = PumpUntil([&] { return client_->Focus() == w; });
        client_->Click(w, 20, 110);
    });
    EXPECT_EQ(dialog->ShowModal(), mrOk);
    EXPECT_TRUE(dialogHadIt);
    EXPECT_TRUE(PumpUntil([&] { return client_->Focus() == mainWindow; }));
}

TEST_F(X11BackendTest, TheWindowShowsTheFormsControlsInTheirColours) {
    auto form = NewForm("Picture");
    form->SetBounds(450, 320, 100, 100);
    form->SetClientWidth(240);
    form->SetClientHeight(140);
    TButton* ok = AddButton(*form, "OK", 20, mrOk);
    ok->SetDefault(true);
    form->Show();
    const unsigned long window = X11WindowOf(*form);
    ASSERT_TRUE(PumpUntil([&] { return client_->Describe(window).Viewable; }));

    // The picture is there once the face colour shows where nothing lies.
    TBitmap shot;
    shot.SetPixelFormat(pf24bit);
    auto faceShows = [&] {
        TakeScreenshot(shot, 1024, 768);
        return shot.Pixels(form->Left() + 5, form->Top() + 5) == ColorToRGB(clBtnFace);
    };
    ASSERT_TRUE(PumpUntil(faceShows));
    std::set<TColor> colours;
    for (int y = 0; y < form->ClientHeight(); ++y)
        for (int x = 0; x < form->ClientWidth(); ++x)
            colours.insert(shot.Pixels(form->Left() + x, form->Top() + y));
    // Face, light and dark edges and the default button's frame at least.
    EXPECT_GE(colours.size(), 4u);
    EXPECT_EQ(shot.Pixels(form->Left() + 20, form->Top() + 100), ColorToRGB(SystemColor(21)));
}

// A screenshot taken the moment a form is shown (an error dialog that
// mails a picture of the screen) shows the form as drawn, not as the empty
// window it is until the loop gets round to painting it.
TEST_F(X11BackendTest, AScreenshotShowsAFormDrawnEvenWhenTakenAsItIsShown) {
    auto form = NewForm("Shot");
    form->SetBounds(600, 420, 100, 100);
    form->SetClientWidth(200);
    form->SetClientHeight(60);
    auto* label = new TLabel(form.get());
    label->SetParent(form.get());
    label->SetBounds(10, 10, 180, 40);
    label->SetCaption("WWWWWWWWWWWWWWWW");
    form->Show();
    TBitmap shot;
    shot.SetPixelFormat(pf24bit);
    TakeScreenshot(shot, 1024, 768);
    const TColor face = ColorToRGB(clBtnFace);
    int facePixels = 0, textPixels = 0;
    for (int y = 10; y < 50; ++y)
        for (int x = 10; x < 190; ++x) {
            const TColor pixel = shot.Pixels(form->Left() + x, form->Top() + y);
            facePixels += pixel == face;
            textPixels += pixel == ColorToRGB(clWindowText);
        }
    EXPECT_GT(facePixels, 1000);  // the form's face around the text
    EXPECT_GT(textPixels, 20);    // and the label's letters on it
}

TEST_F(X11BackendTest, AMessageBoxIsAWindowWhoseButtonsAnswer) {
    auto saved = SetDialogPresenter(nullptr);
    StopX11FormBackend();
    ASSERT_TRUE(StartX11FormBackend());

    bool clicked = false;
    const TModalResult answer = ClickInMessageBox("btnNo", clicked, [] {
        return MessageDlg("Save the changes?", mtConfirmation, mbYesNoCancel, 0);
    });
    SetDialogPresenter(saved);
    EXPECT_EQ(answer, mrNo);
}

// A program whose first window is a message box (an error before any form
// was shown) still gets a window, not a line on standard error.
TEST_F(X11BackendTest, TheFirstMessageBoxBringsTheBackendWhenNoFormWasShown) {
    auto saved = SetDialogPresenter(nullptr);
    StopX11FormBackend();
    const char* headless = std::getenv("ZORIRIVE_HEADLESS");
    const std::string wasHeadless = headless ? headless : "";
    unsetenv("ZORIRIVE_HEADLESS");

    bool clicked = false;
    const TModalResult answer = ClickInMessageBox(
        "btnOK", clicked, [] { return MessageDlg("Disk full", mtError, {mbOK}, 0); });
    if (headless) setenv("ZORIRIVE_HEADLESS", wasHeadless.c_str(), 1);
    SetDialogPresenter(saved);
    EXPECT_TRUE(clicked);
    EXPECT_EQ(answer, mrOk);
    EXPECT_TRUE(X11FormBackendRunning());
}

// A display of the test's own that can be taken away.
class PrivateDisplay {
  public:
    PrivateDisplay() {
        if (access("/usr/bin/Xvfb", X_OK) != 0) return;
        for (int n = 90 + getpid() % 100; n < 400 && pid_ <= 0; n += 7) {
            const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
            struct stat st {};
            if (stat(socket.c_str(), &st) == 0) continue;
            name_ = ":" + std::to_string(n);
            pid_ = fork();
            if (pid_ == 0) {
                execl("/usr/bin/Xvfb", "Xvfb", name_.c_str(), "-screen", "0", "640x480x24",
                      "-nolisten", "tcp", static_cast<char*>(nullptr));
                _exit(127);
            }
            const auto limit = std::chrono::steady_clock::now() + 10s;
            while (stat(socket.c_str(), &st) != 0 && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(20ms);
            ready_ = stat(socket.c_str(), &st) == 0;
        }
    }
    ~PrivateDisplay() { TakeAway(); }
    bool Ready() const { return ready_; }
    const std::string& Name() const { return name_; }
    void TakeAway() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    bool ready_ = false;
    std::string name_;
};

TEST_F(X11BackendTest, ADisplayThatGoesAwayLeavesTheFormsHeadlessAndCancelsTheModalOne) {
    PrivateDisplay display;
    if (!display.Ready()) GTEST_SKIP() << "no Xvfb to start";
    const std::string previous = std::getenv("DISPLAY");
    StopX11FormBackend();
    setenv("DISPLAY", display.Name().c_str(), 1);
    ASSERT_TRUE(StartX11FormBackend());

    auto background = NewForm("Stays up");
    background->Show();
    auto dialog = NewForm("Waiting for the user");
    const TIdleEvent savedIdle = Application->OnIdle();
    Application->SetOnIdle(TIdleEvent::FromFunction([&](TObject*, bool&) {
        if (dialog->Visible() && X11WindowOf(*dialog)) display.TakeAway();
    }));
    const TModalResult result = dialog->ShowModal();
    Application->SetOnIdle(savedIdle);

    EXPECT_EQ(result, mrCancel);
    EXPECT_FALSE(X11FormBackendRunning());
    EXPECT_TRUE(background->Visible());
    EXPECT_EQ(X11WindowOf(*background), 0u);
    // The model goes on without a display, though $DISPLAY still names it.
    auto* ok = AddButton(*dialog, "OK", 10, mrOk);
    ok->SetDefault(true);
    PostMessage(dialog->Handle(), WM_KEYDOWN, VK_RETURN, 0);
    EXPECT_EQ(dialog->ShowModal(), mrOk);
    EXPECT_FALSE(X11FormBackendRunning());
    setenv("DISPLAY", previous.c_str(), 1);
}

TEST_F(X11BackendTest, ThePointerOverAControlSetsTheApplicationsHintAndShowsTheControlsHint) {
    auto form = NewForm("Hints");
    form->SetShowHint(true);
    auto* edit = new TEdit(form.get());
    edit->SetParent(form.get());
    edit->SetBounds(10, 20, 200, 21);
    edit->SetHint("Name|The customer's name");
    form->Show();
    const unsigned long window = X11WindowOf(*form);
    ASSERT_TRUE(PumpUntil([&] { return client_->Describe(window).Viewable; }));

    client_->MovePointer(window, 15, 30);
    ASSERT_TRUE(PumpUntil([] { return Application->HintShowing(); }));
    EXPECT_EQ(Application->Hint(), "The customer's name");
    EXPECT_EQ(Application->CurrentHint().HintControl, edit);
    EXPECT_EQ(Application->CurrentHint().HintStr, "Name");
    EXPECT_EQ(Application->CurrentHint().CursorPos, (TPoint{5, 10}));

    client_->PointerLeaves(window);
    EXPECT_TRUE(PumpUntil([] { return !Application->HintShowing(); }));
    EXPECT_EQ(Application->Hint(), "");
}

}  // namespace
}  // namespace zr
