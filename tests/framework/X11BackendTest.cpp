// The forms in real windows, checked from a second client of the display as
// a person's window manager or a test tool would see them. Each test has a
// display of its own (TestDisplay.h); the suite skips when none can be had.
#include "framework/X11FormBackend.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
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
#include "tests/support/ScopedEnv.h"
#include "tests/support/TestDisplay.h"
#include "tests/support/XDriver.h"

// Last: Xlib's macros (None, Bool, Status) would spoil the headers above.
#include <X11/X.h>
#include <X11/keysym.h>

namespace zr {
namespace {

using namespace std::chrono_literals;

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
// gives up the form with mrAbort when nothing closed it in time. The loop
// asks again without waiting for input (Done = false): the window may come
// up, or the time run out, while nothing more arrives from the display.
class ModalScript {
  public:
    ModalScript(testing::TXDriver& client, TCustomForm& form,
                std::function<void(unsigned long)> act)
        : saved_(Application->OnIdle()) {
        const auto limit = std::chrono::steady_clock::now() + 5s;
        Application->SetOnIdle(
            TIdleEvent::FromFunction([&client, &form, act, limit, this](TObject*, bool& done) {
                done = false;
                std::this_thread::sleep_for(2ms);
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
        display_.emplace();
        if (!display_->Ready()) GTEST_SKIP() << display_->WhyNot();
        if (!StartX11FormBackend()) GTEST_SKIP() << "no X display can be opened";
        client_ = std::make_unique<testing::TXDriver>();
        if (!client_->Ok()) GTEST_SKIP() << "no second connection to the display";
    }
    void TearDown() override {
        client_.reset();
        StopX11FormBackend();
        display_.reset();
    }

    // Shows a message box through `show` and, once its window is up, clicks
    // the button named `button` in it as a user would.
    TModalResult ClickInMessageBox(const char* button, bool& clicked,
                                   const std::function<TModalResult()>& show) {
        const TIdleEvent savedIdle = Application->OnIdle();
        Application->SetOnIdle(TIdleEvent::FromFunction([&](TObject*, bool& done) {
            if (clicked) return;
            done = false;  // asked again until the box is up, input or not
            std::this_thread::sleep_for(2ms);
            TCustomForm* box = Screen->ActiveCustomForm();
            if (!box) return;
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

    std::optional<testing::TTestDisplay> display_;
    std::unique_ptr<testing::TXDriver> client_;
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

    auto quiet = NewForm("Quiet");
    {
        testing::ScopedEnv headless("ZORIRIVE_HEADLESS", "1");
        quiet->Show();
    }
    testing::ScopedEnv headless("ZORIRIVE_HEADLESS", std::nullopt);
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

// The user switching to another program's window and back: the application
// hears it once each way, and the keyboard moving between its own windows is
// no switch.
TEST_F(X11BackendTest, AnotherProgramTakingTheKeyboardDeactivatesTheApplicationUntilItComesBack) {
    auto main = NewForm("Main");
    main->Show();
    const unsigned long mainWindow = X11WindowOf(*main);
    ASSERT_TRUE(PumpUntil([&] { return client_->Focus() == mainWindow; }));
    PumpUntil([] { return false; }, 100ms);  // our own focus news is read
    ASSERT_TRUE(Application->Active());

    int activations = 0, deactivations = 0;
    const TNotifyEvent savedActivate = Application->OnActivate();
    const TNotifyEvent savedDeactivate = Application->OnDeactivate();
    Application->SetOnActivate(TNotifyEvent::FromFunction([&](TObject*) { ++activations; }));
    Application->SetOnDeactivate(TNotifyEvent::FromFunction([&](TObject*) { ++deactivations; }));

    const unsigned long other = client_->CreateWindow(700, 100, 120, 80);
    ASSERT_NE(other, 0u);
    client_->SetFocus(other);
    EXPECT_TRUE(PumpUntil([&] { return deactivations == 1; })) << "no OnDeactivate";
    EXPECT_FALSE(Application->Active());

    client_->SetFocus(mainWindow);
    EXPECT_TRUE(PumpUntil([&] { return activations == 1; })) << "no OnActivate";
    EXPECT_TRUE(Application->Active());

    auto second = NewForm("Second");
    second->SetBounds(100, 100, 100, 100);
    second->Show();
    const unsigned long secondWindow = X11WindowOf(*second);
    EXPECT_TRUE(PumpUntil([&] { return client_->Focus() == secondWindow; }));
    PumpUntil([] { return false; }, 200ms);
    EXPECT_EQ(activations, 1);
    EXPECT_EQ(deactivations, 1);
    EXPECT_TRUE(Application->Active());

    Application->SetOnActivate(savedActivate);
    Application->SetOnDeactivate(savedDeactivate);
    client_->DestroyWindow(other);
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
    testing::ScopedEnv headless("ZORIRIVE_HEADLESS", std::nullopt);

    bool clicked = false;
    const TModalResult answer = ClickInMessageBox(
        "btnOK", clicked, [] { return MessageDlg("Disk full", mtError, {mbOK}, 0); });
    SetDialogPresenter(saved);
    EXPECT_TRUE(clicked);
    EXPECT_EQ(answer, mrOk);
    EXPECT_TRUE(X11FormBackendRunning());
}

TEST_F(X11BackendTest, ADisplayThatGoesAwayLeavesTheFormsHeadlessAndCancelsTheModalOne) {
    // A second display of its own, beside the one the fixture set up.
    testing::TPrivateDisplay display;
    if (!display.Ready()) GTEST_SKIP() << "no Xvfb to start";
    StopX11FormBackend();
    testing::ScopedEnv displayName("DISPLAY", display.Name());
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
