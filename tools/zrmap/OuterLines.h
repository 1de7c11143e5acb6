// Line rows as the programmer reads them. In optimised code most instructions
// come from functions inlined from headers (a string's append, a vector's
// index, a lambda); the line table names the header line of each. A report
// should point at the function the programmer wrote instead: the outermost
// frame, whose file is that function's and whose line is the one that runs
// or that called the inlined code.
#pragma once

#include <elfutils/libdw.h>

#include <cstdint>
#include <functional>
#include <vector>

#include "tools/zrmap/ProgramImage.h"

namespace zr::zrmap {

// Gives a source path its number in the image's file list.
using TFileIndex = std::function<std::uint32_t(const char* path)>;

struct TInterval {
    std::uint32_t Start = 0;
    std::uint32_t End = 0;  // one past the last byte
};

// The code a DIE covers, as offsets from `codeStart`; ranges outside the
// code or beyond 32 bits are left out.
void CodeRanges(Dwarf_Die* die, std::uint64_t codeStart, std::vector<TInterval>& out);

// `rows` are one compilation unit's rows, sorted by offset (an end row before
// a row at the same offset). Inside the unit's functions they are replaced
// by rows of the outermost frame; elsewhere they stay as they are.
std::vector<TLineRow> OuterFrameRows(Dwarf_Die& unit, const std::vector<TLineRow>& rows,
                                     std::uint64_t codeStart, const TFileIndex& fileIndex);

// "f(int) [clone .cold]" -> "f(int)", "helper.isra.0" -> "helper": the
// name of the function the programmer wrote, without the copies the
// compiler made of it.
std::string WithoutCloneSuffixes(std::string name);

}  // namespace zr::zrmap
