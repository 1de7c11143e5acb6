#include "checks/KVLChecks.h"

#include <gtest/gtest.h>

#include "CheckTestSupport.h"
#include "framework/Dialogs.h"
#include "framework/FormReader.h"
#include "framework/FormWriter.h"
#include "framework/Resources.h"

namespace zr {
namespace {

using Processor = testing::CheckForm;

TEST_F(Processor, StartsWithThePackagesMarkAndNoProviders) {
    EXPECT_TRUE(processor_->BeepOnError());
    EXPECT_EQ(processor_->CheckProviders()->Count(), 0);
    EXPECT_EQ(processor_->CheckProviders()->GetOwner(), processor_);

    // The mark comes from the package, which the application need not carry.
    EXPECT_FALSE(ResourceExists(MainInstance(), KVLFailedResource));
    TBitmap* mark = processor_->DefaultPicture()->Bitmap();
    ASSERT_EQ(mark->Width(), 16);
    ASSERT_EQ(mark->Height(), 16);
    EXPECT_EQ(mark->PixelFormat(), pf8bit);
    EXPECT_EQ(mark->TransparentColor(), clFuchsia);
    EXPECT_TRUE(mark->Transparent());
    EXPECT_EQ(mark->Pixels(0, 0), clFuchsia);
    EXPECT_EQ(mark->Pixels(15, 15), clFuchsia);
    EXPECT_EQ(mark->Pixels(7, 7), clYellow);
    EXPECT_EQ(mark->Pixels(7, 3), clRed);
}

TEST_F(Processor, NothingToCheckPassesQuietly) {
    const unsigned long beeps = MessageBeepCount();
    EXPECT_EQ(processor_->FailedCount(), 0);
    EXPECT_TRUE(processor_->Execute());
    EXPECT_EQ(MessageBeepCount(), beeps);
    EXPECT_EQ(processor_->ComponentCount(), 0);
}

TEST_F(Processor, CheckingAloneCountsButNeitherMarksNorBeeps) {
    auto* name = Provide<TKVLCheckProviderEdit>(name_);
    Provide<TKVLCheckProviderCheckbox>(agreed_);
    country_->SetFocus();
    EXPECT_EQ(processor_->FailedCount(), 0) << "nothing has failed before a check";
    const unsigned long beeps = MessageBeepCount();
    processor_->CheckAllProviders();
    EXPECT_EQ(processor_->FailedCount(), 2);
    EXPECT_EQ(name->LinkedImage(), nullptr);
    EXPECT_EQ(form_->ActiveControl(), country_);
    EXPECT_EQ(MessageBeepCount(), beeps);
}

TEST_F(Processor, AFailedRunFocusesTheFirstFailedControlThatMayTakeItAndBeepsOnce) {
    Provide<TKVLCheckProviderEdit>(name_)->SetFocusOnError(false);
    Provide<TKVLCheckProviderEdit>(amount_);
    Provide<TKVLCheckProviderEdit>(notes_);
    Provide<TKVLCheckProviderCheckbox>(agreed_);
    Provide<TKVLCheckProviderCombobox>(country_);
    amount_->SetVisible(false);
    notes_->SetEnabled(false);

    const unsigned long beeps = MessageBeepCount();
    EXPECT_FALSE(processor_->Execute());
    EXPECT_EQ(processor_->FailedCount(), 5);
    EXPECT_EQ(form_->ActiveControl(), agreed_);
    EXPECT_EQ(MessageBeepCount(), beeps + 1);
    for (int i = 0; i < 5; ++i) {
        TImage* mark = processor_->CheckProviders()->Items(i)->LinkedImage();
        ASSERT_NE(mark, nullptr) << i;
        EXPECT_TRUE(mark->Visible()) << i;
    }

    processor_->SetBeepOnError(false);
    agreed_->SetChecked(true);
    EXPECT_FALSE(processor_->Execute());
    EXPECT_EQ(MessageBeepCount(), beeps + 1) << "BeepOnError False";
    EXPECT_EQ(form_->ActiveControl(), country_);
    EXPECT_FALSE(processor_->CheckProviders()->Items(3)->LinkedImage()->Visible());
}

TEST_F(Processor, APassingRunAfterAFailedOneLeavesTheMarksWithoutPictures) {
    auto* name = Provide<TKVLCheckProviderEdit>(name_);
    ASSERT_FALSE(processor_->Execute());
    TImage* mark = name->LinkedImage();
    ASSERT_FALSE(mark->Picture()->Empty());

    name_->SetText("Grace");
    const unsigned long beeps = MessageBeepCount();
    EXPECT_TRUE(processor_->Execute());
    EXPECT_TRUE(mark->Picture()->Empty());
    EXPECT_TRUE(mark->Visible()) << "nothing was highlighted, so nothing was hidden";
    EXPECT_EQ(mark->Hint(), "Editbox can not be empty");
    EXPECT_EQ(MessageBeepCount(), beeps);
}

TEST_F(Processor, IsMadeByNameAndPublishesItsSettings) {
    std::unique_ptr<TComponent> made(FindClass("TKVLCheckProcessor").CreateComponent(nullptr));
    ASSERT_TRUE(made->Is<TKVLCheckProcessor>());
    std::vector<std::string> names;
    for (const TPropInfo* prop : made->ClassInfo().AllProperties()) names.push_back(prop->Name);
    EXPECT_EQ(std::vector<std::string>(names.end() - 3, names.end()),
              (std::vector<std::string>{"DefaultPicture", "BeepOnError", "CheckProviders"}));
    for (const char* kind : {"TKVLCheckProviderEdit", "TKVLCheckProviderNumericEdit",
                             "TKVLCheckProviderCheckbox", "TKVLCheckProviderCombobox"})
        EXPECT_TRUE(FindClass(kind).CreateItem) << kind;
}

TEST_F(Processor, AFormWithProvidersSurvivesItsFormFileAsBaseProviders) {
    form_->SetName("Entry");
    name_->SetName("NameEdit");
    amount_->SetName("AmountEdit");
    agreed_->SetName("AgreedBox");
    processor_->SetName("Checks");
    processor_->SetBeepOnError(false);
    Provide<TKVLCheckProviderEdit>(name_)->SetHintText("Your name, please");
    auto* amount = Provide<TKVLCheckProviderNumericEdit>(amount_);
    amount->SetMaxValue(99);
    amount->SetFocusOnError(false);
    Provide<TKVLCheckProviderCheckbox>(agreed_);

    const std::string text = WriteComponentToText(form_.get());
    std::unique_ptr<TComponent> copy(ReadComponentFromText(text, nullptr));
    auto* checks = dynamic_cast<TKVLCheckProcessor*>(copy->FindComponent("Checks"));
    ASSERT_NE(checks, nullptr);
    EXPECT_FALSE(checks->BeepOnError());
    EXPECT_EQ(checks->DefaultPicture()->Width(), 16);
    TKVLCheckProviders& providers = *checks->CheckProviders();
    ASSERT_EQ(providers.Count(), 3);
    EXPECT_EQ(providers.Items(0)->ClassName(), "TKVLCheckProvider");
    EXPECT_EQ(providers.Items(0)->CheckControl(), copy->FindComponent("NameEdit"));
    EXPECT_EQ(providers.Items(0)->HintText(), "Your name, please");
    EXPECT_EQ(providers.Items(1)->CheckControl(), copy->FindComponent("AmountEdit"));
    EXPECT_FALSE(providers.Items(1)->FocusOnError());
    EXPECT_EQ(providers.Items(2)->CheckControl(), copy->FindComponent("AgreedBox"));
    EXPECT_EQ(WriteComponentToText(copy.get()), text);
}

}  // namespace
}  // namespace zr
