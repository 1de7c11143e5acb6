// The fixed columns of a map file's lines and how their fields convert,
// shared by the reader's scans and its index so both read a line alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zr::mapcolumns {

inline constexpr std::string_view kLineBlockHeader = "Line numbers for";

// Fixed columns, counted from 0 here (the map's own columns count from 1).
inline constexpr size_t kStartColumn = 6;    // segment start and public offset: columns 7 to 14
inline constexpr size_t kLengthColumn = 15;  // segment length: columns 16 to 23
inline constexpr size_t kNameColumn = 21;    // public name: column 22 to the end
inline constexpr size_t kEntryWidth = 20;    // one line-number entry
inline constexpr size_t kEntryLineWidth = 6;
inline constexpr size_t kEntryOffsetColumn = 12;
inline constexpr size_t kOffsetWidth = 8;
inline constexpr int kEntriesPerLine = 4;

inline bool Contains(std::string_view line, std::string_view text) {
    return line.find(text) != std::string_view::npos;
}

// The 8 hexadecimal digits at `column`, read as the framework's StrToInt
// reads "$" and the digits. A field that the line cuts short does not convert.
bool ConvertOffset(std::string_view line, size_t column, std::uint32_t& offset);

// A line number field: decimal, trimmed, as StrToInt reads it.
bool ConvertLineNumber(std::string_view field, int& number);

// Blanks and control characters around a field, as Trim removes them.
std::string_view TrimView(std::string_view text);

// The unit of a segment line: the text after "M=" up to, but not including,
// the character just before "ACBP=", trimmed; empty when the markers stand
// the other way round. False when the line lacks either marker.
bool ExtractUnitName(std::string_view line, std::string_view& unit);

// The procedure a public line names: column 22 to its end, trimmed.
inline std::string_view PublicName(std::string_view line) {
    return line.size() > kNameColumn ? TrimView(line.substr(kNameColumn)) : std::string_view();
}

}  // namespace zr::mapcolumns
