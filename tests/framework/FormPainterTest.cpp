// What the window backend works out from the model without a display: how
// text is laid out, which control lies under a point, and what the user's
// clicks and keys do to the forms.
#include "framework/FormPainter.h"

#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/ExtCtrls.h"
#include "framework/FormBackend.h"
#include "framework/Forms.h"
#include "framework/StdCtrls.h"
#include "framework/X11FormInput.h"
#include "platform/X11Text.h"

namespace zr {
namespace {

using Lines = std::vector<std::string>;

int Bytes(const std::string& s) {
    return static_cast<int>(s.size());
}

int CodePoints(const std::string& s) {
    return static_cast<int>(os::DecodeUtf8(s).size());
}

TEST(FormLayoutTest, LinesBreakAtEveryKindOfBreakAndWrapAtSpacesWithinTheWidth) {
    EXPECT_EQ(LayoutLines("a\r\nb\rc\nd", 0, Bytes), (Lines{"a", "b", "c", "d"}));
    EXPECT_EQ(LayoutLines("last\r\n", 0, Bytes), (Lines{"last", ""}));
    EXPECT_EQ(LayoutLines("", 10, Bytes), (Lines{""}));

    EXPECT_EQ(LayoutLines("the quick brown fox", 10, Bytes), (Lines{"the quick", "brown fox"}));
    EXPECT_EQ(LayoutLines("fits as is", 10, Bytes), (Lines{"fits as is"}));
    // A word wider than a line is broken where it must be, and never
    // between the bytes of one character.
    EXPECT_EQ(LayoutLines("ab abcdefghij", 4, Bytes), (Lines{"ab", "abcd", "efgh", "ij"}));
    EXPECT_EQ(LayoutLines("\xC3\xA9\xC3\xA9\xC3\xA9", 2, CodePoints),
              (Lines{"\xC3\xA9\xC3\xA9", "\xC3\xA9"}));
    for (const auto& line : LayoutLines("one two three four five six seven", 9, Bytes))
        EXPECT_LE(line.size(), 9u) << line;
}

TEST(FormLayoutTest, AcceleratorMarksAreTakenOutAndTheMarkedCharacterFound) {
    struct Case {
        std::string caption, shown;
        int underline;
    };
    for (const Case& c : std::vector<Case>{{"&Close", "Close", 0},
                                           {"N&o to All", "No to All", 1},
                                           {"Tom && Jerry", "Tom & Jerry", -1},
                                           {"Save &", "Save ", -1},
                                           {"\xC3\x9C&ber",
                                            "\xC3\x9C"
                                            "ber",
                                            1},
                                           {"&&&Yes", "&Yes", 1}}) {
        int underline = -2;
        EXPECT_EQ(StripAccelerator(c.caption, underline), c.shown) << c.caption;
        EXPECT_EQ(underline, c.underline) << c.caption;
    }
}

// Forms here stay headless whatever display there is.
class HeadlessFormTest : public ::testing::Test {
  protected:
    void SetUp() override { SetFormBackend(&HeadlessFormBackend()); }
    void TearDown() override { SetFormBackend(nullptr); }

    template <class T>
    T* Add(TWinControl& parent, int left, int top, int width, int height) {
        auto* control = new T(form_.get());
        control->SetParent(&parent);
        control->SetBounds(left, top, width, height);
        return control;
    }

    std::unique_ptr<TForm> form_ = std::make_unique<TForm>(nullptr);
};

TEST_F(HeadlessFormTest, WindowedControlsLieOverGraphicOnesAndHiddenOnesAreSkipped) {
    auto* label = Add<TLabel>(*form_, 10, 10, 100, 20);
    auto* edit = Add<TEdit>(*form_, 50, 10, 100, 20);
    auto* panel = Add<TPanel>(*form_, 200, 0, 100, 100);
    auto* button = Add<TButton>(*panel, 10, 10, 50, 20);

    EXPECT_EQ(ControlAtPoint(*form_, {60, 15}), edit);
    EXPECT_EQ(ControlAtPoint(*form_, {20, 15}), label);
    EXPECT_EQ(ControlAtPoint(*form_, {215, 15}), button);
    EXPECT_EQ(ControlAtPoint(*form_, {250, 80}), panel);
    EXPECT_EQ(ControlAtPoint(*form_, {5, 90}), nullptr);
    EXPECT_EQ(ClientRectOf(*button), (TRect{210, 10, 260, 30}));
    edit->Hide();
    EXPECT_EQ(ControlAtPoint(*form_, {60, 15}), label);
}

os::TXInput Press(int x, int y, bool down, int button = 1) {
    os::TXInput input;
    input.Kind = down ? os::TXInput::kButtonDown : os::TXInput::kButtonUp;
    input.X = x;
    input.Y = y;
    input.Button = button;
    return input;
}

os::TXInput Key(std::uint32_t keySym, bool shift = false, bool ctrl = false) {
    os::TXInput input;
    input.Kind = os::TXInput::kKey;
    input.KeySym = keySym;
    input.CodePoint = os::KeySymToCodePoint(keySym);
    input.Shift = shift;
    input.Ctrl = ctrl;
    return input;
}

TEST_F(HeadlessFormTest, AClickPressesWhatLiesUnderItWhenLetGoOverTheSameControl) {
    auto* button = Add<TButton>(*form_, 10, 10, 75, 25);
    int clicks = 0;
    button->SetOnClick(TNotifyEvent::FromFunction([&](TObject*) { ++clicks; }));
    auto* box = Add<TCheckBox>(*form_, 10, 50, 150, 17);
    auto* edit = Add<TEdit>(*form_, 10, 80, 150, 21);
    form_->Show();
    TPointerState pointer;
    TFormView view;
    auto click = [&](int x, int y, int upX, int upY) {
        HandleButtonDown(*form_, Press(x, y, true), pointer, view);
        HandleButtonUp(*form_, Press(upX, upY, false), pointer);
    };

    click(20, 20, 30, 20);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(form_->FocusedControl(), button);
    click(20, 20, 20, 200);  // let go beside it: no click
    EXPECT_EQ(clicks, 1);
    click(12, 58, 12, 58);
    EXPECT_TRUE(box->Checked());
    EXPECT_EQ(form_->FocusedControl(), box);
    click(20, 90, 20, 90);
    EXPECT_EQ(form_->FocusedControl(), edit);

    button->SetEnabled(false);
    click(20, 20, 20, 20);
    form_->SetEnabled(false);  // as while another form is modal
    button->SetEnabled(true);
    click(20, 20, 20, 20);
    EXPECT_EQ(clicks, 1);
}

TEST_F(HeadlessFormTest, KeysGoThroughTheFormAndTypeIntoTheFocusedField) {
    auto* edit = Add<TEdit>(*form_, 10, 10, 150, 21);
    auto* memo = Add<TMemo>(*form_, 10, 40, 150, 60);
    auto* ok = Add<TButton>(*form_, 10, 110, 75, 25);
    ok->SetDefault(true);
    ok->SetModalResult(mrOk);
    form_->Show();
    edit->SetFocus();

    for (auto key : {Key('a'), Key('B', true), Key(XK_BackSpace), Key(0xE9), Key('x', false, true)})
        HandleKey(*form_, key);
    EXPECT_EQ(edit->Text(), "a\xC3\xA9");
    HandleKey(*form_, Key(XK_Tab));
    EXPECT_EQ(form_->FocusedControl(), memo);
    // A memo keeps Enter for a new line; elsewhere Enter presses the
    // default button.
    for (auto key : {Key('1'), Key(XK_Return), Key(XK_KP_2)}) HandleKey(*form_, key);
    EXPECT_EQ(memo->Lines()->Count(), 2);
    EXPECT_EQ(memo->Text(), "1\r\n2");
    EXPECT_EQ(form_->ModalResult(), mrNone);
    edit->SetFocus();
    HandleKey(*form_, Key(XK_KP_Enter));
    EXPECT_EQ(form_->ModalResult(), mrOk);
    EXPECT_EQ(edit->Text(), "a\xC3\xA9");
}

TEST_F(HeadlessFormTest, TypingIntoTheWindowOfAnotherFormMakesItTheActiveOne) {
    auto* edit = Add<TEdit>(*form_, 10, 10, 150, 21);
    form_->Show();
    TForm other(nullptr);
    other.Show();
    ASSERT_EQ(Screen->ActiveCustomForm(), &other);
    HandleKey(*form_, Key('q'));
    EXPECT_EQ(Screen->ActiveCustomForm(), form_.get());
    EXPECT_EQ(edit->Text(), "q");

    // The wheel scrolls a memo's view, never its text.
    auto* memo = Add<TMemo>(*form_, 10, 40, 150, 60);
    TPointerState pointer;
    TFormView view;
    HandleButtonDown(*form_, Press(20, 50, true, 5), pointer, view);
    EXPECT_EQ(view.MemoTopLine[memo], 3);
    EXPECT_EQ(memo->Text(), "");
}

TEST(KeyboardTest, KeySymbolsBecomeTheFormsKeysAndTheCharactersTheyType) {
    EXPECT_EQ(VirtualKeyOf('q'), 'Q');
    EXPECT_EQ(VirtualKeyOf('7'), '7');
    EXPECT_EQ(VirtualKeyOf(XK_ISO_Left_Tab), VK_TAB);
    EXPECT_EQ(VirtualKeyOf(XK_KP_Enter), VK_RETURN);
    EXPECT_EQ(VirtualKeyOf(XK_F5), 0);
    EXPECT_EQ(os::KeySymToCodePoint(XK_eacute), 0xE9u);
    EXPECT_EQ(os::KeySymToCodePoint(0x010020AC), 0x20ACu);  // the euro sign's own symbol
    EXPECT_EQ(os::KeySymToCodePoint(XK_KP_Decimal), static_cast<std::uint32_t>('.'));
    EXPECT_EQ(os::KeySymToCodePoint(XK_Shift_L), 0u);
    EXPECT_EQ(os::KeySymToCodePoint(XK_Return), 0u);
}

TEST(X11TextTest, BytesThatAreNoUtf8StillShowAndTitlesFallBackToLatin1) {
    using CodePointList = std::vector<std::uint32_t>;
    EXPECT_EQ(os::DecodeUtf8("a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"),
              (CodePointList{'a', 0xE9, 0x20AC, 0x1F600}));
    // A stray byte, an overlong form, an encoded surrogate and a cut-off
    // sequence each stand for their bytes.
    EXPECT_EQ(os::DecodeUtf8("\xE9t\xC0\xAF"), (CodePointList{0xE9, 't', 0xC0, 0xAF}));
    EXPECT_EQ(os::DecodeUtf8("\xED\xA0\x80"), (CodePointList{0xED, 0xA0, 0x80}));
    EXPECT_EQ(os::DecodeUtf8("x\xE2\x82"), (CodePointList{'x', 0xE2, 0x82}));
    EXPECT_EQ(os::Utf8ToLatin1("Caf\xC3\xA9 \xE2\x82\xAC"), "Caf\xE9 ?");
    for (std::uint32_t cp : {0x41u, 0xE9u, 0x20ACu, 0x1F600u})
        EXPECT_EQ(os::DecodeUtf8(os::EncodeUtf8(cp)), CodePointList{cp});
}

}  // namespace
}  // namespace zr
