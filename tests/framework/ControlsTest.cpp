#include "framework/Controls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "framework/ExtCtrls.h"
#include "framework/Forms.h"
#include "framework/Graphics.h"
#include "framework/StdCtrls.h"
#include "framework/Strings.h"

using namespace zr;

namespace {

// Records the death notices it is sent.
class NoticeSink : public TComponent {
  public:
    NoticeSink() : TComponent(nullptr) {}
    void Notification(TComponent* component, TOperation operation) override {
        TComponent::Notification(component, operation);
        if (operation == opRemove) removed.push_back(component);
    }
    std::vector<TComponent*> removed;
};

TNotifyEvent Counter(int& count) {
    return TNotifyEvent::FromFunction([&count](TObject*) { ++count; });
}

// A form with a few controls, freed with the test.
struct Layout {
    std::unique_ptr<TForm> form = std::make_unique<TForm>(nullptr);
    TForm* Form() { return form.get(); }
    template <class T>
    T* Add(TWinControl* parent = nullptr) {
        auto* control = new T(form.get());
        control->SetParent(parent ? parent : form.get());
        return control;
    }
};

}  // namespace

TEST(Controls, ChildrenFollowTheirParentAndLeaveTheirOwnerWhenFreed) {
    NoticeSink owner;
    auto* panel = new TPanel(&owner);
    auto* edit = new TEdit(&owner);
    auto* image = new TImage(&owner);
    owner.FreeNotification(edit);
    owner.FreeNotification(image);
    edit->SetParent(panel);
    image->SetParent(panel);
    EXPECT_EQ(panel->ControlCount(), 2);
    EXPECT_TRUE(panel->ContainsControl(image));
    EXPECT_EQ(edit->GetParentComponent(), panel);

    // A control cannot be placed inside itself or its own child.
    auto* inner = new TPanel(&owner);
    inner->SetParent(panel);
    EXPECT_THROW(panel->SetParent(inner), EInvalidOperation);
    EXPECT_THROW(panel->SetParent(panel), EInvalidOperation);
    EXPECT_EQ(panel->Parent(), nullptr);

    // Moving a control takes it out of its old parent.
    edit->SetParent(inner);
    EXPECT_EQ(panel->ControlCount(), 2);  // image and inner
    EXPECT_EQ(inner->Controls(0), edit);
    EXPECT_THROW(inner->Controls(1), EListError);

    // Freeing the parent frees what it holds; each child leaves its owner
    // (no double free when the owner goes later).
    const int ownedBefore = owner.ComponentCount();
    delete panel;
    EXPECT_EQ(owner.ComponentCount(), ownedBefore - 4);
    for (TComponent* gone : {static_cast<TComponent*>(edit), static_cast<TComponent*>(image)})
        EXPECT_NE(std::find(owner.removed.begin(), owner.removed.end(), gone), owner.removed.end());

    // Freeing a child through its owner takes it out of its parent.
    auto* form = new TForm(&owner);
    auto* button = new TButton(&owner);
    button->SetParent(form);
    delete button;
    EXPECT_EQ(form->ControlCount(), 0);
    EXPECT_EQ(form->FindNextControl(nullptr, true, false), nullptr);
}

TEST(Controls, TabOrderMovesAControlAndRenumbersTheOthers) {
    Layout l;
    auto* a = l.Add<TEdit>();
    auto* b = l.Add<TEdit>();
    auto* c = l.Add<TEdit>();
    l.Add<TLabel>();  // no window, no tab order
    EXPECT_EQ(a->TabOrder(), 0);
    EXPECT_EQ(c->TabOrder(), 2);

    c->SetTabOrder(0);
    EXPECT_EQ(c->TabOrder(), 0);
    EXPECT_EQ(a->TabOrder(), 1);
    EXPECT_EQ(b->TabOrder(), 2);

    a->SetTabOrder(99);  // past the end: last
    EXPECT_EQ(a->TabOrder(), 2);
    EXPECT_EQ(b->TabOrder(), 1);
    a->SetTabOrder(-1);  // ignored
    EXPECT_EQ(a->TabOrder(), 2);

    // A control without a parent has no place; one set before the parent
    // applies when it gets one.
    auto* d = new TEdit(l.Form());
    EXPECT_EQ(d->TabOrder(), -1);
    d->SetTabOrder(0);
    d->SetParent(l.Form());
    EXPECT_EQ(d->TabOrder(), 0);
    EXPECT_EQ(c->TabOrder(), 1);

    // Leaving the parent closes the gap.
    c->SetParent(nullptr);
    EXPECT_EQ(b->TabOrder(), 1);
    EXPECT_EQ(c->TabOrder(), -1);
    delete c;
}

TEST(Controls, SetFocusRaisesForAControlThatCannotTakeTheFocus) {
    Layout l;
    auto* panel = l.Add<TPanel>();
    auto* edit = l.Add<TEdit>(panel);
    auto check = [&](const char* why) {
        EXPECT_FALSE(edit->CanFocus()) << why;
        try {
            edit->SetFocus();
            ADD_FAILURE() << why << ": no exception";
        } catch (const EInvalidOperation& e) {
            EXPECT_EQ(e.Message(), "Cannot focus a disabled or invisible window") << why;
        }
    };
    check("the form is not shown");
    l.Form()->Show();
    EXPECT_TRUE(edit->CanFocus());

    edit->SetVisible(false);
    check("the control is hidden");
    edit->SetVisible(true);
    edit->SetEnabled(false);
    check("the control is disabled");
    edit->SetEnabled(true);
    panel->SetVisible(false);
    check("its container is hidden");
    panel->SetVisible(true);
    panel->SetEnabled(false);
    check("its container is disabled");
    panel->SetEnabled(true);

    TEdit loose(nullptr);
    EXPECT_FALSE(loose.CanFocus());
    EXPECT_THROW(loose.SetFocus(), EInvalidOperation);

    // A failed SetFocus leaves the focus where it was.
    auto* other = l.Add<TEdit>();
    other->SetFocus();
    edit->SetEnabled(false);
    EXPECT_THROW(edit->SetFocus(), EInvalidOperation);
    EXPECT_TRUE(other->Focused());
    EXPECT_EQ(l.Form()->ActiveControl(), other);
}

TEST(Controls, EditBoxesKeepTheirTextAndTakeTypedCharacters) {
    Layout l;
    auto* edit = l.Add<TEdit>();
    int changes = 0;
    edit->SetOnChange(Counter(changes));

    edit->SetText("abc");
    edit->SetText("abc");  // unchanged: no event
    EXPECT_EQ(changes, 1);

    // The limit applies to typing only; text set by code is kept whole.
    edit->SetMaxLength(4);
    edit->KeyPress('d');
    edit->KeyPress('e');
    EXPECT_EQ(edit->Text(), "abcd");
    edit->SetText("longer than four");
    EXPECT_EQ(edit->Text(), "longer than four");

    // Backspace removes a whole UTF-8 character; control characters are ignored.
    edit->SetMaxLength(0);
    edit->SetText("n\xC3\xA9");
    edit->KeyPress('\b');
    EXPECT_EQ(edit->Text(), "n");
    edit->KeyPress('\x01');
    EXPECT_EQ(edit->Text(), "n");

    edit->SetReadOnly(true);
    edit->KeyPress('x');
    edit->KeyPress('\b');
    EXPECT_EQ(edit->Text(), "n");

    EXPECT_THROW(edit->SetBorderStyle(bsDialog), ERangeError);
    EXPECT_EQ(edit->BorderStyle(), bsSingle);
}

TEST(Controls, AMemosTextIsItsLinesJoined) {
    Layout l;
    auto* memo = l.Add<TMemo>();
    EXPECT_EQ(memo->Text(), "");
    EXPECT_EQ(memo->Lines()->Count(), 0);

    memo->Lines()->Add("one");
    memo->Lines()->Add("two");
    EXPECT_EQ(memo->Text(), "one\r\ntwo");

    // Every kind of break splits; a break at the end leaves an empty last line.
    memo->SetText("a\rb\nc\r\n");
    ASSERT_EQ(memo->Lines()->Count(), 4);
    EXPECT_EQ(memo->Lines()->Strings(3), "");
    EXPECT_EQ(memo->Text(), "a\r\nb\r\nc\r\n");

    // One empty line: the lines are not empty, the text is.
    memo->SetText("");
    memo->Lines()->Add("");
    EXPECT_EQ(memo->Lines()->Text(), "\r\n");
    EXPECT_EQ(memo->Text(), "");

    // Enter goes into the text only with WantReturns, and not when read-only.
    memo->SetText("x");
    memo->KeyPress('\r');
    memo->KeyPress('y');
    EXPECT_EQ(memo->Text(), "x\r\ny");
    memo->KeyPress('\b');
    memo->KeyPress('\b');
    EXPECT_EQ(memo->Text(), "x");
    EXPECT_TRUE(memo->WantsKey(VK_RETURN));
    memo->SetWantReturns(false);
    EXPECT_FALSE(memo->WantsKey(VK_RETURN));
    memo->KeyPress('\r');
    EXPECT_EQ(memo->Text(), "x");

    TStringList source;
    source.Add("copied");
    memo->SetLines(&source);
    source.Add("later");
    EXPECT_EQ(memo->Text(), "copied");
    memo->SetLines(nullptr);
    EXPECT_EQ(memo->Lines()->Count(), 0);
}

TEST(Controls, ACheckBoxReportsEachChangeOfState) {
    Layout l;
    auto* box = l.Add<TCheckBox>();
    int clicks = 0;
    box->SetOnClick(Counter(clicks));

    box->SetChecked(true);
    box->SetChecked(true);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(box->State(), cbChecked);

    EXPECT_TRUE(box->KeyDown(VK_SPACE, {}));
    EXPECT_FALSE(box->Checked());
    EXPECT_EQ(clicks, 2);

    box->SetAllowGrayed(true);
    box->Toggle();
    box->Toggle();
    EXPECT_EQ(box->State(), cbGrayed);
    EXPECT_FALSE(box->Checked());
    box->Toggle();
    EXPECT_EQ(box->State(), cbUnchecked);
}

TEST(Controls, AComboBoxShowsItsSelectionAsItsText) {
    Layout l;
    auto* combo = l.Add<TComboBox>();
    combo->Items()->Add("red");
    combo->Items()->Add("green");
    combo->Items()->Add("blue");

    combo->SetItemIndex(1);
    EXPECT_EQ(combo->Text(), "green");
    EXPECT_THROW(combo->SetItemIndex(3), EListError);
    EXPECT_THROW(combo->SetItemIndex(-2), EListError);
    EXPECT_EQ(combo->ItemIndex(), 1);

    // A drop-down box takes any text and selects the item that equals it.
    combo->SetText("Blue");
    EXPECT_EQ(combo->ItemIndex(), 2);
    combo->SetText("purple");
    EXPECT_EQ(combo->ItemIndex(), -1);
    EXPECT_EQ(combo->Text(), "purple");

    // A drop-down list shows only its items: other texts are not taken, the
    // empty text clears the selection.
    combo->SetStyle(csDropDownList);
    EXPECT_EQ(combo->Text(), "");
    combo->SetText("red");
    EXPECT_EQ(combo->ItemIndex(), 0);
    combo->SetText("purple");
    EXPECT_EQ(combo->Text(), "red");
    combo->SetText("");
    EXPECT_EQ(combo->ItemIndex(), -1);
    EXPECT_EQ(combo->Text(), "");

    // A selection whose item is gone is no selection.
    combo->SetItemIndex(2);
    combo->Items()->Delete(2);
    EXPECT_EQ(combo->ItemIndex(), -1);
    EXPECT_EQ(combo->Text(), "");

    // The keyboard selects as the user does: OnClick, then OnChange.
    std::vector<std::string> events;
    combo->SetOnClick(TNotifyEvent::FromFunction([&](TObject*) { events.push_back("click"); }));
    combo->SetOnChange(TNotifyEvent::FromFunction([&](TObject*) { events.push_back("change"); }));
    EXPECT_TRUE(combo->KeyDown(VK_DOWN, {}));
    EXPECT_EQ(combo->Text(), "red");
    EXPECT_EQ(events, (std::vector<std::string>{"click", "change"}));
    combo->KeyPress('x');  // a list has no text to type into
    EXPECT_EQ(combo->Text(), "red");
}

TEST(Controls, ColourFontAndHintFollowTheParentUntilSetOnTheControl) {
    Layout l;
    auto* panel = l.Add<TPanel>();
    auto* memo = l.Add<TMemo>(panel);
    auto* label = l.Add<TLabel>(panel);

    EXPECT_EQ(memo->Color(), clWindow);
    memo->SetParentColor(true);
    EXPECT_EQ(memo->Color(), clBtnFace);
    panel->SetColor(clRed);
    EXPECT_EQ(memo->Color(), clRed);
    memo->SetColor(clBlue);
    EXPECT_FALSE(memo->ParentColor());
    panel->SetColor(clGreen);
    EXPECT_EQ(memo->Color(), clBlue);

    // Fonts pass down through containers to every control that takes its
    // parent's; a control whose font is changed keeps it.
    l.Form()->Font()->SetName("Serif");
    EXPECT_EQ(label->Font()->Name(), "Serif");
    EXPECT_TRUE(label->ParentFont());
    label->Font()->SetHeight(-20);
    EXPECT_FALSE(label->ParentFont());
    l.Form()->Font()->SetName("Sans");
    EXPECT_EQ(label->Font()->Name(), "Serif");
    EXPECT_EQ(memo->Font()->Name(), "Sans");
    label->SetParentFont(true);
    EXPECT_EQ(label->Font()->Name(), "Sans");
    EXPECT_EQ(label->Font()->Height(), -11);

    EXPECT_FALSE(label->ShowHint());
    panel->SetShowHint(true);
    EXPECT_TRUE(label->ShowHint());
    label->SetShowHint(false);
    EXPECT_FALSE(label->ShowHint());
    EXPECT_FALSE(label->ParentShowHint());
}

TEST(Controls, AnImageSizesItselfToItsPictureAndSetsItsTransparency) {
    Layout l;
    auto* image = l.Add<TImage>();
    image->SetBounds(10, 20, 100, 100);

    TBitmap bitmap;
    bitmap.SetSize(16, 12);
    TPicture source;
    source.SetBitmap(&bitmap);
    image->SetPicture(&source);
    EXPECT_EQ(image->Width(), 100);  // AutoSize is off

    image->SetTransparent(true);
    image->SetAutoSize(true);
    EXPECT_EQ(image->BoundsRect(), (TRect{10, 20, 26, 32}));
    EXPECT_TRUE(image->Picture()->Graphic()->Transparent());

    // The image holds a copy; a new picture resizes it, an empty one does not.
    source.Bitmap()->SetSize(40, 40);
    EXPECT_EQ(image->Width(), 16);
    image->Picture()->Assign(&source);
    EXPECT_EQ(image->Width(), 40);
    EXPECT_TRUE(image->Picture()->Graphic()->Transparent());
    image->SetPicture(nullptr);
    EXPECT_TRUE(image->Picture()->Empty());
    EXPECT_EQ(image->Width(), 40);
}
