#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/Application.h"
#include "framework/FormBackend.h"
#include "framework/Forms.h"
#include "framework/StdCtrls.h"
#include "platform/ScreenCapture.h"
#include "tests/framework/ScreenTestSupport.h"

using namespace zr;

namespace {

using zr::testing::SizedScreen;

// A form that is no TForm: the screen counts it among CustomForms only.
class TCtlBareForm : public TCustomForm {
  public:
    explicit TCtlBareForm(TComponent* owner) : TCustomForm(owner) {}
};

// Records what the screen reports, with the state at the time.
struct ScreenEvents {
    std::vector<std::string> seen;
    ScreenEvents() {
        Screen->SetOnActiveFormChange(TNotifyEvent::FromFunction([this](TObject* sender) {
            EXPECT_EQ(sender, Screen);
            auto* form = Screen->ActiveCustomForm();
            seen.push_back("form " + (form ? form->Name() : std::string("-")));
        }));
        Screen->SetOnActiveControlChange(TNotifyEvent::FromFunction([this](TObject*) {
            auto* control = Screen->ActiveControl();
            seen.push_back("control " + (control ? control->Name() : std::string("-")));
        }));
    }
    ~ScreenEvents() {
        Screen->SetOnActiveFormChange({});
        Screen->SetOnActiveControlChange({});
    }
    std::vector<std::string> Take() { return std::exchange(seen, {}); }
};

std::unique_ptr<TForm> NamedForm(const char* name, const char* editName) {
    auto form = std::make_unique<TForm>(nullptr);
    form->SetName(name);
    auto* edit = new TEdit(form.get());
    edit->SetName(editName);
    edit->SetParent(form.get());
    return form;
}

using Strings = std::vector<std::string>;

}  // namespace

TEST(Screen, SizeIsTheDisplaysOrAFixedOneWithoutADisplay) {
    SizedScreen wide(2560, 1440);
    {
        os::TScopedScreenSource use(&wide);
        EXPECT_EQ(Screen->Width(), 2560);
        EXPECT_EQ(Screen->Height(), 1440);
    }
    SizedScreen none(0, 0);
    os::TScopedScreenSource use(&none);
    EXPECT_EQ(Screen->Width(), 1024);
    EXPECT_EQ(Screen->Height(), 768);
}

TEST(Screen, FollowsTheActiveFormAndTheFocusedControl) {
    ScreenEvents events;
    auto a = NamedForm("frmA", "edtA");
    auto b = NamedForm("frmB", "edtB");
    auto* second = new TEdit(a.get());
    second->SetName("edtA2");
    second->SetParent(a.get());

    a->Show();
    EXPECT_EQ(Screen->ActiveForm(), a.get());
    EXPECT_EQ(events.Take(), (Strings{"form frmA", "control edtA"}));
    second->SetFocus();
    second->SetFocus();  // no change, no event
    EXPECT_EQ(events.Take(), (Strings{"control edtA2"}));

    b->Show();
    EXPECT_EQ(events.Take(), (Strings{"form frmB", "control edtB"}));
    EXPECT_FALSE(a->Active());

    // Focusing a control of a form in the background brings the form back.
    static_cast<TEdit*>(a->FindComponent("edtA"))->SetFocus();
    EXPECT_EQ(events.Take(), (Strings{"form frmA", "control edtA"}));

    // Hiding the active form activates the one behind it, whose focus stayed.
    b->Show();
    events.Take();
    b->Hide();
    EXPECT_EQ(Screen->ActiveCustomForm(), a.get());
    EXPECT_EQ(events.Take(), (Strings{"form frmA", "control edtA"}));

    // Freeing the active form leaves nothing active when nothing else shows.
    b.reset();
    a.reset();
    EXPECT_EQ(Screen->ActiveCustomForm(), nullptr);
    EXPECT_EQ(Screen->ActiveControl(), nullptr);
    EXPECT_EQ(events.Take(), (Strings{"form -", "control -"}));
}

TEST(Screen, ListsTheFormsFrontToBack) {
    const int before = Screen->CustomFormCount();
    const int formsBefore = Screen->FormCount();
    auto a = NamedForm("frmA", "edtA");
    auto b = NamedForm("frmB", "edtB");
    auto bare = std::make_unique<TCtlBareForm>(nullptr);
    EXPECT_EQ(Screen->CustomFormCount(), before + 3);
    EXPECT_EQ(Screen->FormCount(), formsBefore + 2);

    b->Show();
    a->Show();
    EXPECT_EQ(Screen->CustomForms(0), a.get());
    EXPECT_EQ(Screen->CustomForms(1), b.get());
    EXPECT_EQ(Screen->Forms(0), a.get());
    bare->Show();
    EXPECT_EQ(Screen->ActiveCustomForm(), bare.get());
    EXPECT_EQ(Screen->ActiveForm(), nullptr);  // not a TForm
    EXPECT_EQ(Screen->Forms(0), a.get());

    bare.reset();
    EXPECT_EQ(Screen->ActiveForm(), a.get());
    EXPECT_THROW(Screen->CustomForms(Screen->CustomFormCount()), EListError);
    EXPECT_THROW(Screen->Forms(-1), EListError);
    a.reset();
    b.reset();
    EXPECT_EQ(Screen->CustomFormCount(), before);
}

namespace {

// Records what a window backend would be told.
class RecordingBackend : public TFormBackend {
  public:
    void FormShown(TCustomForm& form) override { seen.push_back("shown " + form.Name()); }
    void FormHidden(TCustomForm& form) override { seen.push_back("hidden " + form.Name()); }
    void FormChanged(TCustomForm& form) override { ++changes; }
    void FocusChanged(TCustomForm& form, TWinControl* control) override {
        seen.push_back("focus " + (control ? control->Name() : std::string("-")));
    }
    void FormDestroying(TCustomForm& form) override { seen.push_back("gone " + form.Name()); }
    Strings seen;
    int changes = 0;
};

}  // namespace

TEST(Screen, AWindowBackendIsToldWhatChanges) {
    RecordingBackend backend;
    SetFormBackend(&backend);
    {
        auto form = NamedForm("frmA", "edtA");
        form->Show();
        const int changesBefore = backend.changes;
        static_cast<TEdit*>(form->FindComponent("edtA"))->SetText("typed");
        form->SetCaption("Title");
        EXPECT_GE(backend.changes, changesBefore + 2);
        form->Hide();
    }
    SetFormBackend(nullptr);
    EXPECT_EQ(backend.seen, (Strings{"shown frmA", "focus edtA", "hidden frmA", "gone frmA"}));
}

TEST(ScreenThread, AModalLoopOffTheMainThreadIsRefused) {
    TForm form(nullptr);
    std::string error;
    std::thread worker([&] {
        try {
            form.ShowModal();
        } catch (const EInvalidOperation& e) {
            error = e.Message();
        }
    });
    worker.join();
    EXPECT_EQ(error, "A form can be shown modally only on the main thread");
    EXPECT_FALSE(form.Visible());
}
