// A failed check in a real window: the mark is drawn beside the control
// (magenta let through), its hint shows when the pointer rests on it, and
// the keyboard goes to the first failed control. Runs on a display of its
// own (TestDisplay.h); skips when none can be had.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "checks/KVLChecks.h"
#include "framework/Application.h"
#include "framework/Dialogs.h"
#include "framework/Forms.h"
#include "framework/ScreenShot.h"
#include "framework/StdCtrls.h"
#include "framework/X11FormBackend.h"
#include "platform/ScreenCapture.h"
#include "tests/support/TestDisplay.h"
#include "tests/support/XDriver.h"

namespace zr {
namespace {

using namespace std::chrono_literals;

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
        display_.emplace();
        if (!display_->Ready()) GTEST_SKIP() << display_->WhyNot();
        if (!StartX11FormBackend()) GTEST_SKIP() << "no X display can be opened";
        // A second client moves the pointer and asks who has the keyboard,
        // as a person and a test tool would.
        client_ = std::make_unique<testing::TXDriver>();
        if (!client_->Ok()) GTEST_SKIP() << "no second connection to the display";
    }
    void TearDown() override {
        client_.reset();
        StopX11FormBackend();
        display_.reset();
    }

    // The screen's pixel at a point of the form's client area (no window
    // manager moves the window away from where the form puts it).
    TColor PixelAt(const TForm& form, int x, int y) {
        shot_.SetPixelFormat(pf24bit);
        TakeScreenshot(shot_, 1024, 768);
        return shot_.Pixels(form.Left() + x, form.Top() + y);
    }

    std::optional<testing::TTestDisplay> display_;
    std::unique_ptr<testing::TXDriver> client_;
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
    client_->MovePointer(window, markX + 8, markY + 8);
    EXPECT_TRUE(PumpUntil([&] {
        return PixelAt(*form, markX + 10, hintY) == ColorToRGB(clInfoBk);
    })) << "no hint shown on the mark";
    client_->MovePointer(window, 200, 100);
    EXPECT_TRUE(
        PumpUntil([&] { return PixelAt(*form, markX + 10, hintY) != ColorToRGB(clInfoBk); }));

    EXPECT_TRUE(MessageBeep(MB_ICONHAND)) << "the display's bell rings while windows show";
}

}  // namespace
}  // namespace zr
