#include "framework/Forms.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/Application.h"
#include "framework/ExtCtrls.h"
#include "framework/FormReader.h"
#include "framework/FormWriter.h"
#include "framework/MessageQueue.h"
#include "framework/StdCtrls.h"
#include "framework/Strings.h"
#include "platform/ScreenCapture.h"
#include "tests/framework/PosterTestSupport.h"
#include "tests/framework/ScreenTestSupport.h"

namespace zr {

// A dialog laid out like the exception log's error dialog. The base class
// holds the published click handlers; the dialog reads its layout when made.
class TCtlTestDialogBase : public TForm {
    ZR_CLASS(TCtlTestDialogBase, TForm)
  public:
    explicit TCtlTestDialogBase(TComponent* owner) : TForm(owner) {}
    void btnEmailClick(TObject*) { ++emailClicks; }
    void btnGoWEBClick(TObject*) { ++webClicks; }
    int emailClicks = 0;
    int webClicks = 0;
};

ZR_REGISTER_CLASS(TCtlTestDialogBase, c) {
    c.Method("btnEmailClick", &TCtlTestDialogBase::btnEmailClick);
    c.Method("btnGoWEBClick", &TCtlTestDialogBase::btnGoWEBClick);
}

const char* const kDialogLayout = R"(object frmTestDialog: TCtlTestDialogBase
  Left = 200
  Top = 108
  BorderStyle = bsDialog
  ClientHeight = 110
  ClientWidth = 394
  Color = clBtnFace
  Font.Charset = DEFAULT_CHARSET
  Font.Color = clWindowText
  Font.Height = -11
  Font.Name = 'MS Sans Serif'
  Font.Style = []
  OldCreateOrder = False
  Position = poScreenCenter
  PixelsPerInch = 96
  TextHeight = 13
  object imgError: TImage
    Left = 10
    Top = 10
    Width = 32
    Height = 32
    Center = True
  end
  object lblErrorText: TMemo
    Left = 56
    Top = 10
    Width = 329
    Height = 57
    BorderStyle = bsNone
    ParentColor = True
    ReadOnly = True
    ScrollBars = ssVertical
    TabOrder = 1
  end
  object btnClose: TButton
    Left = 312
    Top = 80
    Width = 75
    Height = 25
    Caption = '&Close'
    Default = True
    Cancel = True
    ModalResult = 1
    TabOrder = 0
  end
  object btnEmail: TButton
    Left = 8
    Top = 80
    Width = 125
    Height = 25
    TabOrder = 3
    Visible = False
    OnClick = btnEmailClick
  end
  object cbAttachScreenshot: TCheckBox
    Left = 8
    Top = 110
    Width = 250
    Height = 17
    TabOrder = 2
    Visible = False
  end
  object btnGoWEB: TButton
    Left = 138
    Top = 80
    Width = 125
    Height = 25
    TabOrder = 4
    Visible = False
    OnClick = btnGoWEBClick
  end
end
)";

class TCtlTestDialog : public TCtlTestDialogBase {
    ZR_CLASS(TCtlTestDialog, TCtlTestDialogBase)
  public:
    explicit TCtlTestDialog(TComponent* owner) : TCtlTestDialogBase(owner) {
        ReadComponentInto(this, kDialogLayout);
    }
    template <class T>
    T* Find(const char* name) const {
        return dynamic_cast<T*>(FindComponent(name));
    }
};

ZR_REGISTER_CLASS(TCtlTestDialog, c) {}

}  // namespace zr

using namespace zr;

namespace {

using zr::testing::Poster;

void PostKey(TCustomForm& form, std::uint16_t key, TShiftState shift = {}) {
    PostMessage(form.Handle(), WM_KEYDOWN, key, static_cast<LPARAM>(shift.Mask()));
}

// Closes the form if what the test posted did not: the test then fails on
// the result instead of waiting for ever.
void PostSafetyClose(TCustomForm& form) {
    PostMessage(form.Handle(), WM_CLOSE);
}

TNotifyEvent Note(std::vector<std::string>& journal, std::string what) {
    return TNotifyEvent::FromFunction([&journal, what](TObject*) { journal.push_back(what); });
}

class Forms : public ::testing::Test {
  protected:
    void SetUp() override { Application->ProcessMessages(); }
    void TearDown() override { Application->ProcessMessages(); }

    // An OK / Cancel dialog with an edit box first in tab order.
    std::unique_ptr<TForm> MakeOkCancel() {
        auto form = std::make_unique<TForm>(nullptr);
        edit = new TEdit(form.get());
        edit->SetParent(form.get());
        ok = new TButton(form.get());
        ok->SetParent(form.get());
        ok->SetDefault(true);
        ok->SetModalResult(mrOk);
        cancel = new TButton(form.get());
        cancel->SetParent(form.get());
        cancel->SetCancel(true);
        cancel->SetModalResult(mrCancel);
        return form;
    }

    TEdit* edit = nullptr;
    TButton* ok = nullptr;
    TButton* cancel = nullptr;
};

}  // namespace

TEST_F(Forms, AModalFormClosesOnEnterAndEscWithTheButtonsResult) {
    auto form = MakeOkCancel();
    PostKey(*form, VK_RETURN);
    PostSafetyClose(*form);
    EXPECT_EQ(form->ShowModal(), mrOk);
    EXPECT_FALSE(form->Visible());
    EXPECT_FALSE(form->Modal());
    Application->ProcessMessages();  // the unused safety close

    PostKey(*form, VK_ESCAPE);
    PostSafetyClose(*form);
    EXPECT_EQ(form->ShowModal(), mrCancel);
    Application->ProcessMessages();

    // The window's close command cancels.
    PostSafetyClose(*form);
    EXPECT_EQ(form->ShowModal(), mrCancel);

    // While the loop runs, the dialog is active and its first control focused.
    Poster poster;
    TWinControl* focused = nullptr;
    poster.Post([&] {
        focused = Screen->ActiveControl();
        ok->Click();
    });
    PostSafetyClose(*form);
    EXPECT_EQ(form->ShowModal(), mrOk);
    EXPECT_EQ(focused, edit);
}

TEST_F(Forms, EnterClicksTheFocusedButtonElseTheVisibleDefaultButton) {
    auto form = MakeOkCancel();
    std::vector<std::string> clicks;
    ok->SetOnClick(Note(clicks, "ok"));
    cancel->SetOnClick(Note(clicks, "cancel"));
    form->Show();

    EXPECT_TRUE(form->PressKey(VK_RETURN));  // the edit box is focused
    cancel->SetFocus();
    EXPECT_TRUE(form->PressKey(VK_RETURN));
    EXPECT_TRUE(form->PressKey(VK_ESCAPE));
    EXPECT_EQ(clicks, (std::vector<std::string>{"ok", "cancel", "cancel"}));
    EXPECT_EQ(form->ModalResult(), mrCancel);

    // Modifiers make Enter and Esc ordinary keys.
    clicks.clear();
    edit->SetFocus();
    EXPECT_FALSE(form->PressKey(VK_RETURN, {ssShift}));
    EXPECT_FALSE(form->PressKey(VK_ESCAPE, {ssCtrl}));

    // Buttons that are hidden or disabled are not clicked.
    ok->SetVisible(false);
    cancel->SetEnabled(false);
    EXPECT_FALSE(form->PressKey(VK_RETURN));
    EXPECT_FALSE(form->PressKey(VK_ESCAPE));
    EXPECT_TRUE(clicks.empty());

    // A memo that takes line breaks keeps Enter from the form.
    ok->SetVisible(true);
    auto* memo = new TMemo(form.get());
    memo->SetParent(form.get());
    memo->SetFocus();
    EXPECT_FALSE(form->PressKey(VK_RETURN));
    form->PressChar('\r');
    EXPECT_EQ(memo->Lines()->Count(), 2);
    memo->SetWantReturns(false);
    EXPECT_TRUE(form->PressKey(VK_RETURN));
    EXPECT_EQ(clicks, (std::vector<std::string>{"ok"}));
}

TEST_F(Forms, AModalLoopEndsOnlyWhenClosingIsAllowed) {
    auto owner = std::make_unique<TForm>(nullptr);
    auto* ownerEdit = new TEdit(owner.get());
    ownerEdit->SetParent(owner.get());
    owner->Show();
    ownerEdit->SetFocus();

    auto form = MakeOkCancel();
    EXPECT_THROW(owner->ShowModal(), EInvalidOperation);  // visible already

    // The first click is taken back by its handler, the first close is
    // refused; the third attempt closes.
    int okClicks = 0;
    ok->SetOnClick(TNotifyEvent::FromFunction([&](TObject*) {
        if (++okClicks == 1) form->SetModalResult(mrNone);
    }));
    int queries = 0;
    form->SetOnCloseQuery(TCloseQueryEvent::FromFunction(
        [&](TObject*, bool& canClose) { canClose = ++queries > 1; }));
    std::vector<TCloseAction> closes;
    form->SetOnClose(TCloseEvent::FromFunction(
        [&](TObject*, TCloseAction& action) { closes.push_back(action); }));
    Poster poster;
    bool ownerDisabled = false;
    poster.Post([&] { ownerDisabled = !owner->Enabled(); });
    PostKey(*form, VK_RETURN);
    PostKey(*form, VK_RETURN);
    PostKey(*form, VK_RETURN);
    PostSafetyClose(*form);
    EXPECT_EQ(form->ShowModal(), mrOk);
    EXPECT_EQ(okClicks, 3);
    EXPECT_EQ(queries, 2);
    EXPECT_EQ(closes, (std::vector<TCloseAction>{caHide}));
    Application->ProcessMessages();

    // The other forms waited and come back as they were.
    EXPECT_TRUE(ownerDisabled);
    EXPECT_TRUE(owner->Enabled());
    EXPECT_EQ(Screen->ActiveCustomForm(), owner.get());
    EXPECT_EQ(Screen->ActiveControl(), ownerEdit);

    // Close from code cancels.
    poster.Post([&] { form->Close(); });
    PostSafetyClose(*form);
    EXPECT_EQ(form->ShowModal(), mrCancel);
}

TEST_F(Forms, AFormFreedWhileModalEndsItsLoopSafely) {
    auto* form = new TForm(nullptr);
    Poster poster;
    poster.Post([&] { delete form; });
    EXPECT_EQ(form->ShowModal(), mrCancel);
    EXPECT_EQ(Screen->ActiveCustomForm(), nullptr);
}

TEST_F(Forms, ClosingWithCaFreeFreesTheFormOnceTheMessageIsHandled) {
    auto* form = new TForm(nullptr);
    form->SetOnClose(TCloseEvent::FromFunction([](TObject*, TCloseAction& a) { a = caFree; }));
    const std::weak_ptr<const void> alive = form->Liveness();
    form->Show();
    form->Close();
    EXPECT_FALSE(alive.expired());
    Application->ProcessMessages();
    EXPECT_TRUE(alive.expired());

    // A form freed before its release message runs is not freed twice.
    auto* other = new TForm(nullptr);
    other->Release();
    other->Release();
    delete other;
    Application->ProcessMessages();

    // A form of the application's still waiting for release at exit: the
    // application frees it while static objects go away, and the form must
    // find the list of pending releases whole (a sanitizer build sees it).
    EXPECT_EXIT(
        {
            (new TForm(Application))->Release();
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Forms, TabMovesTheFocusAlongTheTabOrderThroughContainers) {
    TForm form(nullptr);
    std::vector<std::string> journal;
    auto add = [&](TWinControl* control, TWinControl* parent, const char* name) {
        control->SetName(name);
        control->SetParent(parent);
        control->SetOnEnter(Note(journal, std::string("enter ") + name));
        control->SetOnExit(Note(journal, std::string("exit ") + name));
        return control;
    };
    auto* first = add(new TEdit(&form), &form, "first");
    auto* panel = add(new TPanel(&form), &form, "panel");
    auto* inner = add(new TEdit(&form), panel, "inner");
    auto* hidden = add(new TEdit(&form), panel, "hidden");
    auto* noStop = add(new TButton(&form), &form, "noStop");
    auto* last = add(new TCheckBox(&form), &form, "last");
    hidden->SetVisible(false);
    noStop->SetTabStop(false);

    form.Show();
    EXPECT_EQ(Screen->ActiveControl(), first);
    journal.clear();

    form.PressKey(VK_TAB);
    EXPECT_EQ(Screen->ActiveControl(), inner);
    form.PressKey(VK_TAB);
    EXPECT_EQ(Screen->ActiveControl(), last);
    EXPECT_EQ(journal, (std::vector<std::string>{"exit first", "enter panel", "enter inner",
                                                 "exit inner", "exit panel", "enter last"}));
    form.PressKey(VK_TAB);  // wraps around
    EXPECT_EQ(Screen->ActiveControl(), first);
    form.PressKey(VK_TAB, {ssShift});
    EXPECT_EQ(Screen->ActiveControl(), last);

    // Moving the panel to the front of the tab order moves its contents too.
    panel->SetTabOrder(0);
    form.PressKey(VK_TAB);
    EXPECT_EQ(Screen->ActiveControl(), inner);
    EXPECT_TRUE(inner->Focused());
    EXPECT_FALSE(first->Focused());
}

TEST_F(Forms, TheFocusLeavesAControlThatIsHiddenDisabledOrFreed) {
    TForm form(nullptr);
    auto* a = new TEdit(&form);
    a->SetParent(&form);
    auto* panel = new TPanel(&form);
    panel->SetParent(&form);
    auto* b = new TEdit(&form);
    b->SetParent(panel);
    std::vector<std::string> journal;
    a->SetOnExit(Note(journal, "exit a"));
    b->SetOnExit(Note(journal, "exit b"));
    panel->SetOnExit(Note(journal, "exit panel"));
    int changes = 0;
    Screen->SetOnActiveControlChange(TNotifyEvent::FromFunction([&](TObject*) { ++changes; }));

    form.Show();
    EXPECT_EQ(changes, 1);
    a->SetVisible(false);
    EXPECT_EQ(Screen->ActiveControl(), nullptr);
    EXPECT_EQ(changes, 2);
    a->SetVisible(true);
    a->SetFocus();
    a->SetEnabled(false);
    EXPECT_EQ(Screen->ActiveControl(), nullptr);
    EXPECT_EQ(journal, (std::vector<std::string>{"exit a", "exit a"}));

    // A control on its way out hears no OnExit; its container does, and the
    // screen never keeps the freed control.
    journal.clear();
    b->SetFocus();
    changes = 0;
    delete b;
    EXPECT_EQ(Screen->ActiveControl(), nullptr);
    EXPECT_EQ(form.ActiveControl(), nullptr);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(journal, (std::vector<std::string>{"exit panel"}));
    Screen->SetOnActiveControlChange({});
}

TEST_F(Forms, ActiveControlWaitsForTheFormToShow) {
    TForm form(nullptr);
    auto* a = new TEdit(&form);
    a->SetParent(&form);
    auto* b = new TEdit(&form);
    b->SetParent(&form);
    form.SetActiveControl(b);  // allowed before showing
    EXPECT_FALSE(b->Focused());
    TEdit stranger(nullptr);
    EXPECT_THROW(form.SetActiveControl(&stranger), EInvalidOperation);
    form.Show();
    EXPECT_TRUE(b->Focused());
    EXPECT_EQ(Screen->ActiveControl(), b);
}

using zr::testing::SizedScreen;

TEST_F(Forms, TheErrorDialogLayoutReadsShowsAndClosesWithResultOne) {
    SizedScreen screen(1920, 1080);
    os::TScopedScreenSource useFake(&screen);
    TCtlTestDialog dialog(nullptr);
    auto* image = dialog.Find<TImage>("imgError");
    auto* memo = dialog.Find<TMemo>("lblErrorText");
    auto* close = dialog.Find<TButton>("btnClose");
    auto* email = dialog.Find<TButton>("btnEmail");
    auto* box = dialog.Find<TCheckBox>("cbAttachScreenshot");
    auto* web = dialog.Find<TButton>("btnGoWEB");
    ASSERT_TRUE(image && memo && close && email && box && web);

    EXPECT_EQ(dialog.ClientWidth(), 394);
    EXPECT_EQ(dialog.ClientHeight(), 110);
    EXPECT_EQ(dialog.BorderStyle(), bsDialog);
    EXPECT_EQ(dialog.Font()->Name(), "MS Sans Serif");
    EXPECT_EQ(dialog.Font()->Charset(), DEFAULT_CHARSET);
    EXPECT_TRUE(image->Center());
    EXPECT_EQ(image->BoundsRect(), (TRect{10, 10, 42, 42}));
    EXPECT_EQ(memo->BorderStyle(), bsNone);
    EXPECT_EQ(memo->Color(), clBtnFace);
    EXPECT_TRUE(memo->ReadOnly());
    EXPECT_EQ(memo->ScrollBars(), ssVertical);
    EXPECT_EQ(memo->Font()->Name(), "MS Sans Serif");
    EXPECT_EQ(close->Caption(), "&Close");
    EXPECT_TRUE(close->Default() && close->Cancel());
    EXPECT_EQ(close->ModalResult(), 1);
    EXPECT_FALSE(email->Visible() || box->Visible() || web->Visible());
    EXPECT_EQ(box->Top(), 110);

    // Tab order as read: close, memo, check box, mail, web.
    EXPECT_EQ(dialog.TabList(), (std::vector<TWinControl*>{close, memo, box, email, web}));
    email->Click();
    web->Click();
    EXPECT_EQ(dialog.emailClicks, 1);
    EXPECT_EQ(dialog.webClicks, 1);

    // Growing the dialog for the check box keeps the frame.
    dialog.SetClientHeight(dialog.ClientHeight() + box->Height() + 5);
    EXPECT_EQ(dialog.ClientHeight(), 132);

    // Shown modally, it sits in the middle of the screen with the close
    // button focused; Enter and Esc both close it with result 1.
    Poster poster;
    TWinControl* focused = nullptr;
    poster.Post([&] { focused = Screen->ActiveControl(); });
    PostKey(dialog, VK_RETURN);
    PostSafetyClose(dialog);
    EXPECT_EQ(dialog.ShowModal(), 1);
    EXPECT_EQ(focused, close);
    EXPECT_EQ(dialog.Left(), (1920 - dialog.Width()) / 2);
    EXPECT_EQ(dialog.Top(), (1080 - dialog.Height()) / 2);
    Application->ProcessMessages();
    PostKey(dialog, VK_ESCAPE);
    PostSafetyClose(dialog);
    EXPECT_EQ(dialog.ShowModal(), 1);
}

TEST_F(Forms, AFormWithEveryControlPropertyWritesAndReadsBack) {
    TCtlTestDialogBase form(nullptr);
    ReadComponentInto(&form, kDialogLayout);
    auto* edit = new TEdit(&form);
    edit->SetName("edtName");
    edit->SetParent(&form);
    edit->SetBounds(8, 140, 100, 21);
    edit->SetText("it's here");
    edit->SetMaxLength(30);
    edit->SetHint("Your name|The name we write to");
    edit->SetShowHint(true);
    auto* combo = new TComboBox(&form);
    combo->SetName("cmbKind");
    combo->SetParent(&form);
    combo->SetStyle(csDropDownList);
    combo->Items()->Add("one");
    combo->Items()->Add("two");
    combo->SetItemIndex(1);
    combo->SetEnabled(false);
    auto* panel = new TPanel(&form);
    panel->SetName("pnlBottom");
    panel->SetParent(&form);
    panel->SetCaption("Status");
    panel->SetBevelOuter(bvLowered);
    auto* label = new TLabel(&form);
    label->SetName("lblName");
    label->SetParent(panel);
    label->SetCaption("&Name");
    label->SetFocusControl(edit);
    label->Font()->SetStyle({fsBold});
    auto* box = dynamic_cast<TCheckBox*>(form.FindComponent("cbAttachScreenshot"));
    box->SetChecked(true);
    box->SetCaption("to attach screenshot");
    auto* memo = dynamic_cast<TMemo*>(form.FindComponent("lblErrorText"));
    memo->SetText("first line\r\nsecond line");
    form.SetCaption("Error");
    form.SetActiveControl(edit);

    const std::string text = WriteComponentToText(&form);
    TComponent* read = ReadComponentFromText(text, nullptr);
    std::unique_ptr<TComponent> copy(read);
    ASSERT_TRUE(copy->Is<TCtlTestDialogBase>());
    auto& again = static_cast<TCtlTestDialogBase&>(*copy);
    EXPECT_EQ(WriteComponentToText(&again), text);

    auto* edit2 = dynamic_cast<TEdit*>(again.FindComponent("edtName"));
    auto* combo2 = dynamic_cast<TComboBox*>(again.FindComponent("cmbKind"));
    auto* label2 = dynamic_cast<TLabel*>(again.FindComponent("lblName"));
    auto* box2 = dynamic_cast<TCheckBox*>(again.FindComponent("cbAttachScreenshot"));
    auto* memo2 = dynamic_cast<TMemo*>(again.FindComponent("lblErrorText"));
    ASSERT_TRUE(edit2 && combo2 && label2 && box2 && memo2);
    EXPECT_EQ(edit2->Text(), "it's here");
    EXPECT_EQ(edit2->MaxLength(), 30);
    EXPECT_TRUE(edit2->ShowHint());
    EXPECT_EQ(edit2->Hint(), "Your name|The name we write to");
    EXPECT_EQ(edit2->BoundsRect(), (TRect{8, 140, 108, 161}));
    EXPECT_EQ(combo2->Text(), "two");
    EXPECT_EQ(combo2->Style(), csDropDownList);
    EXPECT_FALSE(combo2->Enabled());
    EXPECT_EQ(label2->Parent()->Name(), "pnlBottom");
    EXPECT_EQ(label2->FocusControl(), edit2);
    EXPECT_EQ(label2->Font()->Style(), TFontStyles{fsBold});
    EXPECT_FALSE(label2->ParentFont());
    EXPECT_TRUE(box2->Checked());
    EXPECT_EQ(memo2->Text(), "first line\r\nsecond line");
    EXPECT_EQ(again.Caption(), "Error");
    EXPECT_EQ(again.ActiveControl(), edit2);
    EXPECT_EQ(again.ClientHeight(), 110);
    EXPECT_FALSE(again.Visible());
    EXPECT_EQ(edit2->TabOrder(), 5);
}

namespace zr {
namespace {

// Non-visual components sit on no parent; a form still writes them, after its
// controls, so reading the text back brings them back.
TEST(FormFileOfForm, KeepsNonVisualComponentsBesideControls) {
    TForm form(nullptr);
    form.SetName("frmHost");
    auto* button = new TButton(&form);
    button->SetName("btnOk");
    button->SetParent(&form);
    auto* list = new TComponent(&form);
    list->SetName("Helper");
    list->SetTag(7);

    const std::string text = WriteComponentToText(&form);
    EXPECT_LT(text.find("object btnOk: TButton"), text.find("object Helper: TComponent")) << text;
    std::unique_ptr<TComponent> copy(ReadComponentFromText(text, nullptr));
    auto* helper = copy->FindComponent("Helper");
    ASSERT_NE(helper, nullptr);
    EXPECT_EQ(helper->Tag(), 7);
    EXPECT_EQ(WriteComponentToText(copy.get()), text);
}

}  // namespace
}  // namespace zr
