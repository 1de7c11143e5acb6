// The text of a registry key's values file: one value a line,
//
//   "Name"=sz:"some text"          REG_SZ (the stored bytes end with one zero)
//   "Path"=expand_sz:"%HOME%\\x"   REG_EXPAND_SZ
//   "Count"=dword:0000002a         REG_DWORD, four bytes, little-endian
//   "Blob"=binary:01,ab,ff         REG_BINARY
//   "List"=multi_sz:"a","b"        REG_MULTI_SZ (each string ends with a zero,
//                                  the list with one more)
//   "Odd"=hex(11):2a,00,00,00,00,00,00,00    any other type or shape, as bytes
//
// "" is the key's default value. Inside quotes a backslash and a double quote
// are escaped with a backslash and other control bytes are written \xHH, so
// every value survives a round trip byte for byte. Lines starting with "#"
// and empty lines are comments.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Registry.h"

namespace zr::os::regstore {

struct TStoredValue {
    std::string Name;
    DWORD Type = REG_NONE;
    std::vector<BYTE> Data;
};
using TValueList = std::vector<TStoredValue>;

inline constexpr std::string_view ValuesFileHeader =
    "# Registry values of this key, one a line: \"name\"=type:data\n";

std::string FormatValues(const TValueList& values);
// One value's line, with its line break.
void AppendValueLine(std::string& out, const TStoredValue& value);
// Nothing when the text is not a values file (a line that does not parse):
// such a file is neither trusted nor overwritten.
std::optional<TValueList> ParseValues(std::string_view text);
// One value's line (without its line break), or nothing when it does not parse.
std::optional<TStoredValue> ParseValueLine(std::string_view line);
// The quoted name at the front of a value's line, taken off it.
std::optional<std::string> ParseValueName(std::string_view& line);

// Registry names compare without regard to ASCII case.
bool SameName(std::string_view a, std::string_view b);
bool NameLess(std::string_view a, std::string_view b);

}  // namespace zr::os::regstore
