#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "framework/Collection.h"
#include "framework/Component.h"
#include "framework/FormConsts.h"
#include "framework/FormParser.h"
#include "framework/FormReader.h"
#include "framework/FormWriter.h"
#include "framework/Strings.h"

namespace zr {

enum TFormTestColor : int { ftRed, ftGreen, ftBlue, ftBlack };
ZR_ENUM(TFormTestColor, ftRed, ftGreen, ftBlue, ftBlack);
using TFormTestColors = Set<TFormTestColor>;

namespace {

// What the components saw, in order, across the whole read.
std::vector<std::string> journal;
int liveComponents = 0;

// "" while its properties are read, " (loading)" while references are
// set, " (not loading)" otherwise.
std::string StateMark(const TComponent& c) {
    if (!c.ComponentState().Contains(csLoading)) return " (not loading)";
    return c.ComponentState().Contains(csReading) ? "" : " (loading)";
}

void Note(const TComponent& c, const std::string& what) {
    journal.push_back(c.Name() + "." + what + StateMark(c));
}

// Settings held by a widget and written as `Settings.X` lines.
class TFormTestSettings : public TPersistent {
    ZR_CLASS(TFormTestSettings, TPersistent)
  public:
    const std::string& EMail() const { return email_; }
    void SetEMail(const std::string& v) { email_ = v; }
    int Retries() const { return retries_; }
    void SetRetries(int v) { retries_ = v; }
    TStringList* Files() const { return files_.get(); }

  private:
    std::string email_;
    int retries_ = 3;
    std::unique_ptr<TStringList> files_ = std::make_unique<TStringList>();
};

ZR_REGISTER_CLASS(TFormTestSettings, c) {
    c.Property("EMail", &TFormTestSettings::EMail, &TFormTestSettings::SetEMail).Default("");
    c.Property("Retries", &TFormTestSettings::Retries, &TFormTestSettings::SetRetries).Default(3);
    c.Property("Files", &TFormTestSettings::Files, nullptr);
}

class TFormTestItem : public TCollectionItem {
    ZR_CLASS(TFormTestItem, TCollectionItem)
  public:
    explicit TFormTestItem(TCollection* collection) : TCollectionItem(collection) {}
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& v) { caption_ = v; }
    int Width() const { return width_; }
    void SetWidth(int v) { width_ = v; }
    TComponent* Link() const { return link_; }
    void SetLink(TComponent* v) { link_ = v; }

  private:
    std::string caption_;
    int width_ = 50;
    TComponent* link_ = nullptr;
};

ZR_REGISTER_CLASS(TFormTestItem, c) {
    c.Property("Caption", &TFormTestItem::Caption, &TFormTestItem::SetCaption).Default("");
    c.Property("Width", &TFormTestItem::Width, &TFormTestItem::SetWidth).Default(50);
    c.Property("Link", &TFormTestItem::Link, &TFormTestItem::SetLink);
}

// A control-like component: it nests inside another widget through
// SetParentComponent and publishes one property of every kind.
class TFormTestWidget : public TComponent {
    ZR_CLASS(TFormTestWidget, TComponent)
  public:
    explicit TFormTestWidget(TComponent* owner)
        : TComponent(owner),
          items_(std::make_unique<TCollection>(this, TFormTestItem::StaticClassInfo())) {
        ++liveComponents;
    }
    ~TFormTestWidget() override {
        --liveComponents;
        if (parent_) std::erase(parent_->children_, this);
        for (TFormTestWidget* child : children_) child->parent_ = nullptr;
    }

    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& v) { caption_ = v, Note(*this, "Caption"); }
    int Count() const { return count_; }
    void SetCount(int v) {
        if (v < 0) throw ERangeError("Count cannot be negative");
        count_ = v;
        Note(*this, "Count");
    }
    double Ratio() const { return ratio_; }
    void SetRatio(double v) { ratio_ = v, Note(*this, "Ratio"); }
    std::int64_t Size() const { return size_; }
    void SetSize(std::int64_t v) { size_ = v, Note(*this, "Size"); }
    TFormTestColor Color() const { return color_; }
    void SetColor(TFormTestColor v) { color_ = v, Note(*this, "Color"); }
    TFormTestColors Colors() const { return colors_; }
    void SetColors(TFormTestColors v) { colors_ = v, Note(*this, "Colors"); }
    bool Active() const { return active_; }
    void SetActive(bool v) { active_ = v, Note(*this, "Active"); }
    TFormTestSettings* Settings() const { return settings_.get(); }
    TCollection* Items() const { return items_.get(); }
    TFormTestItem* Item(int i) const { return static_cast<TFormTestItem*>(items_->Items(i)); }
    const std::vector<std::string>& Lines() const { return lines_; }
    void SetLines(const std::vector<std::string>& v) { lines_ = v, Note(*this, "Lines"); }
    const std::vector<std::uint8_t>& Data() const { return data_; }
    void SetData(const std::vector<std::uint8_t>& v) { data_ = v, Note(*this, "Data"); }
    TComponent* Buddy() const { return buddy_; }
    void SetBuddy(TComponent* v) {
        if (buddy_) RemoveFreeNotification(buddy_);
        buddy_ = v;
        if (buddy_) FreeNotification(buddy_);
        Note(*this, "Buddy");
    }
    TNotifyEvent OnChange() const { return onChange_; }
    void SetOnChange(TNotifyEvent v) { onChange_ = v, Note(*this, "OnChange"); }

    TFormTestWidget* Parent() const { return parent_; }
    const std::vector<TFormTestWidget*>& Children() const { return children_; }
    int LoadedCalls = 0;

    void Loaded() override {
        TComponent::Loaded();
        ++LoadedCalls;
        journal.push_back(Name() + ".Loaded" + (buddy_ ? " buddy " + buddy_->Name() : ""));
    }
    void Notification(TComponent* c, TOperation op) override {
        TComponent::Notification(c, op);
        if (op == opRemove && c == buddy_) buddy_ = nullptr;
    }
    bool HasParent() const override { return true; }
    TComponent* GetParentComponent() const override { return parent_; }
    void SetParentComponent(TComponent* parent) override {
        if (auto* widget = dynamic_cast<TFormTestWidget*>(parent)) {
            parent_ = widget;
            widget->children_.push_back(this);
        }
    }
    void GetChildren(const std::function<void(TComponent*)>& proc, TComponent* root) override {
        for (TFormTestWidget* child : children_) proc(child);
    }

  private:
    std::string caption_;
    int count_ = 0;
    double ratio_ = 1.5;
    std::int64_t size_ = 0;
    TFormTestColor color_ = ftRed;
    TFormTestColors colors_{ftRed};
    bool active_ = false;
    std::unique_ptr<TFormTestSettings> settings_ = std::make_unique<TFormTestSettings>();
    std::unique_ptr<TCollection> items_;
    std::vector<std::string> lines_;
    std::vector<std::uint8_t> data_;
    TComponent* buddy_ = nullptr;
    TNotifyEvent onChange_;
    TFormTestWidget* parent_ = nullptr;
    std::vector<TFormTestWidget*> children_;
};

ZR_REGISTER_CLASS(TFormTestWidget, c) {
    using W = TFormTestWidget;
    c.Property("Caption", &W::Caption, &W::SetCaption).Default("");
    c.Property("Count", &W::Count, &W::SetCount).Default(0);
    c.Property("Ratio", &W::Ratio, &W::SetRatio).Default(1.5);
    c.Property("Size", &W::Size, &W::SetSize).Default(0);
    c.Property("Color", &W::Color, &W::SetColor).Default(ftRed);
    c.Property("Colors", &W::Colors, &W::SetColors).Default(TFormTestColors{ftRed});
    c.Property("Active", &W::Active, &W::SetActive);
    c.Property("Settings", &W::Settings, nullptr);
    c.Property("Items", &W::Items, nullptr);
    c.Property("Lines", &W::Lines, &W::SetLines);
    c.Property("Data", &W::Data, &W::SetData);
    c.Property("Buddy", &W::Buddy, &W::SetBuddy);
    c.Property("OnChange", &W::OnChange, &W::SetOnChange);
}

const bool sizeNames = (RegisterIntegerConsts(TFormTestWidget::StaticClassInfo(), "Size",
                                              {{"szSmall", 10}, {"szLarge", 1000}}),
                        true);

// The root: it nests the widgets that have no parent widget and publishes
// the methods that events are bound to.
class TFormTestForm : public TComponent {
    ZR_CLASS(TFormTestForm, TComponent)
  public:
    explicit TFormTestForm(TComponent* owner) : TComponent(owner) { ++liveComponents; }
    ~TFormTestForm() override { --liveComponents; }

    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& v) { caption_ = v, Note(*this, "Caption"); }
    void ButtonClick(TObject*) { ++clicks; }
    void OtherClick(TObject*) {}
    int clicks = 0;

    void Loaded() override {
        TComponent::Loaded();
        journal.push_back(Name() + ".Loaded");
    }
    void GetChildren(const std::function<void(TComponent*)>& proc, TComponent* root) override {
        for (int i = 0; i < ComponentCount(); ++i)
            if (!Components(i)->GetParentComponent()) proc(Components(i));
    }

  private:
    std::string caption_;
};

ZR_REGISTER_CLASS(TFormTestForm, c) {
    c.Property("Caption", &TFormTestForm::Caption, &TFormTestForm::SetCaption);
    c.Method("ButtonClick", &TFormTestForm::ButtonClick);
    c.Method("OtherClick", &TFormTestForm::OtherClick);
}

TFormTestWidget* Widget(const TComponent* form, const char* name) {
    return dynamic_cast<TFormTestWidget*>(form->FindComponent(name));
}

class FormFile : public ::testing::Test {
  protected:
    void SetUp() override { journal.clear(); }
    void TearDown() override {
        owner.DestroyComponents();
        EXPECT_EQ(liveComponents, 0);
    }
    TFormTestForm* Read(const std::string& text) {
        return static_cast<TFormTestForm*>(ReadComponentFromText(text, &owner));
    }
    TComponent owner{nullptr};
};

const char* const kWrittenForm =
    "object frmTest: TFormTestForm\n"
    "  Caption = 'Settings'\n"
    "  object wFirst: TFormTestWidget\n"
    "    Caption =\n"
    "      'It''s'#13#10 +\n"
    "      'two lines'\n"
    "    Count = 7\n"
    "    Ratio = 0.1\n"
    "    Color = ftBlue\n"
    "    Colors = [ftGreen, ftBlack]\n"
    "    Active = True\n"
    "    Settings.EMail = 'a@b.c'\n"
    "    Settings.Files.Strings = (\n"
    "      'x.log'\n"
    "      'y.log')\n"
    "    Items = <\n"
    "      item\n"
    "        Caption = 'col 1'\n"
    "        Link = wSecond\n"
    "      end\n"
    "      item\n"
    "        Width = 80\n"
    "      end>\n"
    "    Lines.Strings = (\n"
    "      'alpha'\n"
    "      ''\n"
    "      'gamma')\n"
    "    Data = {\n"
    "      007FFF}\n"
    "    Buddy = wSecond\n"
    "    OnChange = ButtonClick\n"
    "  end\n"
    "  object wSecond: TFormTestWidget\n"
    "    Active = False\n"
    "    Items = <>\n"
    "    object wInner: TFormTestWidget\n"
    "      Size = szLarge\n"
    "      Active = False\n"
    "      Items = <>\n"
    "    end\n"
    "  end\n"
    "end\n";

TEST_F(FormFile, WritesStoredValuesAndReadsThemBack) {
    auto* form = new TFormTestForm(&owner);
    form->SetName("frmTest");
    form->SetCaption("Settings");
    auto* first = new TFormTestWidget(form);
    first->SetName("wFirst");
    auto* second = new TFormTestWidget(form);
    second->SetName("wSecond");
    auto* inner = new TFormTestWidget(form);
    inner->SetName("wInner");
    inner->SetParentComponent(second);
    inner->SetSize(1000);

    first->SetCaption("It's\r\ntwo lines");
    first->SetCount(7);
    first->SetRatio(0.1);
    first->SetColor(ftBlue);
    first->SetColors({ftGreen, ftBlack});
    first->SetActive(true);
    first->Settings()->SetEMail("a@b.c");
    first->Settings()->Files()->Add("x.log");
    first->Settings()->Files()->Add("y.log");
    static_cast<TFormTestItem*>(first->Items()->Add())->SetCaption("col 1");
    first->Item(0)->SetLink(second);
    static_cast<TFormTestItem*>(first->Items()->Add())->SetWidth(80);
    first->SetLines({"alpha", "", "gamma"});
    first->SetData({0x00, 0x7F, 0xFF});
    first->SetBuddy(second);
    GetPropInfo(first, "OnChange")->SetMethodByName(first, form, "ButtonClick");

    const std::string text = WriteComponentToText(form);
    EXPECT_EQ(text, kWrittenForm);
    delete form;

    TFormTestForm* copy = Read(text);
    EXPECT_EQ(WriteComponentToText(copy), text);

    TFormTestWidget* w = Widget(copy, "wFirst");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->Caption(), "It's\r\ntwo lines");
    EXPECT_EQ(w->Colors(), (TFormTestColors{ftGreen, ftBlack}));
    EXPECT_EQ(w->Settings()->Files()->Text(), "x.log\r\ny.log\r\n");
    ASSERT_EQ(w->Items()->Count(), 2);
    EXPECT_EQ(w->Item(0)->Link(), Widget(copy, "wSecond"));
    EXPECT_EQ(w->Item(1)->Width(), 80);
    EXPECT_EQ(w->Buddy(), Widget(copy, "wSecond"));
    w->OnChange()(w);
    EXPECT_EQ(copy->clicks, 1);
    EXPECT_EQ(Widget(copy, "wInner")->Parent(), Widget(copy, "wSecond"));
}

TEST_F(FormFile, ReadsEveryNotationOfHandWrittenFiles) {
    TFormTestForm* form = Read(
        "object frmHand: TFormTestForm\r\n"
        "  Caption = 'Hand' +\r\n"
        "    'made'\r\n"
        "  object wA: TFormTestWidget\r\n"
        "    Buddy = wB\r\n"
        "    Count = $10\r\n"
        "    Ratio = -2\r\n"
        "    Size = SZSMALL\r\n"
        "    Caption = 'tab'#9'end'#$41\r\n"
        "    Color = FTGREEN\r\n"
        "    Colors = []\r\n"
        "    Settings.Retries = 5\r\n"
        "    Settings.Files.Strings = ('one' 'two' +\r\n"
        "      'three')\r\n"
        "    Items = <\r\n"
        "      item\r\n"
        "        Link = wB\r\n"
        "      end>\r\n"
        "    OnChange = buttonclick\r\n"
        "    Data = {00 01\r\n"
        "       02}\r\n"
        "  end\r\n"
        "  object wB: TFormTestWidget\r\n"
        "    Buddy = frmHand\r\n"
        "    Items = < >\r\n"
        "  end\r\n"
        "end\r\n");
    EXPECT_EQ(form->Name(), "frmHand");
    EXPECT_EQ(form->Caption(), "Handmade");
    TFormTestWidget* a = Widget(form, "wA");
    TFormTestWidget* b = Widget(form, "wB");
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->Buddy(), b);  // declared further down
    EXPECT_EQ(b->Buddy(), form);
    EXPECT_EQ(a->Count(), 16);
    EXPECT_EQ(a->Ratio(), -2.0);
    EXPECT_EQ(a->Size(), 10);
    EXPECT_EQ(a->Caption(), "tab\tendA");
    EXPECT_EQ(a->Color(), ftGreen);
    EXPECT_TRUE(a->Colors().Empty());
    EXPECT_EQ(a->Settings()->Retries(), 5);
    EXPECT_EQ(a->Settings()->Files()->ToVector(), (std::vector<std::string>{"one", "twothree"}));
    EXPECT_EQ(a->Item(0)->Link(), b);
    EXPECT_EQ(a->Data(), (std::vector<std::uint8_t>{0, 1, 2}));
    EXPECT_EQ(a->OnChange().MethodName(), "ButtonClick");
    EXPECT_EQ(b->Items()->Count(), 0);
}

TEST_F(FormFile, PropertiesAreReadWhileLoadingAndLoadedComesLast) {
    TFormTestForm* form = Read(
        "object frmOrder: TFormTestForm\n"
        "  Caption = 'x'\n"
        "  object wA: TFormTestWidget\n"
        "    Buddy = wB\n"
        "    Count = 1\n"
        "  end\n"
        "  object wB: TFormTestWidget\n"
        "    Caption = 'b'\n"
        "    object wC: TFormTestWidget\n"
        "      Active = True\n"
        "    end\n"
        "  end\n"
        "end\n");
    // File order, references once every object exists, then Loaded on each
    // component, the root first.
    EXPECT_EQ(journal,
              (std::vector<std::string>{"frmOrder.Caption", "wA.Count", "wB.Caption", "wC.Active",
                                        "wA.Buddy (loading)", "frmOrder.Loaded",
                                        "wA.Loaded buddy wB", "wB.Loaded", "wC.Loaded"}));
    for (const char* name : {"wA", "wB", "wC"}) {
        EXPECT_EQ(Widget(form, name)->LoadedCalls, 1) << name;
        EXPECT_TRUE(Widget(form, name)->ComponentState().Empty()) << name;
        EXPECT_EQ(Widget(form, name)->Owner(), form);
    }
    EXPECT_TRUE(form->ComponentState().Empty());
    EXPECT_EQ(Widget(form, "wC")->Parent(), Widget(form, "wB"));
}

// Reads `text` and returns the exception's class and message, checking that
// nothing the read made survives.
std::string ReadError(TComponent& owner, const std::string& text) {
    journal.clear();
    std::string result = "no error";
    try {
        ReadComponentFromText(text, &owner);
    } catch (const Exception& e) {
        result = std::string(e.ClassName()) + ": " + e.Message();
    }
    EXPECT_EQ(owner.ComponentCount(), 0);
    EXPECT_EQ(liveComponents, 0);
    for (const std::string& entry : journal) EXPECT_EQ(entry.find("Loaded"), std::string::npos);
    return result;
}

TEST_F(FormFile, BadFilesRaiseErrorsNamingTheLineAndLeaveNothingBehind) {
    const std::string head = "object frmBad: TFormTestForm\n  object wA: TFormTestWidget\n";
    const std::string tail = "  end\n  object wB: TFormTestWidget\n  end\nend\n";
    struct Case {
        std::string body;
        std::string error;
    };
    const Case cases[] = {
        {"    Nope = 1\n",
         "EReadError: Error reading wA.Nope: Property Nope does not exist on line 3"},
        {"    Count = 'x'\n",
         "EReadError: Error reading wA.Count: Invalid property value on line 3"},
        {"    Count = 1.5\n",
         "EReadError: Error reading wA.Count: Invalid property value on line 3"},
        {"    Caption = 12\n",
         "EReadError: Error reading wA.Caption: Invalid property value on line 3"},
        {"    Color = ftPurple\n",
         "EReadError: Error reading wA.Color: Invalid property value on line 3"},
        {"    Colors = [ftRed, ftNone]\n",
         "EReadError: Error reading wA.Colors: Invalid property value on line 3"},
        {"    Size = szHuge\n",
         "EReadError: Error reading wA.Size: Invalid property value on line 3"},
        {"    Caption.Text = 'x'\n",
         "EReadError: Error reading wA.Caption.Text: Invalid property path on line 3"},
        {"    Buddy.Caption = 'x'\n",
         "EReadError: Error reading wA.Buddy.Caption: Invalid property path on line 3"},
        {"    Settings = wB\n",
         "EReadError: Error reading wA.Settings: Property Settings is read-only on line 3"},
        {"    Lines.Strings = (\n      'a'\n      7)\n",
         "EReadError: Error reading wA.Lines.Strings: Invalid property value on line 5"},
        {"    Items = <\n      item\n      end\n      item\n        Nope = 1\n      end>\n",
         "EReadError: Error reading wA.Items[1].Nope: Property Nope does not exist on line 7"},
        {"    Buddy = wMissing\n",
         "EReadError: Error reading wA.Buddy: Component wMissing not found on line 3"},
        {"    OnChange = NoSuchHandler\n",
         "EMethodNotFound: Error reading wA.OnChange: Method NoSuchHandler not found on line 3"},
        {"    Count = -1\n",
         "ERangeError: Error reading wA.Count: Count cannot be negative on line 3"},
        {"    object wC: TNoSuchWidget\n    end\n",
         "EClassNotFound: Class TNoSuchWidget not found on line 3"},
        {"    object wB: TFormTestWidget\n    end\n",
         "EComponentError: Error reading wB: A component named wB already exists on line 6"},
        {"    inherited wZ: TFormTestWidget\n    end\n",
         "EReadError: Ancestor for 'wZ' not found on line 3"},
        {"    Caption = 'unterminated\n", "EParserError: Unterminated string on line 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(ReadError(owner, head + c.body + tail), c.error);
    }
    EXPECT_EQ(ReadError(owner, head), "EParserError: 'end' expected on line 3");
    EXPECT_EQ(ReadError(owner, "object frmBad: TNoSuchForm\nend\n"),
              "EClassNotFound: Class TNoSuchForm not found on line 1");
    EXPECT_EQ(ReadError(owner, "object frmBad: TFormTestItem\nend\n"),
              "EReadError: Cannot create an object of class TFormTestItem on line 1");
}

TEST_F(FormFile, ReadingIntoAnExistingRoot) {
    TFormTestForm form(&owner);
    ReadComponentInto(&form,
                      "object frmOwn: TFormTestForm\n"
                      "  Caption = 'mine'\n"
                      "  object wA: TFormTestWidget\n"
                      "  end\n"
                      "end\n");
    EXPECT_EQ(form.Name(), "frmOwn");
    EXPECT_EQ(form.Caption(), "mine");
    EXPECT_EQ(form.ComponentCount(), 1);
    EXPECT_TRUE(form.ComponentState().Empty());
    EXPECT_EQ(journal.back(), "wA.Loaded");

    // A failed read takes away what it made and leaves the root usable.
    TFormTestForm other(&owner);
    EXPECT_THROW(ReadComponentInto(&other,
                                   "object frmOther: TFormTestForm\n"
                                   "  object wA: TFormTestWidget\n"
                                   "    Count = -5\n"
                                   "  end\n"
                                   "end\n"),
                 ERangeError);
    EXPECT_EQ(other.ComponentCount(), 0);
    EXPECT_TRUE(other.ComponentState().Empty());

    // An `inherited` object names one that the root already has.
    ReadComponentInto(&form,
                      "inherited frmOwn: TFormTestForm\n"
                      "  inherited wA: TFormTestWidget\n"
                      "    Count = 4\n"
                      "  end\n"
                      "end\n");
    EXPECT_EQ(Widget(&form, "wA")->Count(), 4);
    EXPECT_EQ(Widget(&form, "wA")->LoadedCalls, 2);

    try {
        ReadComponentInto(&form, "object frmOwn: TFormTestWidget\nend\n");
        ADD_FAILURE() << "a layout of another class was read";
    } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), "Cannot read a TFormTestWidget into a TFormTestForm on line 1");
    }
    // An ancestor's layout is fine.
    EXPECT_NO_THROW(ReadComponentInto(&form, "object frmOwn: TComponent\nend\n"));
}

TEST_F(FormFile, TheSameFormTwiceGetsAFreshName) {
    const std::string text =
        "object frmTwice: TFormTestForm\n"
        "  Caption = 'x'\n"
        "  object wA: TFormTestWidget\n"
        "    Buddy = frmTwice\n"
        "  end\n"
        "end\n";
    TFormTestForm* first = Read(text);
    EXPECT_EQ(first->Name(), "frmTwice");
    TFormTestForm* second = Read(text);
    EXPECT_EQ(second->Name(), "frmTwice_1");
    EXPECT_EQ(Read(text)->Name(), "frmTwice_2");
    // The file's name for the form still means this form, not its namesake.
    EXPECT_EQ(Widget(second, "wA")->Buddy(), second);
}

TEST_F(FormFile, ReferencesToAnotherFormOfTheSameOwner) {
    TFormTestForm* other = Read(
        "object frmOther: TFormTestForm\n"
        "  Caption = 'o'\n"
        "  object wTarget: TFormTestWidget\n"
        "  end\n"
        "end\n");
    const std::string text =
        "object frmMain: TFormTestForm\n"
        "  Caption = 'm'\n"
        "  object wA: TFormTestWidget\n"
        "    Active = False\n"
        "    Items = <>\n"
        "    Buddy = frmOther.wTarget\n"
        "  end\n"
        "end\n";
    TFormTestForm* main = Read(text);
    EXPECT_EQ(Widget(main, "wA")->Buddy(), Widget(other, "wTarget"));
    EXPECT_EQ(WriteComponentToText(main), text);

    // A component that shares the form's name is reached through the form.
    auto* twin = new TFormTestWidget(main);
    twin->SetName("frmMain");
    Widget(main, "wA")->SetBuddy(twin);
    const std::string twinText = WriteComponentToText(main);
    EXPECT_NE(twinText.find("Buddy = frmMain.frmMain\n"), std::string::npos);
    TFormTestForm* copy = Read(twinText);
    EXPECT_EQ(Widget(copy, "wA")->Buddy(), copy->FindComponent("frmMain"));

    // A component the reader could not find from the form is not written.
    TFormTestWidget stray(nullptr);
    stray.SetName("wStray");
    Widget(main, "wA")->SetBuddy(&stray);
    EXPECT_EQ(WriteComponentToText(main).find("Buddy"), std::string::npos);
    Widget(main, "wA")->SetBuddy(nullptr);
}

TEST_F(FormFile, TextsAndNumbersSurviveARoundTrip) {
    auto* form = new TFormTestForm(&owner);
    form->SetName("frmValues");
    std::string every;
    for (int i = 0; i < 256; ++i) every += static_cast<char>(i);
    form->SetCaption(every);
    const std::vector<double> ratios = {0.1,
                                        -0.0,
                                        1e300,
                                        5e-324,
                                        100,
                                        std::numeric_limits<double>::infinity(),
                                        -std::numeric_limits<double>::infinity(),
                                        std::numeric_limits<double>::quiet_NaN()};
    for (double r : ratios) {
        auto* w = new TFormTestWidget(form);
        w->SetRatio(r);
        w->SetLines({every, "", "'", std::string(200, '\'')});
        w->SetCount(std::numeric_limits<int>::max());
        w->SetSize(std::numeric_limits<std::int64_t>::min());
    }
    const std::string text = WriteComponentToText(form);
    delete form;

    TFormTestForm* copy = Read(text);
    EXPECT_EQ(WriteComponentToText(copy), text);
    EXPECT_EQ(copy->Caption().substr(0, 256), every);
    ASSERT_EQ(copy->ComponentCount(), static_cast<int>(ratios.size()));
    for (size_t i = 0; i < ratios.size(); ++i) {
        auto* w = static_cast<TFormTestWidget*>(copy->Components(static_cast<int>(i)));
        if (std::isnan(ratios[i]))
            EXPECT_TRUE(std::isnan(w->Ratio()));
        else
            EXPECT_TRUE(w->Ratio() == ratios[i] &&
                        std::signbit(w->Ratio()) == std::signbit(ratios[i]))
                << ratios[i];
        EXPECT_EQ(w->Lines().at(0), every);
        EXPECT_EQ(w->Lines().at(3), std::string(200, '\''));
        EXPECT_EQ(w->Size(), std::numeric_limits<std::int64_t>::min());
    }
}

TEST_F(FormFile, LongTextsAreCutBetweenCharacters) {
    std::string euros;
    for (int i = 0; i < 100; ++i) euros += "\xE2\x82\xAC";
    auto* form = new TFormTestForm(&owner);
    form->SetCaption(euros);
    const std::string text = WriteComponentToText(form);
    delete form;

    int pieces = 0;
    for (size_t at = 0; (at = text.find("\n    '", at)) != std::string::npos; ++at, ++pieces)
        EXPECT_NE(static_cast<unsigned char>(text[at + 6]) & 0xC0, 0x80) << text;
    EXPECT_EQ(pieces, 5);
    EXPECT_EQ(Read(text)->Caption(), euros);
}

TEST_F(FormFile, ValuesThatCannotBeWrittenAreRefused) {
    auto* form = new TFormTestForm(&owner);
    auto* w = new TFormTestWidget(form);
    w->SetColor(static_cast<TFormTestColor>(9));
    EXPECT_THROW(WriteComponentToText(form), EWriteError);
    w->SetColor(ftRed);
    w->SetColors(TFormTestColors::FromMask(1u << 20));
    EXPECT_THROW(WriteComponentToText(form), EWriteError);
    w->SetColors({});

    // Nesting deeper than a reader takes.
    TFormTestWidget* parent = w;
    for (int i = 0; i < MaxFormNesting; ++i) {
        auto* child = new TFormTestWidget(form);
        child->SetParentComponent(parent);
        parent = child;
    }
    EXPECT_THROW(WriteComponentToText(form), EWriteError);
    EXPECT_FALSE(w->ComponentState().Contains(csWriting));
}

}  // namespace
}  // namespace zr
