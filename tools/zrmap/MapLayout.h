// Decides what a map file says about a program: which unit each piece of
// code belongs to, which name each address carries, and which source line
// each offset starts. The text itself is MapText's business.
//
// A unit is a source file's base name without its extension. Each stretch
// of code belongs to the unit of the file its own line row names (the rows
// are those of the outermost frame, see OuterLines.h), whatever function it
// lies in, so a unit and a line always come from the same file; a unit and a
// line from different files would point the reader of a report at the wrong
// place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/zrmap/ProgramImage.h"

namespace zr::zrmap {

// A stretch of code that belongs to one unit. An empty unit marks code that
// belongs to none (a function compiled without line information, start-up
// code): the unit before it ends there. A unit whose code is spread
// over the executable (main in the start-up section, cold paths at the far
// end, inlined into other units' functions) gets one segment per stretch.
struct TMapSegment {
    std::uint32_t Start = 0;
    std::uint32_t Length = 0;
    std::string Unit;
};

struct TMapPublic {
    std::uint32_t Offset = 0;
    std::string Name;
};

struct TMapLineEntry {
    std::uint32_t Offset = 0;
    int Line = 0;
};

// All line entries of one unit, offsets strictly ascending.
struct TMapLineBlock {
    std::string Unit;
    std::string File;  // file name of the unit's first stretch, for people reading the map
    std::vector<TMapLineEntry> Entries;
};

// A frame of inlined code: indices into TMapLayout::InlineNames.
struct TMapInlinedFrame {
    std::uint32_t Procedure = 0;
    std::uint32_t Unit = 0;
    int Line = 0;
};

// A stretch of code and the inlined calls it runs, innermost first.
struct TMapInlinedStretch {
    std::uint32_t Start = 0;
    std::uint32_t Length = 0;
    std::vector<TMapInlinedFrame> Frames;
};

struct TMapLayout {
    std::uint64_t CodeStart = 0;
    std::uint64_t CodeSize = 0;
    std::vector<TMapSegment> Segments;      // by start
    std::vector<TMapPublic> Publics;        // by offset, one per offset
    std::vector<TMapLineBlock> LineBlocks;  // in the order they must be written
    std::vector<std::string> InlineNames;   // procedures and units of inlined frames
    std::vector<TMapInlinedStretch> Inlined;  // by start
};

// Line numbers are written in six columns.
constexpr int kLargestMapLine = 999999;

// The name of the public that closes the last function, so that addresses in
// that function's body still find the function before it.
constexpr const char* kEndOfCodeName = "_etext";

TMapLayout BuildMapLayout(const TProgramImage& image);

// "src/util/Strings.cpp" -> "Strings"; a name that is all extension keeps it.
std::string UnitNameOf(const std::string& path);

// The header line of a unit's line block, and its entry lines (four entries
// of 20 columns to a line, each line ended by a line feed), exactly as written.
std::string LineBlockHeader(const TMapLineBlock& block);
std::string LineBlockEntries(const TMapLineBlock& block);

}  // namespace zr::zrmap
