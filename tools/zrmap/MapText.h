// The text of a map file, in the fixed columns its reader expects:
//
//   Detailed map of segments   " 0001:SSSSSSSS LLLLLLLL C=CODE ... M=<unit> ACBP=A9"
//   Publics by Name / Value    " 0001:OOOOOOOO       <name>"   (the name from column 22)
//   Line numbers for <unit>    four entries a line, each "LLLLLL 0001:OOOOOOOO"
//
//   Inlined calls              before the segments, where a classic reader never
//                              looks: "Inline name N <text>" numbers the names,
//                              "Inline code 0001:SSSSSSSS LLLLLLLL P@U:L ..."
//                              gives a stretch's inlined frames, innermost first
//                              (procedure and unit by number, line)
//
// Offsets count from the code base 0x00401000, which stands for the start of
// the executable's first code segment.
#pragma once

#include <string>

#include "tools/zrmap/MapLayout.h"

namespace zr::zrmap {

std::string FormatMapText(const TMapLayout& layout);

// Writes the text beside its final name and renames it into place, so an
// interrupted run never leaves half a map for a reader to trust. Raises
// EImageError with the reason when the file cannot be written.
void WriteMapFile(const TMapLayout& layout, const std::string& path);

}  // namespace zr::zrmap
