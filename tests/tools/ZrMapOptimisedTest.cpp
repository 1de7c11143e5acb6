// Maps of optimised programs: code inlined from headers and lambdas is
// reported at the line of the programmer's own function that runs it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "exception/KVMapFile.h"
#include "framework/SysUtils.h"
#include "tools/zrmap/OuterLines.h"
#include "tools/zrmap/ProgramImage.h"

namespace zr {
namespace {

std::string Output(const std::string& command) {
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return text;
    std::array<char, 4096> buffer;
    for (size_t n; (n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0;)
        text.append(buffer.data(), n);
    pclose(pipe);
    return text;
}

std::string BaseUnit(const std::string& path) {
    return ChangeFileExt(ExtractFileName(path), "");
}

TEST(ZrMapOptimised, RaisesInsideInlinedCodeNameTheCallingLineOfTheFunction) {
    std::istringstream report(Output(std::string("'") + ZR_MAP_THROWER_OPTIMISED + "'"));
    TKVMapFile map;
    map.SetMapFileName(ChangeFileExt(ZR_MAP_THROWER_OPTIMISED, ".map"));
    std::string kind, address;
    int line = 0, seen = 0;
    while (report >> kind >> address >> line) {
        SCOPED_TRACE(kind);
        ++seen;
        map.LoadExceptionData(reinterpret_cast<const void*>(std::stoull(address, nullptr, 16)));
        EXPECT_EQ(map.UnitName(), "MapThrowerOptimised");
        EXPECT_EQ(map.LineNumber(), line);
        const std::string function =
            kind == "algorithm" ? "maptest::SumOfPositives(" : "maptest::Label(";
        EXPECT_EQ(map.ProcedureName().rfind(function, 0), 0u) << map.ProcedureName();
        EXPECT_EQ(map.ProcedureName().find("[clone"), std::string::npos) << map.ProcedureName();
    }
    EXPECT_EQ(seen, 2);
}

// The debugging tools' outermost frame is the programmer's answer: over
// random addresses inside the demo's functions, the map agrees with it.
TEST(ZrMapOptimised, AgreesWithTheOutermostFrameAlmostEverywhere) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // Those trees keep line tables only, without the inlining the measure is about.
    GTEST_SKIP() << "measured on the plain build, whose debugging information is whole";
#endif
    if (Output("command -v addr2line").empty()) GTEST_SKIP() << "no addr2line";
    const zrmap::TProgramImage image = zrmap::ReadProgramImage(ZR_DEMO);
    std::vector<const zrmap::TFunctionSymbol*> functions;
    for (const auto& f : image.Functions)
        if (f.Size > 0) functions.push_back(&f);
    ASSERT_FALSE(functions.empty());
    std::mt19937 random(7);
    std::vector<std::uint32_t> offsets;
    std::string command = std::string("addr2line -a -i -e '") + ZR_DEMO + "'";
    for (int i = 0; i < 400; ++i) {
        const auto* f = functions[random() % functions.size()];
        offsets.push_back(f->Offset + static_cast<std::uint32_t>(random() % f->Size));
        command += " 0x" + IntToHex(image.CodeStart + offsets.back(), 1);
    }
    // Each address comes back as "0x…" and then its frames, innermost first.
    std::istringstream answers(Output(command));
    std::vector<std::string> outermost;
    for (std::string line; std::getline(answers, line);) {
        if (line.rfind("0x", 0) == 0)
            outermost.emplace_back();
        else if (!outermost.empty())
            outermost.back() = line;
    }
    ASSERT_EQ(outermost.size(), offsets.size());

    TKVMapFile map;
    map.SetMapFileName(ChangeFileExt(ZR_DEMO, ".map"));
    int withLine = 0, agreeing = 0;
    std::string disagreements;
    for (size_t i = 0; i < offsets.size(); ++i) {
        const std::string& frame = outermost[i];
        const size_t colon = frame.rfind(':');
        const int line = colon == std::string::npos ? 0 : std::atoi(frame.c_str() + colon + 1);
        if (line == 0 || frame.rfind("??", 0) == 0) continue;
        ++withLine;
        map.LoadExceptionData(
            reinterpret_cast<const void*>(std::uintptr_t{TKVMapFile::kCodeBase} + offsets[i]));
        if (map.UnitName() == BaseUnit(frame.substr(0, colon)) && map.LineNumber() == line)
            ++agreeing;
        else
            disagreements += "\n  " + frame + " but the map says " + map.UnitName() + ":" +
                             std::to_string(map.LineNumber());
    }
    ASSERT_GE(withLine, 300);
    EXPECT_GE(agreeing * 100, withLine * 97) << agreeing << " of " << withLine << disagreements;
}

// The raise inside the lambda that std::for_each runs: both commands name the
// lambda and the algorithm, inlined, before the function that holds them.
TEST(ZrMapOptimised, LookupAndAnnotateShowTheInlinedFunctions) {
    std::istringstream report(Output(std::string("'") + ZR_MAP_THROWER_OPTIMISED + "'"));
    std::string kind, address;
    int line = 0;
    ASSERT_TRUE(report >> kind >> address >> line);
    ASSERT_EQ(kind, "algorithm");
    const std::string map = ChangeFileExt(ZR_MAP_THROWER_OPTIMISED, ".map");
    const std::string lookup = Output("'" + std::string(ZR_ZRMAP) + "' --lookup '" + map + "' " + address);
    EXPECT_NE(lookup.find("SumOfPositives(std::vector<int, std::allocator<int> > const&)::{lambda}"
                          "::operator() line " + std::to_string(line - 3) + "\nInlined: stl_algo std::for_each<"),
              std::string::npos) << lookup;
    EXPECT_NE(lookup.find("\nUnit: MapThrowerOptimised\n"), std::string::npos) << lookup;

    const std::string input = ::testing::TempDir() + "annotate-inlined-" + std::to_string(getpid());
    std::ofstream(input, std::ios::binary) << "Call stack:\r\n  " << address.substr(2) << "\r\n";
    const std::string annotated =
        Output("'" + std::string(ZR_ZRMAP) + "' --annotate '" + map + "' < '" + input + "'");
    std::remove(input.c_str());
    const size_t lambda = annotated.find(" [inlined] MapThrowerOptimised maptest::SumOfPositives("
                                         "std::vector<int> const&)::{lambda}::operator() line " +
                                         std::to_string(line - 3) + "\r\n");
    const size_t algorithm = annotated.find(" [inlined] stl_algo std::for_each<");
    const size_t function = annotated.find(" MapThrowerOptimised maptest::SumOfPositives("
                                           "std::vector<int> const&) line " + std::to_string(line) + "\r\n");
    EXPECT_LT(lambda, algorithm) << annotated;
    EXPECT_LT(algorithm, function) << annotated;
    EXPECT_NE(function, std::string::npos) << annotated;
}

TEST(ZrMapNames, TheCompilersCopiesOfAFunctionGoByItsName) {
    using zrmap::WithoutCloneSuffixes;
    EXPECT_EQ(WithoutCloneSuffixes("f(int) [clone .cold]"), "f(int)");
    EXPECT_EQ(WithoutCloneSuffixes("f(int) [clone .isra.0] [clone .cold]"), "f(int)");
    EXPECT_EQ(WithoutCloneSuffixes("g() [clone .constprop.0]"), "g()");
    EXPECT_EQ(WithoutCloneSuffixes("main.cold"), "main");
    EXPECT_EQ(WithoutCloneSuffixes("helper.part.0"), "helper");
    EXPECT_EQ(WithoutCloneSuffixes("cold_start"), "cold_start");
    EXPECT_EQ(WithoutCloneSuffixes("std::vector<x.cold>::at(unsigned long)"),
              "std::vector<x.cold>::at(unsigned long)");
}

}  // namespace
}  // namespace zr
