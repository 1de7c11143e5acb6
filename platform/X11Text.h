// Text between the framework's UTF-8 strings and what X servers take and
// give: code points for two-byte fonts, Latin-1 for the classic properties
// and one-byte fonts, and the characters that key symbols type.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zr::os {

// The code points of a UTF-8 text. A byte that starts no valid sequence
// stands for itself (as Latin-1 would read it), so text that is not UTF-8
// still shows instead of vanishing.
std::vector<std::uint32_t> DecodeUtf8(const std::string& text);

// Latin-1 bytes of a UTF-8 text; code points past 0xFF become '?'.
std::string Utf8ToLatin1(const std::string& text);

// The UTF-8 bytes of a code point (nothing for one past the Unicode range).
std::string EncodeUtf8(std::uint32_t codePoint);

// The printable character a key symbol types, 0 when it types none (a
// function key, a control key, a modifier).
std::uint32_t KeySymToCodePoint(std::uint32_t keySym);

}  // namespace zr::os
