#include "framework/FormParser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "framework/Exceptions.h"
#include "framework/FormParserTestSupport.h"

namespace zr {
namespace {

TFormValue ParseValue(const std::string& value) {
    const TFormObject obj = ParseForm("object A: TA\n  P = " + value + "\nend\n");
    EXPECT_EQ(obj.Properties.size(), 1u);
    return obj.Properties.at(0).Value;
}

std::string ParseString(const std::string& value) {
    const TFormValue v = ParseValue(value);
    EXPECT_EQ(v.Type, TFormValue::fvString);
    return v.Text;
}

// Headers in all their forms; line numbers under every line break style.
TEST(FormParser, ObjectHeadersAndLines) {
    const TFormObject root = ParseForm(
        "\xEF\xBB\xBFobject frmMain: TfrmMain\r\n"
        "  Font.Style = [fsBold, fsItalic]\r"
        "  object btnOK: TButton [2]\n"
        "    OnClick = btnOKClick\r\n"
        "  end\r\n"
        "  inherited Label1: TLabel\r\n"
        "  end\r\n"
        "  object TTimer\r\n"
        "  end\r\n"
        "end\r\n");
    EXPECT_EQ(root.Name, "frmMain");
    EXPECT_EQ(root.ClassName, "TfrmMain");
    EXPECT_EQ(root.Properties.at(0).Name, "Font.Style");
    EXPECT_EQ(root.Properties[0].Value.Names, (std::vector<std::string>{"fsBold", "fsItalic"}));
    ASSERT_EQ(root.Children.size(), 3u);
    EXPECT_EQ(root.Children[0].Index, 2);
    EXPECT_EQ(root.Children[0].Properties.at(0).Line, 4);
    EXPECT_EQ(root.Children[1].Kind, TFormObject::foInherited);
    EXPECT_EQ(root.Children[1].Line, 6);
    EXPECT_EQ(root.Children[2].Name, "");
    EXPECT_EQ(root.Children[2].ClassName, "TTimer");
}

TEST(FormParser, StringsJoinQuotedPiecesCodesAndContinuations) {
    EXPECT_EQ(ParseString("''"), "");
    EXPECT_EQ(ParseString("'It''s'"), "It's");
    EXPECT_EQ(ParseString("'a'#13#10'b'"), "a\r\nb");
    EXPECT_EQ(ParseString("#$41#66'C'"), "ABC");
    EXPECT_EQ(ParseString("#9"), "\t");
    EXPECT_EQ(ParseString("#233"), "\xE9");  // up to 255 a byte, as written
    EXPECT_EQ(ParseString("#8364"), "\xE2\x82\xAC");
    EXPECT_EQ(ParseString("#128512"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(ParseString("'first ' +\n    'second' +\r\n  #13#10 + 'third'"),
              "first second\r\nthird");
    EXPECT_EQ(ParseString("'caf\xC3\xA9 { } ( ) < >'"), "caf\xC3\xA9 { } ( ) < >");
}

TEST(FormParser, NumbersInEveryNotation) {
    EXPECT_EQ(ParseValue("0").Integer, 0);
    EXPECT_EQ(ParseValue("-11").Integer, -11);
    EXPECT_EQ(ParseValue("$7F").Integer, 127);
    EXPECT_EQ(ParseValue("$FFFFFFFFFFFFFFFF").Integer, -1);
    EXPECT_EQ(ParseValue("-$10").Integer, -16);
    EXPECT_EQ(ParseValue("9223372036854775807").Integer, INT64_MAX);
    EXPECT_EQ(ParseValue("-9223372036854775808").Integer, INT64_MIN);

    const TFormValue f = ParseValue("-2.5E-3");
    EXPECT_EQ(f.Type, TFormValue::fvFloat);
    EXPECT_DOUBLE_EQ(f.Float, -0.0025);
    EXPECT_DOUBLE_EQ(ParseValue("1e+20").Float, 1e20);
    EXPECT_DOUBLE_EQ(ParseValue("0.1").Float, 0.1);
    EXPECT_EQ(ParseValue("12").Type, TFormValue::fvInteger);

    const TFormValue inf = ParseValue("-Inf");
    EXPECT_EQ(inf.Type, TFormValue::fvIdent);
    EXPECT_EQ(inf.Text, "-Inf");
}

TEST(FormParser, ErrorsNameTheLine) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"", "'object' expected on line 1"},
        {"\n\nthing A: TA\nend", "'object' expected on line 3"},
        {"object A: TA\n  Caption = 'abc\n  end\nend", "Unterminated string on line 2"},
        {"object A: TA\n  Left = 1\n", "'end' expected on line 3"},
        {"object A: TA\n  object B: TB\n    Left = 1", "'end' expected on line 3"},
        {"object A: TA\n  Left 1\nend", "'=' expected on line 2"},
        {"object A: TA\n  Data = {0A1}\nend", "Invalid binary value on line 2"},
        {"object A: TA\n  Data = {0A1B\n", "'}' expected on line 3"},
        {"object A: TA\n  S = [a, b\nend", "']' expected on line 3"},
        {"object A: TA\n  L = ('a'\n", "')' expected on line 3"},
        {"object A: TA\n  I = <item\n  end\n", "'>' expected on line 4"},
        {"object A: TA\n  I = <thing end>\nend", "'item' expected on line 2"},
        {"object A: TA\n  N = 99999999999999999999\nend", "Number out of range on line 2"},
        {"object A: TA\n  N = $1FFFFFFFFFFFFFFFF\nend", "Number out of range on line 2"},
        {"object A: TA\n  N = 12abc\nend", "Invalid number on line 2"},
        {"object A: TA\n  N = 1.2.3\nend", "Invalid number on line 2"},
        {"object A: TA\n  N = 1e999\nend", "Number out of range on line 2"},
        {"object A: TA\n  S = #\nend", "Invalid character code on line 2"},
        {"object A: TA\n  S = #1114112\nend", "Invalid character code on line 2"},
        {"object A: TA\n  S = #$D800\nend", "Invalid character code on line 2"},
        {"object A: TA\n  S = 'a' + 1\nend", "String expected on line 2"},
        {"object A: TA\n  P = ?\nend", "Invalid property value on line 2"},
        {"object A: TA\n  object B: TB\n  end\n  Left = 1\nend", "'end' expected on line 4"},
        {"object A: TA\nend\nobject B: TB\nend", "End of file expected on line 3"},
        {"object A: TA\rLeft = 1\r\"\rend", "Identifier expected on line 3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_NE(ParseErrorOf(c.text).find(c.message), std::string::npos) << ParseErrorOf(c.text);
    }
    // `end` right after `=` reads as a name; the object's own end is then missing.
    EXPECT_EQ(ParseErrorOf("object A: TA\n  Left =\nend"), "'end' expected on line 3");
    // A NUL byte is never part of the syntax.
    const char withNul[] = "object A: TA\n  S = 1\0\nend";
    EXPECT_EQ(ParseErrorOf(std::string(withNul, sizeof withNul - 1)), "Identifier expected on line 2");
}

TEST(FormParser, NestingIsLimited) {
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i) text += "object A: TA\n";
        for (int i = 0; i < depth; ++i) text += "end\n";
        return text;
    };
    EXPECT_NO_THROW(ParseForm(nested(MaxFormNesting)));
    EXPECT_EQ(ParseErrorOf(nested(MaxFormNesting + 1)),
              "Nesting too deep on line " + std::to_string(MaxFormNesting + 1));

    // Lists inside lists count as well, and a long run of them is no threat.
    std::string lists = "object A: TA\n  L = " + std::string(100000, '(');
    EXPECT_NE(ParseErrorOf(lists).find("Nesting too deep on line 2"), std::string::npos);
}

}  // namespace
}  // namespace zr
