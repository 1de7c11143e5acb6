// Type information of a small published class: what form files and the
// designer read and write by name.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/Collection.h"
#include "framework/Component.h"

namespace zr {

enum TTiShade { tsLight, tsMedium, tsDark };
ZR_ENUM(TTiShade, tsLight, tsMedium, tsDark);
using TTiShades = Set<TTiShade>;

namespace {

class TTiWidget : public TComponent {
    ZR_CLASS(TTiWidget, TComponent)
  public:
    explicit TTiWidget(TComponent* owner) : TComponent(owner) {}

    int Count() const { return count_; }
    void SetCount(int v) { count_ = v; }
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool v) { enabled_ = v; }
    double Ratio() const { return ratio_; }
    void SetRatio(double v) { ratio_ = v; }
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& v) { caption_ = v; }
    TTiShade Shade() const { return shade_; }
    void SetShade(TTiShade v) { shade_ = v; }
    TTiShades Shades() const { return shades_; }
    void SetShades(TTiShades v) { shades_ = v; }
    TComponent* Buddy() const { return buddy_; }
    void SetBuddy(TComponent* v) { buddy_ = v; }
    const TNotifyEvent& OnClick() const { return onClick_; }
    void SetOnClick(const TNotifyEvent& v) { onClick_ = v; }
    const std::vector<std::string>& Lines() const { return lines_; }
    void SetLines(const std::vector<std::string>& v) { lines_ = v; }
    int Version() const { return 7; }
    std::uint32_t Colour() const { return colour_; }
    void SetColour(std::uint32_t v) { colour_ = v; }

    void ClickHandler(TObject*) { ++clicks; }
    bool CaptionStored() const { return storeCaption; }
    bool storeCaption = true;
    int clicks = 0;

  private:
    int count_ = 3;
    bool enabled_ = true;
    double ratio_ = 0.5;
    std::string caption_ = "Hello";
    TTiShade shade_ = tsMedium;
    TTiShades shades_{tsLight};
    TComponent* buddy_ = nullptr;
    TNotifyEvent onClick_;
    std::vector<std::string> lines_;
    std::uint32_t colour_ = 0xFF00FF;
};

ZR_REGISTER_CLASS(TTiWidget, c) {
    c.Property("Count", &TTiWidget::Count, &TTiWidget::SetCount).Default(3);
    c.Property("Enabled", &TTiWidget::Enabled, &TTiWidget::SetEnabled).Default(true);
    c.Property("Ratio", &TTiWidget::Ratio, &TTiWidget::SetRatio).Default(0.5);
    c.Property("Caption", &TTiWidget::Caption, &TTiWidget::SetCaption)
        .Default("Hello")
        .Stored(&TTiWidget::CaptionStored);
    c.Property("Shade", &TTiWidget::Shade, &TTiWidget::SetShade).Default(tsMedium);
    c.Property("Shades", &TTiWidget::Shades, &TTiWidget::SetShades).Default(TTiShades{tsLight});
    c.Property("Buddy", &TTiWidget::Buddy, &TTiWidget::SetBuddy);
    c.Property("OnClick", &TTiWidget::OnClick, &TTiWidget::SetOnClick);
    c.Property("Lines", &TTiWidget::Lines, &TTiWidget::SetLines);
    c.Property("Version", &TTiWidget::Version, nullptr);
    c.Property("Colour", &TTiWidget::Colour, &TTiWidget::SetColour).Default(0xFF00FFu);
    c.Method("ClickHandler", &TTiWidget::ClickHandler);
}

TEST(TypeInfoTest, KindsFollowTheReadersAndPropertiesComeInPublishedOrder) {
    const TClassInfo& info = TTiWidget::StaticClassInfo();
    EXPECT_EQ(info.Name, "TTiWidget");
    EXPECT_EQ(info.Parent, &TComponent::StaticClassInfo());

    std::vector<std::string> names;
    for (const TPropInfo* p : info.AllProperties()) names.push_back(p->Name);
    EXPECT_EQ(names, (std::vector<std::string>{"Name", "Tag", "Count", "Enabled", "Ratio",
                                               "Caption", "Shade", "Shades", "Buddy", "OnClick",
                                               "Lines", "Version", "Colour"}));

    auto kind = [&](const char* name) { return info.FindProperty(name)->Kind; };
    EXPECT_EQ(kind("count"), tkInteger);
    EXPECT_EQ(kind("ENABLED"), tkEnumeration);
    EXPECT_EQ(kind("Ratio"), tkFloat);
    EXPECT_EQ(kind("Caption"), tkString);
    EXPECT_EQ(kind("Shade"), tkEnumeration);
    EXPECT_EQ(kind("Shades"), tkSet);
    EXPECT_EQ(kind("Buddy"), tkClass);
    EXPECT_EQ(kind("OnClick"), tkMethod);
    EXPECT_EQ(kind("Lines"), tkStrings);
    EXPECT_EQ(info.FindProperty("Nope"), nullptr);

    EXPECT_EQ(info.FindProperty("Enabled")->EnumType, &EnumInfo<bool>());
    EXPECT_EQ(info.FindProperty("Shades")->EnumType, &EnumInfo<TTiShade>());
    EXPECT_EQ(info.FindProperty("Buddy")->ClassType, &TComponent::StaticClassInfo());
    EXPECT_TRUE(info.FindProperty("Version")->ReadOnly());
    EXPECT_FALSE(info.FindProperty("Caption")->ReadOnly());
    EXPECT_FALSE(info.FindProperty("Buddy")->HasDefault());
}

TEST(TypeInfoTest, GenericAccessReadsAndWritesByName) {
    TTiWidget w(nullptr);
    TTiWidget buddy(nullptr);
    SetOrdProp(&w, "Count", 42);
    SetOrdProp(&w, "Shade", tsDark);
    SetOrdProp(&w, "Shades", TTiShades{tsMedium, tsDark}.Mask());
    SetFloatProp(&w, "Ratio", 2.25);
    SetStrProp(&w, "caption", "It's");
    SetObjectProp(&w, "Buddy", &buddy);
    EXPECT_EQ(w.Count(), 42);
    EXPECT_EQ(w.Shade(), tsDark);
    EXPECT_EQ(w.Shades(), (TTiShades{tsMedium, tsDark}));
    EXPECT_EQ(GetOrdProp(&w, "Shades"), 0b110);
    EXPECT_EQ(GetFloatProp(&w, "Ratio"), 2.25);
    EXPECT_EQ(GetStrProp(&w, "Caption"), "It's");
    EXPECT_EQ(GetObjectProp(&w, "Buddy"), &buddy);
    EXPECT_EQ(GetOrdProp(&w, "Enabled"), 1);
    EXPECT_EQ(GetPropInfo(&w, "TAG"), TComponent::StaticClassInfo().FindProperty("Tag"));
    EXPECT_EQ(GetPropInfo(nullptr, "Tag"), nullptr);
}

TEST(TypeInfoTest, MisuseRaisesClearErrorsAndLeavesTheObjectAlone) {
    TTiWidget w(nullptr);
    try {
        GetStrProp(&w, "Nope");
        FAIL();
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Unknown property Nope");
    }
    EXPECT_THROW(SetOrdProp(&w, "Version", 8), EPropReadOnly);
    EXPECT_THROW(GetStrProp(&w, "Count"), EConvertError);
    EXPECT_THROW(SetFloatProp(&w, "Caption", 1.0), EConvertError);
    EXPECT_THROW(SetOrdProp(&w, "Shade", 3), ERangeError);
    EXPECT_THROW(SetOrdProp(&w, "Shade", -1), ERangeError);
    EXPECT_EQ(w.Shade(), tsMedium);
    TPersistent notAComponent;
    EXPECT_THROW(SetObjectProp(&w, "Buddy", &notAComponent), EInvalidCast);
    EXPECT_EQ(w.Buddy(), nullptr);
}

TEST(TypeInfoTest, IsStoredPropComparesWithTheDeclaredDefault) {
    TTiWidget w(nullptr);
    auto stored = [&](const char* name) {
        return IsStoredProp(&w, *w.ClassInfo().FindProperty(name));
    };
    for (const char* name :
         {"Count", "Enabled", "Ratio", "Caption", "Shade", "Shades", "Colour", "Tag"})
        EXPECT_FALSE(stored(name)) << name << " holds its default";
    EXPECT_TRUE(stored("Buddy")) << "no declared default: always stored";
    EXPECT_TRUE(stored("Lines"));
    EXPECT_FALSE(stored("Name")) << "the name is written in the object header";

    w.SetCount(4);
    w.SetEnabled(false);
    w.SetRatio(0.5000000000000001);  // exact comparison, no tolerance
    w.SetCaption("hello");           // text comparison is case-sensitive
    w.SetShade(tsLight);
    w.SetShades({});
    for (const char* name : {"Count", "Enabled", "Ratio", "Caption", "Shade", "Shades"})
        EXPECT_TRUE(stored(name)) << name << " differs from its default";

    w.storeCaption = false;
    EXPECT_FALSE(stored("Caption")) << "the stored test wins over a differing value";
}

TEST(TypeInfoTest, EventsBindPublishedMethodsByName) {
    TTiWidget form(nullptr);
    TTiWidget w(&form);
    const TPropInfo& onClick = *w.ClassInfo().FindProperty("OnClick");
    onClick.SetMethodByName(&w, &form, "clickhandler");
    EXPECT_EQ(onClick.GetMethodName(&w), "ClickHandler");
    w.OnClick()(&w);
    EXPECT_EQ(form.clicks, 1);
    EXPECT_EQ(w.OnClick(), TNotifyEvent(&form, &TTiWidget::ClickHandler));
    EXPECT_THROW(onClick.SetMethodByName(&w, &form, "Missing"), EMethodNotFound);
    onClick.SetMethodByName(&w, &form, "");
    EXPECT_FALSE(w.OnClick());
}

TEST(EnumInfoTest, NamesAndValues) {
    const TEnumInfo& shade = EnumInfo<TTiShade>();
    EXPECT_EQ(shade.Name, "TTiShade");
    EXPECT_EQ(GetEnumName(shade, tsDark), "tsDark");
    EXPECT_EQ(GetEnumName(shade, 3), "");
    EXPECT_EQ(GetEnumName(shade, -1), "");
    EXPECT_EQ(GetEnumValue(shade, "TSMEDIUM"), tsMedium);
    EXPECT_EQ(GetEnumValue(shade, "tsMediu"), -1);
    EXPECT_EQ(GetEnumValue(EnumInfo<bool>(), "true"), 1);
    EXPECT_EQ(GetEnumName(EnumInfo<TComponentStateFlag>(), csDesigning), "csDesigning");

    EXPECT_EQ(SplitEnumNames(" a,b ,\tc = 4 "), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_TRUE(SplitEnumNames("  ").empty());
}

TEST(ClassRegistryTest, FindsClassesByNameAndMakesThemWithTheirOwner) {
    EXPECT_EQ(GetClass("ttiwidget"), &TTiWidget::StaticClassInfo());
    EXPECT_EQ(&FindClass("TComponent"), &TComponent::StaticClassInfo());
    EXPECT_EQ(&FindClass("TObject"), &TObject::StaticClassInfo());
    try {
        FindClass("TNoSuchThing");
        FAIL();
    } catch (const EClassNotFound& e) {
        EXPECT_EQ(e.Message(), "Class TNoSuchThing not found");
    }

    TComponent owner(nullptr);
    const TClassInfo& cls = FindClass("TTiWidget");
    ASSERT_TRUE(cls.CreateComponent);
    TComponent* made = cls.CreateComponent(&owner);
    EXPECT_EQ(made->Owner(), &owner);
    EXPECT_EQ(made->ClassName(), "TTiWidget");
    EXPECT_TRUE(made->Is<TTiWidget>());
    EXPECT_TRUE(made->Is<TPersistent>());
    EXPECT_FALSE(owner.Is<TTiWidget>());
    EXPECT_FALSE(made->Is<TCollection>());

    EXPECT_TRUE(FindClass("TPersistent").CreateObject) << "default-constructible persistents";
    EXPECT_FALSE(FindClass("TCollection").CreateComponent);
    EXPECT_FALSE(FindClass("TCollection").CreateObject);
}

TEST(ClassRegistryTest, ALaterClassOfTheSameNameShadowsUntilUnregistered) {
    TClassInfo impostor;
    impostor.Name = "TTIWIDGET";
    impostor.Parent = &TComponent::StaticClassInfo();
    RegisterClass(impostor);
    EXPECT_EQ(GetClass("TTiWidget"), &impostor);
    UnRegisterClass(impostor);
    EXPECT_EQ(GetClass("TTiWidget"), &TTiWidget::StaticClassInfo());

    UnRegisterClass(TTiWidget::StaticClassInfo());
    EXPECT_EQ(GetClass("TTiWidget"), nullptr);
    EXPECT_THROW(FindClass("TTiWidget"), EClassNotFound);
    RegisterClass(TTiWidget::StaticClassInfo());
    RegisterClass(TTiWidget::StaticClassInfo());  // twice is once
    UnRegisterClass(TTiWidget::StaticClassInfo());
    EXPECT_EQ(GetClass("TTiWidget"), nullptr);
    RegisterClass(TTiWidget::StaticClassInfo());
}

}  // namespace
}  // namespace zr
