#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "exception/CallStackText.h"
#include "exception/KVMapFile.h"
#include "framework/FaultExceptions.h"
#include "framework/SysUtils.h"
#include "tools/zrmap/MapLayout.h"
#include "tools/zrmap/MapText.h"
#include "tools/zrmap/ProgramImage.h"

namespace zr {
namespace {

using zrmap::TFunctionSymbol;
using zrmap::TLineRow;
using zrmap::TProgramImage;
using zrmap::TSymbolBinding;

struct TCommandResult {
    int Status = -1;
    std::string Output;
};

// Runs a shell command line and collects its standard output.
TCommandResult RunCommand(const std::string& command) {
    TCommandResult result;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
        result.Output.append(buffer.data(), n);
    int status = pclose(pipe);
    result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

// "key value" lines.
std::map<std::string, std::string> Fields(const std::string& text) {
    std::map<std::string, std::string> fields;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t split = line.find_first_of(" :");
        if (split == std::string::npos) continue;
        size_t value = line.find_first_not_of(" :", split);
        fields[line.substr(0, split)] = value == std::string::npos ? "" : line.substr(value);
    }
    return fields;
}

const void* Address(const std::string& hex) {
    return reinterpret_cast<const void*>(std::strtoull(hex.c_str(), nullptr, 16));
}

// ---- a program built with its map file ----

class ZrMapProgramTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        TCommandResult run = RunCommand(Quote(ZR_MAP_THROWER));
        ASSERT_EQ(run.Status, 0) << run.Output;
        report_ = Fields(run.Output);
    }
    static std::string MapFile() { return ChangeFileExt(ZR_MAP_THROWER, ".map"); }
    static int RaiseLine() { return std::atoi(report_["line"].c_str()); }

    static inline std::map<std::string, std::string> report_;
};

TEST_F(ZrMapProgramTest, TheMapNamesUnitProcedureAndLineOfARaise) {
    ASSERT_TRUE(FileExists(MapFile()));
    ASSERT_GT(RaiseLine(), 0);
    TKVMapFile map;
    map.SetMapFileName(MapFile());
    // The address taken by the exception itself, and the witness taken on
    // the same line, resolve alike.
    for (const char* witness : {"raise", "callsite"}) {
        SCOPED_TRACE(witness);
        map.LoadExceptionData(Address(report_[witness]));
        EXPECT_EQ(map.UnitName(), "MapThrower");
        EXPECT_EQ(map.ProcedureName(), "maptest::RaiseAtKnownLine(int)");
        EXPECT_EQ(map.LineNumber(), RaiseLine());
    }
    TStringList units;
    map.LoadUnitNames(&units);
    EXPECT_GE(units.IndexOf("MapThrower"), 0);
}

TEST_F(ZrMapProgramTest, LookupPrintsWhatTheReaderFinds) {
    TCommandResult run =
        RunCommand(Quote(ZR_ZRMAP) + " --lookup " + Quote(MapFile()) + " " + report_["raise"]);
    EXPECT_EQ(run.Status, 0);
    EXPECT_EQ(run.Output, "Unit: MapThrower\nProcedure: maptest::RaiseAtKnownLine(int)\nLine: " +
                              std::to_string(RaiseLine()) + "\n");

    // Far outside the program: nothing found, exit status 1.
    run = RunCommand(Quote(ZR_ZRMAP) + " --lookup " + Quote(MapFile()) + " 0x7fff00000000");
    EXPECT_EQ(run.Status, 1);
    EXPECT_EQ(run.Output, "Unit: \nProcedure: \nLine: 0\n");
}

// Several addresses at once, each answer under its address; and a report
// written without a map gets its bare call-stack frames resolved, the first
// as it stands, the others (return addresses) one byte back.
TEST_F(ZrMapProgramTest, LookupTakesSeveralAddressesAndAnnotateResolvesBareFrames) {
    const std::string raise = report_["raise"];
    TCommandResult run = RunCommand(Quote(ZR_ZRMAP) + " --lookup " + Quote(MapFile()) + " " +
                                    raise + " 0x7fff00000000");
    EXPECT_EQ(run.Status, 1);  // the second names nothing
    const std::string found =
        "Unit: MapThrower\nProcedure: maptest::RaiseAtKnownLine(int)\nLine: " +
        std::to_string(RaiseLine()) + "\n";
    char head[32];
    std::snprintf(head, sizeof head, "Address: %08llX\n",
                  std::strtoull(raise.c_str(), nullptr, 16));
    EXPECT_EQ(run.Output, head + found + "Address: 7FFF00000000\nUnit: \nProcedure: \nLine: 0\n");

    const std::uintptr_t address = std::strtoull(raise.c_str(), nullptr, 16);
    char frames[128];
    std::snprintf(frames, sizeof frames,
                  "  %08lX\r\n  %08lX\r\n  7F0012345678 libc.so.6+0x2724a\r\n",
                  static_cast<unsigned long>(address), static_cast<unsigned long>(address + 1));
    const std::string report = std::string("Line No: 9\r\nCall stack:\r\n") + frames +
                               "======\r\n  " + raise.substr(2) + "\r\n";
    const std::string input = ::testing::TempDir() + "annotate-" + std::to_string(getpid());
    std::ofstream(input, std::ios::binary) << report;
    run = RunCommand(Quote(ZR_ZRMAP) + " --annotate " + Quote(MapFile()) + " < " + Quote(input));
    std::filesystem::remove(input);
    EXPECT_EQ(run.Status, 0);
    const std::string where =
        " MapThrower maptest::RaiseAtKnownLine(int) line " + std::to_string(RaiseLine());
    std::snprintf(frames, sizeof frames, "  %08lX%s\r\n  %08lX%s\r\n",
                  static_cast<unsigned long>(address), where.c_str(),
                  static_cast<unsigned long>(address + 1), where.c_str());
    EXPECT_EQ(run.Output, std::string("Line No: 9\r\nCall stack:\r\n") + frames +
                              "  7F0012345678 libc.so.6+0x2724a\r\n======\r\n  " + raise.substr(2) +
                              "\r\n");
}

// Every line the map gives inside the program's own unit agrees with the
// line table as the binary tools read it.
TEST_F(ZrMapProgramTest, LinesAgreeWithTheLineTable) {
    if (RunCommand("command -v addr2line >/dev/null").Status != 0) GTEST_SKIP() << "no addr2line";
    TKVMapFile map;
    map.SetMapFileName(MapFile());
    map.LoadExceptionData(Address(report_["raise"]));
    std::uint32_t raise = map.CodeOffset();
    zrmap::TProgramImage image = zrmap::ReadProgramImage(ZR_MAP_THROWER);
    std::string addresses;
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t offset = raise - 24; offset < raise + 24; ++offset) {
        offsets.push_back(offset);
        char text[32];
        std::snprintf(text, sizeof text, " 0x%llx",
                      static_cast<unsigned long long>(image.CodeStart + offset));
        addresses += text;
    }
    TCommandResult run = RunCommand("addr2line -e " + Quote(ZR_MAP_THROWER) + addresses);
    ASSERT_EQ(run.Status, 0);
    std::istringstream answers(run.Output);
    for (std::uint32_t offset : offsets) {
        std::string answer;
        std::getline(answers, answer);
        if (answer.find("/MapThrower.cpp:") == std::string::npos) continue;
        int expected = std::atoi(answer.substr(answer.rfind(':') + 1).c_str());
        map.LoadExceptionData(
            reinterpret_cast<const void*>(std::uintptr_t{TKVMapFile::kCodeBase} + offset));
        EXPECT_EQ(map.LineNumber(), expected) << "offset " << offset << ": " << answer;
    }
}

TEST(ZrMapCommandTest, FailuresAreReportedWithAReason) {
    std::string zrmap = Quote(ZR_ZRMAP);
    std::string folder =
        std::filesystem::temp_directory_path() / ("zrmap-cli-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/text.txt") << "not an executable\n";

    TCommandResult run = RunCommand(zrmap + " " + Quote(folder + "/text.txt") + " 2>&1");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("not an ELF file"), std::string::npos) << run.Output;
    EXPECT_FALSE(FileExists(folder + "/text.map"));

    run = RunCommand(zrmap + " " + Quote(folder + "/missing") + " 2>&1");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("No such file"), std::string::npos) << run.Output;

    run = RunCommand(zrmap + " " + Quote(ZR_MAP_THROWER) + " " +
                     Quote(folder + "/no/such/dir/x.map") + " 2>&1");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("cannot write"), std::string::npos) << run.Output;

    run = RunCommand(zrmap + " --lookup " + Quote(folder + "/none.map") + " 401000 2>&1");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("no such map file"), std::string::npos) << run.Output;

    run = RunCommand(zrmap + " --lookup " + Quote(ChangeFileExt(ZR_MAP_THROWER, ".map")) +
                     " 40g000 2>&1");
    EXPECT_EQ(run.Status, 2);
    EXPECT_NE(run.Output.find("not a hexadecimal address"), std::string::npos) << run.Output;

    EXPECT_EQ(RunCommand(zrmap + " 2>/dev/null").Status, 2);
    std::filesystem::remove_all(folder);
}

// ---- what the writer decides, read back through the reader ----

class ZrMapLayoutTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() /
                ("zrmap-layout-" + std::to_string(getpid()) + ".map");
    }
    void TearDown() override { std::filesystem::remove(path_); }

    // Writes the map of `image` and points a fresh reader at it.
    TKVMapFile& Load(TProgramImage image) {
        std::stable_sort(image.Rows.begin(), image.Rows.end(),
                         [](const auto& a, const auto& b) { return a.Offset < b.Offset; });
        zrmap::WriteMapFile(zrmap::BuildMapLayout(image), path_);
        map_ = std::make_unique<TKVMapFile>();
        map_->SetMapFileName(path_);
        return *map_;
    }
    void Expect(std::uint32_t offset, const std::string& unit, const std::string& procedure,
                int line) {
        map_->LoadExceptionData(
            reinterpret_cast<const void*>(std::uintptr_t{TKVMapFile::kCodeBase} + offset));
        EXPECT_EQ(map_->UnitName(), unit) << "offset " << std::hex << offset;
        EXPECT_EQ(map_->ProcedureName(), procedure) << "offset " << std::hex << offset;
        EXPECT_EQ(map_->LineNumber(), line) << "offset " << std::hex << offset;
    }

    std::string path_;
    std::unique_ptr<TKVMapFile> map_;
};

TFunctionSymbol Function(std::uint32_t offset, std::uint32_t size, const std::string& name,
                         TSymbolBinding binding = TSymbolBinding::Global) {
    return {offset, size, name, binding};
}

TLineRow Row(std::uint32_t offset, std::uint32_t file, int line, bool end = false) {
    return {offset, file, line, end};
}

// The map is written beside its place under a name nobody can know
// beforehand: a link planted at an obvious temporary name is not written
// through, and stays where it was.
TEST_F(ZrMapLayoutTest, AMapIsNeverWrittenThroughALinkPlantedBesideIt) {
    const std::string victim = path_ + ".victim";
    std::ofstream(victim) << "precious";
    std::filesystem::create_symlink(victim, path_ + ".tmp");
    TProgramImage image;
    image.Functions = {Function(0x10, 0x20, "Main")};
    Load(image);
    std::ifstream in(victim);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "precious");
    EXPECT_TRUE(std::filesystem::is_symlink(path_ + ".tmp"));
    std::filesystem::remove(path_ + ".tmp");
    std::filesystem::remove(victim);
    // The map itself is there, with the mode of any new file, not private.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(::stat(path_.c_str(), &info), 0);
    EXPECT_GT(info.st_size, 0);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(ZrMapLayoutTest, HeaderCodeIsReportedInTheHeadersUnitWithItsLines) {
    TProgramImage image;
    image.Files = {"/src/app/App.cpp", "/usr/include/c++/12/bits/stl_vector.h"};
    image.Functions = {Function(0x100, 0x40, "RunCommand()"),
                       Function(0x140, 0x20, "std::vector<int>::size()")};
    image.Rows = {Row(0x100, 0, 10),  Row(0x110, 1, 900),  // inlined from the header
                  Row(0x118, 0, 11),  Row(0x140, 1, 950),
                  Row(0x150, 1, 951), Row(0x160, 0, 0, true)};
    Load(image);
    // A row of the header inside the function (its outermost frame is the
    // header's, see OuterLines.h) is the header's unit and line.
    Expect(0x112, "stl_vector", "RunCommand()", 900);
    Expect(0x120, "App", "RunCommand()", 11);
    Expect(0x150, "stl_vector", "std::vector<int>::size()", 951);
}

// A std::function handler starts in the library's header and runs the
// lambda of the file that made it: each stretch is its own file's unit, so
// unit and line never come from different files.
TEST_F(ZrMapLayoutTest, EveryStretchIsTheUnitOfItsOwnRowsFile) {
    TProgramImage image;
    image.Files = {"/usr/include/c++/12/bits/std_function.h", "/src/Tour.cpp"};
    image.Functions = {Function(0x100, 0x40, "Handler::_M_invoke()")};
    image.Rows = {Row(0x100, 0, 290), Row(0x108, 1, 270), Row(0x120, 0, 292),
                  Row(0x140, 0, 0, true)};
    Load(image);
    Expect(0x104, "std_function", "Handler::_M_invoke()", 290);
    Expect(0x110, "Tour", "Handler::_M_invoke()", 270);
    Expect(0x130, "std_function", "Handler::_M_invoke()", 292);
}

TEST_F(ZrMapLayoutTest, EachUnitFindsItsOwnBlockWhateverTheNames) {
    // The reader takes the first line holding a unit's name for its block:
    // "Main" is inside "MainForm"'s header, "numbers" inside every header,
    // and "BEEF" inside an entry line of MainForm's block.
    TProgramImage image;
    image.Files = {"MainForm.cpp", "Main.cpp", "numbers.cpp", "BEEF.c"};
    image.Functions = {Function(0x000000, 0xC0000, "f0"), Function(0x100000, 0x80, "f1"),
                       Function(0x100100, 0x80, "f2"), Function(0x100200, 0x80, "f3")};
    image.Rows = {Row(0x000000, 0, 5), Row(0x0BEEF0, 0, 7), Row(0x0C0000, 0, 0, true)};
    for (std::uint32_t file = 1; file < 4; ++file) {
        std::uint32_t start = 0x100000 + (file - 1) * 0x100;
        image.Rows.push_back(Row(start, file, 100 + int(file)));
        image.Rows.push_back(Row(start + 0x10, file, 200 + int(file)));
        image.Rows.push_back(Row(start + 0x80, file, 0, true));
    }
    Load(image);
    Expect(0x0BEEF5, "MainForm", "f0", 7);
    Expect(0x100010, "Main", "f1", 201);
    Expect(0x100110, "numbers", "f2", 202);
    Expect(0x100205, "BEEF", "f3", 103);
}

TEST_F(ZrMapLayoutTest, CodeOutsideAnyFunctionsLinesHasNoLine) {
    TProgramImage image;
    image.Files = {"/src/Unit.cpp"};
    image.Functions = {Function(0x000, 0x30, "first()"), Function(0x040, 0x10, "_start"),
                       Function(0x060, 0x20, "second()")};
    image.Rows = {Row(0x000, 0, 5),  Row(0x010, 0, 6),  Row(0x030, 0, 0, true),  // padding after
                  Row(0x060, 0, 20), Row(0x070, 0, 21), Row(0x080, 0, 0, true)};
    Load(image);
    Expect(0x02F, "Unit", "first()", 6);
    Expect(0x035, "Unit", "first()", 0);    // padding
    Expect(0x045, "", "_start", 0);         // a function without lines: no unit's code
    Expect(0x07F, "Unit", "second()", 21);  // the last function's body
    // No function starts past it: nothing there to take from the unit.
    Expect(0x080, "Unit", "_etext", 0);
    Expect(0x081, "Unit", "", 0);
    TStringList units;
    map_->LoadUnitNames(&units);
    // Two stretches; the code of no unit between them is no unit of the list.
    EXPECT_EQ(units.ToVector(), (std::vector<std::string>{"Unit", "Unit"}));
}

TEST_F(ZrMapLayoutTest, OneNamePerAddressAndOneUnitPerBaseName) {
    TProgramImage image;
    image.Files = {"/a/util.cpp", "/b/util.cpp"};
    image.Functions = {Function(0x00, 0x20, "Thing::Thing()", TSymbolBinding::Weak),
                       Function(0x00, 0x20, "Thing::Thing()#2", TSymbolBinding::Local),
                       Function(0x00, 0x20, "Thing::Thing() [base]", TSymbolBinding::Global),
                       Function(0x20, 0x20, "b()")};
    image.Rows = {Row(0x00, 0, 7), Row(0x10, 0, 8), Row(0x20, 1, 70), Row(0x30, 1, 71),
                  Row(0x40, 1, 0, true)};
    TKVMapFile& map = Load(image);
    Expect(0x08, "util", "Thing::Thing() [base]", 7);
    Expect(0x35, "util", "b()", 71);
    TStringList units;
    map.LoadUnitNames(&units);
    EXPECT_EQ(units.ToVector(), std::vector<std::string>{"util"});  // one stretch
}

TEST_F(ZrMapLayoutTest, FunctionsWithoutALineTableHaveNoUnit) {
    TProgramImage image;
    image.Files = {"/src/Unit.cpp"};
    image.Functions = {Function(0x00, 0x10, "_init"), Function(0x10, 0x10, "lined()"),
                       Function(0x20, 0x10, "after_end()")};
    // The sequence ends where after_end begins.
    image.Rows = {Row(0x10, 0, 3), Row(0x20, 0, 0, true)};
    TKVMapFile& map = Load(image);
    Expect(0x05, "", "_init", 0);
    Expect(0x15, "Unit", "lined()", 3);
    TStringList units;
    map.LoadUnitNames(&units);
    EXPECT_EQ(units.ToVector(), std::vector<std::string>{"Unit"});
}

// Written, read back and printed: each frame's inlined functions come
// before it, innermost first, at the return address less one like the frame
// itself; plumbing folds into one line, or shows whole when asked.
TEST_F(ZrMapLayoutTest, InlinedFramesComeBeforeTheirFunctionAndPlumbingFolds) {
    TProgramImage image;
    image.CodeSize = 0x100;
    image.Files = {"/src/Main.cpp", "/usr/include/c++/12/bits/std_function.h",
                   "/usr/include/c++/12/bits/stl_vector.h", "/usr/include/c++/12/bits/invoke.h"};
    image.Functions = {Function(0x00, 0x40, "main"),
                       Function(0x40, 0x20, "std::_Function_handler<void (), F>::_M_invoke("
                                            "std::_Any_data const&)"),
                       Function(0x80, 0x10, "no_lines()")};
    image.Rows = {Row(0x00, 0, 10), Row(0x20, 0, 12), Row(0x40, 1, 290), Row(0x60, 0, 0, true)};
    image.Names = {"std::vector<int, std::allocator<int> >::at(unsigned long)",
                   "Run()::{lambda()#1}::operator()() const",
                   "std::__invoke_impl<void, F&>(std::__invoke_other, F&)"};
    image.Inlined = {{0x10, 0x18, {{0, 2, 1175}}}, {0x48, 0x50, {{1, 0, 30}, {2, 3, 61}}}};
    TKVMapFile& map = Load(image);
    map.LoadMapFile();
    Expect(0x85, "", "no_lines()", 0);  // code of no unit: not Main's

    const std::uintptr_t frames[] = {0x401010, 0x401049};
    auto print = [&](TFrameStyle style) {
        std::string buffer(4096, '\0');
        TFixedText text(buffer.data(), buffer.size());
        AddMapFrameLines(text, map, frames, 2, true, style);
        buffer.resize(text.Length());
        return buffer;
    };
    EXPECT_EQ(print(TFrameStyle::Readable),
              "\r\n  00401010 [inlined] stl_vector std::vector<int>::at(unsigned long) line 1175"
              "\r\n  00401010 Main main line 10"
              "\r\n  00401049 [inlined] Main Run()::{lambda()#1}::operator()() const line 30"
              "\r\n  (2 frames of call plumbing folded)");
    EXPECT_EQ(print(TFrameStyle::Whole),
              "\r\n  00401010 [inlined] stl_vector std::vector<int, std::allocator<int> >::at("
              "unsigned long) line 1175"
              "\r\n  00401010 Main main line 10"
              "\r\n  00401049 [inlined] Main Run()::{lambda()#1}::operator()() const line 30"
              "\r\n  00401049 [inlined] invoke std::__invoke_impl<void, F&>(std::__invoke_other, "
              "F&) line 61"
              "\r\n  00401049 std_function std::_Function_handler<void (), F>::_M_invoke("
              "std::_Any_data const&) line 290");
}

}  // namespace
}  // namespace zr
