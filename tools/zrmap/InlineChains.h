// The chains of inlined calls of optimised code. At -O2 most of a function's
// code runs functions inlined into it, often several deep; a report should
// name each of them as a debugger does, innermost first, with the line it
// runs at. This reads them from the DWARF inlined-subroutine entries.
#pragma once

#include <elfutils/libdw.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/zrmap/OuterLines.h"
#include "tools/zrmap/ProgramImage.h"

namespace zr::zrmap {

// Gives a procedure name its number in the image's name list.
using TNameIndex = std::function<std::uint32_t(const std::string& name)>;

// `rows` are one compilation unit's own line rows, sorted by offset. The
// unit's stretches of inlined code are appended to `out`: for each, the
// inlined functions innermost first, the innermost at the line the line
// table gives, each outer one at the line where it made the next call.
void ReadInlinedCalls(Dwarf_Die& unit, const std::vector<TLineRow>& rows, std::uint64_t codeStart,
                      const TFileIndex& fileIndex, const TNameIndex& nameIndex,
                      std::vector<TInlinedStretch>& out);

}  // namespace zr::zrmap
