// The map file reader's index against the scans it replaced: every address
// that a real map names (and its neighbours) must resolve bit for bit alike.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "exception/KVMapFile.h"
#include "exception/KVMapFileColumns.h"
#include "platform/SanitizerBuild.h"

namespace zr {
namespace {

using namespace mapcolumns;

// Every offset the map's lines name, with the offsets on either side.
std::set<std::uint32_t> NamedOffsets(const TKVMapFile& map) {
    std::set<std::uint32_t> offsets = {0, 1, 0xFFFFFFFEu, 0xFFFFFFFFu};
    auto add = [&](std::uint32_t offset) {
        offsets.insert(offset - 1);
        offsets.insert(offset);
        offsets.insert(offset + 1);
    };
    for (const std::string& line : map.Segments().Lines()) {
        std::uint32_t start = 0, length = 0;
        if (ConvertOffset(line, kStartColumn, start)) add(start);
        if (ConvertOffset(line, kLengthColumn, length)) add(start + length);
    }
    for (const std::string& line : map.Publics().Lines()) {
        std::uint32_t offset = 0;
        if (ConvertOffset(line, kStartColumn, offset)) add(offset);
    }
    for (const std::string& line : map.LineNumbers().Lines())
        for (int k = 0; k < kEntriesPerLine; ++k) {
            std::uint32_t offset = 0;
            if (ConvertOffset(line, k * kEntryWidth + kEntryOffsetColumn, offset)) add(offset);
        }
    return offsets;
}

// A map full of what the scans' rules were written for: segment lines out of
// order, units named inside other units' headers or made of hex digits, a
// block whose offsets go back, bad line numbers, short and junk lines.
std::string WriteAwkwardMap(const std::string& path) {
    std::mt19937 random(27);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    const std::vector<std::string> units = {"Main", "MainForm", "Add", "0001", "Cafe", "B"};
    std::string text = "Detailed map of segments\r\n\r\n";
    char line[160];
    for (int i = 0; i < 40; ++i) {
        std::snprintf(line, sizeof line, " 0001:%08X %08X C=CODE S=.text M=%s ACBP=A9\r\n",
                      pick(0x3000), pick(0x100), units[pick(6)].c_str());
        text += pick(10) == 0 ? std::string(" 0001:zz junk\r\n") : line;
    }
    text += "  Address Publics by Name\r\n\r\n  Address Publics by Value\r\n\r\n\r\n";
    for (int i = 0, offset = 0x40; i < 60; ++i, offset += pick(0x80)) {
        std::snprintf(line, sizeof line, " 0001:%08X       proc%d\r\n",
                      pick(12) == 0 ? pick(0x3000) : offset, i);
        text += pick(15) == 0 ? std::string("\r\n") : line;
    }
    for (const std::string& unit : units) {
        text += "Line numbers for " + unit + "(" + unit + ".cpp) segment .text\r\n\r\n";
        for (int i = 0, offset = pick(0x200); i < 30; ++i) {
            for (int k = 0; k < 4; ++k, offset += 1 + pick(0x40)) {
                const bool back = pick(40) == 0, badNumber = pick(60) == 0;
                std::snprintf(line, sizeof line, "%6s 0001:%08X",
                              badNumber ? "x1" : std::to_string(pick(500)).c_str(),
                              back ? offset / 2 : offset);
                text += line;
                if (pick(12) == 0) break;
            }
            text += "\r\n";
        }
    }
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// The plain build compares every address; the sanitizer builds, which look
// for memory faults rather than answers and scan far slower (some forty
// times, and as much again where the fuzzer's instrumentation counts every
// comparison of the scan), every 256th of a real map's: enough to see a
// memory fault, and it keeps the test command within its time.
#if ZR_SANITIZER_BUILD
constexpr size_t kStride = 256;
#else
constexpr size_t kStride = 1;
#endif

void ExpectIndexAgreesWithScans(const std::string& path, size_t stride = kStride) {
    ASSERT_TRUE(std::filesystem::exists(path)) << path;
    TKVMapFile map;
    map.SetMapFileName(path);
    map.LoadMapFile();
    ASSERT_GT(map.Segments().Count(), 0) << path;
    int disagreements = 0;
    size_t seen = 0;
    for (std::uint32_t offset : NamedOffsets(map)) {
        if (seen++ % stride != 0) continue;
        const TKVMapFile::TMapSourceView indexed = map.Resolve(offset);
        const TKVMapFile::TMapSourceView scanned = map.ResolveByScan(offset);
        if (indexed.Unit != scanned.Unit || indexed.Procedure != scanned.Procedure ||
            indexed.Line != scanned.Line) {
            if (++disagreements <= 5)
                ADD_FAILURE() << path << " offset " << std::hex << offset << ": index "
                              << indexed.Unit << " " << indexed.Procedure << " " << std::dec
                              << indexed.Line << ", scan " << scanned.Unit << " "
                              << scanned.Procedure << " " << scanned.Line;
        }
    }
    EXPECT_EQ(disagreements, 0) << path;
}

TEST(KVMapIndex, AnswersAsTheScansForEveryAddressAMapNames) {
    ExpectIndexAgreesWithScans(ZR_DEMO_MAP);
    ExpectIndexAgreesWithScans(ZR_OPTIMISED_PROGRAM_MAP);
    const std::string awkward =
        ::testing::TempDir() + "awkward-" + std::to_string(getpid()) + ".map";
    ExpectIndexAgreesWithScans(WriteAwkwardMap(awkward), 1);
    std::filesystem::remove(awkward);
}

}  // namespace
}  // namespace zr
