// Form files written by other programs: numbers that carry their kind,
// names in any script, characters beyond the basic plane.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "framework/Component.h"
#include "framework/FormParser.h"
#include "framework/FormParserTestSupport.h"
#include "framework/FormReader.h"
#include "framework/FormWriter.h"

namespace zr {
namespace {

// One property of each float kind, a caption and an event.
class TForeignValues : public TComponent {
    ZR_CLASS(TForeignValues, TComponent)
  public:
    using TComponent::TComponent;
    double editValue = 0;  // a date-time
    double value = 0;      // a currency value
    float scale = 1;
    std::string caption;
    TNotifyEvent onClick;
};

ZR_REGISTER_CLASS(TForeignValues, c) {
    using V = TForeignValues;
    c.Property(
         "EditValue", [](const V& v) { return v.editValue; },
         [](V& v, double x) { v.editValue = x; })
        .AsDateTime()
        .Default(0.0);
    c.Property(
         "Value", [](const V& v) { return v.value; }, [](V& v, double x) { v.value = x; })
        .AsCurrency()
        .Default(0.0);
    c.Property(
         "Scale", [](const V& v) { return v.scale; }, [](V& v, float x) { v.scale = x; })
        .Default(1.0);
    c.Property(
         "Caption", [](const V& v) { return v.caption; },
         [](V& v, const std::string& x) { v.caption = x; })
        .Default("");
    c.Property(
        "OnClick", [](const V& v) { return v.onClick; },
        [](V& v, TNotifyEvent e) { v.onClick = e; });
}

// A form whose handler is named in Cyrillic ("Сhange" starts with U+0421).
class TForeignForm : public TComponent {
    ZR_CLASS(TForeignForm, TComponent)
  public:
    using TComponent::TComponent;
    int clicks = 0;
    void ChangeClick(TObject*) { ++clicks; }
};

ZR_REGISTER_CLASS(TForeignForm, c) {
    c.Method("\xD0\xA1hangeClick", &TForeignForm::ChangeClick);
}

const char* const ForeignForm =
    "\xEF\xBB\xBF"
    "object Form1: TForeignForm\r\n"
    "  object \xD0\xA1hange: TForeignValues\r\n"
    "    EditValue = 36526d\r\n"
    "    Value = 25000c\r\n"
    "    Scale = 1.5s\r\n"
    "    Caption = #55357#56593'   Chaves PIX'\r\n"
    "    OnClick = \xD0\xA1hangeClick\r\n"
    "  end\r\n"
    "end\r\n";

TEST(ForeignForm, ParserKeepsKindsJoinsPairsAndTakesUnicodeNames) {
    const TFormObject root = ParseForm(ForeignForm);
    const TFormObject& child = root.Children.at(0);
    EXPECT_EQ(child.Name, "\xD0\xA1hange");
    const auto& p = child.Properties;
    EXPECT_EQ(p.at(0).Value.Type, TFormValue::fvFloat);
    EXPECT_EQ(p[0].Value.FloatType, TFloatType::DateTime);
    EXPECT_EQ(p[0].Value.Float, 36526.0);
    EXPECT_EQ(p[1].Value.FloatType, TFloatType::Currency);
    EXPECT_EQ(p[1].Value.Float, 25000.0);
    EXPECT_EQ(p[2].Value.FloatType, TFloatType::Single);
    EXPECT_EQ(p[2].Value.Float, 1.5);
    EXPECT_EQ(p[3].Value.Text, "\xF0\x9F\x94\x91   Chaves PIX");  // U+1F511
    EXPECT_EQ(p[4].Value.Text, "\xD0\xA1hangeClick");
}

TEST(ForeignForm, LoneSurrogatesAndSymbolsInNamesAreRefusedWithTheirLine) {
    const std::string head = "object A: TA\n";
    EXPECT_EQ(ParseErrorOf(head + "  S = #55357'x'\nend"), "Invalid character code on line 2");
    EXPECT_EQ(ParseErrorOf(head + "  S = #55357#65\nend"), "Invalid character code on line 2");
    EXPECT_EQ(ParseErrorOf(head + "\n  S = #56593#55357\nend"), "Invalid character code on line 3");
    EXPECT_EQ(ParseErrorOf(head + "  S = #55357\nend"), "Invalid character code on line 2");
    // The euro sign and an arrow are symbols, not letters.
    EXPECT_EQ(ParseErrorOf(head + "  object \xE2\x82\xAC"
                             "1: TB\n  end\nend"),
              "Identifier expected on line 2");
    EXPECT_EQ(ParseErrorOf(head + "\n  P = \xE2\x86\x92x\nend"), "Invalid property value on line 3");
    // A letter after a number that is no kind letter is still wrong.
    EXPECT_EQ(ParseErrorOf(head + "  N = 12x\nend"), "Invalid number on line 2");
    EXPECT_EQ(ParseErrorOf(head + "  N = 12dd\nend"), "Invalid number on line 2");
}

TEST(ForeignForm, ReadIntoComponentsWrittenAndReadAgainTheSame) {
    TComponent owner(nullptr);
    auto* form = static_cast<TForeignForm*>(ReadComponentFromText(ForeignForm, &owner));
    auto* values = static_cast<TForeignValues*>(form->FindComponent("\xD0\xA1hange"));
    ASSERT_NE(values, nullptr);
    EXPECT_EQ(values->editValue, 36526.0);
    EXPECT_EQ(values->value, 25000.0);
    EXPECT_EQ(values->scale, 1.5f);
    values->onClick(values);
    EXPECT_EQ(form->clicks, 1);

    const std::string written = WriteComponentToText(form);
    for (const char* expected :
         {"object \xD0\xA1hange: TForeignValues", "EditValue = 36526d", "Value = 25000c",
          "Scale = 1.5s", "Caption = #55357#56593'   Chaves PIX'", "OnClick = \xD0\xA1hangeClick"})
        EXPECT_NE(written.find(expected), std::string::npos) << expected << " in\n" << written;

    values->scale = 0.1f;  // written as the shortest single, read back exactly
    const std::string second = WriteComponentToText(form);
    TComponent owner2(nullptr);
    TComponent* again = ReadComponentFromText(second, &owner2);
    EXPECT_EQ(WriteComponentToText(again), second);
    EXPECT_EQ(static_cast<TForeignValues*>(again->FindComponent("\xD0\xA1hange"))->scale, 0.1f);
}

}  // namespace
}  // namespace zr
