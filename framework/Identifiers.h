// Names as form files and the class registry take them: a letter or '_'
// first, then letters, digits and '_'. Letters beyond ASCII count as letters
// (UTF-8, the process code page), as newer forms name their components and
// handlers in the programmer's own language; symbols and punctuation never do.
#pragma once

#include <cstddef>
#include <string_view>

namespace zr {

// The code point of the well-formed UTF-8 sequence of two to four bytes at
// `pos`, with its length in `length`; `length` is 0 where none starts there
// (ASCII, a stray continuation byte, an overlong form, a surrogate).
char32_t DecodeUtf8Sequence(std::string_view text, size_t pos, size_t& length);

// The length in bytes of the name character that starts at `pos` (a letter,
// '_', or with `first` false also a digit), or 0 when none starts there.
size_t IdentCharLength(std::string_view text, size_t pos, bool first);

// True for a whole, non-empty name.
bool IsValidIdent(std::string_view name);

}  // namespace zr
