#include "framework/Strings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "framework/Exceptions.h"
#include "framework/TypeInfo.h"

namespace zr {
namespace {

std::vector<std::string> LinesOf(const TStrings& list) {
    return list.ToVector();
}
using Lines = std::vector<std::string>;

TEST(StringsText, EveryLineEndsInCrLf) {
    TStringList list;
    list.Add("one");
    list.Add("");
    list.Add("three");
    EXPECT_EQ(list.Text(), "one\r\n\r\nthree\r\n");
}

TEST(StringsText, AssigningSplitsOnEveryKindOfBreak) {
    TStringList list;
    list.SetText("a\r\nb\rc\nd");
    EXPECT_EQ(LinesOf(list), (Lines{"a", "b", "c", "d"}));
    list.SetText("a\r\n");  // a trailing break adds no empty line
    EXPECT_EQ(LinesOf(list), (Lines{"a"}));
    list.SetText("\r\n");
    EXPECT_EQ(LinesOf(list), (Lines{""}));
    list.SetText("\n\r");  // LF then CR: two breaks, not one
    EXPECT_EQ(LinesOf(list), (Lines{"", ""}));
    list.SetText("x\r\n\r\ny");
    EXPECT_EQ(LinesOf(list), (Lines{"x", "", "y"}));
    list.SetText("");
    EXPECT_EQ(list.Count(), 0);
}

TEST(StringsEditing, InsertDeleteAndReplaceKeepOrder) {
    TStringList list;
    EXPECT_EQ(list.Add("b"), 0);
    list.Insert(0, "a");
    list.Insert(2, "d");  // Count() itself appends
    list.Insert(2, "c");
    EXPECT_EQ(LinesOf(list), (Lines{"a", "b", "c", "d"}));
    list.Delete(1);
    list.SetStrings(0, "A");
    EXPECT_EQ(LinesOf(list), (Lines{"A", "c", "d"}));
    EXPECT_EQ(list[2], "d");
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
}

TEST(StringsEditing, IndexesOutsideTheListRaise) {
    TStringList list;
    list.Add("only");
    try {
        list.Strings(1);
        FAIL() << "no exception";
    } catch (const EStringListError& e) {
        EXPECT_EQ(e.Message(), "List index out of bounds (1)");
    }
    EXPECT_THROW(list.Strings(-1), EStringListError);
    EXPECT_THROW(list.Delete(1), EStringListError);
    EXPECT_THROW(list.Insert(2, "x"), EStringListError);
    EXPECT_THROW(list.SetStrings(1, "x"), EStringListError);
    EXPECT_EQ(LinesOf(list), (Lines{"only"}));
}

TEST(StringsEditing, IndexOfIgnoresCaseUnlessAsked) {
    TStringList list;
    list.SetText("Alpha\nbeta\nALPHA");
    EXPECT_EQ(list.IndexOf("alpha"), 0);
    EXPECT_EQ(list.IndexOf("gamma"), -1);
    list.SetCaseSensitive(true);
    EXPECT_EQ(list.IndexOf("ALPHA"), 2);
    EXPECT_EQ(list.IndexOf("alpha"), -1);
}

TEST(StringsEditing, AddingAListToItselfDoublesIt) {
    TStringList list;
    list.SetText("a\nb");
    list.AddStrings(list);
    EXPECT_EQ(LinesOf(list), (Lines{"a", "b", "a", "b"}));
}

TEST(StringsAssign, CopiesLinesAndRefusesOtherClasses) {
    TStringList source, target;
    source.SetText("x\ny");
    target.SetText("old");
    target.Assign(&source);
    EXPECT_EQ(LinesOf(target), (Lines{"x", "y"}));
    source.Add("z");  // a copy, not a share
    EXPECT_EQ(target.Count(), 2);
    target.Assign(&target);
    EXPECT_EQ(target.Count(), 2);

    TComponent other(nullptr);
    EXPECT_THROW(target.Assign(&other), EConvertError);
}

TEST(StringsChange, OnChangeFiresOncePerChangeAndOncePerBatch) {
    struct Counter : TObject {
        int changes = 0, changings = 0;
        void Changed(TObject*) { ++changes; }
        void Changing(TObject*) { ++changings; }
    } counter;
    TStringList list;
    list.SetOnChange(TNotifyEvent(&counter, &Counter::Changed));
    list.SetOnChanging(TNotifyEvent(&counter, &Counter::Changing));
    list.Add("a");
    EXPECT_EQ(counter.changes, 1);
    list.SetText("1\n2\n3\n4");
    EXPECT_EQ(counter.changes, 2);
    EXPECT_EQ(counter.changings, 2);
    list.BeginUpdate();
    list.Add("5");
    list.Delete(0);
    EXPECT_EQ(counter.changes, 2);
    list.EndUpdate();
    EXPECT_EQ(counter.changes, 3);
}

TEST(StringsCommaText, QuotesWhatWouldNotSurviveASplit) {
    TStringList list;
    list.SetFromVector({"plain", "two words", "say \"hi\"", "", "a,b"});
    EXPECT_EQ(list.CommaText(), "plain,\"two words\",\"say \"\"hi\"\"\",\"\",\"a,b\"");
    TStringList back;
    back.SetCommaText(list.CommaText());
    EXPECT_EQ(LinesOf(back), LinesOf(list));

    back.SetCommaText("  a b,c ,");
    EXPECT_EQ(LinesOf(back), (Lines{"a", "b", "c", ""}));
    back.SetFromVector({""});
    EXPECT_EQ(back.CommaText(), "\"\"");
}

class StringsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zr-strings-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    static std::string Slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    std::string dir_;
};

TEST_F(StringsFile, SaveAndLoadRoundTrip) {
    TStringList list;
    list.SetFromVector({"first", "", "third with blanks "});
    list.SaveToFile(Path("lines.txt"));
    EXPECT_EQ(Slurp(Path("lines.txt")), "first\r\n\r\nthird with blanks \r\n");

    TStringList loaded;
    loaded.Add("stale");
    loaded.LoadFromFile(Path("lines.txt"));
    EXPECT_EQ(LinesOf(loaded), LinesOf(list));
}

TEST_F(StringsFile, LoadsUnixTextWithoutFinalBreak) {
    std::ofstream(Path("unix.txt"), std::ios::binary) << "a\nb\n\nlast";
    TStringList list;
    list.LoadFromFile(Path("unix.txt"));
    EXPECT_EQ(LinesOf(list), (Lines{"a", "b", "", "last"}));
}

TEST_F(StringsFile, FailuresNameTheFile) {
    TStringList list;
    list.Add("kept");
    try {
        list.LoadFromFile(Path("missing.txt"));
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.Message(),
                  "Cannot open file \"" + Path("missing.txt") + "\". No such file or directory");
    }
    EXPECT_EQ(LinesOf(list), (Lines{"kept"}));  // a failed load leaves the lines alone
    EXPECT_THROW(list.SaveToFile(Path("no/such/folder.txt")), EFCreateError);
}

TEST(StringsPublished, FormFilesStoreTheLinesOnlyWhenThereAreAny) {
    TStringList list;
    const TPropInfo* prop = GetPropInfo(&list, "Strings");
    ASSERT_NE(prop, nullptr);
    EXPECT_EQ(prop->Kind, tkStrings);
    EXPECT_FALSE(IsStoredProp(&list, *prop));
    prop->SetLines(&list, {"x", "y"});
    EXPECT_EQ(list.Text(), "x\r\ny\r\n");
    EXPECT_TRUE(IsStoredProp(&list, *prop));
    EXPECT_EQ(prop->GetLines(&list), (Lines{"x", "y"}));
}

}  // namespace
}  // namespace zr
