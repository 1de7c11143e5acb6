#include "framework/Strings.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "framework/Exceptions.h"

namespace zr {
namespace {

using Lines = std::vector<std::string>;

TEST(StringsText, LinesEndInCrLfAndAnyBreakSplits) {
    TStringList list;
    list.SetFromVector({"one", "", "three"});
    EXPECT_EQ(list.Text(), "one\r\n\r\nthree\r\n");
    list.SetText("a\r\nb\rc\nd");
    EXPECT_EQ(list.ToVector(), (Lines{"a", "b", "c", "d"}));
    list.SetText("a\r\n");  // a final break adds no empty line
    EXPECT_EQ(list.ToVector(), (Lines{"a"}));
    list.SetText("\n\r");  // LF then CR are two breaks
    EXPECT_EQ(list.ToVector(), (Lines{"", ""}));
    list.SetText("");
    EXPECT_EQ(list.Count(), 0);
}

TEST(StringsEditing, EditsKeepOrderAndBadIndexesRaise) {
    TStringList list;
    EXPECT_EQ(list.Add("b"), 0);
    list.Insert(0, "a");
    list.Insert(2, "c");  // Count() itself appends
    list.SetStrings(1, "B");
    EXPECT_EQ(list.ToVector(), (Lines{"a", "B", "c"}));
    list.Delete(0);
    EXPECT_EQ(list[1], "c");
    try {
        list.Strings(2);
        FAIL() << "no exception";
    } catch (const EStringListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (2)");
    }
    EXPECT_THROW(list.Delete(-1), EStringListError);
    EXPECT_THROW(list.Insert(3, "x"), EStringListError);
    list.AddStrings(list);  // adding a list to itself doubles it once
    EXPECT_EQ(list.ToVector(), (Lines{"B", "c", "B", "c"}));
}

TEST(StringsEditing, IndexOfIgnoresCaseUnlessAsked) {
    TStringList list;
    list.SetText("Alpha\nbeta\nALPHA");
    EXPECT_EQ(list.IndexOf("alpha"), 0);
    EXPECT_EQ(list.IndexOf("gamma"), -1);
    list.SetCaseSensitive(true);
    EXPECT_EQ(list.IndexOf("ALPHA"), 2);
}

TEST(StringsAssign, CopiesLinesFiresOnceAndRefusesOtherClasses) {
    struct Counter : TObject {
        int changes = 0;
        void Changed(TObject*) { ++changes; }
    } counter;
    TStringList source, target;
    source.SetText("x\ny");
    target.SetOnChange(TNotifyEvent(&counter, &Counter::Changed));
    target.Assign(&source);
    EXPECT_EQ(counter.changes, 1);
    source.Add("z");  // a copy, not a share
    EXPECT_EQ(target.ToVector(), (Lines{"x", "y"}));
    TComponent other(nullptr);
    EXPECT_THROW(target.Assign(&other), EConvertError);
}

TEST(StringsCommaText, QuotesWhatASplitWouldBreak) {
    TStringList list, back;
    list.SetFromVector({"plain", "two words", "say \"hi\"", "", "a,b"});
    EXPECT_EQ(list.CommaText(), "plain,\"two words\",\"say \"\"hi\"\"\",\"\",\"a,b\"");
    back.SetCommaText(list.CommaText());
    EXPECT_EQ(back.ToVector(), list.ToVector());
    back.SetCommaText("  a b,c ,");
    EXPECT_EQ(back.ToVector(), (Lines{"a", "b", "c", ""}));
}

TEST(StringsFile, RoundTripsAndFailuresNameTheFile) {
    char pattern[] = "/tmp/zr-strings-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    TStringList list;
    list.SetFromVector({"first", "", "last "});
    list.SaveToFile(dir + "/lines.txt");
    std::ifstream in(dir + "/lines.txt", std::ios::binary);
    std::ostringstream saved;
    saved << in.rdbuf();
    EXPECT_EQ(saved.str(), "first\r\n\r\nlast \r\n");
    TStringList loaded;
    loaded.LoadFromFile(dir + "/lines.txt");
    EXPECT_EQ(loaded.ToVector(), list.ToVector());

    try {
        loaded.LoadFromFile(dir + "/missing.txt");
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(),
                  "Cannot open file \"" + dir + "/missing.txt\". No such file or directory");
    }
    EXPECT_EQ(loaded.Count(), 3) << "a failed load keeps the lines";
    EXPECT_THROW(list.SaveToFile(dir + "/no/such.txt"), EFCreateError);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zr
