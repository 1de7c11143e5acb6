#include "framework/MessageForm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/Application.h"
#include "framework/FormBackend.h"
#include "framework/FormPainter.h"
#include "framework/MessageQueue.h"
#include "framework/StdCtrls.h"

namespace zr {
namespace {

std::vector<TButton*> ButtonsOf(const TForm& form) {
    std::vector<TButton*> buttons;
    for (int i = 0; i < form.ControlCount(); ++i)
        if (auto* b = dynamic_cast<TButton*>(form.Controls(i))) buttons.push_back(b);
    return buttons;
}

TMessageDialog Dialog(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons) {
    return TMessageDialog{DialogCaption(type), text, type, buttons, 0};
}

class MessageFormTest : public ::testing::Test {
  protected:
    void SetUp() override { SetFormBackend(&HeadlessFormBackend()); }
    void TearDown() override { SetFormBackend(nullptr); }
};

TEST_F(MessageFormTest, ButtonsComeInTheUsualOrderWithTheOnesEnterAndEscPress) {
    auto form = CreateMessageForm(Dialog("Save?", mtConfirmation, mbYesNoCancel));
    EXPECT_EQ(form->Caption(), "Confirm");
    auto buttons = ButtonsOf(*form);
    ASSERT_EQ(buttons.size(), 3u);
    EXPECT_EQ(buttons[0]->Caption(), "&Yes");
    EXPECT_EQ(buttons[2]->Caption(), "Cancel");
    EXPECT_LT(buttons[0]->Left(), buttons[1]->Left());
    EXPECT_EQ(form->DefaultButton(), buttons[0]);
    EXPECT_EQ(form->CancelButton(), buttons[2]);
    EXPECT_EQ(form->ActiveControl(), buttons[0]);
    for (TButton* b : buttons) {
        EXPECT_GE(b->Left(), 0);
        EXPECT_LE(b->Left() + b->Width(), form->ClientWidth());
        EXPECT_LE(b->Top() + b->Height(), form->ClientHeight());
    }

    // Nothing answers Esc among Abort, Retry and Ignore; Enter is Retry.
    form = CreateMessageForm(Dialog("Disk busy", mtError, mbAbortRetryIgnore));
    EXPECT_EQ(form->CancelButton(), nullptr);
    EXPECT_EQ(form->DefaultButton()->ModalResult(), mrRetry);

    form = CreateMessageForm(Dialog("Done", mtCustom, {}));
    ASSERT_EQ(ButtonsOf(*form).size(), 1u);
    EXPECT_EQ(ButtonsOf(*form)[0]->ModalResult(), mrOk);
}

TEST_F(MessageFormTest, TheTextIsShownAsItIsAndHelpAsksTheApplication) {
    const std::string text = "Tom & Jerry's ledger could not be saved";
    auto form = CreateMessageForm(Dialog(text, mtWarning, {mbOK, mbHelp}));
    TLabel* label = nullptr;
    for (int i = 0; i < form->ControlCount(); ++i)
        if (auto* l = dynamic_cast<TLabel*>(form->Controls(i))) label = l;
    ASSERT_NE(label, nullptr);
    int underline = 0;
    EXPECT_EQ(StripAccelerator(label->Caption(), underline), text);
    EXPECT_EQ(underline, -1);

    int context = 0;
    const THelpEvent saved = Application->OnHelp();
    Application->SetOnHelp(THelpEvent::FromFunction(
        [&](std::uint16_t, int data, bool&, bool& result) { context = data, result = true; }));
    TMessageDialog withHelp = Dialog(text, mtWarning, {mbOK, mbHelp});
    withHelp.HelpContext = 42;
    form = CreateMessageForm(withHelp);
    auto* help = dynamic_cast<TButton*>(form->FindComponent("btnHelp"));
    ASSERT_NE(help, nullptr);
    help->Click();
    Application->SetOnHelp(saved);
    EXPECT_EQ(context, 42);
    EXPECT_EQ(form->ModalResult(), mrNone);  // help leaves the box open
}

TEST_F(MessageFormTest, ShownWithoutADisplayItAnswersToKeysOnItsQueue) {
    // Keys go to whichever box is up once the modal loop runs.
    HWND typist = AllocateHWnd(TWndMethod::FromFunction([](TMessage& m) {
        if (TCustomForm* box = Screen->ActiveCustomForm())
            PostMessage(box->Handle(), WM_KEYDOWN, m.WParam, 0);
    }));
    PostMessage(typist, WM_USER, VK_ESCAPE);
    EXPECT_EQ(ShowMessageForm(Dialog("Overwrite?", mtConfirmation, {mbYes, mbNo})), mrNo);
    PostMessage(typist, WM_USER, VK_RETURN);
    EXPECT_EQ(ShowMessageForm(Dialog("Overwrite?", mtConfirmation, mbYesNoCancel)), mrYes);
    DeallocateHWnd(typist);
}

}  // namespace
}  // namespace zr
