#include "checks/KVLCheckProviders.h"

#include <gtest/gtest.h>

#include "CheckTestSupport.h"
#include "framework/FormatSettings.h"

namespace zr {
namespace {

using Providers = testing::CheckForm;

TEST_F(Providers, StatusStartsUnknownAndEveryCheckStartsValid) {
    TKVLCheckProvider* base = processor_->CheckProviders()->Add();
    EXPECT_EQ(base->Status(), csUnknown);
    EXPECT_EQ(Check(base), csValid);
    base->SetCheckControl(name_);  // a base provider checks nothing
    EXPECT_EQ(Check(base), csValid);

    auto* edit = Provide<TKVLCheckProviderEdit>(name_);
    EXPECT_EQ(Check(edit), csFailed);
    name_->SetText("Ada");
    EXPECT_EQ(Check(edit), csValid) << "a failure must not stick to the next check";
}

TEST_F(Providers, EditKindWantsAnyTextWhenRequiredAndNothingOtherwise) {
    auto* edit = Provide<TKVLCheckProviderEdit>(name_);
    EXPECT_EQ(Check(edit), csFailed);
    name_->SetText(" ");
    EXPECT_EQ(Check(edit), csValid) << "a blank is not empty";
    name_->SetText("");
    edit->SetRequired(false);
    EXPECT_EQ(Check(edit), csValid);

    auto* memo = Provide<TKVLCheckProviderEdit>(notes_);
    EXPECT_EQ(Check(memo), csFailed);
    notes_->Lines()->Add("");
    EXPECT_EQ(Check(memo), csFailed) << "one empty line is still no text";
    notes_->Lines()->Add("second");
    EXPECT_EQ(Check(memo), csValid);
}

TEST_F(Providers, NumericKindTakesBothBoundsAndFailsOnTextThatIsNoNumber) {
    auto* amount = Provide<TKVLCheckProviderNumericEdit>(amount_);
    amount_->SetText("0");
    EXPECT_EQ(Check(amount), csValid) << "the default range holds 0 alone";
    amount_->SetText("0.01");
    EXPECT_EQ(Check(amount), csFailed);

    amount->SetMinValue(1);
    amount->SetMaxValue(10);
    const std::string sep(1, FormatSettings.DecimalSeparator);
    for (const std::string& text : {std::string("1"), std::string("10"), "5" + sep + "5"}) {
        amount_->SetText(text);
        EXPECT_EQ(Check(amount), csValid) << text;
    }
    for (const std::string& text : {"0" + sep + "99", "10" + sep + "01", std::string("-3")}) {
        amount_->SetText(text);
        EXPECT_EQ(Check(amount), csFailed) << text;
    }
    // No number at all is a wrong value, not an error of the program.
    for (const char* text : {"ten", " ", "nan", "1e999"}) {
        amount_->SetText(text);
        EXPECT_NO_THROW(amount->ExecuteCheck()) << text;
        EXPECT_EQ(amount->Status(), csFailed) << text;
    }
    amount_->SetText("");
    EXPECT_EQ(Check(amount), csFailed) << "required and empty";
    amount->SetRequired(false);
    EXPECT_EQ(Check(amount), csValid) << "an empty text that is not required passes";
}

TEST_F(Providers, CheckboxAndComboKindsLookAtTheStateAndTheText) {
    auto* box = Provide<TKVLCheckProviderCheckbox>(agreed_);
    EXPECT_EQ(Check(box), csFailed);
    agreed_->SetChecked(true);
    EXPECT_EQ(Check(box), csValid);
    box->SetChecked(false);
    EXPECT_EQ(Check(box), csValid);
    agreed_->SetChecked(false);
    EXPECT_EQ(Check(box), csValid) << "with Checked False nothing is required";

    auto* combo = Provide<TKVLCheckProviderCombobox>(country_);
    country_->SetStyle(csDropDownList);
    EXPECT_EQ(Check(combo), csFailed) << "a list with no selection has no text";
    country_->SetItemIndex(1);
    EXPECT_EQ(Check(combo), csValid);
    country_->SetStyle(csDropDown);
    country_->SetText("Atlantis");  // no item of the list, but a text
    EXPECT_EQ(country_->ItemIndex(), -1);
    EXPECT_EQ(Check(combo), csValid);
    country_->SetText("");
    combo->SetRequired(false);
    EXPECT_EQ(Check(combo), csValid);
}

TEST_F(Providers, AKindBoundToAControlOfAnotherClassPasses) {
    EXPECT_EQ(Check(Provide<TKVLCheckProviderEdit>(agreed_)), csValid);
    EXPECT_EQ(Check(Provide<TKVLCheckProviderNumericEdit>(country_)), csValid);
    EXPECT_EQ(Check(Provide<TKVLCheckProviderCheckbox>(name_)), csValid);
    EXPECT_EQ(Check(Provide<TKVLCheckProviderCombobox>(notes_)), csValid);
}

TEST_F(Providers, HintsAreTheKindsTextsAndOnlyChangedOnesAreStored) {
    TKVLCheckProviders& all = *processor_->CheckProviders();
    TKVLCheckProvider* base = all.Add();
    auto* edit = Provide<TKVLCheckProviderEdit>(name_);
    auto* numeric = Provide<TKVLCheckProviderNumericEdit>(amount_);
    auto* box = Provide<TKVLCheckProviderCheckbox>(agreed_);
    auto* combo = Provide<TKVLCheckProviderCombobox>(country_);
    EXPECT_EQ(base->GetHintText(), "Check failed.");
    EXPECT_EQ(edit->GetHintText(), "Editbox can not be empty");
    EXPECT_EQ(numeric->HintText(), "Editbox must contain the value in range betwen %f and %f");
    EXPECT_EQ(box->GetHintText(), "Checkbox must be checked");
    EXPECT_EQ(combo->GetHintText(), "Editbox can not be empty");

    numeric->SetMinValue(1);
    numeric->SetMaxValue(10);
    const std::string sep(1, FormatSettings.DecimalSeparator);
    EXPECT_EQ(numeric->GetHintText(),
              "Editbox must contain the value in range betwen 1" + sep + "00 and 10" + sep + "00");
    numeric->SetHintText("Between %f and %f, please");
    EXPECT_EQ(numeric->GetHintText(),
              "Editbox must contain the value in range betwen 1" + sep + "00 and 10" + sep + "00");

    for (TKVLCheckProvider* p :
         {base, static_cast<TKVLCheckProvider*>(edit), static_cast<TKVLCheckProvider*>(box),
          static_cast<TKVLCheckProvider*>(combo)})
        EXPECT_FALSE(p->HintMustBeStored()) << p->ClassName();
    EXPECT_TRUE(numeric->HintMustBeStored());
    // The edit kind's text is no default of the check box kind.
    box->SetHintText("Editbox can not be empty");
    EXPECT_TRUE(box->HintMustBeStored());
    edit->SetHintText("");
    EXPECT_TRUE(edit->HintMustBeStored());
}

TEST_F(Providers, AssignCopiesTheCommonSettingsAndTheKindsOwnOnlyBetweenKinds) {
    TKVLCheckProviders& all = *processor_->CheckProviders();
    auto* numeric = Provide<TKVLCheckProviderNumericEdit>(amount_);
    numeric->SetRequired(false);
    numeric->SetMinValue(2);
    numeric->SetMaxValue(8);
    numeric->SetHintText("Two to eight");
    numeric->SetFocusOnError(false);
    numeric->Picture()->Bitmap()->SetSize(4, 4);
    int checks = 0;
    numeric->SetOnCheck(TNotifyEvent::FromFunction([&](TObject*) { ++checks; }));
    amount_->SetText("9");
    numeric->ExecuteCheck();

    TKVLCheckProvider* base = all.Add();
    all.SetCheckProvider(1, numeric);
    EXPECT_EQ(all.Items(1), base) << "the item is copied into, not replaced";
    EXPECT_EQ(base->ClassName(), "TKVLCheckProvider");
    EXPECT_EQ(base->CheckControl(), amount_);
    EXPECT_EQ(base->HintText(), "Two to eight");
    EXPECT_FALSE(base->FocusOnError());
    EXPECT_EQ(base->Picture()->Width(), 4);
    EXPECT_EQ(base->Status(), csUnknown) << "the outcome of a check is never copied";
    EXPECT_FALSE(base->OnCheck());

    auto* copy = new TKVLCheckProviderNumericEdit(&all);
    copy->Assign(numeric);
    EXPECT_FALSE(copy->Required());
    EXPECT_EQ(copy->MinValue(), 2);
    EXPECT_EQ(copy->MaxValue(), 8);
    auto* edit = new TKVLCheckProviderEdit(&all);
    edit->Assign(numeric);
    EXPECT_FALSE(edit->Required()) << "a numeric provider is an edit provider";
    auto* box = new TKVLCheckProviderCheckbox(&all);
    box->SetChecked(false);
    box->SetCheckControl(agreed_);
    copy->Assign(box);
    EXPECT_FALSE(copy->Required()) << "nothing of another kind's own";
    EXPECT_EQ(copy->CheckControl(), agreed_);

    EXPECT_THROW(base->Assign(processor_->DefaultPicture()), EConvertError);
    EXPECT_THROW(base->Assign(nullptr), EConvertError);

    TKVLCheckProviders other(nullptr);
    other.Assign(&all);
    ASSERT_EQ(other.Count(), all.Count());
    for (int i = 0; i < other.Count(); ++i) {
        EXPECT_EQ(other.Items(i)->ClassName(), "TKVLCheckProvider");
        EXPECT_EQ(other.Items(i)->CheckControl(), all.Items(i)->CheckControl());
        EXPECT_EQ(other.Items(i)->HintText(), all.Items(i)->HintText());
    }
    EXPECT_EQ(checks, 1);
}

TEST_F(Providers, OnCheckFollowsEveryCheckWithTheOutcomeAndTheMarkCleared) {
    auto* edit = Provide<TKVLCheckProviderEdit>(name_);
    edit->ExecuteCheck();
    edit->CreateLinkedImage(processor_->DefaultPicture());
    ASSERT_NE(edit->LinkedImage(), nullptr);
    ASSERT_FALSE(edit->LinkedImage()->Picture()->Empty());

    std::vector<TKVLCheckStatus> seen;
    bool pictureGone = false;
    edit->SetOnCheck(TNotifyEvent::FromFunction([&](TObject* sender) {
        seen.push_back(static_cast<TKVLCheckProvider*>(sender)->Status());
        pictureGone = edit->LinkedImage()->Picture()->Empty();
    }));
    name_->SetText("x");
    edit->ExecuteCheck();
    name_->SetText("");
    edit->ExecuteCheck();
    EXPECT_EQ(seen, (std::vector<TKVLCheckStatus>{csValid, csFailed}));
    EXPECT_TRUE(pictureGone);
}

TEST_F(Providers, AMarkIsMadeAtTheFirstFailureBesideTheControlAndOnlyShownOrHiddenAfter) {
    auto* edit = Provide<TKVLCheckProviderEdit>(name_);
    name_->SetText("ok");
    edit->ExecuteCheck();
    edit->CreateLinkedImage(processor_->DefaultPicture());
    EXPECT_EQ(edit->LinkedImage(), nullptr) << "never failed, never marked";

    name_->SetText("");
    edit->ExecuteCheck();
    edit->CreateLinkedImage(processor_->DefaultPicture());
    TImage* mark = edit->LinkedImage();
    ASSERT_NE(mark, nullptr);
    EXPECT_EQ(mark->Owner(), processor_);
    EXPECT_EQ(mark->Parent(), form_.get());
    EXPECT_EQ(mark->Left(), 10 + 120 + 5);
    EXPECT_EQ(mark->Top(), 10);
    EXPECT_EQ(mark->Width(), 16);
    EXPECT_EQ(mark->Height(), 16);
    EXPECT_TRUE(mark->Transparent());
    EXPECT_TRUE(mark->ShowHint());
    EXPECT_TRUE(mark->Visible());
    EXPECT_EQ(mark->Hint(), "Editbox can not be empty");

    name_->SetText("fixed");
    edit->ExecuteCheck();
    edit->CreateLinkedImage(processor_->DefaultPicture());
    EXPECT_EQ(edit->LinkedImage(), mark) << "the mark stays and is only hidden";
    EXPECT_FALSE(mark->Visible());
    EXPECT_FALSE(mark->Picture()->Empty());
}

TEST_F(Providers, AProvidersOwnBitmapMarksItAndAnyOtherPictureIsKeptButNotUsed) {
    auto* edit = Provide<TKVLCheckProviderEdit>(name_);
    TBitmap own;
    own.SetSize(8, 6);
    edit->Picture()->SetBitmap(&own);
    edit->ExecuteCheck();
    edit->CreateLinkedImage(processor_->DefaultPicture());
    EXPECT_EQ(edit->LinkedImage()->Width(), 8);
    EXPECT_EQ(edit->LinkedImage()->Height(), 6);

    auto* combo = Provide<TKVLCheckProviderCombobox>(country_);
    TIcon icon;
    icon.SetHandle(LoadIcon(nullptr, IDI_HAND));
    combo->Picture()->SetIcon(&icon);
    combo->ExecuteCheck();
    combo->CreateLinkedImage(processor_->DefaultPicture());
    EXPECT_EQ(combo->LinkedImage()->Width(), 16) << "an icon counts as no picture";
    EXPECT_TRUE(combo->Picture()->Graphic()->Is<TIcon>()) << "and stays the provider's";
}

TEST_F(Providers, MarksAreFreedOnceWhoeverGoesFirst) {
    auto* panel = Add<TPanel>(200, 10, 150, 100);
    auto* inner = new TEdit(form_.get());
    inner->SetParent(panel);
    auto* edit = Provide<TKVLCheckProviderEdit>(inner);
    edit->ExecuteCheck();
    edit->CreateLinkedImage(processor_->DefaultPicture());
    ASSERT_EQ(edit->LinkedImage()->Parent(), panel);

    delete panel;  // frees its children, the mark and the edit among them
    EXPECT_EQ(edit->LinkedImage(), nullptr);
    EXPECT_EQ(edit->CheckControl(), nullptr);
    EXPECT_EQ(processor_->ComponentCount(), 0);
    edit->ExecuteCheck();  // nothing left to check or clear
    edit->CreateLinkedImage(processor_->DefaultPicture());
    EXPECT_EQ(edit->Status(), csValid);

    auto* name = Provide<TKVLCheckProviderEdit>(name_);
    name->ExecuteCheck();
    name->CreateLinkedImage(processor_->DefaultPicture());
    const int children = form_->ControlCount();
    delete processor_;
    EXPECT_EQ(form_->ControlCount(), children - 1) << "the processor takes its marks along";

    processor_ = new TKVLCheckProcessor(form_.get());
    Provide<TKVLCheckProviderEdit>(name_)->ExecuteCheck();
    processor_->HighlightFailed();
    form_.reset();  // the form frees its children before the processor it owns
}

TEST_F(Providers, OnlyTheProcessorsCollectionCanOwnAMark) {
    TCollection foreign(nullptr, TKVLCheckProviderEdit::StaticClassInfo());
    auto* edit = static_cast<TKVLCheckProviderEdit*>(foreign.Add());
    edit->SetCheckControl(name_);
    edit->ExecuteCheck();
    EXPECT_THROW(edit->CreateLinkedImage(processor_->DefaultPicture()), EInvalidCast);

    TKVLCheckProviderEdit loose(nullptr);
    loose.SetCheckControl(name_);
    loose.ExecuteCheck();
    EXPECT_EQ(loose.Status(), csFailed);
    EXPECT_NO_THROW(loose.CreateLinkedImage(processor_->DefaultPicture()));
    EXPECT_EQ(loose.LinkedImage(), nullptr);
}

}  // namespace
}  // namespace zr
