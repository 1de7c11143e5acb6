#include "exception/KVMapFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "framework/ExceptAddr.h"
#include "framework/FileStream.h"

namespace zr {
namespace {

// ---- map texts in the reader's fixed columns ----

std::string Hex8(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", value);
    return text;
}

std::string Segment(std::uint32_t start, std::uint32_t length, const std::string& unit,
                    const std::string& segment = "0001") {
    return " " + segment + ":" + Hex8(start) + " " + Hex8(length) +
           " C=CODE     S=.text    G=(none)   M=" + unit + " ACBP=A9";
}

std::string Public(std::uint32_t offset, const std::string& name) {
    return " 0001:" + Hex8(offset) + "       " + name;
}

std::string Entries(std::initializer_list<std::pair<int, std::uint32_t>> entries) {
    std::string line;
    char entry[32];
    for (auto [number, offset] : entries) {
        std::snprintf(entry, sizeof entry, "%6d 0001:%08X", number, offset);
        line += entry;
    }
    return line;
}

struct TMapText {
    std::vector<std::string> Segments;
    std::vector<std::string> Publics;
    std::vector<std::string> LineBlocks;  // headers and entry lines as they stand
    bool ShortHeaders = false;

    std::vector<std::string> Lines() const {
        std::vector<std::string> out = {"",
                                        " Start         Length     Name   Class",
                                        " 0001:00401000 00001000H .text  CODE",
                                        "",
                                        "Detailed map of segments",
                                        ""};
        out.insert(out.end(), Segments.begin(), Segments.end());
        out.insert(out.end(), {"", "",
                               ShortHeaders ? "  Address Publics by Name"
                                            : "  Address         Publics by Name",
                               "", "", " 0001:00000000       ByNameIsIgnored", "", ""});
        out.push_back(ShortHeaders ? "  Address Publics by Value"
                                   : "  Address         Publics by Value");
        out.insert(out.end(), {"", ""});
        out.insert(out.end(), Publics.begin(), Publics.end());
        out.insert(out.end(), {"", ""});
        out.insert(out.end(), LineBlocks.begin(), LineBlocks.end());
        return out;
    }
};

// The code base plus an offset: the address form the reader takes.
const void* At(std::uint32_t offset) {
    return reinterpret_cast<const void*>(std::uintptr_t{TKVMapFile::kCodeBase} + offset);
}

class KVMapFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = std::filesystem::temp_directory_path() /
                  ("kvmapfile-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string WriteMap(const std::vector<std::string>& lines, const std::string& name = "a.map") {
        std::string text;
        for (const std::string& line : lines) text += line + "\r\n";
        return WriteRaw(text, name);
    }
    std::string WriteRaw(const std::string& bytes, const std::string& name = "a.map") {
        std::string path = (folder_ / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    // A reader pointed at a map made of `text`.
    TKVMapFile& Reader(const TMapText& text) {
        map_.SetMapFileName(WriteMap(text.Lines()));
        return map_;
    }
    void Expect(std::uint32_t offset, const std::string& unit, const std::string& procedure,
                int line) {
        map_.LoadExceptionData(At(offset));
        EXPECT_EQ(map_.CodeOffset(), offset);
        EXPECT_TRUE(map_.DataLoaded());
        EXPECT_EQ(map_.UnitName(), unit) << "offset " << Hex8(offset);
        EXPECT_EQ(map_.ProcedureName(), procedure) << "offset " << Hex8(offset);
        EXPECT_EQ(map_.LineNumber(), line) << "offset " << Hex8(offset);
    }

    std::filesystem::path folder_;
    TKVMapFile map_;
};

// A small program: two units, three procedures.
TMapText TwoUnits() {
    TMapText t;
    t.Segments = {Segment(0x0000, 0x100, "Main"), Segment(0x0100, 0x80, "Tools")};
    t.Publics = {Public(0x0000, "main"), Public(0x0040, "Run()"),
                 Public(0x0100, "Tools::Sum(int)")};
    t.LineBlocks = {"Line numbers for Main(Main.cpp) segment .text",
                    "",
                    Entries({{10, 0x00}, {11, 0x08}, {12, 0x10}, {20, 0x40}}),
                    Entries({{21, 0x48}, {0, 0x60}}),
                    "",
                    "Line numbers for Tools(Tools.cpp) segment .text",
                    "",
                    Entries({{5, 0x100}, {6, 0x120}, {0, 0x180}})};
    return t;
}

// ---- splitting the file ----

TEST_F(KVMapFileTest, KeepsTheThreeSectionsWithoutTheirHeadersInEitherForm) {
    TMapText text = TwoUnits();
    for (bool shortHeaders : {false, true}) {
        text.ShortHeaders = shortHeaders;
        TKVMapFile& map = Reader(text);
        map.LoadMapFile();
        EXPECT_TRUE(map.MapLoaded());
        // Two segments and the two empty lines before the stop line.
        EXPECT_EQ(map.Segments().ToVector(),
                  (std::vector<std::string>{text.Segments[0], text.Segments[1], "", ""}));
        EXPECT_EQ(
            map.Publics().ToVector(),
            (std::vector<std::string>{text.Publics[0], text.Publics[1], text.Publics[2], "", ""}));
        EXPECT_EQ(map.LineNumbers().ToVector(), text.LineBlocks);
    }
}

TEST_F(KVMapFileTest, MissingHeadersEmptyEveryLaterSection) {
    std::vector<std::string> lines = TwoUnits().Lines();
    // No segment header: nothing at all is kept.
    std::vector<std::string> noSegments;
    for (const std::string& l : lines)
        if (l != "Detailed map of segments") noSegments.push_back(l);
    map_.SetMapFileName(WriteMap(noSegments));
    Expect(0x48, "", "", 0);
    EXPECT_EQ(map_.Segments().Count() + map_.Publics().Count() + map_.LineNumbers().Count(), 0);

    // No publics-by-name header: the segment map runs to the end of the file.
    std::vector<std::string> noByName;
    for (const std::string& l : lines)
        if (l.find("Publics by Name") == std::string::npos) noByName.push_back(l);
    map_.SetMapFileName(WriteMap(noByName, "b.map"));
    map_.LoadMapFile();
    EXPECT_GT(map_.Segments().Count(), 10);
    EXPECT_EQ(map_.Publics().Count(), 0);
    EXPECT_EQ(map_.LineNumbers().Count(), 0);
    Expect(0x48, "Main", "", 0);
}

// ---- units ----

TEST_F(KVMapFileTest, UnitIsTheLastSegmentStartingAtOrBelowTheOffset) {
    Reader(TwoUnits());
    Expect(0x000, "Main", "main", 10);
    Expect(0x0FF, "Main", "Run()", 0);  // past Main's last line entry
    Expect(0x100, "Tools", "Tools::Sum(int)", 5);
    Expect(0x5000, "Tools", "", 0);  // the length is not compared
}

TEST_F(KVMapFileTest, SegmentLinesAreComparedInFileOrder) {
    TMapText t;
    t.Segments = {Segment(0x000, 0x100, "First"), "garbage without columns",
                  Segment(0x400, 0x100, "Later"),
                  // A bad length: passed over even though its start is above.
                  " 0001:00000050 0000XYZ0 M=BadLength ACBP=A9",
                  // Another segment number, started below: replaces the unit.
                  Segment(0x040, 0x10, "Data", "0002"),
                  // No markers: no unit, but no end either.
                  " 0001:00000050 00000010 C=CODE S=.text"};
    map_.SetMapFileName(WriteMap(t.Lines()));
    Expect(0x080, "First", "", 0);  // the scan ends at Later, above 0x80
    Expect(0x400, "Data", "", 0);   // everything up to the end is at or below 0x400
    Expect(0x000, "First", "", 0);
}

TEST_F(KVMapFileTest, UnitNameIsTheTrimmedTextBetweenTheMarkers) {
    TMapText t;
    t.Segments = {
        " 0001:00000000 00000010 M=  Spaced Out   ACBP=A9",
        " 0001:00000010 00000010 M=TightXACBP=A9",  // the character before ACBP= is dropped
        " 0001:00000020 00000010 M= ACBP=A9", " 0001:00000030 00000010 ACBP=A9 M=Reversed"};
    TKVMapFile& map = Reader(t);
    Expect(0x00, "Spaced Out", "", 0);
    Expect(0x10, "Tight", "", 0);
    Expect(0x20, "", "", 0);
    Expect(0x30, "", "", 0);

    TStringList names;
    names.Add("stale");
    map.LoadUnitNames(&names);
    EXPECT_EQ(names.ToVector(), (std::vector<std::string>{"Spaced Out", "Tight", "", ""}));
}

// ---- procedures ----

TEST_F(KVMapFileTest, ProcedureIsThePublicAtOrBelowTheOffset) {
    Reader(TwoUnits());
    Expect(0x040, "Main", "Run()", 20);  // equal
    Expect(0x041, "Main", "Run()", 20);  // between: the lower one
    Expect(0x0FF, "Main", "Run()", 0);
    Expect(0x121, "Tools", "", 6);  // above the last public: none at or above it
}

TEST_F(KVMapFileTest, BelowTheFirstPublicTheLineBeforeTheNextHitIsTaken) {
    TMapText t;
    t.Segments = {Segment(0, 0x1000, "U")};
    t.Publics = {Public(0x100, "First"), Public(0x200, "Second")};
    Reader(t);
    Expect(0x010, "U", "First", 0);

    // An empty line after the first public is what the second hit takes.
    t.Publics = {Public(0x100, "First"), "", Public(0x200, "Second")};
    map_.SetMapFileName(WriteMap(t.Lines(), "gap.map"));
    Expect(0x010, "U", "", 0);
    Expect(0x150, "U", "", 0);  // whatever the line before holds
    // Lines that do not convert are passed over, but are still "the line before".
    t.Publics = {Public(0x100, "First"), " 0001:zzzzzzzz       Junk name", Public(0x200, "Second")};
    map_.SetMapFileName(WriteMap(t.Lines(), "junk.map"));
    Expect(0x150, "U", "Junk name", 0);
    Expect(0x200, "U", "Second", 0);
}

// ---- lines ----

TEST_F(KVMapFileTest, LineIsTheLastEntryAtOrBelowTheOffsetWithinTheBlock) {
    Reader(TwoUnits());
    Expect(0x10, "Main", "main", 12);  // the last entry of a full line
    Expect(0x3F, "Main", "main", 12);
    Expect(0x48, "Main", "Run()", 21);  // the first entry of the next line
    Expect(0x60, "Main", "Run()", 0);   // a 0 entry ends the lines
    Expect(0x61, "Main", "Run()", 0);   // beyond the block's last entry
    Expect(0x17F, "Tools", "", 6);
}

TEST_F(KVMapFileTest, LineBlocksAreFoundByTheFirstLineHoldingTheUnitName) {
    TMapText t;
    t.Segments = {Segment(0x000, 0x100, "MainForm"), Segment(0x100, 0x100, "Main")};
    t.LineBlocks = {"Line numbers for MainForm(MainForm.cpp) segment .text", "",
                    Entries({{7, 0x000}, {8, 0x010}, {9, 0x300}}),           "",
                    "Line numbers for Main(Main.cpp) segment .text",         "",
                    Entries({{70, 0x100}, {80, 0x110}, {90, 0x1F0}})};
    Reader(t);
    // Main's lookup lands in MainForm's block, which comes first.
    Expect(0x110, "Main", "", 8);
}

TEST_F(KVMapFileTest, BadEntriesEndTheirLineOnly) {
    TMapText t;
    t.Segments = {Segment(0, 0x1000, "U")};
    t.LineBlocks = {"Line numbers for U(U.cpp) segment .text",
                    "",
                    Entries({{1, 0x10}, {2, 0x20}}),             // a short line
                    "     3 0001:0000003G     4 0001:00000040",  // not hex
                    "    xx 0001:00000050",                      // no number
                    Entries({{6, 0x60}}) + "  trailing",         // cut short
                    Entries({{7, 0x70}, {8, 0x80}})};
    Reader(t);
    Expect(0x25, "U", "", 2);
    Expect(0x45, "U", "", 2);  // entry 4 was never read
    Expect(0x55, "U", "", 2);  // the offset counted, the line number did not
    Expect(0x65, "U", "", 6);
    Expect(0x80, "U", "", 8);
    Expect(0x0F, "U", "", 0);  // below the first entry
}

// ---- addresses ----

TEST_F(KVMapFileTest, AddressesBelowTheCodeBaseWrapAround) {
    TMapText t;
    t.Segments = {Segment(0x0, 0x100, "Low"), Segment(0xFFFFFF00, 0x100, "High")};
    t.Publics = {Public(0x0, "low"), Public(0xFFFFFF00, "high"), Public(0xFFFFFFFF, "end")};
    t.LineBlocks = {"Line numbers for High(High.cpp) segment .text", "",
                    Entries({{41, 0xFFFFFF00}, {42, 0xFFFFFFF0}, {0, 0xFFFFFFFF}})};
    Reader(t);
    map_.LoadExceptionData(reinterpret_cast<const void*>(TKVMapFile::kCodeBase - 0x10));
    EXPECT_EQ(map_.CodeOffset(), 0xFFFFFFF0u);
    EXPECT_EQ(map_.UnitName(), "High");
    EXPECT_EQ(map_.ProcedureName(), "high");
    EXPECT_EQ(map_.LineNumber(), 42);
}

TEST_F(KVMapFileTest, AddressesBeyondThirtyTwoBitsAreLeftUnresolved) {
    // Shared-library addresses arrive as they are; cut to 32 bits they would
    // land on unrelated code of the executable.
    if (sizeof(void*) < 8) GTEST_SKIP();
    Reader(TwoUnits());
    map_.LoadExceptionData(
        reinterpret_cast<const void*>((std::uintptr_t{1} << 40) + TKVMapFile::kCodeBase + 0x48));
    EXPECT_TRUE(map_.DataLoaded());
    EXPECT_EQ(map_.CodeOffset(), 0x48u);
    EXPECT_EQ(map_.UnitName(), "");
    EXPECT_EQ(map_.ProcedureName(), "");
    EXPECT_EQ(map_.LineNumber(), 0);
}

TEST_F(KVMapFileTest, NullAddressMeansTheExceptionBeingHandled) {
    Reader(TwoUnits());
    Expect(0x48, "Main", "Run()", 21);
    map_.LoadExceptionData(nullptr);  // nothing handled: every result reset
    EXPECT_FALSE(map_.DataLoaded());
    EXPECT_EQ(map_.CodeOffset(), 0u);
    EXPECT_EQ(map_.UnitName(), "");
    EXPECT_EQ(map_.ProcedureName(), "");
    EXPECT_EQ(map_.LineNumber(), 0);

    Exception handled("being handled");
    handled.SetRaiseAddress(const_cast<void*>(At(0x108)));
    TExceptionScope scope(handled);
    map_.LoadExceptionData();
    EXPECT_TRUE(map_.DataLoaded());
    EXPECT_EQ(map_.UnitName(), "Tools");
    EXPECT_EQ(map_.LineNumber(), 5);
}

// ---- reading the file once per name ----

TEST_F(KVMapFileTest, TheFileIsReadOncePerName) {
    std::string path = WriteMap(TwoUnits().Lines());
    map_.SetMapFileName(path);
    EXPECT_FALSE(map_.MapLoaded());
    Expect(0x100, "Tools", "Tools::Sum(int)", 5);

    TMapText renamed = TwoUnits();
    renamed.Segments[1] = Segment(0x100, 0x80, "Renamed");
    WriteMap(renamed.Lines());
    map_.SetMapFileName(path);  // the same name: the kept lines stand
    Expect(0x100, "Tools", "Tools::Sum(int)", 5);

    map_.SetMapFileName(WriteMap(renamed.Lines(), "other.map"));
    EXPECT_FALSE(map_.MapLoaded());
    Expect(0x100, "Renamed", "Tools::Sum(int)", 0);

    map_.SetMapFileName(path);
    map_.LoadMapFile();  // called directly, it always reads
    Expect(0x100, "Renamed", "Tools::Sum(int)", 0);
}

TEST_F(KVMapFileTest, MissingMapIsNoError) {
    Expect(0x10, "", "", 0);  // no name at all
    EXPECT_TRUE(map_.MapLoaded());
    map_.SetMapFileName((folder_ / "nowhere.map").string());
    Expect(0x10, "", "", 0);
    EXPECT_TRUE(map_.MapLoaded());
    map_.SetMapFileName(folder_.string());  // a folder is no map file
    Expect(0x10, "", "", 0);
}

TEST_F(KVMapFileTest, UnreadableMapRaisesAndIsTriedAgain) {
    std::string path = WriteMap(TwoUnits().Lines());
    map_.SetMapFileName(path);
    {
        TFileStream holder(path, fmOpenReadWrite | fmShareExclusive);
        EXPECT_THROW(map_.LoadExceptionData(At(0x48)), EFOpenError);
        EXPECT_FALSE(map_.MapLoaded());
        EXPECT_FALSE(map_.DataLoaded());
        EXPECT_EQ(map_.Segments().Count(), 0);
        TStringList names;
        EXPECT_THROW(map_.LoadUnitNames(&names), EFOpenError);
        EXPECT_EQ(names.Count(), 0);
    }
    Expect(0x48, "Main", "Run()", 21);

    // A loaded map that turns unreadable is not left looking loaded.
    TFileStream holder(path, fmOpenReadWrite | fmShareExclusive);
    EXPECT_THROW(map_.LoadMapFile(), EFOpenError);
    EXPECT_FALSE(map_.MapLoaded());
}

TEST_F(KVMapFileTest, UnitNamesListEverySegmentLineInFileOrder) {
    TMapText t = TwoUnits();
    t.Segments.push_back(Segment(0x200, 0x10, "Main"));
    t.Segments.push_back("no markers here");
    TKVMapFile& map = Reader(t);
    map.LoadUnitNames(nullptr);  // nothing to fill, nothing read
    EXPECT_FALSE(map.MapLoaded());

    TStringList names;
    names.Add("left over");
    map.LoadUnitNames(&names);
    EXPECT_TRUE(map.MapLoaded());
    EXPECT_EQ(names.ToVector(), (std::vector<std::string>{"Main", "Tools", "Main"}));
}

// ---- malformed maps ----

TEST_F(KVMapFileTest, MalformedLinesNeverBreakTheReader) {
    std::string binary;
    for (int i = 0; i < 4096; ++i) binary += static_cast<char>((i * 151) & 0xFF);
    std::string longLine(1 << 20, 'M');
    longLine.replace(10, 7, "ACBP=M=");
    std::vector<std::string> lines = {"Detailed map of segments",
                                      "",
                                      " 0001:",
                                      " 0001:0000",
                                      "M=",
                                      "ACBP=",
                                      binary,
                                      longLine,
                                      "  Address Publics by Name",
                                      "  Address Publics by Value",
                                      "",
                                      "",
                                      " 0001:0000001",
                                      " 0001:-0000001       Negative",
                                      " 0001:$0000001       Dollar",
                                      binary,
                                      longLine,
                                      "Line numbers for M",
                                      "",
                                      "     1 0001:",
                                      "x",
                                      binary,
                                      longLine,
                                      Entries({{999999, 0x10}}) + binary};
    map_.SetMapFileName(WriteMap(lines));
    for (std::uint32_t offset : {0u, 0x10u, 0x11u, 0xFFFFFFFFu}) {
        map_.LoadExceptionData(At(offset));
        EXPECT_TRUE(map_.DataLoaded());
    }
    TStringList names;
    map_.LoadUnitNames(&names);

    // A file of headers only.
    map_.SetMapFileName(WriteMap({"Detailed map of segments", "Address Publics by Name",
                                  "Address Publics by Value", "Line numbers for X"},
                                 "headers.map"));
    Expect(0x10, "", "", 0);
    map_.SetMapFileName(WriteRaw("", "empty.map"));
    Expect(0x10, "", "", 0);
}

}  // namespace
}  // namespace zr

namespace zr {
namespace {

// ---- inlined calls and code of no unit ----

// The section sits where a reader of the classic layout never looks: the
// classic answers stay those of the same map without it, and damaged lines of
// the section are passed over one by one.
TEST_F(KVMapFileTest, InlinedCallsAreReadAheadOfTheSegmentsAndChangeNoClassicAnswer) {
    std::vector<std::string> lines = {
        "Inlined calls",
        "",
        "Inline name 0 std::vector<int>::at(unsigned long)",
        "Inline name 1 stl_vector",
        "Inline name 7 out of turn",  // never numbered: its uses are refused
        "Inline name 2 Main",
        "Inline name 3 Line numbers for Main(Main.cpp) segment .text",  // only a name here
        "Inline code 0001:00000040 00000010 0@1:1175 3@2:15",
        "Inline code 0001:00000044 00000004 0@1:1",      // overlaps: the first keeps it
        "Inline code 0001:00000060 00000008 7@1:3",      // a name never given
        "Inline code 0001:00000070 00000008 0@1:x",      // no line number
        "Inline code 0001:00000078 00000000 0@1:3",      // empty
        "Inline code 0001:FFFFFFF0 00000020 0@1:3",      // beyond 32 bits
        "Inline code 0001:00000010 00000008 0@1:5 trailing",
        "Inline code 0001:00000020 00000008 0@1:9999999",  // more than six digits
    };
    std::string deep = "Inline code 0001:00000030 00000008";
    for (int i = 0; i < 65; ++i) deep += " 0@1:1";
    lines.push_back(deep);
    const std::vector<std::string> classic = TwoUnits().Lines();
    lines.insert(lines.end(), classic.begin(), classic.end());

    TKVMapFile plain;
    plain.SetMapFileName(WriteMap(classic, "plain.map"));
    plain.LoadMapFile();
    map_.SetMapFileName(WriteMap(lines));
    map_.LoadMapFile();
    for (std::uint32_t offset = 0; offset < 0x200; ++offset) {
        const auto with = map_.Resolve(offset), without = plain.Resolve(offset);
        ASSERT_EQ(with.Unit, without.Unit) << offset;
        ASSERT_EQ(with.Procedure, without.Procedure) << offset;
        ASSERT_EQ(with.Line, without.Line) << offset;
        const bool inlined = offset >= 0x40 && offset < 0x50;
        ASSERT_EQ(map_.Inlined(offset).Count(), inlined ? 2u : 0u) << offset;
    }
    const TKVMapInlined::TChain chain = map_.Inlined(0x4F);
    EXPECT_EQ(chain[0].Procedure, "std::vector<int>::at(unsigned long)");
    EXPECT_EQ(chain[0].Unit, "stl_vector");
    EXPECT_EQ(chain[0].Line, 1175);
    EXPECT_EQ(chain[1].Unit, "Main");
    EXPECT_EQ(chain[1].Line, 15);
    EXPECT_EQ(chain[2].Procedure, "");  // past the end: nothing, never a crash
    EXPECT_EQ(map_.Inlined(0x0FFFFFFF).Count(), 0u);
}

// A segment marked as a gap ends the unit before it: its code (a function
// compiled without line information) belongs to no unit, and the unit list
// leaves it out. An unmarked segment without a unit is listed as ever.
TEST_F(KVMapFileTest, AGapSegmentEndsTheUnitBeforeIt) {
    TMapText t = TwoUnits();
    t.Segments = {Segment(0x0000, 0x100, "Main"),
                  " 0001:00000100 00000040 C=CODE     S=.text    G=(gap)    M= ACBP=A9",
                  Segment(0x0140, 0x80, "Tools")};
    TKVMapFile& map = Reader(t);
    map.LoadMapFile();
    EXPECT_EQ(map.Resolve(0x0FF).Unit, "Main");
    EXPECT_EQ(map.Resolve(0x120).Unit, "");
    EXPECT_EQ(map.Resolve(0x140).Unit, "Tools");
    TStringList names;
    map.LoadUnitNames(&names);
    EXPECT_EQ(names.ToVector(), (std::vector<std::string>{"Main", "Tools"}));
}

}  // namespace
}  // namespace zr
